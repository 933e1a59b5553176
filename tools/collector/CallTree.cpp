#include "CallTree.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>

namespace QuorixCollect {

namespace {

// Time stamps come from the wire, so any two may be far apart: a duration or a sum of them
// that does not fit saturates instead of overflowing.
int64_t Elapsed(int64_t from, int64_t to) {
    const uint64_t difference = static_cast<uint64_t>(to) - static_cast<uint64_t>(from);
    return difference > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(difference);
}

void AddTicks(int64_t& total, int64_t ticks) { total = ticks > INT64_MAX - total ? INT64_MAX : total + ticks; }

enum How { Returned, TailCall, Unwound };

uint64_t ThreadKey(uint32_t pid, uint32_t tid) { return (static_cast<uint64_t>(pid) << 32) | tid; }

uint64_t ChildHash(uint32_t parent, CallNode::Kind kind, uint64_t id, uint32_t args) {
    return IndexTable::Mix(IndexTable::Mix(id ^ (static_cast<uint64_t>(kind) << 62)) ^
                           ((static_cast<uint64_t>(parent) << 32) | args));
}

class Renderer {
public:
    Renderer(const CallTreeBuilder& tree, const CallTreeBuilder::RenderOptions& options, std::string& out)
        : tree_(tree), options_(options), out_(out) {}

    bool Line(size_t indent, const std::string& text) {
        if (options_.maxLines != 0 && lines_ >= options_.maxLines) {
            cut_ = true;
            return false;
        }
        out_.append(indent * 2, ' ');
        out_ += text;
        out_ += '\n';
        ++lines_;
        return true;
    }

    bool Cut() const { return cut_; }
    size_t Lines() const { return lines_; }

    // Renders the children of `parent` at nesting `level`; returns false once the line limit is hit.
    bool Children(const ThreadTree& t, uint32_t parent, size_t level) {
        const size_t indent = level + 2;
        const CallNode& p = tree_.Node(parent);
        if (level >= options_.maxDepth && p.firstChild != 0) {
            return Line(indent, "... " + std::to_string(CountBelow(parent)) + " nested entries not shown");
        }
        for (uint32_t i = p.firstChild; i != 0; i = tree_.Node(i).nextSibling) {
            const CallNode& n = tree_.Node(i);
            if (n.kind == CallNode::Kind::Exception) {
                char buf[80];
                snprintf(buf, sizeof buf, "! exception 0x%" PRIx64, n.id);
                std::string text = buf;
                if (n.count > 1) {
                    text += "  x" + std::to_string(n.count);
                }
                if (!Line(indent, text)) {
                    return false;
                }
                continue;
            }
            if (!Line(indent, CallText(t, n)) || !Children(t, i, level + 1)) {
                return false;
            }
        }
        return true;
    }

private:
    std::string Name(const ThreadTree& t, uint64_t functionId) const {
        if (options_.functionName) {
            return options_.functionName(t.pid, static_cast<uint32_t>(functionId));
        }
        return "function#" + std::to_string(functionId);
    }

    std::string Duration(const ThreadTree& t, int64_t ticks) const {
        double micros = static_cast<double>(ticks);
        if (options_.microsPerTick) {
            micros *= options_.microsPerTick(t.pid);
        }
        char buf[48];
        snprintf(buf, sizeof buf, "%.0f us", micros);
        return buf;
    }

    std::string Value(uint32_t id) const {
        if (id == CallTreeBuilder::TextVarious) {
            return "<various>";
        }
        if (id == CallTreeBuilder::TextNotKept) {
            return "<not kept>";
        }
        return std::string(tree_.Text(id));
    }

    static void Mark(std::string& marks, uint64_t n, const char* what) {
        if (n != 0) {
            marks += (marks.empty() ? "" : ", ") + std::to_string(n) + " " + what;
        }
    }

    std::string CallText(const ThreadTree& t, const CallNode& n) const {
        std::string text = Name(t, n.id);
        const bool returns = n.returnSeen && n.returnValue != 0;
        if (n.count == 1) {
            // A single call reads as it always has: arguments, value, duration, how it ended.
            text += "(" + Value(n.args) + ")";
            if (returns) {
                text += " -> " + Value(n.returnValue);
            }
            if (n.Open() == 0) {
                text += "  " + (n.badClock ? std::string("? us") : Duration(t, n.totalTicks));
            }
            if (n.tailCalls != 0) {
                text += "  [tail call]";
            } else if (n.unwound != 0) {
                text += "  [unwound]";
            } else if (n.missingEnds != 0) {
                text += "  [no end seen]";
            } else if (n.Open() != 0) {
                text += "  [open]";
            }
            return text;
        }
        if (n.args != 0) {
            text += "(" + Value(n.args) + ")";
        }
        if (returns) {
            text += " -> " + Value(n.returnValue);
        }
        text += "  x" + std::to_string(n.count) + "  total " + Duration(t, n.totalTicks);
        std::string marks;
        Mark(marks, n.tailCalls, "tail calls");
        Mark(marks, n.unwound, "unwound");
        Mark(marks, n.missingEnds, "no end seen");
        Mark(marks, n.Open(), "open");
        if (!marks.empty()) {
            text += "  [" + marks + "]";
        }
        return text;
    }

    size_t CountBelow(uint32_t node) const {
        size_t count = 0;
        std::vector<uint32_t> pending{node};
        while (!pending.empty()) {
            const uint32_t n = pending.back();
            pending.pop_back();
            for (uint32_t c = tree_.Node(n).firstChild; c != 0; c = tree_.Node(c).nextSibling) {
                ++count;
                pending.push_back(c);
            }
        }
        return count;
    }

    const CallTreeBuilder& tree_;
    const CallTreeBuilder::RenderOptions& options_;
    std::string& out_;
    size_t lines_ = 0;
    bool cut_ = false;
};

}  // namespace

CallTreeBuilder::CallTreeBuilder() : CallTreeBuilder(Limits{}) {}

CallTreeBuilder::CallTreeBuilder(const Limits& limits)
    : limits_(limits),
      budget_(limits.maxBytes),
      children_(&budget_),
      variantIndex_(&budget_),
      textBytes_(&budget_),
      textIndex_(&budget_),
      threadIndex_(&budget_) {
    // Text id 0 is "nothing".
    texts_.emplace_back();
}

CallTreeBuilder::~CallTreeBuilder() = default;

std::string_view CallTreeBuilder::Text(uint32_t id) const {
    return id < texts_.size() ? texts_[id] : std::string_view();
}

uint32_t CallTreeBuilder::Intern(std::string_view text, uint64_t hash) {
    if (text.empty()) {
        return 0;
    }
    const uint32_t found = textIndex_.Find(hash, [&](uint32_t id) { return texts_[id] == text; });
    if (found != IndexTable::NotFound) {
        return found;
    }
    if (texts_.size() >= TextVarious || !MakeRoom(texts_, budget_)) {
        ++stats_.valuesNotKept;
        return TextNotKept;
    }
    const std::string_view stored = textBytes_.Store(text);
    if (stored.data() == nullptr) {
        ++stats_.valuesNotKept;
        return TextNotKept;
    }
    const auto id = static_cast<uint32_t>(texts_.size());
    if (!textIndex_.Insert(hash, id)) {
        ++stats_.valuesNotKept;
        return TextNotKept;
    }
    texts_.push_back(stored);
    return id;
}

ThreadTree* CallTreeBuilder::Thread(uint32_t pid, uint32_t tid) {
    if (lastThread_ != nullptr && lastThread_->tid == tid && lastThread_->pid == pid) {
        return lastThread_;
    }
    const uint64_t key = ThreadKey(pid, tid);
    const uint64_t hash = IndexTable::Mix(key);
    uint32_t index =
        threadIndex_.Find(hash, [&](uint32_t i) { return ThreadKey(threads_[i]->pid, threads_[i]->tid) == key; });
    if (index == IndexTable::NotFound) {
        if (threads_.size() >= limits_.maxThreads || !MakeRoom(threads_, budget_) ||
            !budget_.Charge(sizeof(ThreadTree))) {
            ++stats_.droppedThreads;
            return nullptr;
        }
        auto tree = std::make_unique<ThreadTree>();
        tree->pid = pid;
        tree->tid = tid;
        tree->root = NewNode(CallNode::Kind::Root, 0, 0, 0);
        if (tree->root == NotKept || !threadIndex_.Insert(hash, static_cast<uint32_t>(threads_.size()))) {
            budget_.Release(sizeof(ThreadTree));
            ++stats_.droppedThreads;
            return nullptr;
        }
        index = static_cast<uint32_t>(threads_.size());
        threads_.push_back(std::move(tree));
    }
    lastThread_ = threads_[index].get();
    return lastThread_;
}

const ThreadTree* CallTreeBuilder::FindThread(uint32_t pid, uint32_t tid) const {
    const uint64_t key = ThreadKey(pid, tid);
    const uint32_t index = threadIndex_.Find(
        IndexTable::Mix(key), [&](uint32_t i) { return ThreadKey(threads_[i]->pid, threads_[i]->tid) == key; });
    return index == IndexTable::NotFound ? nullptr : threads_[index].get();
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
    if (kind != CallNode::Kind::Root && entries_ >= limits_.maxNodes) {
        return NotKept;
    }
    if (nodeCount_ >= NotKept) {
        return NotKept;
    }
    if ((nodeCount_ & ChunkMask) == 0) {
        if (!MakeRoom(chunks_, budget_) || !budget_.Charge(sizeof(CallNode) << ChunkShift)) {
            return NotKept;
        }
        chunks_.emplace_back(new CallNode[size_t{1} << ChunkShift]);
    }
    const auto index = static_cast<uint32_t>(nodeCount_);
    CallNode& n = MutableNode(index);
    n = CallNode{};
    n.kind = kind;
    n.id = id;
    n.parent = parent;
    n.args = args;
    if (kind != CallNode::Kind::Root) {
        if (!children_.Insert(ChildHash(parent, kind, id, args), index)) {
            return NotKept;
        }
        CallNode& p = MutableNode(parent);
        if (p.lastChild == 0) {
            p.firstChild = index;
        } else {
            MutableNode(p.lastChild).nextSibling = index;
        }
        p.lastChild = index;
        ++entries_;
    }
    ++nodeCount_;
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
    const uint32_t found = children_.Find(ChildHash(parent, kind, id, args), [&](uint32_t i) {
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
    uint32_t args = textIndex_.Find(textHash, [&](uint32_t i) { return texts_[i] == argsText; });
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
    uint32_t v = variantIndex_.Find(
        hash, [&](uint32_t i) { return variants_[i].parent == parent && variants_[i].functionId == functionId; });
    if (v == IndexTable::NotFound && MakeRoom(variants_, budget_) &&
        variantIndex_.Insert(hash, static_cast<uint32_t>(variants_.size()))) {
        v = static_cast<uint32_t>(variants_.size());
        variants_.push_back({parent, functionId, 0});
    }
    if (v == IndexTable::NotFound || variants_[v].count >= limits_.maxArgumentVariants) {
        return Child(parent, CallNode::Kind::Call, functionId, TextVarious);
    }
    ++variants_[v].count;
    if (args == IndexTable::NotFound) {
        args = Intern(argsText, textHash);
    }
    return Child(parent, CallNode::Kind::Call, functionId, args);
}

bool CallTreeBuilder::PushFrame(ThreadTree& t, const ThreadTree::OpenFrame& frame) {
    if (!MakeRoom(t.stack, budget_)) {
        return false;
    }
    t.stack.push_back(frame);
    if (t.stack.size() > t.maxDepth) {
        t.maxDepth = t.stack.size();
    }
    return true;
}

void CallTreeBuilder::Begin(uint32_t pid, uint32_t tid, int64_t ts, uint32_t functionId, std::string_view args) {
    ThreadTree* t = Thread(pid, tid);
    if (t == nullptr) {
        return;
    }
    ++t->calls;
    if (t->stack.size() >= limits_.maxStackDepth) {
        ++stats_.droppedNodes;
        return;
    }
    const uint32_t parent = t->stack.empty() ? t->root : t->stack.back().node;
    uint32_t node = NotKept;
    // A frame that was not stored hides everything below it from the stored tree.
    if (parent != NotKept) {
        node = CallChild(parent, functionId, args);
    }
    if (node == NotKept) {
        ++stats_.droppedNodes;
    } else {
        ++MutableNode(node).count;
    }
    if (!PushFrame(*t, {functionId, node, ts})) {
        if (node != NotKept) {
            // Without its frame the call can never end: leave it uncounted rather than open.
            --MutableNode(node).count;
            ++stats_.droppedNodes;
        }
    }
}

void CallTreeBuilder::Close(ThreadTree& t, int64_t ts, uint32_t functionId, int how, std::string_view returnValue) {
    size_t found = t.stack.size();
    const size_t lowest = t.stack.size() > limits_.searchDepth ? t.stack.size() - limits_.searchDepth : 0;
    for (size_t i = t.stack.size(); i > lowest; --i) {
        if (t.stack[i - 1].functionId == functionId) {
            found = i - 1;
            break;
        }
    }
    if (found == t.stack.size()) {
        ++stats_.orphanEnds;
        return;
    }
    while (t.stack.size() > found) {
        const ThreadTree::OpenFrame frame = t.stack.back();
        t.stack.pop_back();
        const bool target = t.stack.size() == found;
        if (!target) {
            ++stats_.missingEnds;
        }
        if (frame.node == NotKept) {
            continue;
        }
        CallNode& n = MutableNode(frame.node);
        if (ts >= frame.begin) {
            AddTicks(n.totalTicks, Elapsed(frame.begin, ts));
        } else {
            n.badClock = true;
        }
        if (!target) {
            ++n.missingEnds;
            continue;
        }
        switch (how) {
            case Returned:
                ++n.returned;
                break;
            case TailCall:
                ++n.tailCalls;
                break;
            default:
                ++n.unwound;
                break;
        }
        if (how == Unwound) {
            continue;
        }
        // Only the first value is stored; later ones are just compared with it.
        if (!n.returnSeen) {
            n.returnSeen = true;
            n.returnValue = Intern(returnValue, IndexTable::HashBytes(returnValue));
        } else if (n.returnValue != TextVarious &&
                   (n.returnValue == TextNotKept || Text(n.returnValue) != returnValue)) {
            n.returnValue = TextVarious;
        }
    }
}

void CallTreeBuilder::End(uint32_t pid, uint32_t tid, int64_t ts, uint32_t functionId, bool tailCall,
                          std::string_view returnValue) {
    ThreadTree* t = Thread(pid, tid);
    if (t != nullptr) {
        Close(*t, ts, functionId, tailCall ? TailCall : Returned, returnValue);
    }
}

void CallTreeBuilder::Unwind(uint32_t pid, uint32_t tid, int64_t ts, uint32_t functionId) {
    ThreadTree* t = Thread(pid, tid);
    if (t != nullptr) {
        Close(*t, ts, functionId, Unwound, {});
    }
}

void CallTreeBuilder::Exception(uint32_t pid, uint32_t tid, int64_t ts, uint64_t exceptionId) {
    ThreadTree* t = Thread(pid, tid);
    if (t == nullptr) {
        return;
    }
    const uint32_t parent = t->stack.empty() ? t->root : t->stack.back().node;
    const uint32_t node = parent == NotKept ? NotKept : Child(parent, CallNode::Kind::Exception, exceptionId, 0);
    if (node == NotKept) {
        ++stats_.droppedNodes;
        return;
    }
    ++MutableNode(node).count;
}

std::string CallTreeBuilder::Render(const RenderOptions& options) const {
    std::string out;
    Renderer r(*this, options, out);
    for (const auto& t : threads_) {
        std::string head = "thread " + std::to_string(t->tid) + " (pid " + std::to_string(t->pid) +
                           "): " + std::to_string(t->calls) + " calls, max depth " + std::to_string(t->maxDepth);
        if (!t->stack.empty()) {
            head += ", " + std::to_string(t->stack.size()) + " still open";
        }
        if (!r.Line(1, head) || !r.Children(*t, t->root, 0)) {
            break;
        }
    }
    if (r.Cut()) {
        out += "  ... call tree cut after " + std::to_string(r.Lines()) + " lines (see --tree-lines)\n";
    }
    return out;
}

}  // namespace QuorixCollect
