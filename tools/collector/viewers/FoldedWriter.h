#pragma once

#include <string>

#include "viewers/ViewerRecorder.h"

namespace QuorixCollect {

// Folded stacks for flame graph tools: "outer;inner;leaf micros" per distinct stack over all
// threads, where micros is the time spent in that stack itself (its callees have lines of their
// own), so that the tools' sums give every frame its total.
class FoldedWriter {
public:
    static std::string Write(const ViewerRecorder& recorder);
};

}  // namespace QuorixCollect
