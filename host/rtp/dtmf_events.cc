#include "dtmf_events.h"

#include <algorithm>

#include "spandsp_dsp.h"

namespace vantor {

namespace {
int32_t Diff(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b); }
// Digits whose updates stopped this long past their known duration (in
// frames) are ended: their end packets were lost.
constexpr uint32_t kStaleFrames = 12;
constexpr size_t kMaxPending = 4;
constexpr size_t kDoneKept = 8;
}  // namespace

void DigitRun::Mark(uint32_t event_id, bool end, mpf_frame_t *frame) {
    if (!active_) {
        active_ = true;
        event_id_ = event_id;
        frames_ = 1;
        frame->marker = MPF_MARKER_START_OF_EVENT;
    } else {
        ++frames_;
        frame->marker = end ? MPF_MARKER_END_OF_EVENT : MPF_MARKER_NONE;
        if (end) active_ = false;
    }
    frame->type |= MEDIA_FRAME_TYPE_AUDIO | MEDIA_FRAME_TYPE_EVENT;
    frame->event_frame.event_id = event_id_;
    frame->event_frame.duration = static_cast<apr_uint32_t>(frame_ * frames_);
}

TelephoneEvents::TelephoneEvents(size_t frame_samples, uint32_t horizon)
    : frame_(frame_samples), horizon_(horizon), run_(frame_samples) {}

void TelephoneEvents::Reset() {
    // A digit in progress keeps its run: the next frame ends it.
    pending_.erase(std::remove_if(pending_.begin(), pending_.end(),
                                  [](const Pending &p) { return !p.started; }),
                   pending_.end());
    for (Pending &p : pending_) p.end = true, p.duration = 0;
    done_.clear();
}

bool TelephoneEvents::Done(uint32_t timestamp) const {
    return std::find(done_.begin(), done_.end(), timestamp) != done_.end();
}

void TelephoneEvents::Finish(size_t index) {
    done_.push_back(pending_[index].timestamp);
    if (done_.size() > kDoneKept) done_.erase(done_.begin());
    pending_.erase(pending_.begin() + static_cast<long>(index));
}

TelephoneEvents::Result TelephoneEvents::Put(uint32_t timestamp, const TelephoneEvent &event,
                                             bool playing, uint32_t playout) {
    if (event.event > 15) return Result::kDropped;  // not a DTMF digit (flash, tones)
    if (Done(timestamp)) return Result::kRepeat;
    for (Pending &p : pending_) {
        if (p.timestamp != timestamp) continue;
        p.duration = std::max<uint32_t>(p.duration, event.duration);
        p.end = p.end || event.end;
        return Result::kAccepted;
    }
    if (playing) {
        const int32_t ahead = Diff(timestamp, playout);
        if (ahead > static_cast<int32_t>(horizon_) || ahead < -static_cast<int32_t>(horizon_))
            return Result::kDropped;
        if (event.end && Diff(timestamp + event.duration, playout) <= 0) return Result::kLate;
    }
    if (pending_.size() >= kMaxPending) return Result::kDropped;
    Pending p{timestamp, event.event, event.duration, event.end, false};
    auto at = std::find_if(pending_.begin(), pending_.end(), [&](const Pending &q) {
        return !q.started && Diff(q.timestamp, timestamp) > 0;
    });
    pending_.insert(at, p);
    return Result::kAccepted;
}

bool TelephoneEvents::Annotate(uint32_t playout, mpf_frame_t *frame) {
    const uint32_t frame_end = playout + static_cast<uint32_t>(frame_);
    if (run_.active() && (pending_.empty() || !pending_[0].started)) {
        run_.Mark(0, true, frame);  // a run whose digit was forgotten ends here
        return false;
    }
    if (pending_.empty()) return false;
    Pending &p = pending_[0];
    if (!p.started) {
        if (Diff(p.timestamp, frame_end) >= 0) return false;  // not yet
        p.started = true;
        run_.Mark(p.event, false, frame);
        return true;
    }
    const uint32_t known_end = p.timestamp + p.duration;
    const bool ended =
        (p.end && Diff(known_end, frame_end) <= 0) ||
        (!p.end && Diff(playout, known_end) > static_cast<int32_t>(kStaleFrames * frame_)) ||
        (pending_.size() > 1 && Diff(pending_[1].timestamp, frame_end) < 0);
    run_.Mark(p.event, ended, frame);
    if (ended) Finish(0);
    return false;
}

InbandDtmf::InbandDtmf(unsigned sampling_rate)
    : frame_(sampling_rate / 100),
      decimation_(static_cast<int>(std::max(1u, sampling_rate / 8000))),
      run_(sampling_rate / 100),
      narrow_(frame_ / decimation_ + 1, 0) {
    rx_ = dtmf_rx_init(
        nullptr, [](void *, const char *, int) {}, nullptr);
    if (rx_) dtmf_rx_set_realtime_callback(rx_, &InbandDtmf::OnTone, this);
}

InbandDtmf::~InbandDtmf() {
    if (rx_) dtmf_rx_free(rx_);
}

void InbandDtmf::OnTone(void *data, int code, int level, int delay) {
    static_cast<InbandDtmf *>(data)->tone_ = code;
}

bool InbandDtmf::Process(int16_t *samples, mpf_frame_t *frame) {
    if (!rx_ || decimation_ <= 0) return false;
    // The detector works at 8000 Hz; DTMF lies below 1700 Hz, so averaging
    // pairs is low-pass enough to decimate 16000 Hz audio.
    const size_t step = static_cast<size_t>(decimation_);
    const size_t n = frame_ / step;
    for (size_t i = 0; i < n; ++i) {
        int sum = 0;
        for (size_t k = 0; k < step; ++k) sum += samples[i * step + k];
        narrow_[i] = static_cast<int16_t>(sum / decimation_);
    }
    dtmf_rx(rx_, narrow_.data(), static_cast<int>(n));
    const apr_uint32_t id = tone_ ? mpf_dtmf_char_to_event_id(static_cast<char>(tone_)) : 0xFF;
    bool started = false;
    bool marked = false;
    if (run_.active()) {
        // Ends when the tone stops or turns into another digit, which then
        // starts on the next frame.
        run_.Mark(run_event_, id != run_event_, frame);
        marked = true;
    } else if (id != 0xFF) {
        run_event_ = id;
        run_.Mark(run_event_, false, frame);
        started = marked = true;
    }
    if (marked) std::fill(samples, samples + frame_, 0);
    return started;
}

}  // namespace vantor
