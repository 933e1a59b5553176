#include "report/ReportWriter.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "losses/LossLedger.h"
#include "report/ReportShape.h"
#include "text/JsonBuilder.h"
#include "text/TextEncoding.h"
#include "wire/WireFormat.h"

namespace QuorixCollect {

extern const char QxAssetD3[];
extern const size_t QxAssetD3Size;
extern const char QxAssetFlameGraph[];
extern const size_t QxAssetFlameGraphSize;
extern const char QxAssetFlameGraphCss[];
extern const size_t QxAssetFlameGraphCssSize;
extern const char QxAssetPage[];
extern const size_t QxAssetPageSize;
extern const char QxAssetRequestScript[];
extern const size_t QxAssetRequestScriptSize;
extern const char QxAssetRequestsScript[];
extern const size_t QxAssetRequestsScriptSize;
extern const char QxAssetCompareScript[];
extern const size_t QxAssetCompareScriptSize;
extern const char QxAssetScript[];
extern const size_t QxAssetScriptSize;
extern const char QxAssetStyle[];
extern const size_t QxAssetStyleSize;
extern const char QxMissingReportAssets[];

namespace {

using Json = JsonBuilder;

// Kinds of captured calls the table offers as filters, by the class that made them.
const char* Category(std::string_view function) {
    const std::string_view cls = function.substr(0, function.find("::"));
    auto has = [&](const char* part) { return cls.find(part) != std::string_view::npos; };
    if (has("Redis")) {
        return "Redis";
    }
    if (has("Sql") || has("Npgsql") || has("MySql") || has("System.Data") || has("EntityFramework") || has("Dapper") ||
        has("Oracle") || has("Sqlite")) {
        return "database";
    }
    if (has("Http") || has("WebRequest") || has("WebClient") || has("Uri")) {
        return "HTTP";
    }
    return "other";
}

void Summary(Json& j, const ViewerRecorder& recorder, const CollectorSession& session, const RunSummary& summary,
             const std::vector<std::string>& pageDrops) {
    j.Key("summary").Open('{');
    j.Key("seconds").Number(summary.seconds);
    j.Key("transport").String(summary.transport);
    j.Key("commands").Count(session.TotalCommands());
    j.Key("byType").Open('{');
    size_t count = 0;
    const uint8_t* types = KnownCommandTypes(count);
    for (size_t i = 0; i < count; ++i) {
        if (session.CommandCount(types[i]) != 0) {
            j.Key(CommandTypeName(types[i])).Count(session.CommandCount(types[i]));
        }
    }
    j.Close('}');
    j.Key("decodeRate").Number(std::max(session.DecodeRate(), 0.0));
    j.Key("processes").Open('[');
    const auto& runs = recorder.Runs();
    for (uint32_t r = 0; r < runs.size(); ++r) {
        const auto& run = runs[r];
        j.Open('{');
        j.Key("label").String(RunLabel(recorder, r));
        j.Key("pid").Count(run.pid);
        auto it = session.Processes().find(run.pid);
        const bool known = it != session.Processes().end();
        j.Key("runtime").String(known ? it->second.runtime : recorder.TextOf(r).runtime);
        j.Key("host").String(known ? it->second.host : recorder.TextOf(r).host);
        j.Key("agent").String(known ? it->second.version : "");
        j.Key("ended").Bool(run.ended);
        j.Key("commands").Count(known ? it->second.commands : 0);
        const bool timed = run.firstTicks != INT64_MAX;
        j.Key("start").Number(timed ? recorder.Micros(r, run.firstTicks) : 0);
        j.Key("micros").Number(timed ? static_cast<double>(run.lastTicks - run.firstTicks) * run.microsPerTick : 0);
        j.Close('}');
    }
    j.Close(']');
    j.Key("drops").Open('[');
    for (const auto& line : summary.dropLines) {
        j.String(line);
    }
    for (const auto& line : pageDrops) {
        j.String(line);
    }
    j.Close(']');
    j.Key("text").String(summary.summaryText);
    j.Close('}');
    j.Key("requests").Raw(summary.requestsJson.empty() ? "[]" : summary.requestsJson);
    j.Key("comparison").Raw(summary.comparisonJson.empty() ? "null" : summary.comparisonJson);
}

// The stacks the page draws: the largest up to its bound (the time of the others stays in their
// callers), with values flame graphs can draw, a node never smaller than its callees together.
struct FlameSelection {
    std::vector<double> value;
    std::vector<uint32_t> order;  // callers before callees
    size_t shown = 0;             // stacks drawn, the root not counted
    size_t drawable = 0;          // stacks with any time: a stack of no time cannot be drawn at all
};

FlameSelection SelectFlame(const ViewerRecorder& recorder) {
    const auto& flame = recorder.Flame();
    double threshold = 0;
    if (flame.size() > ReportWriter::MaxFlameNodes) {
        std::vector<double> totals;
        totals.reserve(flame.size());
        for (size_t i = 1; i < flame.size(); ++i) {
            totals.push_back(flame[i].totalMicros);
        }
        auto nth = totals.begin() + static_cast<long>(ReportWriter::MaxFlameNodes - 1);
        std::nth_element(totals.begin(), nth, totals.end(), std::greater<double>());
        threshold = *nth;
    }
    FlameSelection sel;
    for (size_t i = 1; i < flame.size(); ++i) {
        sel.drawable += flame[i].totalMicros > 0 ? 1 : 0;
    }
    sel.value.assign(flame.size(), 0);
    sel.order.reserve(flame.size());
    std::vector<uint32_t> pending{0};
    while (!pending.empty()) {
        const uint32_t n = pending.back();
        pending.pop_back();
        sel.order.push_back(n);
        for (uint32_t c = flame[n].firstChild; c != 0; c = flame[c].nextSibling) {
            if (flame[c].totalMicros >= threshold && flame[c].totalMicros > 0) {
                pending.push_back(c);
            }
        }
    }
    for (auto it = sel.order.rbegin(); it != sel.order.rend(); ++it) {
        const uint32_t n = *it;
        double children = 0;
        for (uint32_t c = flame[n].firstChild; c != 0; c = flame[c].nextSibling) {
            children += sel.value[c];
        }
        sel.value[n] = std::max(n == 0 ? 0.0 : flame[n].totalMicros, children);
    }
    sel.shown = sel.order.size() - 1;
    return sel;
}

// The calls the timeline draws: the longest up to its bound, in thread and sequence order.
std::vector<uint32_t> SelectTimeline(const ViewerRecorder& recorder) {
    const auto& calls = recorder.Calls();
    std::vector<uint32_t> indexes = AllCalls(recorder);
    if (indexes.size() > ReportWriter::MaxTimelineCalls) {
        auto nth = indexes.begin() + static_cast<long>(ReportWriter::MaxTimelineCalls);
        std::nth_element(indexes.begin(), nth, indexes.end(),
                         [&](uint32_t a, uint32_t b) { return calls[a].micros > calls[b].micros; });
        indexes.resize(ReportWriter::MaxTimelineCalls);
        std::sort(indexes.begin(), indexes.end());
    }
    return indexes;
}

void Flame(Json& j, const ViewerRecorder& recorder, const FlameSelection& sel) {
    const auto& flame = recorder.Flame();
    const std::vector<double>& value = sel.value;
    const std::vector<uint32_t>& order = sel.order;
    j.Key("flameNodes").Count(flame.size() - 1);
    j.Key("flameShown").Count(sel.shown);
    j.Key("flame");
    // Written depth first with an explicit stack: real call stacks can be deep.
    struct Step {
        uint32_t node;
        bool close;
    };
    std::vector<Step> steps{{0, false}};
    std::vector<bool> included(flame.size(), false);
    for (uint32_t n : order) {
        included[n] = true;
    }
    while (!steps.empty()) {
        const Step s = steps.back();
        steps.pop_back();
        if (s.close) {
            j.Close(']').Close('}');
            continue;
        }
        const auto& n = flame[s.node];
        j.Open('{');
        j.Key("n").String(s.node == 0 ? std::string("all threads") : recorder.Frames()[n.frame]);
        j.Key("v").Number(value[s.node]);
        if (s.node != 0) {
            j.Key("calls").Count(n.count);
        }
        j.Key("children").Open('[');
        steps.push_back({s.node, true});
        for (uint32_t c = n.firstChild; c != 0; c = flame[c].nextSibling) {
            if (included[c] && value[c] > 0) {
                steps.push_back({c, false});
            }
        }
    }
}

void Timeline(Json& j, const ViewerRecorder& recorder, const std::vector<uint32_t>& indexes) {
    const std::vector<PlacedCall> placed = PlaceCalls(recorder, indexes);
    const auto& stats = recorder.GetStats();
    double shortestShown = 0;
    for (const PlacedCall& p : placed) {
        shortestShown = shortestShown == 0 ? p.call->micros : std::min(shortestShown, p.call->micros);
    }
    j.Key("timeline").Open('{');
    j.Key("calls").Count(stats.calls);
    j.Key("shown").Count(placed.size());
    j.Key("shortestShownMicros").Number(shortestShown);
    j.Key("threads").Open('[');
    size_t i = 0;
    std::vector<std::string_view> frames;
    std::vector<uint32_t> frameIds(recorder.Frames().size(), UINT32_MAX);
    while (i < placed.size()) {
        const uint32_t thread = placed[i].call->thread;
        j.Open('{');
        j.Key("label").String(ThreadLabel(recorder, thread));
        j.Key("calls").Count(recorder.Threads()[thread].calls);
        // Rows are nesting levels among the calls shown.
        j.Key("items").Open('[');
        std::vector<const PlacedCall*> open;
        for (; i < placed.size() && placed[i].call->thread == thread; ++i) {
            const PlacedCall& p = placed[i];
            while (!open.empty() && open.back()->call->lastSeq < p.call->seq) {
                open.pop_back();
            }
            uint32_t& frame = frameIds[p.call->frame];
            if (frame == UINT32_MAX) {
                frame = static_cast<uint32_t>(frames.size());
                frames.push_back(recorder.Frames()[p.call->frame]);
            }
            // In the order of ReportShape::ItemField.
            j.Open('[').Number(p.begin).Number(p.end - p.begin).Count(open.size()).Count(frame).Count(p.call->flags);
            if (!p.call->args.empty() || !p.call->returnValue.empty()) {
                j.String(ArgsDisplay(p.call->args)).String(p.call->returnValue);
            }
            j.Close(']');
            open.push_back(&p);
        }
        j.Close(']').Close('}');
    }
    j.Close(']');
    j.Key("frames").Open('[');
    for (auto name : frames) {
        j.String(name);
    }
    j.Close(']');
    j.Close('}');
}

void Captured(Json& j, const ViewerRecorder& recorder) {
    std::vector<const ViewerRecorder::CapturedRow*> rows;
    for (const auto& row : recorder.Captured()) {
        rows.push_back(&row);
    }
    std::sort(rows.begin(), rows.end(), [](auto* a, auto* b) { return a->totalMicros > b->totalMicros; });
    j.Key("captured").Open('[');
    for (const auto* row : rows) {
        const std::string& function = recorder.Frames()[row->frame];
        j.Open('{');
        j.Key("kind").String(Category(function));
        j.Key("function").String(function);
        j.Key("values").String(ArgsDisplay(row->args));
        j.Key("returnValue").String(row->variousReturns ? "<various>" : row->returnValue);
        j.Key("count").Count(row->count);
        j.Key("totalMicros").Number(row->totalMicros);
        j.Key("maxMicros").Number(row->maxMicros);
        j.Key("process").String(RunLabel(recorder, row->run));
        j.Close('}');
    }
    j.Close(']');
    j.Key("capturedLeftOut").Count(recorder.GetStats().capturedNotKept);
}

// The type and message of an exception as the agent sent them; empty type and null message when unknown.
void ExceptionDetails(Json& j, const ExceptionTable* table, uint32_t handle) {
    if (table == nullptr || handle == ExceptionTable::None) {
        j.Key("type").String("").Key("message").Null().Key("messageCut").Bool(false);
        return;
    }
    const ExceptionTable::Details& d = table->Get(handle);
    j.Key("type").String(d.type).Key("message");
    if (d.messageNull) {
        j.Null();
    } else {
        j.String(d.message);
    }
    j.Key("messageCut").Bool(d.messageCut);
}

void Exceptions(Json& j, const ViewerRecorder& recorder) {
    j.Key("exceptions").Open('[');
    for (const auto& e : recorder.Exceptions()) {
        char id[32];
        snprintf(id, sizeof id, "0x%" PRIx64, e.exceptionId);
        j.Open('{');
        j.Key("at").Number(recorder.Micros(recorder.Threads()[e.thread].run, e.ticks));
        j.Key("thread").String(ThreadLabel(recorder, e.thread));
        j.Key("process").String(RunLabel(recorder, recorder.Threads()[e.thread].run));
        j.Key("id").String(id);
        j.Key("raisedIn").String(e.frame == ViewerRecorder::NoFrame ? "" : recorder.Frames()[e.frame]);
        j.Key("unwound").Count(e.unwound);
        ExceptionDetails(j, recorder.GetExceptionTable(), e.details);
        j.Close('}');
    }
    j.Close(']');
    j.Key("exceptionCount").Count(recorder.GetStats().exceptions);
}

void Shape(Json& j) {
    j.Key("shape").Open('{').Key("item").Open('[');
    for (const char* name : ReportShape::ItemFields) {
        j.String(name);
    }
    j.Close(']').Key("flags").Open('{');
    for (const auto& [bit, name] : ViewerRecorder::FlagNames) {
        j.Key(name).Count(bit);
    }
    j.Close('}').Close('}');
}

// What the page itself leaves out beyond what the recorder did: the drops box counts every call
// and stack it does not draw.
void PageLosses(LossLedger& ledger, const ViewerRecorder& recorder, const FlameSelection& flame, size_t callsShown) {
    const std::string line(ReportWriter::LossLineName);
    const auto& stats = recorder.GetStats();
    ledger.Add(line,
               "calls kept but not drawn in the timeline (it draws the longest " +
                   std::to_string(ReportWriter::MaxTimelineCalls) + ")",
               recorder.Calls().size() - std::min(callsShown, recorder.Calls().size()), Severity::Cut);
    ledger.Add(line, "calls not kept with their times for the timeline (--viewer-calls)", stats.callsNotKept,
               Severity::Cut);
    ledger.Add(line, "flame graph stacks not drawn (their time stays in their callers)",
               flame.drawable - std::min(flame.shown, flame.drawable), Severity::Cut);
}

void Replace(std::string& page, std::string_view marker, std::string_view text) {
    const size_t at = page.find(marker);
    if (at != std::string::npos) {
        page.replace(at, marker.size(), text);
    }
}

}  // namespace

std::string ReportWriter::Data(const ViewerRecorder& recorder, const CollectorSession& session,
                               const RunSummary& summary) {
    const FlameSelection flame = SelectFlame(recorder);
    const std::vector<uint32_t> timeline = SelectTimeline(recorder);
    LossLedger page;
    PageLosses(page, recorder, flame, timeline.size());
    std::string out;
    Json j(out);
    j.Open('{');
    Shape(j);
    Summary(j, recorder, session, summary, DropLines(page));
    Flame(j, recorder, flame);
    Timeline(j, recorder, timeline);
    Captured(j, recorder);
    Exceptions(j, recorder);
    j.Close('}');
    return out;
}

std::string ReportWriter::MissingAssets() { return QxMissingReportAssets; }

std::string ReportWriter::Write(const ViewerRecorder& recorder, const CollectorSession& session,
                                const RunSummary& summary) {
    return Page(Data(recorder, session, summary), false);
}

std::string ReportWriter::LiveData(const std::string& transport, const std::string& comparisonJson) {
    std::string out;
    Json j(out);
    j.Open('{');
    Shape(j);
    j.Key("summary").Open('{');
    j.Key("seconds").Number(0).Key("transport").String(transport).Key("commands").Count(0);
    j.Key("byType").Open('{').Close('}').Key("decodeRate").Number(0);
    j.Key("processes").Open('[').Close(']').Key("drops").Open('[').Close(']').Key("text").String("");
    j.Close('}');
    j.Key("requests").Open('[').Close(']');
    j.Key("comparison").Raw(comparisonJson.empty() ? "null" : comparisonJson);
    j.Key("flameNodes").Count(0).Key("flameShown").Count(0);
    j.Key("flame").Open('{').Key("n").String("all threads").Key("v").Number(0).Key("children").Open('[').Close(']');
    j.Close('}');
    j.Key("timeline").Open('{').Key("calls").Count(0).Key("shown").Count(0).Key("shortestShownMicros").Number(0);
    j.Key("threads").Open('[').Close(']').Key("frames").Open('[').Close(']').Close('}');
    j.Key("captured").Open('[').Close(']').Key("capturedLeftOut").Count(0);
    j.Key("exceptions").Open('[').Close(']').Key("exceptionCount").Count(0);
    j.Key("live").Open('{');
    j.Key("requests").String("/api/requests").Key("status").String("/api/status").Key("pollMs").Count(500);
    j.Close('}');
    j.Close('}');
    return out;
}

std::string ReportWriter::LivePage(const std::string& transport, const std::string& comparisonJson) {
    return Page(LiveData(transport, comparisonJson), true);
}

std::string ReportWriter::Page(const std::string& data, bool live) {
    // Inside a script element only "</" could end it early; JSON may spell '<' as \u003c.
    std::string safe;
    safe.reserve(data.size() + 64);
    for (char ch : data) {
        if (ch == '<') {
            safe += "\\u003c";
        } else {
            safe += ch;
        }
    }
    std::string page(QxAssetPage, QxAssetPageSize);
    std::string styles(QxAssetFlameGraphCss, QxAssetFlameGraphCssSize);
    styles.append(QxAssetStyle, QxAssetStyleSize);
    std::string scripts = "<script>";
    scripts.append(QxAssetD3, QxAssetD3Size);
    scripts += "</script>\n<script>";
    scripts.append(QxAssetFlameGraph, QxAssetFlameGraphSize);
    scripts += "</script>\n<script type=\"application/json\" id=\"qx-data\">";
    scripts += safe;
    scripts += "</script>\n<script>";
    scripts.append(QxAssetRequestScript, QxAssetRequestScriptSize);
    scripts += "</script>\n<script>";
    scripts.append(QxAssetRequestsScript, QxAssetRequestsScriptSize);
    scripts += "</script>\n<script>";
    scripts.append(QxAssetCompareScript, QxAssetCompareScriptSize);
    scripts += "</script>\n<script>";
    scripts.append(QxAssetScript, QxAssetScriptSize);
    scripts += "</script>";
    if (live) {
        // The live page asks its own server, and nothing else, for the requests as they come.
        Replace(page, "default-src 'none';", "default-src 'none'; connect-src 'self';");
        Replace(page, "<title>quorix-collect report</title>", "<title>quorix-collect live</title>");
    }
    // The data goes in last, so that no marker can be found inside it.
    Replace(page, "/*QX:STYLES*/", styles);
    Replace(page, "<!--QX:SCRIPTS-->", scripts);
    return page;
}

}  // namespace QuorixCollect
