#pragma once

#include <csignal>

// Keeps a broken-pipe signal raised by a write of this thread from reaching the host's
// handler (or killing the process at the default disposition), whatever the host set up.
class SigpipeShield {
public:
    SigpipeShield();
    ~SigpipeShield();

    SigpipeShield(const SigpipeShield&) = delete;
    SigpipeShield& operator=(const SigpipeShield&) = delete;

    // Call after a write failed with EPIPE: takes the signal that write left pending.
    void ConsumePending();

    // Blocks the signal for the rest of the calling thread's life; for threads the agent owns.
    static void BlockOnThisThread();

private:
    bool restoreMask = false;
    bool wasPending = false;
    sigset_t savedMask;
};
