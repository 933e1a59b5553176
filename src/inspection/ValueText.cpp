#include "inspection/VariableInfo.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "environment/profiler_pal.h"
#include "inspection/ManagedMemory.h"
#include "inspection/SecretMasker.h"
#include "inspection/ValueLimits.h"

using namespace Variables;
using ManagedMemory::IsPlausibleAddress;
using ValueLimits::LongStringSentUnits;
using ValueLimits::MaxNesting;
using ValueLimits::ScalarWidth;

namespace {

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

// A scalar of `width` bytes at `first` (a plausible address).
std::string ScalarText(VariableType type, const void* first, size_t width) {
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

}  // namespace

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
    if (masked && SecretMasker::Active()) return SecretMasker::Mask;
    const void* first = values.empty() ? nullptr : values.front();
    const size_t width = ScalarWidth(type);
    if (width != 0) {
        if (!IsPlausibleAddress(first)) return "<no data>";
        return ScalarText(type, first, width);
    }
    switch (type) {
        case String:
        case LongString: {
            uint32_t units = 0;
            if (first == nullptr || ManagedMemory::StringUnitsAt(first, units) != ManagedMemory::StringState::Known)
                return "<no data>";
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
                    text += IsPlausibleAddress(values[i]) ? std::to_string(ManagedMemory::ReadByte(values[i]))
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
