// XML helpers shared by the grammar document and speech context readers.
#pragma once

#include <apr_pools.h>
#include <apr_xml.h>

#include <cstddef>
#include <string>
#include <vector>

#include "KoralRxConfigAttr.h"

namespace KORAL {

// Largest grammar document accepted, in bytes. The parsed tree costs many times
// the text, so bodies beyond any real phrase list are refused before parsing.
constexpr size_t kMaxXmlDocumentSize = size_t{1024} * 1024;

// Parses a whole document body (length bytes, no NUL needed) into pool. Returns
// null, with a warning, for an empty or oversized text, a parser error and a
// document without root. APR's parser refuses entity declarations and limits
// the element nesting, so no input can make it recurse or expand without bound.
apr_xml_doc *ParseXmlDocument(const char *text, size_t length, apr_pool_t *pool);

// The element's text before its first child element, joined from the pieces the
// parser splits it into (at line ends and references). False when there is none.
bool XmlElemText(const apr_xml_elem *elem, std::string &text);

// The value of the last attribute (in document order) named `name` in any case,
// or null.
const char *XmlElemAttr(const apr_xml_elem *elem, const char *name);

}  // namespace KORAL
