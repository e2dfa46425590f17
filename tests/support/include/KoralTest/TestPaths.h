// Where tests find the tree and the built programs: the KORAL_SOURCE_DIR and
// KORAL_BINARY_DIR environment (set by koral_add_test), else the paths of
// the build that compiled this library.
#pragma once

#include <string>

namespace KoralTest {

std::string SourceDir();
std::string BinaryDir();
// The speech-service program: $KORAL_SPEECH_SERVICE, else the built target.
std::string SpeechServicePath();

}  // namespace KoralTest
