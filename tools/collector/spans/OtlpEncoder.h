#pragma once

#include <string>
#include <vector>

#include "spans/OtlpSpanBuilder.h"

namespace QuorixCollect {

// The spans of a batch by process, in the order they came in.
struct ResourceGroup {
    std::vector<OtlpAttribute> attributes;  // the resource's own, then the extra ones it lacks
    std::vector<size_t> spans;              // indexes into the batch
};
// `extra` (e.g. from OTEL_RESOURCE_ATTRIBUTES) goes on every resource; a key the resource has
// already keeps the resource's value.
std::vector<ResourceGroup> GroupByResource(const std::vector<OtlpSpan>& spans, const std::vector<OtlpAttribute>& extra);

// OTLP/JSON (the protobuf JSON mapping the receivers accept on /v1/traces): ids as hex,
// 64-bit integers and times as decimal strings, enums as numbers.
class OtlpEncoder {
public:
    // Appends one ExportTraceServiceRequest holding `spans`, grouped by their resource.
    static void AppendTraceRequest(std::string& out, const std::vector<OtlpSpan>& spans,
                                   const std::vector<OtlpAttribute>& extraResource = {});
    static void AppendAttributes(std::string& out, const std::vector<OtlpAttribute>& attributes);
};

// OTLP protobuf: the same request, the same spans and attributes, in the binary encoding.
class OtlpProtobufEncoder {
public:
    static void AppendTraceRequest(std::string& out, const std::vector<OtlpSpan>& spans,
                                   const std::vector<OtlpAttribute>& extraResource = {});
};

}  // namespace QuorixCollect
