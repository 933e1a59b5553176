// A minimal profiler for the end-to-end test of the probe rewriter: for every method of the
// IlRewrite app's module (except the app's Probe class) it inserts calls of Probe.Enter at entry
// and Probe.Exit before each return with ManagedProbeRewriter, and writes one line per decision
// to the file named by QX_IL_TEST_LOG.

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <set>
#include <string>

#include "support/TestProfilerFactory.h"
#include "il/ILRewriter.h"
#include "il/ManagedProbeBuilder.h"
#include "il/ManagedProbeHandler.h"
#include "platform/Export.h"
#include "platform/InterfaceIds.h"
#include "platform/MetaData.h"
#include "platform/ProfilerCallback.h"
#include "platform/ProfilerInfo.h"

namespace {

// {5E0C1A77-3B2D-4F6A-9C11-7D2E8B4A0F93}
const GUID CLSID_IlTestProfiler = {0x5E0C1A77, 0x3B2D, 0x4F6A, {0x9C, 0x11, 0x7D, 0x2E, 0x8B, 0x4A, 0x0F, 0x93}};

constexpr int32_t ProbeNumber = 1;
constexpr ULONG NameLength = 512;

class Journal {
public:
    Journal() {
        const char* path = std::getenv("QX_IL_TEST_LOG");
        if (path != nullptr) file = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
    }

    void Line(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        if (file < 0) return;
        char text[1024];
        va_list args;
        va_start(args, format);
        const int length = std::vsnprintf(text, sizeof(text) - 1, format, args);
        va_end(args);
        if (length < 0) return;
        size_t size = static_cast<size_t>(length) < sizeof(text) - 1 ? static_cast<size_t>(length) : sizeof(text) - 2;
        text[size++] = '\n';
        std::lock_guard<std::mutex> lock(mutex);
        ssize_t written = write(file, text, size);
        (void)written;
    }

private:
    int file = -1;
    std::mutex mutex;
};

Journal& Log() {
    static Journal* journal = new Journal();  // used by runtime threads until the very end
    return *journal;
}

std::string Narrow(const char16_t* text) {
    std::string result;
    for (; *text != 0; ++text) result += *text < 0x80 ? static_cast<char>(*text) : '?';
    return result;
}

class ScopedImport {
public:
    ScopedImport(ICorProfilerInfo* info, ModuleID module) {
        IUnknown* unknown = nullptr;
        if (SUCCEEDED(info->GetModuleMetaData(module, ofRead, &IID_IMetaDataImport, &unknown)))
            import = static_cast<IMetaDataImport*>(unknown);
    }
    ~ScopedImport() {
        if (import != nullptr) import->Release();
    }
    ScopedImport(const ScopedImport&) = delete;
    ScopedImport& operator=(const ScopedImport&) = delete;

    IMetaDataImport* import = nullptr;
};

// Shape of a body as the rewriter reads it.
struct Shape {
    unsigned returns = 0;
    unsigned switches = 0;
    unsigned shortBranches = 0;
    unsigned clauses = 0;
    unsigned filters = 0;
};

Shape ShapeOf(ILRewriter& body) {
    Shape shape;
    for (ILInstruction* node = body.GetILList()->next; node != body.GetILList(); node = node->next) {
        if (node->opcode == CEE_RET) ++shape.returns;
        if (node->opcode == CEE_SWITCH) ++shape.switches;
        if (ILFlagsOf(node->opcode) == (ILFlagBranch | 1)) ++shape.shortBranches;
    }
    shape.clauses = body.GetEHCount();
    for (unsigned i = 0; i < shape.clauses; ++i)
        if (body.GetEHClauses()[i].flags & COR_ILEXCEPTION_CLAUSE_FILTER) ++shape.filters;
    return shape;
}

class IlTestProfiler final : public TestProfilerCallbacks {
public:
    HRESULT Initialize(IUnknown* unknown) override {
        void* out = nullptr;
        if (unknown == nullptr || FAILED(unknown->QueryInterface(&IID_ICorProfilerInfo4, &out)) || out == nullptr) {
            Log().Line("init no-info");
            return E_FAIL;
        }
        info = static_cast<ICorProfilerInfo4*>(out);
        const HRESULT hr = info->SetEventMask(COR_PRF_MONITOR_JIT_COMPILATION | COR_PRF_MONITOR_MODULE_LOADS |
                                              COR_PRF_DISABLE_ALL_NGEN_IMAGES);
        Log().Line("init hr=0x%08x", static_cast<unsigned>(hr));
        return hr;
    }

    HRESULT ModuleLoadFinished(ModuleID moduleId, HRESULT status) override {
        try {
            if (FAILED(status) || info == nullptr) return S_OK;
            char16_t name[NameLength] = {};
            ULONG length = 0;
            LPCBYTE base = nullptr;
            AssemblyID assembly = 0;
            if (FAILED(info->GetModuleInfo(moduleId, &base, NameLength, &length, name, &assembly))) return S_OK;
            name[NameLength - 1] = 0;
            const std::string path = Narrow(name);
            if (path.find("IlRewrite") == std::string::npos) return S_OK;

            ScopedImport scope(info, moduleId);
            if (scope.import == nullptr) return S_OK;
            mdTypeDef type = 0;
            mdMethodDef enter = 0, exit = 0;
            const auto& signature = ManagedProbeBuilder::ProbeSignature;
            HRESULT hr = scope.import->FindTypeDefByName(u"IlRewrite.Probe", mdTokenNil, &type);
            if (SUCCEEDED(hr)) hr = scope.import->FindMethod(type, u"Enter", signature, sizeof(signature), &enter);
            if (SUCCEEDED(hr)) hr = scope.import->FindMethod(type, u"Exit", signature, sizeof(signature), &exit);
            Log().Line("module %lu %s hr=0x%08x enter=0x%08x exit=0x%08x", static_cast<unsigned long>(moduleId),
                       path.c_str(), static_cast<unsigned>(hr), enter, exit);
            if (FAILED(hr)) return S_OK;
            std::lock_guard<std::mutex> lock(mutex);
            probeType = type;
            enterProbe = enter;
            exitProbe = exit;
            appModule = moduleId;
        } catch (...) {}
        return S_OK;
    }

    HRESULT JITCompilationStarted(FunctionID functionId, BOOL) override {
        try {
            Rewrite(functionId);
        } catch (...) {
            Log().Line("error in JITCompilationStarted");
        }
        return S_OK;
    }

    HRESULT Shutdown() override {
        std::lock_guard<std::mutex> lock(mutex);
        Log().Line("shutdown rewritten=%zu roundtrips=%u failed=%u", rewritten.size(), roundTrips.load(),
                   roundTripFailures.load());
        return S_OK;
    }

private:
    void Rewrite(FunctionID functionId) {
        ClassID classId = 0;
        ModuleID moduleId = 0;
        mdToken token = 0;
        if (info == nullptr || FAILED(info->GetFunctionInfo(functionId, &classId, &moduleId, &token))) return;
        mdTypeDef probes = 0;
        mdMethodDef enter = 0, exit = 0;
        if (moduleId != 0 && moduleId != AppModule()) {
            if (roundTripOthers) RoundTrip(moduleId, token);
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (moduleId == 0 || moduleId != appModule) return;
            // Generic instantiations and later tiers compile the same body again; it already
            // carries the probes.
            if (!rewritten.insert(token).second) return;
            probes = probeType;
            enter = enterProbe;
            exit = exitProbe;
        }

        char16_t typeName[NameLength] = {};
        char16_t methodName[NameLength] = {};
        mdTypeDef type = 0;
        {
            ScopedImport scope(info, moduleId);
            if (scope.import == nullptr) return;
            ULONG length = 0;
            if (FAILED(scope.import->GetMethodProps(token, &type, methodName, NameLength, &length, nullptr, nullptr,
                                                    nullptr, nullptr, nullptr)))
                return;
            DWORD flags = 0;
            mdToken extends = 0;
            scope.import->GetTypeDefProps(type, typeName, NameLength, &length, &flags, &extends);
        }
        typeName[NameLength - 1] = methodName[NameLength - 1] = 0;
        const std::string name = Narrow(typeName) + "::" + Narrow(methodName);
        if (type == probes) {
            Log().Line("skip 0x%08x %s", token, name.c_str());
            return;
        }

        LPCBYTE original = nullptr;
        ULONG originalSize = 0;
        if (FAILED(info->GetILFunctionBody(moduleId, token, &original, &originalSize)) || original == nullptr) return;
        ILRewriter reader(nullptr, nullptr, moduleId, token);
        const HRESULT readable = reader.ImportBody(original, originalSize);
        const Shape before = ShapeOf(reader);

        ManagedProbeRewriter rewriter(info, nullptr, moduleId, token);
        const HRESULT hr = rewriter.AddManagedProbeCallsToMethod(enter, exit, ProbeNumber);
        const Shape after = ShapeOf(rewriter);
        Log().Line(
            "rewrite 0x%08x %s hr=0x%08x read=0x%08x returns=%u switches=%u clauses=%u filters=%u "
            "short=%u->%u code=%u->%u",
            token, name.c_str(), static_cast<unsigned>(hr), static_cast<unsigned>(readable), before.returns,
            before.switches, before.clauses, before.filters, before.shortBranches,
            SUCCEEDED(hr) ? after.shortBranches : before.shortBranches, reader.GetCodeSize(),
            SUCCEEDED(hr) ? rewriter.GetCodeSize() : reader.GetCodeSize());
    }

    ModuleID AppModule() {
        std::lock_guard<std::mutex> lock(mutex);
        return appModule;
    }

    // Methods of every other module are decoded and installed again unchanged (probe number 0),
    // so that the framework itself runs on re-encoded bodies.
    void RoundTrip(ModuleID moduleId, mdToken token) {
        ManagedProbeRewriter rewriter(info, nullptr, moduleId, token);
        const HRESULT hr = rewriter.AddManagedProbeCallsToMethod(0, 0, 0);
        roundTrips.fetch_add(1, std::memory_order_relaxed);
        if (FAILED(hr)) {
            roundTripFailures.fetch_add(1, std::memory_order_relaxed);
            Log().Line("roundtrip-failed %lu 0x%08x hr=0x%08x", static_cast<unsigned long>(moduleId), token,
                       static_cast<unsigned>(hr));
        }
    }

    const bool roundTripOthers = std::getenv("QX_IL_TEST_ROUNDTRIP_ALL") != nullptr;
    std::atomic<unsigned> roundTrips{0};
    std::atomic<unsigned> roundTripFailures{0};
    ICorProfilerInfo4* info = nullptr;
    std::mutex mutex;
    ModuleID appModule = 0;
    mdTypeDef probeType = 0;
    mdMethodDef enterProbe = 0;
    mdMethodDef exitProbe = 0;
    std::set<mdToken> rewritten;
};

}  // namespace

extern "C" QX_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
    return TestProfilerFactory<IlTestProfiler>::GetClassObject(CLSID_IlTestProfiler, rclsid, riid, ppv);
}
