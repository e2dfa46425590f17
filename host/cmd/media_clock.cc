#include "media_clock.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <thread>

#include "apt_log.h"

namespace vantor {

MediaClock::MediaClock(double speed) : speed_(speed < 0 ? 0 : speed) {}

MediaClock::~MediaClock() { Stop(); }

bool MediaClock::Start(std::string *error) {
    if (thread_) return true;
    if (apr_pool_create(&pool_, nullptr) != APR_SUCCESS) {
        *error = "cannot create the media pool";
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(tick_mutex_);
        stop_ = false;
    }
    if (apr_thread_create(&thread_, nullptr, ThreadMain, this, pool_) != APR_SUCCESS) {
        *error = "cannot start the media thread";
        thread_ = nullptr;
        apr_pool_destroy(pool_);
        pool_ = nullptr;
        return false;
    }
    return true;
}

void MediaClock::Stop() {
    if (!thread_) return;
    {
        std::lock_guard<std::mutex> lock(tick_mutex_);
        stop_ = true;
    }
    tick_cond_.notify_all();
    apr_status_t rv;
    apr_thread_join(&rv, thread_);
    thread_ = nullptr;
    apr_pool_destroy(pool_);
    pool_ = nullptr;
}

void MediaClock::Attach(mpf_audio_stream_t *stream, FrameSource *source) {
    std::lock_guard<std::mutex> lock(feed_mutex_);
    targets_.push_back(
        Target{stream, source, std::vector<int16_t>(source->sampling_rate() / 100, 0)});
}

void MediaClock::Detach(mpf_audio_stream_t *stream) {
    std::lock_guard<std::mutex> lock(feed_mutex_);
    targets_.erase(std::remove_if(targets_.begin(), targets_.end(),
                                  [stream](const Target &t) { return t.stream == stream; }),
                   targets_.end());
}

uint64_t MediaClock::NowMs() const {
    std::lock_guard<std::mutex> lock(tick_mutex_);
    return ticks_ * 10;
}

void MediaClock::Sleep(uint64_t ms) {
    std::unique_lock<std::mutex> lock(tick_mutex_);
    const uint64_t until = ticks_ + (ms + 9) / 10;
    tick_cond_.wait(lock, [&] { return ticks_ >= until || stop_; });
}

void *APR_THREAD_FUNC MediaClock::ThreadMain(apr_thread_t *thread, void *data) {
    pthread_setname_np(pthread_self(), "vantor-media");
    static_cast<MediaClock *>(data)->Loop();
    apr_thread_exit(thread, APR_SUCCESS);
    return nullptr;
}

MediaClock::TickStats MediaClock::TakeStats() {
    std::lock_guard<std::mutex> lock(stats_mutex_);
    TickStats taken = stats_;
    stats_ = TickStats();
    return taken;
}

void MediaClock::Loop() {
    using Clock = std::chrono::steady_clock;
    using Ms = std::chrono::duration<double, std::milli>;
    const auto start = Clock::now();
    const auto period = Ms(speed_ > 0 ? 10.0 / speed_ : 0.0);
    auto thread_cpu_ms = [] {
        timespec ts;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) * 1e-6;
    };
    for (uint64_t n = 1;; ++n) {
        const auto began = Clock::now();
        const double cpu_began = speed_ > 0 ? thread_cpu_ms() : 0;
        bool idle = false;
        {
            std::lock_guard<std::mutex> lock(feed_mutex_);
            idle = targets_.empty();
            for (Target &t : targets_) {
                mpf_frame_t frame;
                t.source->Next(&frame, t.buffer.data());
                if (t.stream->vtable && t.stream->vtable->write_frame)
                    t.stream->vtable->write_frame(t.stream, &frame);
            }
            // The tick counts while its feed is still held: a stream attached
            // before a Sleep began is fed on every tick the Sleep waits for.
            std::lock_guard<std::mutex> tick(tick_mutex_);
            ++ticks_;
        }
        tick_cond_.notify_all();
        if (speed_ > 0) {
            // Tick n is due at start + (n - 1) periods; it fell behind when its
            // frames were not all written by the time tick n + 1 is due.
            const auto ended = Clock::now();
            const double late = Ms(began - start).count() - period.count() * (double)(n - 1);
            const double busy = Ms(ended - began).count();
            const double cpu = thread_cpu_ms() - cpu_began;
            std::lock_guard<std::mutex> lock(stats_mutex_);
            ++stats_.ticks;
            if (Ms(ended - start).count() > period.count() * (double)n) ++stats_.behind;
            stats_.late_max_ms = std::max(stats_.late_max_ms, late);
            stats_.late_sum_ms += late;
            stats_.busy_max_ms = std::max(stats_.busy_max_ms, busy);
            stats_.busy_sum_ms += busy;
            stats_.cpu_max_ms = std::max(stats_.cpu_max_ms, cpu);
            stats_.cpu_sum_ms += cpu;
        }
        std::unique_lock<std::mutex> lock(tick_mutex_);
        if (speed_ > 0) {
            // Ticks keep to the schedule; a late tick is caught up at once.
            const auto due =
                start + std::chrono::duration_cast<Clock::duration>(period * (double)n);
            if (tick_cond_.wait_until(lock, due, [this] { return stop_; })) break;
        } else {
            if (stop_) break;
            lock.unlock();
            // Without channels nobody needs the ticks at once: spare the CPU.
            if (idle)
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            else
                std::this_thread::yield();
        }
    }
}

}  // namespace vantor
