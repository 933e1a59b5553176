// What encoding a batch of spans costs, ours against protoc's generated classes: ns per span
// for the JSON form, our protobuf writer, the generated classes (filling the message from our
// spans, then serialising it, as an exporter built on them would), the generated serialiser
// alone on a message already filled, and gzip on top; and the size of one batch in each.
//   qx_otlp_encoding_bench [SPANS_PER_BATCH] [BATCHES]   (default 512 and 2000)

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include <google/protobuf/arena.h>

#include "opentelemetry/proto/collector/trace/v1/trace_service.pb.h"
#include "spans/Gzip.h"
#include "spans/OtlpEncoder.h"

using namespace QuorixCollect;
namespace pb = opentelemetry::proto;

namespace {

// Spans shaped as the collector builds them: nested calls of a web shop, a SQL text on every
// eighth, an exception on every sixty-fourth.
std::vector<OtlpSpan> Batch(size_t count) {
    auto resource = std::make_shared<OtlpResource>();
    resource->attributes = {OtlpAttribute::String("service.name", "Shop.Api"),
                            OtlpAttribute::String("service.instance.id", "build-host:31337"),
                            OtlpAttribute::Int("process.pid", 31337),
                            OtlpAttribute::String("host.name", "build-host"),
                            OtlpAttribute::String("process.runtime.description", ".NET CORE 10.0.1"),
                            OtlpAttribute::String("quorix.host_type", "DOTNET_CORE"),
                            OtlpAttribute::String("quorix.agent.version", "2.3.0"),
                            OtlpAttribute::String("telemetry.sdk.name", "quorix"),
                            OtlpAttribute::String("telemetry.sdk.language", "dotnet")};
    const char* classes[] = {"Shop.Orders.OrderService", "Shop.Orders.PriceRules", "Shop.Data.OrderRepository",
                             "Shop.Web.OrdersController"};
    const char* methods[] = {"Quote", "Tax", "Load", "Get"};
    std::vector<OtlpSpan> spans(count);
    uint64_t t = 1796730927758271400ull;
    for (size_t i = 0; i < count; ++i) {
        OtlpSpan& s = spans[i];
        s.resource = resource;
        for (int b = 0; b < 16; ++b) {
            s.traceId[b] = static_cast<uint8_t>(i / 8 * 31 + b * 7);
        }
        s.spanId = 0x1234567890abcdefull * (i + 1);
        s.parentSpanId = i % 8 == 0 ? 0 : 0x1234567890abcdefull * (i / 8 * 8 + 1);
        const std::string cls = classes[i % 4];
        const std::string method = methods[i % 4];
        s.name = cls + "::" + method;
        s.startNs = t;
        s.endNs = t + 1500000 + i * 1000;
        t += 2000000;
        s.attributes = {OtlpAttribute::String("code.function.name", cls + "." + method),
                        OtlpAttribute::String("code.namespace", cls), OtlpAttribute::Int("thread.id", 1234 + i % 8)};
        if (i % 8 == 2) {
            s.attributes.push_back(OtlpAttribute::String("db.system.name", "postgresql"));
            s.attributes.push_back(OtlpAttribute::String(
                "db.query.text",
                "SELECT o.id, o.total, c.name FROM orders o JOIN customers c ON c.id = o.customer_id "
                "WHERE o.id = @id"));
            s.attributes.push_back(OtlpAttribute::String("server.address", "db.internal"));
            s.attributes.push_back(OtlpAttribute::Int("server.port", 5432));
        }
        if (i % 64 == 5) {
            s.error = true;
            s.statusMessage = "left by exception 0x7fc26180c838";
            s.events.push_back({s.endNs,
                                "exception",
                                {OtlpAttribute::String("exception.message", "exception passed through this call"),
                                 OtlpAttribute::String("quorix.exception.id", "0x7fc26180c838")}});
        }
    }
    return spans;
}

void Fill(pb::common::v1::KeyValue* kv, const OtlpAttribute& a) {
    kv->set_key(a.key);
    auto* v = kv->mutable_value();
    switch (a.kind) {
        case OtlpAttribute::Kind::String:
            v->set_string_value(a.text);
            break;
        case OtlpAttribute::Kind::Int:
            v->set_int_value(a.number);
            break;
        case OtlpAttribute::Kind::Double:
            v->set_double_value(a.real);
            break;
        case OtlpAttribute::Kind::Bool:
            v->set_bool_value(a.flag);
            break;
    }
}

std::string IdBytes(uint64_t id) {
    std::string out(8, '\0');
    for (int i = 0; i < 8; ++i) {
        out[i] = static_cast<char>(id >> (56 - 8 * i));
    }
    return out;
}

// The whole batch as generated classes (one resource: the batch's spans share it).
void FillRequest(pb::collector::trace::v1::ExportTraceServiceRequest& request, const std::vector<OtlpSpan>& spans) {
    auto* rs = request.add_resource_spans();
    for (const auto& a : spans.front().resource->attributes) {
        Fill(rs->mutable_resource()->add_attributes(), a);
    }
    auto* ss = rs->add_scope_spans();
    ss->mutable_scope()->set_name("quorix-collect");
    for (const auto& s : spans) {
        auto* p = ss->add_spans();
        p->set_trace_id(s.traceId, sizeof s.traceId);
        p->set_span_id(IdBytes(s.spanId));
        if (s.parentSpanId != 0) {
            p->set_parent_span_id(IdBytes(s.parentSpanId));
        }
        p->set_name(s.name);
        p->set_kind(pb::trace::v1::Span::SPAN_KIND_INTERNAL);
        p->set_start_time_unix_nano(s.startNs);
        p->set_end_time_unix_nano(s.endNs);
        for (const auto& a : s.attributes) {
            Fill(p->add_attributes(), a);
        }
        for (const auto& e : s.events) {
            auto* pe = p->add_events();
            pe->set_time_unix_nano(e.timeNs);
            pe->set_name(e.name);
            for (const auto& a : e.attributes) {
                Fill(pe->add_attributes(), a);
            }
        }
        if (s.error) {
            p->mutable_status()->set_code(pb::trace::v1::Status::STATUS_CODE_ERROR);
            p->mutable_status()->set_message(s.statusMessage);
        }
    }
}

// Best of five rounds of `batches` encodings, in ns per span; `out` holds the last result.
double NsPerSpan(size_t spans, int batches, const std::function<void(std::string&)>& encode, std::string& out) {
    double best = 1e300;
    for (int round = 0; round < 5; ++round) {
        const auto start = std::chrono::steady_clock::now();
        for (int b = 0; b < batches; ++b) {
            out.clear();
            encode(out);
        }
        const double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
        best = std::min(best, ns / (static_cast<double>(batches) * static_cast<double>(spans)));
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const size_t count = argc > 1 ? strtoul(argv[1], nullptr, 10) : 512;
    const int batches = argc > 2 ? atoi(argv[2]) : 2000;
    const std::vector<OtlpSpan> spans = Batch(count);
    std::string out, gz;
    struct Row {
        const char* name;
        std::function<void(std::string&)> encode;
    };
    pb::collector::trace::v1::ExportTraceServiceRequest filled;
    FillRequest(filled, spans);
    const Row rows[] = {
        {"json (ours)", [&](std::string& o) { OtlpEncoder::AppendTraceRequest(o, spans); }},
        {"protobuf (ours)", [&](std::string& o) { OtlpProtobufEncoder::AppendTraceRequest(o, spans); }},
        {"protobuf (generated classes, arena)",
         [&](std::string& o) {
             google::protobuf::Arena arena;
             auto* r =
                 google::protobuf::Arena::CreateMessage<pb::collector::trace::v1::ExportTraceServiceRequest>(&arena);
             FillRequest(*r, spans);
             r->SerializeToString(&o);
         }},
        {"protobuf (generated classes, no arena)",
         [&](std::string& o) {
             pb::collector::trace::v1::ExportTraceServiceRequest r;
             FillRequest(r, spans);
             r.SerializeToString(&o);
         }},
        {"protobuf (generated serialiser only)", [&](std::string& o) { filled.SerializeToString(&o); }},
    };
    printf("%zu spans per batch, best of 5 rounds of %d batches\n", count, batches);
    printf("%-40s %8s %12s %12s %8s %12s %8s\n", "encoding", "ns/span", "batch bytes", "gzip-1 bytes", "ns/span",
           "gzip-6 bytes", "ns/span");
    for (const Row& row : rows) {
        const double ns = NsPerSpan(count, batches, row.encode, out);
        const std::string encoded = out;
        const int few = std::max(1, batches / 10);
        std::string gz1;
        const double fast = NsPerSpan(
            count, few, [&](std::string& o) { GzipCompress(encoded, o, 1); }, gz1);
        const double slow = NsPerSpan(
            count, few, [&](std::string& o) { GzipCompress(encoded, o, 6); }, gz);
        printf("%-40s %8.1f %12zu %12zu %8.1f %12zu %8.1f\n", row.name, ns, encoded.size(), gz1.size(), fast, gz.size(),
               slow);
    }
    return 0;
}
