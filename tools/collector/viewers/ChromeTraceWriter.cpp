#include "viewers/ChromeTraceWriter.h"

#include <cinttypes>
#include <cstdio>

#include "text/JsonBuilder.h"
#include "viewers/ViewerFiles.h"

namespace QuorixCollect {

namespace {

void Ids(JsonBuilder& j, const ViewerRecorder& recorder, uint32_t thread) {
    const auto& t = recorder.Threads()[thread];
    j.Key("pid").Count(RunNumber(recorder, t.run)).Key("tid").Count(t.tid);
}

void Metadata(JsonBuilder& j, const ViewerRecorder& recorder) {
    const auto& runs = recorder.Runs();
    for (uint32_t r = 0; r < runs.size(); ++r) {
        std::string label = RunLabel(recorder, r);
        if (!recorder.TextOf(r).host.empty()) {
            label += " " + recorder.TextOf(r).host;
        }
        j.Break().Open('{').Key("name").String("process_name").Key("ph").String("M");
        j.Key("pid").Count(RunNumber(recorder, r)).Key("tid").Int(0);
        j.Key("args").Open('{').Key("name").String(label).Close('}').Close('}');
    }
    const auto& threads = recorder.Threads();
    for (uint32_t t = 0; t < threads.size(); ++t) {
        j.Break().Open('{').Key("name").String("thread_name").Key("ph").String("M");
        Ids(j, recorder, t);
        j.Key("args").Open('{').Key("name").String("thread " + std::to_string(threads[t].tid)).Close('}').Close('}');
    }
}

void CallEvent(JsonBuilder& j, const ViewerRecorder& recorder, const PlacedCall& p) {
    const ViewerRecorder::Call& c = *p.call;
    j.Break().Open('{').Key("name").String(recorder.Frames()[c.frame]).Key("cat").String("call");
    j.Key("ph").String("X").Key("ts").Number(p.begin).Key("dur").Number(p.end - p.begin);
    Ids(j, recorder, c.thread);
    if (!c.args.empty() || !c.returnValue.empty() || c.flags != 0) {
        j.Key("args").Open('{');
        ForEachArg(c.args, [&](std::string_view name, std::string_view value) { j.Key(name).String(value); });
        if (!c.returnValue.empty()) {
            j.Key("returnValue").String(c.returnValue);
        }
        for (const auto& [bit, name] : ViewerRecorder::FlagNames) {
            if ((c.flags & bit) != 0) {
                j.Key(name).Bool(true);
            }
        }
        j.Close('}');
    }
    j.Close('}');
}

void ExceptionEvent(JsonBuilder& j, const ViewerRecorder& recorder, const ViewerRecorder::ExceptionEntry& e) {
    char id[32];
    snprintf(id, sizeof id, "0x%" PRIx64, e.exceptionId);
    j.Break().Open('{').Key("name").String("exception").Key("cat").String("exception");
    j.Key("ph").String("i").Key("s").String("t");
    j.Key("ts").Number(recorder.Micros(recorder.Threads()[e.thread].run, e.ticks));
    Ids(j, recorder, e.thread);
    j.Key("args").Open('{').Key("exceptionId").String(id).Key("framesUnwound").Count(e.unwound);
    if (e.frame != ViewerRecorder::NoFrame) {
        j.Key("raisedIn").String(recorder.Frames()[e.frame]);
    }
    const ExceptionTable* table = recorder.GetExceptionTable();
    if (table != nullptr && e.details != ExceptionTable::None) {
        const ExceptionTable::Details& d = table->Get(e.details);
        j.Key("exceptionType").String(d.type);
        if (!d.messageNull) {
            j.Key("message").String(d.message);
        }
    }
    j.Close('}').Close('}');
}

}  // namespace

std::string ChromeTraceWriter::Write(const ViewerRecorder& recorder) {
    std::string out;
    JsonBuilder j(out);
    j.Open('{').Key("displayTimeUnit").String("ms").Key("traceEvents").Open('[');
    Metadata(j, recorder);
    for (const PlacedCall& p : PlaceCalls(recorder, AllCalls(recorder))) {
        CallEvent(j, recorder, p);
    }
    for (const auto& e : recorder.Exceptions()) {
        ExceptionEvent(j, recorder, e);
    }
    const auto stats = recorder.GetStats();
    j.Verbatim("\n").Close(']');
    j.Key("otherData").Open('{').Key("exporter").String("quorix-collect").Key("calls").Count(stats.calls);
    j.Key("callsShown").Count(recorder.Calls().size()).Key("callsLeftOut").Count(stats.callsNotKept);
    j.Key("longestLeftOutMicros").Number(stats.longestLeftOutMicros).Key("exceptions").Count(stats.exceptions);
    j.Key("exceptionsLeftOut").Count(stats.exceptionsNotKept).Close('}').Close('}').Verbatim("\n");
    return out;
}

}  // namespace QuorixCollect
