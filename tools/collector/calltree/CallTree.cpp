#include "calltree/CallTree.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>

#include "text/TextEncoding.h"
#include "wire/ValueRecord.h"

namespace QuorixCollect {

namespace {

constexpr size_t MaxArgsText = 200;
constexpr size_t MaxValueText = 60;

// Time stamps come from the wire, so any two may be far apart: a duration or a sum of them
// that does not fit saturates instead of overflowing.
int64_t Elapsed(int64_t from, int64_t to) {
    const uint64_t difference = static_cast<uint64_t>(to) - static_cast<uint64_t>(from);
    return difference > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(difference);
}

void AddTicks(int64_t& total, int64_t ticks) { total = ticks > INT64_MAX - total ? INT64_MAX : total + ticks; }

uint64_t ThreadKey(uint32_t pid, uint32_t tid) { return (static_cast<uint64_t>(pid) << 32) | tid; }

uint64_t ChildHash(uint32_t parent, CallNode::Kind kind, uint64_t id, uint32_t args) {
    return IndexTable::Mix(IndexTable::Mix(id ^ (static_cast<uint64_t>(kind) << 62)) ^
                           ((static_cast<uint64_t>(parent) << 32) | args));
}

}  // namespace

CallTreeBuilder::CallTreeBuilder() : CallTreeBuilder(Limits{}) {}

CallTreeBuilder::CallTreeBuilder(const Limits& bounds) : CallTreeBuilder(bounds, nullptr) {}

CallTreeBuilder::CallTreeBuilder(const Limits& bounds, CallMatcher& shared) : CallTreeBuilder(bounds, &shared) {}

CallTreeBuilder::CallTreeBuilder(const Limits& bounds, CallMatcher* shared)
    : MatcherOwner(shared, {.maxDepth = bounds.maxStackDepth, .maxThreads = bounds.maxThreads}),
      limits(bounds),
      budget(bounds.maxBytes),
      children(&budget),
      variantIndex(&budget),
      textBytes(&budget),
      textIndex(&budget),
      threadIndex(&budget) {
    // Text id 0 is "nothing".
    texts.emplace_back();
    matcher->AddListener(this);
}

CallTreeBuilder::~CallTreeBuilder() = default;

std::string_view CallTreeBuilder::Text(uint32_t id) const { return id < texts.size() ? texts[id] : std::string_view(); }

uint32_t CallTreeBuilder::Intern(std::string_view text, uint64_t hash) {
    if (text.empty()) {
        return 0;
    }
    const uint32_t found = textIndex.Find(hash, [&](uint32_t id) { return texts[id] == text; });
    if (found != IndexTable::NotFound) {
        return found;
    }
    if (texts.size() >= TextVarious || !MakeRoom(texts, budget)) {
        ++stats.valuesNotKept;
        return TextNotKept;
    }
    const std::string_view stored = textBytes.Store(text);
    if (stored.data() == nullptr) {
        ++stats.valuesNotKept;
        return TextNotKept;
    }
    const auto id = static_cast<uint32_t>(texts.size());
    if (!textIndex.Insert(hash, id)) {
        ++stats.valuesNotKept;
        return TextNotKept;
    }
    texts.push_back(stored);
    return id;
}

ThreadTree* CallTreeBuilder::Thread(uint32_t pid, uint32_t tid) {
    if (lastThread != nullptr && lastThread->tid == tid && lastThread->pid == pid) {
        return lastThread;
    }
    const uint64_t key = ThreadKey(pid, tid);
    const uint64_t hash = IndexTable::Mix(key);
    uint32_t index =
        threadIndex.Find(hash, [&](uint32_t i) { return ThreadKey(threads[i]->pid, threads[i]->tid) == key; });
    if (index == IndexTable::NotFound) {
        if (threads.size() >= limits.maxThreads || !MakeRoom(threads, budget) || !budget.Charge(sizeof(ThreadTree))) {
            ++stats.droppedThreads;
            return nullptr;
        }
        auto tree = std::make_unique<ThreadTree>();
        tree->pid = pid;
        tree->tid = tid;
        tree->root = NewNode(CallNode::Kind::Root, 0, 0, 0);
        if (tree->root == NotKept || !threadIndex.Insert(hash, static_cast<uint32_t>(threads.size()))) {
            budget.Release(sizeof(ThreadTree));
            ++stats.droppedThreads;
            return nullptr;
        }
        index = static_cast<uint32_t>(threads.size());
        threads.push_back(std::move(tree));
    }
    lastThread = threads[index].get();
    return lastThread;
}

const ThreadTree* CallTreeBuilder::FindThread(uint32_t pid, uint32_t tid) const {
    const uint64_t key = ThreadKey(pid, tid);
    const uint32_t index = threadIndex.Find(
        IndexTable::Mix(key), [&](uint32_t i) { return ThreadKey(threads[i]->pid, threads[i]->tid) == key; });
    return index == IndexTable::NotFound ? nullptr : threads[index].get();
}

std::vector<uint32_t> CallTreeBuilder::Children(uint32_t node) const {
    std::vector<uint32_t> out;
    for (uint32_t c = Node(node).firstChild; c != 0; c = Node(c).nextSibling) {
        out.push_back(c);
    }
    return out;
}

uint32_t CallTreeBuilder::NewNode(CallNode::Kind kind, uint64_t id, uint32_t parent, uint32_t args) {
    // Roots are not entries of anyone's tree, so only calls and exceptions count against the limit.
    if (kind != CallNode::Kind::Root && entries >= limits.maxNodes) {
        return NotKept;
    }
    if (nodeCount >= NotKept) {
        return NotKept;
    }
    if ((nodeCount & ChunkMask) == 0) {
        if (!MakeRoom(chunks, budget) || !budget.Charge(sizeof(CallNode) << ChunkShift)) {
            return NotKept;
        }
        chunks.emplace_back(new CallNode[size_t{1} << ChunkShift]);
    }
    const auto index = static_cast<uint32_t>(nodeCount);
    CallNode& n = MutableNode(index);
    n = CallNode{};
    n.kind = kind;
    n.id = id;
    n.parent = parent;
    n.args = args;
    if (kind != CallNode::Kind::Root) {
        if (!children.Insert(ChildHash(parent, kind, id, args), index)) {
            return NotKept;
        }
        CallNode& p = MutableNode(parent);
        if (p.lastChild == 0) {
            p.firstChild = index;
        } else {
            MutableNode(p.lastChild).nextSibling = index;
        }
        p.lastChild = index;
        ++entries;
    }
    ++nodeCount;
    return index;
}

uint32_t CallTreeBuilder::Find(uint32_t parent, CallNode::Kind kind, uint64_t id, uint32_t args) {
    CallNode& p = MutableNode(parent);
    if (p.lastHit != 0) {
        const CallNode& last = Node(p.lastHit);
        if (last.id == id && last.args == args && last.kind == kind) {
            return p.lastHit;
        }
    }
    const uint32_t found = children.Find(ChildHash(parent, kind, id, args), [&](uint32_t i) {
        const CallNode& n = Node(i);
        return n.id == id && n.args == args && n.parent == parent && n.kind == kind;
    });
    if (found != IndexTable::NotFound) {
        p.lastHit = found;
    }
    return found;
}

uint32_t CallTreeBuilder::Child(uint32_t parent, CallNode::Kind kind, uint64_t id, uint32_t args) {
    uint32_t found = Find(parent, kind, id, args);
    if (found == IndexTable::NotFound) {
        found = NewNode(kind, id, parent, args);
        if (found != NotKept) {
            MutableNode(parent).lastHit = found;
        }
    }
    return found;
}

uint32_t CallTreeBuilder::CallChild(uint32_t parent, uint32_t functionId, std::string_view argsText) {
    if (argsText.empty()) {
        return Child(parent, CallNode::Kind::Call, functionId, 0);
    }
    // An argument text that was never stored cannot belong to an existing entry.
    const uint64_t textHash = IndexTable::HashBytes(argsText);
    uint32_t args = textIndex.Find(textHash, [&](uint32_t i) { return texts[i] == argsText; });
    if (args != IndexTable::NotFound) {
        const uint32_t found = Find(parent, CallNode::Kind::Call, functionId, args);
        if (found != IndexTable::NotFound) {
            return found;
        }
    }
    // A new argument text here. Beyond a handful of them, further ones share one entry, and
    // their texts are not stored at all.
    const uint64_t key = (static_cast<uint64_t>(parent) << 32) | functionId;
    const uint64_t hash = IndexTable::Mix(key ^ 0x5bd1e995);
    uint32_t v = variantIndex.Find(
        hash, [&](uint32_t i) { return variants[i].parent == parent && variants[i].functionId == functionId; });
    if (v == IndexTable::NotFound && MakeRoom(variants, budget) &&
        variantIndex.Insert(hash, static_cast<uint32_t>(variants.size()))) {
        v = static_cast<uint32_t>(variants.size());
        variants.push_back({parent, functionId, 0});
    }
    if (v == IndexTable::NotFound || variants[v].count >= limits.maxArgumentVariants) {
        return Child(parent, CallNode::Kind::Call, functionId, TextVarious);
    }
    ++variants[v].count;
    if (args == IndexTable::NotFound) {
        args = Intern(argsText, textHash);
    }
    return Child(parent, CallNode::Kind::Call, functionId, args);
}

bool CallTreeBuilder::PushFrame(ThreadTree& t, const ThreadTree::OpenFrame& frame) {
    if (!MakeRoom(t.stack, budget)) {
        return false;
    }
    t.stack.push_back(frame);
    if (t.stack.size() > t.maxDepth) {
        t.maxDepth = t.stack.size();
    }
    return true;
}

void CallTreeBuilder::FormatArgs(std::string& out, const std::vector<ValueRecord>& args) {
    out.clear();
    for (const auto& a : args) {
        if (!out.empty()) {
            out += ", ";
        }
        if (out.size() > MaxArgsText) {
            out += "...";
            break;
        }
        out += DisplayText(a.name, 40);
        out += '=';
        out += FormatValue(a, MaxValueText);
    }
}

std::string CallTreeBuilder::FormatReturn(const ValueRecord& value) { return FormatValue(value, MaxValueText); }

CallTreeBuilder::Stats CallTreeBuilder::GetStats() const {
    Stats s = stats;
    s.orphanEnds = matcher->GetStats().orphanEnds;
    s.missingEnds = matcher->GetStats().missingEnds;
    return s;
}

void CallTreeBuilder::Feed(CommandType type, uint32_t pid, uint32_t tid, int64_t ts, uint32_t functionId,
                           std::string_view given) {
    fed.type = static_cast<uint8_t>(type);
    fed.pid = pid;
    fed.tid = tid;
    fed.ts = ts;
    fed.functionId = functionId;
    givenText = &given;
    matcher->OnCommand(fed);
    givenText = nullptr;
}

void CallTreeBuilder::Begin(uint32_t pid, uint32_t tid, int64_t ts, uint32_t functionId, std::string_view args) {
    Feed(CommandType::BeginCall, pid, tid, ts, functionId, args);
}

void CallTreeBuilder::End(uint32_t pid, uint32_t tid, int64_t ts, uint32_t functionId, bool tailCall,
                          std::string_view returnValue) {
    fed.tailCall = tailCall;
    Feed(CommandType::EndCall, pid, tid, ts, functionId, returnValue);
    fed.tailCall = false;
}

void CallTreeBuilder::Unwind(uint32_t pid, uint32_t tid, int64_t ts, uint32_t functionId) {
    Feed(CommandType::UnwindCall, pid, tid, ts, functionId, {});
}

void CallTreeBuilder::Exception(uint32_t pid, uint32_t tid, int64_t ts, uint64_t exceptionId) {
    fed.exceptionId = exceptionId;
    Feed(CommandType::ExceptionRaised, pid, tid, ts, 0, {});
}

void CallTreeBuilder::ThreadAdded(uint32_t thread) {
    const auto& t = matcher->Threads()[thread];
    if (byThread.size() <= thread) {
        byThread.resize(thread + 1, nullptr);
    }
    // Every run of a pid shares the thread's tree, as the summary has always shown it.
    byThread[thread] = Thread(t.pid, t.tid);
}

void CallTreeBuilder::NotTracked(uint32_t thread) {
    if (ThreadTree* t = byThread[thread]) {
        ++t->calls;
        ++stats.droppedNodes;
    }
}

void CallTreeBuilder::Begun(const MatchedCall& call, const DecodedCommand& c) {
    ThreadTree* t = byThread[call.thread];
    if (t == nullptr) {
        ++stats.droppedThreads;
        return;
    }
    ++t->calls;
    if (t->stack.size() != call.depth) {
        // The caller found no room for its frame: neither does anything below it.
        ++stats.droppedNodes;
        return;
    }
    std::string_view args;
    if (givenText != nullptr) {
        args = *givenText;
    } else if (!c.args.empty()) {
        FormatArgs(valueText, c.args);
        args = valueText;
    }
    const uint32_t parent = t->stack.empty() ? t->root : t->stack.back().node;
    uint32_t node = NotKept;
    // A frame that was not stored hides everything below it from the stored tree.
    if (parent != NotKept) {
        node = CallChild(parent, call.functionId, args);
    }
    if (node == NotKept) {
        ++stats.droppedNodes;
    } else {
        ++MutableNode(node).count;
    }
    if (!PushFrame(*t, {call.functionId, node, call.begin})) {
        if (node != NotKept) {
            // Without its frame the call can never end: leave it uncounted rather than open.
            --MutableNode(node).count;
            ++stats.droppedNodes;
        }
    }
}

void CallTreeBuilder::Closed(const MatchedCall& call, const DecodedCommand* end) {
    ThreadTree* t = byThread[call.thread];
    if (t == nullptr || call.depth >= t->stack.size()) {
        return;
    }
    const ThreadTree::OpenFrame frame = t->stack.back();
    t->stack.pop_back();
    if (call.how == CallEnd::OpenAtEnd) {
        // The tree shows such calls as open, without a duration.
        ++t->openAtEnd;
        return;
    }
    if (frame.node == NotKept) {
        return;
    }
    CallNode& n = MutableNode(frame.node);
    if (call.end >= frame.begin) {
        AddTicks(n.totalTicks, Elapsed(frame.begin, call.end));
    } else {
        n.badClock = true;
    }
    switch (call.how) {
        case CallEnd::NoEndSeen:
            ++n.missingEnds;
            return;
        case CallEnd::Unwound:
            ++n.unwound;
            return;
        case CallEnd::TailCall:
            ++n.tailCalls;
            break;
        default:
            ++n.returned;
            break;
    }
    if (givenText != nullptr) {
        StoreReturn(n, *givenText);
    } else if (end != nullptr && end->hasReturnValue) {
        valueText = FormatReturn(end->returnValue);
        StoreReturn(n, valueText);
    } else {
        StoreReturn(n, {});
    }
}

void CallTreeBuilder::StoreReturn(CallNode& n, std::string_view returnValue) {
    // Only the first value is stored; later ones are just compared with it.
    if (!n.returnSeen) {
        n.returnSeen = true;
        n.returnValue = Intern(returnValue, IndexTable::HashBytes(returnValue));
    } else if (n.returnValue != TextVarious && (n.returnValue == TextNotKept || Text(n.returnValue) != returnValue)) {
        n.returnValue = TextVarious;
    }
}

void CallTreeBuilder::Raised(uint32_t thread, uint32_t depth, bool, const DecodedCommand& c) {
    ThreadTree* t = byThread[thread];
    if (t == nullptr) {
        ++stats.droppedThreads;
        return;
    }
    uint32_t parent = t->root;
    if (depth > 0) {
        parent = depth <= t->stack.size() ? t->stack[depth - 1].node : NotKept;
    }
    const uint32_t node = parent == NotKept ? NotKept : Child(parent, CallNode::Kind::Exception, c.exceptionId, 0);
    if (node == NotKept) {
        ++stats.droppedNodes;
        return;
    }
    ++MutableNode(node).count;
}

}  // namespace QuorixCollect
