#pragma once

// Tokens, signature and attribute constants, method-body flags and result codes of the
// runtime's metadata layer.

#include "platform/ComTypes.h"

// A token is the table number in the top byte and the row (RID) in the low 24 bits.
using mdToken = uint32_t;
using RID = uint32_t;
using mdModule = mdToken;
using mdTypeRef = mdToken;
using mdTypeDef = mdToken;
using mdFieldDef = mdToken;
using mdMethodDef = mdToken;
using mdParamDef = mdToken;
using mdInterfaceImpl = mdToken;
using mdMemberRef = mdToken;
using mdCustomAttribute = mdToken;
using mdPermission = mdToken;
using mdSignature = mdToken;
using mdEvent = mdToken;
using mdProperty = mdToken;
using mdModuleRef = mdToken;
using mdAssembly = mdToken;
using mdAssemblyRef = mdToken;
using mdFile = mdToken;
using mdExportedType = mdToken;
using mdManifestResource = mdToken;
using mdTypeSpec = mdToken;
using mdGenericParam = mdToken;
using mdMethodSpec = mdToken;
using mdGenericParamConstraint = mdToken;
using mdString = mdToken;
using mdCPToken = mdToken;

using HCORENUM = void*;
using COR_SIGNATURE = uint8_t;
using PCCOR_SIGNATURE = const COR_SIGNATURE*;
using PCOR_SIGNATURE = COR_SIGNATURE*;
using MDUTF8CSTR = const char*;
using UVCP_CONSTANT = const void*;

enum CorTokenType : uint32_t {
    mdtModule = 0x00000000,
    mdtTypeRef = 0x01000000,
    mdtTypeDef = 0x02000000,
    mdtFieldDef = 0x04000000,
    mdtMethodDef = 0x06000000,
    mdtParamDef = 0x08000000,
    mdtInterfaceImpl = 0x09000000,
    mdtMemberRef = 0x0A000000,
    mdtCustomAttribute = 0x0C000000,
    mdtPermission = 0x0E000000,
    mdtSignature = 0x11000000,
    mdtEvent = 0x14000000,
    mdtProperty = 0x17000000,
    mdtMethodImpl = 0x19000000,
    mdtModuleRef = 0x1A000000,
    mdtTypeSpec = 0x1B000000,
    mdtAssembly = 0x20000000,
    mdtAssemblyRef = 0x23000000,
    mdtFile = 0x26000000,
    mdtExportedType = 0x27000000,
    mdtManifestResource = 0x28000000,
    mdtGenericParam = 0x2A000000,
    mdtMethodSpec = 0x2B000000,
    mdtGenericParamConstraint = 0x2C000000,
    mdtString = 0x70000000,
    mdtName = 0x71000000,
    mdtBaseType = 0x72000000,
};

constexpr mdToken TypeFromToken(mdToken tk) { return tk & 0xFF000000u; }
constexpr RID RidFromToken(mdToken tk) { return tk & 0x00FFFFFFu; }
constexpr mdToken TokenFromRid(RID rid, mdToken type) { return rid | type; }
// A nil token keeps its table byte and has row 0.
constexpr bool IsNilToken(mdToken tk) { return RidFromToken(tk) == 0; }

inline constexpr mdToken mdTokenNil = 0;
inline constexpr mdModule mdModuleNil = mdtModule;
inline constexpr mdTypeRef mdTypeRefNil = mdtTypeRef;
inline constexpr mdTypeDef mdTypeDefNil = mdtTypeDef;
inline constexpr mdFieldDef mdFieldDefNil = mdtFieldDef;
inline constexpr mdMethodDef mdMethodDefNil = mdtMethodDef;
inline constexpr mdMemberRef mdMemberRefNil = mdtMemberRef;
inline constexpr mdModuleRef mdModuleRefNil = mdtModuleRef;
inline constexpr mdAssemblyRef mdAssemblyRefNil = mdtAssemblyRef;
inline constexpr mdSignature mdSignatureNil = mdtSignature;

// Four bytes as an API value; one byte inside signature blobs.
enum CorElementType : uint32_t {
    ELEMENT_TYPE_END = 0x00,
    ELEMENT_TYPE_VOID = 0x01,
    ELEMENT_TYPE_BOOLEAN = 0x02,
    ELEMENT_TYPE_CHAR = 0x03,
    ELEMENT_TYPE_I1 = 0x04,
    ELEMENT_TYPE_U1 = 0x05,
    ELEMENT_TYPE_I2 = 0x06,
    ELEMENT_TYPE_U2 = 0x07,
    ELEMENT_TYPE_I4 = 0x08,
    ELEMENT_TYPE_U4 = 0x09,
    ELEMENT_TYPE_I8 = 0x0A,
    ELEMENT_TYPE_U8 = 0x0B,
    ELEMENT_TYPE_R4 = 0x0C,
    ELEMENT_TYPE_R8 = 0x0D,
    ELEMENT_TYPE_STRING = 0x0E,
    ELEMENT_TYPE_PTR = 0x0F,
    ELEMENT_TYPE_BYREF = 0x10,
    ELEMENT_TYPE_VALUETYPE = 0x11,
    ELEMENT_TYPE_CLASS = 0x12,
    ELEMENT_TYPE_VAR = 0x13,
    ELEMENT_TYPE_ARRAY = 0x14,
    ELEMENT_TYPE_GENERICINST = 0x15,
    ELEMENT_TYPE_TYPEDBYREF = 0x16,
    ELEMENT_TYPE_I = 0x18,
    ELEMENT_TYPE_U = 0x19,
    ELEMENT_TYPE_FNPTR = 0x1B,
    ELEMENT_TYPE_OBJECT = 0x1C,
    ELEMENT_TYPE_SZARRAY = 0x1D,
    ELEMENT_TYPE_MVAR = 0x1E,
    ELEMENT_TYPE_CMOD_REQD = 0x1F,
    ELEMENT_TYPE_CMOD_OPT = 0x20,
    ELEMENT_TYPE_INTERNAL = 0x21,
    ELEMENT_TYPE_MAX = 0x22,
    ELEMENT_TYPE_MODIFIER = 0x40,
    ELEMENT_TYPE_SENTINEL = 0x41,
    ELEMENT_TYPE_PINNED = 0x45,
};

// First byte of a signature blob.
enum CorCallingConvention : uint32_t {
    IMAGE_CEE_CS_CALLCONV_DEFAULT = 0x0,
    IMAGE_CEE_CS_CALLCONV_VARARG = 0x5,
    IMAGE_CEE_CS_CALLCONV_FIELD = 0x6,
    IMAGE_CEE_CS_CALLCONV_LOCAL_SIG = 0x7,
    IMAGE_CEE_CS_CALLCONV_PROPERTY = 0x8,
    IMAGE_CEE_CS_CALLCONV_UNMANAGED = 0x9,
    IMAGE_CEE_CS_CALLCONV_GENERICINST = 0xA,
    IMAGE_CEE_CS_CALLCONV_MASK = 0x0F,
    IMAGE_CEE_CS_CALLCONV_GENERIC = 0x10,
    IMAGE_CEE_CS_CALLCONV_HASTHIS = 0x20,
    IMAGE_CEE_CS_CALLCONV_EXPLICITTHIS = 0x40,
};

enum CorTypeAttr : uint32_t {
    tdVisibilityMask = 0x7,
    tdNotPublic = 0x0,
    tdPublic = 0x1,
    tdNestedPublic = 0x2,
    tdNestedPrivate = 0x3,
    tdNestedFamily = 0x4,
    tdNestedAssembly = 0x5,
    tdNestedFamANDAssem = 0x6,
    tdNestedFamORAssem = 0x7,
    tdLayoutMask = 0x18,
    tdAutoLayout = 0x0,
    tdSequentialLayout = 0x8,
    tdExplicitLayout = 0x10,
    tdInterface = 0x20,
    tdAbstract = 0x80,
    tdSealed = 0x100,
    tdSpecialName = 0x400,
    tdRTSpecialName = 0x800,
    tdImport = 0x1000,
    tdSerializable = 0x2000,
    tdWindowsRuntime = 0x4000,
    tdStringFormatMask = 0x30000,
    tdHasSecurity = 0x40000,
    tdBeforeFieldInit = 0x100000,
    tdForwarder = 0x200000,
};

constexpr bool IsTdNested(DWORD flags) { return (flags & tdVisibilityMask) >= tdNestedPublic; }

enum CorMethodAttr : uint32_t {
    mdMemberAccessMask = 0x7,
    mdPrivateScope = 0x0,
    mdPrivate = 0x1,
    mdFamANDAssem = 0x2,
    mdAssem = 0x3,
    mdFamily = 0x4,
    mdFamORAssem = 0x5,
    mdPublic = 0x6,
    mdStatic = 0x10,
    mdFinal = 0x20,
    mdVirtual = 0x40,
    mdHideBySig = 0x80,
    mdNewSlot = 0x100,
    mdAbstract = 0x400,
    mdSpecialName = 0x800,
    mdRTSpecialName = 0x1000,
    mdPinvokeImpl = 0x2000,
};

enum CorMethodImpl : uint32_t {
    miCodeTypeMask = 0x3,
    miIL = 0x0,
    miNative = 0x1,
    miOPTIL = 0x2,
    miRuntime = 0x3,
    miUnmanaged = 0x4,
    miNoInlining = 0x8,
    miSynchronized = 0x20,
    miNoOptimization = 0x40,
    miAggressiveInlining = 0x100,
    miAggressiveOptimization = 0x200,
    miInternalCall = 0x1000,
};

// Method body header; the format is in the low two bits (tiny = 2, fat = 3).
enum CorILMethodFlags : uint32_t {
    CorILMethod_SmallFormat = 0x0,
    CorILMethod_TinyFormat = 0x2,
    CorILMethod_FatFormat = 0x3,
    CorILMethod_TinyFormat1 = 0x6,
    CorILMethod_FormatMask = 0x7,
    CorILMethod_FormatShift = 3,
    CorILMethod_MoreSects = 0x8,
    CorILMethod_InitLocals = 0x10,
    CorILMethod_CompressedIL = 0x40,
};

// Extra sections after the code.
enum CorILMethodSect : uint32_t {
    CorILMethod_Sect_EHTable = 0x1,
    CorILMethod_Sect_OptILTable = 0x2,
    CorILMethod_Sect_KindMask = 0x3F,
    CorILMethod_Sect_FatFormat = 0x40,
    CorILMethod_Sect_MoreSects = 0x80,
};

enum CorExceptionFlag : uint32_t {
    COR_ILEXCEPTION_CLAUSE_NONE = 0x0,
    COR_ILEXCEPTION_CLAUSE_OFFSETLEN = 0x0,
    COR_ILEXCEPTION_CLAUSE_DEPRECATED = 0x0,
    COR_ILEXCEPTION_CLAUSE_FILTER = 0x1,
    COR_ILEXCEPTION_CLAUSE_FINALLY = 0x2,
    COR_ILEXCEPTION_CLAUSE_FAULT = 0x4,
    COR_ILEXCEPTION_CLAUSE_DUPLICATED = 0x8,
};

// GetModuleMetaData accepts only ofRead, ofWrite and ofNoTransform.
enum CorOpenFlags : uint32_t {
    ofRead = 0x0,
    ofWrite = 0x1,
    ofCopyMemory = 0x2,
    ofReadOnly = 0x10,
    ofTakeOwnership = 0x20,
    ofNoTypeLib = 0x80,
    ofNoTransform = 0x1000,
};

enum CorSaveSize : uint32_t {
    cssAccurate = 0,
    cssQuick = 1,
    cssDiscardTransientCAs = 2,
};

// Runtime and metadata result codes. The two "_S_" codes are successes.
inline constexpr HRESULT COR_E_EXECUTIONENGINE = static_cast<HRESULT>(0x80131506u);
inline constexpr HRESULT COR_E_MISSINGMETHOD = static_cast<HRESULT>(0x80131513u);
inline constexpr HRESULT COR_E_NOTSUPPORTED = static_cast<HRESULT>(0x80131515u);
inline constexpr HRESULT COR_E_OVERFLOW = static_cast<HRESULT>(0x80131516u);
inline constexpr HRESULT COR_E_TYPELOAD = static_cast<HRESULT>(0x80131522u);
inline constexpr HRESULT COR_E_INVALIDPROGRAM = static_cast<HRESULT>(0x8013153Au);

inline constexpr HRESULT CLDB_E_FILE_CORRUPT = static_cast<HRESULT>(0x8013110Eu);
inline constexpr HRESULT CLDB_E_INDEX_NOTFOUND = static_cast<HRESULT>(0x80131124u);
inline constexpr HRESULT CLDB_E_RECORD_NOTFOUND = static_cast<HRESULT>(0x80131130u);
inline constexpr HRESULT CLDB_S_TRUNCATION = static_cast<HRESULT>(0x00131106u);
inline constexpr HRESULT META_E_INVALID_TOKEN_TYPE = static_cast<HRESULT>(0x8013115Fu);
inline constexpr HRESULT META_E_BADMETADATA = static_cast<HRESULT>(0x8013118Au);
inline constexpr HRESULT META_E_BAD_SIGNATURE = static_cast<HRESULT>(0x80131192u);
inline constexpr HRESULT META_E_BAD_INPUT_PARAMETER = static_cast<HRESULT>(0x80131193u);
inline constexpr HRESULT META_E_CANNOTRESOLVETYPEREF = static_cast<HRESULT>(0x80131196u);
inline constexpr HRESULT META_S_DUPLICATE = static_cast<HRESULT>(0x00131197u);

// ---------------------------------------------------------------------------------------------
// Structs used by the metadata interfaces.

struct COR_FIELD_OFFSET {
    mdFieldDef ridOfField;
    ULONG ulOffset;
};
static_assert(sizeof(COR_FIELD_OFFSET) == 8 && alignof(COR_FIELD_OFFSET) == 4);

struct OSINFO {
    DWORD dwOSPlatformId;
    DWORD dwOSMajorVersion;
    DWORD dwOSMinorVersion;
};
static_assert(sizeof(OSINFO) == 12 && alignof(OSINFO) == 4);

// cbLocale counts UTF-16 units despite its name; readers set ulProcessor and ulOS to 0.
struct ASSEMBLYMETADATA {
    USHORT usMajorVersion;
    USHORT usMinorVersion;
    USHORT usBuildNumber;
    USHORT usRevisionNumber;
    LPWSTR szLocale;
    ULONG cbLocale;
    DWORD* rProcessor;
    ULONG ulProcessor;
    OSINFO* rOS;
    ULONG ulOS;
};
static_assert(sizeof(ASSEMBLYMETADATA) == 56 && alignof(ASSEMBLYMETADATA) == 8);
static_assert(offsetof(ASSEMBLYMETADATA, szLocale) == 8 && offsetof(ASSEMBLYMETADATA, cbLocale) == 16);
static_assert(offsetof(ASSEMBLYMETADATA, rProcessor) == 24 && offsetof(ASSEMBLYMETADATA, ulProcessor) == 32);
static_assert(offsetof(ASSEMBLYMETADATA, rOS) == 40 && offsetof(ASSEMBLYMETADATA, ulOS) == 48);

struct COR_SECATTR {
    mdMemberRef tkCtor;
    const void* pCustomAttribute;
    ULONG cbCustomAttribute;
};
static_assert(sizeof(COR_SECATTR) == 24 && offsetof(COR_SECATTR, pCustomAttribute) == 8);
static_assert(offsetof(COR_SECATTR, cbCustomAttribute) == 16);
