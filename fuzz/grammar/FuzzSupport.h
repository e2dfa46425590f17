// Shared set-up of the grammar fuzz targets: APR, a silent log hook, a pool per
// input and the invariants every loaded context must keep.
#pragma once

#include <apr_general.h>
#include <apr_pools.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "KoralRxSpeechContext.h"
#include "apt_log.h"

namespace KORAL {
namespace fuzz {

// Every line is still formatted (so a bad argument shows under the
// sanitizers); none is written.
inline void DropLogLine(const char *, const char *, int, apt_log_priority_e, const char *) {}

inline apr_pool_t *RootPool() {
    static apr_pool_t *root = [] {
        apr_initialize();
        apt_log_priority_set(APT_PRIO_EMERGENCY);
        apt_log_ext_handler_set(&DropLogLine);
        apr_pool_t *pool = nullptr;
        apr_pool_create(&pool, nullptr);
        return pool;
    }();
    return root;
}

// A pool that lives for one input.
class InputPool {
  public:
    InputPool() { apr_pool_create(&pool_, RootPool()); }
    ~InputPool() { apr_pool_destroy(pool_); }
    InputPool(const InputPool &) = delete;
    InputPool &operator=(const InputPool &) = delete;
    apr_pool_t *get() const { return pool_; }

  private:
    apr_pool_t *pool_ = nullptr;
};

#define KORAL_FUZZ_CHECK(condition)                                                       \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            abort();                                                                      \
        }                                                                                 \
    } while (0)

// Each phrase is found under its own text with the value the matcher promises.
inline void CheckContext(const SpeechContext &context) {
    for (const auto &entry : context.phrases) {
        const SpeechContext::Value &value = entry.second;
        KORAL_FUZZ_CHECK(entry.first == PhraseKey(value.phrase));
        bool complete = false;
        KORAL_FUZZ_CHECK(context.FindPhrase(value.phrase, complete));
        std::string found;
        KORAL_FUZZ_CHECK(context.FindPhrase(value.phrase, found));
        KORAL_FUZZ_CHECK(found == (value.tag.empty() ? value.phrase : value.tag));
    }
}

// Engine-like configured contexts shared by every input.
inline SpeechContextMap &ConfiguredContexts() {
    struct Configured {
        SpeechContext yesno;
        SpeechContextMap map;
        Configured() {
            yesno.name = "yesno";
            yesno.configured = true;
            yesno.scope = SpeechContext::SCOPE_STRICT;
            yesno.AddPhrase("yes", "");
            yesno.AddPhrase("no", "");
            map["yesno"] = &yesno;
        }
    };
    static Configured configured;
    return configured.map;
}

// A configured context must survive every grammar that shared it.
inline void CheckConfiguredContexts() {
    const SpeechContext *yesno = ConfiguredContexts().at("yesno");
    KORAL_FUZZ_CHECK(yesno->configured && yesno->phrases.size() == 2 && yesno->language.empty());
    CheckContext(*yesno);
}

}  // namespace fuzz
}  // namespace KORAL
