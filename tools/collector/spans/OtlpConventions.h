#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "wire/ValueRecord.h"

namespace QuorixCollect {

// One span or resource attribute as OTLP carries it.
struct OtlpAttribute {
    enum class Kind : uint8_t { String, Int, Double, Bool };
    std::string key;
    Kind kind = Kind::String;
    std::string text;
    int64_t number = 0;
    double real = 0;
    bool flag = false;

    static OtlpAttribute String(std::string key, std::string text);
    static OtlpAttribute Int(std::string key, int64_t value);
    static OtlpAttribute Double(std::string key, double value);
    static OtlpAttribute Bool(std::string key, bool value);
};

// What a function is to the trace structure.
enum class CallRole : uint8_t {
    Plain,
    // Thread-pool and thread-start machinery: when only such calls are open on a thread, the
    // next call begins a trace of its own and they are never exported themselves, so a pool
    // thread's loop does not glue unrelated work items into one trace.
    Dispatcher,
    // Where the host hands an incoming request to the app: always begins a trace.
    RequestEntry,
};
CallRole RoleOf(std::string_view className, std::string_view methodName);

// Turns the captured values of one call into attributes: semantic-convention names where one
// fits (database, cache, HTTP), the rest under "quorix.". Secrets in connection strings and
// URLs are masked. Returns what the values were worth.
struct MappedValues {
    bool meaningful = false;  // worth a span even when the call was short
};
MappedValues MapCapturedValue(std::string_view className, std::string_view methodName, const ValueRecord& value,
                              bool isReturnValue, std::vector<OtlpAttribute>& out);

// "postgresql", "mysql", ... for a database client command class ("Npgsql.NpgsqlCommand");
// empty for anything else.
std::string_view DatabaseCommandSystem(std::string_view className);

// Attributes that describe the incoming request as a whole and so also belong on the span
// that began the request's trace.
bool IsRequestAttribute(std::string_view key);

// "Password=x;Host=h" -> "Password=***;Host=h"; "http://u:p@h/" -> "http://***@h/": the agent's
// masking rules (SecretMasker), so that a secret masked on one side is masked on the other.
std::string MaskSecrets(std::string_view text);

// Adds `attribute` unless one with its key is already there.
void AddAttributeOnce(std::vector<OtlpAttribute>& list, const OtlpAttribute& attribute);

}  // namespace QuorixCollect
