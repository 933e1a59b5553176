#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "text/TextEncoding.h"

namespace QuorixCollect {

// Appends JSON to a string: commas between elements come by themselves, strings are escaped.
// The one way the report, the viewer files and the span export write JSON (JSON lines have their
// own, faster path for their fixed shapes).
class JsonBuilder {
public:
    explicit JsonBuilder(std::string& output) : out(output) {}

    JsonBuilder& Key(std::string_view key) {
        Comma();
        AppendJsonString(out, key);
        out += ':';
        pendingValue = true;
        return *this;
    }
    JsonBuilder& String(std::string_view v) {
        Comma();
        AppendJsonString(out, v);
        return *this;
    }
    // Microseconds (or any quantity) with at most three decimals, trailing zeros dropped.
    JsonBuilder& Number(double v) {
        Comma();
        AppendMicros(out, v);
        return *this;
    }
    JsonBuilder& Count(uint64_t v) {
        Comma();
        out += std::to_string(v);
        return *this;
    }
    JsonBuilder& Int(int64_t v) {
        Comma();
        out += std::to_string(v);
        return *this;
    }
    // 64-bit numbers as strings, for readers whose numbers are doubles.
    JsonBuilder& QuotedCount(uint64_t v) { return Quoted(std::to_string(v)); }
    JsonBuilder& QuotedInt(int64_t v) { return Quoted(std::to_string(v)); }
    // A double as exactly as it is; NaN and infinities as the strings JSON readers accept.
    JsonBuilder& Exact(double v) {
        if (!std::isfinite(v)) {
            return String(std::isnan(v) ? "NaN" : (v > 0 ? "Infinity" : "-Infinity"));
        }
        Comma();
        char buf[40];
        snprintf(buf, sizeof buf, "%.17g", v);
        out += buf;
        return *this;
    }
    JsonBuilder& Hex(const uint8_t* bytes, size_t n) {
        static const char digits[] = "0123456789abcdef";
        Comma();
        out += '"';
        for (size_t i = 0; i < n; ++i) {
            out += digits[bytes[i] >> 4];
            out += digits[bytes[i] & 15];
        }
        out += '"';
        return *this;
    }
    JsonBuilder& Null() {
        Comma();
        out += "null";
        return *this;
    }
    JsonBuilder& Bool(bool v) {
        Comma();
        out += v ? "true" : "false";
        return *this;
    }
    JsonBuilder& Open(char brace) {
        Comma();
        out += brace;
        first = true;
        return *this;
    }
    JsonBuilder& Close(char brace) {
        out += brace;
        first = false;
        return *this;
    }
    // The next element starts on a line of its own (files people open in an editor).
    JsonBuilder& Break() {
        breakNext = true;
        return *this;
    }
    // A whole JSON value made elsewhere (an array of objects), written as it is in its place.
    JsonBuilder& Raw(std::string_view json) {
        Comma();
        out += json;
        return *this;
    }
    // Text as it is, outside the element structure (a line break before a closing bracket).
    JsonBuilder& Verbatim(std::string_view text) {
        out += text;
        return *this;
    }

    // A number of microseconds with at most three decimals, as JSON takes it.
    static void AppendMicros(std::string& to, double micros) {
        if (!std::isfinite(micros)) {
            micros = 0;
        }
        char buf[48];
        int n = snprintf(buf, sizeof buf, "%.3f", micros);
        // Trailing zeros cost bytes in files with a million numbers.
        while (n > 0 && buf[n - 1] == '0') {
            --n;
        }
        if (n > 0 && buf[n - 1] == '.') {
            --n;
        }
        if (n == 2 && buf[0] == '-' && buf[1] == '0') {
            n = 1;
            buf[0] = '0';
        }
        to.append(buf, static_cast<size_t>(n));
    }

private:
    JsonBuilder& Quoted(const std::string& digits) {
        Comma();
        out += '"';
        out += digits;
        out += '"';
        return *this;
    }
    void Comma() {
        if (pendingValue) {
            pendingValue = false;
            first = false;
            return;
        }
        if (!first) {
            out += ',';
        }
        first = false;
        if (breakNext) {
            out += '\n';
            breakNext = false;
        }
    }

    std::string& out;
    bool first = true;
    bool pendingValue = false;
    bool breakNext = false;
};

}  // namespace QuorixCollect
