#include "inspection/VariableInfo.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "commands/PayloadWriter.h"
#include "inspection/ManagedMemory.h"
#include "inspection/SecretMasker.h"
#include "inspection/ValueLimits.h"

using namespace Variables;
using ManagedMemory::IsPlausibleAddress;
using ValueLimits::Cut;
using ValueLimits::LongStringSentUnits;
using ValueLimits::MaxNesting;
using ValueLimits::ReportCut;
using ValueLimits::ScalarWidth;

namespace {

// Whole runs appended at once: byte-wise appends cost a capacity check each, on every captured call.
void AppendLittleEndian(std::vector<uint8_t>& out, uint64_t value, size_t width) {
    static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "values are copied in their memory order");
    const auto* bytes = reinterpret_cast<const uint8_t*>(&value);
    out.insert(out.end(), bytes, bytes + std::min<size_t>(width, sizeof(value)));
}

void AppendMemory(std::vector<uint8_t>& out, const void* address, size_t length) {
    const auto* bytes = static_cast<const uint8_t*>(address);
    out.insert(out.end(), bytes, bytes + length);
}

void PatchLittleEndian16(std::vector<uint8_t>& out, size_t at, size_t value) {
    out[at] = static_cast<uint8_t>(value);
    out[at + 1] = static_cast<uint8_t>(value >> 8);
}

// Appends UTF-16 units as little-endian bytes, the mask for every secret, at most `limit` units.
struct MaskedStringSink {
    std::vector<uint8_t>& out;
    size_t limit;
    size_t written = 0;
    void Copy(const char16_t* units, size_t count) {
        count = std::min(count, limit - written);
        AppendMemory(out, units, 2 * count);
        written += count;
    }
    void Mask() {
        for (size_t i = 0; i < SecretMasker::MaskLength && written < limit; ++i, ++written) {
            out.push_back(static_cast<uint8_t>(SecretMasker::Mask[i]));
            out.push_back(0);
        }
    }
};

// One record being appended: its header goes out once the type to send is known, and its
// length is patched in when it is complete.
struct RecordWriter {
    RecordWriter(std::vector<uint8_t>& output, const std::string& recordName, const std::string& sent, size_t budget)
        : out(output), start(output.size()), name(recordName), sentName(sent), room(budget - (4 + sent.size())) {}

    std::vector<uint8_t>& out;
    const size_t start;
    const std::string& name;  // for reports of a cut
    const std::string& sentName;
    const size_t room;  // bytes after the header

    void WriteHeader(VariableType sentType) {
        uint8_t header[4 + VariableInfo::MaxNameBytes];
        header[0] = 0;  // the length, patched once the record is complete
        header[1] = 0;
        header[2] = static_cast<uint8_t>(sentType);
        header[3] = static_cast<uint8_t>(sentName.size());
        std::memcpy(header + 4, sentName.data(), sentName.size());
        out.insert(out.end(), header, header + 4 + sentName.size());
    }
    bool Finish() {
        PatchLittleEndian16(out, start, out.size() - start - 2);
        return true;
    }
    bool HeaderOnly(VariableType sentType) {
        WriteHeader(sentType);
        return Finish();
    }
    bool TooLarge() {
        ReportCut(Cut::Size, name);
        return false;
    }
};

// The string record with its secrets masked. A short string is sent whole, at its masked
// length. A long one keeps its full length in the record and its first units masked; a secret
// still open where the window ends is masked to the end of the window, and the window is
// bounded so that a huge string costs no more than a long one.
bool AppendMaskedString(RecordWriter& record, const char16_t* chars, uint32_t units) {
    std::vector<uint8_t>& out = record.out;
    if (units <= VariableInfo::MaxStringUnits) {
        // Most strings hold no secret: one scan, then the plain copy.
        SecretMasker::Span firstSecret;
        const bool secret = SecretMasker::FindNext(chars, units, 0, firstSecret);
        const size_t sent = secret ? SecretMasker::MaskedLength(chars, units) : units;
        if (2 + 2 * sent > record.room) return record.TooLarge();
        record.WriteHeader(String);
        AppendLittleEndian(out, 2 * sent, 2);
        if (!secret) {
            AppendMemory(out, chars, 2 * sent);
            return record.Finish();
        }
        MaskedStringSink sink{out, sent};
        SecretMasker::Write(chars, units, sink);
        return record.Finish();
    }
    if (4 + 2 * static_cast<size_t>(LongStringSentUnits) > record.room) return record.TooLarge();
    record.WriteHeader(LongString);
    AppendLittleEndian(out, 2 * static_cast<uint64_t>(units), 4);
    const size_t window = std::min<size_t>(units, 2 * VariableInfo::MaxStringUnits);
    MaskedStringSink sink{out, LongStringSentUnits};
    SecretMasker::Write(chars, window, sink);
    // The payload has a fixed size; a window that was mostly secret is filled up with the mask.
    while (sink.written < LongStringSentUnits) {
        out.push_back('*');
        out.push_back(0);
        ++sink.written;
    }
    return record.Finish();
}

// A value sent as the mask alone.
bool AppendMask(RecordWriter& record) {
    if (2 + 2 * SecretMasker::MaskLength > record.room) return record.TooLarge();
    record.WriteHeader(String);
    AppendLittleEndian(record.out, 2 * SecretMasker::MaskLength, 2);
    MaskedStringSink sink{record.out, SecretMasker::MaskLength};
    sink.Mask();
    return record.Finish();
}

bool AppendScalar(RecordWriter& record, VariableType type, const void* first) {
    const size_t width = ScalarWidth(type);
    if (!IsPlausibleAddress(first)) return record.HeaderOnly(type);
    if (width > record.room) return record.TooLarge();
    record.WriteHeader(type);
    AppendMemory(record.out, first, width);
    return record.Finish();
}

bool AppendString(RecordWriter& record, VariableType type, const void* first) {
    if (first == nullptr) return record.HeaderOnly(type);
    uint32_t units = 0;
    const ManagedMemory::StringState state = ManagedMemory::StringUnitsAt(first, units);
    if (state == ManagedMemory::StringState::NoLayout) return record.HeaderOnly(type);
    if (state == ManagedMemory::StringState::Malformed) return record.HeaderOnly(Unknown);
    if (units == 0) return record.HeaderOnly(EmptyString);
    const auto* chars = static_cast<const char16_t*>(first);
    if (SecretMasker::Active()) return AppendMaskedString(record, chars, units);
    std::vector<uint8_t>& out = record.out;
    if (units <= VariableInfo::MaxStringUnits) {
        if (2 + 2 * static_cast<size_t>(units) > record.room) return record.TooLarge();
        record.WriteHeader(String);
        AppendLittleEndian(out, 2 * units, 2);
        AppendMemory(out, first, 2 * static_cast<size_t>(units));
    } else {
        if (4 + 2 * static_cast<size_t>(LongStringSentUnits) > record.room) return record.TooLarge();
        record.WriteHeader(LongString);
        AppendLittleEndian(out, 2 * units, 4);
        AppendMemory(out, first, 2 * static_cast<size_t>(LongStringSentUnits));
    }
    return record.Finish();
}

// The elements of a byte (or boolean) array, as many as the record has room for.
void AppendByteElements(RecordWriter& record, const ValueAddresses& values) {
    const size_t count = std::min({values.size(), VariableInfo::MaxEntries, record.room - 2});
    if (count < values.size())
        ReportCut(values.size() > VariableInfo::MaxEntries ? Cut::Entries : Cut::Size, record.name);
    record.out.push_back(static_cast<uint8_t>(count));
    for (size_t i = 0; i < count; ++i)
        record.out.push_back(IsPlausibleAddress(values[i]) ? ManagedMemory::ReadByte(values[i]) : 0);
}

}  // namespace

uint8_t* VariableInfo::ToBytes() const {
    std::vector<uint8_t> record;
    AppendRecordAt(record, MaxRecordBytes, 0);
    auto* bytes = new uint8_t[record.size()];
    std::memcpy(bytes, record.data(), record.size());
    return bytes;
}

uint32_t VariableInfo::GetByteLength() const {
    std::vector<uint8_t> record;
    AppendRecordAt(record, MaxRecordBytes, 0);
    return static_cast<uint32_t>(record.size() - 2);
}

bool VariableInfo::AppendRecord(std::vector<uint8_t>& out, size_t budget) const {
    return AppendRecordAt(out, budget, 0);
}

bool VariableInfo::AppendRecordAt(std::vector<uint8_t>& out, size_t budget, int depth) const {
    budget = std::min(budget, MaxRecordBytes);
    const bool nameFits = name.size() <= MaxNameBytes;
    const std::string cutName = nameFits ? std::string() : FitUtf8(name, MaxNameBytes);
    const std::string& sentName = nameFits ? name : cutName;
    const size_t headerBytes = 4 + sentName.size();
    if (headerBytes > budget) return false;
    RecordWriter record(out, name, sentName, budget);
    const size_t start = record.start;
    const size_t room = record.room;

    const void* first = values.empty() ? nullptr : values.front();
    const bool hasEntries = !values.empty() || !children.empty();
    if (depth >= MaxNesting) {
        if (hasEntries) ReportCut(Cut::Nesting, name);
        return record.HeaderOnly(type);
    }

    const bool holdsNothing = type == NullString || type == NullObject || type == EmptyString || type == Void;
    if (masked && !holdsNothing && SecretMasker::Active()) return AppendMask(record);

    switch (type) {
        case Boolean:
        case Byte:
        case Int16:
        case UInt16:
        case Int32:
        case UInt32:
        case Int64:
        case UInt64:
        case Single:
        case Double:
            return AppendScalar(record, type, first);

        case String:
        case LongString:
            return AppendString(record, type, first);

        case Struct:
        case Object: {
            if (children.empty() && !typeNamed) return record.HeaderOnly(type);
            if (room < 3) {
                ReportCut(Cut::Size, name);
                return record.HeaderOnly(type);
            }
            record.WriteHeader(type);
            const std::string sentClass = className.size() <= room - 3 ? className : FitUtf8(className, room - 3);
            AppendLittleEndian(out, sentClass.size(), 2);
            out.insert(out.end(), sentClass.begin(), sentClass.end());
            AppendChildren(out, start, budget, depth);
            return record.Finish();
        }

        case Array: {
            if (typeArguments.empty() || !hasEntries) return record.HeaderOnly(type);
            const VariableType elementType = typeArguments.front();
            if (room < 2) {
                ReportCut(Cut::Size, name);
                return record.HeaderOnly(type);
            }
            record.WriteHeader(type);
            out.push_back(static_cast<uint8_t>(elementType));
            if (elementType == Boolean || elementType == Byte)
                AppendByteElements(record, values);
            else if (elementType == Array)
                AppendChildren(out, start, budget, depth);
            else
                out.push_back(0);  // no other element type carries elements
            return record.Finish();
        }

        default:
            return record.HeaderOnly(type);
    }
}

void VariableInfo::AppendChildren(std::vector<uint8_t>& out, size_t start, size_t budget, int depth) const {
    const size_t countAt = out.size();
    out.push_back(0);
    size_t written = 0;
    for (const auto& child : children) {
        if (written == MaxEntries) {
            ReportCut(Cut::Entries, name);
            break;
        }
        if (!child->AppendRecordAt(out, budget - (out.size() - start), depth + 1)) {
            ReportCut(Cut::Size, name);
            break;
        }
        ++written;
    }
    out[countAt] = static_cast<uint8_t>(written);
}
