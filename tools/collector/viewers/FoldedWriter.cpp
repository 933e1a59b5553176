#include "viewers/FoldedWriter.h"

#include <cmath>

namespace QuorixCollect {

namespace {

// The tools split frames at ';' and the count at the last space; line breaks end a record.
std::string FrameText(const std::string& name) {
    std::string out = name;
    for (char& ch : out) {
        if (ch == ';') {
            ch = ',';
        } else if (ch == '\n' || ch == '\r' || ch == '\t') {
            ch = ' ';
        }
    }
    return out;
}

}  // namespace

std::string FoldedWriter::Write(const ViewerRecorder& recorder) {
    const auto& flame = recorder.Flame();
    const auto& frames = recorder.Frames();
    std::string out;
    std::string stack;
    struct Step {
        uint32_t node;
        size_t stackLength;  // of `stack` before this node's frame
    };
    std::vector<Step> pending;
    for (uint32_t c = flame[0].firstChild; c != 0; c = flame[c].nextSibling) {
        pending.push_back({c, 0});
    }
    while (!pending.empty()) {
        const Step step = pending.back();
        pending.pop_back();
        const auto& n = flame[step.node];
        stack.resize(step.stackLength);
        if (!stack.empty()) {
            stack += ';';
        }
        stack += FrameText(frames[n.frame]);
        double self = n.totalMicros;
        for (uint32_t c = n.firstChild; c != 0; c = flame[c].nextSibling) {
            self -= flame[c].totalMicros;
            pending.push_back({c, stack.size()});
        }
        const long long micros = std::llround(std::max(self, 0.0));
        if (micros > 0) {
            out += stack;
            out += ' ';
            out += std::to_string(micros);
            out += '\n';
        }
    }
    return out;
}

}  // namespace QuorixCollect
