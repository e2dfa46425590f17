// The channel's conversion of converter output to 16-bit PCM.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "KoralResampler.h"
#include "KoralRxPcm.h"

namespace {

// A full-scale 8 kHz square wave rings past full scale once its band is
// limited: the converted samples must hold at the ends of the 16-bit range,
// never wrap to the other sign.
TEST(PcmTest, OvershootIsHeldNotWrapped) {
    std::string error;
    auto resampler = KORAL::CreateResampler(8000, 16000, 640, 2.0, 136.45, &error);
    ASSERT_TRUE(resampler) << error;
    std::vector<double> in(640);
    for (size_t i = 0; i < in.size(); ++i) in[i] = (i / 20) % 2 ? -32768.0 : 32767.0;
    double peak = 0;
    size_t held = 0;
    for (int round = 0; round < 4; ++round) {
        double *out = nullptr;
        int n = resampler->process(in.data(), static_cast<int>(in.size()), out);
        std::vector<int16_t> pcm(n);
        KORAL::ToPcm16(out, n, pcm.data());
        for (int i = 0; i < n; ++i) {
            peak = std::max(peak, std::fabs(out[i]));
            if (out[i] > 32767.0) {
                EXPECT_EQ(pcm[i], 32767) << out[i];
                ++held;
            }
            if (out[i] < -32768.0) {
                EXPECT_EQ(pcm[i], -32768) << out[i];
                ++held;
            }
            if (std::fabs(out[i]) < 32767.0) {
                EXPECT_EQ(pcm[i], static_cast<int16_t>(out[i]));
            }
        }
    }
    EXPECT_GT(held, 0u) << "the square wave did not overshoot (peak " << peak << ")";
    EXPECT_EQ(KORAL::ToPcm16(std::nan("")), 0);
    EXPECT_EQ(KORAL::ToPcm16(-1.9), -1);
}

}  // namespace
