#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "matcher/CallMatcher.h"
#include "memory/MemoryBudget.h"
#include "wire/WireFormat.h"

namespace QuorixCollect {

// One entry of a thread's call tree: every call of the same function, with the same arguments,
// from the same place in the tree (or every raise of the same exception there). Loops and
// repeated requests therefore cost one entry, however many calls they make.
struct CallNode {
    enum class Kind : uint8_t { Root, Call, Exception };

    uint64_t id = 0;           // function id, or exception id
    uint64_t count = 0;        // calls begun (exceptions raised)
    uint64_t returned = 0;     // ended by an end-call
    uint64_t tailCalls = 0;    // ended by an end-call marked as tail call
    uint64_t unwound = 0;      // left by an exception
    uint64_t missingEnds = 0;  // closed because an outer frame ended first
    int64_t totalTicks = 0;    // summed duration of the calls that ended
    uint32_t parent = 0;
    uint32_t firstChild = 0;  // 0: none (node 0 is never anyone's child)
    uint32_t lastChild = 0;
    uint32_t nextSibling = 0;
    uint32_t lastHit = 0;      // child entered last, tried first (loops)
    uint32_t args = 0;         // text id, 0: no arguments
    uint32_t returnValue = 0;  // text id of the return value, 0: none
    Kind kind = Kind::Root;
    bool returnSeen = false;
    bool badClock = false;  // an end came before its begin

    uint64_t Ended() const { return returned + tailCalls + unwound + missingEnds; }
    uint64_t Open() const { return count - Ended(); }
};

// The calls of one thread (of every run of its pid), as the matcher nests them.
struct ThreadTree {
    uint32_t pid = 0;
    uint32_t tid = 0;
    uint32_t root = 0;
    struct OpenFrame {
        uint32_t functionId;
        uint32_t node;  // NotKept when the call has no entry (limits)
        int64_t begin;
    };
    std::vector<OpenFrame> stack;  // one per open call the tree could keep a frame for
    uint64_t calls = 0;
    size_t maxDepth = 0;
    uint64_t openAtEnd = 0;  // calls still open when their thread or process ended
};

// Per-thread call trees, aggregated, from the calls the matcher nests. Memory is bounded in bytes
// and in entries: beyond the bound calls are still matched (so nesting stays right) and counted,
// but calls that would need a new entry are not stored.
class CallTreeBuilder final : public CallListener, private MatcherOwner {
public:
    static constexpr uint32_t NotKept = UINT32_MAX;
    // Text ids with a fixed meaning.
    static constexpr uint32_t TextNotKept = UINT32_MAX - 1;
    static constexpr uint32_t TextVarious = UINT32_MAX - 2;

    struct Limits {
        size_t maxBytes = SIZE_MAX;
        size_t maxNodes = 50000000;
        size_t maxThreads = 4096;
        // The depth the tree's own matcher tracks, when it has one (see the constructors).
        size_t maxStackDepth = CallMatcher::Limits{}.maxDepth;
        size_t maxArgumentVariants = 32;  // distinct argument texts per function and place
    };
    struct Stats {
        uint64_t orphanEnds = 0;      // end or unwind without a matching begin (the matcher's)
        uint64_t missingEnds = 0;     // frames closed because an outer frame ended (the matcher's)
        uint64_t droppedNodes = 0;    // calls or exceptions not stored (limits)
        uint64_t droppedThreads = 0;  // commands of threads beyond the limit
        uint64_t valuesNotKept = 0;   // argument or return texts not stored (memory bound)
    };
    struct RenderOptions {
        size_t maxLines = 400;  // 0: no limit
        size_t maxDepth = 40;
        std::function<std::string(uint32_t pid, uint32_t functionId)> functionName;
        // The type and message of an exception, shown after its id; empty: none known.
        std::function<std::string(uint32_t pid, uint64_t exceptionId)> exceptionText;
        std::function<double(uint32_t pid)> microsPerTick;  // null: time stamps are microseconds
    };

    // A tree with a matcher of its own, fed by Begin/End/Unwind/Exception with ready texts.
    CallTreeBuilder();
    explicit CallTreeBuilder(const Limits& bounds);
    // A tree fed by a matcher others share: argument and return texts are made from the commands.
    CallTreeBuilder(const Limits& bounds, CallMatcher& shared);
    ~CallTreeBuilder() override;
    CallTreeBuilder(const CallTreeBuilder&) = delete;
    CallTreeBuilder& operator=(const CallTreeBuilder&) = delete;

    void Begin(uint32_t pid, uint32_t tid, int64_t ts, uint32_t functionId, std::string_view args);
    void End(uint32_t pid, uint32_t tid, int64_t ts, uint32_t functionId, bool tailCall, std::string_view returnValue);
    void Unwind(uint32_t pid, uint32_t tid, int64_t ts, uint32_t functionId);
    void Exception(uint32_t pid, uint32_t tid, int64_t ts, uint64_t exceptionId);

    void ThreadAdded(uint32_t thread) override;
    void Begun(const MatchedCall& call, const DecodedCommand& begin) override;
    void Closed(const MatchedCall& call, const DecodedCommand* end) override;
    void Raised(uint32_t thread, uint32_t depth, bool beyondLimit, const DecodedCommand& raised) override;
    void NotTracked(uint32_t thread) override;

    Stats GetStats() const;
    const ThreadTree* FindThread(uint32_t pid, uint32_t tid) const;
    size_t ThreadCount() const { return threads.size(); }
    // Entries stored (calls and exceptions, roots not included).
    size_t EntryCount() const { return entries; }
    const CallNode& Node(uint32_t index) const { return chunks[index >> ChunkShift][index & ChunkMask]; }
    std::vector<uint32_t> Children(uint32_t node) const;
    // The text of an argument or return-value id.
    std::string_view Text(uint32_t id) const;
    // Bytes the trees take, and their bound.
    size_t BytesUsed() const { return budget.Used(); }
    size_t BytesLimit() const { return budget.Limit(); }

    std::string Render(const RenderOptions& options) const;

    // How the tree shows captured values: "name=value, ..." and a value on its own.
    static void FormatArgs(std::string& out, const std::vector<ValueRecord>& args);
    static std::string FormatReturn(const ValueRecord& value);

private:
    static constexpr unsigned ChunkShift = 12;
    static constexpr uint32_t ChunkMask = (1u << ChunkShift) - 1;

    CallNode& MutableNode(uint32_t index) { return chunks[index >> ChunkShift][index & ChunkMask]; }
    ThreadTree* Thread(uint32_t pid, uint32_t tid);
    uint32_t NewNode(CallNode::Kind kind, uint64_t id, uint32_t parent, uint32_t args);
    // The existing entry below `parent`, or NotKept.
    uint32_t Find(uint32_t parent, CallNode::Kind kind, uint64_t id, uint32_t args);
    // The entry below `parent`, found or made; NotKept when it cannot be stored.
    uint32_t Child(uint32_t parent, CallNode::Kind kind, uint64_t id, uint32_t args);
    uint32_t CallChild(uint32_t parent, uint32_t functionId, std::string_view argsText);
    uint32_t Intern(std::string_view text, uint64_t hash);
    bool PushFrame(ThreadTree& thread, const ThreadTree::OpenFrame& frame);
    void StoreReturn(CallNode& node, std::string_view returnValue);
    void Feed(CommandType type, uint32_t pid, uint32_t tid, int64_t ts, uint32_t functionId, std::string_view text);

    CallTreeBuilder(const Limits& bounds, CallMatcher* shared);

    Limits limits;
    Stats stats;
    std::vector<ThreadTree*> byThread;  // per matcher thread; null: not kept
    // Set while Begin/End feed the own matcher: the text to use instead of formatting values.
    const std::string_view* givenText = nullptr;
    DecodedCommand fed;
    std::string valueText;
    MemoryBudget budget;
    std::vector<std::unique_ptr<CallNode[]>> chunks;
    size_t nodeCount = 0;  // roots included
    size_t entries = 0;    // calls and exceptions
    IndexTable children;
    // Distinct argument texts per (place, function), to cap the variants.
    struct VariantCount {
        uint32_t parent;
        uint32_t functionId;
        uint32_t count;
    };
    std::vector<VariantCount> variants;
    IndexTable variantIndex;
    TextArena textBytes;
    std::vector<std::string_view> texts;
    IndexTable textIndex;
    std::vector<std::unique_ptr<ThreadTree>> threads;
    IndexTable threadIndex;
    ThreadTree* lastThread = nullptr;
};

}  // namespace QuorixCollect
