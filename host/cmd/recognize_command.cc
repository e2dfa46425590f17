#include "recognize_command.h"

#include <strings.h>

#include "apt_log.h"

namespace vantor {

namespace {

const char kChannel[] = "recognize";
const mrcp_request_id kRequestId = 1;
// Wall-clock bound on the wait for the result after the audio was queued,
// beyond the audio's own length: the plugin bounds every recognition itself
// (timers, service timeouts), so this only catches a plugin that never answers.
const long kResultWaitMs = 120000;

bool Fail(const std::string &message, std::string *error) {
    *error = message;
    return false;
}

}  // namespace

bool CheckRecognition(const Options &o, WavAudio *audio, std::string *error) {
    if (strncasecmp(o.grammar.c_str(), "builtin:dtmf/", 13) == 0)
        return Fail("grammar " + o.grammar +
                        " recognizes DTMF digits, which a WAV file does not carry; "
                        "give a speech grammar such as builtin:speech/transcribe",
                    error);
    if (!ReadWavFile(o.wav_file, audio, error)) return false;
    if (audio->channel_count != 1)
        return Fail(o.wav_file + " has " + std::to_string(audio->channel_count) +
                        " channels; mono is needed",
                    error);
    if (audio->sampling_rate != 8000 && audio->sampling_rate != 16000)
        return Fail(o.wav_file + " is sampled at " + std::to_string(audio->sampling_rate) +
                        " Hz; 8000 or 16000 Hz is needed",
                    error);
    return true;
}

int RunRecognition(const Options &o, const WavAudio &audio, EngineHost *host,
                   const std::function<void(const MessageRecord &)> &print) {
    std::string error;
    HostChannel *channel =
        host->CreateChannel(kChannel, audio.sampling_rate,
                            o.mrcp_version == 1 ? MRCP_VERSION_1 : MRCP_VERSION_2, &error);
    if (!channel || !host->OpenChannel(channel, &error)) {
        fprintf(stderr, "vantor-host: %s\n", error.c_str());
        return 1;
    }
    std::vector<Header> headers = {{"Content-Type", "text/uri-list"}};
    headers.insert(headers.end(), o.headers.begin(), o.headers.end());
    int code = 1;
    MessageRecord end;
    if (!host->SendRequest(channel, "RECOGNIZE", kRequestId, headers, o.grammar + "\r\n", true,
                           &error)) {
        fprintf(stderr, "vantor-host: RECOGNIZE: %s\n", error.c_str());
    } else if (!channel->WaitMessage(
                   [](const MessageRecord &m) { return !m.is_event && m.request_id == kRequestId; },
                   o.timeout_ms, &end)) {
        fprintf(stderr, "vantor-host: no response to RECOGNIZE\n");
    } else if (end.state != "IN-PROGRESS") {
        if (!o.exchange) print(end);  // refused
    } else {
        channel->input().PushAudio(audio.samples.data(), audio.samples.size());
        long wait_ms =
            kResultWaitMs + static_cast<long>(audio.samples.size() * 1000 / audio.sampling_rate);
        auto is_end = [](const MessageRecord &m) {
            return m.is_event && m.id == RECOGNIZER_RECOGNITION_COMPLETE;
        };
        if (!channel->WaitMessage(is_end, wait_ms, &end)) {
            fprintf(stderr, "vantor-host: no RECOGNITION-COMPLETE within %ld ms\n", wait_ms);
        } else {
            if (!o.exchange) print(end);
            if (end.cause == RECOGNIZER_COMPLETION_CAUSE_SUCCESS ||
                end.cause == RECOGNIZER_COMPLETION_CAUSE_SUCCESS_MAXTIME)
                code = 0;
        }
    }
    if (channel->state() == HostChannel::State::kOpen && !host->CloseChannel(channel, &error)) {
        fprintf(stderr, "vantor-host: %s\n", error.c_str());
        return 1;
    }
    return code;
}

}  // namespace vantor
