#include "SphinxEngine.h"

#include <boost/asio/post.hpp>

#include "SphinxTurn.h"

namespace SpeechService {

SphinxEngine::SphinxEngine(boost::asio::io_context &io, const SphinxSettings &settings)
    : m_Io(io),
      m_Settings(settings),
      m_Workers(settings.m_Workers == 0 ? 1 : settings.m_Workers),
      m_Pool(settings.m_Decoder, settings.m_MaxDecoders,
             [this](std::function<void()> job) { boost::asio::post(m_Workers, std::move(job)); }) {}

SphinxEngine::~SphinxEngine() { Shutdown(); }

bool SphinxEngine::Init(std::string &error) {
    SphinxDecoder::QuietLibrary(m_Settings.m_Verbose);
    if (!SphinxDecoder::CheckModel(m_Settings.m_Decoder, error)) return false;
    return m_Pool.Preload(m_Settings.m_Preload, error);
}

std::shared_ptr<Turn> SphinxEngine::StartTurn(const TurnParams &params, ReplyFn reply) {
    EndpointerSettings endpointer;
    endpointer.m_InitialSilenceMs = params.m_InitialSilenceMs;
    endpointer.m_EndSilenceMs = params.m_EndSilenceMs;
    endpointer.m_MaxSpeechMs = params.m_MaxSpeechMs;
    endpointer.m_ThresholdDb = m_Settings.m_ThresholdDb;
    auto turn = std::make_shared<SphinxTurn>(m_Io, m_Workers, m_Pool, params, endpointer,
                                             m_Settings, std::move(reply));
    turn->Begin();
    return turn;
}

void SphinxEngine::Shutdown() {
    m_Workers.stop();
    m_Workers.join();
    m_Pool.Clear();
}

}  // namespace SpeechService
