#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "text/TextEncoding.h"
#include "wire/ValueRecord.h"
#include "wire/WireFormat.h"

// Captured values as people read them, for the call tree and the viewer files.

namespace QuorixCollect {

namespace {

std::string FormatScalar(const ValueRecord& v) {
    char buf[64];
    const uint64_t b = v.scalarBits;
    switch (static_cast<ValueType>(v.type)) {
        case ValueType::Boolean:
            return b != 0 ? "true" : "false";
        case ValueType::Byte:
        case ValueType::UInt16:
        case ValueType::UInt32:
        case ValueType::UInt64:
            snprintf(buf, sizeof buf, "%" PRIu64, b);
            break;
        case ValueType::Int16:
            snprintf(buf, sizeof buf, "%d", static_cast<int>(static_cast<int16_t>(b)));
            break;
        case ValueType::Int32:
            snprintf(buf, sizeof buf, "%" PRId32, static_cast<int32_t>(b));
            break;
        case ValueType::Int64:
            snprintf(buf, sizeof buf, "%" PRId64, static_cast<int64_t>(b));
            break;
        case ValueType::Single: {
            float f;
            const auto u = static_cast<uint32_t>(b);
            memcpy(&f, &u, sizeof f);
            snprintf(buf, sizeof buf, "%.9g", static_cast<double>(f));
            break;
        }
        case ValueType::Double: {
            double d;
            memcpy(&d, &b, sizeof d);
            snprintf(buf, sizeof buf, "%.17g", d);
            break;
        }
        default:
            return "?";
    }
    return buf;
}

void AppendFormatted(std::string& out, const ValueRecord& v, size_t budget) {
    if (out.size() > budget) {
        return;
    }
    if (!v.error.empty()) {
        out += "<bad value>";
        return;
    }
    const auto type = static_cast<ValueType>(v.type);
    switch (type) {
        case ValueType::NullString:
        case ValueType::NullObject:
            out += "null";
            return;
        case ValueType::EmptyString:
            out += "\"\"";
            return;
        default:
            break;
    }
    if (!v.hasPayload) {
        if (type == ValueType::Struct || type == ValueType::Object) {
            out += v.className.empty() ? "{}" : DisplayText(v.className, 40) + "{}";
        } else {
            out += "<no data>";
        }
        return;
    }
    if (ScalarWidth(v.type) != 0) {
        out += FormatScalar(v);
        return;
    }
    switch (type) {
        case ValueType::String:
        case ValueType::LongString:
            out += '"';
            out += DisplayText(v.text, 48);
            out += '"';
            if (type == ValueType::LongString) {
                out += "(" + std::to_string(v.fullLengthUnits) + " chars)";
            }
            return;
        case ValueType::Struct:
        case ValueType::Object:
            out += DisplayText(v.className, 40);
            out += '{';
            for (size_t i = 0; i < v.children.size(); ++i) {
                if (i != 0) {
                    out += ", ";
                }
                if (out.size() > budget) {
                    out += "...";
                    break;
                }
                out += DisplayText(v.children[i].name, 40);
                out += '=';
                AppendFormatted(out, v.children[i], budget);
            }
            out += '}';
            return;
        case ValueType::Array: {
            out += ValueTypeName(v.elementType);
            const size_t n = v.elements.empty() ? v.children.size() : v.elements.size();
            out += "[" + std::to_string(n) + "]{";
            for (size_t i = 0; i < n; ++i) {
                if (i != 0) {
                    out += ',';
                }
                if (out.size() > budget) {
                    out += "...";
                    break;
                }
                if (v.elements.empty()) {
                    AppendFormatted(out, v.children[i], budget);
                } else {
                    out += std::to_string(v.elements[i]);
                }
            }
            out += '}';
            return;
        }
        default:
            out += "?";
            return;
    }
}

}  // namespace

std::string FormatValue(const ValueRecord& value, size_t maxChars) {
    std::string out;
    AppendFormatted(out, value, maxChars);
    if (out.size() > maxChars) {
        // Cut on a UTF-8 boundary so the text stays printable.
        size_t cut = maxChars;
        while (cut > 0 && (static_cast<uint8_t>(out[cut]) & 0xC0) == 0x80) {
            --cut;
        }
        out.resize(cut);
        out += "...";
    }
    return out;
}

}  // namespace QuorixCollect
