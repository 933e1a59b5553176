#include <cinttypes>
#include <cstdio>

#include "calltree/CallTree.h"

// The call trees as the summary prints them.

namespace QuorixCollect {

namespace {

class Renderer {
public:
    Renderer(const CallTreeBuilder& source, const CallTreeBuilder::RenderOptions& renderOptions, std::string& output)
        : tree(source), options(renderOptions), out(output) {}

    bool Line(size_t indent, const std::string& text) {
        if (options.maxLines != 0 && lines >= options.maxLines) {
            cut = true;
            return false;
        }
        out.append(indent * 2, ' ');
        out += text;
        out += '\n';
        ++lines;
        return true;
    }

    bool Cut() const { return cut; }
    size_t Lines() const { return lines; }

    // Renders the children of `parent` at nesting `level`; returns false once the line limit is hit.
    bool Children(const ThreadTree& t, uint32_t parent, size_t level) {
        const size_t indent = level + 2;
        const CallNode& p = tree.Node(parent);
        if (level >= options.maxDepth && p.firstChild != 0) {
            return Line(indent, "... " + std::to_string(CountBelow(parent)) + " nested entries not shown");
        }
        for (uint32_t i = p.firstChild; i != 0; i = tree.Node(i).nextSibling) {
            const CallNode& n = tree.Node(i);
            if (n.kind == CallNode::Kind::Exception) {
                char buf[80];
                snprintf(buf, sizeof buf, "! exception 0x%" PRIx64, n.id);
                std::string text = buf;
                const std::string details = options.exceptionText ? options.exceptionText(t.pid, n.id) : "";
                if (!details.empty()) {
                    text += " " + details;
                }
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
        if (options.functionName) {
            return options.functionName(t.pid, static_cast<uint32_t>(functionId));
        }
        return "function#" + std::to_string(functionId);
    }

    std::string Duration(const ThreadTree& t, int64_t ticks) const {
        double micros = static_cast<double>(ticks);
        if (options.microsPerTick) {
            micros *= options.microsPerTick(t.pid);
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
        return std::string(tree.Text(id));
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
            for (uint32_t c = tree.Node(n).firstChild; c != 0; c = tree.Node(c).nextSibling) {
                ++count;
                pending.push_back(c);
            }
        }
        return count;
    }

    const CallTreeBuilder& tree;
    const CallTreeBuilder::RenderOptions& options;
    std::string& out;
    size_t lines = 0;
    bool cut = false;
};

}  // namespace

std::string CallTreeBuilder::Render(const RenderOptions& options) const {
    std::string out;
    Renderer r(*this, options, out);
    for (const auto& t : threads) {
        std::string head = "thread " + std::to_string(t->tid) + " (pid " + std::to_string(t->pid) +
                           "): " + std::to_string(t->calls) + " calls, max depth " + std::to_string(t->maxDepth);
        const uint64_t open = t->stack.size() + t->openAtEnd;
        if (open != 0) {
            head += ", " + std::to_string(open) + " still open";
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
