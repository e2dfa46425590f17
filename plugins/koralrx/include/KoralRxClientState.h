// The states the token client and the service connection share: nothing
// under way, a fetch or connect under way, done.
#pragma once

namespace KORAL {

// "uninitiated" (0), "in-progress" (1), "complete" (2); "unknown" otherwise.
inline const char *ClientStateName(int state) {
    switch (state) {
        case 0:
            return "uninitiated";
        case 1:
            return "in-progress";
        case 2:
            return "complete";
        default:
            return "unknown";
    }
}

}  // namespace KORAL
