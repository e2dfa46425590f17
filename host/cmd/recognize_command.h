// vantor-host recognize: one recognition of a WAV file on one channel.
#pragma once

#include <functional>
#include <string>

#include "engine_host.h"
#include "options.h"
#include "wav_file.h"

namespace vantor {

// Checks what can be checked before the plugin is loaded: the grammar (a WAV
// file carries no DTMF digits) and the file (16-bit mono at 8000 or 16000 Hz),
// which it reads into *audio. False with a reason in *error.
bool CheckRecognition(const Options &options, WavAudio *audio, std::string *error);

// Opens a channel at the file's rate, sends RECOGNIZE with the grammar and the
// headers, feeds the audio (then silence) and waits for the end of the
// recognition; prints the RECOGNITION-COMPLETE (or the refusing response)
// with print unless the exchange is printed anyway. Returns the exit status:
// 0 for a success, 1 otherwise.
int RunRecognition(const Options &options, const WavAudio &audio, EngineHost *host,
                   const std::function<void(const MessageRecord &)> &print);

}  // namespace vantor
