// Hostile MRCP text: garbage, truncations and mutations of valid messages must
// never crash or overrun; whatever parses must serialize and parse again to the
// same text.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "apt_header_field.h"
#include "mrcp_message_codec.h"

namespace {

// Whole messages, each written over several literals.
// NOLINTBEGIN(bugprone-suspicious-missing-comma)
const std::vector<std::string> kSeeds = {
    "MRCP/2.0 192 RECOGNIZE "
    "1\r\nChannel-Identifier:9d3f01a2b7@speechrecog\r\nCancel-If-Queue:false\r\n"
    "No-Input-Timeout:5000\r\nContent-Type:text/"
    "uri-list\r\nContent-Length:28\r\n\r\nsession:menu@example.store\r\n",
    "MRCP/2.0 76 1 200 IN-PROGRESS\r\nChannel-Identifier:9d3f01a2b7@speechrecog\r\n\r\n",
    "MRCP/2.0 125 START-OF-INPUT 1 IN-PROGRESS\r\nChannel-Identifier:9d3f01a2b7@speechrecog\r\n"
    "Input-Type:speech\r\nProxy-Sync-Id:p1\r\n\r\n",
    "RECOGNIZE 7 "
    "MRCP/"
    "1.0\r\nConfidence-Threshold:90\r\nRecognizer-Start-Timers:false\r\nContent-Length:"
    "3\r\n\r\nabc",
    "MRCP/1.0 3 200 COMPLETE\r\nActive-Request-Id-List:2,3\r\nCompletion-Cause:001 "
    "no-match\r\n\r\n",
    "RECOGNITION-COMPLETE 5 COMPLETE MRCP/1.0\r\nCompletion-Cause:003 "
    "recognition-timeout\r\nWaveform-URL:x\r\n\r\n",
};
// NOLINTEND(bugprone-suspicious-missing-comma)

// Gives MRCPv2 text the message-length it should have, so mutations reach the headers.
std::string FixLength(const std::string &text) {
    if (text.compare(0, 9, "MRCP/2.0 ") != 0) return text;
    size_t end = text.find(' ', 9);
    if (end == std::string::npos) return text;
    std::string rest = text.substr(end);
    size_t total = 0;
    std::string out;
    for (int i = 0; i < 4; ++i) {
        out = "MRCP/2.0 " + std::to_string(total) + rest;
        if (out.size() == total) break;
        total = out.size();
    }
    return out;
}

class Hostile : public ::testing::Test {
  protected:
    void SetUp() override { apr_pool_create(&pool_, nullptr); }
    void TearDown() override { apr_pool_destroy(pool_); }

    // Parses a private heap copy (so ASan sees any read beyond it); checks that what
    // parses round-trips. Returns whether it parsed.
    bool Check(const std::string &text) {
        apr_pool_clear(pool_);
        std::vector<char> copy(text.begin(), text.end());
        const char *error = nullptr;
        mrcp_message_t *m =
            mrcp_message_parse(copy.empty() ? nullptr : copy.data(), copy.size(), pool_, &error);
        if (!m) {
            EXPECT_NE(error, nullptr);
            return false;
        }
        apr_size_t length = 0;
        const char *once = mrcp_message_serialize(m, pool_, &length);
        EXPECT_NE(once, nullptr) << text;
        if (!once) return true;
        std::string first(once, length);
        mrcp_message_t *again = mrcp_message_parse(first.data(), first.size(), pool_, &error);
        EXPECT_NE(again, nullptr) << (error ? error : "") << "\n" << first;
        if (!again) return true;
        const char *twice = mrcp_message_serialize(again, pool_, &length);
        EXPECT_EQ(first, std::string(twice ? twice : "", twice ? length : 0));
        return true;
    }

    apr_pool_t *pool_ = nullptr;
};

TEST_F(Hostile, SeedsParse) {
    for (const std::string &seed : kSeeds) EXPECT_TRUE(Check(seed)) << seed;
}

TEST_F(Hostile, EveryTruncation) {
    for (const std::string &seed : kSeeds)
        for (size_t n = 0; n < seed.size(); ++n) {
            Check(seed.substr(0, n));
            Check(FixLength(seed.substr(0, n)));
        }
}

TEST_F(Hostile, RandomMutations) {
    std::mt19937 rng(20240501);
    const std::string specials[] = {"\r\n",
                                    "\r",
                                    "\n",
                                    ":",
                                    " ",
                                    "@",
                                    ",",
                                    ".",
                                    "0",
                                    "9999999999999999999999",
                                    std::string(1, '\0'),
                                    "\xff",
                                    "MRCP/2.0",
                                    "MRCP/1.0",
                                    "-",
                                    "\t",
                                    "<",
                                    ">"};
    int parsed = 0;
    for (int i = 0; i < 20000; ++i) {
        std::string text = kSeeds[rng() % kSeeds.size()];
        int edits = 1 + (int)(rng() % 4);
        for (int e = 0; e < edits && !text.empty(); ++e) {
            size_t at = rng() % text.size();
            switch (rng() % 4) {
                case 0:
                    text[at] = (char)(rng() & 0xFF);
                    break;
                case 1:
                    text.erase(at, 1 + rng() % 8);
                    break;
                case 2:
                    text.insert(at, specials[rng() % (sizeof(specials) / sizeof(specials[0]))]);
                    break;
                case 3:
                    text.insert(at, text.substr(at, rng() % 40));
                    break;
            }
        }
        parsed += Check(FixLength(text)) ? 1 : 0;
    }
    EXPECT_GT(parsed, 100);  // the mutations do reach deep into valid messages
}

TEST_F(Hostile, RandomGarbage) {
    std::mt19937 rng(7);
    for (int i = 0; i < 5000; ++i) {
        std::string text(rng() % 300, '\0');
        for (char &c : text) c = (char)(rng() & 0xFF);
        if (i % 2) text = "MRCP/2.0 " + text;
        Check(FixLength(text));
    }
}

TEST_F(Hostile, HugeAndManyThings) {
    std::string many = "RECOGNIZE 1 MRCP/1.0\r\n";
    for (int i = 0; i < 2000; ++i) many += "X-H" + std::to_string(i) + ":v\r\n";
    EXPECT_FALSE(Check(many + "\r\n"));  // too many header fields
    const char *why = nullptr;
    EXPECT_EQ(mrcp_message_parse(many.data(), many.size(), pool_, &why), nullptr);
    EXPECT_STREQ(why, "more than 1024 header fields");
    std::string ids = "STOP 1 MRCP/1.0\r\nActive-Request-Id-List:";
    for (int i = 0; i < 100; ++i) ids += std::to_string(i) + ",";
    EXPECT_FALSE(Check(ids + "1\r\n\r\n"));  // more ids than the list holds
    std::string longvalue =
        "RECOGNIZE 1 MRCP/1.0\r\nSpeech-Language:" + std::string(100000, 'a') + "\r\n\r\n";
    EXPECT_TRUE(Check(longvalue));
    EXPECT_FALSE(Check("MRCP/2.0 99999999999999999999999 RECOGNIZE 1\r\n\r\n"));
    const char *error = nullptr;
    EXPECT_EQ(mrcp_message_parse("x", MRCP_MESSAGE_MAX_LENGTH + 1, pool_, &error),
              nullptr);  // not read
}

TEST_F(Hostile, HeaderSectionGarbage) {
    std::mt19937 rng(99);
    for (int i = 0; i < 5000; ++i) {
        std::string text(rng() % 200, '\0');
        for (char &c : text) {
            unsigned r = rng() % 10;
            c = r < 2 ? '\r' : r < 4 ? '\n' : r < 5 ? ':' : r < 6 ? ' ' : (char)('a' + rng() % 26);
        }
        std::vector<char> copy(text.begin(), text.end());
        apt_text_stream_t stream;
        apt_text_stream_init(&stream, copy.empty() ? nullptr : copy.data(), copy.size());
        apt_header_section_t section;
        apt_header_section_init(&section);
        if (apt_header_section_parse(&section, &stream, pool_)) {
            size_t n = 0;
            for (const apt_header_field_t *f = section.first; f; f = f->next, ++n) {
                ASSERT_EQ(strlen(f->name.buf), f->name.length);
                ASSERT_GT(f->name.length, 0u);
            }
            ASSERT_EQ(n, section.count);
        }
        apr_pool_clear(pool_);
    }
}

}  // namespace
