// Recognitions from RECOGNIZE to RECOGNITION-COMPLETE through vantor-host, the
// plugin and the local speech service over TLS: the scripted engine where the
// exact messages matter, pocketsphinx where real speech does.

#include "KoralTest/Loopback.h"
#include "RecognitionFixture.h"

using namespace KoralTest;

namespace {

std::string Nlsml(const std::string &interpretations) {
    return "<?xml version=\"1.0\"?>\n<result>\n" + interpretations + "</result>\n";
}

std::string Speech(const std::string &grammar, const std::string &confidence,
                   const std::string &instance, const std::string &input) {
    return "  <interpretation grammar=\"" + grammar + "\" confidence=\"" + confidence +
           "\">\n    <instance>" + instance + "</instance>\n    <input mode=\"speech\">" + input +
           "</input>\n  </interpretation>\n";
}

std::string Dtmf(const std::string &grammar, const std::string &keys, const std::string &digits) {
    return Nlsml("  <interpretation grammar=\"" + grammar +
                 "\" confidence=\"1.00\">\n    <input mode=\"dtmf\">" + keys +
                 "</input>\n    <instance>" + digits + "</instance>\n  </interpretation>\n");
}

// The names of the plugin's messages for one request, in order.
std::vector<std::string> Names(const std::vector<Msg> &messages) {
    std::vector<std::string> names;
    for (const Msg &m : messages) names.push_back(m.event ? m.name : "response");
    return names;
}

const std::vector<std::string> kSpeechSuccess = {"response", "START-OF-INPUT",
                                                 "RECOGNITION-COMPLETE"};

std::string Repeat(const std::string &word, int count) {
    std::string out;
    for (int i = 0; i < count; ++i) out += (i ? " " : "") + word;
    return out;
}

// One MRCPv2 session: a 16 kHz speech channel running recognition after
// recognition on one service connection, and an 8 kHz DTMF channel that never
// touches the service.
TEST_F(RecognitionFixture, ScriptedSessionMrcpV2) {
    const std::string long_text = Repeat("account", 180);
    StartService(R"({"turns": [
        {"nbest": [{"lexical": "call home", "confidence": 0.87}]},
        {"nbest": [{"lexical": "a < b & \"c\" > d", "confidence": 0.91},
                   {"lexical": "call home", "confidence": 0.52},
                   {"lexical": "call phone", "confidence": 0.2}]},
        {"nbest": [{"lexical": "call home", "confidence": 0.87}]},
        {"status": "InitialSilenceTimeout", "endMs": 200},
        {"nbest": [{"lexical": "yes please", "confidence": 0.93}]},
        {"nbest": ["stopped"]},
        {"nbest": [)" +
                 [&] {
                     std::string nbest;
                     for (int i = 0; i < 5; ++i)
                         nbest += std::string(i ? "," : "") + "{\"lexical\": \"" + long_text + " " +
                                  std::to_string(i) + "\", \"confidence\": 0.8}";
                     return nbest;
                 }() +
                 R"(]},
        {"messages": [
            {"path": "turn.start", "body": {"context": {"serviceTag": "t"}}},
            {"path": "speech.phrase", "at": "end-of-audio", "body": {"RecognitionStatus": "Success",
             "NBest": [{"Confidence": 0.9, "Lexical": "call home", "ITN": "call home"}]}},
            {"path": "turn.end"}]}
    ]})");
    Configure();
    const std::string speech = SpeechFile("please check my account balance today", 16000);
    const std::string grammar = "builtin:speech/transcribe";
    auto define_menu = [](int id) {
        return "send d DEFINE-GRAMMAR " + std::to_string(id) +
               "\nContent-Type: application/xml\nContent-Id: menu\n\n<speech-context><phrase>"
               "Billing</phrase><phrase tag=\"agent\">operator</phrase></speech-context>\n.\n"
               "wait d response " +
               std::to_string(id) + " status=200\n";
    };
    const std::string script =
        "channel a rate=16000\nchannel d rate=8000\n" +
        // 1: success, the NLSML exactly.
        Recognize("a", 1, grammar) + "audio a " + speech +
        "\nwait a RECOGNITION-COMPLETE timeout=20000\n" +
        // 2: two of three alternatives, texts escaped.
        Recognize("a", 2, grammar, "N-Best-List-Length: 2\n") + "audio a " + speech +
        "\nwait a RECOGNITION-COMPLETE timeout=20000\n" +
        // 3: below the confidence threshold.
        Recognize("a", 3, grammar, "Confidence-Threshold: 0.9\n") + "audio a " + speech +
        "\nwait a RECOGNITION-COMPLETE timeout=20000\n" +
        // 4: a service turn ended by InitialSilenceTimeout while input goes on.
        Recognize("a", 4, grammar) + "audio a " + speech +
        "\nwait a RECOGNITION-COMPLETE timeout=20000\n" +
        // 5: STOP during speech: only its response.
        Recognize("a", 5, grammar) + "audio a " + speech +
        "\nwait a START-OF-INPUT\nsend a STOP 6\n.\nwait a response 6 status=200\n"
        "none a RECOGNITION-COMPLETE timeout=1500\ndrain a\n" +
        // 7: a result far beyond 4 KiB.
        Recognize("a", 7, grammar, "N-Best-List-Length: 5\n") + "audio a " + speech +
        "\nwait a RECOGNITION-COMPLETE timeout=20000\n" +
        // 8: the service never sent speech.startDetected.
        Recognize("a", 8, grammar) + "audio a " + speech +
        "\nwait a RECOGNITION-COMPLETE timeout=20000\n" +
        // 9: refused Media-Type; 10: no input.
        Recognize("a", 9, grammar, "Media-Type: text/plain\n", "status=409 state=COMPLETE") +
        Recognize("a", 10, grammar, "No-Input-Timeout: 500\n") +
        "wait a RECOGNITION-COMPLETE cause=2\n"
        // 11-15: channel defaults: an illegal value refused, stored values
        // read back, and applied to a RECOGNIZE without headers.
        "send a SET-PARAMS 11\nN-Best-List-Length: 0\n.\nwait a response 11 status=404\n"
        "send a SET-PARAMS 12\nNo-Input-Timeout: 400\nConfidence-Threshold: 0.5\n.\n"
        "wait a response 12 status=200\n"
        "send a GET-PARAMS 13\nNo-Input-Timeout:\n.\nwait a response 13 status=200\n"
        "send a GET-PARAMS 14\n.\nwait a response 14 status=200\n" +
        Recognize("a", 15, grammar) + "wait a RECOGNITION-COMPLETE cause=2 timeout=5000\n" +
        // DTMF: a match; ended by the recognition timeout with and without a match.
        Recognize("d", 1, "builtin:dtmf/digits?length=4") +
        "dtmf d 1234\nwait d RECOGNITION-COMPLETE cause=0\n"
        "send d DEFINE-GRAMMAR 2\nContent-Type: text/uri-list\nContent-Id: pin&<1>\n\n"
        "builtin:dtmf/pin?minlength=2;maxlength=4\n.\nwait d response 2 status=200\n" +
        Recognize("d", 3, "session:pin&<1>", "Recognition-Timeout: 1500\n") +
        "dtmf d 12\nwait d RECOGNITION-COMPLETE cause=8\n" +
        Recognize("d", 4, "builtin:dtmf/digits?length=4", "Recognition-Timeout: 1500\n") +
        "dtmf d 12\nwait d RECOGNITION-COMPLETE cause=15\n" +
        // 5-10: a speech context defined, replaced, removed, removed again;
        // one without Content-Id; a type that is not supported is skipped.
        define_menu(5) + define_menu(6) +
        "send d DEFINE-GRAMMAR 7\nContent-Id: menu\n.\nwait d response 7 status=200\n"
        "send d DEFINE-GRAMMAR 8\nContent-Id: menu\n.\nwait d response 8 status=406\n"
        "send d DEFINE-GRAMMAR 9\nContent-Type: application/xml\n\n<x/>\n.\n"
        "wait d response 9 status=406\n"
        "send d DEFINE-GRAMMAR 10\nContent-Type: text/plain\nContent-Id: x\n\nhello\n.\n"
        "wait d response 10 status=200\n"
        // 11-13: requests without a recognition are answered at once; d's
        // parameters are its own, not those a's SET-PARAMS changed.
        "send d STOP 11\n.\nwait d response 11 status=200 state=COMPLETE\n"
        "send d START-INPUT-TIMERS 12\n.\nwait d response 12 status=200 state=COMPLETE\n"
        "send d GET-PARAMS 13\n.\nwait d response 13 status=200 state=COMPLETE\n"
        "close a\nclose d\n";
    Session s = RunSession(script);
    ASSERT_EQ(s.run.status, 0) << s.run.out << s.run.log.substr(0, 20000);

    const std::string transcribe = "builtin:speech/transcribe";
    // 1
    std::vector<Msg> r = s.Answer("a", 1);
    ASSERT_EQ(Names(r), kSpeechSuccess);
    EXPECT_EQ(r[1].Header("Input-Type"), "speech");
    EXPECT_EQ(r[2].Cause(), 0);
    EXPECT_EQ(r[2].Header("Content-Type"), "application/x-nlsml");
    EXPECT_EQ(r[2].body, Nlsml(Speech(transcribe, "0.87", "call home", "call home")));
    // 2
    r = s.Answer("a", 2);
    ASSERT_EQ(Names(r), kSpeechSuccess);
    EXPECT_EQ(r[2].body, Nlsml(Speech(transcribe, "0.91", "a &lt; b &amp; &quot;c&quot; &gt; d",
                                      "a &lt; b &amp; &quot;c&quot; &gt; d") +
                               Speech(transcribe, "0.52", "call home", "call home")));
    // 3
    r = s.Answer("a", 3);
    ASSERT_EQ(Names(r), kSpeechSuccess);
    EXPECT_EQ(r[2].Cause(), 1);
    EXPECT_EQ(r[2].body, "");
    EXPECT_FALSE(r[2].Has("Content-Type"));
    // 4: two service turns, the second answered.
    r = s.Answer("a", 4);
    ASSERT_EQ(Names(r), kSpeechSuccess);
    EXPECT_EQ(r[2].body, Nlsml(Speech(transcribe, "0.93", "yes please", "yes please")));
    // 5
    r = s.Answer("a", 5);
    ASSERT_EQ(Names(r), (std::vector<std::string>{"response", "START-OF-INPUT"}));
    r = s.Answer("a", 6);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].status, 200);
    EXPECT_EQ(r[0].state, "COMPLETE");
    EXPECT_EQ(r[0].Header("Active-Request-Id-List"), "5");
    // 7
    r = s.Answer("a", 7);
    ASSERT_EQ(Names(r), kSpeechSuccess);
    EXPECT_EQ(r[2].Cause(), 0);
    EXPECT_GT(r[2].body.size(), 5 * long_text.size());
    std::string five;
    for (int i = 0; i < 5; ++i) {
        std::string text = long_text + " " + std::to_string(i);
        five += Speech(transcribe, "0.80", text, text);
    }
    EXPECT_EQ(r[2].body, Nlsml(five));
    // 8: START-OF-INPUT only right before the result.
    r = s.Answer("a", 8);
    ASSERT_EQ(Names(r), kSpeechSuccess);
    EXPECT_EQ(r[2].body, Nlsml(Speech(transcribe, "0.90", "call home", "call home")));
    // 9
    r = s.Answer("a", 9);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].Cause(), 6);
    EXPECT_TRUE(s.LogHas("Not Supported Media-Type [text/plain]"));
    // 10: no input: no START-OF-INPUT, no body.
    r = s.Answer("a", 10);
    ASSERT_EQ(Names(r), (std::vector<std::string>{"response", "RECOGNITION-COMPLETE"}));
    EXPECT_EQ(r[1].Cause(), 2);
    EXPECT_EQ(r[1].body, "");
    // 11-15
    r = s.Answer("a", 11);
    EXPECT_EQ(r[0].Header("N-Best-List-Length"), "0");
    r = s.Answer("a", 13);
    EXPECT_EQ(r[0].headers.size(), 2u);  // Channel-Identifier and the one asked for
    EXPECT_EQ(r[0].Header("No-Input-Timeout"), "400");
    r = s.Answer("a", 14);
    EXPECT_EQ(r[0].Header("No-Input-Timeout"), "400");
    EXPECT_EQ(r[0].Header("Confidence-Threshold"), "0.5");
    EXPECT_EQ(r[0].Header("N-Best-List-Length"), "1");
    EXPECT_EQ(r[0].Header("Speech-Language"), "en-US");
    EXPECT_EQ(r[0].Header("Start-Input-Timers"), "true");
    EXPECT_EQ(r[0].Header("Recognition-Timeout"), "20000");
    r = s.Answer("a", 15);
    ASSERT_EQ(Names(r), (std::vector<std::string>{"response", "RECOGNITION-COMPLETE"}));
    EXPECT_LT(r[1].t - r[0].t, 5.0);  // 0.4 s, not the configured 10 s

    // DTMF.
    r = s.Answer("d", 1);
    ASSERT_EQ(Names(r), kSpeechSuccess);
    EXPECT_EQ(r[1].Header("Input-Type"), "dtmf");
    EXPECT_EQ(r[2].body, Dtmf("builtin:dtmf/digits", "1 2 3 4", "1234"));
    r = s.Answer("d", 3);
    ASSERT_EQ(Names(r), kSpeechSuccess);
    EXPECT_EQ(r[2].body, Dtmf("session:pin&amp;&lt;1&gt;", "1 2", "12"));
    r = s.Answer("d", 4);
    ASSERT_EQ(Names(r), kSpeechSuccess);
    EXPECT_EQ(r[2].body, Dtmf("builtin:dtmf/digits", "1 2", "12"));

    EXPECT_TRUE(s.LogHas("Remove Existing Speech Context [menu]"));
    EXPECT_TRUE(s.Answer("d", 8).at(0).Has("Completion-Cause"));
    EXPECT_TRUE(s.LogHas("Non-Existent Content-Id [menu]"));
    EXPECT_TRUE(s.LogHas("Missing Content-Id <"));
    EXPECT_TRUE(s.LogHas("Unsupported Content Type [text/plain]"));
    for (int id : {11, 12}) {
        r = s.Answer("d", id);
        ASSERT_EQ(r.size(), 1u) << id;
        // No header but the Channel-Identifier that MRCPv2 framing adds.
        EXPECT_EQ(r[0].headers.size(), 1u) << id;
        EXPECT_TRUE(r[0].Has("Channel-Identifier")) << id;
    }
    r = s.Answer("d", 13);
    EXPECT_EQ(r.at(0).Header("No-Input-Timeout"), "10000");

    ExpectOneEndPerRecognition(s, "a");
    ExpectOneEndPerRecognition(s, "d");
    // One connection for all of channel a's recognitions; none for d, which
    // also never needed a converter.
    EXPECT_EQ(ServiceEvents("upgrade").size(), 1u);
    EXPECT_FALSE(s.LogHas("Create Resampler"));
    // Seven recognitions with speech through the service, one of them over
    // two turns.
    EXPECT_EQ(ServiceEvents("turn-start").size(), 8u);
}

// MRCPv1 at 8 kHz: integer confidences, no Input-Type, phrase lists that end
// input early on a unique hypothesis, a strict list lacking the text, and
// DTMF ended by the recognition timeout.
TEST_F(RecognitionFixture, ScriptedSessionMrcpV1) {
    StartService(R"({"turns": [
        {"hypotheses": ["call"], "nbest": [{"lexical": "call home", "confidence": 0.87}]},
        {"hypotheses": ["check my balance"], "hypothesisEveryMs": 200,
         "nbest": [{"lexical": "check my balance", "confidence": 0.9}]},
        {"nbest": [{"lexical": "call home", "confidence": 0.87}]},
        {"messages": [
            {"path": "turn.start", "body": {"context": {"serviceTag": "t"}}},
            {"path": "speech.phrase", "at": "end-of-audio", "body": ")" +
                 [] {
                     // Nesting far deeper than a recursive parser's stack would take.
                     const int depth = 200000;
                     return "{\\\"Deep\\\": " + std::string(depth, '[') + std::string(depth, ']') +
                            ", \\\"RecognitionStatus\\\": \\\"Success\\\", \\\"NBest\\\": "
                            "[{\\\"Confidence\\\": 0.5, \\\"Lexical\\\": \\\"no\\\", "
                            "\\\"ITN\\\": \\\"no\\\"}]}";
                 }() +
                 R"("},
            {"path": "turn.end"}]},
        {"nbest": [{"lexical": "no", "confidence": 0.87}]},
        {"status": "InitialSilenceTimeout"}
    ]})");
    Configure(
        "alternatives-below-threshold=\"true\" accept-srgs=\"false\" "
        "skip-unsupported-grammars=\"false\"",
        R"(<speech-contexts>
        <speech-context id="menu" scope="strict" speech-complete="true">
          <phrase>call</phrase><phrase>Call Home</phrase>
          <phrase tag="balance">check my balance</phrase>
        </speech-context>
        <speech-context id="yesno" scope="strict">
          <phrase tag="yes">yes please</phrase><phrase>no</phrase>
        </speech-context>
      </speech-contexts>)");
    const std::string speech = SpeechFile("please check my account balance today", 8000);
    const std::string script =
        "channel v rate=8000 version=1\n" + Recognize("v", 1, "builtin:speech/menu") + "audio v " +
        speech + "\nwait v RECOGNITION-COMPLETE timeout=20000\n" +
        Recognize("v", 2, "builtin:speech/menu") + "audio v " + speech +
        "\nwait v RECOGNITION-COMPLETE timeout=20000\ndrain v\n" +
        Recognize("v", 3, "builtin:speech/yesno") + "audio v " + speech +
        "\nwait v RECOGNITION-COMPLETE timeout=20000\n" +
        Recognize("v", 4, "builtin:dtmf/pin?minlength=2", "Recognition-Timeout: 1500\n") +
        "dtmf v 12\nwait v RECOGNITION-COMPLETE cause=0\n" +
        Recognize("v", 5, "builtin:dtmf/digits?length=4", "Recognition-Timeout: 1500\n") +
        "dtmf v 12\nwait v RECOGNITION-COMPLETE cause=1\n" +
        Recognize("v", 6, "builtin:speech/yesno") + "audio v " + speech +
        "\nwait v RECOGNITION-COMPLETE timeout=20000\n" +
        Recognize("v", 7, "builtin:speech/yesno", "Confidence-Threshold: 90\n") + "audio v " +
        speech + "\nwait v RECOGNITION-COMPLETE timeout=20000\n" +
        Recognize("v", 8, "builtin:speech/transcribe") + "audio v " + speech +
        "\nwait v RECOGNITION-COMPLETE timeout=20000\n"
        // 9: GET-RESULT without a recognition; 10-12: documents refused: a
        // context without a phrase, SRGS (not accepted here), broken XML.
        "send v GET-RESULT 9\n.\nwait v response 9 status=200 state=COMPLETE\n"
        "send v DEFINE-GRAMMAR 10\nContent-Type: application/xml\nContent-Id: empty\n\n"
        "<speech-context></speech-context>\n.\nwait v response 10 status=409\n"
        "send v DEFINE-GRAMMAR 11\nContent-Type: application/srgs+xml\nContent-Id: g\n\n"
        "<grammar root=\"r\"><rule id=\"r\"><one-of><item>yes</item></one-of></rule></grammar>\n"
        ".\nwait v response 11 status=409\n"
        "send v DEFINE-GRAMMAR 12\nContent-Type: application/xml\nContent-Id: bad\n\n"
        "<speech-context><phrase>a</phrase>\n.\nwait v response 12 status=409\nclose v\n";
    Session s = RunSession(script);
    ASSERT_EQ(s.run.status, 0) << s.run.out << s.run.log.substr(0, 20000);

    const std::vector<std::string> success = {"response", "START-OF-SPEECH",
                                              "RECOGNITION-COMPLETE"};
    // 1: "call" begins a longer phrase: input goes on to its own end.
    std::vector<Msg> r = s.Answer("v", 1);
    ASSERT_EQ(Names(r), success);
    EXPECT_FALSE(r[1].Has("Input-Type"));
    EXPECT_EQ(r[2].Cause(), 0);
    EXPECT_EQ(r[2].body, Nlsml(Speech("builtin:speech/menu", "87", "Call Home", "call home")));
    EXPECT_TRUE(s.LogHas("Phrase Matched [call...]"));
    // 2: a unique phrase ends input at once; the tag is the instance.
    r = s.Answer("v", 2);
    ASSERT_EQ(Names(r), success);
    EXPECT_EQ(r[2].body, Nlsml(Speech("builtin:speech/menu", "90", "balance", "check my balance")));
    EXPECT_TRUE(s.LogHas("Phrase Matched [check my balance]"));
    size_t first = s.run.log.find("Input Complete [success]");
    size_t second = s.run.log.find("Input Complete [stopped]");
    EXPECT_NE(first, std::string::npos);
    EXPECT_NE(second, std::string::npos);
    EXPECT_LT(first, second);
    // 3: a strict list without the text: no-match, the interpretation kept
    // with an empty instance.
    r = s.Answer("v", 3);
    ASSERT_EQ(Names(r), success);
    EXPECT_EQ(r[2].Cause(), 1);
    EXPECT_EQ(r[2].body, Nlsml(Speech("builtin:speech/yesno", "87", "", "call home")));
    // 4, 5: the recognition timeout on MRCPv1: plain success and no-match.
    r = s.Answer("v", 4);
    ASSERT_EQ(Names(r), success);
    EXPECT_EQ(r[2].body, Dtmf("builtin:dtmf/pin", "1 2", "12"));
    r = s.Answer("v", 5);
    ASSERT_EQ(Names(r), success);
    EXPECT_EQ(r[2].Cause(), 1);
    // 6: a deeply nested phrase is read without exhausting the stack.
    r = s.Answer("v", 6);
    ASSERT_EQ(Names(r), success);
    EXPECT_EQ(r[2].Cause(), 0);
    EXPECT_EQ(r[2].body, Nlsml(Speech("builtin:speech/yesno", "50", "no", "no")));
    // 7: below the threshold, but alternatives below it are configured to be
    // shown: no-match with the interpretation.
    r = s.Answer("v", 7);
    ASSERT_EQ(Names(r), success);
    EXPECT_EQ(r[2].Cause(), 1);
    EXPECT_EQ(r[2].body, Nlsml(Speech("builtin:speech/yesno", "87", "no", "no")));
    // 8: InitialSilenceTimeout once input is over is a no-match.
    r = s.Answer("v", 8);
    ASSERT_EQ(Names(r), success);
    EXPECT_EQ(r[2].Cause(), 1);
    EXPECT_EQ(r[2].body, "");
    // 9: no header at all on MRCPv1.
    r = s.Answer("v", 9);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_TRUE(r[0].headers.empty());
    EXPECT_TRUE(s.LogHas("Unsupported Content Type [application/srgs+xml]"));
    ExpectOneEndPerRecognition(s, "v");
    EXPECT_TRUE(s.LogHas("Create Resampler from 8000 Hz to 16000 Hz"));
    // The service heard 16 kHz audio, each turn led by its WAV header.
    for (const KoralTest::ServiceEvent &e : ServiceEvents("message"))
        if (e.Str("type") == "binary" && e.Bool("wav")) {
            EXPECT_EQ(e.Int("wavRate"), 16000);
        }
}

// Service failures end in recognizer-error: nothing listening (a refused
// token leaves the connection the same way), the socket lost in the middle
// of a turn (dropped, or closed with a close frame); the channel then
// recognizes again on a new socket. Results here are passed through as the
// service wrote them.
TEST_F(RecognitionFixture, ServiceFailures) {
    const std::string script_head = "channel a rate=16000\n";
    const std::string recognize = Recognize("a", 1, "builtin:speech/transcribe");
    {
        StartService("");
        const int closed = KoralTest::FreePort();
        ASSERT_GT(closed, 0);
        PointServiceAtClosedPort(static_cast<uint16_t>(closed));
        Configure();
        std::string speech = SpeechFile("call home", 16000);
        Session s = RunSession(script_head + recognize + "audio a " + speech +
                               "\nwait a RECOGNITION-COMPLETE cause=6 timeout=20000\n");
        ASSERT_EQ(s.run.status, 0) << s.run.out << s.run.log.substr(0, 20000);
        std::vector<Msg> r = s.Answer("a", 1);
        ASSERT_EQ(Names(r), (std::vector<std::string>{"response", "RECOGNITION-COMPLETE"}));
        EXPECT_EQ(r[1].body, "");
        EXPECT_TRUE(s.LogHas("Failed to Connect to Service"));
    }
    // The second turn loses its socket: dropped abruptly, or closed with a
    // close frame after a first turn whose phrase came in fragments behind
    // a ping (each new socket starts again at the first turn).
    const char *const second_turns[] = {
        R"({"hypotheses": ["call"], "faults": [{"at": "speech.hypothesis", "action": "close"}]})",
        R"({"hypotheses": ["call"],
            "faults": [{"at": "speech.hypothesis", "action": "close-frame", "code": 1011}]})"};
    const char *const first_turns[] = {
        R"({"nbest": [{"lexical": "call home", "confidence": 0.87}]})",
        R"({"nbest": [{"lexical": "call home", "confidence": 0.87}], "hypotheses": ["call"],
            "faults": [{"at": "speech.hypothesis", "action": "ping", "payload": "still there"},
                       {"at": "speech.phrase", "action": "fragmented", "fragments": 4}]})"};
    for (int framed = 0; framed < 2; ++framed) {
        StartService(std::string(R"({"turns": [)") + first_turns[framed] + "," +
                     second_turns[framed] + "]}");
        Configure("results-format=\"transparent\"");
        std::string speech = SpeechFile("please check my account balance today", 16000);
        std::string script = script_head;
        for (int id = 1; id <= 3; ++id)
            script += Recognize("a", id, "builtin:speech/transcribe") + "audio a " + speech +
                      "\nwait a RECOGNITION-COMPLETE timeout=20000\ndrain a\n";
        Session s = RunSession(script);
        ASSERT_EQ(s.run.status, 0) << s.run.out << s.run.log.substr(0, 20000);
        for (int id : {1, 3}) {
            std::vector<Msg> r = s.Answer("a", id);
            ASSERT_EQ(Names(r), kSpeechSuccess) << id << " " << framed;
            EXPECT_EQ(r[2].Cause(), 0);
            EXPECT_EQ(r[2].Header("Content-Type").rfind("application/json", 0), 0u);
            rapidjson::Document doc;
            doc.Parse(r[2].body.c_str());
            ASSERT_TRUE(doc.IsObject()) << r[2].body;
            EXPECT_STREQ(doc["RecognitionStatus"].GetString(), "Success");
            EXPECT_STREQ(doc["NBest"][0]["Lexical"].GetString(), "call home");
        }
        std::vector<Msg> r = s.Answer("a", 2);
        ASSERT_EQ(Names(r), kSpeechSuccess);
        EXPECT_EQ(r[2].Cause(), 6);
        EXPECT_EQ(r[2].body, "");
        EXPECT_FALSE(r[2].Has("Content-Type"));
        ExpectOneEndPerRecognition(s, "a");
        EXPECT_EQ(ServiceEvents("upgrade").size(), 2u);
        EXPECT_TRUE(ServiceEvents("violation").empty());
        EXPECT_EQ(s.LogHas("WS closed by the service [1011]"), framed == 1);
    }
}

// A service connection lost between a recognition's connect and its first
// audio: the recognition must still end, and the channel recover. The
// service closes a WebSocket idle for 2 s. The second RECOGNIZE reuses
// the socket at once; its caller stays silent for 5 s, so the socket is gone
// before speech opens a turn.
TEST_F(RecognitionFixture, SocketLostBeforeTurnEndsRecognition) {
    StartService("", "script", {"--idle-timeout", "2"});
    Configure();
    const std::string speech = SpeechFile("yes please", 8000);
    const std::string grammar = "builtin:speech/transcribe";
    const std::string script =
        "channel a rate=8000\n" + Recognize("a", 1, grammar) + "audio a " + speech +
        "\nwait a RECOGNITION-COMPLETE timeout=20000\n" +
        Recognize("a", 2, grammar, "No-Input-Timeout: 15000\n") + "silence a 5000\naudio a " +
        speech + "\nwait a RECOGNITION-COMPLETE timeout=20000\n" + Recognize("a", 3, grammar) +
        "audio a " + speech + "\nwait a RECOGNITION-COMPLETE timeout=20000\nclose a\n";
    Session s = RunSession(script);
    ASSERT_EQ(s.run.status, 0) << s.run.out << s.run.log.substr(0, 20000);
    ExpectOneEndPerRecognition(s, "a");
    std::vector<Msg> r = s.Answer("a", 1);
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(r.back().Cause(), 0);
    // Its audio had nowhere to go: recognizer-error, without a result.
    r = s.Answer("a", 2);
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(r.back().name, "RECOGNITION-COMPLETE");
    EXPECT_EQ(r.back().Cause(), 6);
    EXPECT_EQ(r.back().body, "");
    EXPECT_TRUE(s.LogHas("No connection to end turn ["));
    // The next recognition connects anew.
    r = s.Answer("a", 3);
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(r.back().Cause(), 0);
    EXPECT_EQ(ServiceEvents("upgrade").size(), 2u);
}

}  // namespace
