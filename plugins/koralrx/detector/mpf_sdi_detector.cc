#include "mpf_sdi_detector.h"

#include <new>
#include <thread>

#include "KoralRxLog.h"
#include "mpf_codec.h"
#include "mpf_sdi_dtmf.h"
#include "mpf_sdi_speech.h"

namespace {

// Control requests besides init; each is carried out by the next frame in
// calling order.
enum : apr_byte_t { kRequestStop = 1, kRequestStartTimers, kRequestSpeechFlag, kRequestResultFlag };

// Limits on the frame buffer, whatever the configuration or a request asks
// for: 60 s of frames, 10 s of leading silence, 10 s chunks.
const apr_size_t kMaxFrameCount = 6000;
const apr_size_t kMaxLeadingFrames = 1000;
const apr_size_t kMaxOutputFrames = 1000;
// Highest rate the voice detector knows.
const apr_uint32_t kMaxSamplingRate = 48000;

mpf_sdi_mode_e ModeAnd(mpf_sdi_mode_e mode, int mask) {
    return static_cast<mpf_sdi_mode_e>(mode & mask);
}

apr_size_t Max(apr_size_t a, apr_size_t b) { return a > b ? a : b; }
apr_size_t Min(apr_size_t a, apr_size_t b) { return a < b ? a : b; }

apr_status_t DetectorCleanup(void *data) {
    mpf_sdi_detector_t *detector = static_cast<mpf_sdi_detector_t *>(data);
    if (detector->vad) WebRtcVad_Free(detector->vad);
    detector->vad = nullptr;
    mpf_sdi_digits_release(&detector->digits);
    detector->~mpf_sdi_detector_t();
    return APR_SUCCESS;
}

// Marks the control block as holding work for the media thread.
void ControlPost(mpf_sdi_control_t *control) {
    control->pending.store(true, std::memory_order_release);
}

// Queues a request behind the earlier ones. Repeats that would change
// nothing are dropped: stop and the flags act once, start-timers only
// after something turned the timer off again. That bounds the queue.
void ControlRequest(mpf_sdi_detector_t *detector, apr_byte_t request) {
    if (!detector) return;
    mpf_sdi_control_t *control = &detector->control;
    std::lock_guard<std::mutex> guard(control->lock);
    for (apr_size_t i = 0; i < control->request_count; ++i) {
        if (control->requests[i] != request) continue;
        if (request != kRequestStartTimers || i + 1 == control->request_count) return;
    }
    if (control->request_count == MPF_SDI_MAX_REQUESTS) return;
    control->requests[control->request_count++] = request;
    ControlPost(control);
}

// Applies f to the setters' parameter copy.
template <typename F>
void ParamsUpdate(mpf_sdi_detector_t *detector, F f) {
    if (!detector) return;
    mpf_sdi_control_t *control = &detector->control;
    std::lock_guard<std::mutex> guard(control->lock);
    f(&control->params);
    control->params_changed = TRUE;
    ControlPost(control);
}

// Slot count: room for the longest silence that completes speech, the
// leading silence and the start probation (or one chunk without framing),
// kept within bounds that the buffer copes with.
apr_size_t FrameCount(const mpf_sdi_params_t *params, apr_size_t output_frames,
                      apr_size_t leading_frames) {
    if (!params->normalize_input) return output_frames;
    const apr_size_t cap = kMaxFrameCount * 10;
    apr_size_t ms = Min(Max(params->speech_trailing_silence, Max(params->speech_incomplete_timeout,
                                                                 params->speech_complete_timeout)),
                        cap);
    ms += Min(params->speech_leading_silence, cap);
    ms += Min(Max(params->speech_output_period, params->speech_start_timeout), cap);
    apr_size_t count = ms / 10;
    count = Max(count, leading_frames + output_frames + 2);
    return Min(count, kMaxFrameCount);
}

// Memory for a frame buffer of the request's size: the detector's current
// memory when it is large enough, else new memory from the pool (the old
// stays with the pool, as the media thread may still be reading it).
bool StorageGet(mpf_sdi_detector_t *detector, mpf_sdi_init_request_t *request) {
    mpf_sdi_storage_t *storage = &detector->control.storage;
    const apr_size_t buffer_size = request->frame_count * request->frame_size;
    const apr_size_t silence_size = request->leading_frames * request->frame_size;
    if (storage->buffer_size < buffer_size) {
        apr_byte_t *buffer = static_cast<apr_byte_t *>(apr_palloc(detector->pool, buffer_size));
        if (!buffer) return false;
        storage->buffer = buffer;
        storage->buffer_size = buffer_size;
    }
    if (storage->slot_count < request->frame_count) {
        mpf_frame_t *slots = static_cast<mpf_frame_t *>(
            apr_palloc(detector->pool, request->frame_count * sizeof(mpf_frame_t)));
        if (!slots) return false;
        storage->slots = slots;
        storage->slot_count = request->frame_count;
    }
    if (storage->silence_size < silence_size || !storage->silence) {
        apr_byte_t *silence =
            static_cast<apr_byte_t *>(apr_pcalloc(detector->pool, Max(silence_size, 1)));
        if (!silence) return false;
        storage->silence = silence;
        storage->silence_size = silence_size;
    }
    request->storage = *storage;
    return true;
}

// Lays the speech part of an init request out; FALSE when speech cannot run.
bool SpeechInitPrepare(mpf_sdi_detector_t *detector, mpf_sdi_init_request_t *request) {
    const mpf_sdi_params_t *params = &detector->control.params;
    if (!request->sampling_rate || request->sampling_rate > kMaxSamplingRate) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Unsupported Sampling Rate [%d Hz] <%s>", static_cast<int>(request->sampling_rate),
                detector->name);
        return false;
    }
    request->frame_size =
        mpf_codec_linear_frame_size_calculate(static_cast<apr_uint16_t>(request->sampling_rate), 1);
    request->output_frame_count = Min(Max(params->speech_output_period / 10, 1), kMaxOutputFrames);
    request->leading_frames = Min(params->speech_leading_silence / 10, kMaxLeadingFrames);
    request->frame_count = FrameCount(params, request->output_frame_count, request->leading_frames);
    request->vad_mode = static_cast<int>(params->vad_mode);
    if (!StorageGet(detector, request)) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Failed to Allocate Frame Buffer <%s>", detector->name);
        return false;
    }
    return true;
}

void SpeechInitLog(const mpf_sdi_detector_t *detector, const mpf_sdi_init_request_t *request,
                   const mpf_sdi_params_t *params, apr_uint32_t start_mode) {
    const char *start_of_input = start_mode == 1 ? "external" : "internal";
    if (!params->normalize_input) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
                "Init Speech Detector: frame-size=%d, frame-count=%d, vad-mode=%d, "
                "noinput-timeout=%d ms, input-timeout=%d ms, start-timeout=%d ms, "
                "complete-timeout=%d ms, incomplete-timeout=%d ms, interim-results=%d, "
                "start-of-input=%s <%s>",
                static_cast<int>(request->frame_size), static_cast<int>(request->frame_count),
                request->vad_mode, static_cast<int>(params->noinput_timeout),
                static_cast<int>(params->input_timeout),
                static_cast<int>(params->speech_start_timeout),
                static_cast<int>(params->speech_complete_timeout),
                static_cast<int>(params->speech_incomplete_timeout), request->interim_results,
                start_of_input, detector->name);
        return;
    }
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
            "Init Speech Detector: frame-size=%d, max-frame-count=%d, output-frame-count=%d, "
            "vad-mode=%d, noinput-timeout=%d ms, input-timeout=%d ms, start-timeout=%d ms, "
            "complete-timeout=%d ms, incomplete-timeout=%d ms, leading-silence=%d ms, "
            "trailing-silence=%d ms, interim-results=%d, start-of-input=%s <%s>",
            static_cast<int>(request->frame_size), static_cast<int>(request->frame_count),
            static_cast<int>(request->output_frame_count), request->vad_mode,
            static_cast<int>(params->noinput_timeout), static_cast<int>(params->input_timeout),
            static_cast<int>(params->speech_start_timeout),
            static_cast<int>(params->speech_complete_timeout),
            static_cast<int>(params->speech_incomplete_timeout),
            static_cast<int>(params->speech_leading_silence),
            static_cast<int>(params->speech_trailing_silence), request->interim_results,
            start_of_input, detector->name);
}

void DtmfInitLog(const mpf_sdi_detector_t *detector, const mpf_sdi_params_t *params) {
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
            "Init DTMF Detector: interdigit-timeout=%d ms, term-timeout=%d ms, term-char=%c, "
            "length=%d, min-length=%d, max-length=%d <%s>",
            static_cast<int>(params->dtmf_interdigit_timeout),
            static_cast<int>(params->dtmf_term_timeout),
            mpf_sdi_printable_char(params->dtmf_term_char), static_cast<int>(params->dtmf_length),
            static_cast<int>(params->dtmf_min_length), static_cast<int>(params->dtmf_max_length),
            detector->name);
}

void NoinputTimerLog(const mpf_sdi_detector_t *detector, apr_size_t timeout) {
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Start No-Input Timer [%d ms] <%s>",
            static_cast<int>(timeout), detector->name);
}

// Media thread: starts the recognition prepared by mpf_sdi_init.
void InitApply(mpf_sdi_detector_t *detector, const mpf_sdi_init_request_t *request) {
    detector->sampling_rate = request->sampling_rate;
    detector->stop_requested = FALSE;
    detector->active_mode = MPF_SDI_MODE_NONE;
    detector->speech_flag = FALSE;
    mpf_sdi_task_init(&detector->speech);
    mpf_sdi_task_init(&detector->dtmf);
    detector->complete_timeout = 0;
    detector->result_flag = FALSE;
    detector->input_timer_on = FALSE;
    detector->input_timer = 0;
    detector->interdigit_timer_on = FALSE;
    detector->interdigit_timer = 0;
    detector->term_timer_on = FALSE;
    detector->term_timer = 0;
    detector->recognition = request->recognition;
    detector->noinput_timer_on = request->start_input_timers ? TRUE : FALSE;
    detector->noinput_timer = 0;
    // Reset in every mode, so that a stop never reports an earlier input.
    mpf_sdi_frames_reset(&detector->frames);

    if (request->mode & MPF_SDI_MODE_SPEECH) {
        mpf_sdi_frame_buffer_t *frames = &detector->frames;
        detector->interim_results = request->interim_results;
        frames->buffer = request->storage.buffer;
        frames->slots = request->storage.slots;
        frames->silence = request->storage.silence;
        frames->frame_count = request->frame_count;
        frames->frame_size = request->frame_size;
        frames->output_frame_count = request->output_frame_count;
        frames->leading_frames = request->leading_frames;
        for (apr_size_t i = 0; i < frames->frame_count; ++i) {
            mpf_frame_t *slot = &frames->slots[i];
            slot->type = MEDIA_FRAME_TYPE_NONE;
            slot->marker = MPF_MARKER_NONE;
            slot->codec_frame.buffer = frames->buffer + i * frames->frame_size;
            slot->codec_frame.size = frames->frame_size;
            slot->event_frame = mpf_named_event_frame_t();
        }
        // The voice detector is reset here, on the thread that runs it.
        if (WebRtcVad_Init(detector->vad) != 0) {
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Failed to Init VAD Instance <%s>", detector->name);
        } else if (WebRtcVad_set_mode(detector->vad, request->vad_mode) != 0) {
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Failed to Set VAD Mode to %d <%s>", request->vad_mode, detector->name);
        }
    }
    if (request->mode & MPF_SDI_MODE_DTMF) detector->digits.count = 0;
    detector->active_mode = request->mode;
}

void RequestApply(mpf_sdi_detector_t *detector, apr_byte_t request) {
    switch (request) {
        case kRequestStop:
            if (detector->active_mode) detector->stop_requested = TRUE;
            break;
        case kRequestStartTimers:
            if (!detector->noinput_timer_on) {
                NoinputTimerLog(detector, detector->params.noinput_timeout);
                detector->noinput_timer_on = TRUE;
                detector->noinput_timer = 0;
            }
            break;
        case kRequestSpeechFlag:
            // Only while speech detection runs: an idle detector, or one that
            // DTMF input took over, stays as it is.
            if (detector->speech_start_mode == 1 && !detector->speech_flag &&
                (detector->active_mode & MPF_SDI_MODE_SPEECH)) {
                detector->speech_flag = TRUE;
                detector->input_timer = 0;
                detector->noinput_timer_on = FALSE;
                detector->active_mode = MPF_SDI_MODE_SPEECH;
                apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Set Speech Input Flag <%s>",
                        detector->name);
            }
            break;
        case kRequestResultFlag:
            if (detector->interim_results && !detector->result_flag &&
                (detector->active_mode & MPF_SDI_MODE_SPEECH)) {
                detector->result_flag = TRUE;
                detector->active_mode = MPF_SDI_MODE_SPEECH;
                detector->complete_timeout = detector->params.speech_complete_timeout;
                if (!detector->speech_flag) {
                    detector->speech_flag = TRUE;
                    detector->input_timer = 0;
                    detector->noinput_timer_on = FALSE;
                }
                apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Set Result Flag [%d ms] <%s>",
                        static_cast<int>(detector->complete_timeout), detector->name);
            }
            break;
    }
}

// Media thread, start of a frame: takes up what the control calls left.
// Never waits: while a control call holds the lock, the next frame does it.
void ControlApply(mpf_sdi_detector_t *detector) {
    mpf_sdi_control_t *control = &detector->control;
    if (!control->pending.load(std::memory_order_acquire)) return;
    std::unique_lock<std::mutex> guard(control->lock, std::try_to_lock);
    if (!guard.owns_lock()) return;
    if (control->params_changed) {
        detector->params = control->params;
        detector->speech_start_mode = control->speech_start_mode;
        control->params_changed = FALSE;
    }
    if (control->init_requested) {
        InitApply(detector, &control->init);
        control->init_requested = FALSE;
    }
    for (apr_size_t i = 0; i < control->request_count; ++i) {
        RequestApply(detector, control->requests[i]);
    }
    control->request_count = 0;
    control->pending.store(false, std::memory_order_relaxed);
}

void StopComplete(mpf_sdi_detector_t *detector) {
    detector->stop_requested = FALSE;
    detector->active_mode = MPF_SDI_MODE_NONE;
    mpf_sdi_stats_t stats;
    mpf_sdi_stats_init(&stats);
    stats.completion_cause = MPF_SDI_COMPLETION_CAUSE_STOPPED;
    mpf_sdi_speech_stats_get(detector, &stats);
    detector->handlers.on_stop_complete(detector, &stats);
}

// The no-input and input timers; they run only while a detector does.
void TimersProcess(mpf_sdi_detector_t *detector) {
    if (detector->active_mode && detector->noinput_timer_on) {
        detector->noinput_timer += 10;
        if (detector->noinput_timer >= detector->params.noinput_timeout) {
            detector->noinput_timer_on = FALSE;
            detector->active_mode = MPF_SDI_MODE_NONE;
            detector->handlers.on_noinput(detector);
        }
    }
    if (detector->active_mode && detector->input_timer_on) {
        detector->input_timer += 10;
        if (detector->input_timer >= detector->params.input_timeout) {
            // Only input that has started ends; otherwise the timer goes on.
            mpf_sdi_stats_t stats;
            mpf_sdi_stats_init(&stats);
            stats.completion_cause = MPF_SDI_COMPLETION_CAUSE_TIMEDOUT;
            if (detector->speech_flag) {
                detector->input_timer_on = FALSE;
                mpf_sdi_speech_timeout(detector, &stats);
            } else if (detector->active_mode == MPF_SDI_MODE_DTMF) {
                detector->input_timer_on = FALSE;
                mpf_sdi_dtmf_timeout(detector, &stats);
            }
        }
    }
}

void FrameProcess(mpf_sdi_detector_t *detector, const mpf_frame_t *frame) {
    if (detector->stop_requested) {
        StopComplete(detector);
        return;
    }
    if (!detector->active_mode) return;
    if (detector->active_mode & MPF_SDI_MODE_SPEECH) mpf_sdi_speech_process(detector, frame);
    if (detector->active_mode & MPF_SDI_MODE_DTMF) mpf_sdi_dtmf_process(detector, frame);
    TimersProcess(detector);
}

}  // namespace

void mpf_sdi_event_handlers_init(mpf_sdi_event_handlers_t *handlers) {
    handlers->on_noinput = nullptr;
    handlers->on_stop_complete = nullptr;
    handlers->on_start_of_input = nullptr;
    handlers->on_speech_input = nullptr;
    handlers->on_dtmf_input = nullptr;
}

mpf_sdi_detector_t *mpf_sdi_detector_create(const char *name,
                                            const mpf_sdi_event_handlers_t *handlers, void *obj,
                                            const mpf_sdi_params_t *params, apr_pool_t *pool) {
    if (!name || !handlers || !obj || !pool) return nullptr;
    if (!handlers->on_noinput || !handlers->on_stop_complete || !handlers->on_start_of_input) {
        return nullptr;
    }
    mpf_sdi_params_t own;
    if (params) {
        own = *params;
    } else {
        mpf_sdi_params_init(&own);
    }
    if ((own.input_mode & MPF_SDI_MODE_SPEECH) && !handlers->on_speech_input) return nullptr;
    if ((own.input_mode & MPF_SDI_MODE_DTMF) && !handlers->on_dtmf_input) return nullptr;

    void *memory = apr_palloc(pool, sizeof(mpf_sdi_detector_t));
    if (!memory) return nullptr;
    // Value-initialised: every flag, timer, task and marker starts at 0.
    mpf_sdi_detector_t *detector = new (memory) mpf_sdi_detector_t();
    detector->pool = pool;
    detector->name = apr_pstrdup(pool, name);
    detector->handlers = *handlers;
    detector->obj = obj;
    detector->params = own;
    detector->control.params = own;
    detector->speech_start_mode = 0;
    detector->control.speech_start_mode = 0;
    detector->control.pending.store(false);
    detector->busy.store(false);
    detector->destroyed.store(false);

    if (own.input_mode & MPF_SDI_MODE_SPEECH) {
        detector->vad = WebRtcVad_Create();
        if (!detector->vad) {
            apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Failed to Create VAD Instnace <%s>", detector->name);
            detector->~mpf_sdi_detector_t();
            return nullptr;
        }
    }
    mpf_sdi_digits_init(&detector->digits);
    apr_pool_cleanup_register(pool, detector, DetectorCleanup, apr_pool_cleanup_null);
    return detector;
}

void mpf_sdi_destroy(mpf_sdi_detector_t *detector) {
    if (!detector) return;
    // A frame that saw the flag unset may still be running: wait for it.
    // Frames are short, and no later one touches the detector.
    detector->destroyed.store(true, std::memory_order_seq_cst);
    while (detector->busy.load(std::memory_order_seq_cst)) std::this_thread::yield();
    if (detector->vad) WebRtcVad_Free(detector->vad);
    detector->vad = nullptr;
    mpf_sdi_digits_release(&detector->digits);
}

void *mpf_sdi_obj_get(const mpf_sdi_detector_t *detector) {
    return detector ? detector->obj : nullptr;
}

apt_bool_t mpf_sdi_init(mpf_sdi_detector_t *detector, mpf_sdi_mode_e mode,
                        apr_uint32_t sampling_rate, apt_bool_t start_input_timers,
                        apt_bool_t interim_results) {
    if (!detector) return FALSE;
    mpf_sdi_control_t *control = &detector->control;
    std::lock_guard<std::mutex> guard(control->lock);
    const mpf_sdi_params_t *params = &control->params;
    mpf_sdi_init_request_t *request = &control->init;
    *request = mpf_sdi_init_request_t();
    request->sampling_rate = sampling_rate;
    request->start_input_timers = start_input_timers ? TRUE : FALSE;
    request->interim_results = interim_results ? TRUE : FALSE;
    request->recognition = ++control->recognition;
    request->mode = ModeAnd(mode, params->input_mode);
    // Speech needs the voice detector, made only when the configuration has
    // speech, and each detector its callback (the parameters may have been
    // replaced since creation).
    if (!detector->vad || detector->destroyed.load() || !detector->handlers.on_speech_input) {
        request->mode = ModeAnd(request->mode, MPF_SDI_MODE_DTMF);
    }
    if (!detector->handlers.on_dtmf_input) {
        request->mode = ModeAnd(request->mode, MPF_SDI_MODE_SPEECH);
    }

    if (request->mode & MPF_SDI_MODE_SPEECH) {
        if (SpeechInitPrepare(detector, request)) {
            SpeechInitLog(detector, request, params, control->speech_start_mode);
        } else {
            request->mode = ModeAnd(request->mode, MPF_SDI_MODE_DTMF);
        }
    }
    if (request->mode & MPF_SDI_MODE_DTMF) DtmfInitLog(detector, params);
    if (request->start_input_timers) NoinputTimerLog(detector, params->noinput_timeout);

    // Requests made before this init belonged to the previous recognition.
    control->request_count = 0;
    control->init_requested = TRUE;
    ControlPost(control);
    return TRUE;
}

apr_uint32_t mpf_sdi_recognition_get(mpf_sdi_detector_t *detector) {
    if (!detector) return 0;
    std::lock_guard<std::mutex> guard(detector->control.lock);
    return detector->control.recognition;
}

apr_uint32_t mpf_sdi_callback_recognition_get(const mpf_sdi_detector_t *detector) {
    return detector ? detector->recognition : 0;
}

void mpf_sdi_process(mpf_sdi_detector_t *detector, const mpf_frame_t *frame) {
    if (!detector || !frame) return;
    detector->busy.store(true, std::memory_order_seq_cst);
    if (!detector->destroyed.load(std::memory_order_seq_cst)) {
        ControlApply(detector);
        FrameProcess(detector, frame);
    }
    detector->busy.store(false, std::memory_order_release);
}

void mpf_sdi_stop(mpf_sdi_detector_t *detector) { ControlRequest(detector, kRequestStop); }

void mpf_sdi_start_timers(mpf_sdi_detector_t *detector) {
    ControlRequest(detector, kRequestStartTimers);
}

void mpf_sdi_speech_flag_set(mpf_sdi_detector_t *detector) {
    ControlRequest(detector, kRequestSpeechFlag);
}

void mpf_sdi_result_flag_set(mpf_sdi_detector_t *detector) {
    ControlRequest(detector, kRequestResultFlag);
}

void mpf_sdi_params_set(mpf_sdi_detector_t *detector, const mpf_sdi_params_t *params) {
    ParamsUpdate(detector, [params](mpf_sdi_params_t *own) {
        if (params) {
            *own = *params;
        } else {
            mpf_sdi_params_init(own);
        }
    });
}

void mpf_sdi_noinput_timeout_set(mpf_sdi_detector_t *detector, apr_size_t timeout) {
    ParamsUpdate(detector, [timeout](mpf_sdi_params_t *p) { p->noinput_timeout = timeout; });
}

void mpf_sdi_input_timeout_set(mpf_sdi_detector_t *detector, apr_size_t timeout) {
    ParamsUpdate(detector, [timeout](mpf_sdi_params_t *p) { p->input_timeout = timeout; });
}

void mpf_sdi_speech_complete_timeout_set(mpf_sdi_detector_t *detector, apr_size_t timeout) {
    ParamsUpdate(detector,
                 [timeout](mpf_sdi_params_t *p) { p->speech_complete_timeout = timeout; });
}

void mpf_sdi_speech_incomplete_timeout_set(mpf_sdi_detector_t *detector, apr_size_t timeout) {
    ParamsUpdate(detector,
                 [timeout](mpf_sdi_params_t *p) { p->speech_incomplete_timeout = timeout; });
}

void mpf_sdi_dtmf_interdigit_timeout_set(mpf_sdi_detector_t *detector, apr_size_t timeout) {
    ParamsUpdate(detector,
                 [timeout](mpf_sdi_params_t *p) { p->dtmf_interdigit_timeout = timeout; });
}

void mpf_sdi_dtmf_term_timeout_set(mpf_sdi_detector_t *detector, apr_size_t timeout) {
    ParamsUpdate(detector, [timeout](mpf_sdi_params_t *p) { p->dtmf_term_timeout = timeout; });
}

void mpf_sdi_dtmf_term_char_set(mpf_sdi_detector_t *detector, char term_char) {
    ParamsUpdate(detector, [term_char](mpf_sdi_params_t *p) { p->dtmf_term_char = term_char; });
}

void mpf_sdi_dtmf_length_set(mpf_sdi_detector_t *detector, apr_size_t length, apr_size_t min_length,
                             apr_size_t max_length) {
    ParamsUpdate(detector, [=](mpf_sdi_params_t *p) {
        p->dtmf_length = length;
        p->dtmf_min_length = min_length;
        p->dtmf_max_length = max_length;
    });
}

void mpf_sdi_vad_mode_set(mpf_sdi_detector_t *detector, int mode) {
    if (mode < 0 || mode > 3) return;
    ParamsUpdate(detector, [mode](mpf_sdi_params_t *p) { p->vad_mode = mode; });
}

void mpf_sdi_speech_start_mode_set(mpf_sdi_detector_t *detector, apr_uint32_t mode) {
    if (!detector) return;
    mpf_sdi_control_t *control = &detector->control;
    std::lock_guard<std::mutex> guard(control->lock);
    control->speech_start_mode = mode;
    control->params_changed = TRUE;
    ControlPost(control);
}
