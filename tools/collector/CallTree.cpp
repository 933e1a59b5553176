#include "CallTree.h"

#include <cinttypes>
#include <cstdio>

namespace QuorixCollect {

namespace {

uint64_t Key(uint32_t pid, uint32_t tid)
{
    return (static_cast<uint64_t>(pid) << 32) | tid;
}

class Renderer {
public:
    Renderer(const CallTreeBuilder::RenderOptions& options, std::string& out) : options_(options), out_(out) {}

    bool Line(size_t indent, const std::string& text)
    {
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

    std::string Name(const ThreadTree& t, uint32_t functionId) const
    {
        if (options_.functionName) {
            return options_.functionName(t.pid, functionId);
        }
        return "function#" + std::to_string(functionId);
    }

    std::string Duration(const ThreadTree& t, int64_t ticks) const
    {
        if (ticks < 0) {
            return "? us";
        }
        double micros = static_cast<double>(ticks);
        if (options_.microsPerTick) {
            micros *= options_.microsPerTick(t.pid);
        }
        char buf[48];
        snprintf(buf, sizeof buf, "%.0f us", micros);
        return buf;
    }

    static const char* Mark(FrameEnd end)
    {
        switch (end) {
        case FrameEnd::Open: return "  [open]";
        case FrameEnd::Returned: return "";
        case FrameEnd::TailCall: return "  [tail call]";
        case FrameEnd::Unwound: return "  [unwound]";
        case FrameEnd::MissingEnd: return "  [no end seen]";
        }
        return "";
    }

    static bool Collapsible(const CallNode& n)
    {
        return n.kind == CallNode::Kind::Call && n.children.empty() && n.args.empty() && n.returnValue.empty() &&
               n.end == FrameEnd::Returned;
    }

    static size_t CountBelow(const ThreadTree& t, uint32_t node)
    {
        size_t count = 0;
        std::vector<uint32_t> pending(t.nodes[node].children);
        while (!pending.empty()) {
            const uint32_t n = pending.back();
            pending.pop_back();
            ++count;
            pending.insert(pending.end(), t.nodes[n].children.begin(), t.nodes[n].children.end());
        }
        return count;
    }

    // Renders the children of `parent` at nesting `level`; returns false once the line limit is hit.
    bool Children(const ThreadTree& t, uint32_t parent, size_t level)
    {
        const size_t depth = level + 2;
        const auto& kids = t.nodes[parent].children;
        if (level >= options_.maxDepth && !kids.empty()) {
            return Line(depth, "... " + std::to_string(CountBelow(t, parent)) + " nested entries not shown");
        }
        for (size_t i = 0; i < kids.size(); ++i) {
            const CallNode& n = t.nodes[kids[i]];
            if (n.kind == CallNode::Kind::Exception) {
                char buf[64];
                snprintf(buf, sizeof buf, "! exception 0x%" PRIx64, n.exceptionId);
                if (!Line(depth, buf)) {
                    return false;
                }
                continue;
            }
            // Runs of identical leaf calls (loops) become one line.
            size_t run = 1;
            int64_t total = n.finish - n.begin;
            while (Collapsible(n) && i + run < kids.size()) {
                const CallNode& next = t.nodes[kids[i + run]];
                if (!Collapsible(next) || next.functionId != n.functionId) {
                    break;
                }
                total += next.finish - next.begin;
                ++run;
            }
            std::string text = Name(t, n.functionId);
            if (run > 1) {
                text += "  x" + std::to_string(run) + "  total " + Duration(t, total);
                i += run - 1;
                if (!Line(depth, text)) {
                    return false;
                }
                continue;
            }
            text += "(" + n.args + ")";
            if (!n.returnValue.empty()) {
                text += " -> " + n.returnValue;
            }
            if (n.end != FrameEnd::Open) {
                text += "  " + Duration(t, n.finish - n.begin);
            }
            text += Mark(n.end);
            if (!Line(depth, text) || !Children(t, kids[i], level + 1)) {
                return false;
            }
        }
        return true;
    }

private:
    const CallTreeBuilder::RenderOptions& options_;
    std::string& out_;
    size_t lines_ = 0;
    bool cut_ = false;
};

} // namespace

CallTreeBuilder::CallTreeBuilder() : CallTreeBuilder(Limits{}) {}

CallTreeBuilder::CallTreeBuilder(const Limits& limits) : limits_(limits) {}

ThreadTree* CallTreeBuilder::Thread(uint32_t pid, uint32_t tid)
{
    const uint64_t key = Key(pid, tid);
    auto it = index_.find(key);
    if (it != index_.end()) {
        return threads_[it->second].get();
    }
    if (threads_.size() >= limits_.maxThreads) {
        ++stats_.droppedThreads;
        return nullptr;
    }
    auto tree = std::make_unique<ThreadTree>();
    tree->pid = pid;
    tree->tid = tid;
    tree->nodes.emplace_back();
    index_.emplace(key, threads_.size());
    threads_.push_back(std::move(tree));
    return threads_.back().get();
}

const ThreadTree* CallTreeBuilder::FindThread(uint32_t pid, uint32_t tid) const
{
    auto it = index_.find(Key(pid, tid));
    return it == index_.end() ? nullptr : threads_[it->second].get();
}

int64_t CallTreeBuilder::AddNode(ThreadTree& thread, CallNode node)
{
    // The parent is the innermost open frame that was kept, else the root.
    int64_t parent = 0;
    if (!thread.stack.empty()) {
        parent = thread.stack.back().node;
        // A frame that was not stored hides everything below it from the stored tree.
        if (parent < 0) {
            ++stats_.droppedNodes;
            return -1;
        }
    }
    if (nodeCount_ >= limits_.maxNodes) {
        ++stats_.droppedNodes;
        return -1;
    }
    ++nodeCount_;
    const auto index = static_cast<uint32_t>(thread.nodes.size());
    thread.nodes.push_back(std::move(node));
    thread.nodes[static_cast<size_t>(parent)].children.push_back(index);
    return index;
}

void CallTreeBuilder::Begin(uint32_t pid, uint32_t tid, int64_t ts, uint32_t functionId, std::string args)
{
    ThreadTree* t = Thread(pid, tid);
    if (t == nullptr) {
        return;
    }
    ++t->calls;
    if (t->stack.size() >= limits_.maxStackDepth) {
        ++stats_.droppedNodes;
        return;
    }
    CallNode node;
    node.kind = CallNode::Kind::Call;
    node.functionId = functionId;
    node.begin = ts;
    node.args = std::move(args);
    const int64_t index = AddNode(*t, std::move(node));
    t->stack.push_back({functionId, index});
    if (t->stack.size() > t->maxDepth) {
        t->maxDepth = t->stack.size();
    }
}

void CallTreeBuilder::Close(ThreadTree& t, int64_t ts, uint32_t functionId, FrameEnd how, std::string returnValue)
{
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
        const auto frame = t.stack.back();
        t.stack.pop_back();
        const bool target = t.stack.size() == found;
        if (!target) {
            ++stats_.missingEnds;
        }
        if (frame.node >= 0) {
            CallNode& n = t.nodes[static_cast<size_t>(frame.node)];
            n.finish = ts;
            n.end = target ? how : FrameEnd::MissingEnd;
            if (target) {
                n.returnValue = std::move(returnValue);
            }
        }
    }
}

void CallTreeBuilder::End(uint32_t pid, uint32_t tid, int64_t ts, uint32_t functionId, bool tailCall,
                          std::string returnValue)
{
    ThreadTree* t = Thread(pid, tid);
    if (t != nullptr) {
        Close(*t, ts, functionId, tailCall ? FrameEnd::TailCall : FrameEnd::Returned, std::move(returnValue));
    }
}

void CallTreeBuilder::Unwind(uint32_t pid, uint32_t tid, int64_t ts, uint32_t functionId)
{
    ThreadTree* t = Thread(pid, tid);
    if (t != nullptr) {
        Close(*t, ts, functionId, FrameEnd::Unwound, {});
    }
}

void CallTreeBuilder::Exception(uint32_t pid, uint32_t tid, int64_t ts, uint64_t exceptionId)
{
    ThreadTree* t = Thread(pid, tid);
    if (t == nullptr) {
        return;
    }
    CallNode node;
    node.kind = CallNode::Kind::Exception;
    node.begin = ts;
    node.finish = ts;
    node.exceptionId = exceptionId;
    AddNode(*t, std::move(node));
}

std::string CallTreeBuilder::Render(const RenderOptions& options) const
{
    std::string out;
    Renderer r(options, out);
    for (const auto& t : threads_) {
        std::string head = "thread " + std::to_string(t->tid) + " (pid " + std::to_string(t->pid) +
                           "): " + std::to_string(t->calls) + " calls, max depth " + std::to_string(t->maxDepth);
        if (!t->stack.empty()) {
            head += ", " + std::to_string(t->stack.size()) + " still open";
        }
        if (!r.Line(1, head) || !r.Children(*t, 0, 0)) {
            break;
        }
    }
    if (r.Cut()) {
        out += "  ... call tree cut after " + std::to_string(r.Lines()) + " lines (see --tree-lines)\n";
    }
    return out;
}

} // namespace QuorixCollect
