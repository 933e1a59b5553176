#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace QuorixCollect {

struct HttpUrl {
    std::string host;
    uint16_t port = 80;
    std::string path;
    std::string text;  // as given, for messages
};

// "http://host[:port][/path]"; a URL without a path gets `defaultPath`. Only plain HTTP.
bool ParseHttpUrl(std::string_view url, const std::string& defaultPath, HttpUrl& out, std::string& error);

// HTTP/1.1 POSTs over one kept-alive plain socket, every step bounded by a deadline. Never
// raises SIGPIPE. Not thread-safe: one poster per sending thread.
class HttpPoster {
public:
    explicit HttpPoster(HttpUrl target);
    ~HttpPoster();
    HttpPoster(const HttpPoster&) = delete;
    HttpPoster& operator=(const HttpPoster&) = delete;

    struct Result {
        int status = 0;  // 0: no answer (error says why)
        std::string error;
        double retryAfterSeconds = -1;  // from Retry-After, when given in seconds
    };
    Result Post(std::string_view contentType, const std::string& body, std::chrono::milliseconds timeout);
    void Disconnect();

private:
    bool Connect(std::chrono::steady_clock::time_point deadline, std::string& error);
    Result Exchange(std::string_view contentType, const std::string& body,
                    std::chrono::steady_clock::time_point deadline);
    bool SendAll(const char* data, size_t size, std::chrono::steady_clock::time_point deadline, std::string& error);

    HttpUrl url;
    int fd = -1;
};

}  // namespace QuorixCollect
