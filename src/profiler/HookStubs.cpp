#include "profiler/HookStubs.h"

#include "environment/ErrnoKeeper.h"
#include "environment/ErrorBoundary.h"
#include "profiler/ProfilerImpl.h"

extern "C" void EnterStub(FunctionID functionId, UINT_PTR mappedId, COR_PRF_FRAME_INFO frameInfo,
                          COR_PRF_FUNCTION_ARGUMENT_INFO* argumentInfo) {
    ErrnoKeeper keeper;
    RunGuarded("Enter", [&] { g_ProfilerImpl->Enter(functionId, mappedId, frameInfo, argumentInfo); });
}

extern "C" void LeaveStub(FunctionID functionId, UINT_PTR mappedId, COR_PRF_FRAME_INFO frameInfo,
                          COR_PRF_FUNCTION_ARGUMENT_RANGE* returnValueRange) {
    ErrnoKeeper keeper;
    RunGuarded("Leave", [&] { g_ProfilerImpl->Leave(functionId, mappedId, frameInfo, returnValueRange); });
}

extern "C" void TailcallStub(FunctionID functionId, UINT_PTR mappedId, COR_PRF_FRAME_INFO frameInfo) {
    ErrnoKeeper keeper;
    RunGuarded("TailCall", [&] { g_ProfilerImpl->Tailcall(functionId, mappedId, frameInfo); });
}
