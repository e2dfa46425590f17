/* MRCP recognizer resource: method and event ids and their names per version. */
#pragma once

#include "mrcp_types.h"

APT_BEGIN_EXTERN_C

typedef enum {
    RECOGNIZER_SET_PARAMS = 0,
    RECOGNIZER_GET_PARAMS = 1,
    RECOGNIZER_DEFINE_GRAMMAR = 2,
    RECOGNIZER_RECOGNIZE = 3,
    RECOGNIZER_INTERPRET = 4, /* MRCPv2 only */
    RECOGNIZER_GET_RESULT = 5,
    RECOGNIZER_START_INPUT_TIMERS = 6, /* MRCPv1: RECOGNITION-START-TIMERS */
    RECOGNIZER_STOP = 7,
    RECOGNIZER_START_PHRASE_ENROLLMENT = 8, /* enrolment methods: MRCPv2 only */
    RECOGNIZER_ENROLLMENT_ROLLBACK = 9,
    RECOGNIZER_END_PHRASE_ENROLLMENT = 10,
    RECOGNIZER_MODIFY_PHRASE = 11,
    RECOGNIZER_DELETE_PHRASE = 12,
    RECOGNIZER_METHOD_COUNT
} mrcp_recognizer_method_id;

typedef enum {
    RECOGNIZER_START_OF_INPUT = 0, /* MRCPv1: START-OF-SPEECH */
    RECOGNIZER_RECOGNITION_COMPLETE = 1,
    RECOGNIZER_INTERPRETATION_COMPLETE = 2, /* MRCPv2 only */
    RECOGNIZER_EVENT_COUNT
} mrcp_recognizer_event_id;

/* Method name in the given version, or NULL when the version lacks the method. */
APT_DECLARE(const char *) mrcp_recog_method_name_get(apr_size_t method_id, mrcp_version_e version);
/* Event name in the given version, or NULL when the version lacks the event. */
APT_DECLARE(const char *) mrcp_recog_event_name_get(apr_size_t event_id, mrcp_version_e version);
/* Id of a method name (exact, upper case) in the given version, or RECOGNIZER_METHOD_COUNT. */
APT_DECLARE(apr_size_t)
mrcp_recog_method_id_find(const char *name, apr_size_t length, mrcp_version_e version);
/* Id of an event name in the given version, or RECOGNIZER_EVENT_COUNT. */
APT_DECLARE(apr_size_t)
mrcp_recog_event_id_find(const char *name, apr_size_t length, mrcp_version_e version);

APT_END_EXTERN_C
