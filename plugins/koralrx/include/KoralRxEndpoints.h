// The speech service's default endpoints and the host names they are made of.
#pragma once

namespace KORAL {

// Token endpoint used when the subscription key file names none.
extern const char *const kDefaultTokenUri;
// Speech endpoint used with a plain key file.
extern const char *const kDefaultSpeechEndpoint;
// A regional speech endpoint is "https://<region>.<kRegionalSpeechHost><kSpeechPath>",
// derived from a token endpoint "https://<region>.<kTokenHost>/...".
extern const char *const kTokenHost;
extern const char *const kRegionalSpeechHost;
extern const char *const kSpeechPath;

}  // namespace KORAL
