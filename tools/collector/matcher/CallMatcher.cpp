#include "matcher/CallMatcher.h"

#include <algorithm>

#include "wire/WireFormat.h"

namespace QuorixCollect {

namespace {

uint64_t Pair(uint32_t a, uint32_t b) { return (static_cast<uint64_t>(a) << 32) | b; }

}  // namespace

uint64_t CallMatcher::Run::Nanos(int64_t ticks) const {
    if (ticks <= 0) {
        return 0;
    }
    if (frequency == 1000000) {
        return static_cast<uint64_t>(ticks) * 1000;
    }
    // Split so that the product cannot overflow for any 64-bit time stamp.
    const uint64_t t = static_cast<uint64_t>(ticks);
    return t / frequency * 1000000000u + t % frequency * 1000000000u / frequency;
}

int64_t CallMatcher::Run::DurationMicros(int64_t ticks) const {
    return frequency == 1000000 ? ticks : static_cast<int64_t>(static_cast<double>(ticks) * 1e6 / frequency);
}

template <typename Call>
void CallMatcher::Notify(const Call& call) {
    size_t i = 0;
    while (i < listeners.size()) {
        try {
            for (; i < listeners.size(); ++i) {
                call(*listeners[i]);
            }
        } catch (...) {
            // Only allocation can fail in a listener: that consumer stops, the others go on.
            CallListener* gone = listeners[i];
            listeners.erase(listeners.begin() + static_cast<std::ptrdiff_t>(i));
            gone->Detached();
        }
    }
}

void CallMatcher::RemoveListener(CallListener* listener) {
    listeners.erase(std::remove(listeners.begin(), listeners.end(), listener), listeners.end());
}

void CallMatcher::Seen(Run& run, int64_t ticks) {
    run.firstTicks = std::min(run.firstTicks, ticks);
    run.lastTicks = std::max(run.lastTicks, ticks);
}

uint32_t CallMatcher::FindRun(uint32_t pid, bool starting) {
    auto it = currentRun.find(pid);
    if (it != currentRun.end() && !(starting && runs[it->second].ended)) {
        lastPid = pid;
        lastRun = it->second;
        return it->second;
    }
    if (runs.size() >= limits.maxRuns) {
        return None;
    }
    Run run;
    run.pid = pid;
    run.ordinal = it == currentRun.end() ? 0 : runs[it->second].ordinal + 1;
    runs.push_back(run);
    const auto index = static_cast<uint32_t>(runs.size() - 1);
    currentRun[pid] = index;
    lastPid = pid;
    lastRun = index;
    return index;
}

uint32_t CallMatcher::FindThread(uint32_t run, uint32_t tid) {
    const uint64_t key = Pair(run, tid);
    auto it = threadsByKey.find(key);
    if (it == threadsByKey.end()) {
        if (threads.size() >= limits.maxThreads) {
            ++stats.threadCommands;
            return None;
        }
        Thread t;
        t.run = run;
        t.pid = runs[run].pid;
        t.tid = tid;
        threads.push_back(std::move(t));
        const auto index = static_cast<uint32_t>(threads.size() - 1);
        it = threadsByKey.emplace(key, index).first;
        Notify([&](CallListener& l) { l.ThreadAdded(index); });
    }
    lastThread = it->second;
    return lastThread;
}

void CallMatcher::OnCommand(const DecodedCommand& c) {
    if (finished) {
        return;
    }
    const auto type = static_cast<CommandType>(c.type);
    const uint32_t run = RunOf(c.pid, type == CommandType::ProcessStarted);
    if (run == None) {
        ++stats.processCommands;
        return;
    }
    Run& r = runs[run];
    switch (type) {
        case CommandType::BeginCall:
        case CommandType::EndCall:
        case CommandType::UnwindCall:
        case CommandType::ExceptionRaised: {
            Seen(r, c.ts);
            const uint32_t thread = ThreadOf(run, c.tid);
            if (thread == None) {
                break;
            }
            Thread& t = threads[thread];
            t.lastTicks = std::max(t.lastTicks, c.ts);
            if (type == CommandType::BeginCall) {
                Begin(thread, c);
            } else if (type == CommandType::ExceptionRaised) {
                Notify([&](CallListener& l) { l.Raised(thread, static_cast<uint32_t>(t.depth), t.overflow != 0, c); });
            } else {
                End(thread, c,
                    type == CommandType::UnwindCall ? CallEnd::Unwound
                                                    : (c.tailCall ? CallEnd::TailCall : CallEnd::Returned));
            }
            break;
        }
        case CommandType::ExceptionDetails: {
            // Right after its raise on the same thread, which therefore is known already.
            auto it = threadsByKey.find(Pair(run, c.tid));
            if (it != threadsByKey.end()) {
                const uint32_t thread = it->second;
                Notify([&](CallListener& l) { l.Detailed(thread, c); });
            }
            break;
        }
        case CommandType::ThreadEnded: {
            auto it = threadsByKey.find(Pair(run, c.tid));
            if (it != threadsByKey.end()) {
                Thread& t = threads[it->second];
                CloseThread(it->second, std::max(c.ts, t.lastTicks));
                // The slots go back to the shared bound.
                frames -= std::min(frames, t.frames.size());
                std::vector<Thread::Frame>().swap(t.frames);
                Notify([&](CallListener& l) { l.ThreadEnded(it->second); });
            }
            break;
        }
        case CommandType::ProcessStarted:
            Seen(r, c.ts);
            break;
        case CommandType::ProcessEnded:
            Seen(r, c.ts);
            EndRun(run, c.ts);
            r.ended = true;
            Notify([&](CallListener& l) { l.RunEnded(run); });
            break;
        case CommandType::ProcessFrequency:
            if (c.frequency != 0) {
                r.frequency = c.frequency;
                r.microsPerTick = 1e6 / static_cast<double>(c.frequency);
            }
            break;
        default:
            break;
    }
}

void CallMatcher::Begin(uint32_t thread, const DecodedCommand& c) {
    Thread& t = threads[thread];
    ++t.calls;
    if (t.overflow > 0 || t.depth >= limits.maxDepth || (t.depth == t.frames.size() && frames >= limits.maxFrames)) {
        // Beyond the bound calls are still counted in and out, so nesting below stays right.
        ++t.overflow;
        ++stats.notTracked;
        Notify([&](CallListener& l) { l.NotTracked(thread); });
        return;
    }
    if (t.depth == t.frames.size()) {
        t.frames.emplace_back();
        ++frames;
    }
    ++t.beginSeq;
    ++stats.begins;
    t.frames[t.depth] = {c.functionId, c.ts, t.beginSeq};
    const MatchedCall call = CallAt(thread, t.depth);
    ++t.depth;
    Notify([&](CallListener& l) { l.Begun(call, c); });
}

void CallMatcher::End(uint32_t thread, const DecodedCommand& c, CallEnd how) {
    Thread& t = threads[thread];
    if (t.overflow > 0) {
        --t.overflow;
        return;
    }
    size_t match = SIZE_MAX;
    const size_t floor = t.depth > limits.searchDepth ? t.depth - limits.searchDepth : 0;
    for (size_t k = t.depth; k-- > floor;) {
        if (t.frames[k].functionId == c.functionId) {
            match = k;
            break;
        }
    }
    if (match == SIZE_MAX) {
        ++stats.orphanEnds;
        return;
    }
    while (t.depth - 1 > match) {
        ++stats.missingEnds;
        CloseTop(thread, c.ts, CallEnd::NoEndSeen, nullptr);
    }
    CloseTop(thread, c.ts, how, &c);
}

void CallMatcher::CloseTop(uint32_t thread, int64_t ticks, CallEnd how, const DecodedCommand* end) {
    Thread& t = threads[thread];
    --t.depth;
    MatchedCall call = CallAt(thread, t.depth);
    call.end = ticks;
    call.lastSeq = t.beginSeq;
    call.how = how;
    Notify([&](CallListener& l) { l.Closed(call, end); });
}

MatchedCall CallMatcher::CallAt(uint32_t thread, size_t depth) const {
    const Thread& t = threads[thread];
    const Thread::Frame& f = t.frames[depth];
    MatchedCall call;
    call.thread = thread;
    call.run = t.run;
    call.pid = t.pid;
    call.tid = t.tid;
    call.depth = static_cast<uint32_t>(depth);
    call.functionId = f.functionId;
    call.begin = f.begin;
    call.seq = f.seq;
    return call;
}

void CallMatcher::CloseThread(uint32_t thread, int64_t ticks) {
    Thread& t = threads[thread];
    stats.openAtEnd += t.depth;
    while (t.depth > 0) {
        CloseTop(thread, ticks, CallEnd::OpenAtEnd, nullptr);
    }
    t.overflow = 0;
}

void CallMatcher::EndRun(uint32_t run, int64_t ticks) {
    for (uint32_t i = 0; i < threads.size(); ++i) {
        if (threads[i].run == run && threads[i].depth + threads[i].overflow != 0) {
            CloseThread(i, std::max(ticks, threads[i].lastTicks));
        }
    }
}

void CallMatcher::Finish() {
    if (finished) {
        return;
    }
    for (uint32_t run = 0; run < runs.size(); ++run) {
        if (!runs[run].ended && runs[run].lastTicks != INT64_MIN) {
            EndRun(run, runs[run].lastTicks);
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
}

}  // namespace QuorixCollect
