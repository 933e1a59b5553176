#include "viewers/SpeedscopeWriter.h"

#include <unordered_map>

#include "text/JsonBuilder.h"
#include "viewers/ViewerFiles.h"

namespace QuorixCollect {

namespace {

void Event(JsonBuilder& j, const char* type, uint32_t frame, double at) {
    j.Break().Open('{').Key("type").String(type).Key("frame").Count(frame).Key("at").Number(at).Close('}');
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

    const auto stats = recorder.GetStats();
    std::string profiles;
    JsonBuilder p(profiles);
    size_t i = 0;
    while (i < placed.size()) {
        const uint32_t thread = placed[i].call->thread;
        std::string events;
        JsonBuilder e(events);
        std::vector<size_t> open;
        const double start = placed[i].begin;
        double end = start;
        auto close = [&] {
            const PlacedCall& done = placed[open.back()];
            Event(e, "C", frameOf(*done.call), done.end);
            end = done.end;
            open.pop_back();
        };
        for (; i < placed.size() && placed[i].call->thread == thread; ++i) {
            const PlacedCall& call = placed[i];
            while (!open.empty() && placed[open.back()].call->lastSeq < call.call->seq) {
                close();
            }
            Event(e, "O", frameOf(*call.call), call.begin);
            open.push_back(i);
        }
        while (!open.empty()) {
            close();
        }
        p.Break().Open('{').Key("type").String("evented").Key("name").String(ThreadLabel(recorder, thread));
        p.Key("unit").String("microseconds").Key("startValue").Number(start).Key("endValue").Number(end);
        p.Key("events").Open('[').Verbatim(events).Close(']').Close('}');
    }

    std::string out;
    JsonBuilder j(out);
    std::string name = std::to_string(stats.calls) + " calls";
    if (stats.callsNotKept != 0) {
        name += ", the longest " + std::to_string(recorder.Calls().size()) + " shown";
    }
    j.Open('{').Key("$schema").String("https://www.speedscope.app/file-format-schema.json");
    j.Key("exporter").String("quorix-collect").Key("name").String(name).Key("activeProfileIndex").Int(0);
    j.Key("shared").Open('{').Key("frames").Open('[');
    for (const auto& frame : names) {
        j.Open('{').Key("name").String(frame).Close('}');
    }
    j.Close(']').Close('}');
    j.Key("profiles").Open('[').Verbatim(profiles).Close(']').Close('}').Verbatim("\n");
    return out;
}

}  // namespace QuorixCollect
