#pragma once

// Published interface identifiers. The ten the runtime and tooling look up by name are exported
// data symbols; the others are internal to the library.

#include "platform/ComTypes.h"
#include "platform/Export.h"

QX_EXPORT extern const GUID IID_IUnknown;
QX_EXPORT extern const GUID IID_IClassFactory;
QX_EXPORT extern const GUID IID_ICorProfilerCallback;
QX_EXPORT extern const GUID IID_ICorProfilerCallback2;
QX_EXPORT extern const GUID IID_ICorProfilerCallback3;
QX_EXPORT extern const GUID IID_ICorProfilerCallback4;
QX_EXPORT extern const GUID IID_ICorProfilerInfo;
QX_EXPORT extern const GUID IID_ICorProfilerInfo2;
QX_EXPORT extern const GUID IID_ICorProfilerInfo3;
QX_EXPORT extern const GUID IID_ICorProfilerInfo4;

extern const GUID IID_ICorProfilerCallback5;
extern const GUID IID_ICorProfilerCallback6;
extern const GUID IID_ICorProfilerCallback7;
extern const GUID IID_ICorProfilerCallback8;
extern const GUID IID_ICorProfilerCallback9;
extern const GUID IID_ICorProfilerCallback10;
extern const GUID IID_ICorProfilerCallback11;
extern const GUID IID_ICorProfilerInfo5;
extern const GUID IID_ICorProfilerInfo6;
extern const GUID IID_ICorProfilerMethodEnum;
extern const GUID IID_ICorProfilerObjectEnum;
extern const GUID IID_ICorProfilerFunctionEnum;
extern const GUID IID_ICorProfilerModuleEnum;
extern const GUID IID_ICorProfilerThreadEnum;
extern const GUID IID_IMethodMalloc;
extern const GUID IID_ICorProfilerFunctionControl;
extern const GUID IID_IMetaDataImport;
extern const GUID IID_IMetaDataImport2;
extern const GUID IID_IMetaDataEmit;
extern const GUID IID_IMetaDataEmit2;
extern const GUID IID_IMetaDataAssemblyImport;
extern const GUID IID_IMetaDataAssemblyEmit;
extern const GUID IID_IMetaDataDispenser;
extern const GUID IID_IMetaDataDispenserEx;
