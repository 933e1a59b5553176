#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Export.h"
#include "platform/MetaData.h"
#include "platform/ProfilerInfo.h"

class ThreadExecutionTracker;
class ModuleInfo;
class ClassInfo;

// Metadata queries the function mapper needs (names, the DoNotProfile marker, implemented
// interfaces, custom attributes), plus the registries of modules and per-thread trackers.
// The queries are virtual so that tests can stand in for the runtime's metadata.
class LookupHelper {
public:
    // Every name buffer handed to the queries holds this many 16-bit units, zeroed by the caller.
    static constexpr size_t NameBufferLength = 1024;

    // The info interface defaults to the one the system context holds once the runtime gave it.
    explicit LookupHelper(ICorProfilerInfo* info = nullptr);
    virtual ~LookupHelper();

    LookupHelper(const LookupHelper&) = delete;
    LookupHelper& operator=(const LookupHelper&) = delete;

    virtual HRESULT GetMethodNameByFunctionId(FunctionID functionId, char16_t* enclosingName, char16_t* className,
                                              char16_t* methodName, bool* doNotProfile, ModuleID* moduleId,
                                              mdToken* methodToken);
    virtual HRESULT GetImplementedInterfacesFunctionId(FunctionID functionId, const std::string& interfaceName,
                                                       bool* found);
    virtual HRESULT GetCustomAttributeByFunctionId(FunctionID functionId, const char16_t* attributeName, bool* found);
    // The same three queries for a method definition of a loaded module, before any code of it
    // runs (the probe engine decides then); the module's metadata is opened once and kept.
    virtual HRESULT GetMethodNameByToken(ModuleID moduleId, mdToken methodToken, char16_t* enclosingName,
                                         char16_t* className, char16_t* methodName, bool* doNotProfile);
    virtual HRESULT GetImplementedInterfacesByToken(ModuleID moduleId, mdToken methodToken,
                                                    const std::string& interfaceName, bool* found);
    virtual HRESULT GetCustomAttributeByToken(ModuleID moduleId, mdToken methodToken, const char16_t* attributeName,
                                              bool* found);
    // Keeps the module's metadata for the queries by token; a module that never unloads only.
    void RememberModuleImport(ModuleID moduleId, IMetaDataImport* import);
    // The kept metadata of a module, else the runtime's answer (which it refuses outside its
    // callbacks); one reference added, or null.
    IMetaDataImport* ModuleImport(ModuleID moduleId);

    void RegisterModule(ModuleInfo* module);
    ModuleInfo* GetModuleInfoById(ModuleID moduleId);
    ClassInfo* GetClassInfoByTypeDef(ModuleID moduleId, mdTypeDef typeDef);
    ClassInfo* GetClassInfoByTypeRef(ModuleID moduleId, mdTypeRef typeRef);
    bool HasNetCoreLib() const { return hasNetCoreLib; }
    void SetHasNetCoreLib() { hasNetCoreLib = true; }

    // The tracker of one thread, made on first request and kept. Null only when memory ran out.
    ThreadExecutionTracker* GetThreadExecutionTracker(uint64_t threadId);
    size_t TrackerCount();
    std::vector<ModuleID> GetModuleIds();

protected:
    ICorProfilerInfo* Info() const;

private:
    ICorProfilerInfo* info;
    std::mutex registriesLock;
    std::map<ModuleID, ModuleInfo*> modules;
    std::map<uint64_t, std::unique_ptr<ThreadExecutionTracker>> trackers;
    bool hasNetCoreLib = false;
    std::vector<ModuleID> moduleIds;
    std::map<ModuleID, IMetaDataImport*> moduleImports;  // one reference each, kept for good
};

extern QX_EXPORT LookupHelper* g_Lookup;
