#include "inspection/ValueLimits.h"

#include <atomic>

#include "environment/Logger.h"

using namespace Variables;

namespace ValueLimits {

size_t ScalarWidth(VariableType type) {
    switch (type) {
        case Boolean:
        case Byte:
            return 1;
        case Int16:
        case UInt16:
            return 2;
        case Int32:
        case UInt32:
        case Single:
            return 4;
        case Int64:
        case UInt64:
        case Double:
            return 8;
        default:
            return 0;
    }
}

void ReportCut(Cut kind, const std::string& name) {
    static std::atomic<bool> reported[static_cast<int>(Cut::Count)] = {};
    if (reported[static_cast<int>(kind)].exchange(true, std::memory_order_relaxed)) return;
    const char* what = kind == Cut::Entries    ? "has more than 255 entries; the rest are not sent"
                       : kind == Cut::Size     ? "does not fit in its record; trailing entries are not sent"
                       : kind == Cut::Elements ? "has more elements than are read (32); the rest are not sent"
                                               : "is nested too deeply; its inner values are not sent";
    QX_LOG(LogLevel::Warning, "VariableInfo", "Value %s %s (reported once)", name.c_str(), what);
}

}  // namespace ValueLimits
