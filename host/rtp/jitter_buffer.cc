#include "jitter_buffer.h"

#include <algorithm>

namespace vantor {

namespace {
// Consecutive packets far from the playout that make it a timestamp jump (a
// restarted sender) rather than a stray packet.
constexpr unsigned kJumpConfirmPackets = 3;
int32_t Diff(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b); }
}  // namespace

JitterBuffer::JitterBuffer(size_t frame_samples, size_t depth_samples, size_t capacity_samples)
    : frame_(frame_samples),
      depth_(depth_samples),
      ahead_(capacity_samples),
      ring_(depth_samples + capacity_samples + frame_samples, 0),
      filled_(ring_.size(), 0) {}

void JitterBuffer::Reset() {
    std::fill(ring_.begin(), ring_.end(), 0);
    std::fill(filled_.begin(), filled_.end(), 0);
    started_ = false;
    far_count_ = 0;
}

void JitterBuffer::Anchor(uint32_t timestamp) {
    Reset();
    started_ = true;
    playout_ = timestamp - static_cast<uint32_t>(depth_);
    newest_ = timestamp;
    read_ = 0;
}

JitterBuffer::PutResult JitterBuffer::Put(uint32_t timestamp, const int16_t *samples,
                                          size_t count) {
    if (count == 0) return PutResult::kStored;
    count = std::min(count, ring_.size());
    PutResult result = PutResult::kStored;
    if (!started_) {
        Anchor(timestamp);
    }
    int64_t offset = Diff(timestamp, playout_);
    const bool head = Diff(timestamp, newest_) >= 0;
    const bool far = offset < -static_cast<int64_t>(ring_.size()) ||
                     offset + static_cast<int64_t>(count) > static_cast<int64_t>(ring_.size());
    if (far) {
        // A lone stray packet must not move the playout; a sender that
        // restarted its timestamps keeps landing here and does.
        if (++far_count_ < kJumpConfirmPackets) return PutResult::kDiscarded;
        Anchor(timestamp);
        offset = Diff(timestamp, playout_);
        result = PutResult::kReanchored;
    } else if (offset + static_cast<int64_t>(count) <= 0) {
        far_count_ = 0;
        if (!head) return PutResult::kLate;
        // The stream's newest packet is already due: the playout ran dry.
        // Start again a depth behind it rather than dropping all that follows.
        Anchor(timestamp);
        offset = Diff(timestamp, playout_);
        result = PutResult::kReanchored;
    } else {
        far_count_ = 0;
    }
    size_t skip = offset < 0 ? static_cast<size_t>(-offset) : 0;
    for (size_t i = skip; i < count; ++i) {
        const size_t at = (read_ + static_cast<size_t>(offset) + i) % ring_.size();
        ring_[at] = samples[i];
        filled_[at] = 1;
    }
    const uint32_t end = timestamp + static_cast<uint32_t>(count);
    if (Diff(end, newest_) > 0) newest_ = end;
    return result;
}

bool JitterBuffer::Take(int16_t *out, uint32_t *frame_timestamp) {
    if (!started_) {
        std::fill(out, out + frame_, 0);
        return false;
    }
    // A sender whose clock runs faster than the media clock fills the ring
    // over a long call; past three quarters of it a frame is skipped so the
    // delay stays bounded. A burst after a network stall stays well below and
    // is played in full: a recognizer would rather wait than lose words.
    const int32_t buffered = Diff(newest_, playout_);
    if (buffered > static_cast<int32_t>(depth_ + ahead_ * 3 / 4)) {
        for (size_t i = 0; i < frame_; ++i) {
            const size_t at = (read_ + i) % ring_.size();
            ring_[at] = 0;
            filled_[at] = 0;
        }
        read_ = (read_ + frame_) % ring_.size();
        playout_ += static_cast<uint32_t>(frame_);
    }
    *frame_timestamp = playout_;
    bool any = false;
    for (size_t i = 0; i < frame_; ++i) {
        const size_t at = (read_ + i) % ring_.size();
        out[i] = ring_[at];
        any = any || filled_[at];
        ring_[at] = 0;
        filled_[at] = 0;
    }
    read_ = (read_ + frame_) % ring_.size();
    playout_ += static_cast<uint32_t>(frame_);
    return any;
}

}  // namespace vantor
