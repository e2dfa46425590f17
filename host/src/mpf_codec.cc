// Codec capabilities and linear PCM frame sizes.
#include "mpf_codec.h"

#include <cstring>

extern "C" {

APT_DECLARE(apt_bool_t)
mpf_codec_capabilities_init(mpf_codec_capabilities_t *capabilities, apr_size_t initial_count,
                            apr_pool_t *pool) {
    if (!capabilities || !pool) return FALSE;
    capabilities->attrib_arr =
        apr_array_make(pool, initial_count ? (int)initial_count : 1, sizeof(mpf_codec_attribs_t));
    capabilities->allow_named_events = TRUE;
    return TRUE;
}

APT_DECLARE(apt_bool_t)
mpf_codec_capabilities_add(mpf_codec_capabilities_t *capabilities, const char *name,
                           apr_byte_t bits_per_sample, int sample_rates) {
    if (!capabilities || !capabilities->attrib_arr || !name || !*name) return FALSE;
    auto *attribs = static_cast<mpf_codec_attribs_t *>(apr_array_push(capabilities->attrib_arr));
    attribs->name.buf = const_cast<char *>(name);
    attribs->name.length = strlen(name);
    attribs->bits_per_sample = bits_per_sample;
    attribs->sample_rates = sample_rates;
    return TRUE;
}

APT_DECLARE(int) mpf_sample_rate_mask_get(apr_uint16_t sampling_rate) {
    switch (sampling_rate) {
        case 8000:
            return MPF_SAMPLE_RATE_8000;
        case 16000:
            return MPF_SAMPLE_RATE_16000;
        case 32000:
            return MPF_SAMPLE_RATE_32000;
        case 48000:
            return MPF_SAMPLE_RATE_48000;
        default:
            return MPF_SAMPLE_RATE_NONE;
    }
}

APT_DECLARE(apr_size_t)
mpf_codec_linear_frame_size_calculate(apr_uint16_t sampling_rate, apr_byte_t channel_count) {
    return (apr_size_t)channel_count * sampling_rate * 2 * CODEC_FRAME_TIME_BASE / 1000;
}

}  // extern "C"
