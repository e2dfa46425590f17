#include "DecoderPool.h"

#include <cstdio>
#include <utility>

namespace SpeechService {

DecoderPool::DecoderPool(const DecoderSettings &settings, size_t maxDecoders, Post post)
    : m_Settings(settings), m_Max(maxDecoders == 0 ? 1 : maxDecoders), m_Post(std::move(post)) {}

DecoderPool::~DecoderPool() { Clear(); }

bool DecoderPool::Preload(size_t count, std::string &error) {
    for (size_t i = 0; i < count; ++i) {
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            if (m_Created >= m_Max) return true;
            ++m_Created;
        }
        std::unique_ptr<SphinxDecoder> decoder = SphinxDecoder::Create(m_Settings, error);
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (!decoder) {
            --m_Created;
            return false;
        }
        m_Idle.push_back(std::move(decoder));
    }
    return true;
}

void DecoderPool::Acquire(Grant grant) {
    std::unique_ptr<SphinxDecoder> decoder;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_Closed) return;
        if (!m_Idle.empty()) {
            decoder = std::move(m_Idle.back());
            m_Idle.pop_back();
        } else if (m_Created < m_Max) {
            ++m_Created;
        } else {
            m_Waiting.push_back(std::move(grant));
            return;
        }
    }
    if (decoder) {
        grant(std::move(decoder));
    } else {
        MakeFor(std::move(grant));
    }
}

void DecoderPool::MakeFor(Grant grant) {
    m_Post([this, grant = std::move(grant)]() mutable {
        std::string error;
        std::unique_ptr<SphinxDecoder> decoder = SphinxDecoder::Create(m_Settings, error);
        std::deque<Grant> failed;
        if (!decoder) {
            std::fprintf(stderr, "speech-service: %s\n", error.c_str());
            // The model that failed here fails for every waiting turn too.
            std::lock_guard<std::mutex> lock(m_Mutex);
            --m_Created;
            failed.swap(m_Waiting);
        }
        grant(std::move(decoder));
        for (Grant &g : failed) g(nullptr);
    });
}

void DecoderPool::Release(std::unique_ptr<SphinxDecoder> decoder) {
    if (!decoder) return;
    Grant next;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_Closed) return;  // the decoder is freed here
        if (m_Waiting.empty()) {
            m_Idle.push_back(std::move(decoder));
            return;
        }
        next = std::move(m_Waiting.front());
        m_Waiting.pop_front();
    }
    next(std::move(decoder));
}

void DecoderPool::Clear() {
    std::vector<std::unique_ptr<SphinxDecoder>> idle;
    std::deque<Grant> waiting;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Closed = true;
        idle.swap(m_Idle);
        waiting.swap(m_Waiting);
    }
}

size_t DecoderPool::Created() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Created;
}

}  // namespace SpeechService
