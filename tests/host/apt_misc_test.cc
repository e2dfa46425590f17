// Unique ids, directory layout, log priorities, codecs, and the engine and
// channel objects of the host library.
#include <apr_file_info.h>
#include <apr_file_io.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "apt_dir_layout.h"
#include "apt_log.h"
#include "apt_unique_id.h"
#include "mrcp_engine_host.h"

namespace {

class HostLibrary : public ::testing::Test {
  protected:
    void SetUp() override { apr_pool_create(&pool_, nullptr); }
    void TearDown() override { apr_pool_destroy(pool_); }
    apr_pool_t *pool_ = nullptr;
};

TEST_F(HostLibrary, UniqueIdIs32LowercaseHexUuid) {
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        apt_str_t id;
        ASSERT_TRUE(apt_unique_id_generate(&id, 32, pool_));
        ASSERT_EQ(id.length, 32u);
        ASSERT_EQ(strlen(id.buf), 32u);
        for (size_t k = 0; k < 32; ++k)
            ASSERT_TRUE(strchr("0123456789abcdef", id.buf[k])) << id.buf;
        EXPECT_EQ(id.buf[12], '4');               // version 4
        EXPECT_TRUE(strchr("89ab", id.buf[16]));  // RFC 4122 variant
        seen.insert(id.buf);
    }
    EXPECT_EQ(seen.size(), 1000u);
}

TEST_F(HostLibrary, UniqueIdOtherLengthsAndRefusals) {
    apt_str_t id;
    ASSERT_TRUE(apt_unique_id_generate(&id, 7, pool_));
    EXPECT_EQ(strlen(id.buf), 7u);
    ASSERT_TRUE(apt_unique_id_generate(&id, APT_UNIQUE_ID_MAX_LENGTH, pool_));
    EXPECT_FALSE(apt_unique_id_generate(&id, 0, pool_));
    EXPECT_EQ(id.buf, nullptr);
    EXPECT_FALSE(apt_unique_id_generate(&id, APT_UNIQUE_ID_MAX_LENGTH + 1, pool_));
    EXPECT_FALSE(apt_unique_id_generate(&id, 32, nullptr));
    EXPECT_FALSE(apt_unique_id_generate(nullptr, 32, pool_));
}

TEST_F(HostLibrary, DirLayoutFromRoot) {
    apt_dir_layout_t *layout = apt_default_dir_layout_create("/srv/vantor", pool_);
    EXPECT_STREQ(apt_dir_layout_path_get(layout, APT_LAYOUT_CONF_DIR), "/srv/vantor/conf");
    EXPECT_STREQ(apt_dir_layout_path_get(layout, APT_LAYOUT_PLUGIN_DIR), "/srv/vantor/plugin");
    EXPECT_STREQ(apt_dir_layout_path_get(layout, APT_LAYOUT_LOG_DIR), "/srv/vantor/log");
    EXPECT_STREQ(apt_dir_layout_path_get(layout, 3), "/srv/vantor/data");
    EXPECT_STREQ(apt_dir_layout_path_get(layout, 4), "/srv/vantor/var");
    EXPECT_EQ(apt_dir_layout_path_get(layout, APT_LAYOUT_DIR_COUNT), nullptr);
    EXPECT_STREQ(apt_confdir_filepath_get(layout, "koralrx.xml", pool_),
                 "/srv/vantor/conf/koralrx.xml");
    EXPECT_STREQ(apt_vardir_filepath_get(layout, "status", pool_), "/srv/vantor/var/status");
    EXPECT_STREQ(apt_datadir_filepath_get(layout, "key.txt", pool_), "/srv/vantor/data/key.txt");
    EXPECT_STREQ(apt_confdir_filepath_get(layout, "/etc/abs.xml", pool_), "/etc/abs.xml");
    EXPECT_EQ(apt_confdir_filepath_get(layout, "", pool_), nullptr);
    EXPECT_EQ(apt_confdir_filepath_get(layout, nullptr, pool_), nullptr);
    EXPECT_EQ(apt_confdir_filepath_get(nullptr, "x", pool_), nullptr);

    apt_dir_layout_t *empty = apt_dir_layout_create(pool_);
    EXPECT_EQ(apt_vardir_filepath_get(empty, "status", pool_), nullptr);
    EXPECT_TRUE(apt_dir_layout_path_set(empty, APT_LAYOUT_VAR_DIR, "/tmp/v", pool_));
    EXPECT_FALSE(apt_dir_layout_path_set(empty, 9, "/tmp/x", pool_));
    EXPECT_STREQ(apt_vardir_filepath_get(empty, "status", pool_), "/tmp/v/status");
}

TEST_F(HostLibrary, DirLayoutCreatesDirectories) {
    char tmpl[] = "/tmp/vantor-layout-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    apt_dir_layout_t *layout = apt_default_dir_layout_create(tmpl, pool_);
    EXPECT_TRUE(apt_dir_layout_dirs_create(layout, pool_));
    apr_finfo_t info;
    EXPECT_EQ(
        apr_stat(&info, apt_dir_layout_path_get(layout, APT_LAYOUT_VAR_DIR), APR_FINFO_TYPE, pool_),
        APR_SUCCESS);
    EXPECT_EQ(info.filetype, APR_DIR);
    for (int i = 0; i < APT_LAYOUT_DIR_COUNT; ++i)
        apr_dir_remove(apt_dir_layout_path_get(layout, i), pool_);
    apr_dir_remove(tmpl, pool_);
}

TEST(HostLog, PriorityTranslate) {
    EXPECT_EQ(apt_log_priority_translate("WARNING"), APT_PRIO_WARNING);
    EXPECT_EQ(apt_log_priority_translate("notice"), APT_PRIO_NOTICE);
    EXPECT_EQ(apt_log_priority_translate("3"), APT_PRIO_ERROR);
    EXPECT_EQ(apt_log_priority_translate("EMERGENCY"), APT_PRIO_EMERGENCY);
    EXPECT_EQ(apt_log_priority_translate("bogus"), APT_PRIO_DEBUG);
    EXPECT_EQ(apt_log_priority_translate("8"), APT_PRIO_DEBUG);
    EXPECT_EQ(apt_log_priority_translate(nullptr), APT_PRIO_DEBUG);
}

TEST(MpfCodec, FrameSizesAndDtmf) {
    EXPECT_EQ(mpf_codec_linear_frame_size_calculate(8000, 1), 160u);
    EXPECT_EQ(mpf_codec_linear_frame_size_calculate(16000, 1), 320u);
    EXPECT_EQ(mpf_sample_rate_mask_get(16000), MPF_SAMPLE_RATE_16000);
    EXPECT_EQ(mpf_sample_rate_mask_get(11025), MPF_SAMPLE_RATE_NONE);
    EXPECT_EQ(mpf_event_id_to_dtmf_char(10), '*');
    EXPECT_EQ(mpf_event_id_to_dtmf_char(11), '#');
    EXPECT_EQ(mpf_event_id_to_dtmf_char(15), 'D');
    EXPECT_EQ(mpf_event_id_to_dtmf_char(16), '\0');
    EXPECT_EQ(mpf_dtmf_char_to_event_id('b'), 13u);
    EXPECT_EQ(mpf_dtmf_char_to_event_id('x'), 0xFFu);
}

// Engine and channel objects as a plugin builds them.
apt_bool_t Ok(mrcp_engine_t *) { return TRUE; }
mrcp_engine_channel_t *NoChannel(mrcp_engine_t *, apr_pool_t *) { return nullptr; }
apt_bool_t ChOk(mrcp_engine_channel_t *) { return TRUE; }
apt_bool_t ChRequest(mrcp_engine_channel_t *, mrcp_message_t *) { return TRUE; }
apt_bool_t Write(mpf_audio_stream_t *, const mpf_frame_t *) { return TRUE; }

// Counts the answers in the channel's object: 1 a success, 100 a failure.
apt_bool_t OnOpen(mrcp_engine_channel_t *channel, apt_bool_t status) {
    *static_cast<int *>(channel->obj) += status ? 1 : 100;
    return TRUE;
}

TEST_F(HostLibrary, EngineAndChannelCreation) {
    const mrcp_engine_method_vtable_t engine_methods = {Ok, Ok, Ok, NoChannel};
    const mrcp_engine_method_vtable_t incomplete = {Ok, nullptr, Ok, NoChannel};
    int obj = 0;
    mrcp_engine_t *engine =
        mrcp_engine_create(MRCP_RECOGNIZER_RESOURCE, &obj, &engine_methods, pool_);
    ASSERT_NE(engine, nullptr);
    EXPECT_EQ(engine->obj, &obj);
    EXPECT_EQ(engine->resource_id, 1u);
    EXPECT_EQ(mrcp_engine_create(1, &obj, &incomplete, pool_), nullptr);
    EXPECT_EQ(mrcp_engine_create(1, &obj, nullptr, pool_), nullptr);
    EXPECT_FALSE(mrcp_engine_open_respond(engine, TRUE));  // no event table yet

    const mrcp_engine_channel_method_vtable_t channel_methods = {ChOk, ChOk, ChOk, ChRequest};
    const mpf_audio_stream_vtable_t stream_methods = {nullptr, nullptr, nullptr, nullptr,
                                                      nullptr, nullptr, Write,   nullptr};
    mpf_stream_capabilities_t *caps = mpf_stream_capabilities_create(STREAM_DIRECTION_SINK, pool_);
    ASSERT_TRUE(mpf_codec_capabilities_add(&caps->codecs, "LPCM", 0, MPF_SAMPLE_RATE_8000));
    EXPECT_FALSE(mpf_codec_capabilities_add(&caps->codecs, "", 0, MPF_SAMPLE_RATE_8000));
    mpf_termination_t *termination =
        mrcp_engine_audio_termination_create(&obj, &stream_methods, caps, pool_);
    ASSERT_NE(termination, nullptr);
    EXPECT_EQ(termination->audio_stream->obj, &obj);

    const mrcp_engine_channel_event_vtable_t events = {OnOpen, nullptr, nullptr};
    mrcp_engine_channel_settings_t settings = {"abc123", MRCP_VERSION_1, &events, nullptr};
    mrcp_engine_channel_settings_set(&settings);
    mrcp_engine_channel_t *channel =
        mrcp_engine_channel_create(engine, &channel_methods, &obj, termination, pool_);
    mrcp_engine_channel_settings_set(nullptr);
    ASSERT_NE(channel, nullptr);
    EXPECT_STREQ(channel->id.buf, "abc123");
    EXPECT_EQ(channel->mrcp_version, MRCP_VERSION_1);
    EXPECT_EQ(channel->obj, &obj);
    EXPECT_EQ(mrcp_engine_sink_stream_codec_get(channel), nullptr);  // not negotiated yet
    EXPECT_FALSE(mrcp_engine_sink_stream_codec_negotiate(channel, 16000));
    ASSERT_TRUE(mrcp_engine_sink_stream_codec_negotiate(channel, 8000));
    const mpf_codec_descriptor_t *codec = mrcp_engine_sink_stream_codec_get(channel);
    ASSERT_NE(codec, nullptr);
    EXPECT_EQ(codec->sampling_rate, 8000);
    EXPECT_EQ(codec->channel_count, 1);

    obj = 0;
    EXPECT_TRUE(mrcp_engine_channel_open_respond(channel, TRUE));
    EXPECT_EQ(obj, 1);
    EXPECT_FALSE(mrcp_engine_channel_close_respond(channel));  // slot not set
    EXPECT_FALSE(mrcp_engine_channel_message_send(channel, nullptr));

    mrcp_engine_channel_t *plain =
        mrcp_engine_channel_create(engine, &channel_methods, &obj, termination, pool_);
    EXPECT_EQ(plain->id.length, 0u);  // settings cleared
    EXPECT_EQ(plain->mrcp_version, MRCP_VERSION_2);
}

}  // namespace
