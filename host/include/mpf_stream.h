/* Media streams: the stream table a plugin fills, stream capabilities and the
 * audio termination that carries a channel's stream. */
#pragma once

#include "apt.h"
#include "apt_text_stream.h"
#include "mpf_codec.h"
#include "mpf_frame.h"

APT_BEGIN_EXTERN_C

typedef enum {
    STREAM_DIRECTION_NONE = 0x0,
    STREAM_DIRECTION_SINK = 0x1,   /* the stream receives frames (write_frame) */
    STREAM_DIRECTION_SOURCE = 0x2, /* the stream gives frames (read_frame) */
    STREAM_DIRECTION_DUPLEX = 0x3
} mpf_stream_direction_e;

typedef struct mpf_audio_stream_t mpf_audio_stream_t;
typedef struct mpf_termination_t mpf_termination_t;

/* The eight-slot stream table; unused slots are NULL. The host calls write_frame
 * of a sink stream on its media thread, one 10 ms frame per call. */
typedef struct mpf_audio_stream_vtable_t {
    apt_bool_t (*destroy)(mpf_audio_stream_t *stream);
    apt_bool_t (*open_rx)(mpf_audio_stream_t *stream, const mpf_codec_descriptor_t *codec);
    apt_bool_t (*close_rx)(mpf_audio_stream_t *stream);
    apt_bool_t (*read_frame)(mpf_audio_stream_t *stream, mpf_frame_t *frame);
    apt_bool_t (*open_tx)(mpf_audio_stream_t *stream, const mpf_codec_descriptor_t *codec);
    apt_bool_t (*close_tx)(mpf_audio_stream_t *stream);
    apt_bool_t (*write_frame)(mpf_audio_stream_t *stream, const mpf_frame_t *frame);
    void (*trace)(mpf_audio_stream_t *stream, mpf_stream_direction_e direction,
                  apt_text_stream_t *output);
} mpf_audio_stream_vtable_t;

typedef struct mpf_stream_capabilities_t {
    mpf_stream_direction_e direction;
    mpf_codec_capabilities_t codecs;
} mpf_stream_capabilities_t;

struct mpf_audio_stream_t {
    void *obj; /* the plugin's object */
    const mpf_audio_stream_vtable_t *vtable;
    mpf_termination_t *termination;
    mpf_stream_capabilities_t *capabilities;
    mpf_stream_direction_e direction;
    /* Negotiated codec of frames written to the stream (set by the host). */
    mpf_codec_descriptor_t *rx_descriptor;
    mpf_codec_descriptor_t *tx_descriptor;
};

struct mpf_termination_t {
    void *obj;
    mpf_audio_stream_t *audio_stream;
    apr_pool_t *pool;
};

/* Capabilities with the given direction and an empty codec list. */
APT_DECLARE(mpf_stream_capabilities_t *)
mpf_stream_capabilities_create(mpf_stream_direction_e direction, apr_pool_t *pool);
/* A stream bound to obj and the table. NULL when vtable or capabilities is NULL. */
APT_DECLARE(mpf_audio_stream_t *)
mpf_audio_stream_create(void *obj, const mpf_audio_stream_vtable_t *vtable,
                        mpf_stream_capabilities_t *capabilities, apr_pool_t *pool);

APT_END_EXTERN_C
