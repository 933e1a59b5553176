#include "requests/RequestFindings.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>

namespace QuorixCollect {

namespace {

bool IsWordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_'; }

// Skips a quoted literal starting at `i` (doubled quotes inside it), returns the index after it.
size_t SkipQuoted(std::string_view text, size_t i) {
    const char quote = text[i];
    for (++i; i < text.size(); ++i) {
        if (text[i] == quote) {
            if (i + 1 < text.size() && text[i + 1] == quote) {
                ++i;
                continue;
            }
            return i + 1;
        }
    }
    return i;
}

void AppendPlaceholder(std::string& out) {
    if (!out.empty() && out.back() != ' ' && out.back() != '(' && IsWordChar(out.back())) {
        out += ' ';
    }
    out += '?';
}

// "(?, ?, ?)" and "(?,?)" become "(?)": a list of values is one shape whatever its length.
void FoldLists(std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        out += s[i];
        if (s[i] == '?') {
            size_t j = i + 1;
            while (true) {
                size_t k = j;
                while (k < s.size() && s[k] == ' ') ++k;
                if (k < s.size() && s[k] == ',') {
                    ++k;
                    while (k < s.size() && s[k] == ' ') ++k;
                    if (k < s.size() && s[k] == '?') {
                        j = k + 1;
                        continue;
                    }
                }
                break;
            }
            i = j - 1;
        }
    }
    s.swap(out);
}

std::string Cut(std::string_view text, size_t n) {
    std::string s(text.substr(0, n));
    for (char& c : s) {
        if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    }
    return text.size() > n ? s + "..." : s;
}

std::string Ms(double ms) {
    char buf[32];
    snprintf(buf, sizeof buf, ms >= 10 ? "%.0f ms" : "%.1f ms", ms);
    return buf;
}

double StatementMs(const SqlStatement& s) {
    return s.endNs > s.startNs ? static_cast<double>(s.endNs - s.startNs) / 1e6 : 0.0;
}

void AddFinding(Request& r, std::string name, std::string text) {
    r.findings.push_back({std::move(name), std::move(text)});
}

void Mark(SqlStatement& s, const char* name) {
    if (std::find(s.findings.begin(), s.findings.end(), name) == s.findings.end()) {
        s.findings.push_back(name);
    }
}

void FindRepeats(Request& r, const FindingRules& rules) {
    std::map<std::string, std::vector<size_t>> byShape;
    std::map<std::string, std::vector<size_t>> byText;
    for (size_t i = 0; i < r.sql.size(); ++i) {
        const SqlStatement& s = r.sql[i];
        byShape[SqlShape(s.text)].push_back(i);
        std::string key = s.text;
        for (const auto& p : s.parameters) {
            key += '\x1f' + p.name + '\x1e' + (p.isNull ? std::string("\x1d") : p.value);
        }
        byText[key].push_back(i);
    }
    for (const auto& [shape, uses] : byShape) {
        if (rules.nPlusOne > 0 && uses.size() >= rules.nPlusOne) {
            AddFinding(r, "n_plus_one",
                       "the same statement ran " + std::to_string(uses.size()) + " times: " + Cut(shape, 120));
            for (size_t i : uses) Mark(r.sql[i], "n_plus_one");
        }
    }
    for (const auto& [key, uses] : byText) {
        if (uses.size() >= 2) {
            const SqlStatement& s = r.sql[uses.front()];
            AddFinding(r, "duplicate",
                       "ran " + std::to_string(uses.size()) + " times with the same parameters: " + Cut(s.text, 120));
            for (size_t i : uses) Mark(r.sql[i], "duplicate");
        }
    }
}

}  // namespace

std::string SqlShape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const char c = text[i];
        if (c == '\'') {
            i = SkipQuoted(text, i);
            AppendPlaceholder(out);
        } else if ((c == '@' || c == ':' || c == '$') && i + 1 < text.size() && IsWordChar(text[i + 1]) &&
                   !(c == ':' && i > 0 && text[i - 1] == ':')) {
            // @name, :name, $1: a parameter (a cast "::int" is not one)
            for (++i; i < text.size() && IsWordChar(text[i]); ++i) {}
            AppendPlaceholder(out);
        } else if (std::isdigit(static_cast<unsigned char>(c)) != 0 && (out.empty() || !IsWordChar(out.back()))) {
            while (i < text.size() && (IsWordChar(text[i]) || text[i] == '.')) ++i;
            AppendPlaceholder(out);
        } else if (std::isspace(static_cast<unsigned char>(c)) != 0) {
            if (!out.empty() && out.back() != ' ') out += ' ';
            ++i;
        } else {
            out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            ++i;
        }
    }
    while (!out.empty() && (out.back() == ' ' || out.back() == ';')) out.pop_back();
    FoldLists(out);
    return out;
}

std::string InlineParameters(const SqlStatement& s) {
    std::string out;
    const std::string& text = s.text;
    for (size_t i = 0; i < text.size();) {
        const char c = text[i];
        if (c == '\'') {
            const size_t end = SkipQuoted(text, i);
            out.append(text, i, end - i);
            i = end;
            continue;
        }
        if ((c == '@' || c == ':' || c == '$') && i + 1 < text.size() && IsWordChar(text[i + 1]) &&
            !(c == ':' && i > 0 && text[i - 1] == ':')) {
            size_t j = i + 1;
            while (j < text.size() && IsWordChar(text[j])) ++j;
            const std::string_view marker(text.data() + i, j - i);
            const SqlParameter* hit = nullptr;
            size_t positional = 0;
            for (const auto& p : s.parameters) {
                const std::string_view bare = std::string_view(p.name).substr(
                    !p.name.empty() && (p.name[0] == '@' || p.name[0] == ':' || p.name[0] == '$') ? 1 : 0);
                // "$1" is the first of the parameters without a name.
                if (bare.empty()) ++positional;
                if ((!bare.empty() && bare == marker.substr(1)) ||
                    (c == '$' && bare.empty() && marker.substr(1) == std::to_string(positional))) {
                    hit = &p;
                    break;
                }
            }
            if (hit == nullptr) {
                out.append(marker);
            } else if (hit->isNull) {
                out += "NULL";
            } else if (hit->isText) {
                out += '\'';
                for (char v : hit->value) {
                    out += v;
                    if (v == '\'') out += '\'';
                }
                out += '\'';
            } else {
                out += hit->value;
            }
            i = j;
            continue;
        }
        out += c;
        ++i;
    }
    return out;
}

void FindIn(Request& r, const FindingRules& rules) {
    r.findings.clear();
    for (auto& s : r.sql) s.findings.clear();
    FindRepeats(r, rules);
    for (auto& s : r.sql) {
        const double ms = StatementMs(s);
        if (ms >= rules.slowSqlMs) {
            AddFinding(r, "slow_sql", "a statement took " + Ms(ms) + ": " + Cut(s.text, 120));
            Mark(s, "slow_sql");
        }
    }
    if (r.DurationMs() >= rules.slowRequestMs) {
        AddFinding(r, "slow_request", "the request took " + Ms(r.DurationMs()));
    }
    if (r.status >= 500) {
        AddFinding(r, "failed", "it answered " + std::to_string(r.status));
    } else {
        for (const auto& e : r.exceptions) {
            if (e.leftRequest) {
                AddFinding(r, "failed", (e.type.empty() ? std::string("an exception") : e.type) + " left the request");
                break;
            }
        }
    }
}

}  // namespace QuorixCollect
