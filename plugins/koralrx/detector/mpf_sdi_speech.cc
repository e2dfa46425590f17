#include "mpf_sdi_speech.h"

#include <cstring>

#include "KoralRxLog.h"
#include "mpf_sdi_task.h"

namespace {

enum { kVoiceError = -1, kNoVoice = 0, kVoice = 1 };

apr_size_t OutputDuration(const mpf_sdi_frame_buffer_t *frames) {
    apr_size_t frames_out = frames->output_end_marker > frames->output_start_marker
                                ? frames->output_end_marker - frames->output_start_marker
                                : 0;
    return (frames_out + frames->silence_frames) * 10;
}

// Copies the frame's audio into the slot of the write marker. A frame that
// would overwrite one not yet handed out pushes the read marker on instead:
// the slot count covers every configuration worth having, this only keeps
// the buffer sound when it does not.
mpf_frame_t *FrameStore(mpf_sdi_frame_buffer_t *frames, const mpf_frame_t *frame) {
    if (frames->write_marker - frames->read_marker >= frames->frame_count) {
        frames->read_marker = frames->write_marker - frames->frame_count + 1;
    }
    mpf_frame_t *slot = &frames->slots[frames->write_marker % frames->frame_count];
    apr_byte_t *dst = static_cast<apr_byte_t *>(slot->codec_frame.buffer);
    apr_size_t size = frame->codec_frame.size;
    if (size > frames->frame_size) size = frames->frame_size;
    if (!frame->codec_frame.buffer) size = 0;
    if (size) memcpy(dst, frame->codec_frame.buffer, size);
    // The slot always hands out a whole frame: a short one is padded.
    if (size < frames->frame_size) memset(dst + size, 0, frames->frame_size - size);
    slot->type = frame->type;
    slot->marker = frame->marker;
    slot->codec_frame.size = size;
    frames->write_marker++;
    return slot;
}

// Stores an audio frame and asks the voice detector about it. A frame
// without audio is not stored and has no voice.
int FrameJudge(mpf_sdi_detector_t *detector, const mpf_frame_t *frame) {
    if (!(frame->type & MEDIA_FRAME_TYPE_AUDIO)) return kNoVoice;
    const mpf_frame_t *slot = FrameStore(&detector->frames, frame);
    int result = WebRtcVad_Process(detector->vad, static_cast<int>(detector->sampling_rate),
                                   static_cast<const int16_t *>(slot->codec_frame.buffer),
                                   slot->codec_frame.size / 2);
    if (result < 0) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "VAD Error <%s>", detector->name);
        return kVoiceError;
    }
    return result > 0 ? kVoice : kNoVoice;
}

// Hands count frames from marker out straight from the slots: one call, or
// two when they wrap round the end of the buffer, of which only the second
// carries the state and the stats.
void SpeechOutput(mpf_sdi_detector_t *detector, apr_size_t marker, apr_size_t count,
                  mpf_sdi_stats_t *stats) {
    mpf_sdi_frame_buffer_t *frames = &detector->frames;
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG,
            "Detector Speech Output: read-marker=%d, count=%d, write-marker=%d <%s>",
            static_cast<int>(marker), static_cast<int>(count),
            static_cast<int>(frames->write_marker), detector->name);
    frames->output_size += count * frames->frame_size;
    if (stats) {
        stats->size = frames->output_size;
        stats->duration = OutputDuration(frames);
    }
    const apr_size_t slot = marker % frames->frame_count;
    if (slot + count <= frames->frame_count) {
        detector->handlers.on_speech_input(detector, frames->slots[slot].codec_frame.buffer,
                                           count * frames->frame_size, detector->speech.state,
                                           stats);
        return;
    }
    const apr_size_t head = frames->frame_count - slot;
    detector->handlers.on_speech_input(detector, frames->slots[slot].codec_frame.buffer,
                                       head * frames->frame_size, MPF_SDI_STATE_IN_PROGRESS,
                                       nullptr);
    detector->handlers.on_speech_input(detector, frames->slots[0].codec_frame.buffer,
                                       (count - head) * frames->frame_size, detector->speech.state,
                                       stats);
}

// Hands out count frames of inserted silence.
void SilenceOutput(mpf_sdi_detector_t *detector, apr_size_t count) {
    mpf_sdi_frame_buffer_t *frames = &detector->frames;
    if (count > frames->leading_frames) count = frames->leading_frames;
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG,
            "Detector Silence Output: read-marker=%d, count=%d, write-marker=%d <%s>",
            static_cast<int>(frames->read_marker), static_cast<int>(count),
            static_cast<int>(frames->write_marker), detector->name);
    frames->silence_frames += count;
    frames->output_size += count * frames->frame_size;
    detector->handlers.on_speech_input(detector, frames->silence, count * frames->frame_size,
                                       detector->speech.state, nullptr);
}

// One chunk from the read marker when that many frames lie before limit.
bool ChunkOutput(mpf_sdi_detector_t *detector, apr_size_t limit) {
    mpf_sdi_frame_buffer_t *frames = &detector->frames;
    if (frames->read_marker + frames->output_frame_count > limit) return false;
    SpeechOutput(detector, frames->read_marker, frames->output_frame_count, nullptr);
    frames->read_marker += frames->output_frame_count;
    return true;
}

// The last chunk: everything from the read marker up to end.
void LastOutput(mpf_sdi_detector_t *detector, apr_size_t end, mpf_sdi_stats_t *stats) {
    mpf_sdi_frame_buffer_t *frames = &detector->frames;
    if (end < frames->read_marker) end = frames->read_marker;
    SpeechOutput(detector, frames->read_marker, end - frames->read_marker, stats);
    frames->read_marker = end;
}

void ProbationStart(mpf_sdi_detector_t *detector, mpf_sdi_state_e target) {
    mpf_sdi_task_t *task = &detector->speech;
    const mpf_sdi_frame_buffer_t *frames = &detector->frames;
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG,
            "Start Detector State Probation %s -> %s [%d ms] <%s>", mpf_sdi_state_str(task->state),
            mpf_sdi_state_str(target), static_cast<int>(task->state_duration), detector->name);
    if (target == MPF_SDI_STATE_IN_PROGRESS) {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG,
                "Detector: read-marker=%d, input-start-marker=%d, write-marker=%d <%s>",
                static_cast<int>(frames->read_marker), static_cast<int>(frames->input_start_marker),
                static_cast<int>(frames->write_marker), detector->name);
    } else {
        apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG,
                "Detector: read-marker=%d, input-end-marker=%d, write-marker=%d <%s>",
                static_cast<int>(frames->read_marker), static_cast<int>(frames->input_end_marker),
                static_cast<int>(frames->write_marker), detector->name);
    }
    task->probation = TRUE;
    task->probation_duration = 0;
}

void ProbationCancel(mpf_sdi_detector_t *detector, mpf_sdi_state_e target) {
    mpf_sdi_task_t *task = &detector->speech;
    apt_log(KORAL_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG,
            "Cancel Detector State Probation %s <- %s [%d ms] <%s>", mpf_sdi_state_str(task->state),
            mpf_sdi_state_str(target), static_cast<int>(task->state_duration), detector->name);
    task->probation = FALSE;
    task->probation_duration = 0;
}

// Voice has lasted the start timeout: speech input is in progress.
void SpeechStart(mpf_sdi_detector_t *detector) {
    mpf_sdi_frame_buffer_t *frames = &detector->frames;
    if (detector->speech_start_mode == 0) detector->speech_flag = TRUE;
    mpf_sdi_task_state_change(detector, &detector->speech, MPF_SDI_STATE_IN_PROGRESS);
    if (detector->speech_flag) {
        detector->active_mode = MPF_SDI_MODE_SPEECH;
        detector->handlers.on_start_of_input(detector, MPF_SDI_MODE_SPEECH);
    }
    if (!detector->params.normalize_input) return;
    // The output always opens with the same leading silence: whatever audio
    // came before the voice, padded with inserted silence when too little did.
    const apr_size_t leading = frames->leading_frames;
    if (frames->input_start_marker < frames->output_start_marker + leading) {
        SilenceOutput(detector, frames->output_start_marker + leading - frames->input_start_marker);
    }
    while (ChunkOutput(detector, frames->write_marker)) {
    }
}

void SpeechNoInput(mpf_sdi_detector_t *detector, const mpf_frame_t *frame) {
    mpf_sdi_frame_buffer_t *frames = &detector->frames;
    mpf_sdi_task_t *task = &detector->speech;
    const int voice = FrameJudge(detector, frame);
    if (voice == kVoiceError) return;
    task->state_duration += 10;

    if (!task->probation) {
        if (voice == kVoice) {
            frames->input_start_marker = frames->write_marker - 1;
            frames->output_start_marker = 0;
            if (detector->params.normalize_input) {
                if (frames->leading_frames < frames->input_start_marker) {
                    frames->output_start_marker =
                        frames->input_start_marker - frames->leading_frames;
                }
                frames->read_marker = frames->output_start_marker;
            }
            ProbationStart(detector, MPF_SDI_STATE_IN_PROGRESS);
        }
    } else if (voice == kVoice) {
        task->probation_duration += 10;
        if (task->probation_duration >= detector->params.speech_start_timeout) {
            SpeechStart(detector);
        }
    } else {
        frames->input_start_marker = 0;
        frames->output_start_marker = 0;
        ProbationCancel(detector, MPF_SDI_STATE_IN_PROGRESS);
    }

    // Without framing, audio flows from the first frame on.
    if (!detector->params.normalize_input) ChunkOutput(detector, frames->write_marker);
}

void SpeechComplete(mpf_sdi_detector_t *detector) {
    mpf_sdi_frame_buffer_t *frames = &detector->frames;
    mpf_sdi_stats_t stats;
    mpf_sdi_stats_init(&stats);
    if (!frames->output_end_marker || frames->output_end_marker > frames->write_marker) {
        frames->output_end_marker = frames->write_marker;
    }
    mpf_sdi_task_state_change(detector, &detector->speech, MPF_SDI_STATE_COMPLETE);
    detector->active_mode = MPF_SDI_MODE_NONE;
    LastOutput(detector, frames->output_end_marker, &stats);
}

void SpeechInProgress(mpf_sdi_detector_t *detector, const mpf_frame_t *frame) {
    mpf_sdi_frame_buffer_t *frames = &detector->frames;
    mpf_sdi_task_t *task = &detector->speech;
    const int voice = FrameJudge(detector, frame);
    if (voice == kVoiceError) return;

    // Once the end of the output is known nothing beyond it goes out.
    apr_size_t limit = frames->write_marker;
    if (frames->output_end_marker && frames->output_end_marker < limit) {
        limit = frames->output_end_marker;
    }
    ChunkOutput(detector, limit);
    task->state_duration += 10;

    if (task->probation) {
        if (voice == kNoVoice) {
            task->probation_duration += 10;
            if (task->probation_duration >= detector->complete_timeout) SpeechComplete(detector);
        } else {
            frames->input_end_marker = 0;
            frames->output_end_marker = 0;
            ProbationCancel(detector, MPF_SDI_STATE_COMPLETE);
        }
    } else if (voice == kNoVoice) {
        frames->input_end_marker = frames->write_marker ? frames->write_marker - 1 : 0;
        if (detector->params.normalize_input) {
            apr_size_t trailing = detector->params.speech_trailing_silence;
            if (trailing < detector->complete_timeout) trailing = detector->complete_timeout;
            frames->output_end_marker = frames->input_end_marker + trailing / 10;
        }
        ProbationStart(detector, MPF_SDI_STATE_COMPLETE);
    }
}

}  // namespace

void mpf_sdi_frames_reset(mpf_sdi_frame_buffer_t *frames) {
    frames->write_marker = 0;
    frames->read_marker = 0;
    frames->output_start_marker = 0;
    frames->input_start_marker = 0;
    frames->input_end_marker = 0;
    frames->output_end_marker = 0;
    frames->output_size = 0;
    frames->silence_frames = 0;
}

void mpf_sdi_speech_process(mpf_sdi_detector_t *detector, const mpf_frame_t *frame) {
    if (detector->speech.state == MPF_SDI_STATE_NO_INPUT) {
        SpeechNoInput(detector, frame);
    } else {
        SpeechInProgress(detector, frame);
    }
}

void mpf_sdi_speech_timeout(mpf_sdi_detector_t *detector, mpf_sdi_stats_t *stats) {
    mpf_sdi_frame_buffer_t *frames = &detector->frames;
    frames->output_end_marker = frames->write_marker;
    // Voice lasted to the end unless its end was already seen.
    if (!frames->input_end_marker) frames->input_end_marker = frames->write_marker;
    mpf_sdi_task_state_change(detector, &detector->speech, MPF_SDI_STATE_COMPLETE);
    detector->active_mode = MPF_SDI_MODE_NONE;
    LastOutput(detector, frames->write_marker, stats);
}

void mpf_sdi_speech_stats_get(mpf_sdi_detector_t *detector, mpf_sdi_stats_t *stats) {
    mpf_sdi_frame_buffer_t *frames = &detector->frames;
    if (!frames->output_end_marker || frames->output_end_marker > frames->write_marker) {
        frames->output_end_marker = frames->write_marker;
    }
    stats->size = frames->output_size;
    stats->duration = OutputDuration(frames);
}
