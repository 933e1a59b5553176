#pragma once

#include <cstdint>
#include <utility>

#include "environment/Configuration.h"
#include "platform/Export.h"

class FunctionInfo;

// Decides per function whether it is traced. For now it declines every function: the
// runtime then inserts no hooks at all, and every record lookup finds nothing.
class FunctionMapper {
public:
    FunctionMapper() = default;

    void Initialize(HostType hostType);
    void UpdateBlacklistsWhitelistsOnStartup();
    void UpdateLiveBlacklists();

    // (client id handed back to the hooks, whether to hook the function)
    std::pair<uint64_t, uint8_t> Map(uint64_t functionId);

    FunctionInfo* GetFunctionInfoForTrackedFunction(uint64_t mappedId);
    FunctionInfo* GetFunctionInfoByOriginalId(uint64_t functionId);
    bool IsBlacklisted(const FunctionInfo* info);
    bool IsMonitored(uint64_t mappedId);
};

extern QX_EXPORT FunctionMapper* g_Mapper;
