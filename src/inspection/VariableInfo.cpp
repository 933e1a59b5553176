#include "inspection/VariableInfo.h"

#include "inspection/ManagedMemory.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <exception>

#include "commands/PayloadWriter.h"
#include "environment/Logger.h"
#include "environment/SystemContext.h"
#include "environment/profiler_pal.h"
#include "inspection/SecretMasker.h"

using namespace Variables;

namespace {

// Deeper records cannot come from a real capture; the collector refuses them too.
constexpr int MaxNesting = 32;
// The longest string the runtime can allocate; a header claiming more is not a string.
constexpr int32_t MaxManagedStringLength = 0x3FFFFFDF;
// Half of the long-string payload's 4096 bytes.
constexpr uint32_t LongStringSentUnits = 2048;
constexpr uintptr_t NullReference32 = 0xFFFFFFFF;

// Below the lowest mappable page or above user space nothing can be read, so such a value is
// not an address of the managed heap or of an argument.
bool IsPlausibleAddress(uintptr_t address) { return address >= 0x10000 && address < 0x0000800000000000ull; }

bool IsPlausibleAddress(const void* address) { return IsPlausibleAddress(reinterpret_cast<uintptr_t>(address)); }

bool Readable(const void* address, uint32_t size, uint32_t width) {
    return IsPlausibleAddress(address) && size >= width;
}

uintptr_t ReadPointer(const void* address) {
    uintptr_t value = 0;
    std::memcpy(&value, address, sizeof(value));
    return value;
}

const void* Offset(uintptr_t base, size_t bytes) { return reinterpret_cast<const void*>(base + bytes); }

size_t ScalarWidth(VariableType type) {
    switch (type) {
        case Boolean:
        case Byte:
            return 1;
        case Int16:
        case UInt16:
            return 2;
        case Int32:
        case UInt32:
        case Single:
            return 4;
        case Int64:
        case UInt64:
        case Double:
            return 8;
        default:
            return 0;
    }
}

enum class StringState { Known, NoLayout, Malformed };

// Length in units of the managed string whose first character is at `firstChar`, from the
// string's own header; the layout comes from the runtime.
StringState ReadStringUnits(const void* firstChar, uint32_t& units) {
    const SystemContext* context = g_Context;
    if (context == nullptr || !context->HasStringLayout()) return StringState::NoLayout;
    const uintptr_t chars = reinterpret_cast<uintptr_t>(firstChar);
    if (!IsPlausibleAddress(chars) || chars < context->GetBufferOffset()) return StringState::Malformed;
    const uintptr_t object = chars - context->GetBufferOffset();
    if (!IsPlausibleAddress(object)) return StringState::Malformed;
    int32_t length = 0;
    std::memcpy(&length, Offset(object, context->GetStringLengthOffset()), sizeof(length));
    if (length < 0 || length > MaxManagedStringLength) return StringState::Malformed;
    units = static_cast<uint32_t>(length);
    return StringState::Known;
}

enum class Cut { Entries, Size, Nesting, Count };

// Once per process and kind: a cut value is a fact worth knowing, not worth a line per call.
void ReportCut(Cut kind, const std::string& name) {
    static std::atomic<bool> reported[static_cast<int>(Cut::Count)] = {};
    if (reported[static_cast<int>(kind)].exchange(true, std::memory_order_relaxed)) return;
    const char* what = kind == Cut::Entries ? "has more than 255 entries; the rest are not sent"
                       : kind == Cut::Size  ? "does not fit in its record; trailing entries are not sent"
                                            : "is nested too deeply; its inner values are not sent";
    QX_LOG(LogLevel::Warning, "VariableInfo", "Value %s %s (reported once)", name.c_str(), what);
}

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

// One byte per code point, as the diagnostic text has always shown strings.
std::string NarrowText(const char16_t* text, uint32_t units) {
    std::u16string wide(text, units);
    std::string narrow;
    narrow.reserve(units);
    try {
        for (wchar_t c : make_wstring(wide)) narrow.push_back(static_cast<char>(c & 0xFF));
    } catch (const std::exception&) {
        // Unpaired surrogates: fall back to the units themselves.
        narrow.clear();
        for (char16_t c : wide) narrow.push_back(static_cast<char>(c & 0xFF));
    }
    return narrow;
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

// The string record with its secrets masked. A short string is sent whole, at its masked
// length. A long one keeps its full length in the record and its first units masked; a secret
// still open where the window ends is masked to the end of the window, and the window is
// bounded so that a huge string costs no more than a long one.
template <typename Header, typename TooLarge, typename Finish>
bool AppendMaskedString(std::vector<uint8_t>& out, const char16_t* chars, uint32_t units, size_t room,
                        Header& writeHeader, TooLarge& tooLarge, Finish& finish) {
    if (units <= VariableInfo::MaxStringUnits) {
        // Most strings hold no secret: one scan, then the plain copy.
        SecretMasker::Span firstSecret;
        const bool secret = SecretMasker::FindNext(chars, units, 0, firstSecret);
        const size_t sent = secret ? SecretMasker::MaskedLength(chars, units) : units;
        if (2 + 2 * sent > room) return tooLarge();
        writeHeader(String);
        AppendLittleEndian(out, 2 * sent, 2);
        if (!secret) {
            AppendMemory(out, chars, 2 * sent);
            return finish();
        }
        MaskedStringSink sink{out, sent};
        SecretMasker::Write(chars, units, sink);
        return finish();
    }
    if (4 + 2 * static_cast<size_t>(LongStringSentUnits) > room) return tooLarge();
    writeHeader(LongString);
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
    return finish();
}

}  // namespace

VariableInfo::VariableInfo() = default;
VariableInfo::~VariableInfo() = default;
VariableInfo::VariableInfo(VariableInfo&& other) noexcept = default;
VariableInfo& VariableInfo::operator=(VariableInfo&& other) noexcept = default;

VariableInfo::VariableInfo(const VariableInfo& other)
    : name(other.name),
      className(other.className),
      type(other.type),
      typeArguments(other.typeArguments),
      values(other.values) {
    children.reserve(other.children.size());
    for (const auto& child : other.children) children.push_back(std::make_unique<VariableInfo>(*child));
}

VariableInfo& VariableInfo::operator=(const VariableInfo& other) {
    if (this != &other) {
        VariableInfo copy(other);
        *this = std::move(copy);
    }
    return *this;
}

void VariableInfo::AddValue(const void* address) {
    if (values.size() >= MaxEntries) {
        ReportCut(Cut::Entries, name);
        return;
    }
    values.push_back(address);
}

void VariableInfo::AddValue(VariableInfo* child) {
    if (child == nullptr || child == this) return;
    std::unique_ptr<VariableInfo> owned(child);
    if (children.size() >= MaxEntries) {
        ReportCut(Cut::Entries, name);
        return;
    }
    children.push_back(std::move(owned));
}

std::vector<const VariableInfo*> VariableInfo::GetChildren() const {
    std::vector<const VariableInfo*> result;
    result.reserve(children.size());
    for (const auto& child : children) result.push_back(child.get());
    return result;
}

void VariableInfo::Reset() {
    name.clear();
    className.clear();
    type = Void;
    typeArguments.clear();
    values.clear();
    children.clear();
}

void VariableInfo::MakeUnknown() {
    type = Unknown;
    values.clear();
    children.clear();
}

// ---- Capture -------------------------------------------------------------------------------

VariableInfo VariableInfo::Parse(const std::string& name, SignatureCursor& cursor, const void* address, uint32_t size) {
    VariableInfo record;
    ParseInto(record, name, cursor, address, size);
    return record;
}

void VariableInfo::ParseInto(VariableInfo& record, const std::string& name, SignatureCursor& cursor,
                             const void* address, uint32_t size) {
    record.Reset();
    if (cursor.IsNull()) {
        QX_LOG(LogLevel::Error, LogArea::Unprefixed, "[VariableInfo::Parse] Invalid currentParameter (nullptr)");
        return;
    }
    try {
        uint32_t elementType = 0;
        if (!cursor.ReadCompressed(elementType)) {
            record.name = name;
            record.type = Unknown;
            return;
        }
        ParseTypeAt(record, name, static_cast<CorElementType>(elementType), cursor, address, size);
    } catch (const std::exception& e) {
        QX_LOG(LogLevel::Error, LogArea::Unprefixed, "[VariableInfo::Parse] Exception: %s", e.what());
        record.Reset();
    }
}

VariableInfo VariableInfo::ParseType(const std::string& name, CorElementType elementType, SignatureCursor& cursor,
                                     const void* address, uint32_t size) {
    VariableInfo record;
    ParseTypeInto(record, name, elementType, cursor, address, size);
    return record;
}

void VariableInfo::ParseTypeInto(VariableInfo& record, const std::string& name, CorElementType elementType,
                                 SignatureCursor& cursor, const void* address, uint32_t size) {
    try {
        ParseTypeAt(record, name, elementType, cursor, address, size);
    } catch (const std::exception& e) {
        QX_LOG(LogLevel::Error, "VariableInfo::ParseType", "Exception: %s", e.what());
        record.Reset();
    }
}

void VariableInfo::ParseTypeAt(VariableInfo& record, const std::string& name, CorElementType elementType,
                               SignatureCursor& cursor, const void* address, uint32_t size) {
    record.Reset();
    record.name = name;
    record.type = ConvertToVariableType(elementType);
    const bool haveCursor = !cursor.IsNull();

    switch (elementType) {
        case ELEMENT_TYPE_BOOLEAN:
        case ELEMENT_TYPE_CHAR:
        case ELEMENT_TYPE_I1:
        case ELEMENT_TYPE_I2:
        case ELEMENT_TYPE_U2:
        case ELEMENT_TYPE_I4:
        case ELEMENT_TYPE_U4:
        case ELEMENT_TYPE_I:
        case ELEMENT_TYPE_U:
        case ELEMENT_TYPE_I8:
        case ELEMENT_TYPE_U8:
        case ELEMENT_TYPE_R4:
        case ELEMENT_TYPE_R8:
            if (Readable(address, size, static_cast<uint32_t>(ScalarWidth(record.type))))
                record.AddValue(address);
            else
                record.MakeUnknown();
            break;

        case ELEMENT_TYPE_U1:
        case ELEMENT_TYPE_VALUETYPE:
            // The type token is consumed whatever the size, so the next argument starts right after it.
            if (elementType == ELEMENT_TYPE_VALUETYPE && haveCursor) {
                ExtractValueTypeValues(record, cursor);
                if (record.type == Unknown) break;
            }
            if (size == 4 || size == 2 || size == 1) {
                record.type = size == 4 ? Int32 : size == 2 ? Int16 : Byte;
                if (IsPlausibleAddress(address))
                    record.AddValue(address);
                else
                    record.MakeUnknown();
            } else if (elementType == ELEMENT_TYPE_U1) {
                if (Readable(address, size, 1))
                    record.AddValue(address);
                else
                    record.MakeUnknown();
            }
            break;

        case ELEMENT_TYPE_STRING:
            if (Readable(address, size, sizeof(uintptr_t)))
                ExtractStringValue(record, address);
            else
                record.MakeUnknown();
            break;

        case ELEMENT_TYPE_CLASS:
            if (!haveCursor) break;
            if (!Readable(address, size, sizeof(uintptr_t))) {
                mdToken token = 0;
                cursor.ReadTypeDefOrRef(token);
                record.MakeUnknown();
                break;
            }
            if (ReadPointer(address) == 0) record.type = NullObject;
            ExtractClassValues(record, cursor);
            break;

        case ELEMENT_TYPE_OBJECT:
            break;

        case ELEMENT_TYPE_SZARRAY:
            if (!haveCursor) break;
            if (Readable(address, size, sizeof(uintptr_t))) {
                ExtractSingleDimensionArrayValues(record, cursor, address);
            } else {
                cursor.SkipType();
                record.MakeUnknown();
            }
            break;

        case ELEMENT_TYPE_VAR:
            if (haveCursor) {
                uint32_t number = 0;
                cursor.ReadCompressed(number);
            }
            break;

        case ELEMENT_TYPE_GENERICINST: {
            uint8_t kind = 0;
            if (!haveCursor || !cursor.ReadByte(kind)) break;
            if (kind != ELEMENT_TYPE_CLASS && kind != ELEMENT_TYPE_VALUETYPE) {
                cursor.Exhaust();
                break;
            }
            const auto inner = static_cast<CorElementType>(kind);
            // The instantiation is sized by the element table; a reference needs 8 readable bytes.
            uint32_t innerSize = GetSizeForCorElementType(inner);
            if (inner == ELEMENT_TYPE_CLASS) innerSize = std::min(innerSize, size);
            ParseTypeAt(record, name, inner, cursor, address, innerSize);
            uint32_t count = 0;
            bool complete = cursor.ReadCompressed(count);
            for (uint32_t i = 0; complete && i < count; ++i) complete = cursor.SkipType();
            if (!complete) record.MakeUnknown();
            return;
        }

        default:
            if (haveCursor) cursor.SkipTypeAfter(elementType);
            record.MakeUnknown();
            break;
    }
}

void VariableInfo::ExtractStringValue(VariableInfo& record, const void* address) {
    record.values.clear();
    if (!IsPlausibleAddress(address)) {
        record.MakeUnknown();
        return;
    }
    const uintptr_t reference = ReadPointer(address);
    if (reference == 0 || reference == NullReference32) {
        record.type = NullString;
        return;
    }
    record.type = String;
    if (!IsPlausibleAddress(reference)) {
        record.MakeUnknown();
        return;
    }
    const SystemContext* context = g_Context;
    // Without the runtime's string layout nothing inside the object can be located.
    if (context == nullptr || !context->HasStringLayout()) return;
    int32_t length = 0;
    std::memcpy(&length, Offset(reference, context->GetStringLengthOffset()), sizeof(length));
    if (length < 0 || length > MaxManagedStringLength) {
        record.MakeUnknown();
        return;
    }
    if (length == 0) {
        record.type = EmptyString;
        return;
    }
    if (static_cast<uint32_t>(length) > MaxStringUnits) record.type = LongString;
    record.AddValue(Offset(reference, context->GetBufferOffset()));
}

void VariableInfo::ExtractSingleDimensionArrayValues(VariableInfo& record, SignatureCursor& cursor,
                                                     const void* address) {
    record.type = Array;
    uint32_t elementType = 0;
    uint32_t innerType = 0;
    bool complete = cursor.ReadCompressed(elementType);
    if (complete && elementType == ELEMENT_TYPE_SZARRAY) {
        complete = cursor.ReadCompressed(innerType) && cursor.SkipTypeAfter(innerType);
    } else if (complete) {
        complete = cursor.SkipTypeAfter(elementType);
    }
    if (!complete) {
        record.MakeUnknown();
        return;
    }
    record.AddTypeArgument(ConvertToVariableType(static_cast<CorElementType>(elementType)));

    if (!IsPlausibleAddress(address)) return;
    const uintptr_t reference = ReadPointer(address);
    if (reference == 0 || reference == NullReference32) {
        record.type = NullObject;
        return;
    }
    if (!IsPlausibleAddress(reference)) return;

    uint32_t size = 0;
    uintptr_t elements = 0;
    if (!ManagedMemory::VectorOf(reference, size, elements)) return;
    if (size > MaxEntries && (elementType == ELEMENT_TYPE_U1 || elementType == ELEMENT_TYPE_SZARRAY))
        ReportCut(Cut::Entries, record.name);
    const size_t taken = std::min<size_t>(size, MaxEntries);

    if (elementType == ELEMENT_TYPE_U1) {
        for (size_t i = 0; i < taken; ++i) record.AddValue(Offset(elements, i));
    } else if (elementType == ELEMENT_TYPE_SZARRAY) {
        const VariableType innerVariableType = ConvertToVariableType(static_cast<CorElementType>(innerType));
        for (size_t i = 0; i < taken; ++i) {
            auto child = std::make_unique<VariableInfo>();
            child->name = std::to_string(i);
            child->type = Array;
            child->AddTypeArgument(innerVariableType);
            const uintptr_t inner = ReadPointer(Offset(elements, i * sizeof(uintptr_t)));
            if (inner == 0 || inner == NullReference32) {
                child->type = NullObject;
            } else if (innerType == ELEMENT_TYPE_U1 && IsPlausibleAddress(inner)) {
                uint32_t innerSize = 0;
                uintptr_t innerData = 0;
                if (ManagedMemory::VectorOf(inner, innerSize, innerData)) {
                    if (innerSize > MaxEntries) ReportCut(Cut::Entries, record.name);
                    const size_t innerTaken = std::min<size_t>(innerSize, MaxEntries);
                    for (size_t j = 0; j < innerTaken; ++j) child->AddValue(Offset(innerData, j));
                }
            }
            record.AddValue(child.release());
        }
    }
}

void VariableInfo::ExtractClassValues(VariableInfo& record, SignatureCursor& cursor) {
    mdToken token = 0;
    if (!cursor.ReadTypeDefOrRef(token)) {
        record.MakeUnknown();
        return;
    }
    record.className = "?";
}

void VariableInfo::ExtractValueTypeValues(VariableInfo& record, SignatureCursor& cursor) {
    ExtractClassValues(record, cursor);
}

// ---- Value record --------------------------------------------------------------------------

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
    const size_t start = out.size();
    const bool nameFits = name.size() <= MaxNameBytes;
    const std::string cutName = nameFits ? std::string() : FitUtf8(name, MaxNameBytes);
    const std::string& sentName = nameFits ? name : cutName;
    const size_t headerBytes = 4 + sentName.size();
    if (headerBytes > budget) return false;
    const size_t room = budget - headerBytes;

    auto writeHeader = [&](VariableType sentType) {
        uint8_t header[4 + MaxNameBytes];
        header[0] = 0;  // the length, patched once the record is complete
        header[1] = 0;
        header[2] = static_cast<uint8_t>(sentType);
        header[3] = static_cast<uint8_t>(sentName.size());
        std::memcpy(header + 4, sentName.data(), sentName.size());
        out.insert(out.end(), header, header + 4 + sentName.size());
    };
    auto finish = [&] {
        PatchLittleEndian16(out, start, out.size() - start - 2);
        return true;
    };
    auto headerOnly = [&](VariableType sentType) {
        writeHeader(sentType);
        return finish();
    };
    auto tooLarge = [&] {
        ReportCut(Cut::Size, name);
        return false;
    };

    const void* first = values.empty() ? nullptr : values.front();
    const bool hasEntries = !values.empty() || !children.empty();
    if (depth >= MaxNesting) {
        if (hasEntries) ReportCut(Cut::Nesting, name);
        return headerOnly(type);
    }

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
        case Double: {
            const size_t width = ScalarWidth(type);
            if (!IsPlausibleAddress(first)) return headerOnly(type);
            if (width > room) return tooLarge();
            writeHeader(type);
            AppendMemory(out, first, width);
            return finish();
        }

        case String:
        case LongString: {
            if (first == nullptr) return headerOnly(type);
            uint32_t units = 0;
            const StringState state = ReadStringUnits(first, units);
            if (state == StringState::NoLayout) return headerOnly(type);
            if (state == StringState::Malformed) return headerOnly(Unknown);
            if (units == 0) return headerOnly(EmptyString);
            const auto* chars = static_cast<const char16_t*>(first);
            if (SecretMasker::Active())
                return AppendMaskedString(out, chars, units, room, writeHeader, tooLarge, finish);
            if (units <= MaxStringUnits) {
                if (2 + 2 * static_cast<size_t>(units) > room) return tooLarge();
                writeHeader(String);
                AppendLittleEndian(out, 2 * units, 2);
                AppendMemory(out, first, 2 * static_cast<size_t>(units));
            } else {
                if (4 + 2 * static_cast<size_t>(LongStringSentUnits) > room) return tooLarge();
                writeHeader(LongString);
                AppendLittleEndian(out, 2 * units, 4);
                AppendMemory(out, first, 2 * static_cast<size_t>(LongStringSentUnits));
            }
            return finish();
        }

        case Struct:
        case Object: {
            if (children.empty()) return headerOnly(type);
            if (room < 3) {
                ReportCut(Cut::Size, name);
                return headerOnly(type);
            }
            writeHeader(type);
            const std::string sentClass = className.size() <= room - 3 ? className : FitUtf8(className, room - 3);
            AppendLittleEndian(out, sentClass.size(), 2);
            out.insert(out.end(), sentClass.begin(), sentClass.end());
            AppendChildren(out, start, budget, depth);
            return finish();
        }

        case Array: {
            if (typeArguments.empty() || !hasEntries) return headerOnly(type);
            const VariableType elementType = typeArguments.front();
            if (room < 2) {
                ReportCut(Cut::Size, name);
                return headerOnly(type);
            }
            writeHeader(type);
            out.push_back(static_cast<uint8_t>(elementType));
            if (elementType == Boolean || elementType == Byte) {
                const size_t count = std::min({values.size(), MaxEntries, room - 2});
                if (count < values.size()) ReportCut(values.size() > MaxEntries ? Cut::Entries : Cut::Size, name);
                out.push_back(static_cast<uint8_t>(count));
                for (size_t i = 0; i < count; ++i)
                    out.push_back(IsPlausibleAddress(values[i]) ? *static_cast<const uint8_t*>(values[i]) : 0);
            } else if (elementType == Array) {
                AppendChildren(out, start, budget, depth);
            } else {
                out.push_back(0);  // no other element type carries elements
            }
            return finish();
        }

        default:
            return headerOnly(type);
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

// ---- Text forms ----------------------------------------------------------------------------

std::string VariableInfo::ToString() const { return ToStringAt(0); }

std::string VariableInfo::ToStringAt(int depth) const {
    return GetTypeString() + " " + name + " = " + ValueText(depth);
}

std::string VariableInfo::ValueText(int depth) const {
    if (values.empty() && children.empty()) {
        if (type == NullString || type == NullObject) return "<null>";
        if (type == EmptyString) return "<empty>";
        return "<no data>";
    }
    if (depth >= MaxNesting) return "<no data>";
    const void* first = values.empty() ? nullptr : values.front();
    const size_t width = ScalarWidth(type);
    if (width != 0) {
        if (!IsPlausibleAddress(first)) return "<no data>";
        uint64_t bits = 0;
        std::memcpy(&bits, first, width);
        char text[64];
        switch (type) {
            case Boolean:
                return bits != 0 ? "true" : "false";
            case Int16:
                return std::to_string(static_cast<int16_t>(bits));
            case Int32:
                return std::to_string(static_cast<int32_t>(bits));
            case Int64:
                return std::to_string(static_cast<int64_t>(bits));
            case Single: {
                float value = 0;
                std::memcpy(&value, &bits, sizeof(value));
                std::snprintf(text, sizeof(text), "%g", static_cast<double>(value));
                return text;
            }
            case Double: {
                double value = 0;
                std::memcpy(&value, &bits, sizeof(value));
                std::snprintf(text, sizeof(text), "%g", value);
                return text;
            }
            default:
                return std::to_string(bits);  // the unsigned kinds
        }
    }
    switch (type) {
        case String:
        case LongString: {
            uint32_t units = 0;
            if (first == nullptr || ReadStringUnits(first, units) != StringState::Known) return "<no data>";
            if (units > MaxStringUnits) units = LongStringSentUnits;
            const std::string text = NarrowText(static_cast<const char16_t*>(first), units);
            return SecretMasker::Active() ? SecretMasker::Masked(text) : text;
        }
        case Struct:
        case Object: {
            std::string text = "{";
            for (size_t i = 0; i < children.size(); ++i) {
                if (i != 0) text += ", ";
                text += children[i]->ToStringAt(depth + 1);
            }
            return text + "}";
        }
        case Array: {
            std::string text = "[";
            if (!children.empty()) {
                for (size_t i = 0; i < children.size(); ++i) text += i == 0 ? "<array>" : ", <array>";
            } else {
                for (size_t i = 0; i < values.size(); ++i) {
                    if (i != 0) text += ",";
                    text += IsPlausibleAddress(values[i]) ? std::to_string(*static_cast<const uint8_t*>(values[i]))
                                                          : std::string("?");
                }
            }
            return text + "]";
        }
        default:
            return "<no data>";
    }
}

std::string VariableInfo::GetTypeString() const {
    switch (type) {
        case Struct:
        case Object:
        case NullObject:
            return className;
        case Array: {
            if (typeArguments.empty()) return "array";
            const size_t count = children.empty() ? values.size() : children.size();
            return GetTypeStringForSpecificType(typeArguments.front()) + "[" + std::to_string(count) + "]";
        }
        default:
            return GetTypeStringForSpecificType(type);
    }
}

std::string VariableInfo::GetTypeStringForSpecificType(VariableType variableType) {
    switch (variableType) {
        case Void:
            return "void";
        case Boolean:
            return "bool";
        case Byte:
            return "byte";
        case Int16:
            return "short";
        case UInt16:
            return "unsigned short";
        case Int32:
            return "int";
        case UInt32:
            return "unsigned int";
        case Int64:
            return "long";
        case UInt64:
            return "unsigned long";
        case String:
        case EmptyString:
        case NullString:
        case LongString:
            return "string";
        case Struct:
            return "struct";
        case Object:
        case NullObject:
            return "object";
        case Array:
            return "array";
        default:
            return "unknown";  // Unknown, Single, Double and anything out of range
    }
}

// ---- Element types -------------------------------------------------------------------------

VariableType VariableInfo::ConvertToVariableType(CorElementType elementType) {
    switch (elementType) {
        case ELEMENT_TYPE_BOOLEAN:
            return Boolean;
        case ELEMENT_TYPE_CHAR:
        case ELEMENT_TYPE_I1:
        case ELEMENT_TYPE_U1:
            return Byte;
        case ELEMENT_TYPE_I2:
            return Int16;
        case ELEMENT_TYPE_U2:
            return UInt16;
        case ELEMENT_TYPE_I4:
        case ELEMENT_TYPE_I:
            return Int32;
        case ELEMENT_TYPE_U4:
        case ELEMENT_TYPE_U:
            return UInt32;
        case ELEMENT_TYPE_I8:
            return Int64;
        case ELEMENT_TYPE_U8:
            return UInt64;
        case ELEMENT_TYPE_R4:
            return Single;
        case ELEMENT_TYPE_R8:
            return Double;
        case ELEMENT_TYPE_STRING:
            return String;
        case ELEMENT_TYPE_VALUETYPE:
            return Struct;
        case ELEMENT_TYPE_CLASS:
        case ELEMENT_TYPE_OBJECT:
            return Object;
        case ELEMENT_TYPE_SZARRAY:
            return Array;
        default:
            return Unknown;
    }
}

uint32_t VariableInfo::GetSizeForCorElementType(CorElementType elementType) {
    switch (elementType) {
        case ELEMENT_TYPE_BOOLEAN:
        case ELEMENT_TYPE_CHAR:
        case ELEMENT_TYPE_I1:
        case ELEMENT_TYPE_U1:
            return 1;
        case ELEMENT_TYPE_I2:
        case ELEMENT_TYPE_U2:
            return 2;
        case ELEMENT_TYPE_I4:
        case ELEMENT_TYPE_U4:
        case ELEMENT_TYPE_I:
        case ELEMENT_TYPE_U:
            return 4;
        default:
            return 8;
    }
}

CorElementType VariableInfo::GetCorElementIntegerTypeFromSize(uint32_t size) {
    switch (size) {
        case 1:
            return ELEMENT_TYPE_U1;
        case 2:
            return ELEMENT_TYPE_U2;
        case 4:
            return ELEMENT_TYPE_U4;
        default:
            return ELEMENT_TYPE_U8;
    }
}
