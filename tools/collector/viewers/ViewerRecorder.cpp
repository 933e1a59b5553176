#include "viewers/ViewerRecorder.h"

#include <algorithm>
#include <cmath>

#include "wire/ValueRecord.h"
#include "wire/WireFormat.h"

namespace QuorixCollect {

namespace {

uint64_t Pair(uint32_t a, uint32_t b) { return (static_cast<uint64_t>(a) << 32) | b; }

// At most `max` bytes of `text`, not splitting a UTF-8 sequence.
void CutUtf8(std::string& text, size_t max) {
    if (text.size() <= max) {
        return;
    }
    size_t cut = max > 3 ? max - 3 : 0;
    while (cut > 0 && (static_cast<uint8_t>(text[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    text.resize(cut);
    text += "...";
}

void FormatArgs(std::string& out, const std::vector<ValueRecord>& args, size_t maxBytes) {
    out.clear();
    for (const auto& a : args) {
        if (!out.empty()) {
            out += ViewerRecorder::ArgSeparator;
        }
        out += a.name;
        out += '=';
        const auto type = static_cast<ValueType>(a.type);
        if ((type == ValueType::String || type == ValueType::LongString) && a.error.empty() && a.hasPayload) {
            // Texts as they are (SQL, URLs, keys): viewers quote them themselves.
            out += a.text;
        } else {
            out += FormatValue(a, maxBytes);
        }
        if (out.size() >= maxBytes) {
            break;
        }
    }
    CutUtf8(out, maxBytes);
}

bool Shorter(const ViewerRecorder::Call& a, const ViewerRecorder::Call& b) {
    // std::push_heap keeps the greatest on top: "greater" makes it a min-heap.
    return a.micros > b.micros;
}

}  // namespace

size_t ViewerRecorder::Limits::WorstCaseBytes() const {
    // Node-based hash maps cost about their entry plus 40 bytes; strings their text plus 32.
    constexpr size_t MapExtra = 40;
    constexpr size_t StringExtra = 32;
    return keptCalls * (sizeof(Call) + 2 * (textBytes + StringExtra)) +
           flameNodes * (sizeof(FlameNode) + 8 + MapExtra) +
           frames * (2 * (nameBytes + StringExtra) + sizeof(uint32_t) + MapExtra) + functionIds * (16 + MapExtra) +
           capturedRows * (sizeof(CapturedRow) + 4 * (textBytes + StringExtra) + MapExtra) +
           exceptions * sizeof(ExceptionEntry) + threads * (sizeof(Thread) + sizeof(Run) + 2 * MapExtra) +
           openFrames * (sizeof(OpenFrame) + textBytes + StringExtra);
}

ViewerRecorder::Limits ViewerRecorder::Limits::ScaledTo(size_t bytes) const {
    const size_t worst = WorstCaseBytes();
    if (worst <= bytes) {
        return *this;
    }
    const double f = static_cast<double>(bytes) / static_cast<double>(worst);
    auto scale = [f](size_t n) { return std::max<size_t>(16, static_cast<size_t>(static_cast<double>(n) * f)); };
    Limits l = *this;
    l.keptCalls = scale(keptCalls);
    l.flameNodes = scale(flameNodes);
    l.frames = scale(frames);
    l.functionIds = scale(functionIds);
    l.capturedRows = scale(capturedRows);
    l.exceptions = scale(exceptions);
    l.openFrames = scale(openFrames);
    l.threads = scale(threads);
    return l;
}

ViewerRecorder::ViewerRecorder() : ViewerRecorder(Limits{}) {}

ViewerRecorder::ViewerRecorder(const Limits& bounds) : ViewerRecorder(bounds, nullptr) {}

ViewerRecorder::ViewerRecorder(const Limits& bounds, CallMatcher& shared) : ViewerRecorder(bounds, &shared) {}

ViewerRecorder::ViewerRecorder(const Limits& bounds, CallMatcher* shared)
    : MatcherOwner(shared, {.maxThreads = bounds.threads, .maxRuns = bounds.threads}), limits(bounds) {
    frames.emplace_back("[function not kept]");
    flame.emplace_back();
    flame[0].frame = NoFrame;
    matcher->AddListener(this);
}

ViewerRecorder::Stats ViewerRecorder::GetStats() const {
    Stats s = stats;
    s.orphanEnds = matcher->GetStats().orphanEnds;
    s.threadsNotKept = matcher->GetStats().threadCommands;
    return s;
}

const ViewerRecorder::RunText& ViewerRecorder::TextOf(uint32_t run) const {
    static const RunText none;
    return run < runTexts.size() ? runTexts[run] : none;
}

uint32_t ViewerRecorder::InternFrame(std::string_view name) {
    auto it = frameIndex.find(std::string(name));
    if (it != frameIndex.end()) {
        return it->second;
    }
    if (frames.size() >= limits.frames) {
        return UnknownFrame;
    }
    frames.emplace_back(name);
    frameBytes += name.size();
    const auto index = static_cast<uint32_t>(frames.size() - 1);
    frameIndex.emplace(frames.back(), index);
    return index;
}

uint32_t ViewerRecorder::FrameOf(uint32_t run, uint32_t functionId) {
    const uint64_t key = Pair(run, functionId);
    FrameCacheEntry& cached = frameCache[(key * 0x9E3779B97F4A7C15ULL) >> 52];
    if (cached.key == key) {
        return cached.frame;
    }
    auto it = functionFrames.find(key);
    if (it != functionFrames.end()) {
        cached = {key, it->second};
        return it->second;
    }
    // No method information (lost, or before the collector listened): the id stands for the name.
    const uint32_t frame = InternFrame("function#" + std::to_string(functionId));
    if (frame != UnknownFrame && functionFrames.size() < limits.functionIds) {
        functionFrames.emplace(key, frame);
    }
    return frame;
}

uint32_t ViewerRecorder::FlameChild(uint32_t parent, uint32_t frame) {
    const uint32_t hit = flame[parent].lastHit;
    if (hit != 0 && flame[hit].frame == frame) {
        return hit;
    }
    const uint64_t key = Pair(parent, frame);
    auto it = flameIndex.find(key);
    if (it != flameIndex.end()) {
        flame[parent].lastHit = it->second;
        return it->second;
    }
    if (flame.size() >= limits.flameNodes) {
        return NoNode;
    }
    FlameNode node;
    node.frame = frame;
    node.parent = parent;
    node.nextSibling = flame[parent].firstChild;
    flame.push_back(node);
    const auto index = static_cast<uint32_t>(flame.size() - 1);
    flame[parent].firstChild = index;
    flame[parent].lastHit = index;
    flameIndex.emplace(key, index);
    return index;
}

void ViewerRecorder::OnCommand(const DecodedCommand& c) {
    if (finished) {
        return;
    }
    if (own) {
        own->OnCommand(c);
    }
    const auto type = static_cast<CommandType>(c.type);
    if (type == CommandType::MethodInfo) {
        NameFunction(c);
    } else if (type == CommandType::ProcessType) {
        const uint32_t run = matcher->CurrentRun(c.pid);
        if (run != UINT32_MAX) {
            if (runTexts.size() <= run) {
                runTexts.resize(run + 1);
            }
            runTexts[run].runtime = c.runtime.substr(0, 256);
            runTexts[run].host = c.host.substr(0, 256);
        }
    }
}

void ViewerRecorder::NameFunction(const DecodedCommand& c) {
    const uint32_t run = matcher->CurrentRun(c.pid);
    if (run == UINT32_MAX) {
        return;
    }
    std::string name = c.className + "::" + c.methodName;
    CutUtf8(name, limits.nameBytes);
    const uint32_t frame = InternFrame(name);
    const uint64_t key = Pair(run, c.functionId);
    if (frame == UnknownFrame) {
        return;
    }
    auto it = functionFrames.find(key);
    if (it != functionFrames.end()) {
        it->second = frame;
    } else if (functionFrames.size() < limits.functionIds) {
        functionFrames.emplace(key, frame);
    }
    frameCache[(key * 0x9E3779B97F4A7C15ULL) >> 52] = {};
}

void ViewerRecorder::ThreadAdded(uint32_t thread) {
    const auto& t = matcher->Threads()[thread];
    if (threads.size() <= thread) {
        threads.resize(thread + 1);
    }
    threads[thread].run = t.run;
    threads[thread].tid = t.tid;
}

void ViewerRecorder::NotTracked(uint32_t thread) {
    ++threads[thread].calls;
    ++stats.tooDeep;
}

void ViewerRecorder::Begun(const MatchedCall& call, const DecodedCommand& c) {
    Thread& t = threads[call.thread];
    ++t.calls;
    if (openFrames >= limits.openFrames) {
        ++stats.tooDeep;
        // Nothing of it is kept; an exception raised inside belongs to the nearest kept frame.
        t.stack.push_back({t.stack.empty() ? NoFrame : t.stack.back().frame, NoNode, false, {}});
        return;
    }
    const uint32_t frame = FrameOf(call.run, call.functionId);
    if (frame == UnknownFrame) {
        ++stats.framesNotKept;
    }
    const uint32_t parent = t.stack.empty() ? 0 : t.stack.back().flameNode;
    uint32_t node = NoNode;
    if (parent != NoNode) {
        node = FlameChild(parent, frame);
    }
    if (node == NoNode) {
        ++stats.flameMerged;
    }
    t.stack.push_back({frame, node, true, {}});
    ++openFrames;
    if (!c.args.empty()) {
        FormatArgs(t.stack.back().args, c.args, limits.textBytes);
    }
}

namespace {

uint8_t FlagsOf(CallEnd how) {
    switch (how) {
        case CallEnd::TailCall:
            return ViewerRecorder::TailCall;
        case CallEnd::Unwound:
            return ViewerRecorder::Unwound;
        case CallEnd::NoEndSeen:
            return ViewerRecorder::NoEndSeen;
        case CallEnd::OpenAtEnd:
            return ViewerRecorder::ClosedAtEnd;
        default:
            return 0;
    }
}

}  // namespace

void ViewerRecorder::Closed(const MatchedCall& call, const DecodedCommand* endCommand) {
    Thread& t = threads[call.thread];
    if (call.how == CallEnd::OpenAtEnd) {
        ++stats.closedAtEnd;
    }
    if (call.how == CallEnd::Unwound && t.lastException != UINT32_MAX) {
        ++exceptions[t.lastException].unwound;
    }
    OpenFrame& f = t.stack.back();
    if (!f.recorded) {
        t.stack.pop_back();
        return;
    }
    const int64_t end = std::max(call.end, call.begin);
    const double micros = static_cast<double>(end - call.begin) * Runs()[call.run].microsPerTick;
    ++stats.calls;
    if (f.flameNode != NoNode) {
        flame[f.flameNode].totalMicros += micros;
        ++flame[f.flameNode].count;
    }
    const std::string* value = nullptr;
    if (endCommand != nullptr && endCommand->hasReturnValue && call.how != CallEnd::Unwound) {
        returnText = FormatValue(endCommand->returnValue, limits.textBytes);
        value = &returnText;
    }
    if (!f.args.empty() || (value != nullptr && !value->empty())) {
        Capture(t, f, micros, value);
    }
    const bool fits = calls.size() < limits.keptCalls || (!calls.empty() && micros > calls.front().micros);
    if (fits) {
        Call kept;
        kept.begin = call.begin;
        kept.end = end;
        kept.micros = micros;
        kept.seq = call.seq;
        kept.lastSeq = call.lastSeq;
        kept.thread = call.thread;
        kept.frame = f.frame;
        kept.depth = call.depth;
        kept.flags = FlagsOf(call.how);
        kept.args = std::move(f.args);
        if (value != nullptr) {
            kept.returnValue = *value;
        }
        Keep(std::move(kept));
    } else {
        ++stats.callsNotKept;
        stats.longestLeftOutMicros = std::max(stats.longestLeftOutMicros, micros);
    }
    t.stack.pop_back();
    --openFrames;
}

void ViewerRecorder::Raised(uint32_t thread, uint32_t depth, bool, const DecodedCommand& c) {
    ++stats.exceptions;
    Thread& t = threads[thread];
    if (exceptions.size() >= limits.exceptions) {
        ++stats.exceptionsNotKept;
        t.lastException = UINT32_MAX;
        return;
    }
    ExceptionEntry e;
    e.thread = thread;
    e.ticks = c.ts;
    e.exceptionId = c.exceptionId;
    e.frame = depth == 0 ? NoFrame : t.stack[depth - 1].frame;
    exceptions.push_back(e);
    t.lastException = static_cast<uint32_t>(exceptions.size() - 1);
}

void ViewerRecorder::Detailed(uint32_t thread, const DecodedCommand& c) {
    const Thread& t = threads[thread];
    if (exceptionTable == nullptr || t.lastException == UINT32_MAX) {
        return;
    }
    // The handle now: a later exception at the same address would give the key other details.
    ExceptionEntry& e = exceptions[t.lastException];
    if (e.exceptionId == c.exceptionId && e.details == ExceptionTable::None) {
        e.details = exceptionTable->Find(c.pid, c.exceptionId);
    }
}

void ViewerRecorder::Keep(Call&& call) {
    if (calls.size() < limits.keptCalls) {
        calls.push_back(std::move(call));
        std::push_heap(calls.begin(), calls.end(), Shorter);
        return;
    }
    std::pop_heap(calls.begin(), calls.end(), Shorter);
    ++stats.callsNotKept;
    stats.longestLeftOutMicros = std::max(stats.longestLeftOutMicros, calls.back().micros);
    calls.back() = std::move(call);
    std::push_heap(calls.begin(), calls.end(), Shorter);
}

void ViewerRecorder::Capture(const Thread& t, const OpenFrame& f, double micros, const std::string* returnValue) {
    text.assign(reinterpret_cast<const char*>(&f.frame), sizeof f.frame);
    text += f.args;
    auto it = capturedIndex.find(text);
    if (it == capturedIndex.end()) {
        if (captured.size() >= limits.capturedRows) {
            ++stats.capturedNotKept;
            return;
        }
        CapturedRow row;
        row.frame = f.frame;
        row.args = f.args;
        row.run = t.run;
        if (returnValue != nullptr) {
            row.returnValue = *returnValue;
        }
        captured.push_back(std::move(row));
        it = capturedIndex.emplace(text, static_cast<uint32_t>(captured.size() - 1)).first;
    } else if (returnValue != nullptr && captured[it->second].returnValue != *returnValue) {
        captured[it->second].variousReturns = true;
    }
    CapturedRow& row = captured[it->second];
    ++row.count;
    row.totalMicros += micros;
    row.maxMicros = std::max(row.maxMicros, micros);
}

void ViewerRecorder::Finish() {
    if (finished) {
        return;
    }
    matcher->Finish();
    finished = true;
    std::sort(calls.begin(), calls.end(),
              [](const Call& a, const Call& b) { return a.thread != b.thread ? a.thread < b.thread : a.seq < b.seq; });
}

size_t ViewerRecorder::BytesHeld() const {
    // Node-based maps cost roughly their entry plus two pointers and the bucket.
    constexpr size_t MapEntry = 48;
    size_t bytes = calls.capacity() * sizeof(Call) + flame.capacity() * sizeof(FlameNode) +
                   flameIndex.size() * MapEntry + frames.capacity() * sizeof(std::string) + 2 * frameBytes +
                   frameIndex.size() * (MapEntry + sizeof(std::string)) + functionFrames.size() * MapEntry +
                   captured.capacity() * sizeof(CapturedRow) + capturedIndex.size() * (MapEntry + 64) +
                   exceptions.capacity() * sizeof(ExceptionEntry) + threads.capacity() * sizeof(Thread) +
                   matcher->BytesHeld();
    for (const Call& c : calls) {
        bytes += c.args.capacity() + c.returnValue.capacity();
    }
    for (const CapturedRow& r : captured) {
        bytes += 2 * r.args.capacity() + r.returnValue.capacity();
    }
    for (const Thread& t : threads) {
        bytes += t.stack.capacity() * sizeof(OpenFrame);
    }
    return bytes;
}

}  // namespace QuorixCollect
