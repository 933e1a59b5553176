#include "spans/HttpPoster.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace QuorixCollect {

namespace {

using Clock = std::chrono::steady_clock;

int MillisLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 60000));
}

bool WaitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int n = poll(&p, 1, MillisLeft(deadline));
        if (n > 0) {
            return true;
        }
        if (n == 0 || errno != EINTR) {
            return false;
        }
    }
}

std::string LowerAscii(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

}  // namespace

bool ParseHttpUrl(std::string_view url, const std::string& defaultPath, HttpUrl& out, std::string& error) {
    out = HttpUrl{};
    out.text = std::string(url);
    constexpr std::string_view scheme = "http://";
    if (url.substr(0, scheme.size()) != scheme) {
        error = url.substr(0, 8) == "https://" ? "https is not supported (send to a local OTLP/HTTP receiver such as a "
                                                 "collector in front of the backend)"
                                               : "the URL must start with http://";
        return false;
    }
    std::string_view rest = url.substr(scheme.size());
    const size_t slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    std::string_view path = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash);
    if (authority.find('@') != std::string_view::npos) {
        error = "credentials in the URL are not supported";
        return false;
    }
    std::string_view port;
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
        }
    } else {
        const size_t colon = authority.find(':');
        out.host = std::string(authority.substr(0, colon));
        if (colon != std::string_view::npos) {
            port = authority.substr(colon + 1);
        }
    }
    if (out.host.empty()) {
        error = "no host in the URL";
        return false;
    }
    const bool hasPort = authority.front() == '[' ? authority.find("]:") != std::string_view::npos
                                                  : authority.find(':') != std::string_view::npos;
    if (hasPort) {
        char* end = nullptr;
        const std::string p(port);
        const long v = p.empty() ? -1 : strtol(p.c_str(), &end, 10);
        if (p.empty() || *end != '\0' || v < 1 || v > 65535) {
            error = "bad port in the URL";
            return false;
        }
        out.port = static_cast<uint16_t>(v);
    }
    out.path = path.empty() || path == "/" ? defaultPath : std::string(path);
    return true;
}

HttpPoster::HttpPoster(HttpUrl target) : url(std::move(target)) {}

HttpPoster::~HttpPoster() { Disconnect(); }

void HttpPoster::Disconnect() {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

bool HttpPoster::Connect(Clock::time_point deadline, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const std::string port = std::to_string(url.port);
    const int rc = getaddrinfo(url.host.c_str(), port.c_str(), &hints, &list);
    if (rc != 0) {
        error = "cannot resolve " + url.host + ": " + gai_strerror(rc);
        return false;
    }
    error = "cannot connect";
    for (addrinfo* a = list; a != nullptr; a = a->ai_next) {
        const int candidate = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (candidate < 0) {
            continue;
        }
        int r = connect(candidate, a->ai_addr, a->ai_addrlen);
        if (r != 0 && errno == EINPROGRESS) {
            if (WaitFor(candidate, POLLOUT, deadline)) {
                int soError = 0;
                socklen_t len = sizeof soError;
                getsockopt(candidate, SOL_SOCKET, SO_ERROR, &soError, &len);
                r = soError == 0 ? 0 : -1;
                errno = soError;
            } else {
                errno = ETIMEDOUT;
            }
        }
        if (r == 0) {
            const int one = 1;
            setsockopt(candidate, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            fd = candidate;
            freeaddrinfo(list);
            return true;
        }
        error = std::string("cannot connect: ") + strerror(errno);
        close(candidate);
    }
    freeaddrinfo(list);
    return false;
}

HttpPoster::Result HttpPoster::Post(std::string_view contentType, const std::string& body,
                                    std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    const bool reused = fd >= 0;
    Result r = Exchange(contentType, body, deadline);
    if (r.status == 0 && reused && Clock::now() < deadline) {
        // The receiver may have closed an idle kept-alive connection: one fresh try.
        r = Exchange(contentType, body, deadline);
    }
    return r;
}

namespace {

// The answer as it arrives on the socket, read only as far as needed.
struct Answer {
    int fd;
    Clock::time_point deadline;
    std::string in;
    bool closed = false;

    bool ReadMore() {
        char buf[16384];
        for (;;) {
            const ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n > 0) {
                in.append(buf, static_cast<size_t>(n));
                return true;
            }
            if (n == 0) {
                closed = true;
                return false;
            }
            if (errno == EINTR) {
                continue;
            }
            if ((errno == EAGAIN || errno == EWOULDBLOCK) && WaitFor(fd, POLLIN, deadline)) {
                continue;
            }
            return false;
        }
    }

    // Chunk sizes, data, and the final zero chunk with its trailer.
    bool ReadChunks() {
        size_t at = 0;
        for (;;) {
            size_t eol;
            while ((eol = in.find("\r\n", at)) == std::string::npos) {
                if (!ReadMore()) {
                    return false;
                }
            }
            const unsigned long size = strtoul(in.c_str() + at, nullptr, 16);
            if (size == 0) {
                while (in.size() < eol + 4 && ReadMore()) {}
                return true;
            }
            while (in.size() < eol + 2 + size + 2) {
                if (!ReadMore()) {
                    return false;
                }
            }
            at = eol + 2 + size + 2;
        }
    }
};

struct Headers {
    long long contentLength = -1;
    bool chunked = false;
    bool keepAlive = true;
};

// The header lines between the status line and `end`.
Headers ParseHeaders(const std::string& in, size_t end, HttpPoster::Result& result) {
    Headers h;
    size_t pos = in.find("\r\n") + 2;
    while (pos < end) {
        const size_t eol = in.find("\r\n", pos);
        const std::string_view line(in.data() + pos, eol - pos);
        pos = eol + 2;
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            continue;
        }
        const std::string name = LowerAscii(line.substr(0, colon));
        std::string_view value = line.substr(colon + 1);
        while (!value.empty() && value.front() == ' ') {
            value.remove_prefix(1);
        }
        const std::string v = LowerAscii(value);
        if (name == "content-length") {
            h.contentLength = atoll(v.c_str());
        } else if (name == "transfer-encoding" && v.find("chunked") != std::string::npos) {
            h.chunked = true;
        } else if (name == "connection" && v.find("close") != std::string::npos) {
            h.keepAlive = false;
        } else if (name == "retry-after" && !v.empty() && isdigit(static_cast<unsigned char>(v[0]))) {
            result.retryAfterSeconds = atof(v.c_str());
        }
    }
    return h;
}

}  // namespace

bool HttpPoster::SendAll(const char* data, size_t size, Clock::time_point deadline, std::string& error) {
    while (size > 0) {
        const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n > 0) {
            data += n;
            size -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && WaitFor(fd, POLLOUT, deadline)) {
            continue;
        }
        error = n < 0 && errno != EAGAIN ? std::string("send failed: ") + strerror(errno) : "send timed out";
        return false;
    }
    return true;
}

HttpPoster::Result HttpPoster::Exchange(std::string_view contentType, const std::string& body,
                                        Clock::time_point deadline) {
    Result result;
    if (fd < 0 && !Connect(deadline, result.error)) {
        return result;
    }
    std::string head = "POST " + url.path + " HTTP/1.1\r\nHost: " + url.host + ":" + std::to_string(url.port) +
                       "\r\nContent-Type: " + std::string(contentType) +
                       "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nUser-Agent: quorix-collect\r\n\r\n";
    if (!SendAll(head.data(), head.size(), deadline, result.error) ||
        !SendAll(body.data(), body.size(), deadline, result.error)) {
        Disconnect();
        return result;
    }

    // The answer: status line and headers, then a body by length, chunks or up to the close.
    Answer answer{fd, deadline, {}};
    std::string& in = answer.in;
    size_t headerEnd = std::string::npos;
    while ((headerEnd = in.find("\r\n\r\n")) == std::string::npos) {
        if (in.size() > 65536 || !answer.ReadMore()) {
            result.error = answer.closed ? "connection closed without an answer" : "no answer in time";
            Disconnect();
            return result;
        }
    }
    if (in.compare(0, 5, "HTTP/") != 0 || in.find(' ') == std::string::npos) {
        result.error = "not an HTTP answer";
        Disconnect();
        return result;
    }
    result.status = atoi(in.c_str() + in.find(' ') + 1);
    Headers headers = ParseHeaders(in, headerEnd, result);
    in.erase(0, headerEnd + 4);
    bool complete = false;
    if (headers.chunked) {
        complete = answer.ReadChunks();
    } else if (headers.contentLength >= 0) {
        while (static_cast<long long>(in.size()) < headers.contentLength && answer.ReadMore()) {}
        complete = static_cast<long long>(in.size()) >= headers.contentLength;
    } else {
        while (answer.ReadMore()) {}
        headers.keepAlive = false;
        complete = true;
    }
    if (!complete || !headers.keepAlive) {
        Disconnect();
    }
    return result;
}

}  // namespace QuorixCollect
