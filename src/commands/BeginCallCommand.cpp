#include "commands/BeginCallCommand.h"

#include <atomic>
#include <memory>
#include <stdexcept>

#include "commands/PayloadWriter.h"
#include "environment/Logger.h"

BeginCallCommand::BeginCallCommand(uint64_t pid, uint64_t tid, uint64_t function)
    : CommandBase(pid, tid, Calls::BeginCall), functionId(function) {}

void BeginCallCommand::SetArguments(std::vector<VariableInfo> values) {
    arguments = std::move(values);
    encoded = false;
}

void BeginCallCommand::LendEncodingBuffer(std::vector<uint8_t> buffer) {
    encodedArguments = std::move(buffer);
    encoded = false;
}

void BeginCallCommand::ReturnStorage(std::vector<VariableInfo>& values, std::vector<uint8_t>& buffer) {
    values = std::move(arguments);
    buffer = std::move(encodedArguments);
    arguments.clear();
    encodedArguments.clear();
    encoded = false;
}

void BeginCallCommand::EncodeArguments() {
    if (encoded) return;
    encodedArguments.clear();
    encodedCount = 0;
    if (!arguments.empty()) encodedArguments.reserve(256);
    const size_t budget = MaxCommandLength - FixedLength;
    bool cut = false;
    for (const VariableInfo& argument : arguments) {
        // The count is one byte and the command's length field 16 bits: what does not fit is
        // dropped from the end rather than sent with a wrapped count or length.
        if (encodedCount == VariableInfo::MaxEntries ||
            !argument.AppendRecord(encodedArguments, budget - encodedArguments.size())) {
            cut = true;
            break;
        }
        ++encodedCount;
    }
    encoded = true;
    static std::atomic<bool> reported{false};
    if (cut && !reported.exchange(true, std::memory_order_relaxed))
        QX_LOG(LogLevel::Warning, "BeginCallCommand",
               "Captured arguments of function %lu exceed the command; %u of %zu sent "
               "(reported once)",
               static_cast<unsigned long>(functionId), static_cast<unsigned>(encodedCount), arguments.size());
}

int16_t BeginCallCommand::GetPayloadLength() {
    EncodeArguments();
    return static_cast<int16_t>(FixedLength + encodedArguments.size());
}

uint8_t* BeginCallCommand::GetPayload() { return PayloadFromWrite(); }

void BeginCallCommand::WritePayload(uint8_t* target) {
    const int16_t length = GetPayloadLength();
    WriteHeaderAt(target, length, callType, processId, threadId, timestamp);
    PayloadWriter writer(target, FixedLength + encodedArguments.size(), CommandHeaderLength);
    writer.WriteU32(static_cast<uint32_t>(functionId));
    writer.WriteU64(instanceId);
    writer.WriteU8(encodedCount);
    writer.WriteBytes(encodedArguments.data(), encodedArguments.size());
}
