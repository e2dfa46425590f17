// Recordings and recognition records through vantor-host and the local speech
// service: the WAV files a recognition leaves, Waveform-URI on
// RECOGNITION-COMPLETE and on STOP, the JSON record, folders where nothing
// can be written, and real speech recognized and recorded.
#include <glob.h>
#include <rapidjson/document.h>
#include <stdio.h>

#include "RecognitionFixture.h"

using namespace KoralTest;

namespace {

const std::string kGrammar = "builtin:speech/transcribe";

uint32_t Le32(const std::string &bytes, size_t offset) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(bytes[offset + i]);
    return v;
}

// The host channel id, from the Channel-Identifier of a message.
std::string ChannelId(const Msg &m) {
    std::string value = m.Header("Channel-Identifier");
    return value.substr(0, value.find('@'));
}

// The audio of a WAV file written by the plugin, after checking its header.
std::string WaveData(const std::string &path, uint32_t rate) {
    std::string bytes = ReadFile(path);
    EXPECT_GE(bytes.size(), 44u) << path;
    if (bytes.size() < 44) return "";
    EXPECT_EQ(rate, Le32(bytes, 24)) << path;
    EXPECT_EQ(bytes.size() - 44, Le32(bytes, 40)) << path;
    EXPECT_EQ(bytes.size() - 8, Le32(bytes, 4)) << path;
    return bytes.substr(44);
}

// The record of a file; an empty one (after a failure) when it is not one
// valid JSON record.
rapidjson::Document ReadRecord(const std::string &path) {
    rapidjson::Document doc;
    std::string text = ReadFile(path);
    doc.Parse(text.c_str(), text.size());
    bool ok = !doc.HasParseError() && doc.IsObject() && doc.HasMember("recog-details-record");
    EXPECT_TRUE(ok) << path << ":\n" << text;
    if (!ok) doc.Parse(R"({"recog-details-record": {}})");
    return doc;
}

std::string Member(const rapidjson::Value &object, const char *a, const char *b = nullptr) {
    if (!object.IsObject() || !object.HasMember(a)) return "<absent>";
    const rapidjson::Value &v = object[a];
    if (b) return Member(v, b);
    return v.IsString() ? v.GetString() : "<not a string>";
}

// The text of the record's first transcript.
std::string Transcript(const rapidjson::Value &record) {
    if (!record.HasMember("transcripts") || !record["transcripts"].IsArray() ||
        record["transcripts"].Empty())
        return "<absent>";
    return Member(record["transcripts"][0], "transcript");
}

// What `sox --i` says of a file, on one line per field.
std::string SoxInfo(const std::string &path) {
    std::string out;
    FILE *pipe = popen(("sox --i '" + path + "' 2>&1").c_str(), "r");
    if (!pipe) return out;
    char buffer[256];
    while (fgets(buffer, sizeof(buffer), pipe)) out += buffer;
    pclose(pipe);
    return out;
}

// One 8 kHz channel, recordings and records on: a recognition that asked for
// its waveform, one that did not, one stopped, one without input, one of
// DTMF, one the service ended before the detector did.
TEST_F(RecognitionFixture, RecordingsAndRecords) {
    StartService(R"({"turns": [
        {"nbest": [{"lexical": "call home", "confidence": 0.87}]},
        {"nbest": [{"lexical": "call home", "confidence": 0.87}]},
        {"nbest": [{"lexical": "call home", "confidence": 0.87}]},
        {"nbest": [{"lexical": "call home", "confidence": 0.87}], "endMs": 1200}
    ]})");
    Configure("", R"(<utterance-manager save-waveforms="true" waveform-folder="waves"
                        waveform-base-uri="http://media.test/utt"/>
                     <rdr-manager save-records="true" record-folder="rdr"/>)");
    const std::string speech = SpeechFile("please check my account balance today", 8000);
    Session s =
        RunSession("channel a rate=8000\n" + Recognize("a", 1, kGrammar, "Save-Waveform: true\n") +
                   "audio a " + speech + "\nwait a RECOGNITION-COMPLETE timeout=20000\n" +
                   Recognize("a", 2, kGrammar) + "audio a " + speech +
                   "\nwait a RECOGNITION-COMPLETE timeout=20000\n" +
                   Recognize("a", 3, kGrammar, "Save-Waveform: true\n") + "audio a " + speech +
                   "\nwait a START-OF-INPUT\nsend a STOP 4\n.\nwait a response 4 status=200\n"
                   "none a RECOGNITION-COMPLETE timeout=1500\ndrain a\n" +
                   Recognize("a", 5, kGrammar, "Save-Waveform: true\nNo-Input-Timeout: 500\n") +
                   "wait a RECOGNITION-COMPLETE cause=2\n" +
                   Recognize("a", 6, "builtin:dtmf/digits?length=2") +
                   "dtmf a 12\nwait a RECOGNITION-COMPLETE cause=0\n" +
                   Recognize("a", 7, kGrammar, "Save-Waveform: true\nNo-Input-Timeout: 5000\n") +
                   "audio a " + speech + "\nwait a RECOGNITION-COMPLETE timeout=20000\nclose a\n");
    ASSERT_EQ(s.run.status, 0) << s.run.out << s.run.log.substr(0, 20000);
    ExpectOneEndPerRecognition(s, "a");
    const std::string id = ChannelId(s.Answer("a", 1).at(0));
    const std::string waves = root_ + "/var/waves/koralrx-" + id + "-";
    const std::string records = root_ + "/var/rdr/koralrx-" + id + "-";

    // 1: Waveform-URI names the 8 kHz file, which holds exactly the audio
    // the detector handed out: the caller's own samples between the silence
    // it adds around them.
    std::vector<Msg> r = s.Answer("a", 1);
    ASSERT_EQ(r.size(), 3u);
    const std::string uri = r[2].Header("Waveform-URI");
    const std::string prefix = "<http://media.test/utt/koralrx-" + id + "-1-8-kHz.wav>;size=";
    ASSERT_EQ(uri.rfind(prefix, 0), 0u) << uri;
    unsigned long size = 0, duration = 0;
    ASSERT_EQ(2, sscanf(uri.c_str() + prefix.size(), "%lu;duration=%lu", &size, &duration)) << uri;
    EXPECT_EQ(size, duration * 16);
    const std::string narrow = WaveData(waves + "1-8-kHz.wav", 8000);
    EXPECT_EQ(narrow.size(), size);
    KoralTest::Samples source;
    int rate = 0;
    ASSERT_TRUE(KoralTest::ReadWav(speech, source, rate));
    size_t first = narrow.find_first_not_of('\0'), last = narrow.find_last_not_of('\0');
    ASSERT_NE(first, std::string::npos);
    first &= ~size_t(1);
    last |= 1;
    EXPECT_NE(KoralTest::PcmBytes(source).find(narrow.substr(first, last + 1 - first)),
              std::string::npos);

    // The 16 kHz file holds what the service received in that turn.
    const std::string wide = WaveData(waves + "1-16-kHz.wav", 16000);
    std::vector<KoralTest::ServiceEvent> turns = ServiceEvents("turn-start");
    ASSERT_EQ(turns.size(), 4u) << s.run.out;
    uint64_t received = 0;
    for (const KoralTest::ServiceEvent &e : ServiceEvents("message"))
        if (e.Str("type") == "binary" && e.Str("requestId") == turns[0].Str("requestId"))
            received += static_cast<uint64_t>(e.Int("audioBytes", 0));
    EXPECT_EQ(wide.size(), received);

    rapidjson::Document doc = ReadRecord(records + "1.json");
    const rapidjson::Value &record = doc["recog-details-record"];
    EXPECT_EQ(Member(record, "sampling-rate"), "8000 Hz");
    EXPECT_EQ(Member(record, "input", "type"), "speech");
    EXPECT_EQ(Member(record, "input", "size"), std::to_string(size) + " bytes");
    EXPECT_EQ(Member(record, "input", "duration"), std::to_string(duration) + " ms");
    EXPECT_EQ(Member(record, "websocket", "sent"), std::to_string(wide.size()) + " bytes");
    EXPECT_EQ(Member(record, "websocket", "turns"), "1");
    EXPECT_EQ(Transcript(record), "call home");
    EXPECT_EQ(Member(record, "completion-cause"), "success");

    // 2: recorded by configuration, but not asked for: no Waveform-URI.
    r = s.Answer("a", 2);
    ASSERT_EQ(r.size(), 3u);
    EXPECT_FALSE(r[2].Has("Waveform-URI"));
    EXPECT_FALSE(WaveData(waves + "2-8-kHz.wav", 8000).empty());

    // 3: the STOP response carries it instead.
    r = s.Answer("a", 4);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].Header("Waveform-URI")
                  .rfind("<http://media.test/utt/koralrx-" + id + "-3-8-kHz.wav>;size=", 0),
              0u)
        << r[0].Header("Waveform-URI");
    EXPECT_EQ(Member(ReadRecord(records + "3.json")["recog-details-record"], "completion-cause"),
              "cancelled");

    // 5: no input: the header without a value, an empty recording, a record
    // without an input object.
    r = s.Answer("a", 5);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_TRUE(r[1].Has("Waveform-URI"));
    EXPECT_EQ(r[1].Header("Waveform-URI"), "");
    EXPECT_TRUE(WaveData(waves + "5-8-kHz.wav", 8000).empty());
    doc = ReadRecord(records + "5.json");
    EXPECT_FALSE(doc["recog-details-record"].HasMember("input"));
    EXPECT_EQ(Member(doc["recog-details-record"], "completion-cause"), "no-input-timeout");

    // 6: DTMF.
    doc = ReadRecord(records + "6.json");
    EXPECT_EQ(Member(doc["recog-details-record"], "input", "type"), "dtmf");
    EXPECT_EQ(Transcript(doc["recog-details-record"]), "12");
    EXPECT_FALSE(doc["recog-details-record"].HasMember("websocket"));

    // 7: the service ended it while the detector still listened: the figures
    // are the recording's.
    r = s.Answer("a", 7);
    ASSERT_EQ(r.size(), 3u);
    const std::string early = WaveData(waves + "7-8-kHz.wav", 8000);
    EXPECT_FALSE(early.empty());
    EXPECT_EQ(r[2].Header("Waveform-URI"),
              "<http://media.test/utt/koralrx-" + id + "-7-8-kHz.wav>;size=" +
                  std::to_string(early.size()) + ";duration=" + std::to_string(early.size() / 16));
}

// Folders where no file can be made (/proc refuses new files, whatever the
// process's privileges): a recording refuses its RECOGNIZE; without one the
// recognition runs as usual and only its record is skipped.
TEST_F(RecognitionFixture, UnwritableFolders) {
    StartService(R"({"turns": [{"nbest": [{"lexical": "call home", "confidence": 0.87}]}]})");
    Configure("", R"(<utterance-manager save-waveforms="true" waveform-folder="/proc/self"/>
                     <rdr-manager save-records="true" record-folder="/proc/self"/>)");
    const std::string speech = SpeechFile("call home", 8000);
    Session s = RunSession("channel a rate=8000\n" +
                           Recognize("a", 1, kGrammar, "", "status=407 state=COMPLETE") +
                           Recognize("a", 2, kGrammar, "Save-Waveform: false\n") + "audio a " +
                           speech + "\nwait a RECOGNITION-COMPLETE timeout=20000\nclose a\n");
    ASSERT_EQ(s.run.status, 0) << s.run.out << s.run.log.substr(0, 20000);
    std::vector<Msg> r = s.Answer("a", 1);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].Cause(), 6);
    EXPECT_TRUE(s.LogHas("Cannot Open Waveform File for Writing /proc/self/koralrx-"));
    r = s.Answer("a", 2);
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[2].Cause(), 0);
    EXPECT_NE(r[2].body.find("call home"), std::string::npos);
    EXPECT_TRUE(s.LogHas("Failed to Open RDR File /proc/self/koralrx-"));
    ExpectOneEndPerRecognition(s, "a");
}

// Real speech through detector, converter, client and the offline recognizer,
// at 16 kHz on MRCPv2 and 8 kHz on MRCPv1, both managers on: WAV files sox
// reads, and a record whose transcript is what was recognized; then
// `vantor-host recognize` on the same files.
TEST_F(RecognitionFixture, RealSpeech) {
    StartService("", "pocketsphinx");
    Configure("",
              R"(<utterance-manager save-waveforms="true"/><rdr-manager save-records="true"/>)");
    // Phrases that the service's offline recognizer gets right from flite's
    // kal16 voice at each rate.
    const std::string phrase16 = "call home", phrase8 = "check my account balance";
    const std::string wav16 = SpeechFile(phrase16, 16000);
    const std::string wav8 = SpeechFile(phrase8, 8000);
    Session s = RunSession("channel a rate=16000\nchannel b rate=8000 version=1\n" +
                           Recognize("a", 1, "builtin:speech/transcribe") + "audio a " + wav16 +
                           "\nwait a RECOGNITION-COMPLETE timeout=30000\n" +
                           Recognize("b", 1, "builtin:speech/transcribe") + "audio b " + wav8 +
                           "\nwait b RECOGNITION-COMPLETE timeout=30000\n");
    ASSERT_EQ(s.run.status, 0) << s.run.out << s.run.log.substr(0, 20000);
    for (const char *channel : {"a", "b"}) {
        std::vector<Msg> r = s.Answer(channel, 1);
        ASSERT_EQ(r.size(), 3u) << channel << s.run.out;
        EXPECT_EQ(r[2].Cause(), 0) << channel;
        const std::string &phrase = channel[0] == 'a' ? phrase16 : phrase8;
        EXPECT_NE(r[2].body.find("<instance>" + phrase + "</instance>"), std::string::npos)
            << channel << ": " << r[2].body;
    }
    // The 8 kHz channel (MRCPv1: no Channel-Identifier) left the only 8 kHz file.
    const std::vector<Msg> r = s.Answer("b", 1);
    const std::string open = "<input mode=\"speech\">";
    size_t from = r.at(2).body.find(open);
    ASSERT_NE(from, std::string::npos) << r[2].body;
    from += open.size();
    const std::string recognized = r[2].body.substr(from, r[2].body.find('<', from) - from);
    EXPECT_FALSE(recognized.empty());
    glob_t found;
    ASSERT_EQ(glob((root_ + "/var/koralrx-*-1-8-kHz.wav").c_str(), 0, nullptr, &found), 0);
    ASSERT_EQ(found.gl_pathc, 1u);
    std::string base = found.gl_pathv[0];
    globfree(&found);
    base.resize(base.size() - std::string("-8-kHz.wav").size());
    for (const std::string khz : {"8", "16"}) {
        std::string info = SoxInfo(base + "-" + khz + "-kHz.wav");
        EXPECT_NE(info.find("Sample Rate    : " + khz + "000"), std::string::npos) << info;
        EXPECT_NE(info.find("Channels       : 1"), std::string::npos) << info;
        EXPECT_NE(info.find("Precision      : 16-bit"), std::string::npos) << info;
    }
    EXPECT_EQ(Transcript(ReadRecord(base + ".json")["recog-details-record"]), recognized);

    HostRun run = RunHost("recognize " + wav8);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("RECOGNITION-COMPLETE 1 COMPLETE"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("<input mode=\"speech\">" + phrase8 + "</input>"), std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.find("START-OF-INPUT"), std::string::npos) << "only the result is printed";

    run = RunHost("--json recognize --version 1 --header \"N-Best-List-Length: 2\" " + wav16);
    EXPECT_EQ(run.status, 0) << run.out;
    std::vector<Msg> printed = ParseMessages(run.out);
    ASSERT_EQ(printed.size(), 1u) << run.out;
    EXPECT_EQ(printed[0].name, "RECOGNITION-COMPLETE");
    EXPECT_EQ(printed[0].Cause(), 0);

    // Silence: no-input, exit status 1.
    std::string quiet = root_ + "/quiet.wav";
    ASSERT_TRUE(KoralTest::WriteWav(quiet, KoralTest::Silence(500, 8000), 8000));
    run = RunHost("recognize --header \"No-Input-Timeout: 1000\" " + quiet);
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("002 no-input-timeout"), std::string::npos) << run.out;
    // A WAV file has no digits to give a DTMF grammar.
    run = RunHost("recognize --grammar builtin:dtmf/digits " + quiet);
    EXPECT_EQ(run.status, 2) << run.out;
    EXPECT_NE(run.out.find("DTMF digits, which a WAV file does not carry"), std::string::npos)
        << run.out;
}

}  // namespace
