#include "commands/HttpOutgoingRequestInformationCommand.h"

HttpOutgoingRequestInformationCommand::HttpOutgoingRequestInformationCommand(uint64_t pid, uint64_t tid,
                                                                             const std::string& first,
                                                                             const std::string& second,
                                                                             uint16_t shortNumber, uint64_t longNumber)
    : HttpRequestInformationCommand(pid, tid, first, second, shortNumber, longNumber) {}
