#include "DetectorHarness.h"

#include <apr_general.h>

#include <cmath>
#include <cstring>
#include <mutex>
#include <stdexcept>

namespace KoralTest {

namespace {

Recorder *RecorderOf(mpf_sdi_detector_t *detector) {
    return static_cast<Recorder *>(mpf_sdi_obj_get(detector));
}

void OnNoinput(mpf_sdi_detector_t *detector) {
    Recorder *rec = RecorderOf(detector);
    rec->noinput.push_back(rec->frame);
}

void OnStopComplete(mpf_sdi_detector_t *detector, const mpf_sdi_stats_t *stats) {
    Recorder *rec = RecorderOf(detector);
    rec->stops.emplace_back(rec->frame, *stats);
}

void OnStartOfInput(mpf_sdi_detector_t *detector, mpf_sdi_mode_e mode) {
    Recorder *rec = RecorderOf(detector);
    rec->starts.emplace_back(rec->frame, mode);
}

void OnSpeechInput(mpf_sdi_detector_t *detector, const void *data, apr_size_t size,
                   mpf_sdi_state_e state, const mpf_sdi_stats_t *stats) {
    Recorder *rec = RecorderOf(detector);
    SpeechCall call;
    call.frame = rec->frame;
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    call.data.assign(bytes, bytes + size);
    call.pointer = data;
    call.state = state;
    call.has_stats = stats != nullptr;
    call.stats = stats ? *stats : mpf_sdi_stats_t{};
    rec->speech.push_back(std::move(call));
}

void OnDtmfInput(mpf_sdi_detector_t *detector, const char *digits, apr_size_t count, int success,
                 mpf_sdi_state_e state, const mpf_sdi_stats_t *stats) {
    Recorder *rec = RecorderOf(detector);
    rec->dtmf.push_back(
        {rec->frame, digits, count, success, state, stats ? *stats : mpf_sdi_stats_t{}});
}

}  // namespace

std::vector<uint8_t> Recorder::Audio() const {
    std::vector<uint8_t> all;
    for (const SpeechCall &call : speech) all.insert(all.end(), call.data.begin(), call.data.end());
    return all;
}

const SpeechCall *Recorder::Last() const {
    for (const SpeechCall &call : speech) {
        if (call.state == MPF_SDI_STATE_COMPLETE) return &call;
    }
    return nullptr;
}

std::vector<int16_t> VoiceSource::Next() {
    std::vector<int16_t> samples(rate_ / 100);
    for (int16_t &s : samples) {
        const double t = static_cast<double>(sample_++) / rate_;
        double v = 0;
        for (int h = 1; h <= 20; ++h) v += (3000.0 / h) * std::sin(2 * M_PI * 120 * h * t);
        s = static_cast<int16_t>(v);
    }
    return samples;
}

VadOracle::VadOracle() : vad_(WebRtcVad_Create()) {
    if (!vad_) throw std::runtime_error("no VAD");
}

VadOracle::~VadOracle() { WebRtcVad_Free(vad_); }

void VadOracle::Reset(int mode) {
    WebRtcVad_Init(vad_);
    WebRtcVad_set_mode(vad_, mode);
}

int VadOracle::Judge(const std::vector<int16_t> &samples, uint32_t rate) {
    return WebRtcVad_Process(vad_, static_cast<int>(rate), samples.data(), samples.size());
}

mpf_sdi_event_handlers_t RecordingHandlers() {
    mpf_sdi_event_handlers_t handlers;
    mpf_sdi_event_handlers_init(&handlers);
    handlers.on_noinput = OnNoinput;
    handlers.on_stop_complete = OnStopComplete;
    handlers.on_start_of_input = OnStartOfInput;
    handlers.on_speech_input = OnSpeechInput;
    handlers.on_dtmf_input = OnDtmfInput;
    return handlers;
}

Harness::Harness(const mpf_sdi_params_t *params, const char *name) : voice_(8000) {
    mpf_sdi_event_handlers_t handlers = RecordingHandlers();
    detector_ = mpf_sdi_detector_create(name, &handlers, &rec_, params, apr_.get());
    if (!detector_) throw std::runtime_error("detector not created");
}

Harness::~Harness() { mpf_sdi_destroy(detector_); }

void Harness::Init(mpf_sdi_mode_e mode, uint32_t rate, bool start_timers, bool interim,
                   int vad_mode) {
    rate_ = rate;
    voice_ = VoiceSource(rate);
    oracle_.Reset(vad_mode);
    tape_.clear();
    verdicts_.clear();
    mpf_sdi_init(detector_, mode, rate, start_timers ? TRUE : FALSE, interim ? TRUE : FALSE);
}

void Harness::Feed(const mpf_frame_t &frame) {
    rec_.frame++;
    mpf_sdi_process(detector_, &frame);
}

int Harness::Audio(const std::vector<int16_t> &samples) {
    tape_.push_back(samples);
    const int verdict = oracle_.Judge(samples, rate_);
    verdicts_.push_back(verdict);
    mpf_frame_t frame = mpf_frame_t();
    frame.type = MEDIA_FRAME_TYPE_AUDIO;
    frame.codec_frame.buffer = const_cast<int16_t *>(samples.data());
    frame.codec_frame.size = samples.size() * 2;
    Feed(frame);
    return verdict;
}

void Harness::Empty() { Feed(mpf_frame_t()); }

void Harness::Event(uint32_t id, int marker, uint32_t duration) {
    mpf_frame_t frame = mpf_frame_t();
    frame.type = MEDIA_FRAME_TYPE_EVENT;
    frame.marker = marker;
    frame.event_frame.event_id = id;
    frame.event_frame.duration = duration;
    Feed(frame);
}

void Harness::Key(char digit) {
    const uint32_t id = mpf_dtmf_char_to_event_id(digit);
    Event(id, MPF_MARKER_START_OF_EVENT);
    Event(id, MPF_MARKER_END_OF_EVENT, 800);
}

size_t Harness::SilenceUntilUnvoiced(size_t limit) {
    for (size_t n = 1; n <= limit; ++n) {
        if (Silence() == 0) return n;
    }
    throw std::runtime_error("voice detector never settled");
}

std::vector<uint8_t> Harness::TapeBytes(size_t from, size_t to) const {
    std::vector<uint8_t> bytes;
    for (size_t i = from; i < to && i < tape_.size(); ++i) {
        const uint8_t *p = reinterpret_cast<const uint8_t *>(tape_[i].data());
        bytes.insert(bytes.end(), p, p + tape_[i].size() * 2);
    }
    return bytes;
}

}  // namespace KoralTest
