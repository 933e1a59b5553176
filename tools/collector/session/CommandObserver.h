#pragma once

#include "wire/CommandDecoder.h"

namespace QuorixCollect {

// Sees every command the session decoded, after the session itself applied it (and after the
// call matcher, when calls are matched, told its listeners).
class CommandObserver {
public:
    virtual ~CommandObserver() = default;
    virtual void OnCommand(const DecodedCommand& command) = 0;
};

}  // namespace QuorixCollect
