#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace QuorixCollect {

class LiveStore;

// The live view: the report page and the requests seen so far, over HTTP on the loopback address
// only, while the collector runs. Its own threads answer from the store's snapshots.
//   GET /                         the page, which polls the two below
//   GET /api/requests[?since=N]   the requests numbered above N (all kept when absent), as a JSON
//                                 array of --requests objects; X-Quorix-Last: the newest number,
//                                 X-Quorix-Let-Go: how many the bound let go so far
//   GET /api/status               {"last","kept","letGo","comparison"}
class LiveServer {
public:
    // Answers put together at once: each may take as much again as the store's bound.
    static constexpr int MaxAnswersAtOnce = 2;
    static constexpr int Threads = 4;

    LiveServer(const LiveStore& store, std::string page);
    ~LiveServer();
    LiveServer(const LiveServer&) = delete;
    LiveServer& operator=(const LiveServer&) = delete;

    // Binds 127.0.0.1:port and starts answering; false with one line in `error` (a port taken,
    // say) and nothing started.
    bool Start(uint16_t port, std::string& error);
    void Stop();
    std::string Url() const;

private:
    void Routes();

    const LiveStore& store;
    const std::string page;
    std::unique_ptr<httplib::Server> server;
    std::thread thread;
    uint16_t port = 0;
    std::atomic<int> answering{0};
};

}  // namespace QuorixCollect
