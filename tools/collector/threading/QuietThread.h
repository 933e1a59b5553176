#pragma once

#include <signal.h>

#include <thread>
#include <utility>

namespace QuorixCollect {

// Starts a thread with every signal blocked: stop signals are for the main loop.
template <typename Run>
std::thread QuietThread(Run&& run) {
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    std::thread thread(std::forward<Run>(run));
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return thread;
}

}  // namespace QuorixCollect
