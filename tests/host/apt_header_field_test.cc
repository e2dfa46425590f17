// Header-section parser.
#include "apt_header_field.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class HeaderSection : public ::testing::Test {
  protected:
    void SetUp() override { apr_pool_create(&pool_, nullptr); }
    void TearDown() override { apr_pool_destroy(pool_); }

    // Parses text; returns the parse result and leaves the remaining text in rest_.
    bool Parse(const std::string &text) {
        text_ = text;
        apt_text_stream_init(&stream_, text_.empty() ? nullptr : &text_[0], text_.size());
        apt_header_section_init(&section_);
        bool ok = apt_header_section_parse(&section_, &stream_, pool_);
        rest_ = std::string(stream_.pos ? stream_.pos : "", apt_text_stream_remaining(&stream_));
        return ok;
    }
    std::string Value(const char *name) {
        const apt_header_field_t *f = apt_header_section_find(&section_, name);
        return f ? std::string(f->value.buf, f->value.length) : "<none>";
    }

    apr_pool_t *pool_ = nullptr;
    std::string text_, rest_;
    apt_text_stream_t stream_;
    apt_header_section_t section_;
};

TEST_F(HeaderSection, FieldsUpToTheEmptyLineAndBodyAfter) {
    ASSERT_TRUE(
        Parse("X-RequestId: 0123\r\nPath:speech.phrase\r\nContent-Type:  application/json "
              "\r\n\r\n{\"a\":1}"));
    EXPECT_EQ(section_.count, 3u);
    EXPECT_EQ(Value("x-requestid"), "0123");
    EXPECT_EQ(Value("Path"), "speech.phrase");
    EXPECT_EQ(Value("CONTENT-TYPE"), "application/json");
    EXPECT_EQ(rest_, "{\"a\":1}");
    EXPECT_EQ(std::string(section_.first->name.buf), "X-RequestId");  // NUL-terminated copies
}

TEST_F(HeaderSection, BareLineEndsAndEmptyValues) {
    ASSERT_TRUE(Parse("A:\nB: x\n\nbody\n"));
    EXPECT_EQ(Value("A"), "");
    EXPECT_EQ(Value("B"), "x");
    EXPECT_EQ(rest_, "body\n");
}

TEST_F(HeaderSection, ContinuationLinesJoinWithOneSpace) {
    ASSERT_TRUE(Parse("Name: first\r\n  second\r\n\tthird\r\n\r\n"));
    EXPECT_EQ(Value("Name"), "first second third");
}

TEST_F(HeaderSection, EmptySectionIsJustTheEmptyLine) {
    ASSERT_TRUE(Parse("\r\nrest"));
    EXPECT_EQ(section_.count, 0u);
    EXPECT_EQ(rest_, "rest");
}

TEST_F(HeaderSection, FailuresOfEveryKind) {
    EXPECT_FALSE(Parse(""));          // no empty line
    EXPECT_FALSE(Parse("A: b\r\n"));  // text ends before the empty line
    EXPECT_FALSE(Parse("A: b"));      // cut in a line
    EXPECT_FALSE(Parse("no colon here\r\n\r\n"));
    EXPECT_FALSE(Parse(": value\r\n\r\n"));     // empty name
    EXPECT_FALSE(Parse(" continued\r\n\r\n"));  // nothing to continue
    // A NUL byte in a name or value (they are used as C strings).
    EXPECT_FALSE(Parse(std::string("A: v\0w\r\n\r\n", 10)));
    EXPECT_FALSE(Parse(std::string("A\0B: v\r\n\r\n", 10)));
    EXPECT_FALSE(Parse(std::string("A: v\r\n \0\r\n\r\n", 12)));
}

TEST_F(HeaderSection, TooManyFieldsFail) {
    std::string text;
    for (int i = 0; i <= APT_HEADER_SECTION_MAX_FIELDS; ++i)
        text += "H" + std::to_string(i) + ": v\r\n";
    EXPECT_FALSE(Parse(text + "\r\n"));
}

TEST_F(HeaderSection, AddAndFind) {
    apt_header_section_init(&section_);
    EXPECT_NE(apt_header_section_add(&section_, "A", "1", pool_), nullptr);
    EXPECT_NE(apt_header_section_add(&section_, "a", nullptr, pool_), nullptr);
    EXPECT_EQ(apt_header_section_add(&section_, "", "x", pool_), nullptr);
    EXPECT_EQ(section_.count, 2u);
    EXPECT_EQ(Value("A"), "1");  // the first of a name
    EXPECT_EQ(apt_header_section_find(&section_, "B"), nullptr);
}

}  // namespace
