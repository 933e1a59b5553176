#include "losses/LossLedger.h"

#include <algorithm>

namespace QuorixCollect {

void LossLedger::Add(std::string line, std::string name, uint64_t count, Severity severity) {
    counters.push_back({std::move(line), std::move(name), count, severity, true});
}

void LossLedger::AddUnknown(std::string line, std::string name) {
    counters.push_back({std::move(line), std::move(name), 0, Severity::Lost, false});
}

void LossLedger::Note(std::string line, std::string text) { notes.emplace_back(std::move(line), std::move(text)); }

void LossLedger::Append(const LossLedger& other) {
    counters.insert(counters.end(), other.counters.begin(), other.counters.end());
    notes.insert(notes.end(), other.notes.begin(), other.notes.end());
}

std::vector<const LossCounter*> LossLedger::Of(std::string_view line) const {
    std::vector<const LossCounter*> out;
    for (const auto& c : counters) {
        if (c.line == line) {
            out.push_back(&c);
        }
    }
    return out;
}

uint64_t LossLedger::Count(std::string_view line, std::string_view name) const {
    uint64_t n = 0;
    for (const auto& c : counters) {
        if (c.line == line && c.name == name) {
            n += c.count;
        }
    }
    return n;
}

bool LossLedger::Has(std::string_view line) const {
    return std::any_of(counters.begin(), counters.end(), [&](const LossCounter& c) { return c.line == line; });
}

bool LossLedger::Reports(std::string_view line) const {
    return std::any_of(counters.begin(), counters.end(), [&](const LossCounter& c) {
        return c.line == line && c.severity != Severity::None && (c.count != 0 || !c.known);
    });
}

std::vector<std::string> LossLedger::Lines() const {
    std::vector<std::string> lines;
    for (const auto& c : counters) {
        if (std::find(lines.begin(), lines.end(), c.line) == lines.end()) {
            lines.push_back(c.line);
        }
    }
    return lines;
}

namespace {

// "3 what, 5 other" of the counters that are not zero.
std::string Listing(const LossLedger& ledger, std::string_view line) {
    std::string out;
    for (const LossCounter* c : ledger.Of(line)) {
        if (c->count != 0) {
            out += (out.empty() ? "" : ", ") + std::to_string(c->count) + " " + c->name;
        }
    }
    return out;
}

std::string AgentLine(const LossLedger& ledger, std::string_view line) {
    const uint64_t queueFull = ledger.Count(line, "queue full");
    const uint64_t sendFailed = ledger.Count(line, "send failed");
    const uint64_t pipeFull = ledger.Count(line, "pipe full");
    const uint64_t dropped = queueFull + sendFailed + pipeFull;
    std::string text = "agent delivery" +
                       std::string(ledger.Count(line, LossLine::NotFinal) != 0 ? " (last report, not final)" : "") +
                       ": " + std::to_string(ledger.Count(line, LossLine::Sent)) + " messages sent, " +
                       std::to_string(dropped) + " dropped";
    if (dropped != 0) {
        text += " (" + std::to_string(queueFull) + " queue full, " + std::to_string(sendFailed) + " send failed, " +
                std::to_string(pipeFull) + " pipe full)";
    }
    return text;
}

}  // namespace

std::string SpanLossText(const LossLedger& ledger) {
    const std::string_view line = LossLine::Spans;
    return std::to_string(ledger.Count(line, "dropped (export queue full)")) + " dropped (export queue full), " +
           std::to_string(ledger.Count(line, "refused by the receiver")) + " refused by the receiver, " +
           std::to_string(ledger.Count(line, "not delivered by the exit deadline")) +
           " not delivered by the exit deadline";
}

std::string RenderLossLine(const LossLedger& ledger, std::string_view line) {
    const std::string head(line);
    if (line == LossLine::Malformed) {
        uint64_t messages = 0;
        for (const LossCounter* c : ledger.Of(line)) {
            messages += c->name == LossLine::StreamBytes ? 0 : c->count;
        }
        std::string text = head + ": " + std::to_string(messages);
        const uint64_t bytes = ledger.Count(line, LossLine::StreamBytes);
        if (bytes != 0) {
            text += " (" + std::to_string(bytes) + " stream bytes dropped)";
        }
        return text;
    }
    if (line == LossLine::Kernel) {
        uint64_t count = 0;
        bool known = true;
        for (const LossCounter* c : ledger.Of(line)) {
            count += c->count;
            known = known && c->known;
        }
        return head + ": " + (known ? std::to_string(count) : std::string("unknown"));
    }
    if (line == LossLine::BadValues) {
        return head + ": " + std::to_string(ledger.Count(line, "records"));
    }
    if (line == LossLine::Spans) {
        return head + ": " + SpanLossText(ledger);
    }
    if (line.substr(0, LossLine::AgentPrefix.size()) == LossLine::AgentPrefix) {
        return AgentLine(ledger, line);
    }
    return head + ": " + Listing(ledger, line);
}

std::vector<std::string> DropLines(const LossLedger& ledger) {
    std::vector<std::string> out;
    for (const std::string& line : ledger.Lines()) {
        if (!ledger.Reports(line)) {
            continue;
        }
        out.push_back(RenderLossLine(ledger, line));
        for (const auto& [noteLine, text] : ledger.notes) {
            if (noteLine == line) {
                out.push_back(text);
            }
        }
    }
    return out;
}

}  // namespace QuorixCollect
