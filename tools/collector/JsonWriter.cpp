#include "JsonWriter.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "TextUtil.h"
#include "WireFormat.h"

namespace QuorixCollect {

namespace {

void Key(std::string& out, const char* key)
{
    out += ",\"";
    out += key;
    out += "\":";
}

void Unsigned(std::string& out, const char* key, uint64_t v)
{
    Key(out, key);
    out += std::to_string(v);
}

void Text(std::string& out, const char* key, const std::string& v)
{
    Key(out, key);
    AppendJsonString(out, v);
}

// JSON has no NaN or infinity; those travel as strings so the line stays valid.
void AppendFloating(std::string& out, double d, int digits)
{
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

void AppendScalar(std::string& out, const ValueRecord& v)
{
    const uint64_t b = v.scalarBits;
    switch (static_cast<ValueType>(v.type)) {
    case ValueType::Boolean: out += b != 0 ? "true" : "false"; break;
    case ValueType::Int16: out += std::to_string(static_cast<int16_t>(b)); break;
    case ValueType::Int32: out += std::to_string(static_cast<int32_t>(b)); break;
    case ValueType::Int64: out += std::to_string(static_cast<int64_t>(b)); break;
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
    default: out += std::to_string(b); break;
    }
}

void AppendValueList(std::string& out, const std::vector<ValueRecord>& values)
{
    out += '[';
    for (size_t i = 0; i < values.size(); ++i) {
        if (i != 0) {
            out += ',';
        }
        AppendValueJson(out, values[i]);
    }
    out += ']';
}

} // namespace

void AppendValueJson(std::string& out, const ValueRecord& v)
{
    out += "{\"name\":";
    AppendJsonString(out, v.name);
    Unsigned(out, "type", v.type);
    Key(out, "typeName");
    AppendJsonString(out, ValueTypeName(v.type));
    const auto type = static_cast<ValueType>(v.type);
    switch (type) {
    case ValueType::NullString:
    case ValueType::NullObject: out += ",\"value\":null"; break;
    case ValueType::EmptyString: out += ",\"value\":\"\""; break;
    default: break;
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
                    out += boolean ? (v.elements[i] != 0 ? "true" : "false") : std::to_string(v.elements[i]);
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

std::string CommandToJson(const DecodedCommand& c, const std::string* functionName)
{
    std::string out;
    out.reserve(128);
    out += "{\"type\":";
    out += std::to_string(c.type);
    Key(out, "name");
    const char* name = CommandTypeName(c.type);
    AppendJsonString(out, name != nullptr ? name : "Unknown");
    Unsigned(out, "pid", c.pid);
    Unsigned(out, "tid", c.tid);
    Key(out, "ts");
    out += std::to_string(c.ts);

    auto function = [&] {
        Unsigned(out, "functionId", c.functionId);
        if (functionName != nullptr) {
            Text(out, "function", *functionName);
        }
    };
    switch (static_cast<CommandType>(c.type)) {
    case CommandType::BeginCall:
        function();
        Unsigned(out, "instanceId", c.instanceId);
        Key(out, "args");
        AppendValueList(out, c.args);
        break;
    case CommandType::EndCall:
        function();
        Key(out, "tailCall");
        out += c.tailCall ? "true" : "false";
        Key(out, "returnValue");
        if (c.hasReturnValue) {
            AppendValueJson(out, c.returnValue);
        } else {
            out += "null";
        }
        break;
    case CommandType::MethodInfo:
        Unsigned(out, "functionId", c.functionId);
        Text(out, "className", c.className);
        Text(out, "methodName", c.methodName);
        break;
    case CommandType::ExceptionRaised: Unsigned(out, "exceptionId", c.exceptionId); break;
    case CommandType::UnwindCall: function(); break;
    case CommandType::ProcessFrequency: Unsigned(out, "frequency", c.frequency); break;
    case CommandType::ProcessType:
        Text(out, "runtime", c.runtime);
        Text(out, "host", c.host);
        Text(out, "apiKey", c.apiKey);
        break;
    case CommandType::ProfilerVersion: Text(out, "version", c.version); break;
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
    default: break;
    }
    if (c.badValueRecords != 0) {
        Unsigned(out, "badValueRecords", c.badValueRecords);
    }
    out += '}';
    return out;
}

} // namespace QuorixCollect
