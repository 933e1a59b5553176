#pragma once

#include "platform/ProfilerTypes.h"

// Exported entry points (assembly) and the C++ stubs behind them.
extern "C" {
void EnterNaked(FunctionID functionId, UINT_PTR mappedId, COR_PRF_FRAME_INFO frameInfo,
                COR_PRF_FUNCTION_ARGUMENT_INFO* argumentInfo);
void LeaveNaked(FunctionID functionId, UINT_PTR mappedId, COR_PRF_FRAME_INFO frameInfo,
                COR_PRF_FUNCTION_ARGUMENT_RANGE* returnValueRange);
void TailcallNaked(FunctionID functionId, UINT_PTR mappedId, COR_PRF_FRAME_INFO frameInfo);

void EnterStub(FunctionID functionId, UINT_PTR mappedId, COR_PRF_FRAME_INFO frameInfo,
               COR_PRF_FUNCTION_ARGUMENT_INFO* argumentInfo);
void LeaveStub(FunctionID functionId, UINT_PTR mappedId, COR_PRF_FRAME_INFO frameInfo,
               COR_PRF_FUNCTION_ARGUMENT_RANGE* returnValueRange);
void TailcallStub(FunctionID functionId, UINT_PTR mappedId, COR_PRF_FRAME_INFO frameInfo);
}
