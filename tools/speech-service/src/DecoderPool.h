// A bounded pool of decoders shared by all turns. A decoder costs about
// 90 MB, so the pool grows on demand up to its limit, and turns that find
// none free wait in arrival order. Thread-safe.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "SphinxDecoder.h"

namespace SpeechService {

class DecoderPool {
  public:
    // Receives a decoder, or null when none could be made. May run inside
    // Acquire or Release: receivers post their real work elsewhere.
    using Grant = std::function<void(std::unique_ptr<SphinxDecoder>)>;
    // Runs a slow job (making a decoder) off the caller's thread.
    using Post = std::function<void(std::function<void()>)>;

    DecoderPool(const DecoderSettings &settings, size_t maxDecoders, Post post);
    ~DecoderPool();

    // Makes `count` decoders now, on the calling thread.
    bool Preload(size_t count, std::string &error);
    void Acquire(Grant grant);
    void Release(std::unique_ptr<SphinxDecoder> decoder);
    // Drops idle decoders and waiting turns (at shutdown).
    void Clear();

    size_t Created() const;

  private:
    void MakeFor(Grant grant);

    DecoderSettings m_Settings;
    size_t m_Max;
    Post m_Post;
    mutable std::mutex m_Mutex;
    std::vector<std::unique_ptr<SphinxDecoder>> m_Idle;
    std::deque<Grant> m_Waiting;
    size_t m_Created = 0;
    bool m_Closed = false;
};

}  // namespace SpeechService
