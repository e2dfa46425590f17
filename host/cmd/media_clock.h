// The media clock: a "media" thread that writes one 10 ms frame per tick to the
// sink stream of every attached channel, as a call's media path does.
#pragma once

#include <apr_thread_proc.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "frame_source.h"
#include "mpf_stream.h"

namespace vantor {

class MediaClock {
  public:
    // speed: ticks run this many times faster than real time; 0: as fast as possible.
    explicit MediaClock(double speed);
    ~MediaClock();
    MediaClock(const MediaClock &) = delete;
    MediaClock &operator=(const MediaClock &) = delete;

    bool Start(std::string *error);
    void Stop();

    // Feeds the stream from the source from the next tick on; the source's
    // Next() is called on the media thread until Detach returns.
    void Attach(mpf_audio_stream_t *stream, FrameSource *source);
    // Stops feeding the stream; on return no write to it is in progress.
    void Detach(mpf_audio_stream_t *stream);
    // Media time elapsed, in ms (10 per tick).
    uint64_t NowMs() const;
    // Waits until ms of media time have passed: every stream attached before
    // the call has been fed ms / 10 frames (rounded up) meanwhile.
    void Sleep(uint64_t ms);

    // How the ticks kept to the schedule (real-time speeds only).
    struct TickStats {
        uint64_t ticks = 0;
        uint64_t behind = 0;     // ticks whose frames were not all written by the next tick's time
        double late_max_ms = 0;  // latest start of a tick after its time
        double late_sum_ms = 0;
        double busy_max_ms = 0;  // longest time a tick took to write its frames
        double busy_sum_ms = 0;
        // The media thread's CPU time in one tick: the share of the 10 ms a
        // tick needs, whatever else the machine runs.
        double cpu_max_ms = 0;
        double cpu_sum_ms = 0;
    };
    // The figures since the last call, and a fresh start.
    TickStats TakeStats();

  private:
    struct Target {
        mpf_audio_stream_t *stream;
        FrameSource *source;
        std::vector<int16_t> buffer;
    };

    static void *APR_THREAD_FUNC ThreadMain(apr_thread_t *thread, void *data);
    void Loop();

    const double speed_;
    apr_pool_t *pool_ = nullptr;
    apr_thread_t *thread_ = nullptr;

    std::mutex feed_mutex_;  // held while a tick writes its frames
    std::vector<Target> targets_;

    std::mutex stats_mutex_;
    TickStats stats_;

    mutable std::mutex tick_mutex_;
    std::condition_variable tick_cond_;  // a tick passed, or stop
    uint64_t ticks_ = 0;
    bool stop_ = false;
};

}  // namespace vantor
