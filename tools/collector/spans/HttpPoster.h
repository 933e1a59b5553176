#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace QuorixCollect {

struct HttpUrl {
    bool https = false;
    std::string host;
    uint16_t port = 80;
    std::string path;
    std::string text;  // as given, for messages

    // scheme://host:port/path, as the HTTP library takes it.
    std::string Full() const;
};

// "http[s]://host[:port][/path]"; a URL without a path gets `defaultPath` (a URL used as given
// passes "/"). No credentials in the URL: they belong in a header.
bool ParseHttpUrl(std::string_view url, const std::string& defaultPath, HttpUrl& out, std::string& error);

// What every request to one receiver carries.
struct HttpTarget {
    HttpUrl url;
    std::vector<std::pair<std::string, std::string>> headers;  // never shown anywhere
    std::string caPem;                                         // trusted certificates; empty: the system's
    std::string userAgent;
    // Of an answer, only this much of the body and of the headers is kept or read on; past it
    // the connection is dropped, with the status already known.
    size_t maxBodyBytes = 64 * 1024;
    size_t maxHeaderBytes = 64 * 1024;
};

// HTTP POSTs through libcurl over one kept-alive connection (TLS, proxies from the usual
// variables). Every request ends by its deadline whatever the server sends, and a deadline set
// from another thread (LimitTo) cuts a request already in flight. Not for concurrent Posts.
class HttpPoster {
public:
    using Clock = std::chrono::steady_clock;
    explicit HttpPoster(HttpTarget target);
    ~HttpPoster();
    HttpPoster(const HttpPoster&) = delete;
    HttpPoster& operator=(const HttpPoster&) = delete;

    struct Result {
        int status = 0;  // 0: no answer (error says why)
        std::string error;
        double retryAfterSeconds = -1;  // from Retry-After (seconds or a date), when valid
        std::string body;               // the answer's first maxBodyBytes
    };
    Result Post(std::string_view contentType, std::string_view contentEncoding, const std::string& body,
                Clock::time_point deadline);
    // Thread-safe: no request runs past `deadline` from now on, the one in flight included.
    void LimitTo(Clock::time_point deadline);

    // "Retry-After" as RFC 9110 has it: seconds (huge values saturate) or an HTTP date; -1 for
    // anything else.
    static double ParseRetryAfter(std::string_view value, std::chrono::system_clock::time_point now);

private:
    struct Exchange;
    Clock::time_point Limit(Clock::time_point deadline) const;

    HttpTarget target;
    void* easy = nullptr;   // CURL*
    void* multi = nullptr;  // CURLM*
    std::atomic<int64_t> limit;
};

}  // namespace QuorixCollect
