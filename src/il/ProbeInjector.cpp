#include "il/ProbeInjector.h"

#include <cstring>
#include <new>
#include <vector>

#include "il/ResultBoundary.h"
#include "inspection/SignatureCursor.h"

namespace {

constexpr const char16_t* CdeclTypeName = u"System.Runtime.CompilerServices.CallConvCdecl";
constexpr const char16_t* SuppressGCTransitionTypeName =
    u"System.Runtime.CompilerServices.CallConvSuppressGCTransition";
constexpr const char16_t* CoreLibraryName = u"System.Private.CoreLib";
// System.Private.CoreLib's own public key token.
constexpr uint8_t CoreLibraryPublicKeyToken[8] = {0x7c, 0xec, 0x85, 0xd7, 0xbe, 0xa7, 0x79, 0x8e};
// Names a module may reference the core library by, best first. System.Runtime forwards every
// public type of the core library; netstandard and mscorlib forward only the types of their own
// surface, which lacks the calling conventions, so such a module gets a reference of its own.
constexpr const char16_t* CoreLibraryNames[] = {CoreLibraryName, u"System.Runtime"};

constexpr ULONG AssemblyRefBatch = 32;
// AssemblyRef rows are 24-bit; a broken enumerator must still not loop for ever.
constexpr ULONG MaxAssemblyRefBatches = 0x00FFFFFFu / AssemblyRefBatch + 1;
constexpr ULONG AssemblyNameLength = 512;

constexpr uint32_t RangeSize = sizeof(ProbeArgumentRange);
constexpr uint32_t PointerSize = sizeof(void*);
// Argument indices are 16-bit (ldarga); the range block must stay small besides.
constexpr uint32_t MaxArguments = 0x1000;
// Deepest the probes take the stack above what the method itself needs: the enter probe's range
// writes and the value probes' four call arguments; a plain probe pushes an id and an address.
constexpr unsigned ValueProbeStack = 4;
constexpr unsigned PlainProbeStack = 2;

char16_t Fold(char16_t unit) { return unit >= u'A' && unit <= u'Z' ? static_cast<char16_t>(unit + 0x20) : unit; }

bool SameName(const char16_t* left, const char16_t* right) {
    for (;; ++left, ++right) {
        if (Fold(*left) != Fold(*right)) return false;
        if (*left == 0) return true;
    }
}

void AppendCompressed(std::vector<uint8_t>& out, uint32_t value) {
    if (value <= 0x7F) {
        out.push_back(static_cast<uint8_t>(value));
    } else if (value <= 0x3FFF) {
        out.push_back(static_cast<uint8_t>(0x80 | (value >> 8)));
        out.push_back(static_cast<uint8_t>(value));
    } else {
        out.push_back(static_cast<uint8_t>(0xC0 | (value >> 24)));
        out.push_back(static_cast<uint8_t>(value >> 16));
        out.push_back(static_cast<uint8_t>(value >> 8));
        out.push_back(static_cast<uint8_t>(value));
    }
}

bool AppendTypeDefOrRef(std::vector<uint8_t>& out, mdToken token) {
    uint32_t tag = 0;
    switch (TypeFromToken(token)) {
        case mdtTypeDef:
            tag = 0;
            break;
        case mdtTypeRef:
            tag = 1;
            break;
        case mdtTypeSpec:
            tag = 2;
            break;
        default:
            return false;
    }
    const RID rid = RidFromToken(token);
    if (rid == 0 || rid > (0x1FFFFFFFu >> 2)) return false;
    AppendCompressed(out, (rid << 2) | tag);
    return true;
}

// unmanaged modopt(Cdecl) modopt(SuppressGCTransition) void(parameters...), the encoding of
// delegate* unmanaged[Cdecl, SuppressGCTransition]<..., void>.
bool CalliSignature(const ProbeModuleTokens& tokens, std::initializer_list<uint8_t> parameters,
                    std::vector<uint8_t>& out) {
    out.clear();
    out.push_back(IMAGE_CEE_CS_CALLCONV_UNMANAGED);
    AppendCompressed(out, static_cast<uint32_t>(parameters.size()));
    out.push_back(ELEMENT_TYPE_CMOD_OPT);
    if (!AppendTypeDefOrRef(out, tokens.callConvCdecl)) return false;
    out.push_back(ELEMENT_TYPE_CMOD_OPT);
    if (!AppendTypeDefOrRef(out, tokens.callConvSuppressGCTransition)) return false;
    out.push_back(ELEMENT_TYPE_VOID);
    out.insert(out.end(), parameters.begin(), parameters.end());
    return true;
}

bool IsTypeToken(mdToken token, mdToken table) { return TypeFromToken(token) == table && RidFromToken(token) != 0; }

// The module's reference to the core library or one of the facades that forward to it; defines
// a reference to the core library when there is none.
HRESULT CoreLibraryReference(IMetaDataAssemblyImport* assemblyImport, IMetaDataAssemblyEmit* assemblyEmit,
                             mdAssemblyRef& found) {
    constexpr size_t none = sizeof(CoreLibraryNames) / sizeof(CoreLibraryNames[0]);
    size_t bestRank = none;
    HCORENUM enumerator = nullptr;
    mdAssemblyRef batch[AssemblyRefBatch];
    HRESULT failure = S_OK;
    for (ULONG round = 0; bestRank != 0 && round < MaxAssemblyRefBatches; ++round) {
        ULONG count = 0;
        if (assemblyImport->EnumAssemblyRefs(&enumerator, batch, AssemblyRefBatch, &count) != S_OK || count == 0) {
            break;
        }
        if (count > AssemblyRefBatch) count = AssemblyRefBatch;
        for (ULONG i = 0; i < count && bestRank != 0; ++i) {
            char16_t name[AssemblyNameLength] = {};
            ULONG length = 0;
            const HRESULT hr = assemblyImport->GetAssemblyRefProps(batch[i], nullptr, nullptr, name, AssemblyNameLength,
                                                                   &length, nullptr, nullptr, nullptr, nullptr);
            if (FAILED(hr)) {
                failure = hr;
                break;
            }
            name[AssemblyNameLength - 1] = 0;
            for (size_t rank = 0; rank < bestRank; ++rank) {
                if (SameName(name, CoreLibraryNames[rank])) {
                    bestRank = rank;
                    found = batch[i];
                    break;
                }
            }
        }
        if (FAILED(failure)) break;
    }
    if (enumerator != nullptr) assemblyImport->CloseEnum(enumerator);
    // A reference that could not be read may be the core library's: adding a second one would be
    // a guess, not a repair.
    if (FAILED(failure)) return failure;
    if (bestRank != none) return S_OK;

    char16_t locale[1] = {};
    ASSEMBLYMETADATA metadata{};
    metadata.usMajorVersion = 4;
    metadata.szLocale = locale;
    return assemblyEmit->DefineAssemblyRef(CoreLibraryPublicKeyToken, sizeof(CoreLibraryPublicKeyToken),
                                           CoreLibraryName, &metadata, nullptr, 0, 0, &found);
}

HRESULT TypeReference(IMetaDataImport* import, IMetaDataEmit* emit, mdAssemblyRef scope, const char16_t* name,
                      mdToken& token) {
    mdTypeRef reference = mdTypeRefNil;
    if (SUCCEEDED(import->FindTypeRef(scope, name, &reference)) && IsTypeToken(reference, mdtTypeRef)) {
        token = reference;
        return S_OK;
    }
    reference = mdTypeRefNil;
    const HRESULT hr = emit->DefineTypeRefByName(scope, name, &reference);
    if (FAILED(hr)) return hr;
    if (!IsTypeToken(reference, mdtTypeRef)) return E_FAIL;
    token = reference;
    return S_OK;
}

// ---------------------------------------------------------------------------------------------
// The method signature.

// How many bytes one value occupies: a constant, or `sizeof token` for what only the runtime
// knows (value types, type variables).
struct ValueSize {
    uint32_t bytes = 0;
    mdToken token = 0;
};

struct MethodShape {
    std::vector<ValueSize> arguments;  // `this` first
    bool returnsValue = false;
    ValueSize returnSize;
    std::vector<uint8_t> returnType;  // without leading modifiers, for the local
};

// Skips what may precede a parameter's or return's type without being part of it.
bool SkipTypePrefixes(SignatureCursor& cursor) {
    for (;;) {
        uint8_t next = 0;
        if (!cursor.PeekByte(next)) return false;
        if (next == ELEMENT_TYPE_CMOD_OPT || next == ELEMENT_TYPE_CMOD_REQD) {
            uint8_t ignored = 0;
            mdToken modifier = 0;
            if (!cursor.ReadByte(ignored) || !cursor.ReadTypeDefOrRef(modifier)) return false;
        } else if (next == ELEMENT_TYPE_PINNED || next == ELEMENT_TYPE_SENTINEL) {
            if (!cursor.Skip(1)) return false;
        } else {
            return true;
        }
    }
}

uint32_t PrimitiveSize(uint32_t elementType) {
    switch (elementType) {
        case ELEMENT_TYPE_BOOLEAN:
        case ELEMENT_TYPE_I1:
        case ELEMENT_TYPE_U1:
            return 1;
        case ELEMENT_TYPE_CHAR:
        case ELEMENT_TYPE_I2:
        case ELEMENT_TYPE_U2:
            return 2;
        case ELEMENT_TYPE_I4:
        case ELEMENT_TYPE_U4:
        case ELEMENT_TYPE_R4:
            return 4;
        case ELEMENT_TYPE_I8:
        case ELEMENT_TYPE_U8:
        case ELEMENT_TYPE_R8:
            return 8;
        case ELEMENT_TYPE_I:
        case ELEMENT_TYPE_U:
        case ELEMENT_TYPE_STRING:
        case ELEMENT_TYPE_OBJECT:
        case ELEMENT_TYPE_CLASS:
        case ELEMENT_TYPE_SZARRAY:
        case ELEMENT_TYPE_ARRAY:
        case ELEMENT_TYPE_BYREF:
        case ELEMENT_TYPE_PTR:
        case ELEMENT_TYPE_FNPTR:
            return PointerSize;
        case ELEMENT_TYPE_TYPEDBYREF:
            return 2 * PointerSize;
        default:
            return 0;
    }
}

// One type at the cursor (prefixes already skipped): its size and its encoding's bytes.
HRESULT ReadValueType(SignatureCursor& cursor, const uint8_t* signature, IMetaDataEmit* emit, ValueSize& size,
                      std::vector<uint8_t>* encoding) {
    const size_t start = cursor.GetOffset();
    uint32_t elementType = 0;
    if (!cursor.ReadCompressed(elementType)) return META_E_BAD_SIGNATURE;
    bool needsTypeSpec = false;
    size = ValueSize{};
    if (elementType == ELEMENT_TYPE_VALUETYPE) {
        mdToken token = 0;
        if (!cursor.ReadTypeDefOrRef(token) || RidFromToken(token) == 0 || TypeFromToken(token) == mdtBaseType) {
            return META_E_BAD_SIGNATURE;
        }
        size.token = token;
    } else if (elementType == ELEMENT_TYPE_GENERICINST) {
        uint8_t kind = 0;
        if (!cursor.PeekByte(kind)) return META_E_BAD_SIGNATURE;
        if (kind == ELEMENT_TYPE_VALUETYPE) {
            needsTypeSpec = true;
        } else {
            size.bytes = PointerSize;
        }
        if (!cursor.SkipTypeAfter(elementType)) return META_E_BAD_SIGNATURE;
    } else if (elementType == ELEMENT_TYPE_VAR || elementType == ELEMENT_TYPE_MVAR) {
        needsTypeSpec = true;
        if (!cursor.SkipTypeAfter(elementType)) return META_E_BAD_SIGNATURE;
    } else {
        size.bytes = PrimitiveSize(elementType);
        if (size.bytes == 0 || !cursor.SkipTypeAfter(elementType)) return META_E_BAD_SIGNATURE;
    }
    const size_t end = cursor.GetOffset();
    if (needsTypeSpec) {
        if (emit == nullptr) return E_POINTER;
        mdTypeSpec spec = 0;
        const HRESULT hr = emit->GetTokenFromTypeSpec(signature + start, static_cast<ULONG>(end - start), &spec);
        if (FAILED(hr)) return hr;
        if (!IsTypeToken(spec, mdtTypeSpec)) return E_FAIL;
        size.token = spec;
    }
    if (encoding != nullptr) encoding->assign(signature + start, signature + end);
    return S_OK;
}

HRESULT ReadMethodShape(const ProbeRequest& request, IMetaDataEmit* emit, MethodShape& shape) {
    if (request.signature == nullptr || request.signatureLength == 0) return E_INVALIDARG;
    SignatureCursor cursor(request.signature, request.signatureLength);
    uint8_t convention = 0;
    if (!cursor.ReadByte(convention)) return META_E_BAD_SIGNATURE;
    const uint8_t kind = convention & IMAGE_CEE_CS_CALLCONV_MASK;
    if (kind != IMAGE_CEE_CS_CALLCONV_DEFAULT && kind != IMAGE_CEE_CS_CALLCONV_VARARG) return META_E_BAD_SIGNATURE;
    uint32_t number = 0;
    if ((convention & IMAGE_CEE_CS_CALLCONV_GENERIC) != 0 && !cursor.ReadCompressed(number)) {
        return META_E_BAD_SIGNATURE;
    }
    uint32_t parameters = 0;
    if (!cursor.ReadCompressed(parameters)) return META_E_BAD_SIGNATURE;
    // An explicit `this` is the first listed parameter already.
    const bool implicitThis =
        (convention & IMAGE_CEE_CS_CALLCONV_HASTHIS) != 0 && (convention & IMAGE_CEE_CS_CALLCONV_EXPLICITTHIS) == 0;
    if (parameters > MaxArguments - 1) return META_E_BAD_SIGNATURE;

    if (!SkipTypePrefixes(cursor)) return META_E_BAD_SIGNATURE;
    uint8_t first = 0;
    if (!cursor.PeekByte(first)) return META_E_BAD_SIGNATURE;
    if (first == ELEMENT_TYPE_VOID) {
        cursor.Skip(1);
    } else {
        shape.returnsValue = true;
        const HRESULT hr = ReadValueType(cursor, request.signature, emit, shape.returnSize, &shape.returnType);
        if (FAILED(hr)) return hr;
    }

    shape.arguments.reserve(parameters + 1);
    if (implicitThis) shape.arguments.push_back(ValueSize{PointerSize, 0});
    for (uint32_t i = 0; i < parameters; ++i) {
        if (!SkipTypePrefixes(cursor)) return META_E_BAD_SIGNATURE;
        ValueSize size;
        const HRESULT hr = ReadValueType(cursor, request.signature, emit, size, nullptr);
        if (FAILED(hr)) return hr;
        shape.arguments.push_back(size);
    }
    return S_OK;
}

// ---------------------------------------------------------------------------------------------
// Probe sequences.

struct Step {
    uint32_t opcode;
    int64_t operand;
};

class Sequence {
public:
    void Add(uint32_t opcode, int64_t operand = 0) { steps.push_back(Step{opcode, operand}); }
    // Small constants in their short forms; the record id always as a full ldc.i4.
    void Constant(int32_t value) {
        if (value >= -1 && value <= 8) {
            Add(static_cast<uint32_t>(CEE_LDC_I4_0 + value));
        } else if (value >= -128 && value <= 127) {
            Add(CEE_LDC_I4_S, value);
        } else {
            Add(CEE_LDC_I4, value);
        }
    }
    void Size(const ValueSize& size) {
        if (size.token != 0) {
            Add(CEE_SIZEOF, static_cast<int32_t>(size.token));
        } else {
            Constant(static_cast<int32_t>(size.bytes));
        }
    }
    void Call(const void* target, mdSignature signature) {
        Add(CEE_LDC_I8, static_cast<int64_t>(reinterpret_cast<intptr_t>(target)));
        Add(CEE_CONV_I);
        Add(CEE_CALLI, static_cast<int32_t>(signature));
    }
    void IdCall(uint32_t id, const void* target, mdSignature signature) {
        Add(CEE_LDC_I4, static_cast<int32_t>(id));
        Call(target, signature);
    }

    std::vector<Step> steps;
};

// Where a sequence goes: before `where`, or through `anchor` (the moved-node trick).
struct Site {
    ILInstruction* anchor = nullptr;  // keeps its place as a nop; sequence and a copy follow
    ILInstruction* where = nullptr;   // plain insertion before this node
    ILInstruction* after = nullptr;   // a block appended after this node, branches retargeted
    const Sequence* sequence = nullptr;
    std::vector<ILInstruction*> nodes;
    ILInstruction* moved = nullptr;
};

bool IsCall(uint32_t opcode) { return opcode == CEE_CALL || opcode == CEE_CALLVIRT || opcode == CEE_CALLI; }

bool IsCallPrefix(uint32_t opcode) {
    return opcode == CEE_TAILCALL || opcode == CEE_CONSTRAINED || opcode == CEE_READONLY || opcode == CEE_NO;
}

// The first prefix of a `tail.` call directly followed by `ret`, or null.
ILInstruction* TailCallStart(ILInstruction* list, ILInstruction* ret) {
    ILInstruction* call = ret->prev;
    if (call == list || !IsCall(call->opcode)) return nullptr;
    bool tail = false;
    ILInstruction* start = call;
    while (start->prev != list && IsCallPrefix(start->prev->opcode)) {
        start = start->prev;
        tail = tail || start->opcode == CEE_TAILCALL;
    }
    return tail ? start : nullptr;
}

}  // namespace

HRESULT ProbeInjector::PrepareModule(IMetaDataImport* import, IMetaDataEmit* emit,
                                     IMetaDataAssemblyImport* assemblyImport, IMetaDataAssemblyEmit* assemblyEmit,
                                     bool isCoreLibrary, ProbeModuleTokens& tokens) {
    return Contained([&]() -> HRESULT {
        if (import == nullptr || emit == nullptr) return E_POINTER;
        ProbeModuleTokens made;
        HRESULT hr;
        if (isCoreLibrary) {
            hr = import->FindTypeDefByName(CdeclTypeName, mdTokenNil, &made.callConvCdecl);
            if (FAILED(hr)) return hr;
            hr =
                import->FindTypeDefByName(SuppressGCTransitionTypeName, mdTokenNil, &made.callConvSuppressGCTransition);
            if (FAILED(hr)) return hr;
            if (!IsTypeToken(made.callConvCdecl, mdtTypeDef) ||
                !IsTypeToken(made.callConvSuppressGCTransition, mdtTypeDef)) {
                return E_FAIL;
            }
        } else {
            if (assemblyImport == nullptr || assemblyEmit == nullptr) return E_POINTER;
            mdAssemblyRef coreLibrary = mdAssemblyRefNil;
            hr = CoreLibraryReference(assemblyImport, assemblyEmit, coreLibrary);
            if (FAILED(hr)) return hr;
            if (!IsTypeToken(coreLibrary, mdtAssemblyRef)) return E_FAIL;
            hr = TypeReference(import, emit, coreLibrary, CdeclTypeName, made.callConvCdecl);
            if (FAILED(hr)) return hr;
            hr = TypeReference(import, emit, coreLibrary, SuppressGCTransitionTypeName,
                               made.callConvSuppressGCTransition);
            if (FAILED(hr)) return hr;
        }

        std::vector<uint8_t> signature;
        if (!CalliSignature(made, {ELEMENT_TYPE_U4}, signature)) return E_FAIL;
        hr = emit->GetTokenFromSig(signature.data(), static_cast<ULONG>(signature.size()), &made.idSignature);
        if (FAILED(hr)) return hr;
        // Both value probes take (address, count or length, id): one signature serves both.
        if (!CalliSignature(made, {ELEMENT_TYPE_I, ELEMENT_TYPE_U4, ELEMENT_TYPE_U4}, signature)) return E_FAIL;
        hr = emit->GetTokenFromSig(signature.data(), static_cast<ULONG>(signature.size()), &made.argumentsSignature);
        if (FAILED(hr)) return hr;
        made.valueSignature = made.argumentsSignature;
        if (!IsTypeToken(made.idSignature, mdtSignature) || !IsTypeToken(made.argumentsSignature, mdtSignature)) {
            return E_FAIL;
        }
        tokens = made;
        return S_OK;
    });
}

HRESULT ProbeInjector::Inject(ILRewriter& body, const ProbeModuleTokens& tokens, const ProbeTargets& targets,
                              const ProbeRequest& request) {
    const mdSignature oldLocals = body.GetLocalVarSigToken();
    const HRESULT result = Contained([&]() -> HRESULT {
        ILInstruction* const list = body.GetILList();
        ILInstruction* const first = list->next;
        if (first == list) return COR_E_INVALIDPROGRAM;
        const bool values = request.passValues;
        if (RidFromToken(tokens.idSignature) == 0 || (values && RidFromToken(tokens.argumentsSignature) == 0) ||
            (values && RidFromToken(tokens.valueSignature) == 0)) {
            return E_INVALIDARG;
        }
        if (values ? (targets.enterArguments == nullptr || targets.leaveValue == nullptr)
                   : (targets.enter == nullptr || targets.leave == nullptr)) {
            return E_INVALIDARG;
        }

        // Find every exit before anything is changed.
        std::vector<ILInstruction*> returns;
        std::vector<ILInstruction*> tailStarts;
        std::vector<ILInstruction*> tailReturns;
        for (ILInstruction* node = first; node != list; node = node->next) {
            if (node->opcode == CEE_JMP) {
                tailStarts.push_back(node);
            } else if (node->opcode == CEE_RET) {
                if (ILInstruction* start = TailCallStart(list, node)) {
                    tailStarts.push_back(start);
                    tailReturns.push_back(node);
                } else {
                    returns.push_back(node);
                }
            }
        }
        if (!tailStarts.empty() && targets.tailcall == nullptr) return E_INVALIDARG;
        // A branch to the `ret` of a tail call leaves without the call: it needs a leave probe of
        // its own, in a block after that ret.
        std::vector<ILInstruction*> targetedTailReturns;
        for (ILInstruction* ret : tailReturns) {
            for (ILInstruction* node = first; node != list; node = node->next) {
                if ((ILFlagsOf(node->opcode) & ILFlagBranch) != 0 && node->target == ret) {
                    targetedTailReturns.push_back(ret);
                    break;
                }
            }
        }

        MethodShape shape;
        if (values) {
            const HRESULT hr = ReadMethodShape(request, body.GetMetaDataEmit(), shape);
            if (FAILED(hr)) return hr;
        }
        const bool hasLeave = !returns.empty() || !targetedTailReturns.empty();
        unsigned local = ILRewriter::InvalidLocalIndex;
        if (values && shape.returnsValue && hasLeave) {
            local = body.AddNewLocal(shape.returnType.data(), shape.returnType.size());
            if (local == ILRewriter::InvalidLocalIndex) return E_FAIL;
        }

        const uint32_t id = request.recordId;
        Sequence enter;
        if (!values) {
            enter.IdCall(id, reinterpret_cast<const void*>(targets.enter), tokens.idSignature);
        } else {
            const auto count = static_cast<uint32_t>(shape.arguments.size());
            if (count == 0) {
                enter.Constant(0);
                enter.Add(CEE_CONV_U);
            } else {
                enter.Add(CEE_LDC_I4, static_cast<int32_t>(count * RangeSize));
                enter.Add(CEE_CONV_U);
                enter.Add(CEE_LOCALLOC);
                for (uint32_t i = 0; i < count; ++i) {
                    const auto at = static_cast<int32_t>(i * RangeSize);
                    enter.Add(CEE_DUP);
                    if (i != 0) {
                        enter.Constant(at);
                        enter.Add(CEE_ADD);
                    }
                    enter.Add(i <= 0xFF ? CEE_LDARGA_S : CEE_LDARGA, i);
                    enter.Add(CEE_CONV_U);
                    enter.Add(CEE_STIND_I);
                    enter.Add(CEE_DUP);
                    enter.Constant(at + static_cast<int32_t>(offsetof(ProbeArgumentRange, length)));
                    enter.Add(CEE_ADD);
                    enter.Size(shape.arguments[i]);
                    enter.Add(CEE_STIND_I4);
                }
            }
            enter.Constant(static_cast<int32_t>(count));
            enter.IdCall(id, reinterpret_cast<const void*>(targets.enterArguments), tokens.argumentsSignature);
        }

        Sequence leave;
        if (!values) {
            leave.IdCall(id, reinterpret_cast<const void*>(targets.leave), tokens.idSignature);
        } else if (shape.returnsValue) {
            leave.Add(local <= 0xFF ? CEE_STLOC_S : CEE_STLOC, local);
            leave.Add(local <= 0xFF ? CEE_LDLOCA_S : CEE_LDLOCA, local);
            leave.Add(CEE_CONV_U);
            leave.Size(shape.returnSize);
            leave.IdCall(id, reinterpret_cast<const void*>(targets.leaveValue), tokens.valueSignature);
            leave.Add(local <= 0xFF ? CEE_LDLOC_S : CEE_LDLOC, local);
        } else {
            leave.Constant(0);
            leave.Add(CEE_CONV_U);
            leave.Constant(0);
            leave.IdCall(id, reinterpret_cast<const void*>(targets.leaveValue), tokens.valueSignature);
        }
        Sequence leaveBlock = leave;
        leaveBlock.Add(CEE_RET);

        Sequence tail;
        tail.IdCall(id, reinterpret_cast<const void*>(targets.tailcall), tokens.idSignature);

        std::vector<Site> sites;
        sites.reserve(1 + returns.size() + tailStarts.size() + targetedTailReturns.size());
        // Before the first instruction, not through it: a branch back to offset 0 must not enter
        // again, and a try block that starts there stays after the probe.
        sites.push_back(Site{nullptr, first, nullptr, &enter, {}, nullptr});
        for (ILInstruction* ret : returns) sites.push_back(Site{ret, nullptr, nullptr, &leave, {}, nullptr});
        for (ILInstruction* start : tailStarts) sites.push_back(Site{start, nullptr, nullptr, &tail, {}, nullptr});
        for (ILInstruction* ret : targetedTailReturns) {
            sites.push_back(Site{nullptr, nullptr, ret, &leaveBlock, {}, nullptr});
        }

        // Every node is made before the first is linked, so that running short changes nothing.
        for (Site& site : sites) {
            site.nodes.reserve(site.sequence->steps.size());
            for (const Step& step : site.sequence->steps) {
                ILInstruction* node = body.CreateNewILInstruction();
                if (node == nullptr) return E_OUTOFMEMORY;
                node->opcode = step.opcode;
                node->operand = step.operand;
                site.nodes.push_back(node);
            }
            if (site.anchor != nullptr) {
                site.moved = body.CreateNewILInstruction();
                if (site.moved == nullptr) return E_OUTOFMEMORY;
            }
        }

        const unsigned stackBefore = body.GetMaxStack();
        for (Site& site : sites) {
            if (site.anchor != nullptr) {
                // Branches and clauses keep pointing at the old node, now a nop, so they reach the
                // probe; the instruction itself moves behind it.
                site.moved->opcode = site.anchor->opcode;
                site.moved->operand = site.anchor->operand;
                site.anchor->opcode = CEE_NOP;
                site.anchor->operand = 0;
                body.InsertAfter(site.anchor, site.moved);
                for (ILInstruction* node : site.nodes) body.InsertBefore(site.moved, node);
            } else if (site.where != nullptr) {
                for (ILInstruction* node : site.nodes) body.InsertBefore(site.where, node);
            } else {
                ILInstruction* at = site.after;
                for (ILInstruction* node : site.nodes) {
                    body.InsertAfter(at, node);
                    at = node;
                }
                for (ILInstruction* node = list->next; node != list; node = node->next) {
                    if ((ILFlagsOf(node->opcode) & ILFlagBranch) != 0 && node->target == site.after) {
                        node->target = site.nodes.front();
                    }
                }
            }
        }
        const unsigned extra = values ? ValueProbeStack : PlainProbeStack;
        body.SetMaxStack(stackBefore > 0xFFFFu - extra ? 0xFFFFu : stackBefore + extra);
        return S_OK;
    });
    if (FAILED(result)) body.SetLocalVarSigToken(oldLocals);
    return result;
}
