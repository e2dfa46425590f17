// Pure pieces of the recognition protocol spoken over a connection.
#pragma once

#include <string>

namespace KORAL {

// The service URI of a recognition: `uri` followed by "?" (or "&" when it
// already has a query) and "format=detailed&language=" with `language`
// percent-encoded.
std::string ComposeRecognitionUri(const std::string &uri, const std::string &language);

// `text` with every byte but the unreserved characters of RFC 3986
// (letters, digits, "-", ".", "_", "~") written as %XX.
std::string PercentEncode(const std::string &text);

// Whether an audio chunk of `requestId` starts a new turn, given the turn
// state (0 none, 1 in progress, 2 ended) and the current turn's request id.
// Sets `drop` for late audio of a turn that has ended.
bool StartsTurn(int turnState, const std::string &currentRequestId, const std::string &requestId,
                bool &drop);

}  // namespace KORAL
