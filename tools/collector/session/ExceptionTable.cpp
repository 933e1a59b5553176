#include "session/ExceptionTable.h"

namespace QuorixCollect {

namespace {

uint64_t KeyHash(uint32_t pid, uint64_t exceptionId) { return IndexTable::Mix(exceptionId ^ IndexTable::Mix(pid)); }

uint64_t TextHash(std::string_view type, std::string_view message, bool null, bool cut) {
    const uint64_t flags = (null ? 1 : 0) | (cut ? 2 : 0);
    return IndexTable::Mix(IndexTable::HashBytes(type) ^ IndexTable::Mix(IndexTable::HashBytes(message) ^ flags));
}

}  // namespace

ExceptionTable::ExceptionTable(size_t maxBytes) : budget(maxBytes), texts(&budget), byText(&budget), byKey(&budget) {}

uint32_t ExceptionTable::StoreDetails(const DecodedCommand& c) {
    const std::string_view type = c.texts[0];
    const bool null = (c.shortValue & ExceptionMessageNull) != 0;
    const bool cut = (c.shortValue & ExceptionMessageCut) != 0;
    const std::string_view message = null ? std::string_view() : std::string_view(c.texts[1]);
    const uint64_t hash = TextHash(type, message, null, cut);
    const uint32_t known = byText.Find(hash, [&](uint32_t i) {
        const Details& d = details[i];
        return d.type == type && d.message == message && d.messageNull == null && d.messageCut == cut;
    });
    if (known != IndexTable::NotFound) {
        return known;
    }
    if (details.size() >= None - 1 || !MakeRoom(details, budget)) {
        return None;
    }
    Details kept{texts.Store(type), texts.Store(message), null, cut};
    if (kept.type.data() == nullptr || kept.message.data() == nullptr) {
        return None;  // the texts' room ran out (what was stored stays, unused)
    }
    details.push_back(kept);
    const auto handle = static_cast<uint32_t>(details.size() - 1);
    // Without room in the index the details are only not shared.
    byText.Insert(hash, handle);
    return handle;
}

void ExceptionTable::Record(const DecodedCommand& c) {
    const uint32_t handle = StoreDetails(c);
    if (handle == None) {
        ++notKept;
        return;
    }
    const uint64_t hash = KeyHash(c.pid, c.exceptionId);
    const uint32_t at =
        byKey.Find(hash, [&](uint32_t i) { return keys[i].pid == c.pid && keys[i].exceptionId == c.exceptionId; });
    if (at != IndexTable::NotFound) {
        keys[at].handle = handle;
        return;
    }
    if (keys.size() >= None - 1 || !MakeRoom(keys, budget)) {
        ++notKept;
        return;
    }
    keys.push_back(Key{c.pid, handle, c.exceptionId});
    if (!byKey.Insert(hash, static_cast<uint32_t>(keys.size() - 1))) {
        keys.pop_back();
        ++notKept;
    }
}

uint32_t ExceptionTable::Find(uint32_t pid, uint64_t exceptionId) const {
    const uint32_t at = byKey.Find(KeyHash(pid, exceptionId), [&](uint32_t i) {
        return keys[i].pid == pid && keys[i].exceptionId == exceptionId;
    });
    return at == IndexTable::NotFound ? None : keys[at].handle;
}

std::string ExceptionTable::Describe(uint32_t handle) const {
    if (handle == None || handle >= details.size()) {
        return {};
    }
    const Details& d = details[handle];
    std::string text = d.type.empty() ? std::string("?") : std::string(d.type);
    if (!d.messageNull) {
        text += ": ";
        text += d.message;
        if (d.messageCut) {
            text += "...";
        }
    }
    return text;
}

}  // namespace QuorixCollect
