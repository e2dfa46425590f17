// Attribute value readers shared by every configuration block.
#ifndef KORALRX_CONFIG_ATTR_H
#define KORALRX_CONFIG_ATTR_H

#include <apr_xml.h>

#include <cstdint>
#include <vector>

#include "apt_log.h"

namespace KORAL {

// "true" or "false" in any case set `out`; any other text logs
// "Unexpected Value <value> for Boolean Attribute <name>" (warning) through
// `source` and leaves `out` unchanged. Returns whether the value was accepted.
bool LoadBoolAttr(const char *name, const char *value, bool &out,
                  const apt_log_source_t *source);

// One of `words` (matched in any case) sets `out` to its index; any other
// text logs "Unexpected Value <value> for Attribute <name>" (warning) and
// leaves `out` unchanged.
bool LoadEnumAttr(const char *name, const char *value, const char *const *words, int count,
                  int32_t &out, const apt_log_source_t *source);

// Base-10 integer without error checks: text that is not a number gives 0.
int64_t LoadIntAttr(const char *value);

// The element's attributes in document order (the XML parser links them
// newest first).
std::vector<const apr_xml_attr *> XmlElemAttrs(const apr_xml_elem *elem);

// Case-insensitive comparison of attribute and element names.
bool NameIs(const char *name, const char *expected);

}  // namespace KORAL

#endif  // KORALRX_CONFIG_ATTR_H
