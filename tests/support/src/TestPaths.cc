#include "KoralTest/TestPaths.h"

#include <cstdlib>

namespace KoralTest {

namespace {
std::string FromEnv(const char *name, const char *fallback) {
    const char *v = std::getenv(name);
    return v != nullptr && *v != '\0' ? v : fallback;
}
}  // namespace

std::string SourceDir() { return FromEnv("KORAL_SOURCE_DIR", KORAL_TEST_SOURCE_DIR); }

std::string BinaryDir() { return FromEnv("KORAL_BINARY_DIR", KORAL_TEST_BINARY_DIR); }

std::string SpeechServicePath() {
#ifdef KORAL_TEST_SPEECH_SERVICE
    const char *built = KORAL_TEST_SPEECH_SERVICE;
#else
    static const std::string guess = BinaryDir() + "/tools/speech-service/speech-service";
    const char *built = guess.c_str();
#endif
    return FromEnv("KORAL_SPEECH_SERVICE", built);
}

}  // namespace KoralTest
