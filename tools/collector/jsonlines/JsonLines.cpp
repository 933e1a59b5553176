#include "jsonlines/JsonLines.h"

#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "text/TextEncoding.h"
#include "wire/WireFormat.h"

namespace QuorixCollect {

namespace {

template <size_t N>
void Literal(std::string& out, const char (&text)[N]) {
    out.append(text, N - 1);
}

template <typename T>
void Number(std::string& out, T v) {
    char buf[24];
    const auto end = std::to_chars(buf, buf + sizeof buf, v).ptr;
    out.append(buf, static_cast<size_t>(end - buf));
}

template <size_t N>
void Key(std::string& out, const char (&key)[N]) {
    Literal(out, ",\"");
    out.append(key, N - 1);
    Literal(out, "\":");
}

template <size_t N>
void Unsigned(std::string& out, const char (&key)[N], uint64_t v) {
    Key(out, key);
    Number(out, v);
}

template <size_t N>
void Text(std::string& out, const char (&key)[N], const std::string& v) {
    Key(out, key);
    AppendJsonString(out, v);
}

// JSON has no NaN or infinity; those travel as strings so the line stays valid.
void AppendFloating(std::string& out, double d, int digits) {
    if (std::isnan(d)) {
        out += "\"NaN\"";
    } else if (std::isinf(d)) {
        out += d > 0 ? "\"Infinity\"" : "\"-Infinity\"";
    } else {
        char buf[40];
        snprintf(buf, sizeof buf, "%.*g", digits, d);
        out += buf;
    }
}

void AppendScalar(std::string& out, const ValueRecord& v) {
    const uint64_t b = v.scalarBits;
    switch (static_cast<ValueType>(v.type)) {
        case ValueType::Boolean:
            out += b != 0 ? "true" : "false";
            break;
        case ValueType::Int16:
            Number(out, static_cast<int16_t>(b));
            break;
        case ValueType::Int32:
            Number(out, static_cast<int32_t>(b));
            break;
        case ValueType::Int64:
            Number(out, static_cast<int64_t>(b));
            break;
        case ValueType::Single: {
            float f;
            const auto u = static_cast<uint32_t>(b);
            memcpy(&f, &u, sizeof f);
            AppendFloating(out, static_cast<double>(f), 9);
            break;
        }
        case ValueType::Double: {
            double d;
            memcpy(&d, &b, sizeof d);
            AppendFloating(out, d, 17);
            break;
        }
        default:
            Number(out, b);
            break;
    }
}

void AppendValueList(std::string& out, const std::vector<ValueRecord>& values) {
    out += '[';
    for (size_t i = 0; i < values.size(); ++i) {
        if (i != 0) {
            out += ',';
        }
        AppendValueJson(out, values[i]);
    }
    out += ']';
}

// Copies a literal into a raw buffer.
template <size_t N>
char* Put(char* p, const char (&text)[N]) {
    memcpy(p, text, N - 1);
    return p + N - 1;
}

template <typename T>
char* PutNumber(char* p, T v) {
    return std::to_chars(p, p + 24, v).ptr;
}

constexpr char DigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Exactly eight digits of v < 10^8, zeros in front: four pairs that do not wait on each other.
char* PutEightDigits(char* p, uint32_t v) {
    const uint32_t high = v / 10000;
    const uint32_t low = v % 10000;
    memcpy(p, DigitPairs + 2 * (high / 100), 2);
    memcpy(p + 2, DigitPairs + 2 * (high % 100), 2);
    memcpy(p + 4, DigitPairs + 2 * (low / 100), 2);
    memcpy(p + 6, DigitPairs + 2 * (low % 100), 2);
    return p + 8;
}

// The time stamps have 16 digits: one digit after another is a chain of dependent divisions,
// the two halves of eight are not.
char* PutUnsigned(char* p, uint64_t v) {
    constexpr uint64_t E8 = 100000000;
    if (v < E8) {
        return std::to_chars(p, p + 8, static_cast<uint32_t>(v)).ptr;
    }
    if (v < E8 * E8) {
        p = std::to_chars(p, p + 8, static_cast<uint32_t>(v / E8)).ptr;
        return PutEightDigits(p, static_cast<uint32_t>(v % E8));
    }
    p = std::to_chars(p, p + 4, static_cast<uint32_t>(v / (E8 * E8))).ptr;
    p = PutEightDigits(p, static_cast<uint32_t>(v / E8 % E8));
    return PutEightDigits(p, static_cast<uint32_t>(v % E8));
}

char* PutSigned(char* p, int64_t v) {
    if (v < 0) {
        *p++ = '-';
        return PutUnsigned(p, uint64_t{0} - static_cast<uint64_t>(v));
    }
    return PutUnsigned(p, static_cast<uint64_t>(v));
}

// Begin-calls without arguments and end-calls without return value are nearly all lines: they
// are formatted into a stack buffer with no checks per field, then appended in one piece.
constexpr size_t MaxFastName = 320;

void AppendPlainCallJson(std::string& out, const DecodedCommand& c, const std::string_view* name) {
    char line[MaxFastName + 256];
    char* p = line;
    const auto type = static_cast<CommandType>(c.type);
    if (type == CommandType::BeginCall) {
        p = Put(p, "{\"type\":1,\"name\":\"BeginCall\",\"pid\":");
    } else {
        p = Put(p, "{\"type\":2,\"name\":\"EndCall\",\"pid\":");
    }
    p = PutNumber(p, c.pid);
    p = Put(p, ",\"tid\":");
    p = PutNumber(p, c.tid);
    p = Put(p, ",\"ts\":");
    p = PutSigned(p, c.ts);
    p = Put(p, ",\"functionId\":");
    p = PutNumber(p, c.functionId);
    if (name != nullptr) {
        p = Put(p, ",\"function\":\"");
        memcpy(p, name->data(), name->size());
        p += name->size();
        *p++ = '"';
    }
    if (type == CommandType::BeginCall) {
        p = Put(p, ",\"instanceId\":");
        p = PutUnsigned(p, c.instanceId);
        p = Put(p, ",\"args\":[]}");
    } else if (c.tailCall) {
        p = Put(p, ",\"tailCall\":true,\"returnValue\":null}");
    } else {
        p = Put(p, ",\"tailCall\":false,\"returnValue\":null}");
    }
    out.append(line, static_cast<size_t>(p - line));
}

}  // namespace

bool IsJsonSafe(std::string_view text) {
    for (const char ch : text) {
        const auto b = static_cast<uint8_t>(ch);
        if (b < 0x20 || b >= 0x7F || b == '"' || b == '\\') {
            return false;
        }
    }
    return true;
}

void AppendValueJson(std::string& out, const ValueRecord& v) {
    out += "{\"name\":";
    AppendJsonString(out, v.name);
    Unsigned(out, "type", v.type);
    Key(out, "typeName");
    AppendJsonString(out, ValueTypeName(v.type));
    const auto type = static_cast<ValueType>(v.type);
    switch (type) {
        case ValueType::NullString:
        case ValueType::NullObject:
            out += ",\"value\":null";
            break;
        case ValueType::EmptyString:
            out += ",\"value\":\"\"";
            break;
        default:
            break;
    }
    if (v.hasPayload && v.error.empty()) {
        if (ScalarWidth(v.type) != 0) {
            Key(out, "value");
            AppendScalar(out, v);
        } else if (type == ValueType::String || type == ValueType::LongString) {
            Text(out, "value", v.text);
            if (type == ValueType::LongString) {
                out += ",\"truncated\":true";
                Unsigned(out, "length", v.fullLengthUnits);
            }
        } else if (type == ValueType::Struct || type == ValueType::Object) {
            Text(out, "className", v.className);
            Key(out, "fields");
            AppendValueList(out, v.children);
        } else if (type == ValueType::Array) {
            Unsigned(out, "elementType", v.elementType);
            if (!v.children.empty()) {
                Key(out, "elements");
                AppendValueList(out, v.children);
            } else {
                Key(out, "value");
                out += '[';
                const bool boolean = static_cast<ValueType>(v.elementType) == ValueType::Boolean;
                for (size_t i = 0; i < v.elements.size(); ++i) {
                    if (i != 0) {
                        out += ',';
                    }
                    if (boolean) {
                        out += v.elements[i] != 0 ? "true" : "false";
                    } else {
                        Number(out, v.elements[i]);
                    }
                }
                out += ']';
            }
        }
    }
    if (!v.error.empty()) {
        Text(out, "error", v.error);
    }
    out += '}';
}

namespace {

// Type, name, process, thread and time, the fields every line starts with.
void AppendHead(std::string& out, const DecodedCommand& c) {
    // The names of the common commands are constants: no lookup and no escaping per line.
    switch (static_cast<CommandType>(c.type)) {
        case CommandType::BeginCall:
            Literal(out, "{\"type\":1,\"name\":\"BeginCall\",\"pid\":");
            break;
        case CommandType::EndCall:
            Literal(out, "{\"type\":2,\"name\":\"EndCall\",\"pid\":");
            break;
        default: {
            Literal(out, "{\"type\":");
            Number(out, c.type);
            Key(out, "name");
            const char* name = CommandTypeName(c.type);
            AppendJsonString(out, name != nullptr ? name : "Unknown");
            Literal(out, ",\"pid\":");
            break;
        }
    }
    Number(out, c.pid);
    Literal(out, ",\"tid\":");
    Number(out, c.tid);
    Literal(out, ",\"ts\":");
    Number(out, c.ts);
}

void Function(std::string& out, const DecodedCommand& c, const std::string_view* functionName) {
    Unsigned(out, "functionId", c.functionId);
    if (functionName != nullptr) {
        Key(out, "function");
        AppendJsonString(out, *functionName);
    }
}

// The fields of the command's type.
void AppendBody(std::string& out, const DecodedCommand& c, const std::string_view* functionName) {
    switch (static_cast<CommandType>(c.type)) {
        case CommandType::BeginCall:
            Function(out, c, functionName);
            Unsigned(out, "instanceId", c.instanceId);
            Key(out, "args");
            AppendValueList(out, c.args);
            break;
        case CommandType::EndCall:
            Function(out, c, functionName);
            if (c.tailCall) {
                Literal(out, ",\"tailCall\":true,\"returnValue\":");
            } else {
                Literal(out, ",\"tailCall\":false,\"returnValue\":");
            }
            if (c.hasReturnValue) {
                AppendValueJson(out, c.returnValue);
            } else {
                Literal(out, "null");
            }
            break;
        case CommandType::MethodInfo:
            Unsigned(out, "functionId", c.functionId);
            Text(out, "className", c.className);
            Text(out, "methodName", c.methodName);
            break;
        case CommandType::ExceptionRaised:
            Unsigned(out, "exceptionId", c.exceptionId);
            break;
        case CommandType::ExceptionDetails:
            Unsigned(out, "exceptionId", c.exceptionId);
            Text(out, "exceptionType", c.texts[0]);
            if ((c.shortValue & ExceptionMessageNull) != 0) {
                Literal(out, ",\"message\":null");
            } else {
                Text(out, "message", c.texts[1]);
            }
            out += (c.shortValue & ExceptionMessageCut) != 0 ? ",\"messageCut\":true" : ",\"messageCut\":false";
            break;
        case CommandType::UnwindCall:
            Function(out, c, functionName);
            break;
        case CommandType::ProcessFrequency:
            Unsigned(out, "frequency", c.frequency);
            break;
        case CommandType::ProcessType:
            Text(out, "runtime", c.runtime);
            Text(out, "host", c.host);
            Text(out, "apiKey", c.apiKey);
            break;
        case CommandType::ProfilerVersion:
            Text(out, "version", c.version);
            break;
        case CommandType::DeliveryStatistics:
            out += c.delivery.final ? ",\"final\":true" : ",\"final\":false";
            Unsigned(out, "sent", c.delivery.sent);
            Unsigned(out, "droppedQueueFull", c.delivery.queueFull);
            Unsigned(out, "droppedSendFailed", c.delivery.sendFailed);
            Unsigned(out, "droppedPipeFull", c.delivery.pipeFull);
            break;
        case CommandType::SqlInformation:
            Text(out, "text1", c.texts[0]);
            Text(out, "text2", c.texts[1]);
            Text(out, "text3", c.texts[2]);
            Text(out, "text4", c.texts[3]);
            Unsigned(out, "longValue", c.longValue);
            break;
        case CommandType::HttpRequestInformation:
            Text(out, "firstText", c.texts[0]);
            Text(out, "secondText", c.texts[1]);
            Unsigned(out, "shortValue", c.shortValue);
            Unsigned(out, "longValue", c.longValue);
            break;
        default:
            break;
    }
}

}  // namespace

void AppendCommandJson(std::string& out, const DecodedCommand& c, const std::string_view* functionName,
                       bool nameIsJsonSafe) {
    const auto commandType = static_cast<CommandType>(c.type);
    if (((commandType == CommandType::BeginCall && c.args.empty()) ||
         (commandType == CommandType::EndCall && !c.hasReturnValue)) &&
        c.badValueRecords == 0 &&
        (functionName == nullptr || (nameIsJsonSafe && functionName->size() <= MaxFastName))) {
        AppendPlainCallJson(out, c, functionName);
        return;
    }
    AppendHead(out, c);
    AppendBody(out, c, functionName);
    if (c.badValueRecords != 0) {
        Unsigned(out, "badValueRecords", c.badValueRecords);
    }
    out += '}';
}

std::string CommandToJson(const DecodedCommand& c, const std::string* functionName) {
    std::string out;
    out.reserve(128);
    if (functionName != nullptr) {
        const std::string_view name(*functionName);
        AppendCommandJson(out, c, &name);
    } else {
        AppendCommandJson(out, c, nullptr);
    }
    return out;
}

}  // namespace QuorixCollect
