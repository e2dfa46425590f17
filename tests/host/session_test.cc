// vantor-host's plain parts, where its end-to-end runs (vantor_host_test)
// cannot reach: the script errors of every command, the path normalizer of
// its defaults, frames cut from the input queue at their edges, WAV layouts
// and refusals, and JSON text escaping.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "input_queue.h"
#include "json_writer.h"
#include "options.h"
#include "session_script.h"
#include "wav_file.h"

namespace {

TEST(SessionScript, ErrorsNameTheirLine) {
    const std::vector<std::pair<const char *, const char *>> errors = {
        {"channel a\nfly a\n", "line 2: unknown command fly"},
        {"channel a rate=11025\n", "line 1: rate must be 8000 or 16000"},
        {"channel a version=3\n", "line 1: version must be 1 or 2"},
        {"channel a speed=3\n", "line 1: unknown option speed"},
        {"channel a/b\n", "line 1: missing or bad channel name"},
        {"send a RECOGNIZE 1\nNo colon\n.\n",
         "line 2: header line without a name and colon: No colon"},
        {"send a RECOGNIZE 1\nA: b\n", "line 1: send without its closing \".\" line"},
        {"send a RECOGNIZE 4294967296\n.\n", "line 1: bad request id 4294967296"},
        {"dtmf a 12x\n", "line 1: bad DTMF digit x"},
        {"wait a START-OF-NOTHING\n", "line 1: unknown event START-OF-NOTHING"},
        {"wait a response\n", "line 1: response needs a request id"},
        {"wait a response 1 state=DONE\n", "line 1: bad state DONE"},
        {"wait a response 1 timeout=-1\n", "line 1: bad value of timeout: -1"},
        {"silence a\n", "line 1: usage: silence NAME MS"},
        {"sleep\n", "line 1: usage: sleep MS"},
        {"close a b\n", "line 1: usage: close NAME"},
        {"audio a\n", "line 1: usage: audio NAME FILE.wav"},
    };
    for (const auto &e : errors) {
        std::vector<vantor::ScriptCommand> commands;
        std::string error;
        EXPECT_FALSE(vantor::ParseScript(e.first, "/scripts", &commands, &error)) << e.first;
        EXPECT_EQ(error, e.second);
    }
    EXPECT_EQ(vantor::NormalizePath("/a/b/host/cmd/../../plugins/x.so"), "/a/b/plugins/x.so");
    EXPECT_EQ(vantor::NormalizePath("../x"), "../x");
    EXPECT_EQ(vantor::NormalizePath("/.."), "/");
}

// Audio is cut into frames with the last one padded; a digit too short for
// one frame still has its start and end; a bad digit queues nothing.
TEST(InputQueue, FrameEdges) {
    vantor::InputQueue q(8000);
    std::vector<int16_t> samples(200);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>(i + 1);
    q.PushAudio(samples.data(), samples.size());
    ASSERT_EQ(q.Pending(), 3u);
    std::vector<int16_t> buf(q.frame_samples());
    mpf_frame_t f;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(q.Next(&f, buf.data()));
    EXPECT_EQ(f.codec_frame.size, 160u);
    EXPECT_EQ(buf[39], 200);
    EXPECT_EQ(buf[40], 0);
    EXPECT_FALSE(q.PushDtmf("1x", 100, 100));
    EXPECT_EQ(q.Pending(), 0u);

    vantor::InputQueue wide(16000);
    ASSERT_TRUE(wide.PushDtmf("1", 0, 0));
    std::vector<int16_t> wbuf(wide.frame_samples());
    ASSERT_TRUE(wide.Next(&f, wbuf.data()));
    EXPECT_EQ(f.marker, MPF_MARKER_START_OF_EVENT);
    ASSERT_TRUE(wide.Next(&f, wbuf.data()));
    EXPECT_EQ(f.marker, MPF_MARKER_END_OF_EVENT);
    EXPECT_EQ(f.event_frame.duration, 320u);  // 20 ms at 16 kHz
    EXPECT_FALSE(wide.Next(&f, wbuf.data()));
}

void Put16(std::vector<uint8_t> &b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t> &b, uint32_t v) {
    Put16(b, static_cast<uint16_t>(v));
    Put16(b, static_cast<uint16_t>(v >> 16));
}
void Tag(std::vector<uint8_t> &b, const char *t) { b.insert(b.end(), t, t + 4); }

// A WAV file: format 0xFFFE writes the extensible layout; an odd-sized chunk
// (padded) before "fmt " with extra_chunk; data_size 0 is the true size.
std::vector<uint8_t> Wav(uint16_t format, uint16_t channels, uint32_t rate, uint16_t bits,
                         const std::vector<int16_t> &samples, bool extra_chunk = false,
                         uint32_t data_size = 0) {
    std::vector<uint8_t> b;
    Tag(b, "RIFF");
    Put32(b, 0);
    Tag(b, "WAVE");
    if (extra_chunk) {
        Tag(b, "LIST");
        Put32(b, 3);
        b.insert(b.end(), {'a', 'b', 'c', 0});
    }
    Tag(b, "fmt ");
    Put32(b, format == 0xFFFE ? 40 : 16);
    Put16(b, format);
    Put16(b, channels);
    Put32(b, rate);
    Put32(b, rate * channels * bits / 8);
    Put16(b, static_cast<uint16_t>(channels * bits / 8));
    Put16(b, bits);
    if (format == 0xFFFE) {
        Put16(b, 22);
        Put16(b, bits);
        Put32(b, 4);
        Put16(b, 1);  // PCM sub-format
        b.insert(b.end(), 14, 0);
    }
    Tag(b, "data");
    Put32(b, data_size ? data_size : static_cast<uint32_t>(samples.size() * 2));
    for (int16_t s : samples) Put16(b, static_cast<uint16_t>(s));
    return b;
}

TEST(WavFile, LayoutsAndRefusals) {
    vantor::WavAudio audio;
    std::string error;
    ASSERT_TRUE(vantor::ParseWav(Wav(1, 1, 8000, 16, {1, -2, 32767}, true), &audio, &error))
        << error;
    EXPECT_EQ(audio.sampling_rate, 8000u);
    EXPECT_EQ(audio.samples, (std::vector<int16_t>{1, -2, 32767}));
    ASSERT_TRUE(vantor::ParseWav(Wav(0xFFFE, 2, 16000, 16, {5, 6}), &audio, &error)) << error;
    EXPECT_EQ(audio.channel_count, 2u);
    EXPECT_EQ(audio.sampling_rate, 16000u);
    // A streamed file's data size: what is there.
    ASSERT_TRUE(
        vantor::ParseWav(Wav(1, 1, 8000, 16, {1, 2, 3}, false, 0xFFFFFFFF), &audio, &error));
    EXPECT_EQ(audio.samples.size(), 3u);

    EXPECT_FALSE(vantor::ParseWav(Wav(1, 1, 8000, 8, {1}), &audio, &error));
    EXPECT_NE(error.find("not 16-bit"), std::string::npos) << error;
    EXPECT_FALSE(vantor::ParseWav(Wav(3, 1, 8000, 16, {1}), &audio, &error));  // float
    EXPECT_FALSE(vantor::ParseWav({'R', 'I', 'F', 'F'}, &audio, &error));
    auto no_data = Wav(1, 1, 8000, 16, {});
    no_data.resize(no_data.size() - 8);
    EXPECT_FALSE(vantor::ParseWav(no_data, &audio, &error));
    EXPECT_EQ(error, "no data chunk");
    auto bad_fmt = Wav(1, 1, 8000, 16, {1});
    bad_fmt[16] = 0xFF;  // fmt size beyond the file
    bad_fmt[17] = 0xFF;
    EXPECT_FALSE(vantor::ParseWav(bad_fmt, &audio, &error));
}

TEST(JsonString, EscapesAndRepairsUtf8) {
    EXPECT_EQ(vantor::JsonString("a\"b\\c\r\n\t\x01"), "\"a\\\"b\\\\c\\r\\n\\t\\u0001\"");
    EXPECT_EQ(vantor::JsonString("h\xc3\xa9llo \xe2\x82\xac"), "\"h\xc3\xa9llo \xe2\x82\xac\"");
    EXPECT_EQ(vantor::JsonString("bad \xff \xc3 \xed\xa0\x80"),
              "\"bad \\ufffd \\ufffd \\ufffd\\ufffd\\ufffd\"");
    EXPECT_EQ(vantor::JsonString(std::string("nul\0x", 5)), "\"nul\\u0000x\"");
}

}  // namespace
