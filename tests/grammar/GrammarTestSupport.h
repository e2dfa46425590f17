// Helpers for the grammar tests: a pool, parsed XML from text, and the log
// lines written while a test runs.
#pragma once

#include <apr_general.h>
#include <apr_xml.h>

#include <string>

#include "KoralRxGrammarXml.h"
#include "KoralTest/LogCapture.h"

namespace KORAL {
namespace test {

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

    // The root element of a document, or null.
    const apr_xml_elem *Root(const std::string &text) {
        apr_xml_doc *doc = ParseXmlDocument(text.data(), text.size(), pool_);
        return doc ? doc->root : nullptr;
    }

  private:
    apr_pool_t *pool_ = nullptr;
};

}  // namespace test
}  // namespace KORAL
