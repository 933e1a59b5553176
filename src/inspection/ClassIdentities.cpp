#include "inspection/PropertyInspector.h"

#include "inspection/ManagedMemory.h"
#include "inspection/RuntimeAccess.h"

using RuntimeAccess::Info;
using RuntimeAccess::NameBufferLength;
using RuntimeAccess::Narrow;
using RuntimeAccess::OpenModuleMetaData;

ModuleClassIDPair PropertyInspector::CreateModuleClassIDPair(ModuleID moduleId, ClassID classId,
                                                             ModuleID requestingModuleId) {
    return ModuleClassIDPair(moduleId, classId, requestingModuleId);
}

std::optional<ModuleClassIDPair> PropertyInspector::GetModuleClassIDPair(const PropertySpec* spec,
                                                                         ModuleID requestingModuleId) const {
    return classCache.Find(spec, requestingModuleId);
}

std::optional<ModuleClassIDPair> PropertyInspector::SetModuleAndClassForSpec(const PropertySpec* spec,
                                                                             mdToken classToken, ModuleID moduleId,
                                                                             ClassID classId) {
    if (spec == nullptr || classId == 0) return std::nullopt;
    if (auto cached = classCache.Find(spec, moduleId)) return cached;
    // A type reference names a class of another module, whose metadata describes its fields.
    ModuleID definingModule = moduleId;
    if (TypeFromToken(classToken) == mdtTypeRef) {
        ModuleID owner = 0;
        mdTypeDef typeDef = 0;
        ICorProfilerInfo* info = Info();
        if (info != nullptr && SUCCEEDED(info->GetClassIDInfo(classId, &owner, &typeDef)) && owner != 0)
            definingModule = owner;
    }
    return classCache.Publish(spec, CreateModuleClassIDPair(definingModule, classId, moduleId));
}

std::optional<ModuleClassIDPair> PropertyInspector::ResolveValueTypeClass(const PropertySpec* spec, mdToken token,
                                                                          ModuleID moduleId) {
    if (auto cached = classCache.Find(spec, moduleId)) return cached;
    const mdToken table = TypeFromToken(token);
    if ((table != mdtTypeDef && table != mdtTypeRef) || (token & 0x00FFFFFFu) == 0) return std::nullopt;
    ICorProfilerInfo* info = Info();
    ClassID classId = 0;
    // Inside a hook the runtime refuses this query (it could load a type), so the classes are
    // found when the function is mapped (PrepareValueTypeClasses) and taken from the cache here.
    if (info == nullptr || FAILED(info->GetClassFromToken(moduleId, token, &classId)) || classId == 0)
        return std::nullopt;
    return SetModuleAndClassForSpec(spec, token, moduleId, classId);
}

bool PropertyInspector::IsStringObject(uintptr_t reference) {
    ICorProfilerInfo* info = Info();
    const ClassID classId = ManagedMemory::ClassOf(reference);
    if (info == nullptr || classId == 0) return false;
    const ClassID known = stringClass.load(std::memory_order_relaxed);
    if (known != 0) return classId == known;
    ModuleID moduleId = 0;
    mdTypeDef typeDef = 0;
    MetaDataImportRef import;
    if (FAILED(info->GetClassIDInfo(classId, &moduleId, &typeDef)) || !OpenModuleMetaData(moduleId, import))
        return false;
    char16_t name[NameBufferLength] = {};
    ULONG nameLength = 0;
    DWORD flags = 0;
    mdToken extends = 0;
    std::string narrow;
    if (FAILED(import.Get()->GetTypeDefProps(typeDef, name, NameBufferLength, &nameLength, &flags, &extends)) ||
        !Narrow(name, narrow) || narrow != "System.String")
        return false;
    stringClass.store(classId, std::memory_order_relaxed);
    return true;
}
