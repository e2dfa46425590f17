// The recognizer headers a RECOGNIZE honours (Media-Type aside), as a client
// sends them with a RECOGNIZE or stores them as the channel's defaults with
// SET-PARAMS, and as GET-PARAMS reports them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "mrcp_message.h"

namespace KORAL {

struct RecogParams {
    // The honoured headers in the order a RECOGNIZE applies them.
    static const mrcp_recognizer_header_id kHeaders[];
    static const size_t kHeaderCount;

    uint64_t mask = 0;             // bit per mrcp_recognizer_header_id present
    mrcp_recog_header_t values{};  // scalar values; the language is kept below
    std::string speech_language;

    static uint64_t Bit(mrcp_recognizer_header_id id) { return uint64_t(1) << id; }
    static bool IsHonoured(mrcp_recognizer_header_id id);
    bool Has(mrcp_recognizer_header_id id) const { return (mask & Bit(id)) != 0; }

    // The honoured headers present in a message, with their values.
    void Read(const mrcp_message_t *message);
    // Takes over every header present in other.
    void Merge(const RecogParams &other);
    // The first header whose value the recognizer cannot take (a language
    // that is no language tag, no alternatives, a DTMF-Term-Char that is no
    // DTMF key), or RECOGNIZER_HEADER_COUNT when all are acceptable.
    mrcp_recognizer_header_id FindIllegal() const;
    // Adds the headers of `which` (mask bits) that this holds to a message.
    void Write(mrcp_message_t *message, uint64_t which) const;
};

}  // namespace KORAL
