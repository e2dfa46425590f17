// WAV reading for the audio command.
#include "wav_file.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

void Put16(std::vector<uint8_t> &b, uint16_t v) {
    b.push_back((uint8_t)v);
    b.push_back((uint8_t)(v >> 8));
}
void Put32(std::vector<uint8_t> &b, uint32_t v) {
    Put16(b, (uint16_t)v);
    Put16(b, (uint16_t)(v >> 16));
}
void Tag(std::vector<uint8_t> &b, const char *t) { b.insert(b.end(), t, t + 4); }

std::vector<uint8_t> Wav(uint16_t format, uint16_t channels, uint32_t rate, uint16_t bits,
                         const std::vector<int16_t> &samples, bool extra_chunk = false,
                         uint32_t data_size = 0) {
    std::vector<uint8_t> b;
    Tag(b, "RIFF");
    Put32(b, 0);
    Tag(b, "WAVE");
    if (extra_chunk) {  // odd-sized chunk before fmt: padded
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
    Put16(b, (uint16_t)(channels * bits / 8));
    Put16(b, bits);
    if (format == 0xFFFE) {
        Put16(b, 22);
        Put16(b, bits);
        Put32(b, 4);
        Put16(b, 1);  // PCM sub-format
        b.insert(b.end(), 14, 0);
    }
    Tag(b, "data");
    Put32(b, data_size ? data_size : (uint32_t)(samples.size() * 2));
    for (int16_t s : samples) Put16(b, (uint16_t)s);
    return b;
}

TEST(WavFile, PcmAndExtensible) {
    vantor::WavAudio audio;
    std::string error;
    ASSERT_TRUE(vantor::ParseWav(Wav(1, 1, 8000, 16, {1, -2, 32767}, true), &audio, &error))
        << error;
    EXPECT_EQ(audio.sampling_rate, 8000u);
    EXPECT_EQ(audio.channel_count, 1u);
    EXPECT_EQ(audio.samples, (std::vector<int16_t>{1, -2, 32767}));
    ASSERT_TRUE(vantor::ParseWav(Wav(0xFFFE, 2, 16000, 16, {5, 6}), &audio, &error)) << error;
    EXPECT_EQ(audio.channel_count, 2u);
    EXPECT_EQ(audio.sampling_rate, 16000u);
}

TEST(WavFile, StreamedSizeTakesWhatIsThere) {
    vantor::WavAudio audio;
    std::string error;
    ASSERT_TRUE(
        vantor::ParseWav(Wav(1, 1, 8000, 16, {1, 2, 3}, false, 0xFFFFFFFF), &audio, &error));
    EXPECT_EQ(audio.samples.size(), 3u);
}

TEST(WavFile, Refusals) {
    vantor::WavAudio audio;
    std::string error;
    EXPECT_FALSE(vantor::ParseWav(Wav(1, 1, 8000, 8, {1}), &audio, &error));
    EXPECT_NE(error.find("not 16-bit"), std::string::npos);
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
    EXPECT_FALSE(vantor::ReadWavFile("/nonexistent/x.wav", &audio, &error));
    EXPECT_NE(error.find("cannot open"), std::string::npos);
}

}  // namespace
