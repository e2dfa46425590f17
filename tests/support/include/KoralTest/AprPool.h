// An APR pool for one test, with APR initialised for as long as it lives
// (APR counts its initialisations, so pools may nest), and XML parsed in it.
#pragma once

#include <apr_general.h>
#include <apr_pools.h>
#include <apr_xml.h>

#include <string>

namespace KoralTest {

// APR initialised for the rest of the process, for tests whose objects keep
// threads and pools of their own past a test's scope.
inline void InitAprOnce() {
    static const bool done = (apr_initialize(), true);
    (void)done;
}

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
    AprPool(const AprPool &) = delete;
    AprPool &operator=(const AprPool &) = delete;

    apr_pool_t *get() const { return pool_; }

    // The root element of an XML text, or null if it does not parse.
    apr_xml_elem *Xml(const std::string &text) {
        apr_xml_parser *parser = apr_xml_parser_create(pool_);
        apr_xml_doc *doc = nullptr;
        if (apr_xml_parser_feed(parser, text.data(), text.size()) != APR_SUCCESS) {
            apr_xml_parser_done(parser, nullptr);
            return nullptr;
        }
        if (apr_xml_parser_done(parser, &doc) != APR_SUCCESS || !doc) return nullptr;
        return doc->root;
    }

  private:
    apr_pool_t *pool_ = nullptr;
};

}  // namespace KoralTest
