#include "viewers/ChromeTraceWriter.h"

#include <cinttypes>
#include <cstdio>

#include "text/TextEncoding.h"
#include "viewers/ViewerFiles.h"

namespace QuorixCollect {

namespace {

void Ids(std::string& out, const ViewerRecorder& recorder, uint32_t thread) {
    const auto& t = recorder.Threads()[thread];
    out += ",\"pid\":";
    out += std::to_string(RunNumber(recorder, t.run));
    out += ",\"tid\":";
    out += std::to_string(t.tid);
}

}  // namespace

std::string ChromeTraceWriter::Write(const ViewerRecorder& recorder) {
    std::string out = "{\"displayTimeUnit\":\"ms\",\"traceEvents\":[";
    bool first = true;
    auto next = [&] {
        out += first ? "\n{" : ",\n{";
        first = false;
    };
    const auto& runs = recorder.Runs();
    for (uint32_t r = 0; r < runs.size(); ++r) {
        next();
        out += "\"name\":\"process_name\",\"ph\":\"M\",\"pid\":" + std::to_string(RunNumber(recorder, r)) +
               ",\"tid\":0,\"args\":{\"name\":";
        std::string label = RunLabel(recorder, r);
        if (!recorder.TextOf(r).host.empty()) {
            label += " " + recorder.TextOf(r).host;
        }
        AppendJsonString(out, label);
        out += "}}";
    }
    const auto& threads = recorder.Threads();
    for (uint32_t t = 0; t < threads.size(); ++t) {
        next();
        out += "\"name\":\"thread_name\",\"ph\":\"M\"";
        Ids(out, recorder, t);
        out += ",\"args\":{\"name\":";
        AppendJsonString(out, "thread " + std::to_string(threads[t].tid));
        out += "}}";
    }

    for (const PlacedCall& p : PlaceCalls(recorder, AllCalls(recorder))) {
        const ViewerRecorder::Call& c = *p.call;
        next();
        out += "\"name\":";
        AppendJsonString(out, recorder.Frames()[c.frame]);
        out += ",\"cat\":\"call\",\"ph\":\"X\",\"ts\":";
        AppendMicros(out, p.begin);
        out += ",\"dur\":";
        AppendMicros(out, p.end - p.begin);
        Ids(out, recorder, c.thread);
        const bool any = !c.args.empty() || !c.returnValue.empty() || c.flags != 0;
        if (any) {
            out += ",\"args\":{";
            bool firstArg = true;
            auto arg = [&](std::string_view name, std::string_view value) {
                if (!firstArg) {
                    out += ',';
                }
                firstArg = false;
                AppendJsonString(out, name);
                out += ':';
                AppendJsonString(out, value);
            };
            ForEachArg(c.args, arg);
            if (!c.returnValue.empty()) {
                arg("returnValue", c.returnValue);
            }
            auto flag = [&](uint8_t bit, const char* name) {
                if ((c.flags & bit) != 0) {
                    out += firstArg ? "\"" : ",\"";
                    firstArg = false;
                    out += name;
                    out += "\":true";
                }
            };
            flag(ViewerRecorder::Unwound, "unwound");
            flag(ViewerRecorder::TailCall, "tailCall");
            flag(ViewerRecorder::ClosedAtEnd, "openAtEnd");
            flag(ViewerRecorder::NoEndSeen, "noEndSeen");
            out += '}';
        }
        out += '}';
    }

    for (const auto& e : recorder.Exceptions()) {
        next();
        char id[32];
        snprintf(id, sizeof id, "0x%" PRIx64, e.exceptionId);
        out += "\"name\":\"exception\",\"cat\":\"exception\",\"ph\":\"i\",\"s\":\"t\",\"ts\":";
        AppendMicros(out, recorder.Micros(threads[e.thread].run, e.ticks));
        Ids(out, recorder, e.thread);
        out += ",\"args\":{\"exceptionId\":\"";
        out += id;
        out += "\",\"framesUnwound\":" + std::to_string(e.unwound);
        if (e.frame != ViewerRecorder::NoFrame) {
            out += ",\"raisedIn\":";
            AppendJsonString(out, recorder.Frames()[e.frame]);
        }
        out += "}}";
    }
    const auto& stats = recorder.GetStats();
    out += "\n],\"otherData\":{\"exporter\":\"quorix-collect\",\"calls\":" + std::to_string(stats.calls) +
           ",\"callsShown\":" + std::to_string(recorder.Calls().size()) +
           ",\"callsLeftOut\":" + std::to_string(stats.callsNotKept) + ",\"longestLeftOutMicros\":";
    AppendMicros(out, stats.longestLeftOutMicros);
    out += ",\"exceptions\":" + std::to_string(stats.exceptions) +
           ",\"exceptionsLeftOut\":" + std::to_string(stats.exceptionsNotKept) + "}}\n";
    return out;
}

}  // namespace QuorixCollect
