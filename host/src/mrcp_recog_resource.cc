// Recognizer method and event names of MRCPv2 and MRCPv1.
#include "mrcp_recog_resource.h"

#include <cstring>

namespace {

struct Names {
    const char *v2;
    const char *v1;  // NULL: not in MRCPv1
};

const Names kMethods[RECOGNIZER_METHOD_COUNT] = {
    {"SET-PARAMS", "SET-PARAMS"},
    {"GET-PARAMS", "GET-PARAMS"},
    {"DEFINE-GRAMMAR", "DEFINE-GRAMMAR"},
    {"RECOGNIZE", "RECOGNIZE"},
    {"INTERPRET", nullptr},
    {"GET-RESULT", "GET-RESULT"},
    {"START-INPUT-TIMERS", "RECOGNITION-START-TIMERS"},
    {"STOP", "STOP"},
    {"START-PHRASE-ENROLLMENT", nullptr},
    {"ENROLLMENT-ROLLBACK", nullptr},
    {"END-PHRASE-ENROLLMENT", nullptr},
    {"MODIFY-PHRASE", nullptr},
    {"DELETE-PHRASE", nullptr},
};

const Names kEvents[RECOGNIZER_EVENT_COUNT] = {
    {"START-OF-INPUT", "START-OF-SPEECH"},
    {"RECOGNITION-COMPLETE", "RECOGNITION-COMPLETE"},
    {"INTERPRETATION-COMPLETE", nullptr},
};

const char *NameOf(const Names &n, mrcp_version_e version) {
    if (version == MRCP_VERSION_2) return n.v2;
    if (version == MRCP_VERSION_1) return n.v1;
    return nullptr;
}

apr_size_t Find(const Names *table, apr_size_t count, const char *name, apr_size_t length,
                mrcp_version_e version) {
    if (!name) return count;
    for (apr_size_t i = 0; i < count; ++i) {
        const char *candidate = NameOf(table[i], version);
        if (candidate && strlen(candidate) == length && memcmp(candidate, name, length) == 0)
            return i;
    }
    return count;
}

}  // namespace

extern "C" {

APT_DECLARE(const char *) mrcp_recog_method_name_get(apr_size_t method_id, mrcp_version_e version) {
    return method_id < RECOGNIZER_METHOD_COUNT ? NameOf(kMethods[method_id], version) : nullptr;
}

APT_DECLARE(const char *) mrcp_recog_event_name_get(apr_size_t event_id, mrcp_version_e version) {
    return event_id < RECOGNIZER_EVENT_COUNT ? NameOf(kEvents[event_id], version) : nullptr;
}

APT_DECLARE(apr_size_t)
mrcp_recog_method_id_find(const char *name, apr_size_t length, mrcp_version_e version) {
    return Find(kMethods, RECOGNIZER_METHOD_COUNT, name, length, version);
}

APT_DECLARE(apr_size_t)
mrcp_recog_event_id_find(const char *name, apr_size_t length, mrcp_version_e version) {
    return Find(kEvents, RECOGNIZER_EVENT_COUNT, name, length, version);
}

}  // extern "C"
