// One recognition by vantor-client: the SIP dialog, the MRCP channel, the
// audio or digits over RTP, RECOGNIZE and its events, and the hang-up.
#pragma once

#include <functional>

#include "client_options.h"
#include "message_record.h"
#include "wav_file.h"

namespace vantor {

// Checks the WAV file against the codec's rate before anything is sent (recognize
// only); false with a reason.
bool CheckClientAudio(const ClientOptions &options, WavAudio *audio, std::string *error);

// Makes a running call hang up (BYE) and return 1: async-signal-safe, for
// SIGINT and SIGTERM.
void InterruptClientCall();

// Runs the call; print receives START-OF-INPUT, RECOGNITION-COMPLETE or a
// refusing response. Returns the exit status: 0 success, 1 otherwise.
int RunClientCall(const ClientOptions &options, const WavAudio &audio,
                  const std::function<void(const MessageRecord &)> &print);

}  // namespace vantor
