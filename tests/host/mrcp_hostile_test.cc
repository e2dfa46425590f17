// Hostile MRCP text at the parser's limits, and garbage header sections. Mutated
// and truncated messages (never a crash or an overrun; whatever parses writes
// back and parses again to the same text) are the fuzz smoke test's, run by
// ctest over fuzz/host/corpus.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "apt_header_field.h"
#include "mrcp_message_codec.h"

namespace {

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
