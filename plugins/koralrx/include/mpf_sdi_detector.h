// The speech and DTMF input detector of a recognizer channel: decides per
// 10 ms frame whether speech or DTMF input started or ended, hands speech
// audio out in chunks framed by fixed silences, collects digits and runs the
// input timers. Everything it finds is reported through callbacks.
//
// Threads: mpf_sdi_process and the callbacks run on the media thread. The
// control calls (init, stop, start_timers, the flag setters and parameter
// setters) may come from another thread at the same time: they leave a
// request that the media thread takes up at the start of its next frame,
// without ever waiting for the caller.
#pragma once

#include <atomic>
#include <mutex>

#include "apt.h"
#include "mpf_frame.h"
#include "mpf_sdi_params.h"
#include "mpf_sdi_util.h"
#include "mpf_sdi_vad.h"

typedef struct mpf_sdi_detector_t mpf_sdi_detector_t;

// Callbacks, run on the media thread inside mpf_sdi_process; they must only
// hand the work over and must not call back into the detector. The data and
// digits stay valid only for the duration of the call.
typedef struct mpf_sdi_event_handlers_t {
    void (*on_noinput)(mpf_sdi_detector_t *detector);
    void (*on_stop_complete)(mpf_sdi_detector_t *detector, const mpf_sdi_stats_t *stats);
    void (*on_start_of_input)(mpf_sdi_detector_t *detector, mpf_sdi_mode_e mode);
    // state is COMPLETE and stats are given only with the last chunk of an input.
    void (*on_speech_input)(mpf_sdi_detector_t *detector, const void *data, apr_size_t size,
                            mpf_sdi_state_e state, const mpf_sdi_stats_t *stats);
    void (*on_dtmf_input)(mpf_sdi_detector_t *detector, const char *digits, apr_size_t count,
                          int success, mpf_sdi_state_e state, const mpf_sdi_stats_t *stats);
} mpf_sdi_event_handlers_t;

// Cyclic buffer of speech frames. Markers are absolute frame numbers from 0
// at the start of a recognition; frame k lives in slot k mod frame_count.
typedef struct mpf_sdi_frame_buffer_t {
    apr_byte_t *buffer;  // frame_count x frame_size bytes
    mpf_frame_t *slots;  // one per frame, pointing into buffer
    apr_size_t frame_count;
    apr_size_t frame_size;           // bytes per 10 ms
    apr_size_t write_marker;         // audio frames stored
    apr_size_t read_marker;          // first frame not handed out
    apr_size_t output_start_marker;  // start of the leading silence
    apr_size_t input_start_marker;   // first voiced frame
    apr_size_t input_end_marker;     // last voiced frame
    apr_size_t output_end_marker;    // end of the trailing silence, 0 while unknown
    apr_size_t output_frame_count;   // frames per chunk
    apr_size_t output_size;          // bytes handed out
    apr_size_t silence_frames;       // silence frames inserted
    const apr_byte_t *silence;       // zeros for the inserted leading silence
    apr_size_t leading_frames;       // leading silence in frames
} mpf_sdi_frame_buffer_t;

// Digits of the current DTMF input, NUL-terminated once complete. Kept off
// the owner's pool: it may grow on the media thread.
typedef struct mpf_sdi_digits_t {
    char *buf;
    apr_size_t count;
    apr_size_t capacity;
} mpf_sdi_digits_t;

// Memory of the frame buffer, reused by later recognitions while it is
// large enough.
typedef struct mpf_sdi_storage_t {
    apr_byte_t *buffer;
    apr_size_t buffer_size;
    mpf_frame_t *slots;
    apr_size_t slot_count;
    apr_byte_t *silence;
    apr_size_t silence_size;
} mpf_sdi_storage_t;

// A recognition prepared by mpf_sdi_init, taken up by the next frame.
typedef struct mpf_sdi_init_request_t {
    mpf_sdi_mode_e mode;
    apr_uint32_t sampling_rate;
    apt_bool_t start_input_timers;
    apt_bool_t interim_results;
    int vad_mode;
    apr_size_t frame_size;
    apr_size_t frame_count;
    apr_size_t output_frame_count;
    apr_size_t leading_frames;
    mpf_sdi_storage_t storage;
    apr_uint32_t recognition;  // number of this init, from 1
} mpf_sdi_init_request_t;

// Requests of the control calls, in calling order.
enum { MPF_SDI_MAX_REQUESTS = 8 };

// What the control calls leave for the media thread; guarded by lock, which
// the media thread only ever tries.
typedef struct mpf_sdi_control_t {
    std::mutex lock;
    std::atomic<bool> pending;  // something below waits
    mpf_sdi_params_t params;    // the setters' copy
    apr_uint32_t speech_start_mode;
    apt_bool_t params_changed;
    apt_bool_t init_requested;
    mpf_sdi_init_request_t init;
    apr_byte_t requests[MPF_SDI_MAX_REQUESTS];
    apr_size_t request_count;
    mpf_sdi_storage_t storage;  // latest memory for the frame buffer
    apr_uint32_t recognition;   // inits so far
} mpf_sdi_control_t;

// Everything above the control block belongs to the media thread (after
// creation); the control block to whoever holds its lock.
struct mpf_sdi_detector_t {
    apr_pool_t *pool;
    const char *name;
    mpf_sdi_event_handlers_t handlers;
    void *obj;
    mpf_sdi_params_t params;
    VadInst *vad;
    apr_uint32_t sampling_rate;
    mpf_sdi_mode_e active_mode;
    apt_bool_t speech_flag;
    mpf_sdi_task_t speech;
    mpf_sdi_task_t dtmf;
    apr_size_t complete_timeout;
    apt_bool_t result_flag;
    apt_bool_t interim_results;
    apr_uint32_t speech_start_mode;  // 0 internal, 1 external
    apt_bool_t stop_requested;
    apt_bool_t input_timer_on;
    apr_size_t input_timer;
    apt_bool_t noinput_timer_on;
    apr_size_t noinput_timer;
    apt_bool_t interdigit_timer_on;
    apr_size_t interdigit_timer;
    apt_bool_t term_timer_on;
    apr_size_t term_timer;
    mpf_sdi_frame_buffer_t frames;
    mpf_sdi_digits_t digits;
    // The init whose recognition the frames serve (0 before the first).
    apr_uint32_t recognition;

    mpf_sdi_control_t control;
    std::atomic<bool> busy;       // the media thread is inside mpf_sdi_process
    std::atomic<bool> destroyed;  // mpf_sdi_destroy was called
};

// All five callbacks null.
void mpf_sdi_event_handlers_init(mpf_sdi_event_handlers_t *handlers);

// A detector from the pool, with a copy of the callbacks and of params
// (defaults when null). Null for a missing name, handlers, obj or required
// callback, or when the voice detector cannot be made.
mpf_sdi_detector_t *mpf_sdi_detector_create(const char *name,
                                            const mpf_sdi_event_handlers_t *handlers, void *obj,
                                            const mpf_sdi_params_t *params, apr_pool_t *pool);
// Releases the voice detector; later frames are ignored. The memory stays
// with the pool. Waits for a frame in progress on the media thread.
void mpf_sdi_destroy(mpf_sdi_detector_t *detector);
void *mpf_sdi_obj_get(const mpf_sdi_detector_t *detector);

// Prepares one recognition with the detectors of mode that the configured
// input mode allows. Always TRUE.
apt_bool_t mpf_sdi_init(mpf_sdi_detector_t *detector, mpf_sdi_mode_e mode,
                        apr_uint32_t sampling_rate, apt_bool_t start_input_timers,
                        apt_bool_t interim_results);
// Recognitions are numbered by their mpf_sdi_init, from 1. A callback may
// come from a recognition that its owner has already left: what the frames
// of the old one found before the new init reached the media thread.
// The number of the latest mpf_sdi_init (0 before any); any thread.
apr_uint32_t mpf_sdi_recognition_get(mpf_sdi_detector_t *detector);
// Inside a callback: the number of the recognition that produced it.
apr_uint32_t mpf_sdi_callback_recognition_get(const mpf_sdi_detector_t *detector);
// One 10 ms frame (media thread).
void mpf_sdi_process(mpf_sdi_detector_t *detector, const mpf_frame_t *frame);

// Stops a running input at the next frame, which reports on_stop_complete.
void mpf_sdi_stop(mpf_sdi_detector_t *detector);
// Starts the no-input timer unless it runs.
void mpf_sdi_start_timers(mpf_sdi_detector_t *detector);
// External start mode: speech input has started.
void mpf_sdi_speech_flag_set(mpf_sdi_detector_t *detector);
// A recognition result arrived: speech completes after the complete timeout.
void mpf_sdi_result_flag_set(mpf_sdi_detector_t *detector);

// Parameter copy of the detector (defaults when params is null). The values
// stay for later recognitions.
void mpf_sdi_params_set(mpf_sdi_detector_t *detector, const mpf_sdi_params_t *params);
void mpf_sdi_noinput_timeout_set(mpf_sdi_detector_t *detector, apr_size_t timeout);
void mpf_sdi_input_timeout_set(mpf_sdi_detector_t *detector, apr_size_t timeout);
void mpf_sdi_speech_complete_timeout_set(mpf_sdi_detector_t *detector, apr_size_t timeout);
void mpf_sdi_speech_incomplete_timeout_set(mpf_sdi_detector_t *detector, apr_size_t timeout);
void mpf_sdi_dtmf_interdigit_timeout_set(mpf_sdi_detector_t *detector, apr_size_t timeout);
void mpf_sdi_dtmf_term_timeout_set(mpf_sdi_detector_t *detector, apr_size_t timeout);
void mpf_sdi_dtmf_term_char_set(mpf_sdi_detector_t *detector, char term_char);
void mpf_sdi_dtmf_length_set(mpf_sdi_detector_t *detector, apr_size_t length, apr_size_t min_length,
                             apr_size_t max_length);
// Takes 0..3, ignores anything else.
void mpf_sdi_vad_mode_set(mpf_sdi_detector_t *detector, int mode);
// 0 internal: the detector decides that speech started; 1 external: the
// owner does, through mpf_sdi_speech_flag_set.
void mpf_sdi_speech_start_mode_set(mpf_sdi_detector_t *detector, apr_uint32_t mode);
