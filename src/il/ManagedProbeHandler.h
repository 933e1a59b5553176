#pragma once

#include <cstdint>

#include "il/ILRewriter.h"
#include "platform/Export.h"

// Writes the bodies of the managed probe methods and puts probe calls into instrumented methods:
// one at entry and one before every return, each passing (module id, method token, probe number).
class ManagedProbeRewriter : public ILRewriter {
public:
    using ILRewriter::ILRewriter;

    // Replaces the body by: nop; ldarg.0; conv.u8; call opExplicit; ldarg.1; ldarg.2;
    // call pinvoke; nop; ret (a tiny body).
    HRESULT AddPInvokeCallToMethod(mdToken opExplicit, mdToken pinvoke);
    // Imports the method, adds the entry and exit probes and installs the body. Probe number 0
    // installs the body as it was read. E_FAIL, and nothing installed, for a method without ret.
    HRESULT AddManagedProbeCallsToMethod(mdToken enterProbe, mdToken exitProbe, int32_t probeNumber);
    // Inserts the probe sequence directly before `where`.
    HRESULT AddProbe(int32_t probeNumber, unsigned localIndex, mdToken probe, ILInstruction* where);
    // An exit probe before every return of the list; E_FAIL when there is none.
    HRESULT AddExitProbes(int32_t probeNumber, unsigned localIndex, mdToken exitProbe);
    // A call of `helper` at the start of the method, installed.
    HRESULT AddManagedHelperCallToMethod(mdToken helper);

    // The probe sequence: ldc.i8 module id, ldc.i4 method token, ldc.i4 probe number,
    // stloc local, ldloc local, call probe.
    static constexpr unsigned ProbeSequenceLength = 6;
    static constexpr unsigned ProbeSequenceBytes = 9 + 5 + 5 + 4 + 4 + 5;

private:
    bool HasReturn();
};

// Entry points of the probe methods (P/Invoke from managed code) and of test callers. They never
// let anything escape to the caller.
extern "C" {
QX_EXPORT void ManagedProbeEnterFunction(UINT_PTR moduleId, uint32_t methodToken, int32_t probeNumber);
QX_EXPORT void ManagedProbeExitFunction(UINT_PTR moduleId, uint32_t methodToken, int32_t probeNumber);
QX_EXPORT void ManagedProbeTestCallback(uint32_t value);
QX_EXPORT void UnmanagedInspectObject(void* object);
}
