// The service's parts called directly, for what only a direct call shows:
// speech and band detection on synthetic and synthesised audio, message
// parsing with header names in any case, skipped WAV chunks, exact reply
// bodies, the scenarios refused with their place named, every upgrade check
// with its status and token expiry on an injected clock. What the running
// service does with them: the protocol and recognition tests.

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

#include "Band.h"
#include "Endpointer.h"
#include "KoralTest/Speech.h"
#include "ReplyFormat.h"
#include "Scenario.h"
#include "ServiceMessage.h"
#include "TokenIssuer.h"
#include "UpgradeRequest.h"
#include "Voicing.h"
#include "WavHeader.h"

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

TEST(MessageFormatTest, ClientMessagesAndWavHeaders) {
    ClientMessage m;
    std::string text =
        "path:telemetry\r\nx-requestid:0123456789ABCDEF0123456789abcdef\r\nX-Timestamp: t\r\n"
        "Content-Type:application/json\r\nX-Other:1\r\n\r\n{\"a\":1}";
    ASSERT_TRUE(ParseTextMessage(text, m).m_Ok);
    EXPECT_EQ("telemetry", m.m_Path);
    EXPECT_EQ("0123456789ABCDEF0123456789abcdef", m.m_RequestId);
    EXPECT_EQ("t", m.m_Timestamp);
    EXPECT_EQ("application/json", m.m_ContentType);
    EXPECT_EQ(5u, m.m_Headers.size());
    EXPECT_EQ("{\"a\":1}", m.m_Body);

    std::string header = "Path:audio\r\nX-RequestId:0123456789abcdef0123456789abcdef\r\n";
    std::string binary = std::string(1, '\0') + static_cast<char>(header.size()) + header + "RIFFx";
    ASSERT_TRUE(ParseBinaryMessage(binary, m).m_Ok);  // the body is a view into `binary`
    EXPECT_EQ("audio", m.m_Path);
    EXPECT_TRUE(m.m_HasRequestId);
    EXPECT_EQ("RIFFx", m.m_Body);

    // A LIST chunk of 3 bytes (padded to 4) between fmt and data.
    std::string h = KoralTest::StreamWavHeader(8000);
    std::string list = std::string("LIST\x03\x00\x00\x00", 8) + "abc" + std::string(1, '\0');
    WavFormat f;
    std::string error;
    ASSERT_TRUE(ParseWavHeader(h.substr(0, 36) + list + h.substr(36), f, error)) << error;
    EXPECT_EQ(8000u, f.m_SampleRate);
    EXPECT_TRUE(IsPcm16Mono(f));
    EXPECT_EQ(56u, f.m_DataOffset);
    EXPECT_FALSE(ParseWavHeader("RIFF\0\0\0\0WAVX", f, error));
    EXPECT_FALSE(ParseWavHeader(h.substr(0, 30), f, error));
    EXPECT_FALSE(HasRiffHeader("RIF"));
}

TEST(MessageFormatTest, ReplyBodies) {
    PhraseResult r;
    r.m_Status = "Success";
    r.m_Offset = 3000000;
    r.m_Duration = 9000000;
    r.m_NBest = {MakeAlternative("yes please", 0.93), MakeAlternative("yes", 1.0)};
    EXPECT_EQ(
        R"({"RecognitionStatus":"Success","DisplayText":"Yes please.","Offset":3000000,"Duration":9000000})",
        PhraseBody(r, ResultFormat::Simple));
    EXPECT_EQ(
        R"({"RecognitionStatus":"Success","Offset":3000000,"Duration":9000000,"NBest":[)"
        R"({"Confidence":0.93,"Lexical":"yes please","ITN":"yes please","MaskedITN":"yes please","Display":"Yes please."},)"
        R"({"Confidence":1.0,"Lexical":"yes","ITN":"yes","MaskedITN":"yes","Display":"Yes."}]})",
        PhraseBody(r, ResultFormat::Detailed));
    r.m_Status = "NoMatch";
    EXPECT_EQ(R"({"RecognitionStatus":"NoMatch","Offset":3000000,"Duration":9000000})",
              PhraseBody(r, ResultFormat::Detailed));
    EXPECT_EQ(R"({"Text":"a \"b\"","Offset":1,"Duration":2})", HypothesisBody("a \"b\"", 1, 2));
}

TEST(ScenarioTest, ErrorsNameTheirPlace) {
    // Nesting a million levels once overflowed the stack of the recursive
    // JSON parser: it is refused beyond 64 levels, whole document or body.
    const std::string deep(1000000, '[');
    const struct {
        std::string m_Text;
        const char *m_Error;
    } cases[] = {
        {"[1]", "the scenario must be a JSON object"},
        {R"({"turn":[]})", "scenario: unknown member \"turn\""},
        {R"({"turns":[{"endMs":-1}]})", "turns[0]: \"endMs\" must be an integer from 0"},
        {R"({"turns":[{"nbest":[{"lexical":"a","confidence":2}]}]})",
         "turns[0].nbest[0]: \"confidence\" must be a number"},
        {R"({"turns":[{"messages":[{"body":{}}]}]})",
         "turns[0].messages[0]: a message needs \"path\" or \"action\""},
        {R"({"turns":[{"messages":[],"status":"Success"}]})", "cannot be combined"},
        {R"({"turns":[{"faults":[{"at":"speech.phrase"}]}]})",
         "turns[0].faults[0]: \"action\" is required"},
        {R"({"turns":[{"faults":[{"at":"end","action":"masked"}]}]})",
         "\"masked\" needs a message in \"at\""},
        {R"({"turns":[{"match":{"minAudioMs":5,"maxAudioMs":1}}]})",
         "\"minAudioMs\" is above \"maxAudioMs\""},
        {R"({"turns":[{"messages":[{"path":"speech.phrase","body":)" + deep +
             std::string(deep.size(), ']') + "}]}]}",
         "JSON error at line 1: nesting deeper than 64 levels"},
        {deep, "JSON error at line 1: nesting deeper than 64 levels"},
        {R"({"turns":[{"hypothesis":["x"]}]})", "turns[0]: unknown member \"hypothesis\""},
        {R"({"turns":[{"faults":[{"at":"speech.phrase","action":"explode"}]}]})",
         "unknown action \"explode\""},
        {R"({"turns":[{"faults":[{"at":"speech.nothing","action":"close"}]}]})",
         "no message \"speech.nothing\""},
        {R"({"token":{"status":42}})", "\"status\" must be an integer from 100 to 599"},
        {R"({"repeat":"sometimes"})", "\"repeat\" must be"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.m_Error);
        Scenario s;
        std::string error;
        EXPECT_FALSE(ParseScenario(c.m_Text, s, error));
        EXPECT_NE(std::string::npos, error.find(c.m_Error)) << error;
    }
    Scenario s;
    std::string error;
    ASSERT_TRUE(ParseScenario("{}", s, error)) << error;
}

TEST(UpgradeRequestTest, TokensExpireAfterTheirLifetime) {
    TokenIssuer::Clock::time_point now{};
    TokenIssuer tokens(std::chrono::seconds(600), [&now] { return now; });
    std::string a = tokens.Issue();
    EXPECT_NE(a, tokens.Issue());
    EXPECT_EQ(TokenIssuer::Check::Valid, tokens.Validate(a));
    now += std::chrono::seconds(599);
    EXPECT_EQ(TokenIssuer::Check::Valid, tokens.Validate(a));
    now += std::chrono::seconds(1);
    EXPECT_EQ(TokenIssuer::Check::Expired, tokens.Validate(a));
    EXPECT_EQ(TokenIssuer::Check::Unknown, tokens.Validate("lst.other"));
    // Long-expired tokens are forgotten when new ones are issued.
    now += std::chrono::hours(3);
    tokens.Issue();
    EXPECT_EQ(TokenIssuer::Check::Unknown, tokens.Validate(a));
}

TEST(UpgradeRequestTest, EachCheckHasItsStatus) {
    TokenIssuer::Clock::time_point now{};
    TokenIssuer tokens(std::chrono::seconds(10), [&now] { return now; });
    const std::string token = tokens.Issue();
    auto valid = [&] {
        UpgradeInput in;
        in.m_Method = "GET";
        in.m_Target = std::string(kRecognitionPath) +
                      "?format=detailed&language=de%2DDE&initialSilenceTimeoutMs=3000"
                      "&endSilenceTimeoutMs=800&flag&=v";
        in.m_IsWebSocketUpgrade = true;
        in.m_HasAuthorization = true;
        in.m_Authorization = "Bearer " + token;
        in.m_HasConnectionId = true;
        in.m_ConnectionId = "c";
        return in;
    };
    UpgradeDecision d = CheckUpgrade(valid(), tokens);
    EXPECT_EQ(101, d.m_Status) << d.m_Reason;
    EXPECT_EQ("de-DE", d.m_Settings.m_Language);
    EXPECT_EQ(ResultFormat::Detailed, d.m_Settings.m_Format);
    EXPECT_EQ(3000, d.m_Settings.m_InitialSilenceMs);
    EXPECT_EQ(800, d.m_Settings.m_EndSilenceMs);

    auto target = [](const char *query) {
        return [query](UpgradeInput &in) { in.m_Target = std::string(kRecognitionPath) + query; };
    };
    const struct {
        const char *m_Name;
        std::function<void(UpgradeInput &)> m_Change;
        int m_Status;
    } cases[] = {
        {"other path", [](UpgradeInput &in) { in.m_Target = "/other"; }, 404},
        {"dictation path",
         [](UpgradeInput &in) {
             in.m_Target = "/speech/recognition/dictation/cognitiveservices/v1?language=en-US";
         },
         404},
        {"no upgrade", [](UpgradeInput &in) { in.m_IsWebSocketUpgrade = false; }, 400},
        {"basic scheme", [](UpgradeInput &in) { in.m_Authorization = "Basic abc"; }, 401},
        {"scheme in lower case", [&](UpgradeInput &in) { in.m_Authorization = "bearer " + token; },
         101},
        {"no authorization", [](UpgradeInput &in) { in.m_HasAuthorization = false; }, 401},
        {"unknown token", [](UpgradeInput &in) { in.m_Authorization = "Bearer lst.nope"; }, 401},
        {"no connection id", [](UpgradeInput &in) { in.m_HasConnectionId = false; }, 400},
        {"empty connection id", [](UpgradeInput &in) { in.m_ConnectionId = ""; }, 400},
        {"negative timeout", target("?language=en-US&initialSilenceTimeoutMs=-5"), 400},
        {"no language", target("?format=simple"), 400},
        {"empty language", target("?language="), 400},
        {"unknown format", target("?language=en-US&format=fancy"), 400},
        {"timeout not a number", target("?language=en-US&endSilenceTimeoutMs=soon"), 400},
        {"absolute form",
         [](UpgradeInput &in) {
             in.m_Target = "https://127.0.0.1:8443" + std::string(kRecognitionPath) + "?language=x";
         },
         101},
    };
    for (const auto &c : cases) {
        UpgradeInput in = valid();
        c.m_Change(in);
        EXPECT_EQ(c.m_Status, CheckUpgrade(in, tokens).m_Status) << c.m_Name;
    }
    EXPECT_EQ("a b", ParseQuery("x=a+b")["x"]);
    std::string path, query;
    SplitTarget("http://host", path, query);
    EXPECT_EQ("/", path);
    now += std::chrono::seconds(10);
    UpgradeDecision expired = CheckUpgrade(valid(), tokens);
    EXPECT_EQ(401, expired.m_Status);
    EXPECT_EQ("expired", expired.m_TokenCheck);
}

}  // namespace
