// The service's own speech and band detection, on synthetic and synthesised
// audio.

#include <gtest/gtest.h>

#include "Band.h"
#include "Endpointer.h"
#include "KoralTest/Speech.h"
#include "Voicing.h"

using namespace SpeechService;
using KoralTest::Samples;

namespace {

struct Outcome {
    EndpointEvent m_Event = EndpointEvent::None;
    int64_t m_AtSample = -1;
};

// Runs frames until the first event of `kind` (or the end).
Outcome RunUntil(Endpointer &e, const Samples &audio, EndpointEvent kind) {
    for (size_t at = 0; at + kFrameSamples <= audio.size(); at += kFrameSamples) {
        EndpointEvent ev = e.ProcessFrame(audio.data() + at);
        if (ev == kind) return {ev, static_cast<int64_t>(at + kFrameSamples)};
    }
    return {};
}

TEST(VoicingTest, TonesAreVoicedNoiseIsNot) {
    Samples tone = KoralTest::Tone(40, 16000, 150.0, 0.5);
    EXPECT_GT(Periodicity(tone.data()), 0.9);
    Samples noise;
    ASSERT_TRUE(KoralTest::Noise(40, 16000, 0.5, noise));
    ASSERT_GE(noise.size(), kVoicingWindow);
    EXPECT_LT(Periodicity(noise.data()), 0.3);
    Samples silence(kVoicingWindow, 0);
    EXPECT_EQ(0.0, Periodicity(silence.data()));
}

TEST(EndpointerTest, SilenceEndsWithInitialSilenceTimeout) {
    EndpointerSettings s;
    s.m_InitialSilenceMs = 1000;
    Endpointer e(s);
    Outcome o = RunUntil(e, KoralTest::Silence(3000, 16000), EndpointEvent::InitialSilenceTimeout);
    EXPECT_EQ(EndpointEvent::InitialSilenceTimeout, o.m_Event);
    EXPECT_EQ(16000, o.m_AtSample);
    EXPECT_TRUE(e.Done());
    EXPECT_FALSE(e.SpeechStarted());
}

TEST(EndpointerTest, NoiseWithoutVoiceEndsAsBabble) {
    EndpointerSettings s;
    s.m_InitialSilenceMs = 1000;
    Endpointer e(s);
    Samples noise;
    ASSERT_TRUE(KoralTest::Noise(2000, 16000, 0.3, noise));
    EXPECT_EQ(EndpointEvent::BabbleTimeout,
              RunUntil(e, noise, EndpointEvent::BabbleTimeout).m_Event);
    EXPECT_TRUE(e.MostlyActive());
}

TEST(EndpointerTest, VoicedSoundStartsAndSilenceEndsSpeech) {
    Endpointer e(EndpointerSettings{});
    Samples audio =
        KoralTest::Join({KoralTest::Silence(300, 16000), KoralTest::Tone(500, 16000, 200.0, 0.3),
                         KoralTest::Silence(2000, 16000)});
    Outcome start = RunUntil(e, audio, EndpointEvent::SpeechStart);
    ASSERT_EQ(EndpointEvent::SpeechStart, start.m_Event);
    EXPECT_EQ(300 * 16, e.SpeechStartSample());
    Outcome end = RunUntil(e, Samples(audio.begin() + start.m_AtSample, audio.end()),
                           EndpointEvent::SpeechEnd);
    ASSERT_EQ(EndpointEvent::SpeechEnd, end.m_Event);
    EXPECT_EQ(800 * 16, e.SpeechEndSample());
    // Ended after 500 ms without sound.
    EXPECT_EQ(start.m_AtSample + end.m_AtSample, 1300 * 16);
}

TEST(EndpointerTest, ShortPausesInsideSpeechDoNotEndIt) {
    EndpointerSettings s;
    s.m_EndSilenceMs = 500;
    Endpointer e(s);
    Samples audio =
        KoralTest::Join({KoralTest::Tone(300, 16000, 200.0, 0.3), KoralTest::Silence(400, 16000),
                         KoralTest::Tone(300, 16000, 200.0, 0.3), KoralTest::Silence(1000, 16000)});
    Outcome end = RunUntil(e, audio, EndpointEvent::SpeechEnd);
    ASSERT_EQ(EndpointEvent::SpeechEnd, end.m_Event);
    EXPECT_EQ(1000 * 16, e.SpeechEndSample());
}

TEST(EndpointerTest, LongSpeechIsCapped) {
    EndpointerSettings s;
    s.m_MaxSpeechMs = 2000;
    Endpointer e(s);
    Outcome o = RunUntil(e, KoralTest::Tone(5000, 16000, 200.0, 0.3), EndpointEvent::SpeechCapped);
    ASSERT_EQ(EndpointEvent::SpeechCapped, o.m_Event);
    EXPECT_EQ(2000 * 16, e.SpeechEndSample());
}

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

TEST(EndpointerTest, SynthesisedSpeechIsFound) {
    Samples speech;
    std::string error;
    ASSERT_TRUE(KoralTest::Synthesize("check my account balance", 16000, speech, &error)) << error;
    Samples audio =
        KoralTest::Join({KoralTest::Silence(500, 16000), speech, KoralTest::Silence(1000, 16000)});
    Endpointer e(EndpointerSettings{});
    ASSERT_EQ(EndpointEvent::SpeechStart, RunUntil(e, audio, EndpointEvent::SpeechStart).m_Event);
    // The synthesiser leaves silence of its own around the words.
    std::pair<int64_t, int64_t> loud = Loud(audio);
    EXPECT_NEAR(loud.first, e.SpeechStartSample(), 50 * 16);
    Endpointer e2(EndpointerSettings{});
    ASSERT_EQ(EndpointEvent::SpeechEnd, RunUntil(e2, audio, EndpointEvent::SpeechEnd).m_Event);
    EXPECT_NEAR(loud.second, e2.SpeechEndSample(), 50 * 16);
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
}

TEST(BandTest, ProfilesAndModes) {
    // The calibrated profile built into the service parses and fits the model.
    EXPECT_EQ(13u, NarrowbandProfile().m_InitialMean.size());
    EXPECT_GT(NarrowbandProfile().m_DitherLsb, 0.0);

    BandProfile p;
    std::string error;
    ASSERT_TRUE(
        ParseBandProfile("# comment\n-cmninit 1,-2.5,3e1  # trailing\n\n-dither 0.5\n", p, error))
        << error;
    EXPECT_EQ((std::vector<float>{1.0f, -2.5f, 30.0f}), p.m_InitialMean);
    EXPECT_EQ(0.5, p.m_DitherLsb);
    for (const char *bad : {"-cmninit 1,,2", "-cmninit 1,x", "-dither -1", "-dither", "-dither 1 2",
                            "-upperf 3800", "-cmninit nan"}) {
        EXPECT_FALSE(ParseBandProfile(bad, p, error)) << bad;
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(0.5, p.m_DitherLsb) << "a bad text leaves the profile as it was";
    }

    BandMode mode = BandMode::Auto;
    EXPECT_TRUE(ParseBandMode("narrow", mode));
    EXPECT_EQ(BandMode::Narrow, mode);
    EXPECT_TRUE(ParseBandMode("wide", mode));
    EXPECT_EQ(BandMode::Wide, mode);
    EXPECT_TRUE(ParseBandMode("auto", mode));
    EXPECT_EQ(BandMode::Auto, mode);
    EXPECT_FALSE(ParseBandMode("Narrow", mode));
    EXPECT_STREQ("narrow", BandName(Band::Narrow));
    EXPECT_STREQ("wide", BandName(Band::Wide));
}

}  // namespace
