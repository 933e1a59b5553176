#include "mapping/UserOverridesFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace {

class FileDescriptor {
public:
    explicit FileDescriptor(int descriptor) : fd(descriptor) {}
    ~FileDescriptor() {
        if (fd >= 0) ::close(fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int Get() const { return fd; }

private:
    int fd;
};

void AddLine(UserOverridesFile::Contents& contents, const char* begin, const char* end) {
    if (end != begin && end[-1] == '\r') --end;
    const size_t length = static_cast<size_t>(end - begin);
    if (length > UserOverridesFile::MaxLineBytes) {
        ++contents.longLinesSkipped;
        return;
    }
    contents.lines.emplace_back(begin, length);
}

}  // namespace

UserOverridesFile::Contents UserOverridesFile::Read(const char* path) {
    Contents contents;
    if (path == nullptr) {
        contents.error = EINVAL;
        return contents;
    }
    // Non-blocking so that opening a FIFO returns at once; the type check below then refuses it.
    FileDescriptor file(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (file.Get() < 0) {
        contents.error = errno;
        return contents;
    }
    struct stat info {};
    if (::fstat(file.Get(), &info) != 0) {
        contents.error = errno;
        return contents;
    }
    if (!S_ISREG(info.st_mode)) {
        contents.status = Status::NotRegularFile;
        return contents;
    }
    contents.status = Status::Read;

    // One byte beyond the cap tells a file of exactly MaxFileBytes from a longer one.
    std::string data;
    std::string chunk(64u << 10, '\0');
    while (data.size() <= MaxFileBytes) {
        const size_t wanted = std::min(chunk.size(), MaxFileBytes + 1 - data.size());
        const ssize_t count = ::read(file.Get(), chunk.data(), wanted);
        if (count > 0) {
            data.append(chunk.data(), static_cast<size_t>(count));
        } else if (count == 0) {
            break;
        } else if (errno != EINTR) {
            contents.error = errno;
            contents.readFailed = true;
            break;
        }
    }
    size_t size = data.size();
    if (size > MaxFileBytes) {
        contents.truncated = true;
        size = MaxFileBytes;
    }

    const char* begin = data.data();
    const char* const end = data.data() + size;
    for (const char* cursor = begin; cursor != end; ++cursor) {
        if (*cursor != '\n') continue;
        AddLine(contents, begin, cursor);
        begin = cursor + 1;
    }
    // A last line without a line end counts, unless the cap or a failed read may have cut it.
    if (begin != end && !contents.truncated && !contents.readFailed) AddLine(contents, begin, end);
    return contents;
}
