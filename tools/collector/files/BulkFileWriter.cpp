#include "files/BulkFileWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace QuorixCollect {

namespace {

int PositionalWrite(int fd, const char* data, size_t size, off_t offset, size_t& written) {
    written = 0;
    while (written < size) {
        const ssize_t n = pwrite(fd, data + written, size - written, offset + static_cast<off_t>(written));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n < 0 ? errno : EIO;
        }
        written += static_cast<size_t>(n);
    }
    return 0;
}

}  // namespace

BulkFileWriter::BulkFileWriter(int descriptor, bool tryDirect, size_t bytes) : fd(descriptor) {
    struct stat st {};
    const int flags = fcntl(fd, F_GETFL);
    // Positional writes would ignore their offset in append mode.
    if (!tryDirect || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || flags < 0 || (flags & O_APPEND) != 0) {
        return;
    }
    const off_t at = lseek(fd, 0, SEEK_CUR);
    if (at < 0 || at % static_cast<off_t>(Block) != 0) {
        return;
    }
    stageBytes = (bytes + Block - 1) / Block * Block + Block;
    void* memory = nullptr;
    if (posix_memalign(&memory, Block, stageBytes) != 0) {
        stageBytes = 0;
        return;
    }
    stage = static_cast<char*>(memory);
    blockStart = at;
    // A file system without direct I/O refuses the flag (tmpfs) or the first write (EINVAL).
    direct = SetDirect(true) == 0;
}

BulkFileWriter::~BulkFileWriter() { free(stage); }

int BulkFileWriter::SetDirect(bool on) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0) {
        return errno;
    }
    return fcntl(fd, F_SETFL, on ? (flags | O_DIRECT) : (flags & ~O_DIRECT)) == 0 ? 0 : errno;
}

int BulkFileWriter::PlainWrite(const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n < 0 ? errno : EIO;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

int BulkFileWriter::Write(const char* data, size_t size) {
    if (!direct) {
        return PlainWrite(data, size);
    }
    const bool small = size < stageBytes / 4;
    while (size > 0) {
        const size_t piece = std::min(size, stageBytes - kept);
        memcpy(stage + kept, data, piece);
        data += piece;
        size -= piece;
        if (const int error = WriteStaged(kept + piece); error != 0) {
            return error;
        }
        if (!direct) {
            return PlainWrite(data, size);
        }
    }
    // Under load the next write follows at once and carries the partial block; in a quiet moment
    // it goes out now.
    return small ? Flush() : 0;
}

int BulkFileWriter::WriteStaged(size_t size) {
    const size_t whole = size / Block * Block;
    size_t written = 0;
    const int error = whole == 0 ? 0 : PositionalWrite(fd, stage, whole, blockStart, written);
    if (error == EINVAL || (error == 0 && written != whole)) {
        // Direct I/O not taken after all: the staged bytes go out through the cache.
        kept = size;
        return FallBack();
    }
    if (error != 0) {
        return error;
    }
    kept = size - whole;
    memmove(stage, stage + whole, kept);
    blockStart += static_cast<off_t>(whole);
    tailPending = kept != 0;
    return 0;
}

int BulkFileWriter::Flush() {
    if (!direct || !tailPending) {
        return 0;
    }
    // The same bytes are written again, directly, once the block fills; the kernel writes the
    // cached page back before a direct write over it, so the file stays as appended.
    if (const int error = SetDirect(false); error != 0) {
        return error;
    }
    size_t written = 0;
    const int error = PositionalWrite(fd, stage, kept, blockStart, written);
    if (const int again = SetDirect(true); error == 0 && again != 0) {
        return again;
    }
    tailPending = error != 0;
    return error;
}

int BulkFileWriter::FallBack() {
    direct = false;
    tailPending = false;
    if (const int error = SetDirect(false); error != 0) {
        return error;
    }
    if (lseek(fd, blockStart, SEEK_SET) < 0) {
        return errno;
    }
    const int error = PlainWrite(stage, kept);
    kept = 0;
    return error;
}

}  // namespace QuorixCollect
