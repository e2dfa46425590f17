// Consecutive recognitions on one channel, with the plugin loaded in this
// process by the host library and the test itself writing the channel's
// frames: the test decides which frame the detector sees before or after the
// engine thread takes up a request, so the orders that timing alone rarely
// shows are played exactly.

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KoralTest/AprPool.h"
#include "RecognitionFixture.h"
#include "apt_dir_layout.h"
#include "apt_log.h"
#include "engine_host.h"
#include "media_clock.h"
#include "plugin_module.h"

namespace {

// Holds the engine thread inside the host's message callback while closed.
class Gate {
  public:
    void Close() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = false;
    }
    void Open() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            open_ = true;
        }
        cond_.notify_all();
    }
    void Pass() {
        std::unique_lock<std::mutex> lock(mutex_);
        cond_.wait(lock, [this] { return open_; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable cond_;
    bool open_ = true;
};

// The plugin loaded in this process on the fixture's root, with its engine
// open and one 8 kHz MRCPv2 channel; the clock is never started: frames
// come from Feed.
class DetectorHandoverTest : public KoralTest::RecognitionFixture {
  protected:
    void SetUp() override {
        RecognitionFixture::SetUp();
        KoralTest::InitAprOnce();
        apr_pool_create(&pool_, nullptr);
        apt_log_instance_create(APT_PRIO_DEBUG, pool_);
        apt_log_file_open((root_ + "/log/host.log").c_str());
    }

    void TearDown() override {
        if (host_) {
            std::string error;
            for (const std::string &name : host_->OpenChannelNames()) {
                vantor::HostChannel *channel = host_->FindChannel(name);
                if (!channel) continue;
                EXPECT_TRUE(host_->CloseChannel(channel, &error)) << error;
            }
            EXPECT_TRUE(host_->CloseEngine(&error)) << error;
            host_->DestroyEngine();
            EXPECT_EQ(host_->faults(), 0) << "the host saw plugin faults (log)";
            host_.reset();
            module_.Unload();
        }
        service_.reset();
        apt_log_instance_destroy();
        apr_pool_destroy(pool_);
    }

    // The local service playing `scenario`, the plugin configured for it.
    void Start(const std::string &scenario, const std::string &extra_config = "") {
        StartService(scenario);
        Configure("", extra_config);
        std::string error;
        ASSERT_TRUE(module_.Load(KORAL_TEST_PLUGIN_MODULE, &error)) << error;
        mrcp_engine_t *engine = module_.CreateEngine(pool_, &error);
        ASSERT_NE(engine, nullptr) << error;
        vantor::EngineHostSettings settings;
        settings.dir_layout = apt_default_dir_layout_create(root_.c_str(), pool_);
        host_ = std::make_unique<vantor::EngineHost>(
            settings, &clock_, [this](const vantor::MessageRecord &m) {
                if (m.is_event && m.id == RECOGNIZER_RECOGNITION_COMPLETE) gate_.Pass();
            });
        ASSERT_TRUE(host_->OpenEngine(engine, &error)) << error;
        channel_ = host_->CreateChannel("c1", 8000, MRCP_VERSION_2, &error);
        ASSERT_NE(channel_, nullptr) << error;
        ASSERT_TRUE(host_->OpenChannel(channel_, &error)) << error;
    }

    void Recognize(unsigned id, const std::string &grammar, const std::string &no_input_ms) {
        std::string error;
        ASSERT_TRUE(host_->SendRequest(
            channel_, "RECOGNIZE", id,
            {{"Content-Type", "text/uri-list"}, {"No-Input-Timeout", no_input_ms}},
            grammar + "\r\n", true, &error))
            << error;
    }

    // Writes the samples to the channel's sink stream as 10 ms frames, on
    // this thread, which is the media thread of the test.
    void Feed(const KoralTest::Samples &samples) {
        mpf_audio_stream_t *stream = channel_->engine_channel->termination->audio_stream;
        for (size_t at = 0; at < samples.size(); at += 80) {
            int16_t buffer[80] = {};
            for (size_t i = 0; i < 80 && at + i < samples.size(); ++i) buffer[i] = samples[at + i];
            mpf_frame_t frame{};
            frame.type = MEDIA_FRAME_TYPE_AUDIO;
            frame.codec_frame.buffer = buffer;
            frame.codec_frame.size = sizeof(buffer);
            stream->vtable->write_frame(stream, &frame);
        }
    }

    // Feeds silence, a frame about every 10 ms, until an event of the
    // request matches, or 30 s.
    bool FeedUntil(unsigned id, apr_size_t event, vantor::MessageRecord *out) {
        for (int i = 0; i < 3000; ++i) {
            Feed(KoralTest::Silence(10, 8000));
            if (channel_->WaitMessage(
                    [id, event](const vantor::MessageRecord &m) {
                        return m.is_event && m.request_id == id && m.id == event;
                    },
                    10, out))
                return true;
        }
        return false;
    }

    bool WaitResponse(unsigned id, vantor::MessageRecord *out) {
        return channel_->WaitMessage(
            [id](const vantor::MessageRecord &m) { return !m.is_event && m.request_id == id; },
            30000, out);
    }

    // Waits until the host log holds `text`, or 30 s.
    bool WaitLog(const std::string &text) {
        for (int i = 0; i < 3000; ++i) {
            if (Log().find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    std::string Log() const { return KoralTest::ReadFile(root_ + "/log/host.log"); }

    apr_pool_t *pool_ = nullptr;
    vantor::PluginModule module_;
    vantor::MediaClock clock_{0};
    Gate gate_;
    std::unique_ptr<vantor::EngineHost> host_;
    vantor::HostChannel *channel_ = nullptr;
};

// The service ends the first recognition while the detector still takes
// input, which leaves a stop with the detector. The client's next RECOGNIZE
// reaches the engine after that stop was carried out by a frame: the stop's
// report must not end the new recognition (its cause would be the
// undecided 17), which goes on to its own no-input timeout.
TEST_F(DetectorHandoverTest, StopOfAnEndedRecognitionLeavesTheNextOneRunning) {
    // The service ends the turn itself after 300 ms of audio.
    Start(R"({"turns":[{"endMs":300}]})");
    KoralTest::Samples speech;
    std::string error;
    ASSERT_TRUE(KoralTest::Synthesize("yes please", 8000, speech, &error)) << error;

    vantor::MessageRecord m;
    Recognize(1, "builtin:speech/transcribe", "5000");
    ASSERT_TRUE(WaitResponse(1, &m));
    ASSERT_EQ(m.state, "IN-PROGRESS");
    // Speech without the silence that would end it: only the service ends
    // this input. The engine thread is held once it sent the completion.
    gate_.Close();
    Feed(KoralTest::Join({KoralTest::Silence(100, 8000), speech}));
    ASSERT_TRUE(channel_->WaitMessage(
        [](const vantor::MessageRecord &x) {
            return x.is_event && x.request_id == 1 && x.id == RECOGNIZER_RECOGNITION_COMPLETE;
        },
        30000, &m));
    EXPECT_EQ(m.cause, 0);
    EXPECT_NE(m.body.find("yes please"), std::string::npos) << m.body;

    // The RECOGNIZE waits behind the held engine thread while a frame
    // carries out the stop; then the engine goes on.
    Recognize(2, "builtin:speech/transcribe", "300");
    Feed(KoralTest::Silence(20, 8000));
    gate_.Open();
    ASSERT_TRUE(WaitResponse(2, &m));
    ASSERT_EQ(m.state, "IN-PROGRESS");
    ASSERT_TRUE(FeedUntil(2, RECOGNIZER_RECOGNITION_COMPLETE, &m));
    EXPECT_EQ(m.cause, 2) << m.text;
    EXPECT_NE(Log().find("Skip Detector Event of Earlier Recognition"), std::string::npos);
}

// A phrase list's hypothesis ends the input early, and the service has
// already said that the speech ended when the detector's stop is reported:
// the service's phrase, still on its way, decides the recognition (it used
// to end at once with the undecided cause 17, the phrase dropped).
TEST_F(DetectorHandoverTest, EarlyPhraseMatchAfterServiceEndOfSpeechWaitsForThePhrase) {
    // "yes" after 400 ms of audio, the end of speech at 500 ms, the phrase
    // a second later.
    Start(R"({"turns":[{"hypotheses":["yes"],"endMs":500,"nbest":["yes"],
              "faults":[{"at":"speech.phrase","action":"delay","delayMs":1000}]}]})",
          R"(<speech-contexts><speech-context id="yesno" speech-complete="true">
               <phrase tag="Y">yes</phrase><phrase>no</phrase>
             </speech-context></speech-contexts>)");
    KoralTest::Samples speech;
    std::string error;
    ASSERT_TRUE(KoralTest::Synthesize("yes please, call my office", 8000, speech, &error)) << error;

    vantor::MessageRecord m;
    Recognize(1, "builtin:speech/yesno", "5000");
    ASSERT_TRUE(WaitResponse(1, &m));
    ASSERT_EQ(m.state, "IN-PROGRESS");
    // All the speech, and no frame after it until the engine has taken the
    // hypothesis (a stop asked of the detector) and the end of speech.
    Feed(KoralTest::Join({KoralTest::Silence(100, 8000), speech}));
    ASSERT_TRUE(WaitLog("Path:speech.endDetected")) << "the service never ended the speech";
    std::string error2;
    ASSERT_TRUE(host_->SendRequest(channel_, "GET-PARAMS", 2, {}, "", false, &error2)) << error2;
    ASSERT_TRUE(WaitResponse(2, &m));
    ASSERT_NE(Log().find("Phrase Matched [yes]"), std::string::npos);
    ASSERT_TRUE(FeedUntil(1, RECOGNIZER_RECOGNITION_COMPLETE, &m));
    EXPECT_EQ(m.cause, 0) << m.text;
    EXPECT_NE(m.body.find("<instance>Y</instance>"), std::string::npos) << m.body;
    EXPECT_NE(Log().find("Input Complete [stopped]"), std::string::npos);
}

}  // namespace
