// JSON bodies the plugin sends (speech.config and the telemetry of a turn)
// and the reading of the bodies the service sends.
#pragma once

#include <rapidjson/document.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace KORAL {

// Receive times (microseconds) of the service messages of one turn, by method.
typedef std::map<int32_t, std::vector<int64_t>> ReceivedMessages;

// The constant speech.config body, compact.
const std::string &SpeechConfigBody();

// {"ReceivedMessages":[{path: timestamp or [timestamps]}, ...]} pretty-printed
// with an indent of two and single-line arrays, methods in ascending order.
std::string ComposeTelemetryBody(const ReceivedMessages &messages);

// Reads a body the service sent into `doc`; false when it is not JSON. The
// parser keeps its state on the heap, so no nesting depth can exhaust the
// stack of the thread that reads it.
bool ParseServiceJson(const std::string &body, rapidjson::Document &doc);

}  // namespace KORAL
