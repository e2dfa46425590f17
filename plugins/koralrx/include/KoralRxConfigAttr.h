// Attribute value readers shared by every configuration block.
#pragma once

#include <apr_xml.h>

#include <cstdint>
#include <limits>
#include <type_traits>
#include <vector>

#include "apt_log.h"

namespace KORAL {

// "true" or "false" in any case set `out`; any other text logs
// "Unexpected Value <value> for Boolean Attribute <name>" (warning) through
// `source` and leaves `out` unchanged. Returns whether the value was accepted.
bool LoadBoolAttr(const char *name, const char *value, bool &out, const apt_log_source_t *source);

// One of `words` (matched in any case) sets `out` to its index; any other
// text logs "Unexpected Value <value> for Attribute <name>" (warning) and
// leaves `out` unchanged.
bool LoadEnumAttr(const char *name, const char *value, const char *const *words, int count,
                  int32_t &out, const apt_log_source_t *source);

// A base-10 integer within [min, max], blanks around it allowed. Anything
// else (no digits, other text, a value outside the range or beyond 64 bits)
// logs "Unexpected Value <value> for Numeric Attribute <name>, Allowed Range
// [min..max], Keeping <kept>" (warning) and leaves `out` unchanged. The range
// keeps every configured number meaningful and its arithmetic in bounds.
bool LoadIntAttr(const char *name, const char *value, int64_t min, int64_t max, int64_t &out,
                 const apt_log_source_t *source);

// The same for a field of another integer type; [min, max] must fit it.
template <typename T>
bool LoadIntAttr(const char *name, const char *value, int64_t min, int64_t max, T &out,
                 const apt_log_source_t *source) {
    static_assert(std::is_integral<T>::value, "integer fields only");
    int64_t wide = static_cast<int64_t>(out);
    if (!LoadIntAttr(name, value, min, max, wide, source)) return false;
    out = static_cast<T>(wide);
    return true;
}

// Upper bound of durations and counts read from the configuration: they fit a
// 32-bit int wherever they are logged or scaled (seconds to milliseconds).
constexpr int64_t kMaxConfigNumber = std::numeric_limits<int32_t>::max();

// The element's attributes in document order (the XML parser links them
// newest first).
std::vector<const apr_xml_attr *> XmlElemAttrs(const apr_xml_elem *elem);

// Case-insensitive comparison of attribute and element names.
bool NameIs(const char *name, const char *expected);

}  // namespace KORAL
