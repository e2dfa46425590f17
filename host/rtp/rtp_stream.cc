#include "rtp_stream.h"

#include <cstring>

#include "apt_log.h"
#include "rtp_codec.h"

namespace vantor {

namespace {
// The jitter buffer keeps up to this much audio ahead of its depth.
constexpr unsigned kAheadMs = 1000;
// Telephone events further than this from the playout are not kept.
constexpr unsigned kEventHorizonMs = 4000;

// Log lines for drops of one kind: the 1st, 10th, 100th... so a flood is
// reported without flooding the log.
bool Worth(uint64_t count) {
    while (count >= 10 && count % 10 == 0) count /= 10;
    return count == 1;
}

}  // namespace

apt_log_source_t *RtpLogSource() {
    static apt_log_source_t *source = [] {
        apt_log_source_t *s = nullptr;
        apt_log_source_assign("RTP", &s);
        return s;
    }();
    return source;
}

void SequenceCounter::Restart() {
    if (started_) lost_before_ += Current();
    started_ = false;
}

bool SequenceCounter::Count(uint16_t seq) {
    const uint16_t delta = static_cast<uint16_t>(seq - max_);
    if (started_ && delta >= kMaxDropout && delta <= 65536 - kMaxMisorder)
        Restart();  // a jump: the sender restarted its sequence numbers
    if (!started_) {
        started_ = true;
        base_ = seq;
        max_ = seq;
        cycles_ = 0;
        received_ = 1;
        seen_ = 1;
        return true;
    }
    const uint16_t ahead = static_cast<uint16_t>(seq - max_);
    if (ahead != 0 && ahead < kMaxDropout) {
        if (seq < max_) cycles_ += 65536;
        max_ = seq;
        seen_ = ahead < 64 ? (seen_ << ahead) | 1 : 1;
    } else {
        const uint16_t behind = static_cast<uint16_t>(max_ - seq);
        if (behind < 64) {
            if (seen_ & (uint64_t{1} << behind)) return false;
            seen_ |= uint64_t{1} << behind;
        }
    }
    ++received_;
    return true;
}

uint64_t SequenceCounter::Current() const {
    const int64_t expected = static_cast<int64_t>(cycles_) + max_ - base_ + 1;
    const int64_t lost = expected - static_cast<int64_t>(received_);
    return static_cast<uint64_t>(lost > 0 ? lost : 0);
}

RtpStream::RtpStream(unsigned port, unsigned jitter_ms) : port_(port), jitter_ms_(jitter_ms) {
    Configure(RtpFormat(), UdpEndpoint(), true);
}

void RtpStream::Configure(const RtpFormat &format, const UdpEndpoint &remote, bool any_source) {
    format_ = format;
    remote_ = remote;
    any_source_ = any_source;
    frame_samples_ = format.rate / 100;
    jitter_.emplace(frame_samples_, static_cast<size_t>(format.rate) * jitter_ms_ / 1000,
                    static_cast<size_t>(format.rate) * kAheadMs / 1000);
    events_.reset();
    inband_.reset();
    if (format.event_payload_type >= 0)
        events_.emplace(frame_samples_, format.rate * kEventHorizonMs / 1000);
    else
        inband_.emplace(format.rate);
    sequence_.Restart();
    have_ssrc_ = false;
}

void RtpStream::Datagram(const uint8_t *data, size_t size, const sockaddr_storage &from) {
    if (!any_source_ && !SameEndpoint(from, remote_)) {
        if (Worth(++stats_.wrong_source))
            apt_log(RtpLogSource(), APT_LOG_MARK, APT_PRIO_WARNING,
                    "RTP port %u: packet from unexpected source %s dropped (%llu so far)", port_,
                    EndpointText(from).c_str(),
                    static_cast<unsigned long long>(stats_.wrong_source));
        return;
    }
    RtpHeader header;
    const uint8_t *payload = nullptr;
    size_t payload_size = 0;
    const RtpParse parsed = size > kRtpMaxDatagram
                                ? RtpParse::kInvalid
                                : ParseRtp(data, size, &header, &payload, &payload_size);
    if (parsed == RtpParse::kRtcp) {
        ++stats_.rtcp;
        return;
    }
    if (parsed == RtpParse::kInvalid) {
        if (Worth(++stats_.wrong_payload_type))
            apt_log(RtpLogSource(), APT_LOG_MARK, APT_PRIO_WARNING,
                    "RTP port %u: %zu-byte datagram from %s is not RTP, dropped (%llu so far)",
                    port_, size, EndpointText(from).c_str(),
                    static_cast<unsigned long long>(stats_.wrong_payload_type));
        return;
    }
    Accept(header, payload, payload_size, from);
}

void RtpStream::Accept(const RtpHeader &header, const uint8_t *payload, size_t size,
                       const sockaddr_storage &from) {
    const bool media = header.payload_type == format_.payload_type;
    const bool event =
        format_.event_payload_type >= 0 && header.payload_type == format_.event_payload_type;
    if (!media && !event) {
        if (Worth(++stats_.wrong_payload_type))
            apt_log(RtpLogSource(), APT_LOG_MARK, APT_PRIO_WARNING,
                    "RTP port %u: payload type %u from %s not negotiated, dropped (%llu so far)",
                    port_, header.payload_type, EndpointText(from).c_str(),
                    static_cast<unsigned long long>(stats_.wrong_payload_type));
        return;
    }
    if (event && size < kTelephoneEventSize) {
        if (Worth(++stats_.wrong_payload_type))
            apt_log(RtpLogSource(), APT_LOG_MARK, APT_PRIO_WARNING,
                    "RTP port %u: telephone-event of %zu bytes from %s dropped", port_, size,
                    EndpointText(from).c_str());
        return;
    }
    if (!have_ssrc_ || header.ssrc != ssrc_) {
        // Logged as drops are: a peer switching sources on every packet
        // must not write a line for each.
        if (have_ssrc_ && Worth(++source_changes_))
            apt_log(RtpLogSource(), APT_LOG_MARK, APT_PRIO_NOTICE,
                    "RTP port %u: source %08x replaced by %08x: playout restarted (%llu so far)",
                    port_, ssrc_, header.ssrc, static_cast<unsigned long long>(source_changes_));
        // A new stream: its timestamps and sequence numbers start afresh.
        have_ssrc_ = true;
        ssrc_ = header.ssrc;
        sequence_.Restart();
        jitter_->Reset();
        if (events_) events_->Reset();
    }
    ++stats_.packets;
    if (!sequence_.Count(header.sequence)) return;  // a duplicate: its samples are in place
    if (media) {
        decoded_.clear();
        RtpDecode(format_.encoding, payload, size, &decoded_);
        if (jitter_->Put(header.timestamp, decoded_.data(), decoded_.size()) ==
            JitterBuffer::PutResult::kLate)
            ++stats_.late;
        return;
    }
    TelephoneEvent ev;
    ParseTelephoneEvent(payload, size, &ev);  // its length was checked above
    jitter_->AnchorIfIdle(header.timestamp);
    if (events_->Put(header.timestamp, ev, jitter_->started(), jitter_->playout()) ==
        TelephoneEvents::Result::kLate)
        ++stats_.late;
}

bool RtpStream::Play(mpf_frame_t *frame, int16_t *buffer) {
    memset(frame, 0, sizeof(*frame));
    frame->type = MEDIA_FRAME_TYPE_AUDIO;
    frame->codec_frame.buffer = buffer;
    frame->codec_frame.size = frame_samples_ * sizeof(int16_t);
    uint32_t playout = 0;
    bool input = jitter_->Take(buffer, &playout);
    bool digit = false;
    if (jitter_->started()) {
        if (events_)
            digit = events_->Annotate(playout, frame);
        else if (inband_)
            digit = inband_->Process(buffer, frame);
    }
    if (digit) ++stats_.events;
    return input || (frame->type & MEDIA_FRAME_TYPE_EVENT);
}

const RtpStats &RtpStream::stats() {
    stats_.lost = sequence_.Lost();
    return stats_;
}

}  // namespace vantor
