#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "inspection/VariableInfo.h"
#include "platform/ProfilerTypes.h"

class ThreadBuffer;
class ThreadContext;

// What the call hooks keep per operating-system thread, reached through thread-local storage:
// the thread's buffer of serialised commands and its binding to the thread's context. Made on
// the thread's first hook; at thread exit its buffer is retired (the relay frees it once sent).
struct HookThread {
    ThreadBuffer* buffer = nullptr;  // null when none could be made: commands then take the queue
    uint64_t profilingThreadId = 0;  // low 32 bits of pthread_self, sign-extended
    // The context this thread's calls consult; kept alive here even after the map let it go.
    std::shared_ptr<ThreadContext> context;
    uint64_t contextGeneration = UINT64_MAX;  // generation of the map the binding was made in
    ThreadID managedThreadId = 0;
    // Storage that monitored calls reuse, so that capturing values allocates nothing once the
    // thread has seen its largest call.
    std::vector<VariableInfo> arguments;
    std::vector<uint8_t> encoded;
    std::unique_ptr<VariableInfo> returned;

    // The calling thread's state, made on first use; null only when memory ran out.
    static HookThread* Current() noexcept {
        HookThread* state = current;
        return state != nullptr ? state : MakeCurrent();
    }
    // For tests: the calling thread's state without making one.
    static HookThread* Peek() noexcept { return current; }

private:
    static HookThread* MakeCurrent() noexcept;
    static void ReleaseAtThreadExit(void* value);
    static thread_local HookThread* current;
};
