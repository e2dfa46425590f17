// Real recognition with pocketsphinx: speech synthesised now with flite
// (voice kal16), converted to 16 kHz without dither (telephone speech: to
// 8 kHz first, as a caller's) and sent in 80 ms chunks. One service serves
// the whole suite: loading the model is the slow part.

#include <cstdio>
#include <thread>

#include "ServiceFixture.h"

using namespace KoralTest;
using KoralTest::Samples;

namespace {

class RecognitionTest : public ServiceTest {
  protected:
    static void SetUpTestSuite() {
        ServiceTest::SetUpTestSuite();
        KoralTest::SpeechServiceOptions o;
        o.m_Engine = "pocketsphinx";
        o.m_CertFile = Certs().CertFile();
        o.m_KeyFile = Certs().KeyFile();
        o.m_CaFile = Certs().CaFile();
        o.m_ExtraArgs = {"--decoders", "2"};
        std::string error;
        auto start = std::chrono::steady_clock::now();
        s_Service = KoralTest::SpeechServiceProcess::Start(o, &error);
        ASSERT_TRUE(s_Service) << error;
        std::printf(
            "[ info ] pocketsphinx service ready in %.2f s\n",
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    static void TearDownTestSuite() {
        if (s_Service) {
            EXPECT_EQ(0, s_Service->Stop()) << s_Service->Stderr();
        }
        s_Service.reset();
        ServiceTest::TearDownTestSuite();
    }

    static Samples Phrase(const std::string &text, bool telephone = false) {
        Samples speech, converted;
        std::string error;
        EXPECT_TRUE(KoralTest::Synthesize(text, telephone ? 8000 : 16000, speech, &error)) << error;
        if (telephone) {
            EXPECT_TRUE(KoralTest::Resample(speech, 8000, 16000, converted, &error)) << error;
            speech.swap(converted);
        }
        return KoralTest::Join(
            {KoralTest::Silence(300, 16000), speech, KoralTest::Silence(1000, 16000)});
    }

    static std::string Lexical(const std::vector<ServiceMessage> &turn) {
        const ServiceMessage *phrase = Find(turn, "speech.phrase");
        if (phrase == nullptr || Status(turn) != "Success") return "<" + Status(turn) + ">";
        return Json(phrase->m_Body)["NBest"][0]["Lexical"].GetString();
    }

    // The band the service logged for a turn: "band/how", or "" without one.
    static std::string LoggedBand(const KoralTest::SpeechServiceProcess &service,
                                  const std::string &requestId) {
        for (const KoralTest::ServiceEvent &e :
             KoralTest::EventLogReader(service.EventLogPath()).Read("band")) {
            if (e.Str("requestId") == requestId) return e.Str("band") + "/" + e.Str("how");
        }
        return std::string();
    }

    // One turn with `audio`; the end of audio is sent only if `sendEnd`.
    std::vector<ServiceMessage> Recognize(
        const Samples &audio, const std::string &query = "format=detailed&language=en-US",
        bool sendEnd = false) {
        auto client = Connect(*s_Service, query);
        std::string id = NewRequestId();
        SendAudio(*client, id, audio);
        if (sendEnd) SendEnd(*client, id);
        std::vector<ServiceMessage> turn = ReadTurn(*client, 30000);
        for (const ServiceMessage &m : turn) EXPECT_EQ(id, m.m_RequestId);
        return turn;
    }

    static std::string Status(const std::vector<ServiceMessage> &turn) {
        const ServiceMessage *phrase = Find(turn, "speech.phrase");
        if (phrase == nullptr) return "<none>";
        return Json(phrase->m_Body)["RecognitionStatus"].GetString();
    }

    // Shared by the suite: loading the model takes seconds.
    inline static std::unique_ptr<KoralTest::SpeechServiceProcess> s_Service;
};

TEST_F(RecognitionTest, PhrasesAreRecognisedAndTheTurnEndsBySilence) {
    const char *phrases[] = {"call home", "yes please", "check my account balance", "no thanks"};
    int correct = 0;
    for (const char *text : phrases) {
        Samples audio = Phrase(text);
        std::vector<ServiceMessage> turn = Recognize(audio);
        std::vector<std::string> paths = Paths(turn);
        ASSERT_GE(paths.size(), 5u) << text;
        EXPECT_EQ("turn.start", paths.front());
        EXPECT_EQ("speech.startDetected", paths[1]);
        EXPECT_EQ("turn.end", paths.back());
        EXPECT_EQ("speech.phrase", paths[paths.size() - 2]);
        EXPECT_EQ("speech.endDetected", paths[paths.size() - 3]);
        EXPECT_NE(nullptr, Find(turn, "speech.hypothesis")) << text;

        // Speech starts after the 300 ms of silence added here (flite adds some
        // of its own) and ends before the audio does.
        int64_t start = Json(turn[1].m_Body)["Offset"].GetInt64();
        int64_t end = Json(turn[paths.size() - 3].m_Body)["Offset"].GetInt64();
        EXPECT_GE(start, 3000000) << text;
        EXPECT_LE(start, 8000000) << text;
        EXPECT_LT(end, static_cast<int64_t>(audio.size()) * 625) << text;
        EXPECT_GT(end, start);

        rapidjson::Document phrase = Json(Find(turn, "speech.phrase")->m_Body);
        ASSERT_STREQ("Success", phrase["RecognitionStatus"].GetString()) << text;
        EXPECT_EQ(start, phrase["Offset"].GetInt64());
        EXPECT_EQ(end - start, phrase["Duration"].GetInt64());
        const rapidjson::Value &nbest = phrase["NBest"];
        ASSERT_GE(nbest.Size(), 1u);
        std::string best = nbest[0]["Lexical"].GetString();
        EXPECT_EQ(text, best);
        correct += best == text;
        for (rapidjson::SizeType i = 0; i < nbest.Size(); ++i) {
            EXPECT_TRUE(nbest[i]["Confidence"].IsDouble());
            EXPECT_LE(nbest[i]["Confidence"].GetDouble(), nbest[0]["Confidence"].GetDouble());
            for (rapidjson::SizeType j = 0; j < i; ++j)
                EXPECT_STRNE(nbest[i]["Lexical"].GetString(), nbest[j]["Lexical"].GetString());
        }
    }
    std::printf("[ info ] accuracy %d/4\n", correct);
}

TEST_F(RecognitionTest, SimpleFormatAndTheEmptyMessageEndingSpeech) {
    Samples speech;
    ASSERT_TRUE(KoralTest::Synthesize("call home", 16000, speech));
    // No trailing silence: only the client's end of audio ends the turn.
    std::vector<ServiceMessage> turn =
        Recognize(KoralTest::Join({KoralTest::Silence(300, 16000), speech}),
                  "format=simple&language=en-US", true);
    ASSERT_EQ("Success", Status(turn));
    rapidjson::Document phrase = Json(Find(turn, "speech.phrase")->m_Body);
    EXPECT_STREQ("Call home.", phrase["DisplayText"].GetString());
    EXPECT_FALSE(phrase.HasMember("NBest"));
}

TEST_F(RecognitionTest, LongerEndSilenceKeepsTheTurnOpen) {
    Samples speech;
    ASSERT_TRUE(KoralTest::Synthesize("yes please", 16000, speech));
    Samples audio =
        KoralTest::Join({KoralTest::Silence(300, 16000), speech, KoralTest::Silence(900, 16000)});
    // With 1.5 s of end silence the 900 ms pause does not end the turn...
    auto client = Connect(*s_Service, "format=detailed&language=en-US&endSilenceTimeoutMs=1500");
    std::string id = NewRequestId();
    SendAudio(*client, id, audio);
    std::vector<ServiceMessage> early = ReadTurn(*client, 1500);
    EXPECT_EQ(nullptr, Find(early, "speech.endDetected"));
    // ...the client's end of audio does.
    SendEnd(*client, id);
    std::vector<ServiceMessage> rest = ReadTurn(*client, 30000);
    ASSERT_NE(nullptr, Find(rest, "speech.phrase"));
    EXPECT_STREQ("yes please",
                 Json(Find(rest, "speech.phrase")->m_Body)["NBest"][0]["Lexical"].GetString());
}

TEST_F(RecognitionTest, SilenceNoiseAndWordlessSound) {
    const std::string fast = "format=detailed&language=en-US&initialSilenceTimeoutMs=1000";
    std::vector<ServiceMessage> silence = Recognize(KoralTest::Silence(1500, 16000), fast);
    EXPECT_EQ("InitialSilenceTimeout", Status(silence));
    EXPECT_EQ(nullptr, Find(silence, "speech.startDetected"));
    EXPECT_NE(nullptr, Find(silence, "speech.endDetected"));
    EXPECT_EQ(10000000, Json(Find(silence, "speech.phrase")->m_Body)["Offset"].GetInt64());

    Samples noise;
    ASSERT_TRUE(KoralTest::Noise(1500, 16000, 0.3, noise));
    EXPECT_EQ("BabbleTimeout", Status(Recognize(noise, fast)));

    // A short pure tone is voiced sound without words.
    Samples tone =
        KoralTest::Join({KoralTest::Silence(200, 16000), KoralTest::Tone(400, 16000, 440.0, 0.5),
                         KoralTest::Silence(1000, 16000)});
    std::vector<ServiceMessage> wordless = Recognize(tone, fast);
    EXPECT_NE(nullptr, Find(wordless, "speech.startDetected"));
    EXPECT_EQ("NoMatch", Status(wordless));

    // The client ending audio before any speech.
    EXPECT_EQ("InitialSilenceTimeout",
              Status(Recognize(KoralTest::Silence(300, 16000), fast, true)));
}

TEST_F(RecognitionTest, EachTurnStartsFromACleanDecoder) {
    // Loud noise first would otherwise skew the next turn's normalisation.
    Samples noise;
    ASSERT_TRUE(KoralTest::Noise(1200, 16000, 0.6, noise));
    auto client = Connect(*s_Service);
    std::string first = NewRequestId();
    SendAudio(*client, first, KoralTest::Join({KoralTest::Tone(600, 16000, 180.0, 0.8), noise}));
    SendEnd(*client, first);
    ReadTurn(*client, 30000);
    std::string second = NewRequestId();
    SendAudio(*client, second, Phrase("check my account balance"));
    std::vector<ServiceMessage> turn = ReadTurn(*client, 30000);
    ASSERT_EQ("Success", Status(turn));
    EXPECT_STREQ("check my account balance",
                 Json(Find(turn, "speech.phrase")->m_Body)["NBest"][0]["Lexical"].GetString());
}

TEST_F(RecognitionTest, ConcurrentTurnsShareTheDecoderPool) {
    // Three speakers and two decoders: one turn waits for a decoder and catches up.
    const char *phrases[] = {"yes please", "no thanks", "call home"};
    std::vector<std::unique_ptr<TestClient>> clients;
    std::vector<std::string> ids;
    for (const char *text : phrases) {
        clients.push_back(Connect(*s_Service));
        ids.push_back(NewRequestId());
        SendAudio(*clients.back(), ids.back(), Phrase(text));
    }
    for (size_t i = 0; i < clients.size(); ++i) {
        std::vector<ServiceMessage> turn = ReadTurn(*clients[i], 30000);
        ASSERT_EQ("Success", Status(turn)) << phrases[i];
        EXPECT_STREQ(phrases[i],
                     Json(Find(turn, "speech.phrase")->m_Body)["NBest"][0]["Lexical"].GetString());
    }
}

TEST_F(RecognitionTest, TelephoneSpeechIsRecognisedAndEachTurnsBandLogged) {
    // Callers at 8 kHz, converted to 16 kHz: the phrases the benchmark shows
    // recognised in this band; then a wideband caller and silence on the same
    // connection.
    auto client = Connect(*s_Service);
    for (const char *text :
         {"check my account balance", "yes please", "cancel my order", "no thanks"}) {
        std::string id = NewRequestId();
        SendAudio(*client, id, Phrase(text, true));
        EXPECT_EQ(text, Lexical(ReadTurn(*client, 30000)));
        EXPECT_EQ("narrow/detected", LoggedBand(*s_Service, id)) << text;
    }
    std::string wide = NewRequestId();
    SendAudio(*client, wide, Phrase("call home"));
    EXPECT_EQ("call home", Lexical(ReadTurn(*client, 30000)));
    EXPECT_EQ("wide/detected", LoggedBand(*s_Service, wide));
    std::string silent = NewRequestId();
    SendAudio(*client, silent, KoralTest::Silence(300, 16000));
    SendEnd(*client, silent);
    EXPECT_EQ("<InitialSilenceTimeout>", Lexical(ReadTurn(*client, 30000)));
    EXPECT_EQ("", LoggedBand(*s_Service, silent)) << "no speech, no decoder, no band";

    // --band fixes the band whatever the audio.
    KoralTest::SpeechServiceOptions o;
    o.m_Engine = "pocketsphinx";
    o.m_CertFile = Certs().CertFile();
    o.m_KeyFile = Certs().KeyFile();
    o.m_CaFile = Certs().CaFile();
    o.m_ExtraArgs = {"--decoders", "1", "--band", "wide"};
    std::string error;
    auto fixed = KoralTest::SpeechServiceProcess::Start(o, &error);
    ASSERT_TRUE(fixed) << error;
    auto other = Connect(*fixed);
    std::string id = NewRequestId();
    SendAudio(*other, id, Phrase("check my account balance", true));
    EXPECT_NE(nullptr, Find(ReadTurn(*other, 30000), "speech.phrase"));
    EXPECT_EQ("wide/fixed", LoggedBand(*fixed, id));
    EXPECT_EQ(0, fixed->Stop()) << fixed->Stderr();
}

}  // namespace
