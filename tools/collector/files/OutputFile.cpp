#include "files/OutputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace QuorixCollect {

int OpenOutputFile(const std::string& path, std::string& reason) {
    // Not truncated yet: a file refused below keeps its content. Non-blocking, so that a FIFO
    // without a reader fails here instead of hanging.
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        reason = errno == ELOOP ? "it is a symbolic link; refusing to write through it" : strerror(errno);
        return -1;
    }
    struct stat st {};
    const int flags = fcntl(fd, F_GETFL);
    if (fstat(fd, &st) != 0 || flags < 0) {
        reason = strerror(errno);
    } else if (S_ISREG(st.st_mode) && st.st_uid != geteuid()) {
        reason = "it belongs to another user; refusing to write into it";
    } else if (S_ISREG(st.st_mode) && (st.st_mode & 077) != 0 && fchmod(fd, 0600) != 0) {
        reason = strerror(errno);
    } else if (S_ISREG(st.st_mode) && ftruncate(fd, 0) != 0) {
        reason = strerror(errno);
    } else if (fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        reason = strerror(errno);
    } else {
        return fd;
    }
    close(fd);
    return -1;
}

bool WriteTextFile(const std::string& path, const std::string& text, std::string& error) {
    std::string reason;
    const int fd = OpenOutputFile(path, reason);
    if (fd < 0) {
        error = "cannot open '" + path + "': " + reason;
        return false;
    }
    const char* data = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t n = write(fd, data, left);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error = "writing '" + path + "' failed: " + strerror(n < 0 ? errno : EIO);
            close(fd);
            return false;
        }
        data += n;
        left -= static_cast<size_t>(n);
    }
    if (close(fd) != 0) {
        error = "writing '" + path + "' failed: " + strerror(errno);
        return false;
    }
    return true;
}

}  // namespace QuorixCollect
