#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace QuorixCollect {

// How a frame was closed.
enum class FrameEnd : uint8_t {
    Open,       // no end seen (yet)
    Returned,   // end-call
    TailCall,   // end-call marked as tail call
    Unwound,    // unwind-call: left by an exception
    MissingEnd, // closed because an outer frame ended first
};

struct CallNode {
    enum class Kind : uint8_t { Root, Call, Exception };
    Kind kind = Kind::Root;
    FrameEnd end = FrameEnd::Open;
    uint32_t functionId = 0;
    int64_t begin = 0;
    int64_t finish = 0;
    uint64_t exceptionId = 0;
    std::string args;        // already formatted
    std::string returnValue; // already formatted
    std::vector<uint32_t> children;
};

// The calls of one thread, rebuilt from begin/end pairs. Node 0 is the root.
struct ThreadTree {
    uint32_t pid = 0;
    uint32_t tid = 0;
    std::vector<CallNode> nodes;
    struct OpenFrame {
        uint32_t functionId;
        int64_t node; // -1 when the node was not kept (node limit reached)
    };
    std::vector<OpenFrame> stack;
    uint64_t calls = 0;
    size_t maxDepth = 0;
};

// Rebuilds per-thread call trees. Memory is bounded: beyond the node limit calls are still
// matched (so nesting stays right) but no longer stored.
class CallTreeBuilder {
public:
    struct Limits {
        size_t maxNodes = 250000;
        size_t maxThreads = 4096;
        size_t maxStackDepth = 100000;
        size_t searchDepth = 256; // how far below the top an end is matched to its begin
    };
    struct Stats {
        uint64_t orphanEnds = 0;    // end or unwind without a matching begin
        uint64_t missingEnds = 0;   // frames closed because an outer frame ended
        uint64_t droppedNodes = 0;  // calls or exceptions not stored (limits)
        uint64_t droppedThreads = 0;
    };
    struct RenderOptions {
        size_t maxLines = 400; // 0: no limit
        size_t maxDepth = 40;
        std::function<std::string(uint32_t pid, uint32_t functionId)> functionName;
        std::function<double(uint32_t pid)> microsPerTick; // null: time stamps are microseconds
    };

    CallTreeBuilder();
    explicit CallTreeBuilder(const Limits& limits);

    void Begin(uint32_t pid, uint32_t tid, int64_t ts, uint32_t functionId, std::string args);
    void End(uint32_t pid, uint32_t tid, int64_t ts, uint32_t functionId, bool tailCall, std::string returnValue);
    void Unwind(uint32_t pid, uint32_t tid, int64_t ts, uint32_t functionId);
    void Exception(uint32_t pid, uint32_t tid, int64_t ts, uint64_t exceptionId);

    const Stats& GetStats() const { return stats_; }
    const ThreadTree* FindThread(uint32_t pid, uint32_t tid) const;
    size_t ThreadCount() const { return threads_.size(); }

    std::string Render(const RenderOptions& options) const;

private:
    ThreadTree* Thread(uint32_t pid, uint32_t tid);
    int64_t AddNode(ThreadTree& thread, CallNode node);
    void Close(ThreadTree& thread, int64_t ts, uint32_t functionId, FrameEnd how, std::string returnValue);

    Limits limits_;
    Stats stats_;
    size_t nodeCount_ = 0;
    std::vector<std::unique_ptr<ThreadTree>> threads_;
    std::unordered_map<uint64_t, size_t> index_;
};

} // namespace QuorixCollect
