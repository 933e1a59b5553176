#include "profiler/HookThread.h"

#include <pthread.h>

#include <new>

#include "environment/SystemContext.h"
#include "threads/ThreadContext.h"
#include "uplink/RelayWorker.h"
#include "uplink/ThreadBuffer.h"

extern RelayWorker* g_Relay;

namespace {

thread_local HookThread* t_current = nullptr;

// The key exists only for its destructor: it runs when the thread ends, which a plain
// thread_local pointer cannot notice.
void ReleaseAtThreadExit(void* value) {
    auto* state = static_cast<HookThread*>(value);
    if (state == nullptr) return;
    if (state->buffer != nullptr) state->buffer->Retire();
    if (t_current == state) t_current = nullptr;
    delete state;
}

pthread_key_t ExitKey() {
    static pthread_key_t key = [] {
        pthread_key_t made{};
        pthread_key_create(&made, &ReleaseAtThreadExit);
        return made;
    }();
    return key;
}

}  // namespace

HookThread* HookThread::Current() noexcept {
    if (t_current != nullptr) return t_current;
    auto* state = new (std::nothrow) HookThread();
    if (state == nullptr) return nullptr;
    state->profilingThreadId = static_cast<uint64_t>(SystemContext::GetProfilingThreadId());
    try {
        state->buffer = new ThreadBuffer();
    } catch (...) {
        state->buffer = nullptr;
    }
    if (state->buffer != nullptr) {
        RelayWorker* relay = g_Relay;
        if (relay != nullptr) {
            relay->Register(state->buffer);
        } else {
            delete state->buffer;
            state->buffer = nullptr;
        }
    }
    pthread_setspecific(ExitKey(), state);
    t_current = state;
    return state;
}

HookThread* HookThread::Peek() noexcept { return t_current; }
