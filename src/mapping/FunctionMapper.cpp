#include "mapping/FunctionMapper.h"

FunctionMapper* g_Mapper = nullptr;

void FunctionMapper::Initialize(HostType) {}

void FunctionMapper::UpdateBlacklistsWhitelistsOnStartup() {}

void FunctionMapper::UpdateLiveBlacklists() {}

std::pair<uint64_t, uint8_t> FunctionMapper::Map(uint64_t functionId) {
    // Declined: the runtime's own id is a non-zero, stable answer for every repeated request.
    return {functionId, 0};
}

FunctionInfo* FunctionMapper::GetFunctionInfoForTrackedFunction(uint64_t) { return nullptr; }

FunctionInfo* FunctionMapper::GetFunctionInfoByOriginalId(uint64_t) { return nullptr; }

bool FunctionMapper::IsBlacklisted(const FunctionInfo*) { return false; }

bool FunctionMapper::IsMonitored(uint64_t) { return false; }
