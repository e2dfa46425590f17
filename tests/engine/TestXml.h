// Helpers for configuration tests: XML from text, and captured log lines
// (KoralTest/LogCapture.h).
#pragma once

#include <apr_general.h>
#include <apr_xml.h>

#include <string>

#include "KoralTest/LogCapture.h"

namespace KORAL {
namespace test {

// An APR pool for one test, with APR initialised around it.
class AprPool {
  public:
    AprPool() {
        apr_initialize();
        apr_pool_create(&pool_, nullptr);
    }
    ~AprPool() {
        apr_pool_destroy(pool_);
        apr_terminate();
    }
    apr_pool_t *get() const { return pool_; }

    // The root element of an XML text, or null if it does not parse.
    apr_xml_elem *Parse(const std::string &text) {
        apr_xml_parser *parser = apr_xml_parser_create(pool_);
        apr_xml_doc *doc = nullptr;
        if (apr_xml_parser_feed(parser, text.data(), text.size()) != APR_SUCCESS ||
            apr_xml_parser_done(parser, &doc) != APR_SUCCESS || !doc)
            return nullptr;
        return doc->root;
    }

  private:
    apr_pool_t *pool_ = nullptr;
};

}  // namespace test
}  // namespace KORAL
