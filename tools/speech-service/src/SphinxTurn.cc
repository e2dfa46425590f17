#include "SphinxTurn.h"

#include <algorithm>
#include <boost/asio/post.hpp>
#include <cmath>
#include <cstdio>

namespace SpeechService {

namespace {
constexpr int64_t kPrerollSamples = 16000 / 5;               // 200 ms of context before speech
constexpr int64_t kWaitingKeepSamples = int64_t{16000} * 3;  // kept while no speech is found
// Loud frames the band is judged on. The turn's audio waits meanwhile, as it
// does for a busy decoder; the first hypothesis is due later anyway.
constexpr int kBandFrames = 30;
}  // namespace

SphinxTurn::SphinxTurn(boost::asio::io_context &io, boost::asio::thread_pool &workers,
                       DecoderPool &pool, const TurnParams &params,
                       const EndpointerSettings &endpointer, const SphinxSettings &settings,
                       ReplyFn reply)
    : m_Io(io),
      m_Strand(boost::asio::make_strand(workers.get_executor())),
      m_Pool(pool),
      m_Params(params),
      m_Endpointer(endpointer),
      m_HypothesisEvery(std::max(1, settings.m_HypothesisEveryMs) * 16),
      m_BandMode(settings.m_Band),
      m_BandDetector(endpointer.m_ThresholdDb, kBandFrames),
      m_Log(settings.m_Log),
      m_Verbose(settings.m_Verbose),
      m_Reply(std::move(reply)) {}

void SphinxTurn::Begin() { EmitMessage("turn.start", TurnStartBody(RandomHexId())); }

void SphinxTurn::Audio(const int16_t *samples, size_t count) {
    std::vector<int16_t> copy(samples, samples + count);
    boost::asio::post(m_Strand, [self = shared_from_this(), copy = std::move(copy)]() mutable {
        self->ProcessAudio(std::move(copy));
    });
}

void SphinxTurn::EndOfAudio() {
    boost::asio::post(m_Strand, [self = shared_from_this()] { self->ProcessEndOfAudio(); });
}

void SphinxTurn::Cancel() {
    m_Cancelled = true;
    boost::asio::post(m_Strand, [self = shared_from_this()] {
        self->m_Phase = Phase::Done;
        self->m_Backlog.clear();
        self->ReleaseDecoder();
    });
}

void SphinxTurn::Emit(Reply reply) {
    if (m_Cancelled) return;
    boost::asio::post(m_Io,
                      [fn = m_Reply, reply = std::move(reply)]() mutable { fn(std::move(reply)); });
}

void SphinxTurn::EmitMessage(const char *path, std::string body) {
    Reply reply;
    reply.m_Path = path;
    reply.m_Body = std::move(body);
    if (reply.m_Body.empty()) reply.m_ContentType.clear();
    Emit(std::move(reply));
}

void SphinxTurn::ReleaseDecoder() {
    if (m_Decoder) m_Pool.Release(std::move(m_Decoder));
}

void SphinxTurn::ProcessAudio(std::vector<int16_t> samples) {
    if (m_Phase == Phase::Done || m_Phase == Phase::Finishing) return;
    m_Partial.insert(m_Partial.end(), samples.begin(), samples.end());
    size_t used = 0;
    while (m_Partial.size() - used >= kFrameSamples && m_Phase != Phase::Done &&
           m_Phase != Phase::Finishing) {
        ProcessFrame(m_Partial.data() + used);
        used += kFrameSamples;
    }
    m_Partial.erase(m_Partial.begin(), m_Partial.begin() + static_cast<std::ptrdiff_t>(used));
}

void SphinxTurn::ProcessFrame(const int16_t *frame) {
    m_Samples += static_cast<int64_t>(kFrameSamples);
    if (m_Decoder) {
        FeedDecoder(frame, kFrameSamples);
    } else {
        m_Backlog.insert(m_Backlog.end(), frame, frame + kFrameSamples);
    }
    if (m_Phase == Phase::Speech && !m_DecoderRequested) {
        m_BandDetector.Frame(frame);
        if (m_BandDetector.Decided()) ChooseBand(true);
    }
    switch (m_Endpointer.ProcessFrame(frame)) {
        case EndpointEvent::SpeechStart:
            StartSpeech();
            break;
        case EndpointEvent::SpeechEnd:
        case EndpointEvent::SpeechCapped:
            EndSpeech(m_Endpointer.SpeechEndSample());
            return;
        case EndpointEvent::InitialSilenceTimeout:
            FinishWithout("InitialSilenceTimeout");
            return;
        case EndpointEvent::BabbleTimeout:
            FinishWithout("BabbleTimeout");
            return;
        case EndpointEvent::None:
            break;
    }
    if (m_Phase == Phase::Waiting) {
        // Only the recent past can become the context of speech found later.
        while (static_cast<int64_t>(m_Backlog.size()) > kWaitingKeepSamples) {
            m_Backlog.pop_front();
            ++m_BacklogStart;
        }
    } else if (m_Phase == Phase::Speech) {
        MaybeHypothesis(m_Samples);
    }
}

void SphinxTurn::StartSpeech() {
    m_Phase = Phase::Speech;
    int64_t start = m_Endpointer.SpeechStartSample();
    EmitMessage("speech.startDetected", OffsetBody(start * kTicksPerSample16k));
    int64_t keepFrom = std::max<int64_t>(0, start - kPrerollSamples);
    while (m_BacklogStart < keepFrom && !m_Backlog.empty()) {
        m_Backlog.pop_front();
        ++m_BacklogStart;
    }
    m_NextHypothesis = start + m_HypothesisEvery;
    if (m_BandMode != BandMode::Auto) {
        ChooseBand(false);
        return;
    }
    // The speech found so far, from its first frame.
    for (int64_t at = std::max(start, m_BacklogStart) - m_BacklogStart;
         at + static_cast<int64_t>(kFrameSamples) <= static_cast<int64_t>(m_Backlog.size());
         at += kFrameSamples) {
        int16_t frame[kFrameSamples];
        std::copy_n(m_Backlog.begin() + at, kFrameSamples, frame);
        m_BandDetector.Frame(frame);
    }
    if (m_BandDetector.Decided()) ChooseBand(true);
}

void SphinxTurn::ChooseBand(bool detected) {
    if (m_BandMode == BandMode::Wide) {
        m_Band = Band::Wide;
    } else if (m_BandMode == BandMode::Narrow) {
        m_Band = Band::Narrow;
    } else {
        m_Band = m_BandDetector.Result();
    }
    const char *how = m_BandMode != BandMode::Auto ? "fixed" : detected ? "detected" : "default";
    double highDb = m_BandDetector.HighBandDb();
    if (m_Log != nullptr) {
        m_Log->Record("band", m_Params.m_ConnectionId, [&](EventLog::Writer &w) {
            EventLog::Str(w, "requestId", m_Params.m_RequestId);
            EventLog::Str(w, "band", BandName(m_Band));
            EventLog::Str(w, "how", how);
            w.Key("frames");
            w.Int(m_BandDetector.CountedFrames());
            w.Key("highBandDb");
            w.Double(std::round(highDb * 10.0) / 10.0);
        });
    }
    if (m_Verbose) {
        std::fprintf(
            stderr,
            "speech-service: connection %llu turn %s: %s band (%s, %d frames, high band %.1f dB)\n",
            static_cast<unsigned long long>(m_Params.m_ConnectionId), m_Params.m_RequestId.c_str(),
            BandName(m_Band), how, m_BandDetector.CountedFrames(), highDb);
    }
    RequestDecoder();
}

void SphinxTurn::RequestDecoder() {
    m_DecoderRequested = true;
    std::weak_ptr<SphinxTurn> weak = shared_from_this();
    DecoderPool *pool = &m_Pool;
    m_Pool.Acquire([weak, pool, strand = m_Strand](std::unique_ptr<SphinxDecoder> decoder) mutable {
        std::shared_ptr<SphinxTurn> self = weak.lock();
        if (!self) {
            pool->Release(std::move(decoder));  // the turn is gone; keep the pool's capacity
            return;
        }
        boost::asio::post(strand, [self, decoder = std::move(decoder)]() mutable {
            self->OnDecoder(std::move(decoder));
        });
    });
}

void SphinxTurn::OnDecoder(std::unique_ptr<SphinxDecoder> decoder) {
    if (m_Phase == Phase::Done) {
        m_Pool.Release(std::move(decoder));
        return;
    }
    if (!decoder || !decoder->Start(m_Band == Band::Narrow ? NarrowbandProfile() : BandProfile())) {
        m_Failed = true;
        m_Pool.Release(std::move(decoder));
        m_Backlog.clear();
    } else {
        m_Decoder = std::move(decoder);
        CatchUp();
    }
    if (m_Phase == Phase::Finishing) {
        EmitMessage("speech.endDetected", OffsetBody(m_EndSample * kTicksPerSample16k));
        TryFinish();
    }
}

void SphinxTurn::CatchUp() {
    // The audio that arrived while the turn waited, with the hypotheses it
    // would have produced on time, all before the end of speech is told.
    int64_t limit = m_Phase == Phase::Finishing ? m_EndSample : m_Samples;
    while (!m_Backlog.empty()) {
        int64_t upto = m_BacklogStart + static_cast<int64_t>(m_Backlog.size());
        int64_t stop = upto;
        if (m_NextHypothesis > m_BacklogStart && m_NextHypothesis < upto &&
            m_NextHypothesis <= limit)
            stop = m_NextHypothesis;
        std::vector<int16_t> piece(
            m_Backlog.begin(),
            m_Backlog.begin() + static_cast<std::ptrdiff_t>(stop - m_BacklogStart));
        m_Backlog.erase(m_Backlog.begin(),
                        m_Backlog.begin() + static_cast<std::ptrdiff_t>(piece.size()));
        m_BacklogStart = stop;
        FeedDecoder(piece.data(), piece.size());
        if (stop <= limit) MaybeHypothesis(stop);
    }
}

void SphinxTurn::FeedDecoder(const int16_t *samples, size_t count) {
    if (m_Failed || !m_Decoder || count == 0) return;
    if (!m_Decoder->Feed(samples, count)) m_Failed = true;
}

void SphinxTurn::MaybeHypothesis(int64_t position) {
    if (!m_Decoder || m_Failed || position < m_NextHypothesis) return;
    while (m_NextHypothesis <= position) m_NextHypothesis += m_HypothesisEvery;
    std::string text = m_Decoder->Partial();
    if (text.empty()) return;
    int64_t start = m_Endpointer.SpeechStartSample();
    EmitMessage("speech.hypothesis", HypothesisBody(text, start * kTicksPerSample16k,
                                                    (position - start) * kTicksPerSample16k));
}

void SphinxTurn::EndSpeech(int64_t endSample) {
    m_Phase = Phase::Finishing;
    m_EndSample = endSample;
    // Speech shorter than the band's judgement: what it had decides.
    if (!m_DecoderRequested) ChooseBand(m_BandDetector.CountedFrames() > 0);
    // Without its decoder yet, the turn tells the end once it has caught up.
    if (!m_Decoder && !m_Failed) return;
    EmitMessage("speech.endDetected", OffsetBody(endSample * kTicksPerSample16k));
    TryFinish();
}

void SphinxTurn::ProcessEndOfAudio() {
    switch (m_Phase) {
        case Phase::Waiting:
            m_Samples += static_cast<int64_t>(m_Partial.size());
            FinishWithout(m_Endpointer.MostlyActive() ? "BabbleTimeout" : "InitialSilenceTimeout");
            break;
        case Phase::Speech: {
            // The rest of a frame is still speech for the decoder.
            if (m_Decoder) {
                FeedDecoder(m_Partial.data(), m_Partial.size());
            } else {
                m_Backlog.insert(m_Backlog.end(), m_Partial.begin(), m_Partial.end());
            }
            m_Samples += static_cast<int64_t>(m_Partial.size());
            m_Partial.clear();
            EndSpeech(m_Samples);
            break;
        }
        case Phase::Finishing:
        case Phase::Done:
            break;
    }
}

void SphinxTurn::TryFinish() {
    if (m_Phase != Phase::Finishing) return;
    if (!m_Decoder && !m_Failed) return;  // OnDecoder finishes when the decoder comes
    PhraseResult result;
    int64_t start = m_Endpointer.SpeechStartSample();
    result.m_Offset = start * kTicksPerSample16k;
    result.m_Duration = std::max<int64_t>(0, m_EndSample - start) * kTicksPerSample16k;
    DecodeResult decoded;
    if (m_Failed || !m_Decoder->Finish(decoded)) {
        result.m_Status = "Error";
    } else if (decoded.m_Texts.empty()) {
        result.m_Status = "NoMatch";
    } else {
        result.m_Status = "Success";
        for (size_t i = 0; i < decoded.m_Texts.size(); ++i) {
            result.m_NBest.push_back(MakeAlternative(decoded.m_Texts[i], decoded.m_Confidences[i]));
        }
    }
    ReleaseDecoder();
    m_Phase = Phase::Done;
    EmitMessage("speech.phrase", PhraseBody(result, m_Params.m_Format));
    EmitMessage("turn.end", std::string());
}

void SphinxTurn::FinishWithout(const char *status) {
    m_Phase = Phase::Done;
    m_Backlog.clear();
    ReleaseDecoder();
    int64_t end = m_Samples * kTicksPerSample16k;
    PhraseResult result;
    result.m_Status = status;
    result.m_Offset = end;
    result.m_Duration = 0;
    EmitMessage("speech.endDetected", OffsetBody(end));
    EmitMessage("speech.phrase", PhraseBody(result, m_Params.m_Format));
    EmitMessage("turn.end", std::string());
}

}  // namespace SpeechService
