#include "commands/EndCallCommand.h"

#include <atomic>

#include "commands/PayloadWriter.h"
#include "environment/Logger.h"

EndCallCommand::EndCallCommand(uint64_t pid, uint64_t tid, uint64_t function, bool tailCall)
    : CommandBase(pid, tid, Calls::EndCall), functionId(function), isTailCall(tailCall) {}

void EndCallCommand::SetReturnValue(VariableInfo* value) {
    if (value == returnValue.get()) return;
    returnValue.reset(value);
    encoded = false;
}

void EndCallCommand::LendEncodingBuffer(std::vector<uint8_t> buffer) {
    encodedValue = std::move(buffer);
    encoded = false;
}

VariableInfo* EndCallCommand::ReturnStorage(std::vector<uint8_t>& buffer) {
    buffer = std::move(encodedValue);
    encodedValue.clear();
    encoded = false;
    return returnValue.release();
}

void EndCallCommand::EncodeReturnValue() {
    if (encoded) return;
    encodedValue.clear();
    bool fits = true;
    if (returnValue) fits = returnValue->AppendRecord(encodedValue, MaxCommandLength - FixedLength);
    // No value is an empty record: its length field alone.
    if (encodedValue.empty()) encodedValue.assign(2, 0);
    encoded = true;
    static std::atomic<bool> reported{false};
    if (!fits && !reported.exchange(true, std::memory_order_relaxed))
        QX_LOG(LogLevel::Warning, "EndCallCommand",
               "Return value of function %lu does not fit the command; sent without it "
               "(reported once)",
               static_cast<unsigned long>(functionId));
}

int16_t EndCallCommand::GetPayloadLength() {
    EncodeReturnValue();
    return static_cast<int16_t>(FixedLength + encodedValue.size());
}

uint8_t* EndCallCommand::GetPayload() { return PayloadFromWrite(); }

void EndCallCommand::WritePayload(uint8_t* target) {
    const int16_t length = GetPayloadLength();
    WriteHeaderAt(target, length, callType, processId, threadId, timestamp);
    PayloadWriter writer(target, FixedLength + encodedValue.size(), CommandHeaderLength);
    writer.WriteU32(static_cast<uint32_t>(functionId));
    writer.WriteU8(isTailCall ? 1 : 0);
    writer.WriteBytes(encodedValue.data(), encodedValue.size());
}
