#pragma once

#include "commands/HttpRequestInformationCommand.h"

// Information on an outgoing HTTP request.
class HttpOutgoingRequestInformationCommand : public HttpRequestInformationCommand {
public:
    HttpOutgoingRequestInformationCommand(uint64_t pid, uint64_t tid, const std::string& first,
                                          const std::string& second, uint16_t shortNumber, uint64_t longNumber);
};
