/* Codec descriptors and codec capabilities of media streams. */
#pragma once

#include "apt.h"

APT_BEGIN_EXTERN_C

/* Sample-rate bits of a capability's rate mask. */
typedef enum {
    MPF_SAMPLE_RATE_NONE = 0x00,
    MPF_SAMPLE_RATE_8000 = 0x01,
    MPF_SAMPLE_RATE_16000 = 0x02,
    MPF_SAMPLE_RATE_32000 = 0x04,
    MPF_SAMPLE_RATE_48000 = 0x08,
    MPF_SAMPLE_RATE_SUPPORTED = 0x03 /* the rates this host's media can carry */
} mpf_sample_rates_e;

/* Length of a media frame: 10 ms. */
#define CODEC_FRAME_TIME_BASE 10

/* A negotiated codec: "LPCM" is 16-bit signed linear PCM in host byte order. */
typedef struct mpf_codec_descriptor_t {
    apr_byte_t payload_type;
    apt_str_t name;
    apr_uint16_t sampling_rate; /* Hz */
    apr_byte_t channel_count;
    apt_str_t format;
    apt_bool_t enabled;
} mpf_codec_descriptor_t;

/* One codec a stream accepts. bits_per_sample 0 means the codec's own. */
typedef struct mpf_codec_attribs_t {
    apt_str_t name;
    apr_byte_t bits_per_sample;
    int sample_rates; /* mpf_sample_rates_e bits */
} mpf_codec_attribs_t;

/* The codecs a stream accepts: apr_array of mpf_codec_attribs_t. */
typedef struct mpf_codec_capabilities_t {
    apr_array_header_t *attrib_arr;
    apt_bool_t allow_named_events;
} mpf_codec_capabilities_t;

/* Prepares an empty list able to hold initial_count entries without growing. */
APT_DECLARE(apt_bool_t)
mpf_codec_capabilities_init(mpf_codec_capabilities_t *capabilities, apr_size_t initial_count,
                            apr_pool_t *pool);
/* Appends a codec (the name is not copied: pass a literal or a pool string).
 * FALSE when the list is not initialised or the name is null or empty. */
APT_DECLARE(apt_bool_t)
mpf_codec_capabilities_add(mpf_codec_capabilities_t *capabilities, const char *name,
                           apr_byte_t bits_per_sample, int sample_rates);

/* Bit of a sampling rate, MPF_SAMPLE_RATE_NONE for an unsupported rate. */
APT_DECLARE(int) mpf_sample_rate_mask_get(apr_uint16_t sampling_rate);

/* Bytes of one 10 ms frame of 16-bit linear PCM: channel_count x rate x 20 / 1000
 * (160 at 8000 Hz mono, 320 at 16000 Hz). */
APT_DECLARE(apr_size_t)
mpf_codec_linear_frame_size_calculate(apr_uint16_t sampling_rate, apr_byte_t channel_count);

APT_END_EXTERN_C
