#pragma once

#include <string>

#include "viewers/ViewerRecorder.h"

namespace QuorixCollect {

// The speedscope file format: one evented profile per thread, in microseconds, over frames
// named "Namespace.Class::Method". Calls closed because their process ended are frames of their
// own, marked "[open at end]".
class SpeedscopeWriter {
public:
    static std::string Write(const ViewerRecorder& recorder);
};

}  // namespace QuorixCollect
