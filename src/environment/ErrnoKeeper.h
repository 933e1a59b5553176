#pragma once

#include <cerrno>

// Managed code may read errno (a P/Invoke's last error) right after a hook or probe returns, so
// whatever the agent does in between must leave it as it was.
class ErrnoKeeper {
public:
    ErrnoKeeper() : saved(errno) {}
    ~ErrnoKeeper() { errno = saved; }
    ErrnoKeeper(const ErrnoKeeper&) = delete;
    ErrnoKeeper& operator=(const ErrnoKeeper&) = delete;

private:
    int saved;
};
