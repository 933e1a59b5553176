#include "compare/Baseline.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cstdlib>

#include <nlohmann/json.hpp>

namespace QuorixCollect {

namespace {

using Json = nlohmann::json;

bool Blank(char ch) { return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n'; }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && Blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && Blank(s.back())) s.remove_suffix(1);
    return s;
}

// Calls `take(line, number, last)` for each non-blank line, trimmed, until it returns false;
// `last` when the line has no newline after it (where a cut-off file shows).
template <typename Take>
bool EachLine(std::string_view text, Take take) {
    size_t lineNumber = 0;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        const bool last = end == std::string_view::npos;
        if (last) end = text.size();
        const std::string_view line = Trim(text.substr(at, end - at));
        at = end + 1;
        ++lineNumber;
        if (!line.empty() && !take(line, lineNumber, last || Trim(text.substr(std::min(at, text.size()))).empty())) {
            return false;
        }
    }
    return true;
}

// One request object of the --requests format: what a comparison needs of it.
bool TakeRequest(const Json& r, EndpointStats& into) {
    if (!r.is_object()) return false;
    const auto endpoint = r.find("endpoint");
    const auto duration = r.find("durationMs");
    if (endpoint == r.end() || !endpoint->is_string() || duration == r.end() || !duration->is_number()) {
        return false;
    }
    const auto sql = r.find("sqlCount");
    const double sqlCount = sql != r.end() && sql->is_number() ? sql->get<double>() : 0.0;
    into.Add(endpoint->get<std::string>(), duration->get<double>(), sqlCount);
    return true;
}

// "a;b;c 123": the stack and its count, split at the last blank.
bool FoldedLine(std::string_view line, std::string_view& stack, double& micros) {
    const size_t space = line.find_last_of(' ');
    if (space == std::string_view::npos || space == 0 || space + 1 >= line.size()) return false;
    const std::string count(line.substr(space + 1));
    if (count.find_first_not_of("0123456789.") != std::string::npos) return false;
    char* end = nullptr;
    errno = 0;
    const double v = strtod(count.c_str(), &end);
    if (end == count.c_str() || *end != '\0' || errno != 0 || v < 0) return false;
    stack = Trim(line.substr(0, space));
    micros = v;
    return !stack.empty();
}

}  // namespace

void Baseline::Clear() {
    kind = Kind::None;
    endpoints = EndpointStats{};
    stacks.clear();
    stacksLeftOut = 0;
}

bool Baseline::Read(const std::string& path, size_t maxBytes, std::string& error) {
    Clear();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = "cannot read it: " + std::string(strerror(errno));
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        error = "not a regular file";
        return false;
    }
    // The whole file is read at once: it must fit beside everything else.
    if (static_cast<uint64_t>(st.st_size) > maxBytes) {
        close(fd);
        error = "too large (" + std::to_string(st.st_size >> 20) + " MiB; at most " + std::to_string(maxBytes >> 20) +
                " MiB within --max-memory)";
        return false;
    }
    std::string text(static_cast<size_t>(st.st_size), '\0');
    size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = read(fd, &text[got], text.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    text.resize(got);
    return Parse(text, maxBytes, error);
}

bool Baseline::Parse(std::string_view text, size_t maxBytes, std::string& error) {
    Clear();
    bool ok = false;
    try {
        const std::string_view body = Trim(text);
        if (body.empty()) {
            error = "the file is empty";
        } else if (body.front() == '[') {
            ok = ParseRequestArray(body, error);
        } else if (body.front() == '{') {
            ok = ParseRequestLines(text, error);
        } else {
            ok = ParseFolded(text, maxBytes, error);
        }
    } catch (const std::exception& e) {
        error = std::string("cannot be read: ") + e.what();
        ok = false;
    }
    if (!ok) Clear();
    return ok;
}

bool Baseline::ParseRequestLines(std::string_view text, std::string& error) {
    const bool whole = EachLine(text, [&](std::string_view line, size_t lineNumber, bool last) {
        const Json r = Json::parse(line.begin(), line.end(), nullptr, false);
        if (r.is_discarded()) {
            error = last ? "cut off: its last line (" + std::to_string(lineNumber) + ") is not a whole request"
                         : "line " + std::to_string(lineNumber) + " is not JSON";
            return false;
        }
        if (!TakeRequest(r, endpoints)) {
            error = "line " + std::to_string(lineNumber) +
                    " is not a request of a --requests file (no endpoint and durationMs)";
            return false;
        }
        return true;
    });
    if (!whole) {
        return false;
    }
    if (endpoints.Requests() == 0) {
        error = "it holds no requests";
        return false;
    }
    kind = Kind::Requests;
    return true;
}

bool Baseline::ParseRequestArray(std::string_view text, std::string& error) {
    const Json all = Json::parse(text.begin(), text.end(), nullptr, false);
    if (all.is_discarded() || !all.is_array()) {
        error = text.back() != ']' ? "cut off: the JSON array does not end" : "not a JSON array of requests";
        return false;
    }
    for (size_t i = 0; i < all.size(); ++i) {
        if (!TakeRequest(all[i], endpoints)) {
            error = "element " + std::to_string(i + 1) + " is not a request of a --requests file";
            return false;
        }
    }
    if (endpoints.Requests() == 0) {
        error = "it holds no requests";
        return false;
    }
    kind = Kind::Requests;
    return true;
}

bool Baseline::ParseFolded(std::string_view text, size_t maxBytes, std::string& error) {
    size_t bytes = 0;
    const bool whole = EachLine(text, [&](std::string_view line, size_t lineNumber, bool last) {
        std::string_view stack;
        double micros = 0;
        if (!FoldedLine(line, stack, micros)) {
            if (last && lineNumber > 1) {
                error = "cut off: its last line (" + std::to_string(lineNumber) + ") is not a whole stack";
            } else if (lineNumber == 1) {
                error = "neither a --requests file nor --folded stacks (its first line is neither)";
            } else {
                error = "line " + std::to_string(lineNumber) + " is not a folded stack (\"outer;inner count\")";
            }
            return false;
        }
        bytes += stack.size() + sizeof(std::pair<std::string, double>);
        if (stacks.size() >= MaxStacks || bytes > maxBytes) {
            ++stacksLeftOut;
        } else {
            stacks.emplace_back(std::string(stack), micros);
        }
        return true;
    });
    if (!whole) {
        return false;
    }
    if (stacks.empty()) {
        error = "it holds no stacks";
        return false;
    }
    kind = Kind::Folded;
    return true;
}

}  // namespace QuorixCollect
