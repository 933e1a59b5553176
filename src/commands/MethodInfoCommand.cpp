#include "commands/MethodInfoCommand.h"

#include <algorithm>
#include <atomic>
#include <memory>

#include "commands/PayloadWriter.h"
#include "environment/Logger.h"

MethodInfoCommand::MethodInfoCommand(uint64_t pid, uint64_t tid, uint64_t function, const std::string& classText,
                                     const std::string& methodText)
    : CommandBase(pid, tid, Calls::MethodInfo), functionId(function) {
    constexpr size_t budget = MaxCommandLength - FixedLength;
    if (classText.size() + methodText.size() <= budget) {
        className = classText;
        methodName = methodText;
        return;
    }
    // Each name keeps at least half of the room, more when the other one needs less.
    methodName = FitUtf8(methodText, std::max(budget / 2, budget - std::min(classText.size(), budget)));
    className = FitUtf8(classText, budget - methodName.size());
    static std::atomic<bool> reported{false};
    if (!reported.exchange(true, std::memory_order_relaxed))
        QX_LOG(LogLevel::Warning, "MethodInfoCommand", "Names of function %lu cut to fit the command (reported once)",
               static_cast<unsigned long>(functionId));
}

int16_t MethodInfoCommand::GetPayloadLength() {
    return static_cast<int16_t>(FixedLength + className.size() + methodName.size());
}

uint8_t* MethodInfoCommand::GetPayload() { return PayloadFromWrite(); }

void MethodInfoCommand::WritePayload(uint8_t* target) {
    WriteAt(target, processId, threadId, timestamp, functionId, className, methodName);
}

void MethodInfoCommand::WriteAt(uint8_t* target, uint64_t pid, uint64_t tid, int64_t timestamp, uint64_t function,
                                const std::string& classText, const std::string& methodText) {
    const size_t length = FixedLength + classText.size() + methodText.size();
    WriteHeaderAt(target, static_cast<int16_t>(length), Calls::MethodInfo, pid, tid, timestamp);
    PayloadWriter writer(target, length, CommandHeaderLength);
    writer.WriteU32(static_cast<uint32_t>(function));
    writer.WriteU16(static_cast<uint16_t>(classText.size()));
    writer.WriteText(classText);
    writer.WriteU16(static_cast<uint16_t>(methodText.size()));
    writer.WriteText(methodText);
}
