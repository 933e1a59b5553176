#include "live/LiveStore.h"

#include <algorithm>

#include "requests/RequestJson.h"

namespace QuorixCollect {

void LiveStore::RequestEnded(const Request& request) {
    std::string json;
    AppendRequestJson(json, request);
    Add(std::move(json));
}

void LiveStore::Add(std::string json) {
    auto entry = std::make_shared<const std::string>(std::move(json));
    // Freed outside the lock: the last owner of an evicted request may be this thread.
    std::vector<std::shared_ptr<const std::string>> evicted;
    std::lock_guard<std::mutex> guard(lock);
    bytes += entry->size();
    kept.push_back({++last, std::move(entry)});
    while (bytes > bound && !kept.empty()) {
        bytes -= kept.front().json->size();
        evicted.push_back(std::move(kept.front().json));
        kept.pop_front();
        ++letGo;
    }
}

LiveStore::Snapshot LiveStore::Since(uint64_t since) const {
    Snapshot s;
    std::lock_guard<std::mutex> guard(lock);
    s.last = last;
    s.letGo = letGo;
    // Numbers rise one by one along the deque: the first wanted one is found by arithmetic.
    size_t from = 0;
    if (!kept.empty() && since >= kept.front().number) {
        from = static_cast<size_t>(std::min<uint64_t>(since - kept.front().number + 1, kept.size()));
    }
    s.requests.reserve(kept.size() - from);
    for (size_t i = from; i < kept.size(); ++i) s.requests.push_back(kept[i].json);
    return s;
}

std::string LiveStore::JsonArray(const Snapshot& snapshot) {
    size_t size = 2;
    for (const auto& r : snapshot.requests) size += r->size() + 2;
    std::string out;
    out.reserve(size);
    out += '[';
    for (size_t i = 0; i < snapshot.requests.size(); ++i) {
        if (i != 0) out += ",\n";
        out += *snapshot.requests[i];
    }
    out += ']';
    return out;
}

void LiveStore::Publish(std::string comparisonJson) {
    std::lock_guard<std::mutex> guard(lock);
    comparison.swap(comparisonJson);
}

std::string LiveStore::Comparison() const {
    std::lock_guard<std::mutex> guard(lock);
    return comparison;
}

uint64_t LiveStore::LetGo() const {
    std::lock_guard<std::mutex> guard(lock);
    return letGo;
}

size_t LiveStore::Bytes() const {
    std::lock_guard<std::mutex> guard(lock);
    return bytes;
}

size_t LiveStore::Count() const {
    std::lock_guard<std::mutex> guard(lock);
    return kept.size();
}

}  // namespace QuorixCollect
