#include "commands/DeliveryStatisticsCommand.h"

#include <memory>

#include "commands/PayloadWriter.h"

DeliveryStatisticsCommand::DeliveryStatisticsCommand(uint64_t pid, const Counts& values, bool last)
    : CommandBase(pid, 0, Calls::DeliveryStatistics), counts(values), final(last) {}

uint8_t* DeliveryStatisticsCommand::GetPayload() {
    std::unique_ptr<uint8_t[]> payload(GetDefaultPayload());
    PayloadWriter writer(payload.get(), Length, CommandHeaderLength);
    writer.WriteU8(final ? 1 : 0);
    writer.WriteU64(counts.sent);
    writer.WriteU64(counts.queueFull);
    writer.WriteU64(counts.sendFailed);
    writer.WriteU64(counts.pipeFull);
    return payload.release();
}
