#include "ViewerRecorder.h"

#include <algorithm>
#include <cmath>

#include "ValueRecord.h"
#include "WireFormat.h"

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

ViewerRecorder::ViewerRecorder(const Limits& bounds) : limits(bounds) {
    frames.emplace_back("[function not kept]");
    flame.emplace_back();
    flame[0].frame = NoFrame;
}

void ViewerRecorder::Seen(Run& run, int64_t ticks) {
    run.firstTicks = std::min(run.firstTicks, ticks);
    run.lastTicks = std::max(run.lastTicks, ticks);
}

uint32_t ViewerRecorder::RunOf(uint32_t pid, bool starting) {
    auto it = currentRun.find(pid);
    if (it != currentRun.end() && !(starting && runs[it->second].ended)) {
        return it->second;
    }
    if (runs.size() >= limits.threads) {
        return UINT32_MAX;
    }
    Run run;
    run.pid = pid;
    run.ordinal = it == currentRun.end() ? 0 : runs[it->second].ordinal + 1;
    runs.push_back(run);
    const auto index = static_cast<uint32_t>(runs.size() - 1);
    currentRun[pid] = index;
    return index;
}

ViewerRecorder::Thread* ViewerRecorder::ThreadOf(uint32_t run, uint32_t tid, uint32_t& index) {
    if (lastThread != UINT32_MAX && threads[lastThread].tid == tid && threads[lastThread].run == run) {
        index = lastThread;
        return &threads[index];
    }
    const uint64_t key = Pair(run, tid);
    auto it = threadsByKey.find(key);
    if (it == threadsByKey.end()) {
        if (threads.size() >= limits.threads) {
            ++stats.threadsNotKept;
            return nullptr;
        }
        threads.emplace_back();
        threads.back().run = run;
        threads.back().tid = tid;
        it = threadsByKey.emplace(key, static_cast<uint32_t>(threads.size() - 1)).first;
    }
    index = lastThread = it->second;
    return &threads[index];
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
    const auto type = static_cast<CommandType>(c.type);
    const uint32_t run = RunOf(c.pid, type == CommandType::ProcessStarted);
    if (run == UINT32_MAX) {
        return;
    }
    Run& r = runs[run];
    uint32_t threadIndex = 0;
    switch (type) {
        case CommandType::BeginCall:
            Seen(r, c.ts);
            Begin(c, run);
            break;
        case CommandType::EndCall:
            Seen(r, c.ts);
            if (ThreadOf(run, c.tid, threadIndex) != nullptr) {
                const std::string* value = nullptr;
                if (c.hasReturnValue) {
                    returnText = FormatValue(c.returnValue, limits.textBytes);
                    value = &returnText;
                }
                Close(threadIndex, c.ts, c.functionId, c.tailCall ? TailCall : 0, value);
            }
            break;
        case CommandType::UnwindCall:
            Seen(r, c.ts);
            if (Thread* t = ThreadOf(run, c.tid, threadIndex)) {
                if (t->lastException != UINT32_MAX) {
                    ++exceptions[t->lastException].unwound;
                }
                Close(threadIndex, c.ts, c.functionId, Unwound, nullptr);
            }
            break;
        case CommandType::ExceptionRaised:
            Seen(r, c.ts);
            ++stats.exceptions;
            if (Thread* t = ThreadOf(run, c.tid, threadIndex)) {
                if (exceptions.size() >= limits.exceptions) {
                    ++stats.exceptionsNotKept;
                    t->lastException = UINT32_MAX;
                    break;
                }
                ExceptionEntry e;
                e.thread = threadIndex;
                e.ticks = c.ts;
                e.exceptionId = c.exceptionId;
                e.frame = t->stack.empty() ? NoFrame : t->stack.back().frame;
                exceptions.push_back(e);
                t->lastException = static_cast<uint32_t>(exceptions.size() - 1);
            }
            break;
        case CommandType::MethodInfo: {
            std::string name = c.className + "::" + c.methodName;
            CutUtf8(name, limits.nameBytes);
            const uint32_t frame = InternFrame(name);
            const uint64_t key = Pair(run, c.functionId);
            if (frame == UnknownFrame) {
                break;
            }
            auto it = functionFrames.find(key);
            if (it != functionFrames.end()) {
                it->second = frame;
            } else if (functionFrames.size() < limits.functionIds) {
                functionFrames.emplace(key, frame);
            }
            frameCache[(key * 0x9E3779B97F4A7C15ULL) >> 52] = {};
            break;
        }
        case CommandType::ProcessStarted:
            Seen(r, c.ts);
            break;
        case CommandType::ProcessFrequency:
            if (c.frequency != 0) {
                r.microsPerTick = 1e6 / static_cast<double>(c.frequency);
            }
            break;
        case CommandType::ProcessType:
            r.runtime = c.runtime.substr(0, 256);
            r.host = c.host.substr(0, 256);
            break;
        case CommandType::ProcessEnded:
            Seen(r, c.ts);
            CloseAll(run, c.ts);
            r.ended = true;
            break;
        default:
            break;
    }
}

void ViewerRecorder::Begin(const DecodedCommand& c, uint32_t run) {
    uint32_t threadIndex = 0;
    Thread* t = ThreadOf(run, c.tid, threadIndex);
    if (t == nullptr) {
        return;
    }
    ++t->calls;
    if (t->stack.size() >= limits.stackDepth || openFrames >= limits.openFrames) {
        ++stats.tooDeep;
        return;
    }
    ++t->beginSeq;
    const uint32_t frame = FrameOf(run, c.functionId);
    if (frame == UnknownFrame) {
        ++stats.framesNotKept;
    }
    const uint32_t parent = t->stack.empty() ? 0 : t->stack.back().flameNode;
    uint32_t node = NoNode;
    if (parent != NoNode) {
        node = FlameChild(parent, frame);
    }
    if (node == NoNode) {
        ++stats.flameMerged;
    }
    t->stack.push_back({c.functionId, frame, node, c.ts, t->beginSeq, {}});
    ++openFrames;
    if (!c.args.empty()) {
        FormatArgs(t->stack.back().args, c.args, limits.textBytes);
    }
}

void ViewerRecorder::Close(uint32_t threadIndex, int64_t ticks, uint32_t functionId, uint8_t how,
                           const std::string* returnValue) {
    Thread& t = threads[threadIndex];
    const size_t size = t.stack.size();
    size_t found = size;
    const size_t lowest = size > limits.searchDepth ? size - limits.searchDepth : 0;
    for (size_t i = size; i > lowest; --i) {
        if (t.stack[i - 1].functionId == functionId) {
            found = i - 1;
            break;
        }
    }
    if (found == size) {
        ++stats.orphanEnds;
        return;
    }
    const double microsPerTick = runs[t.run].microsPerTick;
    while (t.stack.size() > found) {
        OpenFrame& f = t.stack.back();
        const bool target = t.stack.size() == found + 1;
        const int64_t end = std::max(ticks, f.begin);
        const double micros = static_cast<double>(end - f.begin) * microsPerTick;
        ++stats.calls;
        if (f.flameNode != NoNode) {
            flame[f.flameNode].totalMicros += micros;
            ++flame[f.flameNode].count;
        }
        const std::string* value = target ? returnValue : nullptr;
        if (!f.args.empty() || (value != nullptr && !value->empty())) {
            Capture(t, f, micros, value);
        }
        const bool fits = calls.size() < limits.keptCalls || (!calls.empty() && micros > calls.front().micros);
        if (fits) {
            Call call;
            call.begin = f.begin;
            call.end = end;
            call.micros = micros;
            call.seq = f.seq;
            call.lastSeq = t.beginSeq;
            call.thread = threadIndex;
            call.frame = f.frame;
            call.depth = static_cast<uint32_t>(t.stack.size() - 1);
            call.flags = target ? how : static_cast<uint8_t>(NoEndSeen | (how & ClosedAtEnd));
            call.args = std::move(f.args);
            if (value != nullptr) {
                call.returnValue = *value;
            }
            Keep(std::move(call));
        } else {
            ++stats.callsNotKept;
            stats.longestLeftOutMicros = std::max(stats.longestLeftOutMicros, micros);
        }
        t.stack.pop_back();
        --openFrames;
    }
}

void ViewerRecorder::CloseAll(uint32_t run, int64_t ticks) {
    for (uint32_t i = 0; i < threads.size(); ++i) {
        Thread& t = threads[i];
        if (t.run != run) {
            continue;
        }
        // From the top, so that each frame is closed as itself and marked.
        while (!t.stack.empty()) {
            ++stats.closedAtEnd;
            Close(i, ticks, t.stack.back().functionId, ClosedAtEnd, nullptr);
        }
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
    for (uint32_t run = 0; run < runs.size(); ++run) {
        if (!runs[run].ended && runs[run].lastTicks != INT64_MIN) {
            CloseAll(run, runs[run].lastTicks);
        }
    }
    finished = true;
    bool any = false;
    for (const Run& r : runs) {
        if (r.firstTicks == INT64_MAX) {
            continue;
        }
        const double first = static_cast<double>(r.firstTicks) * r.microsPerTick;
        origin = any ? std::min(origin, first) : first;
        any = true;
    }
    std::sort(calls.begin(), calls.end(),
              [](const Call& a, const Call& b) { return a.thread != b.thread ? a.thread < b.thread : a.seq < b.seq; });
}

double ViewerRecorder::Micros(uint32_t run, int64_t ticks) const {
    return static_cast<double>(ticks) * runs[run].microsPerTick - origin;
}

size_t ViewerRecorder::BytesHeld() const {
    // Node-based maps cost roughly their entry plus two pointers and the bucket.
    constexpr size_t MapEntry = 48;
    size_t bytes = calls.capacity() * sizeof(Call) + flame.capacity() * sizeof(FlameNode) +
                   flameIndex.size() * MapEntry + frames.capacity() * sizeof(std::string) + 2 * frameBytes +
                   frameIndex.size() * (MapEntry + sizeof(std::string)) + functionFrames.size() * MapEntry +
                   captured.capacity() * sizeof(CapturedRow) + capturedIndex.size() * (MapEntry + 64) +
                   exceptions.capacity() * sizeof(ExceptionEntry) + threads.capacity() * sizeof(Thread);
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
