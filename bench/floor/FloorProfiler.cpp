// The floor of the agent's per-call cost: a profiler that asks the runtime for exactly what the
// agent asks (same event mask, same trace decision through the agent's own FunctionMapper) and
// then does nothing with it. What remains is the price the runtime itself charges; the agent
// can only be judged against that. Benchmark-only, never shipped.
//
// QX_FLOOR_MODE picks what is registered:
//   mask   the event mask only, no hooks
//   empty  empty enter/leave/tailcall hooks of the third generation "with info" (the default)
//   args   the same hooks, each enter asking for the argument info and each leave for the
//          return value range, as a hook that captures values must
// QX_FLOOR_REPORT=FILE counts calls (with separate counting hooks, so the timed ones stay
// empty) and writes at shutdown the mode, the counts and every hooked function's name.

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "support/TestProfilerFactory.h"
#include "environment/Configuration.h"
#include "environment/ErrnoKeeper.h"
#include "environment/SystemContext.h"
#include "mapping/FunctionInfo.h"
#include "mapping/FunctionMapper.h"
#include "mapping/LookupHelper.h"
#include "platform/ComLayout.h"
#include "platform/Export.h"
#include "platform/InterfaceIds.h"
#include "platform/ProfilerCallback.h"
#include "platform/ProfilerInfo.h"

namespace {

// The hooks and the info queries this library relies on, at the slots the runtime expects.
constexpr size_t SlotOf(const char* name) {
    constexpr const char* names[] = {
#define QX_FLOOR_NAME(slot, ret, name, params) #name,
        QX_ICORPROFILERINFO3_METHODS(QX_FLOOR_NAME)
#undef QX_FLOOR_NAME
    };
    for (size_t i = 0; i < std::size(names); ++i) {
        const char* a = names[i];
        const char* b = name;
        while (*a != 0 && *a == *b) ++a, ++b;
        if (*a == *b) return qx::com::Layout<ICorProfilerInfo3>::first + i;
    }
    return 0;
}
static_assert(SlotOf("SetEnterLeaveFunctionHooks3WithInfo") == 62);
static_assert(SlotOf("GetFunctionEnter3Info") == 63);
static_assert(SlotOf("GetFunctionLeave3Info") == 64);
static_assert(SlotOf("GetFunctionTailcall3Info") == 65);

// {3F7B9C21-6D84-4E0A-A5B3-19C2D7E64F08}
const GUID CLSID_FloorProfiler = {0x3F7B9C21, 0x6D84, 0x4E0A, {0xA5, 0xB3, 0x19, 0xC2, 0xD7, 0xE6, 0x4F, 0x08}};

// The agent's mask, bit for bit.
constexpr DWORD AgentEventMask =
    COR_PRF_MONITOR_CLASS_LOADS | COR_PRF_MONITOR_MODULE_LOADS | COR_PRF_MONITOR_ASSEMBLY_LOADS |
    COR_PRF_MONITOR_APPDOMAIN_LOADS | COR_PRF_MONITOR_JIT_COMPILATION | COR_PRF_MONITOR_EXCEPTIONS |
    COR_PRF_MONITOR_THREADS | COR_PRF_MONITOR_ENTERLEAVE | COR_PRF_ENABLE_REJIT | COR_PRF_DISABLE_OPTIMIZATIONS |
    COR_PRF_ENABLE_FUNCTION_ARGS | COR_PRF_ENABLE_FUNCTION_RETVAL | COR_PRF_ENABLE_FRAME_INFO |
    COR_PRF_DISABLE_ALL_NGEN_IMAGES;
static_assert(AgentEventMask == 0x8E44127Eu, "event mask");

enum class Mode { Mask, Empty, Args };

Mode ModeFromEnvironment() {
    const char* text = std::getenv("QX_FLOOR_MODE");
    if (text != nullptr && std::strcmp(text, "mask") == 0) return Mode::Mask;
    if (text != nullptr && std::strcmp(text, "args") == 0) return Mode::Args;
    return Mode::Empty;
}

const char* ModeName(Mode mode) { return mode == Mode::Mask ? "mask" : mode == Mode::Args ? "args" : "empty"; }

ICorProfilerInfo3* g_info3 = nullptr;

// Client id → runtime FunctionID for the info queries. Mapped ids are small sequence numbers, so
// a flat table read without a lock serves them; the rare larger id goes to a locked map. An id
// handed out for two functions cannot be answered and is marked so (the hook then skips it).
constexpr UINT_PTR DirectIds = UINT_PTR{1} << 20;
constexpr FunctionID Ambiguous = ~FunctionID{0};
std::atomic<FunctionID>* g_direct = nullptr;  // DirectIds entries, never freed
std::mutex g_overflowLock;
std::unordered_map<UINT_PTR, FunctionID>* g_overflow = nullptr;

void Remember(UINT_PTR clientId, FunctionID functionId) {
    auto settle = [functionId](FunctionID known) { return known == 0 || known == functionId ? functionId : Ambiguous; };
    if (clientId < DirectIds && g_direct != nullptr) {
        FunctionID known = g_direct[clientId].load(std::memory_order_relaxed);
        while (!g_direct[clientId].compare_exchange_weak(known, settle(known), std::memory_order_release,
                                                         std::memory_order_relaxed)) {}
        return;
    }
    std::lock_guard<std::mutex> lock(g_overflowLock);
    if (g_overflow == nullptr) return;
    FunctionID& slot = (*g_overflow)[clientId];
    slot = settle(slot);
}

FunctionID RuntimeIdOf(UINT_PTR clientId) {
    FunctionID id = 0;
    if (clientId < DirectIds) {
        id = g_direct[clientId].load(std::memory_order_acquire);
    } else {
        std::lock_guard<std::mutex> lock(g_overflowLock);
        auto found = g_overflow->find(clientId);
        if (found != g_overflow->end()) id = found->second;
    }
    return id == Ambiguous ? 0 : id;
}

std::atomic<uint64_t> g_infoFailures{0};

// Room for the argument ranges of any ordinary signature; a larger one is refused by the runtime
// with a size, which counts as a failure here.
constexpr ULONG ArgumentInfoBytes = 512;

inline void AskEnterInfo(UINT_PTR clientId, COR_PRF_ELT_INFO elt) {
    const FunctionID functionId = RuntimeIdOf(clientId);
    if (functionId == 0) {
        g_infoFailures.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    alignas(COR_PRF_FUNCTION_ARGUMENT_INFO) unsigned char buffer[ArgumentInfoBytes];
    ULONG size = sizeof(buffer);
    COR_PRF_FRAME_INFO frame = 0;
    if (FAILED(g_info3->GetFunctionEnter3Info(functionId, elt, &frame, &size,
                                              reinterpret_cast<COR_PRF_FUNCTION_ARGUMENT_INFO*>(buffer))))
        g_infoFailures.fetch_add(1, std::memory_order_relaxed);
}

inline void AskLeaveInfo(UINT_PTR clientId, COR_PRF_ELT_INFO elt) {
    const FunctionID functionId = RuntimeIdOf(clientId);
    if (functionId == 0) {
        g_infoFailures.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    COR_PRF_FRAME_INFO frame = 0;
    COR_PRF_FUNCTION_ARGUMENT_RANGE range{};
    if (FAILED(g_info3->GetFunctionLeave3Info(functionId, elt, &frame, &range)))
        g_infoFailures.fetch_add(1, std::memory_order_relaxed);
}

void EmptyHook(FunctionIDOrClientID, COR_PRF_ELT_INFO) {}
void ArgsEnter(FunctionIDOrClientID id, COR_PRF_ELT_INFO elt) { AskEnterInfo(id.clientID, elt); }
void ArgsLeave(FunctionIDOrClientID id, COR_PRF_ELT_INFO elt) { AskLeaveInfo(id.clientID, elt); }

// Counting variants, used only when a report is asked for.
std::atomic<uint64_t> g_enters{0}, g_leaves{0}, g_tailcalls{0};
bool g_askInfo = false;
void CountingEnter(FunctionIDOrClientID id, COR_PRF_ELT_INFO elt) {
    g_enters.fetch_add(1, std::memory_order_relaxed);
    if (g_askInfo) AskEnterInfo(id.clientID, elt);
}
void CountingLeave(FunctionIDOrClientID id, COR_PRF_ELT_INFO elt) {
    g_leaves.fetch_add(1, std::memory_order_relaxed);
    if (g_askInfo) AskLeaveInfo(id.clientID, elt);
}
void CountingTailcall(FunctionIDOrClientID, COR_PRF_ELT_INFO) { g_tailcalls.fetch_add(1, std::memory_order_relaxed); }

std::atomic<uint64_t> g_hooked{0};
bool g_keepIds = false;
// Runtime ids of the hooked functions, kept only for the report.
std::mutex g_hookedLock;
std::vector<FunctionID>* g_hookedIds = nullptr;

// The agent's decision, without the agent's preparation for value capture (once per function,
// not per call).
UINT_PTR MapFunction(FunctionID functionId, BOOL* hookFunction) {
    ErrnoKeeper keeper;
    UINT_PTR clientId = functionId;
    BOOL hook = 0;
    try {
        if (FunctionMapper* mapper = g_Mapper) {
            auto [id, decision] = mapper->Map(functionId);
            clientId = static_cast<UINT_PTR>(id);
            hook = decision ? 1 : 0;
            if (hook) {
                g_hooked.fetch_add(1, std::memory_order_relaxed);
                if (g_keepIds) Remember(clientId, functionId);
                if (g_hookedIds != nullptr) {
                    std::lock_guard<std::mutex> lock(g_hookedLock);
                    g_hookedIds->push_back(functionId);
                }
            }
        }
    } catch (...) {
        hook = 0;
    }
    if (hookFunction != nullptr) *hookFunction = hook;
    return clientId;
}

void WriteReport(Mode mode) {
    const char* path = std::getenv("QX_FLOOR_REPORT");
    if (path == nullptr || g_Mapper == nullptr) return;
    std::string text;
    char line[256];
    std::snprintf(line, sizeof(line),
                  "mode %s\nhooked %llu\nenter %llu\nleave %llu\ntailcall %llu\ninfo_failures %llu\n", ModeName(mode),
                  static_cast<unsigned long long>(g_hooked.load()), static_cast<unsigned long long>(g_enters.load()),
                  static_cast<unsigned long long>(g_leaves.load()), static_cast<unsigned long long>(g_tailcalls.load()),
                  static_cast<unsigned long long>(g_infoFailures.load()));
    text += line;
    if (g_hookedIds != nullptr) {
        std::lock_guard<std::mutex> lock(g_hookedLock);
        for (FunctionID id : *g_hookedIds) {
            if (FunctionInfo* record = g_Mapper->GetFunctionInfoByOriginalId(id))
                text += "function " + record->GetFunctionClassName() + "::" + record->GetFunctionMethodName() + "\n";
        }
    }
    const int file = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (file < 0) return;
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(file, text.data() + done, text.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    close(file);
}

class FloorProfiler final : public TestProfilerCallbacks {
public:
    HRESULT Initialize(IUnknown* unknown) override {
        try {
            return Start(unknown);
        } catch (...) {
            return E_FAIL;
        }
    }

    HRESULT Shutdown() override {
        try {
            WriteReport(mode);
        } catch (...) {}
        return S_OK;
    }

private:
    // The same steps, in the same order, as the agent's Initialize.
    HRESULT Start(IUnknown* unknown) {
        if (unknown == nullptr) return E_FAIL;
        void* pointer = nullptr;
        if (FAILED(unknown->QueryInterface(&IID_ICorProfilerInfo3, &pointer)) || pointer == nullptr) return E_FAIL;
        auto* info3 = static_cast<ICorProfilerInfo3*>(pointer);
        g_info3 = info3;

        g_Configuration = Configuration::Instance();
        g_Context = new SystemContext();
        if (g_Mapper == nullptr) g_Mapper = new FunctionMapper();
        if (g_Lookup == nullptr) g_Lookup = new LookupHelper();
        g_Context->SetProfilerInfo(info3);
        g_Context->SetProfiler2Info(info3);
        g_Context->SetProfiler3Info(info3);
        pointer = nullptr;
        g_Context->SetProfiler4Info(SUCCEEDED(unknown->QueryInterface(&IID_ICorProfilerInfo4, &pointer))
                                        ? static_cast<ICorProfilerInfo4*>(pointer)
                                        : nullptr);
        g_Context->CompleteStringLayout();

        const HRESULT masked = info3->SetEventMask(AgentEventMask);
        if (FAILED(masked)) return masked;
        if (mode == Mode::Mask) return S_OK;

        g_Context->FetchProcessNameAndType();
        g_Mapper->Initialize(g_Context->GetHostType());
        g_Mapper->UpdateBlacklistsWhitelistsOnStartup();

        g_keepIds = mode == Mode::Args;
        if (g_keepIds) {
            g_direct = new std::atomic<FunctionID>[DirectIds]();
            g_overflow = new std::unordered_map<UINT_PTR, FunctionID>();
        }
        FunctionEnter3WithInfo* enter = mode == Mode::Args ? &ArgsEnter : &EmptyHook;
        FunctionLeave3WithInfo* leave = mode == Mode::Args ? &ArgsLeave : &EmptyHook;
        FunctionTailcall3WithInfo* tailcall = &EmptyHook;
        if (std::getenv("QX_FLOOR_REPORT") != nullptr) {
            g_hookedIds = new std::vector<FunctionID>();
            g_askInfo = mode == Mode::Args;
            enter = &CountingEnter;
            leave = &CountingLeave;
            tailcall = &CountingTailcall;
        }
        const HRESULT hooked = info3->SetEnterLeaveFunctionHooks3WithInfo(enter, leave, tailcall);
        if (FAILED(hooked)) return hooked;
        return info3->SetFunctionIDMapper(&MapFunction);
    }

    const Mode mode = ModeFromEnvironment();
};

}  // namespace

extern "C" QX_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
    return TestProfilerFactory<FloorProfiler>::GetClassObject(CLSID_FloorProfiler, rclsid, riid, ppv);
}
