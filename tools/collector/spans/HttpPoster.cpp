#include "spans/HttpPoster.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <mutex>

namespace QuorixCollect {

namespace {

using Clock = std::chrono::steady_clock;

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) {
            return false;
        }
    }
    return true;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n')) {
        s.remove_suffix(1);
    }
    return s;
}

bool ParsePort(std::string_view text, uint16_t& port) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string_view::npos) {
        return false;
    }
    const long v = strtol(std::string(text).c_str(), nullptr, 10);
    if (v < 1 || v > 65535) {
        return false;
    }
    port = static_cast<uint16_t>(v);
    return true;
}

// host[:port] or [v6][:port].
bool ParseAuthority(std::string_view authority, HttpUrl& out, std::string& error) {
    std::string_view port;
    bool hasPort = false;
    if (!authority.empty() && authority.front() == '[') {
        const size_t close = authority.find(']');
        if (close == std::string_view::npos) {
            error = "bad IPv6 address in the URL";
            return false;
        }
        out.host = std::string(authority.substr(1, close - 1));
        if (close + 1 < authority.size()) {
            if (authority[close + 1] != ':') {
                error = "bad URL authority";
                return false;
            }
            port = authority.substr(close + 2);
            hasPort = true;
        }
    } else {
        const size_t colon = authority.find(':');
        out.host = std::string(authority.substr(0, colon));
        if (colon != std::string_view::npos) {
            port = authority.substr(colon + 1);
            hasPort = true;
        }
    }
    if (out.host.empty() || out.host.find_first_of(" \t\r\n/?#") != std::string::npos) {
        error = "no host in the URL";
        return false;
    }
    if (hasPort && !ParsePort(port, out.port)) {
        error = "bad port in the URL";
        return false;
    }
    return true;
}

// The code of a status line, "HTTP/1.1 503 Busy"; 0 when it has none.
int StatusOf(std::string_view line) {
    const size_t space = line.find(' ');
    if (space == std::string_view::npos || line.size() < space + 4) {
        return 0;
    }
    const std::string_view code = line.substr(space + 1, 3);
    if (code.find_first_not_of("0123456789") != std::string_view::npos) {
        return 0;
    }
    return (code[0] - '0') * 100 + (code[1] - '0') * 10 + (code[2] - '0');
}

}  // namespace

std::string HttpUrl::Full() const {
    const bool v6 = host.find(':') != std::string::npos;
    return std::string(https ? "https://" : "http://") + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port) +
           path;
}

bool ParseHttpUrl(std::string_view url, const std::string& defaultPath, HttpUrl& out, std::string& error) {
    out = HttpUrl{};
    out.text = std::string(url);
    std::string_view rest;
    if (StartsWithNoCase(url, "http://")) {
        rest = url.substr(7);
    } else if (StartsWithNoCase(url, "https://")) {
        out.https = true;
        out.port = 443;
        rest = url.substr(8);
    } else {
        error = "the URL must start with http:// or https://";
        return false;
    }
    if (url.find_first_of(" \t\r\n") != std::string_view::npos) {
        error = "blanks in the URL";
        return false;
    }
    const size_t slash = rest.find_first_of("/?");
    const std::string_view authority = rest.substr(0, slash);
    const std::string_view path = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash);
    if (authority.find('@') != std::string_view::npos) {
        error = "credentials in the URL are not supported (send them in a header)";
        return false;
    }
    if (!ParseAuthority(authority, out, error)) {
        return false;
    }
    out.path = path.empty() || path == "/" ? defaultPath : std::string(path);
    if (out.path.front() != '/') {
        out.path = "/" + out.path;
    }
    return true;
}

double HttpPoster::ParseRetryAfter(std::string_view value, std::chrono::system_clock::time_point now) {
    value = Trim(value);
    if (value.empty()) {
        return -1;
    }
    if (value.find_first_not_of("0123456789") == std::string_view::npos) {
        // Saturates instead of overflowing: the caller clamps it anyway.
        double seconds = 0;
        for (const char c : value) {
            seconds = std::min(seconds * 10 + (c - '0'), 1e12);
        }
        return seconds;
    }
    // Only the date form remains ("Sun, 06 Nov 1994 08:49:37 GMT"); it starts with the day's name.
    if (!std::isalpha(static_cast<unsigned char>(value.front())) || value.size() > 64) {
        return -1;
    }
    const time_t at = curl_getdate(std::string(value).c_str(), nullptr);
    if (at == -1) {
        return -1;
    }
    const double delta = static_cast<double>(at) - std::chrono::duration<double>(now.time_since_epoch()).count();
    return std::max(0.0, delta);
}

// One request's answer as it arrives, bounded in what is kept.
struct HttpPoster::Exchange {
    const HttpTarget& target;
    Result& result;
    size_t headerBytes = 0;
    bool headersDone = false;  // the final answer's headers all arrived
    bool headersTooLarge = false;

    static size_t OnHeader(char* data, size_t size, size_t count, void* user) {
        auto& x = *static_cast<Exchange*>(user);
        const size_t n = size * count;
        x.headerBytes += n;
        if (x.headerBytes > x.target.maxHeaderBytes) {
            x.headersTooLarge = true;
            return 0;
        }
        const std::string_view line(data, n);
        if (StartsWithNoCase(line, "http/")) {
            // A new answer (after a 1xx): what the previous one said does not count.
            x.result.retryAfterSeconds = -1;
            x.headersDone = false;
            x.result.status = StatusOf(line);
        } else if (Trim(line).empty()) {
            x.headersDone = x.result.status >= 200;
        } else if (StartsWithNoCase(line, "retry-after:")) {
            x.result.retryAfterSeconds = ParseRetryAfter(line.substr(12), std::chrono::system_clock::now());
        }
        return n;
    }

    static size_t OnBody(char* data, size_t size, size_t count, void* user) {
        auto& x = *static_cast<Exchange*>(user);
        const size_t n = size * count;
        const size_t room = x.target.maxBodyBytes - std::min(x.target.maxBodyBytes, x.result.body.size());
        x.result.body.append(data, std::min(n, room));
        if (n > room) {
            // Enough of it: the status is what counts. Stops the transfer.
            return 0;
        }
        return n;
    }
};

HttpPoster::HttpPoster(HttpTarget chosen) : target(std::move(chosen)), limit(std::numeric_limits<int64_t>::max()) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    easy = curl_easy_init();
    multi = curl_multi_init();
    if (easy == nullptr || multi == nullptr) {
        return;
    }
    CURL* e = static_cast<CURL*>(easy);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_URL, target.url.Full().c_str());
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_POST, 1L);
    curl_easy_setopt(e, CURLOPT_USERAGENT, target.userAgent.c_str());
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &Exchange::OnHeader);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Exchange::OnBody);
    if (!target.caPem.empty()) {
        curl_blob blob{target.caPem.data(), target.caPem.size(), CURL_BLOB_COPY};
        curl_easy_setopt(e, CURLOPT_CAINFO_BLOB, &blob);
    }
}

HttpPoster::~HttpPoster() {
    if (easy != nullptr) {
        curl_easy_cleanup(static_cast<CURL*>(easy));
    }
    if (multi != nullptr) {
        curl_multi_cleanup(static_cast<CURLM*>(multi));
    }
}

void HttpPoster::LimitTo(Clock::time_point deadline) {
    const int64_t at = deadline.time_since_epoch().count();
    int64_t current = limit.load();
    while (at < current && !limit.compare_exchange_weak(current, at)) {}
    if (multi != nullptr) {
        curl_multi_wakeup(static_cast<CURLM*>(multi));
    }
}

Clock::time_point HttpPoster::Limit(Clock::time_point deadline) const {
    return std::min(deadline, Clock::time_point(Clock::duration(limit.load())));
}

namespace {

curl_slist* RequestHeaders(const HttpTarget& target, std::string_view contentType, std::string_view encoding) {
    curl_slist* list = nullptr;
    auto add = [&](const std::string& line) {
        if (curl_slist* grown = curl_slist_append(list, line.c_str())) {
            list = grown;
        }
    };
    add("Content-Type: " + std::string(contentType));
    if (!encoding.empty()) {
        add("Content-Encoding: " + std::string(encoding));
    }
    // No "Expect: 100-continue" round trip: a receiver that does not answer it costs a second.
    add("Expect:");
    for (const auto& [name, value] : target.headers) {
        add(name + ": " + value);
    }
    return list;
}

// Runs the transfer until it ends or the (movable) deadline passes; true when it ended.
bool Drive(CURLM* multi, const std::function<Clock::time_point()>& deadline, CURLcode& code) {
    for (;;) {
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            code = CURLE_FAILED_INIT;
            return true;
        }
        if (running == 0) {
            int queued = 0;
            while (CURLMsg* m = curl_multi_info_read(multi, &queued)) {
                if (m->msg == CURLMSG_DONE) {
                    code = m->data.result;
                }
            }
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline() - Clock::now()).count();
        if (left <= 0) {
            return false;
        }
        curl_multi_poll(multi, nullptr, 0, static_cast<int>(std::min<long long>(left, 1000)), nullptr);
    }
}

}  // namespace

HttpPoster::Result HttpPoster::Post(std::string_view contentType, std::string_view contentEncoding,
                                    const std::string& body, Clock::time_point deadline) {
    Result result;
    if (easy == nullptr || multi == nullptr) {
        result.error = "the HTTP library could not be initialised";
        return result;
    }
    CURL* e = static_cast<CURL*>(easy);
    CURLM* m = static_cast<CURLM*>(multi);
    Exchange x{target, result};
    char errors[CURL_ERROR_SIZE] = {};
    curl_slist* headers = RequestHeaders(target, contentType, contentEncoding);
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(e, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(e, CURLOPT_HEADERDATA, &x);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &x);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, errors);
    const auto start = Clock::now();
    CURLcode code = CURLE_OK;
    curl_multi_add_handle(m, e);
    const bool ended = Drive(
        m, [&] { return Limit(deadline); }, code);
    // Taken out mid-transfer, the connection is closed: nothing more of this answer is read.
    curl_multi_remove_handle(m, e);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, nullptr);
    curl_slist_free_all(headers);

    if (x.headersDone && result.status >= 200 && !x.headersTooLarge) {
        // The status and the headers are in: a body cut short, broken or still dripping does
        // not change what the receiver said.
        return result;
    }
    result.status = 0;
    result.body.clear();
    if (x.headersTooLarge) {
        result.error = "the answer's headers exceed " + std::to_string(target.maxHeaderBytes / 1024) + " KiB";
    } else if (!ended) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        result.error = "no answer within " + std::to_string(ms) + " ms";
    } else {
        result.error = errors[0] != '\0' ? errors : curl_easy_strerror(code);
    }
    result.retryAfterSeconds = -1;
    return result;
}

}  // namespace QuorixCollect
