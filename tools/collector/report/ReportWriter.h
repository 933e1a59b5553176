#pragma once

#include <string>

#include "session/CollectorSession.h"
#include "viewers/ViewerFiles.h"
#include "viewers/ViewerRecorder.h"

namespace QuorixCollect {

// One self-contained HTML page: the run's summary, a flame graph, a per-thread timeline of the
// longest calls, the captured database, HTTP and Redis calls, and the exceptions. The drawing
// libraries and the page's own script are inlined; a content security policy forbids every
// network request.
class ReportWriter {
public:
    // Bounds of the page, whatever the run: a browser stays quick with these.
    static constexpr size_t MaxFlameNodes = 20000;
    static constexpr size_t MaxTimelineCalls = 10000;
    // The drops box's line for what the page itself does not draw.
    static constexpr const char* LossLineName = "report left out";

    static std::string Write(const ViewerRecorder& recorder, const CollectorSession& session,
                             const RunSummary& summary);
    // The data part alone (JSON), for tests.
    static std::string Data(const ViewerRecorder& recorder, const CollectorSession& session, const RunSummary& summary);
    // The live view's page: the same page, with no data but what the collector's server gives it
    // while the app runs (requests, and the comparison with an earlier run).
    static std::string LivePage(const std::string& transport, const std::string& comparisonJson);
    static std::string LiveData(const std::string& transport, const std::string& comparisonJson);
    // Empty when the browser libraries were built in; else what is missing.
    static std::string MissingAssets();

private:
    static std::string Page(const std::string& data, bool live);
};

}  // namespace QuorixCollect
