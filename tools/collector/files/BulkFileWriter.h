#pragma once

#include <sys/types.h>

#include <cstddef>

namespace QuorixCollect {

// Appends a stream to a descriptor in large writes. A regular file is written past the page
// cache (direct I/O) where its file system allows: copying hundreds of megabytes a second into
// the cache costs the kernel more processor time than formatting them cost us, and the machine
// is shared with the profiled app. Direct writes must cover whole aligned blocks, so the last
// partial block is kept and written again with what follows; it also goes out through the cache
// when a write is small (a quiet moment) or on Flush(), so the file is never short for long.
class BulkFileWriter {
public:
    static constexpr size_t Block = 4096;

    // Does not own `fd`. `stageBytes` bounds the aligned copy that direct writes go through.
    BulkFileWriter(int fd, bool tryDirect, size_t stageBytes);
    ~BulkFileWriter();
    BulkFileWriter(const BulkFileWriter&) = delete;
    BulkFileWriter& operator=(const BulkFileWriter&) = delete;

    // 0, or the error that stopped the write.
    int Write(const char* data, size_t size);
    // Writes the kept partial block through the cache; 0 or the error.
    int Flush();
    bool Direct() const { return direct; }
    bool TailPending() const { return tailPending; }

private:
    int WriteStaged(size_t size);
    int FallBack();
    int PlainWrite(const char* data, size_t size);
    int SetDirect(bool on);

    int fd;
    bool direct = false;
    char* stage = nullptr;
    size_t stageBytes = 0;
    size_t kept = 0;           // bytes of the partial block at the start of `stage`
    off_t blockStart = 0;      // file offset of stage[0]
    bool tailPending = false;  // `kept` bytes not yet in the file
};

}  // namespace QuorixCollect
