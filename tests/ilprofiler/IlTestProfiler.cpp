// A minimal profiler for the end-to-end test of the probe rewriter: for every method of the
// IlRewrite app's module (except the app's Probe class) it inserts calls of Probe.Enter at entry
// and Probe.Exit before each return with ManagedProbeRewriter, and writes one line per decision
// to the file named by QX_IL_TEST_LOG. With QX_IL_TEST_ENGINE=probes (or probes-values, which
// also hands over arguments and return values) it uses ProbeInjector instead, with native
// targets in this library that count the calls per method and add up what they were given.

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <set>
#include <string>

#include "support/TestProfilerFactory.h"
#include "il/ILRewriter.h"
#include "il/ManagedProbeBuilder.h"
#include "il/ManagedProbeHandler.h"
#include "il/ProbeInjector.h"
#include "inspection/SignatureCursor.h"
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

// ---------------------------------------------------------------------------------------------
// Native probe targets. They run on the app's threads without a GC transition: no locks, no
// allocation, only relaxed atomics on a fixed table indexed by the method's row.

constexpr uint32_t MaxRecords = 4096;
constexpr uint32_t MaxSlots = 8;

// How a captured value is summed: an int32 or int64 by value, a string by its length, a value
// type by its int32 words, anything else (`this`, objects) by being non-null.
enum class Kind : uint8_t { Ignored, Int32, Int64, String, Words, Reference };

struct Record {
    std::atomic<uint64_t> enters{0};
    std::atomic<uint64_t> leaves{0};
    std::atomic<uint64_t> tailcalls{0};
    std::atomic<uint64_t> sums[MaxSlots] = {};
    std::atomic<uint64_t> returnSum{0};
    // Written when the method is rewritten, before its code first runs.
    std::atomic<bool> used{false};
    uint32_t slots = 0;
    Kind kinds[MaxSlots] = {};
    Kind returnKind = Kind::Ignored;
    bool returnsVoid = false;
    char name[128] = {};
};

Record* Records() {
    static Record* records = new Record[MaxRecords];  // read by app threads until the very end
    return records;
}

// Calls that broke a rule of the probes, by rule.
enum Anomaly { UnknownId, WrongCount, NullAddress, WrongLength, ValueOfVoid, AnomalyKinds };
const char* const AnomalyNames[AnomalyKinds] = {"unknown-id", "count", "null-address", "length", "void-value"};
std::atomic<uint32_t> anomalies[AnomalyKinds] = {};

void Anomalous(Anomaly kind) { anomalies[kind].fetch_add(1, std::memory_order_relaxed); }

Record* RecordOf(uint32_t id) {
    if (id == 0 || id >= MaxRecords || !Records()[id].used.load(std::memory_order_acquire)) {
        Anomalous(UnknownId);
        return nullptr;
    }
    return &Records()[id];
}

uint64_t ValueOf(Kind kind, uintptr_t address, uint32_t length) {
    if (address == 0) {
        Anomalous(NullAddress);
        return 0;
    }
    auto expect = [length](uint32_t size) {
        if (length != size) Anomalous(WrongLength);
        return length == size;
    };
    switch (kind) {
        case Kind::Int32: {
            int32_t value = 0;
            if (expect(4)) std::memcpy(&value, reinterpret_cast<const void*>(address), 4);
            return static_cast<uint64_t>(static_cast<int64_t>(value));
        }
        case Kind::Int64: {
            uint64_t value = 0;
            if (expect(8)) std::memcpy(&value, reinterpret_cast<const void*>(address), 8);
            return value;
        }
        case Kind::String: {
            // The slot holds the reference; the length follows the object's method table.
            uintptr_t object = 0;
            if (!expect(8)) return 0;
            std::memcpy(&object, reinterpret_cast<const void*>(address), 8);
            int32_t characters = 0;
            if (object != 0) std::memcpy(&characters, reinterpret_cast<const void*>(object + 8), 4);
            return static_cast<uint64_t>(characters);
        }
        case Kind::Words: {
            uint64_t sum = 0;
            for (uint32_t at = 0; at + 4 <= length; at += 4) {
                int32_t word = 0;
                std::memcpy(&word, reinterpret_cast<const void*>(address + at), 4);
                sum += static_cast<uint64_t>(static_cast<int64_t>(word));
            }
            return sum;
        }
        case Kind::Reference: {
            uintptr_t object = 0;
            if (expect(8)) std::memcpy(&object, reinterpret_cast<const void*>(address), 8);
            return object != 0 ? 1 : 0;
        }
        default:
            return 0;
    }
}

void ProbeEnter(uint32_t id) {
    if (Record* record = RecordOf(id)) record->enters.fetch_add(1, std::memory_order_relaxed);
}

void ProbeLeave(uint32_t id) {
    if (Record* record = RecordOf(id)) record->leaves.fetch_add(1, std::memory_order_relaxed);
}

void ProbeTailcall(uint32_t id) {
    if (Record* record = RecordOf(id)) record->tailcalls.fetch_add(1, std::memory_order_relaxed);
}

void ProbeEnterArguments(const ProbeArgumentRange* ranges, uint32_t count, uint32_t id) {
    Record* record = RecordOf(id);
    if (record == nullptr) return;
    record->enters.fetch_add(1, std::memory_order_relaxed);
    if (count != record->slots || (count != 0 && ranges == nullptr) || (count == 0 && ranges != nullptr)) {
        Anomalous(WrongCount);
        return;
    }
    for (uint32_t i = 0; i < count && i < MaxSlots; ++i) {
        if (record->kinds[i] == Kind::Ignored) continue;
        record->sums[i].fetch_add(ValueOf(record->kinds[i], ranges[i].startAddress, ranges[i].length),
                                  std::memory_order_relaxed);
    }
}

void ProbeLeaveValue(const void* address, uint32_t length, uint32_t id) {
    Record* record = RecordOf(id);
    if (record == nullptr) return;
    record->leaves.fetch_add(1, std::memory_order_relaxed);
    if (record->returnsVoid) {
        if (address != nullptr || length != 0) Anomalous(ValueOfVoid);
        return;
    }
    if (address == nullptr || length == 0) Anomalous(NullAddress);
    if (record->returnKind == Kind::Ignored) return;
    record->returnSum.fetch_add(ValueOf(record->returnKind, reinterpret_cast<uintptr_t>(address), length),
                                std::memory_order_relaxed);
}

constexpr ProbeTargets NativeTargets{ProbeEnter, ProbeLeave, ProbeTailcall, ProbeEnterArguments, ProbeLeaveValue};

Kind KindAt(SignatureCursor& cursor) {
    uint8_t type = 0;
    for (;;) {
        if (!cursor.PeekByte(type)) return Kind::Ignored;
        if (type != ELEMENT_TYPE_CMOD_OPT && type != ELEMENT_TYPE_CMOD_REQD) break;
        mdToken modifier = 0;
        cursor.Skip(1);
        cursor.ReadTypeDefOrRef(modifier);
    }
    Kind kind = Kind::Reference;
    switch (type) {
        case ELEMENT_TYPE_I4:
            kind = Kind::Int32;
            break;
        case ELEMENT_TYPE_I8:
            kind = Kind::Int64;
            break;
        case ELEMENT_TYPE_STRING:
            kind = Kind::String;
            break;
        case ELEMENT_TYPE_VALUETYPE:
            kind = Kind::Words;
            break;
        case ELEMENT_TYPE_GENERICINST: {
            uint8_t generic = 0;
            SignatureCursor peek = cursor;
            peek.Skip(1);
            kind = peek.PeekByte(generic) && generic == ELEMENT_TYPE_CLASS ? Kind::Reference : Kind::Ignored;
            break;
        }
        case ELEMENT_TYPE_CLASS:
        case ELEMENT_TYPE_OBJECT:
        case ELEMENT_TYPE_SZARRAY:
            kind = Kind::Reference;
            break;
        default:
            kind = Kind::Ignored;
            break;
    }
    cursor.SkipType();
    return kind;
}

// What the targets need to know of a method to sum its values; false for shapes this test does
// not cover (more than MaxSlots values).
bool Describe(Record& record, PCCOR_SIGNATURE signature, ULONG length) {
    SignatureCursor cursor(signature, length);
    uint8_t convention = 0;
    uint32_t number = 0, parameters = 0;
    if (!cursor.ReadByte(convention)) return false;
    if ((convention & IMAGE_CEE_CS_CALLCONV_GENERIC) != 0 && !cursor.ReadCompressed(number)) return false;
    if (!cursor.ReadCompressed(parameters)) return false;
    const bool hasThis = (convention & IMAGE_CEE_CS_CALLCONV_HASTHIS) != 0;
    if (parameters + (hasThis ? 1 : 0) > MaxSlots) return false;
    uint8_t first = 0;
    if (!cursor.PeekByte(first)) return false;
    if (first == ELEMENT_TYPE_VOID) {
        cursor.Skip(1);
        record.returnsVoid = true;
    } else {
        record.returnKind = KindAt(cursor);
    }
    uint32_t slot = 0;
    if (hasThis) record.kinds[slot++] = Kind::Reference;
    for (uint32_t i = 0; i < parameters; ++i) record.kinds[slot++] = KindAt(cursor);
    record.slots = slot;
    return cursor.GetOffset() <= length;
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
            ProbeModuleTokens tokens;
            if (engine != Engine::Managed) {
                const HRESULT prepared = PrepareProbes(moduleId, tokens);
                Log().Line("prepare hr=0x%08x cdecl=0x%08x suppress=0x%08x id=0x%08x values=0x%08x",
                           static_cast<unsigned>(prepared), tokens.callConvCdecl, tokens.callConvSuppressGCTransition,
                           tokens.idSignature, tokens.argumentsSignature);
                if (FAILED(prepared)) return S_OK;
            }
            std::lock_guard<std::mutex> lock(mutex);
            probeType = type;
            enterProbe = enter;
            exitProbe = exit;
            probeTokens = tokens;
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

    // An inlined copy is the original body: the probe engine keeps its targets from being
    // inlined, and so does this profiler with its native probes. Methods with a localloc (the
    // argument block) and loops skip tier 0, so their callers inline early.
    HRESULT JITInlining(FunctionID, FunctionID calleeId, BOOL* shouldInline) override {
        try {
            if (engine == Engine::Managed || shouldInline == nullptr || info == nullptr) return S_OK;
            ClassID classId = 0;
            ModuleID moduleId = 0;
            mdToken token = 0;
            if (SUCCEEDED(info->GetFunctionInfo(calleeId, &classId, &moduleId, &token)) && moduleId != 0 &&
                moduleId == AppModule()) {
                *shouldInline = FALSE;
            }
        } catch (...) {
            Log().Line("error in JITInlining");
        }
        return S_OK;
    }

    HRESULT Shutdown() override {
        std::lock_guard<std::mutex> lock(mutex);
        if (engine != Engine::Managed) ReportProbes();
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

        if (engine != Engine::Managed) {
            InjectProbes(moduleId, token, name);
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

    enum class Engine { Managed, Probes, ProbeValues };

    static Engine EngineFromEnvironment() {
        const char* name = std::getenv("QX_IL_TEST_ENGINE");
        if (name == nullptr) return Engine::Managed;
        if (std::strcmp(name, "probes") == 0) return Engine::Probes;
        if (std::strcmp(name, "probes-values") == 0) return Engine::ProbeValues;
        return Engine::Managed;
    }

    HRESULT PrepareProbes(ModuleID moduleId, ProbeModuleTokens& tokens) {
        IUnknown* unknown = nullptr;
        HRESULT hr = info->GetModuleMetaData(moduleId, ofRead | ofWrite, &IID_IMetaDataImport, &unknown);
        if (FAILED(hr) || unknown == nullptr) return FAILED(hr) ? hr : E_FAIL;
        auto* import = static_cast<IMetaDataImport*>(unknown);
        void* emit = nullptr;
        void* assemblyImport = nullptr;
        void* assemblyEmit = nullptr;
        import->QueryInterface(&IID_IMetaDataEmit, &emit);
        import->QueryInterface(&IID_IMetaDataAssemblyImport, &assemblyImport);
        import->QueryInterface(&IID_IMetaDataAssemblyEmit, &assemblyEmit);
        hr = ProbeInjector::PrepareModule(import, static_cast<IMetaDataEmit*>(emit),
                                          static_cast<IMetaDataAssemblyImport*>(assemblyImport),
                                          static_cast<IMetaDataAssemblyEmit*>(assemblyEmit), false, tokens);
        if (emit != nullptr) static_cast<IMetaDataEmit*>(emit)->Release();
        if (assemblyImport != nullptr) static_cast<IMetaDataAssemblyImport*>(assemblyImport)->Release();
        if (assemblyEmit != nullptr) static_cast<IMetaDataAssemblyEmit*>(assemblyEmit)->Release();
        import->Release();
        return hr;
    }

    void InjectProbes(ModuleID moduleId, mdToken token, const std::string& name) {
        const uint32_t id = RidFromToken(token);
        if (id >= MaxRecords) return;
        ProbeModuleTokens tokens;
        {
            std::lock_guard<std::mutex> lock(mutex);
            tokens = probeTokens;
        }
        ILRewriter rewriter(info, nullptr, moduleId, token);
        HRESULT hr = rewriter.Initialize();
        if (SUCCEEDED(hr)) hr = rewriter.Import();
        // C# never writes `tail.`; this method gets it on each call that is directly returned, so
        // that the JIT compiles explicit tail calls behind their probes.
        if (SUCCEEDED(hr) && name.size() > 13 && name.compare(name.size() - 13, 13, "::TailForward") == 0) {
            for (ILInstruction* node = rewriter.GetILList()->next; node != rewriter.GetILList(); node = node->next) {
                if (node->opcode != CEE_CALL || node->next->opcode != CEE_RET) continue;
                ILInstruction* prefix = rewriter.CreateNewILInstruction();
                if (prefix == nullptr) return;
                prefix->opcode = CEE_TAILCALL;
                rewriter.InsertBefore(node, prefix);
            }
        }
        const Shape before = ShapeOf(rewriter);
        const unsigned codeBefore = rewriter.GetCodeSize();
        // Branches to the first instruction and a protected block starting there: the shapes the
        // enter probe must stay out of.
        unsigned loopsToStart = 0;
        bool tryAtStart = false;
        ILInstruction* first = rewriter.GetILList()->next;
        for (ILInstruction* node = first; SUCCEEDED(hr) && node != rewriter.GetILList(); node = node->next) {
            if ((ILFlagsOf(node->opcode) & ILFlagBranch) != 0 && node->target == first) ++loopsToStart;
        }
        for (unsigned i = 0; SUCCEEDED(hr) && i < rewriter.GetEHCount(); ++i) {
            tryAtStart = tryAtStart || rewriter.GetEHClauses()[i].tryBegin == first;
        }

        Record& record = Records()[id];
        ProbeRequest request;
        request.recordId = id;
        request.passValues = engine == Engine::ProbeValues;
        PCCOR_SIGNATURE signature = nullptr;
        ULONG signatureLength = 0;
        if (SUCCEEDED(hr)) {
            mdTypeDef owner = 0;
            ULONG length = 0;
            DWORD attributes = 0;
            hr = rewriter.GetMetaDataImport()->GetMethodProps(token, &owner, nullptr, 0, &length, &attributes,
                                                              &signature, &signatureLength, nullptr, nullptr);
        }
        if (SUCCEEDED(hr) && !Describe(record, signature, signatureLength)) hr = E_NOTIMPL;
        std::snprintf(record.name, sizeof(record.name), "%s", name.c_str());
        record.used.store(true, std::memory_order_release);
        request.signature = signature;
        request.signatureLength = signatureLength;
        if (SUCCEEDED(hr)) hr = ProbeInjector::Inject(rewriter, tokens, NativeTargets, request);
        if (SUCCEEDED(hr)) hr = rewriter.Export();
        Log().Line(
            "probe-rewrite 0x%08x %s hr=0x%08x values=%d returns=%u switches=%u clauses=%u loops0=%u "
            "try0=%d code=%u->%u",
            token, name.c_str(), static_cast<unsigned>(hr), request.passValues ? 1 : 0, before.returns, before.switches,
            before.clauses, loopsToStart, tryAtStart ? 1 : 0, codeBefore, rewriter.GetCodeSize());
    }

    void ReportProbes() {
        for (uint32_t id = 1; id < MaxRecords; ++id) {
            Record& record = Records()[id];
            if (!record.used.load(std::memory_order_acquire)) continue;
            Log().Line("probe-count %s %llu %llu %llu", record.name,
                       static_cast<unsigned long long>(record.enters.load(std::memory_order_relaxed)),
                       static_cast<unsigned long long>(record.leaves.load(std::memory_order_relaxed)),
                       static_cast<unsigned long long>(record.tailcalls.load(std::memory_order_relaxed)));
            if (engine != Engine::ProbeValues) continue;
            std::string line = std::string("probe-values ") + record.name;
            for (uint32_t i = 0; i < record.slots; ++i) {
                line += " " + std::to_string(static_cast<int64_t>(record.sums[i].load(std::memory_order_relaxed)));
            }
            line += " ret " + std::to_string(static_cast<int64_t>(record.returnSum.load(std::memory_order_relaxed)));
            Log().Line("%s", line.c_str());
        }
        std::string line = "probe-anomalies";
        for (int kind = 0; kind < AnomalyKinds; ++kind) {
            line += std::string(" ") + AnomalyNames[kind] + "=" +
                    std::to_string(anomalies[kind].load(std::memory_order_relaxed));
        }
        Log().Line("%s", line.c_str());
    }

    const Engine engine = EngineFromEnvironment();
    ProbeModuleTokens probeTokens;
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
