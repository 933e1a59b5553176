#include "wire/SqlParameters.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "wire/WireFormat.h"

namespace QuorixCollect {

namespace {

constexpr int64_t TicksPerSecond = 10000000;
constexpr int64_t TicksPerDay = 86400 * TicksPerSecond;
constexpr int64_t TicksPerMinute = 60 * TicksPerSecond;

const ValueRecord* Field(const ValueRecord& record, const char* name) {
    for (const ValueRecord& child : record.children) {
        if (child.name == name) {
            return &child;
        }
    }
    return nullptr;
}

uint64_t Bits(const ValueRecord& record, const char* name) {
    const ValueRecord* field = Field(record, name);
    return field != nullptr && field->hasPayload && field->error.empty() ? field->scalarBits : 0;
}

// A 96-bit integer with its scale and sign, as .NET prints a decimal (trailing zeros kept).
std::string DecimalText(const ValueRecord& record) {
    const auto flags = static_cast<uint32_t>(Bits(record, "_flags"));
    // The 96-bit magnitude as three 32-bit limbs, most significant first, divided down by ten.
    uint64_t limbs[3] = {Bits(record, "_hi32") & 0xFFFFFFFFu, Bits(record, "_lo64") >> 32,
                         Bits(record, "_lo64") & 0xFFFFFFFFu};
    const unsigned scale = (flags >> 16) & 0xFF;
    std::string digits;
    do {
        uint64_t remainder = 0;
        for (uint64_t& limb : limbs) {
            const uint64_t current = (remainder << 32) | limb;
            limb = current / 10;
            remainder = current % 10;
        }
        digits.insert(digits.begin(), static_cast<char>('0' + remainder));
    } while ((limbs[0] | limbs[1] | limbs[2]) != 0);
    if (scale > 28) {
        return "?";
    }
    while (digits.size() <= scale) {
        digits.insert(digits.begin(), '0');
    }
    if (scale > 0) {
        digits.insert(digits.end() - scale, '.');
    }
    const bool negative = (flags & 0x80000000u) != 0 && digits.find_first_not_of("0.") != std::string::npos;
    return negative ? "-" + digits : digits;
}

// Ticks since 0001-01-01 as "yyyy-MM-ddTHH:mm:ss.fffffff".
std::string ClockText(int64_t ticks) {
    if (ticks < 0) {
        return "?";
    }
    // Days since 1970-01-01, then the civil date (proleptic Gregorian, as .NET counts).
    int64_t days = ticks / TicksPerDay - 719162;
    const int64_t inDay = ticks % TicksPerDay;
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t dayOfEra = days - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t shifted = (5 * dayOfYear + 2) / 153;
    const int64_t day = dayOfYear - (153 * shifted + 2) / 5 + 1;
    const int64_t month = shifted < 10 ? shifted + 3 : shifted - 9;
    const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    char text[64];
    snprintf(text, sizeof text,
             "%04" PRId64 "-%02" PRId64 "-%02" PRId64 "T%02" PRId64 ":%02" PRId64 ":%02" PRId64 ".%07" PRId64, year,
             month, day, inDay / (3600 * TicksPerSecond), inDay / TicksPerMinute % 60, inDay / TicksPerSecond % 60,
             inDay % TicksPerSecond);
    return text;
}

// The date-time's ticks are its low 62 bits; its kind, above them, says whether it is UTC.
std::string DateTimeText(uint64_t dateData) {
    std::string text = ClockText(static_cast<int64_t>(dateData & 0x3FFFFFFFFFFFFFFFull));
    return (dateData >> 62) == 1 ? text + "Z" : text;
}

std::string DateTimeOffsetText(const ValueRecord& record) {
    const auto offset = static_cast<int16_t>(Bits(record, "_offsetMinutes"));
    const int64_t clock =
        static_cast<int64_t>(Bits(record, "_dateData") & 0x3FFFFFFFFFFFFFFFull) + offset * TicksPerMinute;
    const int minutes = offset < 0 ? -offset : offset;
    char zone[16];
    snprintf(zone, sizeof zone, "%c%02d:%02d", offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
    return ClockText(clock) + zone;
}

std::string TimeSpanText(int64_t ticks) {
    const bool negative = ticks < 0;
    const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(ticks) : static_cast<uint64_t>(ticks);
    const uint64_t seconds = magnitude / TicksPerSecond;
    const uint64_t fraction = magnitude % TicksPerSecond;
    char text[64];
    int at = snprintf(text, sizeof text, "%s", negative ? "-" : "");
    if (seconds >= 86400) {
        at += snprintf(text + at, sizeof text - at, "%" PRIu64 ".", seconds / 86400);
    }
    at += snprintf(text + at, sizeof text - at, "%02" PRIu64 ":%02" PRIu64 ":%02" PRIu64, seconds / 3600 % 24,
                   seconds / 60 % 60, seconds % 60);
    if (fraction != 0) {
        snprintf(text + at, sizeof text - at, ".%07" PRIu64, fraction);
    }
    return text;
}

std::string GuidText(const ValueRecord& record) {
    const uint64_t tail = Bits(record, "_dk");  // bytes d..k in memory order
    uint8_t b[8];
    for (int i = 0; i < 8; ++i) {
        b[i] = static_cast<uint8_t>(tail >> (8 * i));
    }
    char text[40];
    snprintf(text, sizeof text, "%08" PRIx32 "-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
             static_cast<uint32_t>(Bits(record, "_a")), static_cast<unsigned>(Bits(record, "_b") & 0xFFFF),
             static_cast<unsigned>(Bits(record, "_c") & 0xFFFF), b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7]);
    return text;
}

std::string StructText(const ValueRecord& record) {
    const std::string& type = record.className;
    if (type == "System.Decimal") {
        return DecimalText(record);
    }
    if (type == "System.DateTime") {
        return DateTimeText(Bits(record, "_dateData"));
    }
    if (type == "System.DateTimeOffset") {
        return DateTimeOffsetText(record);
    }
    if (type == "System.TimeSpan") {
        return TimeSpanText(static_cast<int64_t>(Bits(record, "_ticks")));
    }
    if (type == "System.Guid") {
        return GuidText(record);
    }
    return type;
}

}  // namespace

SqlParameter SqlParameterValue(const ValueRecord& value) {
    SqlParameter parameter;
    const auto type = static_cast<ValueType>(value.type);
    if (!value.error.empty() || type == ValueType::Unknown) {
        parameter.value = "?";
        return parameter;
    }
    switch (type) {
        case ValueType::NullString:
        case ValueType::NullObject:
            parameter.isNull = true;
            return parameter;
        case ValueType::EmptyString:
        case ValueType::String:
        case ValueType::LongString:
            parameter.isText = true;
            parameter.value = value.text;
            return parameter;
        case ValueType::Struct:
            parameter.value = StructText(value);
            return parameter;
        case ValueType::Object:
            parameter.value = value.className;
            return parameter;
        default:
            break;
    }
    parameter.value = ScalarWidth(value.type) != 0 && value.hasPayload ? FormatValue(value) : "?";
    return parameter;
}

std::vector<SqlParameter> SqlParametersOf(const DecodedCommand& begin) {
    std::vector<SqlParameter> parameters;
    for (const ValueRecord& arg : begin.args) {
        if (arg.name != "Parameters" || static_cast<ValueType>(arg.type) != ValueType::Object) {
            continue;
        }
        for (const ValueRecord& element : arg.children) {
            // The elements are named by their index; "count" tells how many the command has.
            if (element.name.empty() || element.name.find_first_not_of("0123456789") != std::string::npos ||
                static_cast<ValueType>(element.type) != ValueType::Object) {
                continue;
            }
            const ValueRecord* value = Field(element, "value");
            SqlParameter parameter = value != nullptr ? SqlParameterValue(*value) : SqlParameter{};
            if (value == nullptr) {
                parameter.value = "?";
            }
            if (const ValueRecord* name = Field(element, "name")) {
                parameter.name = name->text;
            }
            parameters.push_back(std::move(parameter));
        }
        break;
    }
    return parameters;
}

}  // namespace QuorixCollect
