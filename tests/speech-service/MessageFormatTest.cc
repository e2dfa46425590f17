// What only a direct call shows of message parsing, WAV headers and reply
// bodies: header names in any case, chunks skipped, exact bodies. Messages
// the service refuses are driven through it in CloseCodeTest.

#include <gtest/gtest.h>

#include "KoralTest/Speech.h"
#include "ReplyFormat.h"
#include "ServiceMessage.h"
#include "WavHeader.h"

using namespace SpeechService;

namespace {

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

}  // namespace
