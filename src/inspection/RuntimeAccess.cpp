#include "inspection/RuntimeAccess.h"

#include "environment/SystemContext.h"
#include "mapping/LookupHelper.h"
#include "platform/InterfaceIds.h"
#include "platform/MetaData.h"

namespace RuntimeAccess {

ICorProfilerInfo* Info() {
    const SystemContext* context = g_Context;
    if (context == nullptr) return nullptr;
    if (ICorProfilerInfo* info = context->GetProfilerInfo()) return info;
    return context->GetProfiler2Info();
}

ICorProfilerInfo2* Info2() {
    const SystemContext* context = g_Context;
    return context == nullptr ? nullptr : context->GetProfiler2Info();
}

bool Narrow(char16_t* text, std::string& out) {
    text[NameBufferLength - 1] = u'\0';
    return NarrowName(text, out);
}

bool OpenModuleMetaData(ModuleID moduleId, MetaDataImportRef& import) {
    // Kept from the module's load where the probe engine scanned it: inside a probe the runtime
    // refuses to hand it out.
    if (LookupHelper* lookup = g_Lookup) {
        *import.Out() = lookup->ModuleImport(moduleId);
        return import.Get() != nullptr;
    }
    ICorProfilerInfo* info = Info();
    if (info == nullptr) return false;
    // A resource-only module succeeds without an interface.
    return SUCCEEDED(info->GetModuleMetaData(moduleId, ofRead, &IID_IMetaDataImport, import.Out())) &&
           import.Get() != nullptr;
}

}  // namespace RuntimeAccess
