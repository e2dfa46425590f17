#include "input_queue.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace vantor {

InputQueue::InputQueue(unsigned sampling_rate)
    : sampling_rate_(sampling_rate), frame_samples_(sampling_rate / 100) {}

void InputQueue::PushAudio(const int16_t *samples, size_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t at = 0; at < count; at += frame_samples_) {
        Item item;
        item.audio.assign(frame_samples_, 0);
        size_t n = std::min(frame_samples_, count - at);
        std::copy(samples + at, samples + at + n, item.audio.begin());
        items_.push_back(std::move(item));
    }
}

void InputQueue::PushSilence(unsigned ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (unsigned i = 0; i < (ms + 9) / 10; ++i) items_.emplace_back();
}

bool InputQueue::PushDtmf(const std::string &digits, unsigned on_ms, unsigned off_ms) {
    for (char c : digits)
        if (mpf_dtmf_char_to_event_id(c) == 0xFF) return false;
    const apr_uint32_t units_per_frame = sampling_rate_ / 100;  // timestamp units in 10 ms
    const unsigned on_frames = std::max(2u, on_ms / 10);        // a start and an end at least
    std::lock_guard<std::mutex> lock(mutex_);
    for (char c : digits) {
        apr_uint32_t id = mpf_dtmf_char_to_event_id(c);
        for (unsigned i = 0; i < on_frames; ++i) {
            Item item;
            item.type = MEDIA_FRAME_TYPE_AUDIO | MEDIA_FRAME_TYPE_EVENT;
            item.marker = i == 0               ? MPF_MARKER_START_OF_EVENT
                          : i + 1 == on_frames ? MPF_MARKER_END_OF_EVENT
                                               : MPF_MARKER_NONE;
            item.event_id = id;
            item.duration = units_per_frame * (i + 1);
            items_.push_back(std::move(item));
        }
        for (unsigned i = 0; i < off_ms / 10; ++i) items_.emplace_back();
    }
    return true;
}

bool InputQueue::Next(mpf_frame_t *frame, int16_t *buffer) {
    memset(frame, 0, sizeof(*frame));
    frame->type = MEDIA_FRAME_TYPE_AUDIO;
    frame->codec_frame.buffer = buffer;
    frame->codec_frame.size = frame_samples_ * sizeof(int16_t);
    std::lock_guard<std::mutex> lock(mutex_);
    if (items_.empty()) {
        memset(buffer, 0, frame_samples_ * sizeof(int16_t));
        return false;
    }
    Item &item = items_.front();
    frame->type = item.type;
    frame->marker = item.marker;
    frame->event_frame.event_id = item.event_id;
    frame->event_frame.duration = item.duration;
    if (item.audio.empty())
        memset(buffer, 0, frame_samples_ * sizeof(int16_t));
    else
        memcpy(buffer, item.audio.data(), frame_samples_ * sizeof(int16_t));
    items_.pop_front();
    if (items_.empty()) drained_.notify_all();
    return true;
}

size_t InputQueue::Pending() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return items_.size();
}

bool InputQueue::WaitEmpty(long timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return drained_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [this] { return items_.empty(); });
}

}  // namespace vantor
