// The service's own speech and band detection, on synthetic and synthesised
// audio.

#include <gtest/gtest.h>

#include <cstdlib>

#include "Band.h"
#include "Endpointer.h"
#include "KoralTest/Speech.h"
#include "Voicing.h"

using namespace SpeechService;
using KoralTest::Samples;

namespace {

// First and one-past-last sample of the 10 ms frames above -50 dBFS.
std::pair<int64_t, int64_t> Loud(const Samples &s) {
    int64_t first = -1, last = -1;
    for (size_t at = 0; at + kFrameSamples <= s.size(); at += kFrameSamples) {
        double sum = 0;
        for (size_t i = 0; i < kFrameSamples; ++i) sum += double(s[at + i]) * s[at + i];
        if (sum / kFrameSamples > 32768.0 * 32768.0 * 1e-5) {
            if (first < 0) first = static_cast<int64_t>(at);
            last = static_cast<int64_t>(at + kFrameSamples);
        }
    }
    return {first, last};
}

// Each row runs a fresh endpointer over its audio until its event, then
// checks where the event came and the sample it reports (start or end of
// speech; -1: not checked). Noise is not voiced: it never starts speech.
TEST(EndpointerTest, EventsAndTheirSamples) {
    using E = EndpointEvent;
    const Samples tone300 = KoralTest::Tone(300, 16000, 200.0, 0.3);
    Samples noise, speech;
    std::string error;
    ASSERT_TRUE(KoralTest::Noise(2000, 16000, 0.3, noise, &error)) << error;
    ASSERT_TRUE(KoralTest::Synthesize("check my account balance", 16000, speech, &error)) << error;
    const Samples spoken =
        KoralTest::Join({KoralTest::Silence(500, 16000), speech, KoralTest::Silence(1000, 16000)});
    const Samples toneThenSilence =
        KoralTest::Join({KoralTest::Silence(300, 16000), KoralTest::Tone(500, 16000, 200.0, 0.3),
                         KoralTest::Silence(2000, 16000)});
    const std::pair<int64_t, int64_t> loud = Loud(spoken);
    EndpointerSettings quick, pauses, capped;
    quick.m_InitialSilenceMs = 1000;
    pauses.m_EndSilenceMs = 500;
    capped.m_MaxSpeechMs = 2000;
    const struct {
        const char *m_Name;
        EndpointerSettings m_Settings;
        Samples m_Audio;
        EndpointEvent m_Event;
        int64_t m_At;      // one past the frame of the event; -1: not checked
        int64_t m_Sample;  // SpeechStartSample for SpeechStart, else SpeechEndSample
        int64_t m_Leeway;
    } rows[] = {
        {"silence", quick, KoralTest::Silence(3000, 16000), E::InitialSilenceTimeout, 16000, -1, 0},
        {"noise", quick, noise, E::BabbleTimeout, -1, -1, 0},
        {"tone starts", {}, toneThenSilence, E::SpeechStart, -1, 300 * 16, 0},
        {"500 ms of silence end it", {}, toneThenSilence, E::SpeechEnd, 1300 * 16, 800 * 16, 0},
        {"a shorter pause does not", pauses,
         KoralTest::Join(
             {tone300, KoralTest::Silence(400, 16000), tone300, KoralTest::Silence(1000, 16000)}),
         E::SpeechEnd, -1, 1000 * 16, 0},
        {"long speech is capped", capped, KoralTest::Tone(5000, 16000, 200.0, 0.3), E::SpeechCapped,
         -1, 2000 * 16, 0},
        // The synthesiser leaves silence of its own around the words.
        {"speech starts", {}, spoken, E::SpeechStart, -1, loud.first, 50 * 16},
        {"speech ends", {}, spoken, E::SpeechEnd, -1, loud.second, 50 * 16},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.m_Name);
        Endpointer e(row.m_Settings);
        int64_t at = -1;
        for (size_t i = 0; at < 0 && i + kFrameSamples <= row.m_Audio.size(); i += kFrameSamples) {
            if (e.ProcessFrame(row.m_Audio.data() + i) == row.m_Event)
                at = static_cast<int64_t>(i + kFrameSamples);
        }
        ASSERT_GE(at, 0) << "no such event";
        int64_t sample =
            row.m_Event == E::SpeechStart ? e.SpeechStartSample() : e.SpeechEndSample();
        EXPECT_TRUE(row.m_At < 0 || row.m_At == at) << "event after sample " << at;
        EXPECT_TRUE(row.m_Sample < 0 || std::abs(row.m_Sample - sample) <= row.m_Leeway)
            << "reported sample " << sample;
        EXPECT_TRUE(row.m_Event != E::InitialSilenceTimeout || (e.Done() && !e.SpeechStarted()));
        EXPECT_TRUE(row.m_Event != E::BabbleTimeout || e.MostlyActive());
    }
    // Silence has no period, and no division by its zero energy.
    Samples silence(kVoicingWindow, 0);
    EXPECT_EQ(0.0, Periodicity(silence.data()));
}

// The band of whole recordings, as a turn would judge its first loud frames.
BandDetector Judge(const Samples &audio) {
    BandDetector d(-50.0, 30);
    for (size_t at = 0; at + kFrameSamples <= audio.size() && !d.Decided(); at += kFrameSamples) {
        d.Frame(audio.data() + at);
    }
    return d;
}

TEST(BandTest, TelephoneBandIsToldFromWidebandSilenceAndNoise) {
    std::string error;
    for (KoralTest::Voice voice :
         {KoralTest::Voice::FliteKal16, KoralTest::Voice::FliteAwb, KoralTest::Voice::EspeakNg}) {
        Samples wide, narrow, converted;
        ASSERT_TRUE(KoralTest::Synthesize("check my account balance", 16000, wide, &error, voice))
            << error;
        ASSERT_TRUE(KoralTest::Synthesize("check my account balance", 8000, narrow, &error, voice))
            << error;
        ASSERT_TRUE(KoralTest::Resample(narrow, 8000, 16000, converted, &error)) << error;
        BandDetector w = Judge(wide), n = Judge(converted);
        EXPECT_TRUE(w.Decided());
        EXPECT_EQ(Band::Wide, w.Result()) << w.HighBandDb();
        EXPECT_TRUE(n.Decided());
        EXPECT_EQ(Band::Narrow, n.Result()) << n.HighBandDb();
        EXPECT_GT(w.HighBandDb() - n.HighBandDb(), 20.0);  // a wide margin either side of the line
    }

    // Silence: nothing to judge, the model's own band.
    BandDetector silent = Judge(KoralTest::Silence(1000, 16000));
    EXPECT_FALSE(silent.Decided());
    EXPECT_EQ(0, silent.CountedFrames());
    EXPECT_EQ(Band::Wide, silent.Result());
    // Hiss is judged by its spectrum: a line's own hiss is narrow.
    Samples noise, lineNoise, converted;
    ASSERT_TRUE(KoralTest::Noise(500, 16000, 0.3, noise, &error)) << error;
    EXPECT_EQ(Band::Wide, Judge(noise).Result());
    ASSERT_TRUE(KoralTest::Noise(500, 8000, 0.3, lineNoise, &error)) << error;
    ASSERT_TRUE(KoralTest::Resample(lineNoise, 8000, 16000, converted, &error)) << error;
    EXPECT_EQ(Band::Narrow, Judge(converted).Result());
    // Tones: one below 4 kHz alone looks like a line, one above it cannot be.
    EXPECT_EQ(Band::Narrow, Judge(KoralTest::Tone(500, 16000, 3500.0, 0.9)).Result());
    EXPECT_EQ(Band::Wide, Judge(KoralTest::Tone(500, 16000, 6000.0, 0.9)).Result());
    // The calibrated narrowband profile built into the service fits the model.
    EXPECT_EQ(13u, NarrowbandProfile().m_InitialMean.size());
    EXPECT_GT(NarrowbandProfile().m_DitherLsb, 0.0);
}

}  // namespace
