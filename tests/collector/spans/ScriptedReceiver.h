#pragma once

// An HTTP receiver on 127.0.0.1 whose answers a test scripts, hostile ones included: it reads
// each request whole, then lets the script write whatever it likes for as long as it likes.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace CollectorTest {

struct HttpRequest {
    std::string head;  // request line and headers
    std::string body;

    // The value of a header, "" when absent.
    std::string Header(const std::string& name) const {
        size_t at = head.find("\r\n");
        while (at != std::string::npos && at + 2 < head.size()) {
            const size_t eol = head.find("\r\n", at + 2);
            const std::string line = head.substr(at + 2, eol - at - 2);
            const size_t colon = line.find(':');
            if (colon != std::string::npos && strcasecmp(line.substr(0, colon).c_str(), name.c_str()) == 0) {
                return line.substr(line.find_first_not_of(' ', colon + 1));
            }
            at = eol;
        }
        return "";
    }
};

class ScriptedReceiver {
public:
    // Writes the answer on `fd`; true keeps the connection open for the next request. A script
    // that writes forever must stop when a send fails (the client gave up) or `stop` is set.
    using Script = std::function<bool(int fd, const HttpRequest& request, const std::atomic<bool>& stop)>;

    explicit ScriptedReceiver(Script answer) : script(std::move(answer)) {
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listener, 16);
        socklen_t len = sizeof a;
        getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        thread = std::thread([this] { Serve(); });
    }
    ~ScriptedReceiver() {
        stop = true;
        shutdown(listener, SHUT_RDWR);
        const int c = client.load();
        if (c >= 0) {
            shutdown(c, SHUT_RDWR);
        }
        thread.join();
        close(listener);
    }

    uint16_t Port() const { return port; }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port); }
    std::vector<HttpRequest> Requests() {
        std::lock_guard<std::mutex> lock(mutex);
        return requests;
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(mutex);
        return requests.size();
    }

    // Helpers for scripts. False once the client is gone.
    static bool Send(int fd, std::string_view text) {
        while (!text.empty()) {
            const ssize_t n = send(fd, text.data(), text.size(), MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            text.remove_prefix(static_cast<size_t>(n));
        }
        return true;
    }
    // `piece` again and again, `pause` between, until the client leaves or the test ends.
    static void Forever(int fd, std::string_view piece, const std::atomic<bool>& stop,
                        std::chrono::milliseconds pause = std::chrono::milliseconds(0)) {
        while (!stop && Send(fd, piece)) {
            if (pause.count() > 0) {
                std::this_thread::sleep_for(pause);
            }
        }
    }
    // Says nothing until the client leaves or the test ends.
    static void Silent(int fd, const std::atomic<bool>& stop) {
        char buf[4096];
        while (!stop) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 50) > 0 && recv(fd, buf, sizeof buf, 0) <= 0) {
                return;
            }
        }
    }
    static std::string Answer(int status, const std::string& headers = "", const std::string& body = "{}") {
        return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" +
               headers + "\r\n" + body;
    }

private:
    // One request off the connection; false when it closed first.
    static bool ReadRequest(int fd, std::string& pending, HttpRequest& out) {
        char buf[65536];
        for (;;) {
            const size_t end = pending.find("\r\n\r\n");
            if (end != std::string::npos) {
                out.head = pending.substr(0, end + 2);
                const std::string length = out.Header("Content-Length");
                const size_t size = length.empty() ? 0 : std::stoull(length);
                if (pending.size() >= end + 4 + size) {
                    out.body = pending.substr(end + 4, size);
                    pending.erase(0, end + 4 + size);
                    return true;
                }
            }
            const ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) {
                return false;
            }
            pending.append(buf, static_cast<size_t>(n));
        }
    }

    void Serve() {
        while (!stop) {
            const int c = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) {
                return;
            }
            client = c;
            if (stop) {
                shutdown(c, SHUT_RDWR);
            }
            std::string pending;
            HttpRequest request;
            while (!stop && ReadRequest(c, pending, request)) {
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    requests.push_back(request);
                }
                if (!script(c, request, stop)) {
                    break;
                }
            }
            client = -1;
            close(c);
        }
    }

    Script script;
    int listener = -1;
    uint16_t port = 0;
    std::atomic<bool> stop{false};
    std::atomic<int> client{-1};
    std::mutex mutex;
    std::vector<HttpRequest> requests;
    std::thread thread;
};

}  // namespace CollectorTest
