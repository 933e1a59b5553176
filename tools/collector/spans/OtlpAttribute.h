#pragma once

#include <cstdint>
#include <string>
#include <vector>

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

// Adds `attribute` unless one with its key is already there.
void AddAttributeOnce(std::vector<OtlpAttribute>& list, const OtlpAttribute& attribute);

}  // namespace QuorixCollect
