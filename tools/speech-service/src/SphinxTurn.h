// One turn recognised by pocketsphinx (see SphinxEngine.h). Everything but
// the Turn entry points runs on the turn's strand.
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>
#include <deque>
#include <memory>
#include <vector>

#include "Band.h"
#include "DecoderPool.h"
#include "Endpointer.h"
#include "Engine.h"
#include "SphinxEngine.h"

namespace SpeechService {

class SphinxTurn : public Turn, public std::enable_shared_from_this<SphinxTurn> {
  public:
    SphinxTurn(boost::asio::io_context &io, boost::asio::thread_pool &workers, DecoderPool &pool,
               const TurnParams &params, const EndpointerSettings &endpointer,
               const SphinxSettings &settings, ReplyFn reply);

    void Begin();
    void Audio(const int16_t *samples, size_t count) override;
    void EndOfAudio() override;
    void Cancel() override;

  private:
    enum class Phase { Waiting, Speech, Finishing, Done };

    void ProcessAudio(std::vector<int16_t> samples);
    void ProcessFrame(const int16_t *frame);
    void ProcessEndOfAudio();
    void OnDecoder(std::unique_ptr<SphinxDecoder> decoder);
    void StartSpeech();
    void ChooseBand(bool detected);
    void RequestDecoder();
    void FeedDecoder(const int16_t *samples, size_t count);
    void CatchUp();
    void MaybeHypothesis(int64_t position);
    void EndSpeech(int64_t endSample);
    void TryFinish();
    void FinishWithout(const char *status);
    void Emit(Reply reply);
    void EmitMessage(const char *path, std::string body);
    void ReleaseDecoder();

    boost::asio::io_context &m_Io;
    boost::asio::strand<boost::asio::thread_pool::executor_type> m_Strand;
    DecoderPool &m_Pool;
    TurnParams m_Params;
    Endpointer m_Endpointer;
    int64_t m_HypothesisEvery;  // samples
    BandMode m_BandMode;
    BandDetector m_BandDetector;
    EventLog *m_Log;
    bool m_Verbose;
    ReplyFn m_Reply;
    std::atomic<bool> m_Cancelled{false};

    Phase m_Phase = Phase::Waiting;
    std::vector<int16_t> m_Partial;  // samples short of a whole frame
    std::deque<int16_t> m_Backlog;   // audio not yet given to a decoder
    int64_t m_BacklogStart = 0;      // sample index of m_Backlog.front()
    int64_t m_Samples = 0;           // samples received
    std::unique_ptr<SphinxDecoder> m_Decoder;
    bool m_DecoderRequested = false;  // the band is chosen when the decoder is asked for
    Band m_Band = Band::Wide;
    bool m_Failed = false;
    int64_t m_NextHypothesis = 0;
    int64_t m_EndSample = 0;
};

}  // namespace SpeechService
