#pragma once

#include <string>
#include <vector>

#include "spans/OtlpSpanBuilder.h"

namespace QuorixCollect {

// OTLP/JSON (the protobuf JSON mapping the receivers accept on /v1/traces): ids as hex,
// 64-bit integers and times as decimal strings, enums as numbers.
class OtlpEncoder {
public:
    // Appends one ExportTraceServiceRequest holding `spans`, grouped by their resource.
    static void AppendTraceRequest(std::string& out, const std::vector<OtlpSpan>& spans);
    static void AppendAttributes(std::string& out, const std::vector<OtlpAttribute>& attributes);
};

}  // namespace QuorixCollect
