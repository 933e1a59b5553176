#include "profiler/HookThread.h"

#include <pthread.h>

#include <new>

#include "environment/SystemContext.h"
#include "threads/ThreadContext.h"
#include "uplink/RelayWorker.h"
#include "uplink/ThreadBuffer.h"

extern RelayWorker* g_Relay;

thread_local HookThread* HookThread::current = nullptr;

void HookThread::ReleaseAtThreadExit(void* value) {
    auto* state = static_cast<HookThread*>(value);
    if (state == nullptr) return;
    if (state->buffer != nullptr) state->buffer->Retire();
    if (current == state) current = nullptr;
    delete state;
}

namespace {

// The key exists only for its destructor: it runs when the thread ends, which a plain
// thread_local pointer cannot notice.
pthread_key_t ExitKey(void (*release)(void*)) {
    static pthread_key_t key = [release] {
        pthread_key_t made{};
        pthread_key_create(&made, release);
        return made;
    }();
    return key;
}

}  // namespace

HookThread* HookThread::MakeCurrent() noexcept {
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
    pthread_setspecific(ExitKey(&ReleaseAtThreadExit), state);
    current = state;
    return state;
}
