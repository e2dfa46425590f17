// Text stream readers and all-or-nothing writers.
#include "apt_text_stream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::string Str(const apt_str_t &s) { return std::string(s.buf, s.length); }

std::vector<std::string> Lines(std::string text) {
    apt_text_stream_t stream;
    apt_text_stream_init(&stream, text.empty() ? nullptr : &text[0], text.size());
    std::vector<std::string> lines;
    apt_str_t line;
    while (apt_text_line_read(&stream, &line)) lines.push_back(Str(line));
    EXPECT_TRUE(stream.is_eos);
    return lines;
}

TEST(AptTextStream, LineEndsOfEveryKind) {
    EXPECT_EQ(Lines("a\r\nb\nc\rd"), (std::vector<std::string>{"a", "b", "c", "d"}));
    EXPECT_EQ(Lines("a\r\n\r\nb\r\n"), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(Lines("\n\n"), (std::vector<std::string>{"", ""}));
    EXPECT_TRUE(Lines("").empty());
    // CR LF split across the end is one line end.
    EXPECT_EQ(Lines("x\r"), (std::vector<std::string>{"x"}));
}

TEST(AptTextStream, LineReadAtEndGivesEmptyAndFalse) {
    char text[] = "one";
    apt_text_stream_t stream;
    apt_text_stream_init(&stream, text, 3);
    apt_str_t line;
    ASSERT_TRUE(apt_text_line_read(&stream, &line));
    EXPECT_EQ(Str(line), "one");
    EXPECT_FALSE(apt_text_line_read(&stream, &line));
    EXPECT_EQ(line.length, 0u);
}

TEST(AptTextStream, FieldsAndEmptyFieldEndsList) {
    std::string text = "a=1; b=2;;c=3";
    apt_text_stream_t stream;
    apt_text_stream_init(&stream, &text[0], text.size());
    apt_str_t field;
    ASSERT_TRUE(apt_text_field_read(&stream, ';', TRUE, &field));
    EXPECT_EQ(Str(field), "a=1");
    ASSERT_TRUE(apt_text_field_read(&stream, ';', TRUE, &field));
    EXPECT_EQ(Str(field), "b=2");
    EXPECT_FALSE(apt_text_field_read(&stream, ';', TRUE, &field));  // the empty piece
    ASSERT_TRUE(apt_text_field_read(&stream, ';', FALSE, &field));
    EXPECT_EQ(Str(field), "c=3");
    EXPECT_FALSE(apt_text_field_read(&stream, ';', TRUE, &field));
    EXPECT_TRUE(apt_text_is_eos(&stream));
}

TEST(AptTextStream, FieldWithoutSeparatorTakesTheRest) {
    std::string text = "  name?x";
    apt_text_stream_t stream;
    apt_text_stream_init(&stream, &text[0], text.size());
    apt_str_t field;
    ASSERT_TRUE(apt_text_field_read(&stream, '?', TRUE, &field));
    EXPECT_EQ(Str(field), "name");
    ASSERT_TRUE(apt_text_field_read(&stream, '?', TRUE, &field));
    EXPECT_EQ(Str(field), "x");
}

TEST(AptTextStream, NullAndEmptyInputsAreSafe) {
    apt_text_stream_t stream;
    apt_text_stream_init(&stream, nullptr, 10);
    apt_str_t s;
    EXPECT_FALSE(apt_text_line_read(&stream, &s));
    EXPECT_FALSE(apt_text_field_read(&stream, ';', TRUE, &s));
    EXPECT_EQ(apt_text_printf(&stream, "x"), 0u);
    EXPECT_FALSE(apt_text_line_read(nullptr, &s));
    EXPECT_FALSE(apt_text_line_read(&stream, nullptr));
    apt_text_spaces_skip(nullptr);
}

TEST(AptTextStream, PrintfWritesWholeOrNothing) {
    char buf[16];
    memset(buf, 'Z', sizeof(buf));
    apt_text_stream_t stream;
    apt_text_stream_init(&stream, buf, 10);
    EXPECT_EQ(apt_text_printf(&stream, "%s", "hello"), 5u);
    EXPECT_STREQ(buf, "hello");
    EXPECT_EQ(apt_text_printf(&stream, "%s", "world!"), 0u);  // 6 > 5 left
    EXPECT_EQ(apt_text_stream_offset(&stream), 5u);
    EXPECT_STREQ(buf, "hello");
    EXPECT_EQ(apt_text_printf(&stream, "%d", 12345), 5u);  // fits exactly, no NUL
    EXPECT_EQ(std::string(buf, 10), "hello12345");
    EXPECT_EQ(buf[10], 'Z');  // nothing beyond the given size
    EXPECT_EQ(apt_text_printf(&stream, "x"), 0u);
    EXPECT_FALSE(apt_text_char_insert(&stream, 'x'));
}

TEST(AptTextStream, InsertHelpers) {
    char buf[8];
    apt_text_stream_t stream;
    apt_text_stream_init(&stream, buf, sizeof(buf));
    apt_str_t s = {const_cast<char *>("abc"), 3};
    EXPECT_EQ(apt_text_string_insert(&stream, &s), 3u);
    EXPECT_TRUE(apt_text_char_insert(&stream, ' '));
    EXPECT_TRUE(apt_text_eol_insert(&stream));
    EXPECT_EQ(apt_text_string_insert(&stream, &s), 0u);  // 3 > 2 left
    EXPECT_EQ(std::string(buf, apt_text_stream_offset(&stream)), "abc \r\n");
}

}  // namespace
