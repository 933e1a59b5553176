#pragma once

#include <string>

#include "jsonlines/JsonFile.h"
#include "requests/Request.h"
#include "requests/RequestTracker.h"

namespace QuorixCollect {

// One request as one JSON object (the --requests format; the report and the live page read the
// same). Times are milliseconds from the request's start, except "start" (ISO 8601, UTC) and
// "startNs" (nanoseconds since the epoch).
void AppendRequestJson(std::string& out, const Request& request);

// Writes one line per request as it ends.
class RequestFile final : public RequestSink {
public:
    bool Open(const std::string& path, std::string& error) { return file.Open(path, error); }
    void RequestEnded(const Request& request) override;
    void Drain() { file.Drain(); }
    void Close() { file.Close(); }
    bool Failed() const { return file.Failed(); }
    uint64_t Written() const { return written; }

private:
    JsonFile file;
    uint64_t written = 0;
};

}  // namespace QuorixCollect
