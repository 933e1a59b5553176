#pragma once

// Puts the probe engine's calls into a method body: an enter probe at entry, a leave probe before
// every return, a tail-call probe before every explicit tail call. Each probe is a `calli` of a
// native entry point at a constant address, with the unmanaged cdecl convention and no GC
// transition, so it costs about what a managed call does and needs no binding.

#include <cstdint>

#include "il/ILRewriter.h"
#include "platform/MetaData.h"
#include "platform/MetaDataTypes.h"

// One argument as the enter probe hands it over: the address of its slot and its size in bytes.
// The layout is the runtime's argument range, so the call path reads both alike.
struct ProbeArgumentRange {
    uintptr_t startAddress;
    uint32_t length;
};
static_assert(sizeof(ProbeArgumentRange) == 16);

// Native entry points the probes call (cdecl, run without a GC transition: the GC waits for them).
struct ProbeTargets {
    void (*enter)(uint32_t id);
    void (*leave)(uint32_t id);
    void (*tailcall)(uint32_t id);
    void (*enterArguments)(const ProbeArgumentRange* ranges, uint32_t count, uint32_t id);
    void (*leaveValue)(const void* address, uint32_t length, uint32_t id);
};

// Tokens one module's probes need, made once per module (ProbeInjector::PrepareModule).
struct ProbeModuleTokens {
    mdToken callConvCdecl = 0;                 // TypeRef (TypeDef in the core library)
    mdToken callConvSuppressGCTransition = 0;  // likewise
    mdSignature idSignature = 0;               // void(uint32)
    mdSignature argumentsSignature = 0;        // void(void*, uint32, uint32)
    mdSignature valueSignature = 0;            // void(void*, uint32, uint32)
};

struct ProbeRequest {
    uint32_t recordId = 0;
    // Monitored methods hand over every argument (`this` first) and the return value.
    bool passValues = false;
    // The method's own signature (from its MethodDef), needed when passValues is set.
    PCCOR_SIGNATURE signature = nullptr;
    ULONG signatureLength = 0;
};

class ProbeInjector {
public:
    // Finds or defines the calling-convention types (the core library's, referenced through the
    // module's reference to it, or defined there when `isCoreLibrary`) and the calli signatures.
    static HRESULT PrepareModule(IMetaDataImport* import, IMetaDataEmit* emit, IMetaDataAssemblyImport* assemblyImport,
                                 IMetaDataAssemblyEmit* assemblyEmit, bool isCoreLibrary, ProbeModuleTokens& tokens);

    // Adds the probes to a body already imported into `body` (whose metadata interfaces are
    // initialised). Branches to the first instruction keep skipping the enter probe; branches to
    // a return pass through its leave probe. Nothing is changed on failure. With passValues the
    // body's metadata must be open (ILRewriter::Initialize): the return value's local and the
    // TypeSpecs of generic and type-variable sizes are added to the module. The caller exports.
    static HRESULT Inject(ILRewriter& body, const ProbeModuleTokens& tokens, const ProbeTargets& targets,
                          const ProbeRequest& request);
};
