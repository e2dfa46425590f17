// Stream capabilities and audio streams.
#include "mpf_stream.h"

extern "C" {

APT_DECLARE(mpf_stream_capabilities_t *)
mpf_stream_capabilities_create(mpf_stream_direction_e direction, apr_pool_t *pool) {
    if (!pool) return nullptr;
    auto *caps = static_cast<mpf_stream_capabilities_t *>(
        apr_pcalloc(pool, sizeof(mpf_stream_capabilities_t)));
    caps->direction = direction;
    mpf_codec_capabilities_init(&caps->codecs, 1, pool);
    return caps;
}

APT_DECLARE(mpf_audio_stream_t *)
mpf_audio_stream_create(void *obj, const mpf_audio_stream_vtable_t *vtable,
                        mpf_stream_capabilities_t *capabilities, apr_pool_t *pool) {
    if (!vtable || !capabilities || !pool) return nullptr;
    auto *stream = static_cast<mpf_audio_stream_t *>(apr_pcalloc(pool, sizeof(mpf_audio_stream_t)));
    stream->obj = obj;
    stream->vtable = vtable;
    stream->capabilities = capabilities;
    stream->direction = capabilities->direction;
    return stream;
}

}  // extern "C"
