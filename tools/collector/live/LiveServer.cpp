#include "live/LiveServer.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <httplib.h>

#include "live/LiveStore.h"

namespace QuorixCollect {

namespace {

constexpr const char* Loopback = "127.0.0.1";

// Not the library's default, which adds SO_REUSEPORT: with it a second server could share a port
// that is taken, and the user would never learn of it.
void ReuseAddressOnly(socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

bool ParseSince(const std::string& text, uint64_t& out) {
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    out = strtoull(text.c_str(), nullptr, 10);
    return true;
}

// Counts an answer being put together, so that their memory stays bounded.
class Answering {
public:
    explicit Answering(std::atomic<int>& counter) : n(counter) { ok = ++n <= LiveServer::MaxAnswersAtOnce; }
    ~Answering() { --n; }
    bool Ok() const { return ok; }

private:
    std::atomic<int>& n;
    bool ok;
};

void Busy(httplib::Response& res) {
    res.status = 503;
    res.set_header("Retry-After", "1");
    res.set_content("busy, try again\n", "text/plain");
}

}  // namespace

LiveServer::LiveServer(const LiveStore& liveStore, std::string livePage)
    : store(liveStore), page(std::move(livePage)), server(std::make_unique<httplib::Server>()) {}

LiveServer::~LiveServer() { Stop(); }

void LiveServer::Routes() {
    server->new_task_queue = [] { return new httplib::ThreadPool(Threads); };
    server->set_socket_options(ReuseAddressOnly);
    // A slow or silent client cannot keep a thread for long.
    server->set_keep_alive_timeout(2);
    server->set_read_timeout(5, 0);
    server->set_write_timeout(5, 0);
    server->set_payload_max_length(64 * 1024);
    server->Get("/", [this](const httplib::Request&, httplib::Response& res) {
        try {
            res.set_header("Cache-Control", "no-store");
            res.set_content(page, "text/html; charset=utf-8");
        } catch (...) {
            res.status = 500;
        }
    });
    server->Get("/api/requests", [this](const httplib::Request& req, httplib::Response& res) {
        try {
            uint64_t since = 0;
            if (req.has_param("since") && !ParseSince(req.get_param_value("since"), since)) {
                res.status = 400;
                res.set_content("since: a request number, 0 or more\n", "text/plain");
                return;
            }
            Answering answer(answering);
            if (!answer.Ok()) return Busy(res);
            const LiveStore::Snapshot snapshot = store.Since(since);
            res.set_header("Cache-Control", "no-store");
            res.set_header("X-Quorix-Last", std::to_string(snapshot.last));
            res.set_header("X-Quorix-Let-Go", std::to_string(snapshot.letGo));
            res.set_content(LiveStore::JsonArray(snapshot), "application/json");
        } catch (...) {
            res.status = 500;
        }
    });
    server->Get("/api/status", [this](const httplib::Request&, httplib::Response& res) {
        try {
            const LiveStore::Snapshot snapshot = store.Since(UINT64_MAX);
            const std::string comparison = store.Comparison();
            std::string body = "{\"last\":" + std::to_string(snapshot.last) +
                               ",\"kept\":" + std::to_string(store.Count()) +
                               ",\"letGo\":" + std::to_string(snapshot.letGo) +
                               ",\"comparison\":" + (comparison.empty() ? std::string("null") : comparison) + "}";
            res.set_header("Cache-Control", "no-store");
            res.set_content(body, "application/json");
        } catch (...) {
            res.status = 500;
        }
    });
}

bool LiveServer::Start(uint16_t wanted, std::string& error) {
    if (wanted == 0) {
        error = "--live needs a port from 1 to 65535";
        return false;
    }
    Routes();
    errno = 0;
    if (!server->bind_to_port(Loopback, wanted)) {
        const int e = errno;
        const std::string address = std::string(Loopback) + ":" + std::to_string(wanted);
        if (e == EADDRINUSE) {
            error =
                "--live: port " + std::to_string(wanted) + " is taken (" + address + " is in use by another program)";
        } else {
            error = "--live: cannot listen on " + address + (e != 0 ? ": " + std::string(strerror(e)) : "");
        }
        return false;
    }
    port = wanted;
    httplib::Server* s = server.get();
    thread = std::thread([s] {
        try {
            s->listen_after_bind();
        } catch (...) {}
    });
    return true;
}

void LiveServer::Stop() {
    if (thread.joinable()) {
        server->stop();
        thread.join();
    }
}

std::string LiveServer::Url() const { return "http://" + std::string(Loopback) + ":" + std::to_string(port) + "/"; }

}  // namespace QuorixCollect
