// The reason an XML document was refused, with where in the text it lies.
#pragma once

#include <apr_xml.h>

#include <cstddef>
#include <string>

namespace KORAL {

// The APR parser's error text for `text` (the whole document it was given),
// followed by " [line L, column C]" (both from 1) when the text itself is not
// well-formed. APR's parser does not tell the position, so the text is read
// again by the same underlying parser to find it; that costs one more pass
// over a document that has already failed.
std::string XmlParserError(apr_xml_parser *parser, const char *text, size_t length);

}  // namespace KORAL
