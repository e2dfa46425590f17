#include "KoralRxEndpoints.h"

namespace KORAL {

const char *const kTokenHost = "api.cognitive.microsoft.com";
const char *const kRegionalSpeechHost = "stt.speech.microsoft.com";
const char *const kSpeechPath = "/speech/recognition/interactive/cognitiveservices/v1";
const char *const kDefaultTokenUri = "https://api.cognitive.microsoft.com/sts/v1.0/issueToken";
const char *const kDefaultSpeechEndpoint =
    "https://speech.platform.bing.com/speech/recognition/interactive/cognitiveservices/v1";

}  // namespace KORAL
