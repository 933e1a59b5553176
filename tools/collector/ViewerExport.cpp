#include "ViewerExport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "ChromeTraceWriter.h"
#include "FoldedWriter.h"
#include "ReportWriter.h"
#include "SpeedscopeWriter.h"

namespace QuorixCollect {

std::vector<uint32_t> AllCalls(const ViewerRecorder& recorder) {
    std::vector<uint32_t> all(recorder.Calls().size());
    for (uint32_t i = 0; i < all.size(); ++i) {
        all[i] = i;
    }
    return all;
}

std::vector<PlacedCall> PlaceCalls(const ViewerRecorder& recorder, const std::vector<uint32_t>& indexes) {
    const auto& calls = recorder.Calls();
    const auto& threads = recorder.Threads();
    std::vector<PlacedCall> placed;
    placed.reserve(indexes.size());
    std::vector<size_t> open;  // indexes into `placed`
    uint32_t thread = UINT32_MAX;
    double last = 0;
    for (uint32_t index : indexes) {
        const ViewerRecorder::Call& c = calls[index];
        if (c.thread != thread) {
            open.clear();
            thread = c.thread;
            last = -INFINITY;
        }
        const uint32_t run = threads[c.thread].run;
        // Whatever ended before this call began is closed first, in order.
        while (!open.empty() && placed[open.back()].call->lastSeq < c.seq) {
            PlacedCall& done = placed[open.back()];
            done.end = std::max(done.end, last);
            last = done.end;
            open.pop_back();
        }
        PlacedCall p{&c, std::max(recorder.Micros(run, c.begin), last), recorder.Micros(run, c.end)};
        if (!open.empty()) {
            // Never beyond the caller's end, whatever the clocks said.
            p.begin = std::min(p.begin, placed[open.back()].end);
            p.end = std::min(p.end, placed[open.back()].end);
        }
        last = p.begin;
        p.end = std::max(p.end, p.begin);
        placed.push_back(p);
        open.push_back(placed.size() - 1);
    }
    return placed;
}

std::string RunLabel(const ViewerRecorder& recorder, uint32_t run) {
    const auto& r = recorder.Runs()[run];
    std::string label = "pid " + std::to_string(r.pid);
    if (r.ordinal != 0) {
        label += " (run " + std::to_string(r.ordinal + 1) + ")";
    }
    return label;
}

uint32_t RunNumber(const ViewerRecorder& recorder, uint32_t run) {
    const auto& r = recorder.Runs()[run];
    // Linux pids stay below 2^22; later runs of a pid get numbers no process can have.
    return r.ordinal == 0 ? r.pid : 0x40000000u + run;
}

std::string ThreadLabel(const ViewerRecorder& recorder, uint32_t thread) {
    const auto& t = recorder.Threads()[thread];
    return "thread " + std::to_string(t.tid) + " (" + RunLabel(recorder, t.run) + ")";
}

void ForEachArg(std::string_view args, const std::function<void(std::string_view, std::string_view)>& fn) {
    while (!args.empty()) {
        const size_t end = args.find(ViewerRecorder::ArgSeparator);
        const std::string_view part = args.substr(0, end);
        const size_t eq = part.find('=');
        if (eq == std::string_view::npos) {
            fn("value", part);
        } else {
            fn(part.substr(0, eq), part.substr(eq + 1));
        }
        if (end == std::string_view::npos) {
            break;
        }
        args.remove_prefix(end + 1);
    }
}

std::string ArgsDisplay(std::string_view args) {
    std::string out;
    for (char ch : args) {
        if (ch == ViewerRecorder::ArgSeparator) {
            out += ", ";
        } else {
            out += ch;
        }
    }
    return out;
}

void AppendMicros(std::string& out, double micros) {
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
    out.append(buf, static_cast<size_t>(n));
}

int OpenOutputFile(const std::string& path, std::string& reason) {
    // Not truncated yet: a file refused below keeps its content. Non-blocking, so that a FIFO
    // without a reader fails here instead of hanging.
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        reason = errno == ELOOP ? "it is a symbolic link; refusing to write through it" : strerror(errno);
        return -1;
    }
    struct stat st {};
    const int flags = fcntl(fd, F_GETFL);
    if (fstat(fd, &st) != 0 || flags < 0) {
        reason = strerror(errno);
    } else if (S_ISREG(st.st_mode) && st.st_uid != geteuid()) {
        reason = "it belongs to another user; refusing to write into it";
    } else if (S_ISREG(st.st_mode) && (st.st_mode & 077) != 0 && fchmod(fd, 0600) != 0) {
        reason = strerror(errno);
    } else if (S_ISREG(st.st_mode) && ftruncate(fd, 0) != 0) {
        reason = strerror(errno);
    } else if (fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        reason = strerror(errno);
    } else {
        return fd;
    }
    close(fd);
    return -1;
}

bool WriteTextFile(const std::string& path, const std::string& text, std::string& error) {
    std::string reason;
    const int fd = OpenOutputFile(path, reason);
    if (fd < 0) {
        error = "cannot open '" + path + "': " + reason;
        return false;
    }
    const char* data = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t n = write(fd, data, left);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error = "writing '" + path + "' failed: " + strerror(n < 0 ? errno : EIO);
            close(fd);
            return false;
        }
        data += n;
        left -= static_cast<size_t>(n);
    }
    if (close(fd) != 0) {
        error = "writing '" + path + "' failed: " + strerror(errno);
        return false;
    }
    return true;
}

namespace {

ViewerRecorder::Limits LimitsFor(const ViewerOutputs& outputs) {
    ViewerRecorder::Limits limits;
    limits.keptCalls = outputs.keptCalls;
    return limits.ScaledTo(outputs.maxBytes);
}

std::string Size(size_t bytes) {
    char buf[32];
    snprintf(buf, sizeof buf, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return buf;
}

}  // namespace

size_t ViewerOutputs::BoundBytes() const { return std::min(LimitsFor(*this).WorstCaseBytes(), maxBytes); }

std::vector<std::string> DropLines(const std::string& summaryText) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < summaryText.size()) {
        size_t end = summaryText.find('\n', at);
        if (end == std::string::npos) {
            end = summaryText.size();
        }
        std::string line = summaryText.substr(at, end - at);
        at = end + 1;
        const size_t first = line.find_first_not_of(' ');
        if (first == std::string::npos) {
            continue;
        }
        line.erase(0, first);
        const bool about = line.find("drop") != std::string::npos || line.find("lost") != std::string::npos ||
                           line.find("left out") != std::string::npos || line.rfind("malformed", 0) == 0 ||
                           line.rfind("bad value records", 0) == 0;
        // "kernel drops: 0", "malformed messages: 0": nothing happened.
        const size_t colon = line.find(": ");
        const bool zero = colon != std::string::npos && line.compare(colon, std::string::npos, ": 0") == 0;
        if (about && !zero) {
            lines.push_back(line);
        }
    }
    return lines;
}

ViewerExport::ViewerExport(const ViewerOutputs& chosen) : outputs(chosen), recorder(LimitsFor(chosen)) {}

bool ViewerExport::WriteAll(const CollectorSession& session, const RunSummary& summary,
                            std::vector<std::string>& errors) {
    const auto started = std::chrono::steady_clock::now();
    recorder.Finish();
    bool ok = true;
    auto write = [&](const std::string& path, const char* what, const std::function<std::string()>& make) {
        if (path.empty()) {
            return;
        }
        std::string error;
        const std::string text = make();
        if (!WriteTextFile(path, text, error)) {
            errors.push_back(std::string(what) + ": " + error);
            ok = false;
            return;
        }
        lines.push_back(std::string(what) + ": " + path + " (" + Size(text.size()) + ")");
    };
    write(outputs.speedscope, "speedscope", [&] { return SpeedscopeWriter::Write(recorder); });
    write(outputs.chromeTrace, "chrome trace", [&] { return ChromeTraceWriter::Write(recorder); });
    write(outputs.folded, "folded stacks", [&] { return FoldedWriter::Write(recorder); });
    write(outputs.report, "report", [&] { return ReportWriter::Write(recorder, session, summary); });

    const auto& stats = recorder.GetStats();
    std::string line = "viewer data: " + std::to_string(stats.calls) + " calls, " +
                       std::to_string(recorder.Calls().size()) + " kept with their times";
    if (stats.callsNotKept != 0) {
        char buf[96];
        snprintf(buf, sizeof buf, " (%llu shorter ones left out, the longest of them %.0f us)",
                 static_cast<unsigned long long>(stats.callsNotKept), stats.longestLeftOutMicros);
        line += buf;
    }
    char took[48];
    snprintf(took, sizeof took, ", files written in %.2f s",
             std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    line += ", " + std::to_string(recorder.Flame().size() - 1) + " flame graph stacks, held " +
            Size(recorder.BytesHeld()) + took;
    lines.insert(lines.begin(), line);
    std::string bounds;
    auto add = [&bounds](uint64_t n, const char* what) {
        if (n != 0) {
            bounds += (bounds.empty() ? "" : ", ") + std::to_string(n) + " " + what;
        }
    };
    add(stats.flameMerged, "calls counted in their caller (stack limit)");
    add(stats.framesNotKept, "calls without a kept name");
    add(stats.capturedNotKept, "captured calls beyond the table's rows");
    add(stats.exceptionsNotKept, "exceptions beyond the list");
    add(stats.tooDeep, "calls beyond the depth limit");
    add(stats.threadsNotKept, "commands of threads beyond the limit");
    if (!bounds.empty()) {
        lines.insert(lines.begin() + 1, "viewer data left out: " + bounds);
    }
    return ok;
}

}  // namespace QuorixCollect
