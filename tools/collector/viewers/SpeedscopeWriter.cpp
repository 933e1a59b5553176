#include "viewers/SpeedscopeWriter.h"

#include <unordered_map>

#include "text/TextEncoding.h"
#include "viewers/ViewerFiles.h"

namespace QuorixCollect {

namespace {

void Event(std::string& out, bool& first, char type, uint32_t frame, double at) {
    out += first ? "\n{\"type\":\"" : ",\n{\"type\":\"";
    first = false;
    out += type;
    out += "\",\"frame\":";
    out += std::to_string(frame);
    out += ",\"at\":";
    AppendMicros(out, at);
    out += '}';
}

}  // namespace

std::string SpeedscopeWriter::Write(const ViewerRecorder& recorder) {
    const std::vector<PlacedCall> placed = PlaceCalls(recorder, AllCalls(recorder));
    // Only the frames the calls use, each once; a marked variant where a call was cut by the end.
    std::vector<std::string> names;
    std::unordered_map<uint64_t, uint32_t> frameIds;
    auto frameOf = [&](const ViewerRecorder::Call& c) {
        const bool marked = (c.flags & ViewerRecorder::ClosedAtEnd) != 0;
        const uint64_t key = (static_cast<uint64_t>(c.frame) << 1) | (marked ? 1 : 0);
        auto it = frameIds.find(key);
        if (it != frameIds.end()) {
            return it->second;
        }
        names.push_back(recorder.Frames()[c.frame] + (marked ? " [open at end]" : ""));
        const auto id = static_cast<uint32_t>(names.size() - 1);
        frameIds.emplace(key, id);
        return id;
    };

    std::string profiles;
    const auto& stats = recorder.GetStats();
    size_t i = 0;
    bool firstProfile = true;
    while (i < placed.size()) {
        const uint32_t thread = placed[i].call->thread;
        std::string events;
        bool first = true;
        std::vector<size_t> open;
        const double start = placed[i].begin;
        double end = start;
        for (; i < placed.size() && placed[i].call->thread == thread; ++i) {
            const PlacedCall& p = placed[i];
            while (!open.empty() && placed[open.back()].call->lastSeq < p.call->seq) {
                const PlacedCall& done = placed[open.back()];
                Event(events, first, 'C', frameOf(*done.call), done.end);
                end = done.end;
                open.pop_back();
            }
            Event(events, first, 'O', frameOf(*p.call), p.begin);
            open.push_back(i);
        }
        while (!open.empty()) {
            const PlacedCall& done = placed[open.back()];
            Event(events, first, 'C', frameOf(*done.call), done.end);
            end = done.end;
            open.pop_back();
        }
        profiles += firstProfile ? "\n{" : ",\n{";
        firstProfile = false;
        profiles += "\"type\":\"evented\",\"name\":";
        AppendJsonString(profiles, ThreadLabel(recorder, thread));
        profiles += ",\"unit\":\"microseconds\",\"startValue\":";
        AppendMicros(profiles, start);
        profiles += ",\"endValue\":";
        AppendMicros(profiles, end);
        profiles += ",\"events\":[";
        profiles += events;
        profiles += "]}";
    }

    std::string out = "{\"$schema\":\"https://www.speedscope.app/file-format-schema.json\",";
    out += "\"exporter\":\"quorix-collect\",\"name\":";
    std::string name = std::to_string(stats.calls) + " calls";
    if (stats.callsNotKept != 0) {
        name += ", the longest " + std::to_string(recorder.Calls().size()) + " shown";
    }
    AppendJsonString(out, name);
    out += ",\"activeProfileIndex\":0,\"shared\":{\"frames\":[";
    for (size_t f = 0; f < names.size(); ++f) {
        out += f == 0 ? "{\"name\":" : ",{\"name\":";
        AppendJsonString(out, names[f]);
        out += '}';
    }
    out += "]},\"profiles\":[";
    out += profiles;
    out += "]}\n";
    return out;
}

}  // namespace QuorixCollect
