#pragma once

#include <string>

#include "mapping/MetaDataHandles.h"
#include "platform/ProfilerInfo.h"

// The runtime's info interfaces and a module's metadata, as the inspector's units reach them:
// from g_Context, and from the probe engine's kept metadata where the runtime refuses it.
namespace RuntimeAccess {

inline constexpr ULONG NameBufferLength = 1024;

// The first interface the context holds, or null.
ICorProfilerInfo* Info();
ICorProfilerInfo2* Info2();

// `text` is a buffer of NameBufferLength units: the runtime may fill one to its last unit
// without a terminator, so that unit is overwritten first.
bool Narrow(char16_t* text, std::string& out);

bool OpenModuleMetaData(ModuleID moduleId, MetaDataImportRef& import);

}  // namespace RuntimeAccess
