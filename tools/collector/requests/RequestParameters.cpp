// What a statement's execute call and an outgoing request's response carry besides their texts.

#include "dotnet/CapturedMeaning.h"
#include "requests/RequestTracker.h"
#include "requests/TrackerState.h"
#include "wire/SqlParameters.h"

namespace QuorixCollect {

void RequestTracker::AddParameters(SqlStatement& statement, const DecodedCommand& begin) {
    statement.parameters = SqlParametersOf(begin);
}

void RequestTracker::NoteOutgoingRequest(uint32_t run, uint32_t slot, uint32_t index, const DecodedCommand& begin) {
    // The request message's address and URL, which its response's status names.
    RunState& r = Run(run);
    const Live& live = *slots[slot];
    for (const auto& a : begin.args) {
        VisitLeaves(a, a.name, [&](std::string_view name, const ValueRecord& v) {
            int64_t n = 0;
            std::string text;
            if (name == "RequestId" && IntegerOf(v, n) && n != 0) {
                Bound(r.outgoing);
                r.outgoing[Key(run, static_cast<uint64_t>(n))] = {slot, live.gen, 2, index};
            } else if (name == "Uri" && StringOf(v, text) && !text.empty()) {
                Bound(r.outgoingUrls);
                r.outgoingUrls[text] = {slot, live.gen, 2, index};
            }
        });
    }
}

void RequestTracker::NoteResponseStatus(uint32_t run, const DecodedCommand& begin) {
    int64_t status = 0, id = 0;
    std::string url;
    for (const auto& a : begin.args) {
        VisitLeaves(a, a.name, [&](std::string_view name, const ValueRecord& v) {
            int64_t n = 0;
            if ((name == "value" || name == "statusCode") && IntegerOf(v, n)) status = n;
            if (name == "RequestId" && IntegerOf(v, n)) id = n;
            if (name == "Uri") StringOf(v, url);
        });
    }
    if (status < 100 || status > 599) {
        return;
    }
    RunState& r = Run(run);
    const ItemRef* ref = nullptr;
    auto byId = r.outgoing.find(Key(run, static_cast<uint64_t>(id)));
    if (id != 0 && byId != r.outgoing.end()) {
        ref = &byId->second;
    } else if (!url.empty()) {
        // The collector moved the request since: its URL still tells it.
        auto byUrl = r.outgoingUrls.find(url);
        ref = byUrl != r.outgoingUrls.end() ? &byUrl->second : nullptr;
    }
    Live* live = ref != nullptr ? At(ref->slot, ref->gen) : nullptr;
    if (live != nullptr && ref->index < live->req.http.size()) {
        live->req.http[ref->index].status = static_cast<int>(status);
    }
}

}  // namespace QuorixCollect
