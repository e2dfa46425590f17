// Real recognition with pocketsphinx: speech synthesised now with flite
// (voice kal16), converted to 16 kHz without dither (telephone speech: to
// 8 kHz first, as a caller's) and sent in 80 ms chunks. One service serves
// the whole suite: loading the model is the slow part.

#include <cstdio>

#include "ServiceFixture.h"

using namespace KoralTest;

namespace {

class RecognitionTest : public ServiceTest {
  protected:
    static std::unique_ptr<SpeechServiceProcess> StartSphinx(const std::vector<std::string> &args) {
        SpeechServiceOptions o;
        o.m_Engine = "pocketsphinx";
        o.m_CertFile = Certs().CertFile();
        o.m_KeyFile = Certs().KeyFile();
        o.m_CaFile = Certs().CaFile();
        o.m_ExtraArgs = args;
        std::string error;
        auto service = SpeechServiceProcess::Start(o, &error);
        EXPECT_TRUE(service) << error;
        return service;
    }
    static void SetUpTestSuite() {
        ServiceTest::SetUpTestSuite();
        auto start = std::chrono::steady_clock::now();
        s_Service = StartSphinx({"--decoders", "2"});
        std::printf(
            "[ info ] pocketsphinx service ready in %.2f s\n",
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    static void TearDownTestSuite() {
        EXPECT_TRUE(!s_Service || s_Service->Stop() == 0) << s_Service->Stderr();
        s_Service.reset();
        ServiceTest::TearDownTestSuite();
    }
    void SetUp() override { ASSERT_TRUE(s_Service); }

    static Samples Phrase(const std::string &text, bool telephone = false, int afterMs = 1000) {
        Samples speech, converted;
        std::string error;
        EXPECT_TRUE(Synthesize(text, telephone ? 8000 : 16000, speech, &error)) << error;
        if (telephone) {
            EXPECT_TRUE(Resample(speech, 8000, 16000, converted, &error)) << error;
            speech.swap(converted);
        }
        return Join({Silence(300, 16000), speech, Silence(afterMs, 16000)});
    }

    // The phrase's best lexical form, or its status in <> when not Success.
    static std::string Result(const std::vector<ServiceMessage> &turn) {
        const ServiceMessage *phrase = Find(turn, "speech.phrase");
        if (phrase == nullptr) return "<none>";
        rapidjson::Document doc = Json(phrase->m_Body);
        std::string status = doc["RecognitionStatus"].GetString();
        if (status != "Success" || !doc.HasMember("NBest")) return "<" + status + ">";
        return doc["NBest"][0]["Lexical"].GetString();
    }

    // The band the service logged for a turn: "band/how", or "" without one.
    static std::string LoggedBand(const SpeechServiceProcess &service, const std::string &id) {
        for (const ServiceEvent &e : EventLogReader(service.EventLogPath()).Read("band")) {
            if (e.Str("requestId") == id) return e.Str("band") + "/" + e.Str("how");
        }
        return std::string();
    }

    // One turn with `audio` on a new connection; the end of audio is sent
    // only if `sendEnd`.
    std::vector<ServiceMessage> Recognize(const Samples &audio, const std::string &query,
                                          bool sendEnd = false) {
        auto client = Connect(*s_Service, query);
        std::string id = NewRequestId();
        SendAudio(*client, id, audio);
        if (sendEnd) SendEnd(*client, id);
        std::vector<ServiceMessage> turn = ReadTurn(*client, 30000);
        for (const ServiceMessage &m : turn) EXPECT_EQ(id, m.m_RequestId);
        return turn;
    }

    inline static std::unique_ptr<SpeechServiceProcess> s_Service;
};

TEST_F(RecognitionTest, PhrasesAreRecognisedAndTheTurnEndsBySilence) {
    int correct = 0;
    for (const char *text : {"call home", "yes please", "check my account balance", "no thanks"}) {
        SCOPED_TRACE(text);
        Samples audio = Phrase(text);
        std::vector<ServiceMessage> turn = Recognize(audio, "format=detailed&language=en-US");
        std::vector<std::string> paths = Paths(turn);
        ASSERT_GE(paths.size(), 5u);
        const size_t n = paths.size();
        EXPECT_EQ("turn.start", paths[0]);
        EXPECT_EQ("speech.startDetected", paths[1]);
        EXPECT_EQ("speech.hypothesis", paths[2]);
        EXPECT_EQ((std::vector<std::string>{"speech.endDetected", "speech.phrase", "turn.end"}),
                  std::vector<std::string>(paths.end() - 3, paths.end()));

        // Speech starts after the 300 ms of silence added here (flite adds some
        // of its own) and ends before the audio does.
        int64_t start = Json(turn[1].m_Body)["Offset"].GetInt64();
        int64_t end = Json(turn[n - 3].m_Body)["Offset"].GetInt64();
        EXPECT_GE(start, 3000000);
        EXPECT_LE(start, 8000000);
        EXPECT_LT(end, static_cast<int64_t>(audio.size()) * 625);
        EXPECT_GT(end, start);

        rapidjson::Document phrase = Json(turn[n - 2].m_Body);
        ASSERT_STREQ("Success", phrase["RecognitionStatus"].GetString());
        EXPECT_EQ(start, phrase["Offset"].GetInt64());
        EXPECT_EQ(end - start, phrase["Duration"].GetInt64());
        const rapidjson::Value &nbest = phrase["NBest"];
        EXPECT_EQ(text, Result(turn));
        correct += Result(turn) == text;
        for (rapidjson::SizeType i = 1; i < nbest.Size(); ++i) {
            EXPECT_LE(nbest[i]["Confidence"].GetDouble(), nbest[0]["Confidence"].GetDouble());
            for (rapidjson::SizeType j = 0; j < i; ++j)
                EXPECT_STRNE(nbest[i]["Lexical"].GetString(), nbest[j]["Lexical"].GetString());
        }
    }
    std::printf("[ info ] accuracy %d/4\n", correct);
}

TEST_F(RecognitionTest, LongerEndSilenceKeepsTheTurnOpenUntilTheEmptyMessage) {
    // With 1.5 s of end silence the 900 ms pause does not end the turn...
    auto client = Connect(*s_Service, "format=simple&language=en-US&endSilenceTimeoutMs=1500");
    std::string id = NewRequestId();
    SendAudio(*client, id, Phrase("yes please", false, 900));
    EXPECT_EQ(nullptr, Find(ReadTurn(*client, 1500), "speech.endDetected"));
    // ...the client's end of audio does.
    SendEnd(*client, id);
    std::vector<ServiceMessage> rest = ReadTurn(*client, 30000);
    ASSERT_NE(nullptr, Find(rest, "speech.phrase"));
    rapidjson::Document phrase = Json(Find(rest, "speech.phrase")->m_Body);
    EXPECT_STREQ("Yes please.", phrase["DisplayText"].GetString());
    EXPECT_FALSE(phrase.HasMember("NBest"));
}

TEST_F(RecognitionTest, SilenceNoiseAndWordlessSound) {
    const std::string fast = "format=detailed&language=en-US&initialSilenceTimeoutMs=1000";
    std::vector<ServiceMessage> silence = Recognize(Silence(1500, 16000), fast);
    EXPECT_EQ("<InitialSilenceTimeout>", Result(silence));
    EXPECT_EQ(nullptr, Find(silence, "speech.startDetected"));
    EXPECT_NE(nullptr, Find(silence, "speech.endDetected"));
    EXPECT_EQ(10000000, Json(Find(silence, "speech.phrase")->m_Body)["Offset"].GetInt64());

    Samples noise;
    ASSERT_TRUE(Noise(1500, 16000, 0.3, noise));
    EXPECT_EQ("<BabbleTimeout>", Result(Recognize(noise, fast)));

    // A short pure tone is voiced sound without words.
    std::vector<ServiceMessage> wordless = Recognize(
        Join({Silence(200, 16000), Tone(400, 16000, 440.0, 0.5), Silence(1000, 16000)}), fast);
    EXPECT_NE(nullptr, Find(wordless, "speech.startDetected"));
    EXPECT_EQ("<NoMatch>", Result(wordless));

    // The client ending audio before any speech.
    EXPECT_EQ("<InitialSilenceTimeout>", Result(Recognize(Silence(300, 16000), fast, true)));
}

// Three speakers and two decoders: one turn waits for a decoder and catches
// up. The first speaker's loud noise before would skew the normalisation of
// the decoder it used, which one of the three gets next, unless each turn
// starts from a clean decoder.
TEST_F(RecognitionTest, ConcurrentTurnsShareTheDecoderPoolEachStartingClean) {
    Samples noise;
    ASSERT_TRUE(Noise(1200, 16000, 0.6, noise));
    const char *phrases[] = {"check my account balance", "no thanks", "call home"};
    std::vector<std::unique_ptr<TestClient>> clients;
    clients.push_back(Connect(*s_Service));
    Turn(*clients[0], Join({Tone(600, 16000, 180.0, 0.8), noise}));
    for (size_t i = 0; i < 3; ++i) {
        if (i > 0) clients.push_back(Connect(*s_Service));
        SendAudio(*clients[i], NewRequestId(), Phrase(phrases[i]));
    }
    for (size_t i = 0; i < clients.size(); ++i)
        EXPECT_EQ(phrases[i], Result(ReadTurn(*clients[i], 30000)));
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
        EXPECT_EQ(text, Result(ReadTurn(*client, 30000)));
        EXPECT_EQ("narrow/detected", LoggedBand(*s_Service, id)) << text;
    }
    std::string wide = NewRequestId();
    SendAudio(*client, wide, Phrase("call home"));
    EXPECT_EQ("call home", Result(ReadTurn(*client, 30000)));
    EXPECT_EQ("wide/detected", LoggedBand(*s_Service, wide));
    std::string silent;
    EXPECT_EQ("<InitialSilenceTimeout>", Result(Turn(*client, Silence(300, 16000), &silent)));
    EXPECT_EQ("", LoggedBand(*s_Service, silent)) << "no speech, no decoder, no band";

    // --band fixes the band whatever the audio.
    auto fixed = StartSphinx({"--decoders", "1", "--band", "wide"});
    ASSERT_TRUE(fixed);
    auto other = Connect(*fixed);
    std::string id = NewRequestId();
    SendAudio(*other, id, Phrase("check my account balance", true));
    EXPECT_NE(nullptr, Find(ReadTurn(*other, 30000), "speech.phrase"));
    EXPECT_EQ("wide/fixed", LoggedBand(*fixed, id));
    EXPECT_EQ(0, fixed->Stop()) << fixed->Stderr();
}

}  // namespace
