#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "files/BulkFileWriter.h"
#include "jsonlines/JsonSink.h"

namespace QuorixCollect {

struct JsonFileOptions {
    bool direct = true;                    // past the page cache where the file system allows
    std::chrono::milliseconds quiet{100};  // a partial block waits at most this long
    // Buffers handed over and not yet written: a few, so that a short stall of the disk does
    // not stop the reading at once.
    size_t inFlight = 4;
};

// JSON lines go out in large writes straight from the session's buffer. A thread of its own
// does the writing, so that decoding goes on while earlier buffers are written; when
// it falls behind, Drain() waits for it rather than let the buffers grow, which slows the reading
// of the socket down to what the file takes.
class JsonFile final : public JsonSink {
public:
    using Options = JsonFileOptions;

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
    // Room the JSON output may take: the session's buffer, those in flight and the aligned copy.
    static size_t BufferBytes(size_t drainAt, const Options& options = Options());

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
    std::deque<std::string> pending;  // oldest first
    std::vector<std::string> spare;   // written buffers, kept for their capacity
    bool stop = false;
};

}  // namespace QuorixCollect
