// The legacy WebRTC voice activity detector interface exported by
// libwebrtc_audio_processing, which installs no header for it.
#pragma once

#include <stddef.h>
#include <stdint.h>

extern "C" {

typedef struct WebRtcVadInst VadInst;

// Allocates an instance; null when memory is short. Init must follow.
VadInst *WebRtcVad_Create(void);
// Releases an instance made by Create.
int WebRtcVad_Free(VadInst *handle);
// Resets the instance to its initial state: 0 on success, -1 on failure.
int WebRtcVad_Init(VadInst *handle);
// Aggressiveness 0..3: 0 on success, -1 for a bad mode or an uninitialised instance.
int WebRtcVad_set_mode(VadInst *handle, int mode);
// One 10, 20 or 30 ms frame at 8000, 16000, 32000 or 48000 Hz:
// 1 voice, 0 no voice, -1 for a bad rate, length or instance.
int WebRtcVad_Process(VadInst *handle, int fs, const int16_t *audio_frame, size_t frame_length);

}  // extern "C"
