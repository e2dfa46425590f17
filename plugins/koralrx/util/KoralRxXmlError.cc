#include "KoralRxXmlError.h"

#include <expat.h>

#include <climits>

namespace KORAL {

namespace {

// APR's parser refuses entity declarations by stopping; so does this pass,
// which keeps a hostile document from expanding here either.
void StopAtEntity(void *data, const XML_Char *, int, const XML_Char *, int, const XML_Char *,
                  const XML_Char *, const XML_Char *, const XML_Char *) {
    XML_StopParser(static_cast<XML_Parser>(data), XML_FALSE);
}

}  // namespace

std::string XmlParserError(apr_xml_parser *parser, const char *text, size_t length) {
    char reason[256];
    apr_xml_parser_geterror(parser, reason, sizeof(reason));
    std::string error = reason;
    if (!text || length > static_cast<size_t>(INT_MAX)) return error;

    XML_Parser xp = XML_ParserCreate(nullptr);
    if (!xp) return error;
    XML_SetUserData(xp, xp);
    XML_SetEntityDeclHandler(xp, StopAtEntity);
    if (XML_Parse(xp, text, static_cast<int>(length), XML_TRUE) != XML_STATUS_OK) {
        error += " [line " + std::to_string(XML_GetCurrentLineNumber(xp)) + ", column " +
                 std::to_string(XML_GetCurrentColumnNumber(xp) + 1) + "]";
    }
    XML_ParserFree(xp);
    return error;
}

}  // namespace KORAL
