#include <unistd.h>

#include "spans/OtlpSpanBuilder.h"
#include "spans/SemanticConventions.h"

// What describes a profiled process on its spans: the resource and the service's name.

namespace QuorixCollect {

namespace {

std::string HostName() {
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) != 0) {
        return {};
    }
    return buf;
}

}  // namespace

std::string OtlpSpanBuilder::ServiceNameFromCommandLine(const std::string& cmdline) {
    std::vector<std::string> args;
    size_t start = 0;
    while (start < cmdline.size()) {
        size_t end = cmdline.find('\0', start);
        if (end == std::string::npos) {
            end = cmdline.size();
        }
        args.emplace_back(cmdline.substr(start, end - start));
        start = end + 1;
    }
    auto base = [](const std::string& path) {
        const size_t slash = path.rfind('/');
        return slash == std::string::npos ? path : path.substr(slash + 1);
    };
    if (args.empty() || args[0].empty()) {
        return {};
    }
    const std::string program = base(args[0]);
    if (program == "dotnet") {
        for (size_t i = 1; i < args.size(); ++i) {
            const std::string& a = args[i];
            if (a.size() > 4 && a.compare(a.size() - 4, 4, ".dll") == 0) {
                const std::string file = base(a);
                return file.substr(0, file.size() - 4);
            }
        }
    }
    return program;
}

std::shared_ptr<const OtlpResource> OtlpSpanBuilder::Resource(ThreadState& t) { return Resource(Process(t), t.pid); }

std::shared_ptr<const OtlpResource> OtlpSpanBuilder::Resource(ProcessState& p, uint32_t pid) {
    if (p.resource) {
        return p.resource;
    }
    auto r = std::make_shared<OtlpResource>();
    r->pid = pid;
    std::string service = options.serviceName.empty() ? p.serviceName : options.serviceName;
    if (service.empty()) {
        service = "unknown_service:dotnet";
    }
    const std::string host = HostName();
    r->attributes.push_back(OtlpAttribute::String(SemConv::ServiceName, service));
    r->attributes.push_back(
        OtlpAttribute::String(SemConv::ServiceInstanceId, (host.empty() ? "" : host + ":") + std::to_string(pid)));
    r->attributes.push_back(OtlpAttribute::Int(SemConv::ProcessPid, pid));
    if (!host.empty()) {
        r->attributes.push_back(OtlpAttribute::String(SemConv::HostName, host));
    }
    if (!p.runtime.empty()) {
        r->attributes.push_back(OtlpAttribute::String(SemConv::ProcessRuntimeDescription, p.runtime));
    }
    if (!p.host.empty()) {
        r->attributes.push_back(OtlpAttribute::String(SemConv::HostType, p.host));
    }
    if (!p.version.empty()) {
        r->attributes.push_back(OtlpAttribute::String(SemConv::AgentVersion, p.version));
    }
    r->attributes.push_back(OtlpAttribute::String(SemConv::TelemetrySdkName, "quorix"));
    r->attributes.push_back(OtlpAttribute::String(SemConv::TelemetrySdkLanguage, "dotnet"));
    p.resource = std::move(r);
    return p.resource;
}

}  // namespace QuorixCollect
