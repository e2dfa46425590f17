// Set-up every fuzz target shares: APR, a silent log hook, a pool per input,
// a check that aborts (as libFuzzer expects a finding to), and the reading
// of chunk sizes from the input.
#pragma once

#include <apr_general.h>
#include <apr_pools.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

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

// Splits an input into chunk sizes and a stream: the first byte says how
// many size bytes follow (at most 15), each one chunk's size (0 taken as 1);
// the last size repeats until the stream ends. Without sizes the stream
// comes in one piece.
class Chunker {
  public:
    Chunker(const uint8_t *data, size_t size) {
        if (size == 0) return;
        size_t count = data[0] & 0x0F;
        if (count > size - 1) count = size - 1;
        sizes_ = data + 1;
        count_ = count;
        stream_ = data + 1 + count;
        length_ = size - 1 - count;
    }
    const uint8_t *stream() const { return stream_; }
    size_t length() const { return length_; }
    // Size of the chunk at stream offset `offset`, the `index`th one.
    size_t Next(size_t index, size_t offset) const {
        size_t left = length_ - offset;
        if (count_ == 0) return left;
        size_t n = sizes_[index < count_ ? index : count_ - 1];
        if (n == 0) n = 1;
        return n < left ? n : left;
    }

  private:
    const uint8_t *sizes_ = nullptr;
    size_t count_ = 0;
    const uint8_t *stream_ = nullptr;
    size_t length_ = 0;
};

}  // namespace fuzz
}  // namespace KORAL
