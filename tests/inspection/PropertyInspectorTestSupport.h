#pragma once

#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "inspection/FakeManagedHeap.h"
#include "support/FakeMetaDataImport.h"

// Metadata of the methods and fields the inspector reads: signatures, parameter rows, field names.
class FakeInspectionImport : public FakeMetaDataImport {
public:
    struct Param {
        ULONG sequence;
        std::u16string name;
    };
    struct Field {
        std::u16string name;
        std::vector<uint8_t> signature;
    };

    std::map<mdMethodDef, std::vector<uint8_t>> signatures;
    std::map<mdMethodDef, std::vector<mdParamDef>> methodParams;
    std::map<mdParamDef, Param> params;
    std::map<mdFieldDef, Field> fields;
    std::map<mdTypeDef, std::u16string> typeNames;
    // Flags of a type definition (0 when not given), and the type a nested one is declared in.
    std::map<mdTypeDef, DWORD> typeFlags;
    std::map<mdTypeDef, mdTypeDef> enclosingTypes;
    // GetFieldProps of this token throws a C-string, as the agent's own failures do.
    mdFieldDef throwingField = 0;
    int openEnums = 0;

    HRESULT GetMethodProps(mdMethodDef mb, mdTypeDef* pClass, WCHAR* szMethod, ULONG cchMethod, ULONG* pchMethod,
                           DWORD* pdwAttr, PCCOR_SIGNATURE* ppvSigBlob, ULONG* pcbSigBlob, ULONG* pulCodeRVA,
                           DWORD* pdwImplFlags) override {
        Count("GetMethodProps");
        auto found = signatures.find(mb);
        if (found == signatures.end()) return E_FAIL;
        *ppvSigBlob = found->second.data();
        *pcbSigBlob = static_cast<ULONG>(found->second.size());
        return S_OK;
    }

    HRESULT EnumParams(HCORENUM* phEnum, mdMethodDef mb, mdParamDef* rParams, ULONG cMax, ULONG* pcTokens) override {
        Count("EnumParams");
        auto found = methodParams.find(mb);
        if (found == methodParams.end()) return E_FAIL;
        if (*phEnum == nullptr) {
            *phEnum = reinterpret_cast<HCORENUM>(this);
            ++openEnums;
        }
        ULONG n = 0;
        for (; n < cMax && n < found->second.size(); ++n) rParams[n] = found->second[n];
        *pcTokens = n;
        return S_OK;
    }

    void CloseEnum(HCORENUM hEnum) override {
        Count("CloseEnum");
        if (hEnum != nullptr) --openEnums;
    }

    HRESULT GetParamProps(mdParamDef tk, mdMethodDef* pmd, ULONG* pulSequence, WCHAR* szName, ULONG cchName,
                          ULONG* pchName, DWORD* pdwAttr, DWORD* pdwCPlusTypeFlag, UVCP_CONSTANT* ppValue,
                          ULONG* pcchValue) override {
        Count("GetParamProps");
        auto found = params.find(tk);
        if (found == params.end()) return E_FAIL;
        *pulSequence = found->second.sequence;
        Copy(found->second.name, szName, cchName, pchName);
        return S_OK;
    }

    HRESULT GetFieldProps(mdFieldDef mb, mdTypeDef* pClass, WCHAR* szField, ULONG cchField, ULONG* pchField,
                          DWORD* pdwAttr, PCCOR_SIGNATURE* ppvSigBlob, ULONG* pcbSigBlob, ULONG* pdwCPlusTypeFlag,
                          UVCP_CONSTANT* ppValue, ULONG* pcchValue) override {
        Count("GetFieldProps");
        if (mb != 0 && mb == throwingField) throw "metadata broke";
        auto found = fields.find(mb);
        if (found == fields.end()) return E_FAIL;
        Copy(found->second.name, szField, cchField, pchField);
        *ppvSigBlob = found->second.signature.data();
        *pcbSigBlob = static_cast<ULONG>(found->second.signature.size());
        return S_OK;
    }

    HRESULT GetTypeDefProps(mdTypeDef td, WCHAR* szTypeDef, ULONG cchTypeDef, ULONG* pchTypeDef, DWORD* pdwTypeDefFlags,
                            mdToken* ptkExtends) override {
        Count("GetTypeDefProps");
        auto found = typeNames.find(td);
        if (found == typeNames.end()) return E_FAIL;
        Copy(found->second, szTypeDef, cchTypeDef, pchTypeDef);
        if (pdwTypeDefFlags != nullptr) {
            auto flags = typeFlags.find(td);
            *pdwTypeDefFlags = flags == typeFlags.end() ? 0 : flags->second;
        }
        return S_OK;
    }

    HRESULT GetNestedClassProps(mdTypeDef tdNestedClass, mdTypeDef* ptdEnclosingClass) override {
        Count("GetNestedClassProps");
        auto found = enclosingTypes.find(tdNestedClass);
        if (found == enclosingTypes.end()) return E_FAIL;
        *ptdEnclosingClass = found->second;
        return S_OK;
    }

private:
    static void Copy(const std::u16string& text, WCHAR* buffer, ULONG capacity, ULONG* length) {
        const size_t n = std::min<size_t>(text.size(), capacity - 1);
        std::memcpy(buffer, text.data(), 2 * n);
        buffer[n] = u'\0';
        *length = static_cast<ULONG>(text.size() + 1);
    }
};

// The runtime as the inspector sees it: functions with their class and module, classes with
// their layouts and base classes, objects whose first word is their class id, and one metadata
// import for every module. Installs itself in g_Context (string layout of x64) while alive.
class FakeInspectionRuntime : public FakeManagedHeap {
public:
    struct Class {
        ModuleID module = 0;
        mdTypeDef typeDef = 0;
        ClassID parent = 0;
        std::vector<COR_FIELD_OFFSET> fields;
        ULONG size = 0;
    };
    struct Function {
        ClassID klass = 0;
        ModuleID module = 0;
        mdMethodDef token = 0;
    };

    using FakeManagedHeap::FakeManagedHeap;

    FakeInspectionImport import;
    std::map<FunctionID, Function> functions;
    std::map<ClassID, Class> classes;
    std::map<std::pair<ModuleID, mdToken>, ClassID> tokens;
    bool exactFunctionInfoFails = false;
    // As inside the runtime's hooks: token queries are refused (CORPROF_E_UNSUPPORTED_CALL_SEQUENCE).
    bool insideHook = false;
    // GetClassLayout of this class fails, as a runtime that cannot answer yet.
    ClassID refusedLayout = 0;

    // A field of a class: its metadata row and its place in the layout.
    void AddField(ClassID klass, mdFieldDef token, const std::string& name, ULONG offset,
                  std::vector<uint8_t> signature) {
        import.fields[token] = {std::u16string(name.begin(), name.end()), std::move(signature)};
        classes[klass].fields.push_back({token, offset});
    }

    // An object of the class, `bytes` long, zero-filled after its class word.
    uintptr_t NewObject(ClassID klass, size_t bytes) {
        storage.emplace_back((bytes + 7) / 8 + 1, 0);
        storage.back()[0] = klass;
        return reinterpret_cast<uintptr_t>(storage.back().data());
    }

    template <typename T>
    static void Set(uintptr_t object, size_t offset, T value) {
        std::memcpy(reinterpret_cast<void*>(object + offset), &value, sizeof(value));
    }

    HRESULT GetTokenAndMetaDataFromFunction(FunctionID functionId, REFIID riid, IUnknown** ppImport,
                                            mdToken* pToken) override {
        Count("GetTokenAndMetaDataFromFunction");
        auto found = functions.find(functionId);
        if (found == functions.end()) return E_FAIL;
        import.QueryInterface(riid, reinterpret_cast<void**>(ppImport));
        *pToken = found->second.token;
        return S_OK;
    }

    HRESULT GetFunctionInfo2(FunctionID funcId, COR_PRF_FRAME_INFO frameInfo, ClassID* pClassId, ModuleID* pModuleId,
                             mdToken* pToken, ULONG32 cTypeArgs, ULONG32* pcTypeArgs, ClassID* typeArgs) override {
        Count("GetFunctionInfo2");
        auto found = functions.find(funcId);
        if (found == functions.end() || exactFunctionInfoFails) return E_FAIL;
        *pClassId = found->second.klass;
        *pModuleId = found->second.module;
        *pToken = found->second.token;
        return S_OK;
    }

    HRESULT GetFunctionInfo(FunctionID functionId, ClassID* pClassId, ModuleID* pModuleId, mdToken* pToken) override {
        Count("GetFunctionInfo");
        auto found = functions.find(functionId);
        if (found == functions.end()) return E_FAIL;
        *pClassId = found->second.klass;
        *pModuleId = found->second.module;
        *pToken = found->second.token;
        return S_OK;
    }

    HRESULT GetClassLayout(ClassID classID, COR_FIELD_OFFSET* rFieldOffset, ULONG cFieldOffset, ULONG* pcFieldOffset,
                           ULONG* pulClassSize) override {
        Count("GetClassLayout");
        auto found = classes.find(classID);
        if (found == classes.end() || classID == refusedLayout) return E_FAIL;
        const auto& fields = found->second.fields;
        *pulClassSize = found->second.size;
        if (cFieldOffset == 0 || rFieldOffset == nullptr) {
            *pcFieldOffset = static_cast<ULONG>(fields.size());
            return S_OK;
        }
        ULONG n = 0;
        for (; n < cFieldOffset && n < fields.size(); ++n) rFieldOffset[n] = fields[n];
        *pcFieldOffset = n;
        return S_OK;
    }

    HRESULT GetClassIDInfo(ClassID classId, ModuleID* pModuleId, mdTypeDef* pTypeDefToken) override {
        Count("GetClassIDInfo");
        auto found = classes.find(classId);
        if (found == classes.end()) return E_FAIL;
        *pModuleId = found->second.module;
        *pTypeDefToken = found->second.typeDef;
        return S_OK;
    }

    HRESULT GetClassIDInfo2(ClassID classId, ModuleID* pModuleId, mdTypeDef* pTypeDefToken, ClassID* pParentClassId,
                            ULONG32 cNumTypeArgs, ULONG32* pcNumTypeArgs, ClassID* typeArgs) override {
        Count("GetClassIDInfo2");
        auto found = classes.find(classId);
        if (found == classes.end()) return E_FAIL;
        *pModuleId = found->second.module;
        *pTypeDefToken = found->second.typeDef;
        *pParentClassId = found->second.parent;
        *pcNumTypeArgs = 0;
        return S_OK;
    }

    HRESULT GetModuleMetaData(ModuleID moduleId, DWORD dwOpenFlags, REFIID riid, IUnknown** ppOut) override {
        Count("GetModuleMetaData");
        if (moduleId == 0 || dwOpenFlags != ofRead) return E_FAIL;
        import.QueryInterface(riid, reinterpret_cast<void**>(ppOut));
        return S_OK;
    }

    HRESULT GetClassFromToken(ModuleID moduleId, mdTypeDef typeDef, ClassID* pClassId) override {
        Count("GetClassFromToken");
        if (insideHook) return static_cast<HRESULT>(0x80131363);
        auto found = tokens.find({moduleId, typeDef});
        if (found == tokens.end()) return E_FAIL;
        *pClassId = found->second;
        return S_OK;
    }

    HRESULT GetClassFromObject(ObjectID objectId, ClassID* pClassId) override {
        Count("GetClassFromObject");
        ClassID klass = 0;
        std::memcpy(&klass, reinterpret_cast<const void*>(objectId), sizeof(klass));
        if (classes.count(klass) == 0) return E_FAIL;
        *pClassId = klass;
        return S_OK;
    }

private:
    std::deque<std::vector<uint64_t>> storage;
};

// Argument ranges as the runtime hands them to the enter hook: one 8-byte aligned slot per
// argument, described by its address and length.
class FakeArguments {
public:
    FakeArguments& Add(const void* data, ULONG length) {
        slots.emplace_back(length / 8 + 2, 0);
        std::memcpy(slots.back().data(), data, length);
        return Range(reinterpret_cast<uintptr_t>(slots.back().data()), length);
    }
    template <typename T>
    FakeArguments& Value(T value, ULONG length = sizeof(T)) {
        return Add(&value, length);
    }
    FakeArguments& Range(uintptr_t start, ULONG length) {
        ranges.push_back({start, length});
        return *this;
    }

    COR_PRF_FUNCTION_ARGUMENT_INFO* Info() {
        block.assign(1 + 2 * ranges.size(), 0);
        auto* info = reinterpret_cast<COR_PRF_FUNCTION_ARGUMENT_INFO*>(block.data());
        info->numRanges = static_cast<ULONG>(ranges.size());
        std::memcpy(reinterpret_cast<uint8_t*>(block.data()) + 8, ranges.data(),
                    ranges.size() * sizeof(COR_PRF_FUNCTION_ARGUMENT_RANGE));
        return info;
    }

    uintptr_t Start(size_t index) const { return ranges[index].startAddress; }

private:
    std::deque<std::vector<uint64_t>> slots;
    std::vector<COR_PRF_FUNCTION_ARGUMENT_RANGE> ranges;
    std::vector<uint64_t> block;
};

// A TypeDefOrRef coded index of one byte (row numbers below 32).
inline uint8_t CodedType(mdToken token) {
    const uint8_t table = TypeFromToken(token) == mdtTypeDef ? 0 : TypeFromToken(token) == mdtTypeRef ? 1 : 2;
    return static_cast<uint8_t>(((token & 0x00FFFFFFu) << 2) | table);
}

#include <gtest/gtest.h>

#include <memory>

#include "commands/BeginCallCommand.h"
#include "inspection/PropertyInspector.h"
#include "mapping/MonitoredFunctionDefinition.h"

// One monitored method of class Shop.Order, with the classes its paths go through:
//   Shop.Order    { int _id @8; string _name @16; Shop.Customer _customer @24; long _total @32 } size 48
//   Shop.Customer { long _code @8; string _email @16 }                                          size 32
class InspectorFixture : public ::testing::Test {
protected:
    static constexpr FunctionID Function = 0xF00;
    static constexpr mdMethodDef MethodToken = 0x06000001;
    static constexpr ModuleID Module = 0x7000;
    static constexpr ClassID OrderClass = 0xC000;
    static constexpr ClassID CustomerClass = 0xC200;
    static constexpr mdTypeDef OrderType = 0x02000002;
    static constexpr mdTypeDef CustomerType = 0x02000003;

    InspectorFixture() {
        runtime.functions[Function] = {OrderClass, Module, MethodToken};
        definition.SetFunctionId(Function);
        runtime.classes[OrderClass] = {Module, OrderType, 0, {}, 48};
        runtime.AddField(OrderClass, 0x04000001, "_id", 8, {0x06, ELEMENT_TYPE_I4});
        runtime.AddField(OrderClass, 0x04000002, "_name", 16, {0x06, ELEMENT_TYPE_STRING});
        runtime.AddField(OrderClass, 0x04000003, "_customer", 24, {0x06, ELEMENT_TYPE_CLASS, CodedType(CustomerType)});
        runtime.AddField(OrderClass, 0x04000004, "_total", 32, {0x06, ELEMENT_TYPE_I8});
        runtime.classes[CustomerClass] = {Module, CustomerType, 0, {}, 32};
        runtime.AddField(CustomerClass, 0x04000011, "_code", 8, {0x06, ELEMENT_TYPE_I8});
        runtime.AddField(CustomerClass, 0x04000012, "_email", 16, {0x06, ELEMENT_TYPE_STRING});
    }

    // The method's signature and its parameter names, one metadata row per name in order.
    // A definition keeps the signature it read when its function was mapped, as the runtime
    // keeps it valid while the module is loaded: a replaced one stays alive until the test ends.
    void Signature(std::vector<uint8_t> signature, const std::vector<std::string>& names) {
        auto& current = runtime.import.signatures[MethodToken];
        if (!current.empty()) retiredSignatures.push_back(std::move(current));
        current = std::move(signature);
        auto& rows = runtime.import.methodParams[MethodToken];
        rows.clear();
        for (size_t i = 0; i < names.size(); ++i) {
            const mdParamDef token = 0x08000001 + static_cast<mdParamDef>(i);
            rows.push_back(token);
            runtime.import.params[token] = {static_cast<ULONG>(i + 1),
                                            std::u16string(names[i].begin(), names[i].end())};
        }
    }

    PropertySpec* Spec(const std::string& name, const std::string& field, CorElementType type,
                       PropertySpec* next = nullptr) {
        specs.push_back(std::make_unique<PropertySpec>(name, field, type, next));
        return specs.back().get();
    }

    uintptr_t Order(int32_t id, uintptr_t name, uintptr_t customer, int64_t total = 0) {
        const uintptr_t order = runtime.NewObject(OrderClass, 40);
        FakeInspectionRuntime::Set(order, 8, id);
        FakeInspectionRuntime::Set(order, 16, name);
        FakeInspectionRuntime::Set(order, 24, customer);
        FakeInspectionRuntime::Set(order, 32, total);
        return order;
    }

    uintptr_t Customer(int64_t code, uintptr_t email) {
        const uintptr_t customer = runtime.NewObject(CustomerClass, 24);
        FakeInspectionRuntime::Set(customer, 8, code);
        FakeInspectionRuntime::Set(customer, 16, email);
        return customer;
    }

    std::vector<VariableInfo> Capture(FakeArguments& arguments) {
        BeginCallCommand command(1, 2, 3);
        std::vector<VariableInfo> records = inspector.ExtractArgumentValues(&command, &definition, 0, arguments.Info());
        instanceId = command.GetInstanceId();
        return records;
    }

    // Every metadata reference and enumeration handed out came back.
    void ExpectMetadataReleased() {
        EXPECT_EQ(runtime.import.References(), 0);
        EXPECT_EQ(runtime.import.openEnums, 0);
    }

    FakeInspectionRuntime runtime;
    PropertyInspector inspector;
    MonitoredFunctionDefinition definition{"Shop.Order", "Place"};
    std::vector<std::unique_ptr<PropertySpec>> specs;
    std::vector<std::vector<uint8_t>> retiredSignatures;
    uint64_t instanceId = 0;
};

inline std::vector<Variables::VariableType> TypesOf(const std::vector<const VariableInfo*>& records) {
    std::vector<Variables::VariableType> types;
    for (const VariableInfo* record : records) types.push_back(record->GetType());
    return types;
}

inline std::vector<Variables::VariableType> TypesOf(const std::vector<VariableInfo>& records) {
    std::vector<Variables::VariableType> types;
    for (const VariableInfo& record : records) types.push_back(record.GetType());
    return types;
}
