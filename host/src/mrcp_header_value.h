// Typed MRCP header values: descriptors of the generic and recognizer headers and
// the text codec of their values. Private to the host library.
#pragma once

#include "mrcp_types.h"

namespace vantor {

enum class ValueType {
    kChannelId,            // kept outside the header structures (mrcp_message_t.channel_id)
    kString,               // any text
    kSize,                 // 1*19DIGIT
    kUnitFloat,            // 0.0-1.0; MRCPv1 integer 0-100
    kUnitFloatReversedV1,  // as kUnitFloat, MRCPv1 integer counts the other way
    kFloat,                // *DIGIT ["." *DIGIT]
    kBool,                 // true / false
    kChar,                 // one visible character, or empty
    kCause,                // "NNN name"
    kIdList,               // request-id *("," request-id)
};

struct HeaderDescriptor {
    const char *v2_name;
    const char *v1_name;  // nullptr: not an MRCPv1 header
    ValueType type;
    apr_size_t offset;  // of the value in its header structure
};

// Descriptor of a header id, nullptr when out of range.
const HeaderDescriptor *GenericHeaderDescriptor(apr_size_t id);
const HeaderDescriptor *RecogHeaderDescriptor(apr_size_t id);

// Name of a descriptor in a version, nullptr when the version lacks it.
const char *HeaderName(const HeaderDescriptor &d, mrcp_version_e version);
// Index of the descriptor named name (case-insensitive) in the version, or count.
apr_size_t HeaderFind(const HeaderDescriptor *table, apr_size_t count, const char *name,
                      apr_size_t length, mrcp_version_e version);

// Parses a trimmed value into the structure at base. With join, a string or id list
// value is appended to the current one (a repeated header). False on an illegal
// value; the structure is then unchanged.
bool HeaderValueParse(const HeaderDescriptor &d, void *base, const char *value, apr_size_t length,
                      mrcp_version_e version, bool join, apr_pool_t *pool);
// The value as text in the version, NUL-terminated, from the pool.
const char *HeaderValueFormat(const HeaderDescriptor &d, const void *base, mrcp_version_e version,
                              apr_pool_t *pool);

// Strict decimal readers used by the start-line parser as well.
bool ParseDecimal(const char *text, apr_size_t length, apr_size_t max_digits,
                  apr_uint64_t max_value, apr_uint64_t *out);

}  // namespace vantor
