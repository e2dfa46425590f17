// Offline recognition with pocketsphinx. Each turn runs on its own strand of
// a small worker pool: the service's endpointer decides where speech starts
// and ends, a pooled decoder transcribes it, and replies are posted back to
// the network thread in order.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/thread_pool.hpp>
#include <memory>
#include <string>

#include "Band.h"
#include "DecoderPool.h"
#include "Engine.h"
#include "EventLog.h"

namespace SpeechService {

struct SphinxSettings {
    DecoderSettings m_Decoder;
    size_t m_Workers = 2;
    size_t m_MaxDecoders = 4;
    size_t m_Preload = 1;
    double m_ThresholdDb = -50.0;
    int m_HypothesisEveryMs = 300;
    BandMode m_Band = BandMode::Auto;
    EventLog *m_Log = nullptr;  // where each turn's band is told; may be null
    bool m_Verbose = false;
};

class SphinxEngine : public Engine {
  public:
    SphinxEngine(boost::asio::io_context &io, const SphinxSettings &settings);
    ~SphinxEngine() override;

    // Checks the model and loads the preloaded decoders.
    bool Init(std::string &error);
    std::shared_ptr<Turn> StartTurn(const TurnParams &params, ReplyFn reply) override;
    void Shutdown() override;

    DecoderPool &Pool() { return m_Pool; }

  private:
    boost::asio::io_context &m_Io;
    SphinxSettings m_Settings;
    boost::asio::thread_pool m_Workers;
    DecoderPool m_Pool;
};

}  // namespace SpeechService
