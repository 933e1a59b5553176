#pragma once

#include <string>

#include "viewers/ViewerRecorder.h"

namespace QuorixCollect {

// The Trace Event Format: a track per thread named by metadata events, one complete event per
// kept call (they nest strictly), captured values as arguments, exceptions as instant events.
class ChromeTraceWriter {
public:
    static std::string Write(const ViewerRecorder& recorder);
};

}  // namespace QuorixCollect
