#include "il/ManagedProbeHandler.h"

#include <cerrno>
#include <exception>
#include <new>
#include <vector>

#include "environment/ErrnoKeeper.h"
#include "environment/ErrorBoundary.h"
#include "environment/Logger.h"
#include "il/ResultBoundary.h"
#include "profiler/ProfilerImpl.h"

namespace {

bool IsCall(uint32_t opcode) { return opcode == CEE_CALL || opcode == CEE_CALLVIRT || opcode == CEE_CALLI; }

}  // namespace

HRESULT ManagedProbeRewriter::AddPInvokeCallToMethod(mdToken opExplicit, mdToken pinvoke) {
    return Contained([&]() -> HRESULT {
        InitializeTiny();
        struct Step {
            uint32_t opcode;
            mdToken token;
        };
        const Step body[] = {{CEE_NOP, 0},           {CEE_LDARG_0, 0}, {CEE_CONV_U8, 0},
                             {CEE_CALL, opExplicit}, {CEE_LDARG_1, 0}, {CEE_LDARG_2, 0},
                             {CEE_CALL, pinvoke},    {CEE_NOP, 0},     {CEE_RET, 0}};
        for (const Step& step : body) {
            ILInstruction* node = CreateNewILInstruction();
            if (node == nullptr) return E_OUTOFMEMORY;
            node->opcode = step.opcode;
            node->operand = static_cast<int32_t>(step.token);
            InsertBefore(GetILList(), node);
        }
        const HRESULT hr = Export();
        return FAILED(hr) ? hr : S_OK;
    });
}

HRESULT ManagedProbeRewriter::AddManagedProbeCallsToMethod(mdToken enterProbe, mdToken exitProbe, int32_t probeNumber) {
    return Contained([&]() -> HRESULT {
        HRESULT hr = Initialize();
        if (FAILED(hr)) return hr;
        hr = Import();
        if (FAILED(hr)) return hr;
        if (probeNumber != 0) {
            // Checked before the local is added, so that a method that always throws leaves no
            // trace in the module's metadata.
            if (!HasReturn()) return E_FAIL;
            const unsigned local = AddNewInt32Local();
            // Storing into some other local would make the method unverifiable or worse.
            if (local == InvalidLocalIndex) return E_FAIL;
            hr = AddProbe(probeNumber, local, enterProbe, GetILList()->next);
            if (FAILED(hr)) return hr;
            hr = AddExitProbes(probeNumber, local, exitProbe);
            if (FAILED(hr)) return hr;
        }
        hr = Export();
        return FAILED(hr) ? hr : S_OK;
    });
}

HRESULT ManagedProbeRewriter::AddProbe(int32_t probeNumber, unsigned localIndex, mdToken probe, ILInstruction* where) {
    if (where == nullptr) return E_POINTER;
    return Contained([&]() -> HRESULT {
        ILInstruction* sequence[ProbeSequenceLength];
        for (ILInstruction*& node : sequence) {
            node = CreateNewILInstruction();
            if (node == nullptr) return E_OUTOFMEMORY;
        }
        sequence[0]->opcode = CEE_LDC_I8;
        sequence[0]->operand = static_cast<int64_t>(GetModuleID());
        sequence[1]->opcode = CEE_LDC_I4;
        sequence[1]->operand = static_cast<int32_t>(GetMethodToken());
        sequence[2]->opcode = CEE_LDC_I4;
        sequence[2]->operand = probeNumber;
        sequence[3]->opcode = CEE_STLOC;
        sequence[3]->operand = static_cast<int64_t>(localIndex);
        sequence[4]->opcode = CEE_LDLOC;
        sequence[4]->operand = static_cast<int64_t>(localIndex);
        sequence[5]->opcode = CEE_CALL;
        sequence[5]->operand = static_cast<int32_t>(probe);

        const unsigned stackBefore = GetMaxStack();
        for (ILInstruction* node : sequence) InsertBefore(where, node);
        SetMaxStack(stackBefore + 5);
        return S_OK;
    });
}

HRESULT ManagedProbeRewriter::AddExitProbes(int32_t probeNumber, unsigned localIndex, mdToken exitProbe) {
    return Contained([&]() -> HRESULT {
        std::vector<ILInstruction*> returns;
        for (ILInstruction* node = GetILList()->next; node != GetILList(); node = node->next) {
            if (node->opcode == CEE_RET) returns.push_back(node);
        }
        if (returns.empty()) return E_FAIL;

        for (ILInstruction* ret : returns) {
            // The old node stays where branches point, as a nop; the probe runs between it and
            // the new instruction. A "tail." call must be followed by its ret directly, so there
            // the probe goes before the prefix instead, which also ends the frame.
            ILInstruction* anchor = ret;
            ILInstruction* call = ret->prev;
            if (call != GetILList() && IsCall(call->opcode) && call->prev != GetILList() &&
                call->prev->opcode == CEE_TAILCALL) {
                anchor = call->prev;
            }
            ILInstruction* moved = CreateNewILInstruction();
            if (moved == nullptr) return E_OUTOFMEMORY;
            moved->opcode = anchor->opcode;
            moved->operand = anchor->operand;
            anchor->opcode = CEE_NOP;
            anchor->operand = 0;
            InsertAfter(anchor, moved);
            const HRESULT hr = AddProbe(probeNumber, localIndex, exitProbe, moved);
            if (FAILED(hr)) return hr;
        }
        return S_OK;
    });
}

HRESULT ManagedProbeRewriter::AddManagedHelperCallToMethod(mdToken helper) {
    return Contained([&]() -> HRESULT {
        HRESULT hr = Initialize();
        if (FAILED(hr)) return hr;
        hr = Import();
        if (FAILED(hr)) return hr;
        ILInstruction* call = CreateNewILInstruction();
        if (call == nullptr) return E_OUTOFMEMORY;
        call->opcode = CEE_CALL;
        call->operand = static_cast<int32_t>(helper);
        const unsigned stackBefore = GetMaxStack();
        InsertBefore(GetILList()->next, call);
        SetMaxStack(stackBefore + 1);
        hr = Export();
        return FAILED(hr) ? hr : S_OK;
    });
}

bool ManagedProbeRewriter::HasReturn() {
    for (ILInstruction* node = GetILList()->next; node != GetILList(); node = node->next) {
        if (node->opcode == CEE_RET) return true;
    }
    return false;
}

extern "C" void ManagedProbeEnterFunction(UINT_PTR moduleId, uint32_t methodToken, int32_t) {
    ErrnoKeeper keeper;
    RunGuarded("ProbeEnterFunction", [&] {
        if (ProfilerImpl* profiler = g_ProfilerImpl) profiler->ProbeEnterFunction(moduleId, methodToken, 0);
    });
}

extern "C" void ManagedProbeExitFunction(UINT_PTR moduleId, uint32_t methodToken, int32_t) {
    ErrnoKeeper keeper;
    RunGuarded("ProbeExitFunction", [&] {
        if (ProfilerImpl* profiler = g_ProfilerImpl) profiler->ProbeExitFunction(moduleId, methodToken, 0);
    });
}

extern "C" void ManagedProbeTestCallback(uint32_t value) {
    ErrnoKeeper keeper;
    RunGuarded("ManagedProbeTestCallback", [&] {
        QX_LOG(LogLevel::Info, "______ManagedProbeTestCallback______", "Callback -> %lu",
               static_cast<unsigned long>(value));
    });
}

extern "C" void UnmanagedInspectObject(void*) {}
