#include <algorithm>

#include "spans/OtlpSpanBuilder.h"
#include "spans/SemanticConventions.h"

// What one call's values tell another's span: the query text set on a command object goes to the
// call that runs it, and what describes a request goes up to the span that began its trace.

namespace QuorixCollect {

void OtlpSpanBuilder::LinkQuery(ThreadState& t, Frame& f, uint32_t depth, const DecodedCommand& c) {
    // The text is set on the command object (constructor, CommandText) by one call and run by
    // another: the executing call, the one worth looking at, gets the text too.
    const std::string_view name = names ? names(c.pid, c.functionId) : std::string_view{};
    const std::string_view system = DatabaseCommandSystem(ClassOf(name));
    if (system.empty()) {
        return;
    }
    ProcessState& p = Process(t);
    for (const auto& a : f.attributes) {
        if (a.key == SemConv::DbQueryText) {
            if (p.commandTexts.size() >= 4096) {
                p.commandTexts.clear();
            }
            p.commandTexts[c.instanceId] = {std::string(system), a.text};
            return;
        }
    }
    if (MethodOf(name).substr(0, 7) != "Execute") {
        return;
    }
    // Only the outermost execute call of a command: the provider's inner ones add nothing.
    for (size_t k = depth, seen = 0; k-- > 0 && seen < 8; ++seen) {
        if (t.frames[k].instanceId == c.instanceId) {
            return;
        }
    }
    auto it = p.commandTexts.find(c.instanceId);
    if (it == p.commandTexts.end()) {
        return;
    }
    // The base class names no database; the class that set the text may.
    const std::string& known = system == "other_sql" ? it->second.system : std::string(system);
    f.attributes.push_back(OtlpAttribute::String(SemConv::DbSystemName, known));
    f.attributes.push_back(OtlpAttribute::String(SemConv::DbQueryText, it->second.text));
    f.keep = true;
}

void OtlpSpanBuilder::HoistRequest(ThreadState& t, Frame& f, uint32_t depth) {
    // What describes the incoming request also belongs on the span that began its trace.
    if (f.requestRoot || f.traceRoot) {
        t.pendingRequest.clear();
        return;
    }
    if (f.attributes.empty()) {
        return;
    }
    Frame* request = nullptr;
    for (size_t k = depth; k-- > 0;) {
        Frame& below = t.frames[k];
        if (below.requestRoot) {
            request = &below;
            break;
        }
        if (below.traceRoot || below.dispatcher) {
            break;
        }
    }
    for (const auto& a : f.attributes) {
        if (!IsRequestAttribute(a.key)) {
            continue;
        }
        if (request != nullptr) {
            AddAttributeOnce(request->attributes, a);
            continue;
        }
        // Seen before the request was handed over: the newest value wins.
        auto it = std::find_if(t.pendingRequest.begin(), t.pendingRequest.end(),
                               [&](const OtlpAttribute& p) { return p.key == a.key; });
        if (it != t.pendingRequest.end()) {
            *it = a;
        } else {
            t.pendingRequest.push_back(a);
        }
    }
}

}  // namespace QuorixCollect
