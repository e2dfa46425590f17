// The host library's text and support pieces: text stream readers and
// all-or-nothing writers, the header-section parser, unique ids and the
// directory layout. The engine and channel objects are driven end to end by
// vantor_host_test through the fake plugin.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "apt_dir_layout.h"
#include "apt_header_field.h"
#include "apt_text_stream.h"
#include "apt_unique_id.h"

namespace {

class Apt : public ::testing::Test {
  protected:
    void SetUp() override { apr_pool_create(&pool_, nullptr); }
    void TearDown() override { apr_pool_destroy(pool_); }

    // Lines of text as the line reader cuts them.
    static std::vector<std::string> Lines(std::string text) {
        apt_text_stream_t stream;
        apt_text_stream_init(&stream, text.empty() ? nullptr : &text[0], text.size());
        std::vector<std::string> lines;
        apt_str_t line = {nullptr, 0};
        while (apt_text_line_read(&stream, &line)) lines.emplace_back(line.buf, line.length);
        EXPECT_TRUE(stream.is_eos);
        EXPECT_EQ(line.length, 0u);
        return lines;
    }

    apr_pool_t *pool_ = nullptr;
};

TEST_F(Apt, TextStreamReadsLinesAndFieldsAndWritesWholeOrNothing) {
    using Strings = std::vector<std::string>;
    EXPECT_EQ(Lines("a\r\nb\nc\rd"), (Strings{"a", "b", "c", "d"}));
    EXPECT_EQ(Lines("a\r\n\r\nb\r\n"), (Strings{"a", "", "b"}));
    EXPECT_EQ(Lines("x\r"), (Strings{"x"}));  // CR LF split across the end is one line end
    EXPECT_TRUE(Lines("").empty());

    // An empty field ends a list unless empty ones are allowed; spaces before
    // a field are skipped; a field without separator takes the rest.
    std::string text = "a=1; b=2;;c=3";
    apt_text_stream_t stream;
    apt_text_stream_init(&stream, &text[0], text.size());
    apt_str_t field;
    Strings fields;
    while (apt_text_field_read(&stream, ';', TRUE, &field))
        fields.emplace_back(field.buf, field.length);
    EXPECT_EQ(fields, (Strings{"a=1", "b=2"}));
    ASSERT_TRUE(apt_text_field_read(&stream, ';', FALSE, &field));
    EXPECT_EQ(std::string(field.buf, field.length), "c=3");
    EXPECT_TRUE(apt_text_is_eos(&stream));

    // No input at all is safe.
    apt_text_stream_init(&stream, nullptr, 10);
    EXPECT_FALSE(apt_text_line_read(&stream, &field));
    EXPECT_FALSE(apt_text_field_read(&stream, ';', TRUE, &field));
    EXPECT_EQ(apt_text_printf(&stream, "x"), 0u);
    EXPECT_FALSE(apt_text_line_read(nullptr, &field));

    // Writers put a piece in whole or not at all, never beyond the given size.
    char buf[16];
    memset(buf, 'Z', sizeof(buf));
    apt_text_stream_init(&stream, buf, 10);
    EXPECT_EQ(apt_text_printf(&stream, "%s", "hello"), 5u);
    EXPECT_EQ(apt_text_printf(&stream, "%s", "world!"), 0u);  // 6 > 5 left
    EXPECT_EQ(apt_text_stream_offset(&stream), 5u);
    apt_str_t abc = {const_cast<char *>("abc"), 3};
    EXPECT_EQ(apt_text_string_insert(&stream, &abc), 3u);
    EXPECT_TRUE(apt_text_eol_insert(&stream));  // fits exactly, no NUL
    EXPECT_FALSE(apt_text_char_insert(&stream, 'x'));
    EXPECT_EQ(std::string(buf, 11), "helloabc\r\nZ");
}

TEST_F(Apt, HeaderSections) {
    struct Case {
        std::string text;
        bool ok;
        std::vector<std::pair<const char *, const char *>> fields;  // found by any case
        std::string rest;
    };
    const std::vector<Case> cases = {
        {"X-RequestId: 0123\r\nPath:speech.phrase\r\nContent-Type:  application/json \r\n\r\n{}",
         true,
         {{"x-requestid", "0123"}, {"Path", "speech.phrase"}, {"CONTENT-TYPE", "application/json"}},
         "{}"},
        {"A:\nB: x\n\nbody\n", true, {{"A", ""}, {"B", "x"}}, "body\n"},
        {"Name: first\r\n  second\r\n\tthird\r\n\r\n", true, {{"Name", "first second third"}}, ""},
        {"\r\nrest", true, {}, "rest"},
        {"", false, {}, ""},
        {"A: b\r\n", false, {}, ""},  // text ends before the empty line
        {"A: b", false, {}, ""},
        {"no colon here\r\n\r\n", false, {}, ""},
        {": value\r\n\r\n", false, {}, ""},
        {" continued\r\n\r\n", false, {}, ""},
        // A NUL byte in a name or value once went through: they are used as C strings.
        {std::string("A: v\0w\r\n\r\n", 10), false, {}, ""},
        {std::string("A\0B: v\r\n\r\n", 10), false, {}, ""},
        {std::string("A: v\r\n \0\r\n\r\n", 12), false, {}, ""},
    };
    std::string too_many;
    for (int i = 0; i <= APT_HEADER_SECTION_MAX_FIELDS; ++i)
        too_many += "H" + std::to_string(i) + ": v\r\n";
    std::vector<Case> all = cases;
    all.push_back({too_many + "\r\n", false, {}, ""});
    for (const Case &c : all) {
        SCOPED_TRACE(c.text.substr(0, 60));
        std::vector<char> copy(c.text.begin(), c.text.end());
        apt_text_stream_t stream;
        apt_text_stream_init(&stream, copy.empty() ? nullptr : copy.data(), copy.size());
        apt_header_section_t section;
        apt_header_section_init(&section);
        ASSERT_EQ(apt_header_section_parse(&section, &stream, pool_), c.ok);
        if (!c.ok) continue;
        EXPECT_EQ(section.count, c.fields.size());
        for (const auto &f : c.fields) {
            const apt_header_field_t *found = apt_header_section_find(&section, f.first);
            ASSERT_NE(found, nullptr) << f.first;
            EXPECT_EQ(std::string(found->value.buf, found->value.length), f.second);
            EXPECT_EQ(strlen(found->name.buf), found->name.length);
        }
        EXPECT_EQ(std::string(stream.pos, apt_text_stream_remaining(&stream)), c.rest);
    }
    apt_header_section_t section;
    apt_header_section_init(&section);
    EXPECT_NE(apt_header_section_add(&section, "A", "1", pool_), nullptr);
    EXPECT_NE(apt_header_section_add(&section, "a", nullptr, pool_), nullptr);
    EXPECT_EQ(apt_header_section_add(&section, "", "x", pool_), nullptr);
    EXPECT_EQ(section.count, 2u);
    EXPECT_STREQ(apt_header_section_find(&section, "A")->value.buf, "1");  // the first of a name
}

TEST_F(Apt, UniqueIdsAndDirectoryLayout) {
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        apt_str_t id;
        ASSERT_TRUE(apt_unique_id_generate(&id, 32, pool_));
        ASSERT_EQ(strlen(id.buf), 32u);
        ASSERT_EQ(strspn(id.buf, "0123456789abcdef"), 32u) << id.buf;
        EXPECT_EQ(id.buf[12], '4');               // version 4
        EXPECT_TRUE(strchr("89ab", id.buf[16]));  // RFC 4122 variant
        seen.insert(id.buf);
    }
    EXPECT_EQ(seen.size(), 1000u);
    apt_str_t id;
    EXPECT_FALSE(apt_unique_id_generate(&id, 0, pool_));
    EXPECT_FALSE(apt_unique_id_generate(&id, APT_UNIQUE_ID_MAX_LENGTH + 1, pool_));

    apt_dir_layout_t *layout = apt_default_dir_layout_create("/srv/vantor", pool_);
    EXPECT_STREQ(apt_confdir_filepath_get(layout, "koralrx.xml", pool_),
                 "/srv/vantor/conf/koralrx.xml");
    EXPECT_STREQ(apt_vardir_filepath_get(layout, "status", pool_), "/srv/vantor/var/status");
    EXPECT_STREQ(apt_datadir_filepath_get(layout, "key.txt", pool_), "/srv/vantor/data/key.txt");
    EXPECT_STREQ(apt_confdir_filepath_get(layout, "/etc/abs.xml", pool_), "/etc/abs.xml");
    EXPECT_EQ(apt_confdir_filepath_get(layout, "", pool_), nullptr);
    EXPECT_EQ(apt_confdir_filepath_get(nullptr, "x", pool_), nullptr);
    apt_dir_layout_t *empty = apt_dir_layout_create(pool_);
    EXPECT_EQ(apt_vardir_filepath_get(empty, "status", pool_), nullptr);
    EXPECT_FALSE(apt_dir_layout_path_set(empty, APT_LAYOUT_DIR_COUNT, "/tmp/x", pool_));
}

}  // namespace
