#include "uplink/SigpipeShield.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <ctime>

namespace {

thread_local bool t_blockedForGood = false;

sigset_t PipeSignalSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    return set;
}

}  // namespace

SigpipeShield::SigpipeShield() {
    if (t_blockedForGood) return;
    const sigset_t pipeSet = PipeSignalSet();
    if (pthread_sigmask(SIG_BLOCK, &pipeSet, &savedMask) != 0) return;
    restoreMask = sigismember(&savedMask, SIGPIPE) == 0;
    if (!restoreMask) {
        // Blocked by someone else: a signal already pending is theirs, not ours to take.
        sigset_t pending;
        sigemptyset(&pending);
        wasPending = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    }
}

SigpipeShield::~SigpipeShield() {
    if (!restoreMask) return;
    pthread_sigmask(SIG_SETMASK, &savedMask, nullptr);
}

void SigpipeShield::ConsumePending() {
    if (wasPending) return;
    const sigset_t pipeSet = PipeSignalSet();
    const timespec zero{0, 0};
    while (sigtimedwait(&pipeSet, nullptr, &zero) < 0 && errno == EINTR) {}
}

void SigpipeShield::BlockOnThisThread() {
    const sigset_t pipeSet = PipeSignalSet();
    if (pthread_sigmask(SIG_BLOCK, &pipeSet, nullptr) == 0) t_blockedForGood = true;
}
