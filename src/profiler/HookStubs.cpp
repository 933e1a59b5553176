#include "profiler/HookStubs.h"

#include <cerrno>

#include "profiler/ErrorBoundary.h"
#include "profiler/ProfilerImpl.h"

// The hooks run inside managed code that may be about to read errno (P/Invoke last-error),
// so whatever the agent does must leave it as it was.
namespace {
class ErrnoKeeper {
public:
    ErrnoKeeper() : saved(errno) {}
    ~ErrnoKeeper() { errno = saved; }
    ErrnoKeeper(const ErrnoKeeper&) = delete;
    ErrnoKeeper& operator=(const ErrnoKeeper&) = delete;

private:
    int saved;
};
}  // namespace

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
