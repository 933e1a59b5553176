#include "requests/Request.h"

#include <cctype>

namespace QuorixCollect {

namespace {

// A path segment that names one thing rather than a kind of thing: a number, a GUID, a long hex id.
bool IsVariable(std::string_view s) {
    if (s.empty()) {
        return false;
    }
    size_t digits = 0, hex = 0;
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        digits += std::isdigit(u) != 0 ? 1 : 0;
        hex += std::isxdigit(u) != 0 || c == '-' ? 1 : 0;
    }
    return digits == s.size() || (hex == s.size() && s.size() >= 16 && digits > 0);
}

}  // namespace

std::string Request::Endpoint() const {
    if (!route.empty()) {
        return method.empty() ? route : method + " " + route;
    }
    if (kind != "http") {
        return name;
    }
    std::string out;
    size_t start = 0;
    while (start < path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        const std::string_view segment(path.data() + start, end - start);
        out += IsVariable(segment) ? std::string("{id}") : std::string(segment);
        if (end < path.size()) out += '/';
        start = end + 1;
    }
    if (!path.empty() && path.back() == '/' && (out.empty() || out.back() != '/')) out += '/';
    if (out.empty()) out = path.empty() ? "?" : path;
    return method.empty() ? out : method + " " + out;
}

bool Request::Failed() const {
    if (status >= 500) {
        return true;
    }
    for (const auto& e : exceptions) {
        if (e.leftRequest) return true;
    }
    return false;
}

size_t Request::Bytes() const {
    size_t bytes = sizeof(Request) + name.size() + path.size() + query.size();
    for (const auto& s : sql) {
        bytes += sizeof s + s.text.size() + s.method.size() + s.server.size();
        for (const auto& p : s.parameters) bytes += sizeof p + p.name.size() + p.value.size();
    }
    for (const auto& h : http) bytes += sizeof h + h.url.size();
    for (const auto& r : redis) bytes += sizeof r + r.key.size() + r.command.size();
    for (const auto& e : exceptions) {
        bytes += sizeof e + e.type.size() + e.message.size();
        for (const auto& f : e.stack) bytes += f.size() + 32;
    }
    for (const auto& c : calls) bytes += sizeof c + c.name.size();
    return bytes;
}

}  // namespace QuorixCollect
