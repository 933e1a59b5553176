#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "jsonlines/JsonSink.h"

namespace QuorixCollect {

// JSON lines go out in large writes straight from the session's buffer. A thread of its own
// does the writing, so that decoding goes on while the kernel copies the previous buffer.
class JsonFile final : public JsonSink {
public:
    ~JsonFile() override { Close(); }

    // "-" is standard output; a file is created readable by the owner only.
    bool Open(const std::string& path, std::string& error);
    // Hands the buffer to the writer, waiting while it still writes the previous one.
    void Drain() override;
    void Close();
    bool Failed() const { return failed; }

private:
    void WriterLoop();
    void WriteOut(const std::string& text);
    void Fail(int error);

    int fd = -1;
    bool owned = false;
    std::atomic<bool> failed{false};
    std::thread writer;
    std::mutex mutex;
    std::condition_variable work;
    std::condition_variable idle;
    std::string writing;
    bool full = false;
    bool stop = false;
};

}  // namespace QuorixCollect
