#include "session/NameTable.h"

#include "jsonlines/JsonLines.h"

namespace QuorixCollect {

NameTable::Name NameTable::Find(uint32_t functionId) const {
    const uint32_t i =
        index.Find(IndexTable::Mix(functionId), [&](uint32_t k) { return entries[k].functionId == functionId; });
    if (i == IndexTable::NotFound) {
        return {{}, false};
    }
    return {entries[i].name, entries[i].jsonSafe};
}

bool NameTable::Store(uint32_t functionId, std::string_view name) {
    const uint64_t hash = IndexTable::Mix(functionId);
    const uint32_t i = index.Find(hash, [&](uint32_t k) { return entries[k].functionId == functionId; });
    if (i != IndexTable::NotFound) {
        if (entries[i].name == name) {
            return true;
        }
        const std::string_view stored = arena.Store(name);
        if (stored.data() == nullptr) {
            return false;
        }
        entries[i].name = stored;
        entries[i].jsonSafe = IsJsonSafe(stored);
        return true;
    }
    if (!MakeRoom(entries, budget)) {
        return false;
    }
    const std::string_view stored = arena.Store(name);
    if (stored.data() == nullptr || !index.Insert(hash, static_cast<uint32_t>(entries.size()))) {
        return false;
    }
    entries.push_back({functionId, IsJsonSafe(stored), stored});
    return true;
}

void NameTable::Clear() {
    arena.Clear();
    index.Clear();
    ReleaseAll(entries, budget);
}

}  // namespace QuorixCollect
