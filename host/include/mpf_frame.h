/* Media frames handed to a sink stream every 10 ms. */
#pragma once

#include "apt.h"

APT_BEGIN_EXTERN_C

/* Type bits; a frame may carry audio and an event at once. */
typedef enum {
    MEDIA_FRAME_TYPE_NONE = 0x0,
    MEDIA_FRAME_TYPE_AUDIO = 0x1,
    MEDIA_FRAME_TYPE_VIDEO = 0x2,
    MEDIA_FRAME_TYPE_EVENT = 0x4
} mpf_frame_type_e;

typedef enum {
    MPF_MARKER_NONE = 0,
    MPF_MARKER_START_OF_EVENT = 1,
    MPF_MARKER_END_OF_EVENT = 2,
    MPF_MARKER_NEW_SEGMENT = 3
} mpf_frame_marker_e;

typedef struct mpf_codec_frame_t {
    void *buffer;
    apr_size_t size;
} mpf_codec_frame_t;

/* RFC 4733 named event. Duration is in timestamp units of the clock rate. */
typedef struct mpf_named_event_frame_t {
    apr_uint32_t event_id;
    apr_uint32_t volume;
    apr_uint32_t edge;
    apr_uint32_t duration;
} mpf_named_event_frame_t;

typedef struct mpf_frame_t {
    int type;
    int marker;
    mpf_codec_frame_t codec_frame;
    mpf_named_event_frame_t event_frame;
} mpf_frame_t;

/* RFC 4733 event ids 0-9, 10 '*', 11 '#', 12-15 'A'-'D'; 0 for anything else. */
APT_DECLARE(char) mpf_event_id_to_dtmf_char(apr_uint32_t event_id);
/* The inverse; 0xFF when the character is not a DTMF digit. */
APT_DECLARE(apr_uint32_t) mpf_dtmf_char_to_event_id(char dtmf_char);

APT_END_EXTERN_C
