#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "files/BulkFileWriter.h"
#include "jsonlines/JsonSink.h"

namespace QuorixCollect {

// JSON lines go out in large writes straight from the session's buffer. A thread of its own
// does the writing, so that decoding goes on while the kernel copies the previous buffer; when
// it falls behind, Drain() waits for it rather than let the buffers grow, which slows the reading
// of the socket down to what the file takes.
class JsonFile final : public JsonSink {
public:
    struct Options {
        bool direct = true;                    // past the page cache where the file system allows
        std::chrono::milliseconds quiet{100};  // a partial block waits at most this long
    };

    JsonFile() = default;
    explicit JsonFile(const Options& fileOptions) : options(fileOptions) {}
    ~JsonFile() override { Close(); }

    // "-" is standard output; a file is created readable by the owner only.
    bool Open(const std::string& path, std::string& error);
    // Writes to a descriptor opened elsewhere, owned (closed at the end) or not.
    void Attach(int descriptor, bool own);
    // Hands the buffer to the writer, waiting while it still writes the previous one.
    void Drain() override;
    void Close();
    bool Failed() const { return failed; }
    bool Direct() const { return file != nullptr && file->Direct(); }
    // Room the writer may hold beyond the session's buffer: its own buffer and the aligned copy.
    static size_t BufferBytes(size_t drainAt);

private:
    void WriterLoop();
    void Fail(int error);

    Options options;
    int fd = -1;
    bool owned = false;
    std::atomic<bool> failed{false};
    std::unique_ptr<BulkFileWriter> file;
    std::thread writer;
    std::mutex mutex;
    std::condition_variable work;
    std::condition_variable idle;
    std::string writing;
    bool full = false;
    bool stop = false;
};

}  // namespace QuorixCollect
