// The collector's own protobuf encoding against the real decoder: protoc's classes for the OTLP
// messages parse every request it writes, find exactly the spans that went in, and find the same
// message in the JSON encoding of the same spans.

#include <google/protobuf/util/json_util.h>
#include <google/protobuf/util/message_differencer.h>

#include <gtest/gtest.h>

#include "opentelemetry/proto/collector/trace/v1/trace_service.pb.h"
#include "spans/OtlpEncoder.h"

using namespace QuorixCollect;
namespace pb = opentelemetry::proto;

namespace {

std::vector<OtlpSpan> SampleSpans() {
    auto shop = std::make_shared<OtlpResource>();
    shop->attributes = {OtlpAttribute::String("service.name", "Shop.Api"), OtlpAttribute::Int("process.pid", 4242)};
    auto worker = std::make_shared<OtlpResource>();
    worker->attributes = {OtlpAttribute::String("service.name", "Worker")};
    std::vector<OtlpSpan> spans(4);
    for (size_t i = 0; i < spans.size(); ++i) {
        OtlpSpan& s = spans[i];
        s.resource = i == 2 ? worker : shop;
        for (int b = 0; b < 16; ++b) {
            s.traceId[b] = static_cast<uint8_t>(0xA0 + b + i);
        }
        s.spanId = 0x8000000000000001ull + i;
        s.parentSpanId = i == 0 ? 0 : 0x8000000000000001ull;
        s.name = "Shop.Orders.OrderProcessor::Process" + std::to_string(i);
        s.startNs = 1796730927758271400ull + i;
        s.endNs = s.startNs + 123456789;
        s.attributes = {OtlpAttribute::String("code.namespace", "Shop.Orders.OrderProcessor"),
                        OtlpAttribute::Int("thread.id", 7)};
    }
    // Every kind of value, extremes, an empty text and bytes that are not UTF-8.
    spans[1].attributes.push_back(OtlpAttribute::Int("quorix.arg.min", INT64_MIN));
    spans[1].attributes.push_back(OtlpAttribute::Int("quorix.arg.zero", 0));
    spans[1].attributes.push_back(OtlpAttribute::Double("quorix.arg.ratio", -0.1));
    spans[1].attributes.push_back(OtlpAttribute::Bool("quorix.arg.flag", false));
    spans[1].attributes.push_back(OtlpAttribute::String("quorix.arg.empty", ""));
    spans[1].attributes.push_back(OtlpAttribute::String("db.query.text", "SELECT 'caf\xc3\xa9' \xff\xfe x"));
    spans[1].attributes.push_back(OtlpAttribute::String("quorix.arg.long", std::string(70000, 'q')));
    spans[3].error = true;
    spans[3].statusMessage = "System.InvalidOperationException: no amount";
    spans[3].events.push_back(
        {spans[3].endNs, "exception", {OtlpAttribute::String("exception.type", "System.InvalidOperationException")}});
    spans[3].events.push_back({spans[3].startNs, "", {}});
    return spans;
}

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// The JSON form carries ids as hex, the protobuf JSON mapping as base64: put the decoded ids back
// as bytes after parsing.
void HexIdsToBytes(pb::collector::trace::v1::ExportTraceServiceRequest& r) {
    auto fromHex = [](const std::string& hex) {
        std::string out;
        for (size_t i = 0; i + 1 < hex.size(); i += 2) {
            out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
        }
        return out;
    };
    for (auto& rs : *r.mutable_resource_spans()) {
        for (auto& ss : *rs.mutable_scope_spans()) {
            for (auto& s : *ss.mutable_spans()) {
                s.set_trace_id(fromHex(s.trace_id()));
                s.set_span_id(fromHex(s.span_id()));
                s.set_parent_span_id(fromHex(s.parent_span_id()));
            }
        }
    }
}

// Base64 alphabet only: the JSON parser reads the hex ids as base64, which HexIdsToBytes undoes.
std::string JsonIdsAsBase64Text(std::string json) {
    for (const char* key : {"\"traceId\":\"", "\"spanId\":\"", "\"parentSpanId\":\""}) {
        for (size_t at = json.find(key); at != std::string::npos; at = json.find(key, at + 1)) {
            const size_t start = at + strlen(key);
            const size_t end = json.find('"', start);
            std::string hex = json.substr(start, end - start);
            // Hex digits are base64 characters; encode the text itself so it survives the decoding.
            static const char table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
            std::string b64;
            for (size_t i = 0; i < hex.size(); i += 3) {
                const uint32_t n = (static_cast<uint8_t>(hex[i]) << 16) |
                                   (i + 1 < hex.size() ? static_cast<uint8_t>(hex[i + 1]) << 8 : 0) |
                                   (i + 2 < hex.size() ? static_cast<uint8_t>(hex[i + 2]) : 0);
                b64 += table[(n >> 18) & 63];
                b64 += table[(n >> 12) & 63];
                b64 += i + 1 < hex.size() ? table[(n >> 6) & 63] : '=';
                b64 += i + 2 < hex.size() ? table[n & 63] : '=';
            }
            json.replace(start, end - start, b64);
        }
    }
    return json;
}

}  // namespace

TEST(OtlpProtobuf, TheRealDecoderReadsEverySpanAndAttribute) {
    const std::vector<OtlpSpan> spans = SampleSpans();
    const std::vector<OtlpAttribute> extra = {OtlpAttribute::String("deployment.environment.name", "staging"),
                                              OtlpAttribute::String("service.name", "ignored: the resource has one")};
    std::string bytes = "prefix";
    OtlpProtobufEncoder::AppendTraceRequest(bytes, spans, extra);
    ASSERT_EQ(bytes.compare(0, 6, "prefix"), 0);
    pb::collector::trace::v1::ExportTraceServiceRequest request;
    ASSERT_TRUE(request.ParseFromString(bytes.substr(6)));
    // Processes in the order they first came, each with its spans in order.
    ASSERT_EQ(request.resource_spans_size(), 2);
    const auto& shop = request.resource_spans(0);
    ASSERT_EQ(shop.resource().attributes_size(), 3);
    EXPECT_EQ(shop.resource().attributes(0).value().string_value(), "Shop.Api");
    EXPECT_EQ(shop.resource().attributes(1).value().int_value(), 4242);
    EXPECT_EQ(shop.resource().attributes(2).key(), "deployment.environment.name");
    EXPECT_EQ(request.resource_spans(1).resource().attributes(0).value().string_value(), "Worker");
    ASSERT_EQ(shop.scope_spans_size(), 1);
    EXPECT_EQ(shop.scope_spans(0).scope().name(), "quorix-collect");
    ASSERT_EQ(shop.scope_spans(0).spans_size(), 3);

    const auto& root = shop.scope_spans(0).spans(0);
    EXPECT_EQ(Hex(root.trace_id()), "a0a1a2a3a4a5a6a7a8a9aaabacadaeaf");
    EXPECT_EQ(Hex(root.span_id()), "8000000000000001");
    EXPECT_TRUE(root.parent_span_id().empty());
    EXPECT_EQ(root.name(), "Shop.Orders.OrderProcessor::Process0");
    EXPECT_EQ(root.kind(), pb::trace::v1::Span::SPAN_KIND_INTERNAL);
    EXPECT_EQ(root.start_time_unix_nano(), 1796730927758271400ull);
    EXPECT_EQ(root.end_time_unix_nano(), 1796730927758271400ull + 123456789);
    EXPECT_FALSE(root.has_status());

    const auto& values = shop.scope_spans(0).spans(1);
    EXPECT_EQ(Hex(values.parent_span_id()), "8000000000000001");
    ASSERT_EQ(values.attributes_size(), 9);
    EXPECT_EQ(values.attributes(2).value().int_value(), INT64_MIN);
    EXPECT_EQ(values.attributes(3).value().value_case(), pb::common::v1::AnyValue::kIntValue);
    EXPECT_DOUBLE_EQ(values.attributes(4).value().double_value(), -0.1);
    EXPECT_EQ(values.attributes(5).value().value_case(), pb::common::v1::AnyValue::kBoolValue);
    EXPECT_FALSE(values.attributes(5).value().bool_value());
    EXPECT_EQ(values.attributes(6).value().value_case(), pb::common::v1::AnyValue::kStringValue);
    // Bytes that are not UTF-8 become U+FFFD, as in the JSON form.
    EXPECT_EQ(values.attributes(7).value().string_value(), "SELECT 'caf\xc3\xa9' \xef\xbf\xbd\xef\xbf\xbd x");
    EXPECT_EQ(values.attributes(8).value().string_value().size(), 70000u);

    const auto& failed = shop.scope_spans(0).spans(2);
    EXPECT_EQ(failed.status().code(), pb::trace::v1::Status::STATUS_CODE_ERROR);
    EXPECT_EQ(failed.status().message(), "System.InvalidOperationException: no amount");
    ASSERT_EQ(failed.events_size(), 2);
    EXPECT_EQ(failed.events(0).name(), "exception");
    EXPECT_EQ(failed.events(0).time_unix_nano(), spans[3].endNs);
    EXPECT_EQ(failed.events(0).attributes(0).value().string_value(), "System.InvalidOperationException");
    EXPECT_EQ(failed.events(1).time_unix_nano(), spans[3].startNs);
    EXPECT_EQ(request.resource_spans(1).scope_spans(0).spans(0).name(), "Shop.Orders.OrderProcessor::Process2");
}

TEST(OtlpProtobuf, BothEncodingsCarryTheSameMessage) {
    const std::vector<OtlpSpan> spans = SampleSpans();
    const std::vector<OtlpAttribute> extra = {OtlpAttribute::String("service.version", "1.2")};
    std::string bytes, json;
    OtlpProtobufEncoder::AppendTraceRequest(bytes, spans, extra);
    OtlpEncoder::AppendTraceRequest(json, spans, extra);
    pb::collector::trace::v1::ExportTraceServiceRequest fromProtobuf, fromJson;
    ASSERT_TRUE(fromProtobuf.ParseFromString(bytes));
    const auto status = google::protobuf::util::JsonStringToMessage(JsonIdsAsBase64Text(json), &fromJson);
    ASSERT_TRUE(status.ok()) << status.ToString();
    HexIdsToBytes(fromJson);
    std::string differences;
    google::protobuf::util::MessageDifferencer diff;
    diff.ReportDifferencesToString(&differences);
    EXPECT_TRUE(diff.Compare(fromProtobuf, fromJson)) << differences;

    // An empty batch is an empty request in both.
    bytes.clear();
    OtlpProtobufEncoder::AppendTraceRequest(bytes, {});
    EXPECT_TRUE(bytes.empty());
}
