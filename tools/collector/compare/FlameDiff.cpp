#include "compare/FlameDiff.h"

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <map>
#include <string_view>

#include "text/JsonBuilder.h"

namespace QuorixCollect {

namespace {

struct Node {
    std::string name;
    double selfNow = 0, selfBefore = 0;
    double totalNow = 0, totalBefore = 0;
    std::map<std::string, size_t> children;  // by name: the order is stable between runs
};

void AddStack(std::vector<Node>& nodes, const std::string& stack, double micros, bool now) {
    size_t at = 0;
    size_t start = 0;
    while (start <= stack.size()) {
        size_t end = stack.find(';', start);
        if (end == std::string::npos) end = stack.size();
        std::string frame = stack.substr(start, end - start);
        auto it = nodes[at].children.find(frame);
        if (it == nodes[at].children.end()) {
            nodes.emplace_back();
            nodes.back().name = frame;
            it = nodes[at].children.emplace(std::move(frame), nodes.size() - 1).first;
        }
        at = it->second;
        start = end + 1;
    }
    (now ? nodes[at].selfNow : nodes[at].selfBefore) += micros;
}

}  // namespace

FlameDiff::Stacks FlameDiff::FromFolded(const std::string& text) {
    Stacks out;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string_view line(text.data() + at, end - at);
        const size_t space = line.rfind(' ');
        if (space != std::string_view::npos && space > 0) {
            out.emplace_back(std::string(line.substr(0, space)),
                             std::strtod(std::string(line.substr(space + 1)).c_str(), nullptr));
        }
        at = end + 1;
    }
    return out;
}

std::string FlameDiff::Json(const Stacks& before, const Stacks& now, const std::string& file) {
    std::vector<Node> nodes(1);
    nodes[0].name = "all threads";
    for (const auto& [stack, micros] : before) AddStack(nodes, stack, micros, false);
    for (const auto& [stack, micros] : now) AddStack(nodes, stack, micros, true);
    // Children always come after their parent, so one backward pass gives the totals.
    for (size_t i = nodes.size(); i-- > 0;) {
        Node& n = nodes[i];
        n.totalNow += n.selfNow;
        n.totalBefore += n.selfBefore;
        for (const auto& [name, c] : n.children) {
            n.totalNow += nodes[c].totalNow;
            n.totalBefore += nodes[c].totalBefore;
        }
    }
    auto width = [&](size_t i) { return std::max(nodes[i].totalNow, nodes[i].totalBefore); };
    double threshold = 0;
    if (nodes.size() > MaxNodes + 1) {
        std::vector<double> widths;
        for (size_t i = 1; i < nodes.size(); ++i) widths.push_back(width(i));
        auto nth = widths.begin() + static_cast<long>(MaxNodes - 1);
        std::nth_element(widths.begin(), nth, widths.end(), std::greater<double>());
        threshold = *nth;
    }
    auto kept = [&](size_t i) { return width(i) > 0 && width(i) >= threshold; };
    // A frame at least as wide as its drawn callees together, as the flame graph needs.
    std::vector<double> value(nodes.size(), 0);
    for (size_t i = nodes.size(); i-- > 0;) {
        double children = 0;
        for (const auto& [name, c] : nodes[i].children) {
            if (kept(c)) children += value[c];
        }
        value[i] = std::max(width(i), children);
    }
    std::string out;
    JsonBuilder j(out);
    j.Open('{');
    j.Key("kind").String("folded");
    j.Key("file").String(file);
    j.Key("beforeMicros").Number(nodes[0].totalBefore);
    j.Key("nowMicros").Number(nodes[0].totalNow);
    j.Key("flame");
    struct Step {
        size_t node;
        bool close;
    };
    std::vector<Step> steps{{0, false}};
    while (!steps.empty()) {
        const Step s = steps.back();
        steps.pop_back();
        if (s.close) {
            j.Close(']').Close('}');
            continue;
        }
        const Node& n = nodes[s.node];
        // The page sums "d" over callees: a frame's own share is its change less its drawn callees'.
        double delta = n.totalNow - n.totalBefore;
        for (const auto& [name, c] : n.children) {
            if (kept(c)) delta -= nodes[c].totalNow - nodes[c].totalBefore;
        }
        j.Open('{');
        j.Key("n").String(n.name);
        j.Key("v").Number(value[s.node]);
        j.Key("d").Number(delta);
        j.Key("now").Number(n.totalNow);
        j.Key("before").Number(n.totalBefore);
        j.Key("children").Open('[');
        steps.push_back({s.node, true});
        for (const auto& [name, c] : n.children) {
            if (kept(c)) steps.push_back({c, false});
        }
    }
    j.Close('}');
    return out;
}

}  // namespace QuorixCollect
