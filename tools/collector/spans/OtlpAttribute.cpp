#include "spans/OtlpAttribute.h"

#include <algorithm>

namespace QuorixCollect {

namespace {

OtlpAttribute Make(std::string key, OtlpAttribute::Kind kind) {
    OtlpAttribute a;
    a.key = std::move(key);
    a.kind = kind;
    return a;
}

}  // namespace

OtlpAttribute OtlpAttribute::String(std::string key, std::string text) {
    OtlpAttribute a = Make(std::move(key), Kind::String);
    a.text = std::move(text);
    return a;
}

OtlpAttribute OtlpAttribute::Int(std::string key, int64_t value) {
    OtlpAttribute a = Make(std::move(key), Kind::Int);
    a.number = value;
    return a;
}

OtlpAttribute OtlpAttribute::Double(std::string key, double value) {
    OtlpAttribute a = Make(std::move(key), Kind::Double);
    a.real = value;
    return a;
}

OtlpAttribute OtlpAttribute::Bool(std::string key, bool value) {
    OtlpAttribute a = Make(std::move(key), Kind::Bool);
    a.flag = value;
    return a;
}

void AddAttributeOnce(std::vector<OtlpAttribute>& list, const OtlpAttribute& attribute) {
    for (const auto& a : list) {
        if (a.key == attribute.key) {
            return;
        }
    }
    list.push_back(attribute);
}

}  // namespace QuorixCollect
