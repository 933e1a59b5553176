#pragma once

// The runtime's metadata interfaces. The assembly interfaces do not derive from the module ones;
// they are obtained by QueryInterface on the same object, never by a cast.
// Name-returning methods report lengths in UTF-16 units including the terminating NUL, and
// answer CLDB_S_TRUNCATION (a success) when the buffer was too small.

#include "platform/MetaDataTypes.h"

struct IStream;
struct IMapToken;
struct IMetaDataImport;
struct IMetaDataEmit;
struct IMetaDataAssemblyImport;
struct IMetaDataAssemblyEmit;

// Slots 3-64. GetEventProps and GetPropertyProps declare their name buffer const although they
// write into it; callers pass a writable buffer.
#define QX_IMETADATAIMPORT_METHODS(X)                                                                                 \
    X(3, void, CloseEnum, (HCORENUM hEnum))                                                                           \
    X(4, HRESULT, CountEnum, (HCORENUM hEnum, ULONG * pulCount))                                                      \
    X(5, HRESULT, ResetEnum, (HCORENUM hEnum, ULONG ulPos))                                                           \
    X(6, HRESULT, EnumTypeDefs, (HCORENUM * phEnum, mdTypeDef * rTypeDefs, ULONG cMax, ULONG * pcTypeDefs))           \
    X(7, HRESULT, EnumInterfaceImpls,                                                                                 \
      (HCORENUM * phEnum, mdTypeDef td, mdInterfaceImpl * rImpls, ULONG cMax, ULONG * pcImpls))                       \
    X(8, HRESULT, EnumTypeRefs, (HCORENUM * phEnum, mdTypeRef * rTypeRefs, ULONG cMax, ULONG * pcTypeRefs))           \
    X(9, HRESULT, FindTypeDefByName, (LPCWSTR szTypeDef, mdToken tkEnclosingClass, mdTypeDef * ptd))                  \
    X(10, HRESULT, GetScopeProps, (WCHAR * szName, ULONG cchName, ULONG * pchName, GUID * pmvid))                     \
    X(11, HRESULT, GetModuleFromScope, (mdModule * pmd))                                                              \
    X(12, HRESULT, GetTypeDefProps,                                                                                   \
      (mdTypeDef td, WCHAR * szTypeDef, ULONG cchTypeDef, ULONG * pchTypeDef, DWORD * pdwTypeDefFlags,                \
       mdToken * ptkExtends))                                                                                         \
    X(13, HRESULT, GetInterfaceImplProps, (mdInterfaceImpl iiImpl, mdTypeDef * pClass, mdToken * ptkIface))           \
    X(14, HRESULT, GetTypeRefProps,                                                                                   \
      (mdTypeRef tr, mdToken * ptkResolutionScope, WCHAR * szName, ULONG cchName, ULONG * pchName))                   \
    X(15, HRESULT, ResolveTypeRef, (mdTypeRef tr, REFIID riid, IUnknown * *ppIScope, mdTypeDef * ptd))                \
    X(16, HRESULT, EnumMembers, (HCORENUM * phEnum, mdTypeDef cl, mdToken * rMembers, ULONG cMax, ULONG * pcTokens))  \
    X(17, HRESULT, EnumMembersWithName,                                                                               \
      (HCORENUM * phEnum, mdTypeDef cl, LPCWSTR szName, mdToken * rMembers, ULONG cMax, ULONG * pcTokens))            \
    X(18, HRESULT, EnumMethods,                                                                                       \
      (HCORENUM * phEnum, mdTypeDef cl, mdMethodDef * rMethods, ULONG cMax, ULONG * pcTokens))                        \
    X(19, HRESULT, EnumMethodsWithName,                                                                               \
      (HCORENUM * phEnum, mdTypeDef cl, LPCWSTR szName, mdMethodDef * rMethods, ULONG cMax, ULONG * pcTokens))        \
    X(20, HRESULT, EnumFields, (HCORENUM * phEnum, mdTypeDef cl, mdFieldDef * rFields, ULONG cMax, ULONG * pcTokens)) \
    X(21, HRESULT, EnumFieldsWithName,                                                                                \
      (HCORENUM * phEnum, mdTypeDef cl, LPCWSTR szName, mdFieldDef * rFields, ULONG cMax, ULONG * pcTokens))          \
    X(22, HRESULT, EnumParams,                                                                                        \
      (HCORENUM * phEnum, mdMethodDef mb, mdParamDef * rParams, ULONG cMax, ULONG * pcTokens))                        \
    X(23, HRESULT, EnumMemberRefs,                                                                                    \
      (HCORENUM * phEnum, mdToken tkParent, mdMemberRef * rMemberRefs, ULONG cMax, ULONG * pcTokens))                 \
    X(24, HRESULT, EnumMethodImpls,                                                                                   \
      (HCORENUM * phEnum, mdTypeDef td, mdToken * rMethodBody, mdToken * rMethodDecl, ULONG cMax, ULONG * pcTokens))  \
    X(25, HRESULT, EnumPermissionSets,                                                                                \
      (HCORENUM * phEnum, mdToken tk, DWORD dwActions, mdPermission * rPermission, ULONG cMax, ULONG * pcTokens))     \
    X(26, HRESULT, FindMember,                                                                                        \
      (mdTypeDef td, LPCWSTR szName, PCCOR_SIGNATURE pvSigBlob, ULONG cbSigBlob, mdToken * pmb))                      \
    X(27, HRESULT, FindMethod,                                                                                        \
      (mdTypeDef td, LPCWSTR szName, PCCOR_SIGNATURE pvSigBlob, ULONG cbSigBlob, mdMethodDef * pmb))                  \
    X(28, HRESULT, FindField,                                                                                         \
      (mdTypeDef td, LPCWSTR szName, PCCOR_SIGNATURE pvSigBlob, ULONG cbSigBlob, mdFieldDef * pmb))                   \
    X(29, HRESULT, FindMemberRef,                                                                                     \
      (mdTypeRef td, LPCWSTR szName, PCCOR_SIGNATURE pvSigBlob, ULONG cbSigBlob, mdMemberRef * pmr))                  \
    X(30, HRESULT, GetMethodProps,                                                                                    \
      (mdMethodDef mb, mdTypeDef * pClass, WCHAR * szMethod, ULONG cchMethod, ULONG * pchMethod, DWORD * pdwAttr,     \
       PCCOR_SIGNATURE * ppvSigBlob, ULONG * pcbSigBlob, ULONG * pulCodeRVA, DWORD * pdwImplFlags))                   \
    X(31, HRESULT, GetMemberRefProps,                                                                                 \
      (mdMemberRef mr, mdToken * ptk, WCHAR * szMember, ULONG cchMember, ULONG * pchMember,                           \
       PCCOR_SIGNATURE * ppvSigBlob, ULONG * pbSig))                                                                  \
    X(32, HRESULT, EnumProperties,                                                                                    \
      (HCORENUM * phEnum, mdTypeDef td, mdProperty * rProperties, ULONG cMax, ULONG * pcProperties))                  \
    X(33, HRESULT, EnumEvents, (HCORENUM * phEnum, mdTypeDef td, mdEvent * rEvents, ULONG cMax, ULONG * pcEvents))    \
    X(34, HRESULT, GetEventProps,                                                                                     \
      (mdEvent ev, mdTypeDef * pClass, LPCWSTR szEvent, ULONG cchEvent, ULONG * pchEvent, DWORD * pdwEventFlags,      \
       mdToken * ptkEventType, mdMethodDef * pmdAddOn, mdMethodDef * pmdRemoveOn, mdMethodDef * pmdFire,              \
       mdMethodDef * rmdOtherMethod, ULONG cMax, ULONG * pcOtherMethod))                                              \
    X(35, HRESULT, EnumMethodSemantics,                                                                               \
      (HCORENUM * phEnum, mdMethodDef mb, mdToken * rEventProp, ULONG cMax, ULONG * pcEventProp))                     \
    X(36, HRESULT, GetMethodSemantics, (mdMethodDef mb, mdToken tkEventProp, DWORD * pdwSemanticsFlags))              \
    X(37, HRESULT, GetClassLayout,                                                                                    \
      (mdTypeDef td, DWORD * pdwPackSize, COR_FIELD_OFFSET * rFieldOffset, ULONG cMax, ULONG * pcFieldOffset,         \
       ULONG * pulClassSize))                                                                                         \
    X(38, HRESULT, GetFieldMarshal, (mdToken tk, PCCOR_SIGNATURE * ppvNativeType, ULONG * pcbNativeType))             \
    X(39, HRESULT, GetRVA, (mdToken tk, ULONG * pulCodeRVA, DWORD * pdwImplFlags))                                    \
    X(40, HRESULT, GetPermissionSetProps,                                                                             \
      (mdPermission pm, DWORD * pdwAction, const void** ppvPermission, ULONG* pcbPermission))                         \
    X(41, HRESULT, GetSigFromToken, (mdSignature mdSig, PCCOR_SIGNATURE * ppvSig, ULONG * pcbSig))                    \
    X(42, HRESULT, GetModuleRefProps, (mdModuleRef mur, WCHAR * szName, ULONG cchName, ULONG * pchName))              \
    X(43, HRESULT, EnumModuleRefs, (HCORENUM * phEnum, mdModuleRef * rModuleRefs, ULONG cmax, ULONG * pcModuleRefs))  \
    X(44, HRESULT, GetTypeSpecFromToken, (mdTypeSpec typespec, PCCOR_SIGNATURE * ppvSig, ULONG * pcbSig))             \
    X(45, HRESULT, GetNameFromToken, (mdToken tk, MDUTF8CSTR * pszUtf8NamePtr))                                       \
    X(46, HRESULT, EnumUnresolvedMethods, (HCORENUM * phEnum, mdToken * rMethods, ULONG cMax, ULONG * pcTokens))      \
    X(47, HRESULT, GetUserString, (mdString stk, WCHAR * szString, ULONG cchString, ULONG * pchString))               \
    X(48, HRESULT, GetPinvokeMap,                                                                                     \
      (mdToken tk, DWORD * pdwMappingFlags, WCHAR * szImportName, ULONG cchImportName, ULONG * pchImportName,         \
       mdModuleRef * pmrImportDLL))                                                                                   \
    X(49, HRESULT, EnumSignatures, (HCORENUM * phEnum, mdSignature * rSignatures, ULONG cmax, ULONG * pcSignatures))  \
    X(50, HRESULT, EnumTypeSpecs, (HCORENUM * phEnum, mdTypeSpec * rTypeSpecs, ULONG cmax, ULONG * pcTypeSpecs))      \
    X(51, HRESULT, EnumUserStrings, (HCORENUM * phEnum, mdString * rStrings, ULONG cmax, ULONG * pcStrings))          \
    X(52, HRESULT, GetParamForMethodIndex, (mdMethodDef md, ULONG ulParamSeq, mdParamDef * ppd))                      \
    X(53, HRESULT, EnumCustomAttributes,                                                                              \
      (HCORENUM * phEnum, mdToken tk, mdToken tkType, mdCustomAttribute * rCustomAttributes, ULONG cMax,              \
       ULONG * pcCustomAttributes))                                                                                   \
    X(54, HRESULT, GetCustomAttributeProps,                                                                           \
      (mdCustomAttribute cv, mdToken * ptkObj, mdToken * ptkType, const void** ppBlob, ULONG* pcbSize))               \
    X(55, HRESULT, FindTypeRef, (mdToken tkResolutionScope, LPCWSTR szName, mdTypeRef * ptr))                         \
    X(56, HRESULT, GetMemberProps,                                                                                    \
      (mdToken mb, mdTypeDef * pClass, WCHAR * szMember, ULONG cchMember, ULONG * pchMember, DWORD * pdwAttr,         \
       PCCOR_SIGNATURE * ppvSigBlob, ULONG * pcbSigBlob, ULONG * pulCodeRVA, DWORD * pdwImplFlags,                    \
       DWORD * pdwCPlusTypeFlag, UVCP_CONSTANT * ppValue, ULONG * pcchValue))                                         \
    X(57, HRESULT, GetFieldProps,                                                                                     \
      (mdFieldDef mb, mdTypeDef * pClass, WCHAR * szField, ULONG cchField, ULONG * pchField, DWORD * pdwAttr,         \
       PCCOR_SIGNATURE * ppvSigBlob, ULONG * pcbSigBlob, DWORD * pdwCPlusTypeFlag, UVCP_CONSTANT * ppValue,           \
       ULONG * pcchValue))                                                                                            \
    X(58, HRESULT, GetPropertyProps,                                                                                  \
      (mdProperty prop, mdTypeDef * pClass, LPCWSTR szProperty, ULONG cchProperty, ULONG * pchProperty,               \
       DWORD * pdwPropFlags, PCCOR_SIGNATURE * ppvSig, ULONG * pbSig, DWORD * pdwCPlusTypeFlag,                       \
       UVCP_CONSTANT * ppDefaultValue, ULONG * pcchDefaultValue, mdMethodDef * pmdSetter, mdMethodDef * pmdGetter,    \
       mdMethodDef * rmdOtherMethod, ULONG cMax, ULONG * pcOtherMethod))                                              \
    X(59, HRESULT, GetParamProps,                                                                                     \
      (mdParamDef tk, mdMethodDef * pmd, ULONG * pulSequence, WCHAR * szName, ULONG cchName, ULONG * pchName,         \
       DWORD * pdwAttr, DWORD * pdwCPlusTypeFlag, UVCP_CONSTANT * ppValue, ULONG * pcchValue))                        \
    X(60, HRESULT, GetCustomAttributeByName, (mdToken tkObj, LPCWSTR szName, const void** ppData, ULONG* pcbData))    \
    X(61, BOOL, IsValidToken, (mdToken tk))                                                                           \
    X(62, HRESULT, GetNestedClassProps, (mdTypeDef tdNestedClass, mdTypeDef * ptdEnclosingClass))                     \
    X(63, HRESULT, GetNativeCallConvFromSig, (const void* pvSig, ULONG cbSig, ULONG* pCallConv))                      \
    X(64, HRESULT, IsGlobal, (mdToken pd, int* pbGlobal))

struct IMetaDataImport : IUnknown {
    QX_IMETADATAIMPORT_METHODS(QX_COM_PURE_VIRTUAL)

protected:
    ~IMetaDataImport() = default;
};
QX_COM_LAYOUT(IMetaDataImport, IUnknown, QX_IMETADATAIMPORT_METHODS, 65);

// Slots 65-72; obtained by QueryInterface.
#define QX_IMETADATAIMPORT2_METHODS(X)                                                                        \
    X(65, HRESULT, EnumGenericParams,                                                                         \
      (HCORENUM * phEnum, mdToken tk, mdGenericParam * rGenericParams, ULONG cMax, ULONG * pcGenericParams))  \
    X(66, HRESULT, GetGenericParamProps,                                                                      \
      (mdGenericParam gp, ULONG * pulParamSeq, DWORD * pdwParamFlags, mdToken * ptOwner, DWORD * reserved,    \
       WCHAR * wzname, ULONG cchName, ULONG * pchName))                                                       \
    X(67, HRESULT, GetMethodSpecProps,                                                                        \
      (mdMethodSpec mi, mdToken * tkParent, PCCOR_SIGNATURE * ppvSigBlob, ULONG * pcbSigBlob))                \
    X(68, HRESULT, EnumGenericParamConstraints,                                                               \
      (HCORENUM * phEnum, mdGenericParam tk, mdGenericParamConstraint * rGenericParamConstraints, ULONG cMax, \
       ULONG * pcGenericParamConstraints))                                                                    \
    X(69, HRESULT, GetGenericParamConstraintProps,                                                            \
      (mdGenericParamConstraint gpc, mdGenericParam * ptGenericParam, mdToken * ptkConstraintType))           \
    X(70, HRESULT, GetPEKind, (DWORD * pdwPEKind, DWORD * pdwMachine))                                        \
    X(71, HRESULT, GetVersionString, (WCHAR * pwzBuf, DWORD ccBufSize, DWORD * pccBufSize))                   \
    X(72, HRESULT, EnumMethodSpecs,                                                                           \
      (HCORENUM * phEnum, mdToken tk, mdMethodSpec * rMethodSpecs, ULONG cMax, ULONG * pcMethodSpecs))

struct IMetaDataImport2 : IMetaDataImport {
    QX_IMETADATAIMPORT2_METHODS(QX_COM_PURE_VIRTUAL)

protected:
    ~IMetaDataImport2() = default;
};
QX_COM_LAYOUT(IMetaDataImport2, IMetaDataImport, QX_IMETADATAIMPORT2_METHODS, 73);

// Slots 3-51.
#define QX_IMETADATAEMIT_METHODS(X)                                                                                    \
    X(3, HRESULT, SetModuleProps, (LPCWSTR szName))                                                                    \
    X(4, HRESULT, Save, (LPCWSTR szFile, DWORD dwSaveFlags))                                                           \
    X(5, HRESULT, SaveToStream, (IStream * pIStream, DWORD dwSaveFlags))                                               \
    X(6, HRESULT, GetSaveSize, (CorSaveSize fSave, DWORD * pdwSaveSize))                                               \
    X(7, HRESULT, DefineTypeDef,                                                                                       \
      (LPCWSTR szTypeDef, DWORD dwTypeDefFlags, mdToken tkExtends, mdToken * rtkImplements, mdTypeDef * ptd))          \
    X(8, HRESULT, DefineNestedType,                                                                                    \
      (LPCWSTR szTypeDef, DWORD dwTypeDefFlags, mdToken tkExtends, mdToken * rtkImplements, mdTypeDef tdEncloser,      \
       mdTypeDef * ptd))                                                                                               \
    X(9, HRESULT, SetHandler, (IUnknown * pUnk))                                                                       \
    X(10, HRESULT, DefineMethod,                                                                                       \
      (mdTypeDef td, LPCWSTR szName, DWORD dwMethodFlags, PCCOR_SIGNATURE pvSigBlob, ULONG cbSigBlob, ULONG ulCodeRVA, \
       DWORD dwImplFlags, mdMethodDef * pmd))                                                                          \
    X(11, HRESULT, DefineMethodImpl, (mdTypeDef td, mdToken tkBody, mdToken tkDecl))                                   \
    X(12, HRESULT, DefineTypeRefByName, (mdToken tkResolutionScope, LPCWSTR szName, mdTypeRef * ptr))                  \
    X(13, HRESULT, DefineImportType,                                                                                   \
      (IMetaDataAssemblyImport * pAssemImport, const void* pbHashValue, ULONG cbHashValue, IMetaDataImport* pImport,   \
       mdTypeDef tdImport, IMetaDataAssemblyEmit* pAssemEmit, mdTypeRef* ptr))                                         \
    X(14, HRESULT, DefineMemberRef,                                                                                    \
      (mdToken tkImport, LPCWSTR szName, PCCOR_SIGNATURE pvSigBlob, ULONG cbSigBlob, mdMemberRef * pmr))               \
    X(15, HRESULT, DefineImportMember,                                                                                 \
      (IMetaDataAssemblyImport * pAssemImport, const void* pbHashValue, ULONG cbHashValue, IMetaDataImport* pImport,   \
       mdToken mbMember, IMetaDataAssemblyEmit* pAssemEmit, mdToken tkParent, mdMemberRef* pmr))                       \
    X(16, HRESULT, DefineEvent,                                                                                        \
      (mdTypeDef td, LPCWSTR szEvent, DWORD dwEventFlags, mdToken tkEventType, mdMethodDef mdAddOn,                    \
       mdMethodDef mdRemoveOn, mdMethodDef mdFire, mdMethodDef * rmdOtherMethods, mdEvent * pmdEvent))                 \
    X(17, HRESULT, SetClassLayout,                                                                                     \
      (mdTypeDef td, DWORD dwPackSize, COR_FIELD_OFFSET * rFieldOffsets, ULONG ulClassSize))                           \
    X(18, HRESULT, DeleteClassLayout, (mdTypeDef td))                                                                  \
    X(19, HRESULT, SetFieldMarshal, (mdToken tk, PCCOR_SIGNATURE pvNativeType, ULONG cbNativeType))                    \
    X(20, HRESULT, DeleteFieldMarshal, (mdToken tk))                                                                   \
    X(21, HRESULT, DefinePermissionSet,                                                                                \
      (mdToken tk, DWORD dwAction, const void* pvPermission, ULONG cbPermission, mdPermission* ppm))                   \
    X(22, HRESULT, SetRVA, (mdMethodDef md, ULONG ulRVA))                                                              \
    X(23, HRESULT, GetTokenFromSig, (PCCOR_SIGNATURE pvSig, ULONG cbSig, mdSignature * pmsig))                         \
    X(24, HRESULT, DefineModuleRef, (LPCWSTR szName, mdModuleRef * pmur))                                              \
    X(25, HRESULT, SetParent, (mdMemberRef mr, mdToken tk))                                                            \
    X(26, HRESULT, GetTokenFromTypeSpec, (PCCOR_SIGNATURE pvSig, ULONG cbSig, mdTypeSpec * ptypespec))                 \
    X(27, HRESULT, SaveToMemory, (void* pbData, ULONG cbData))                                                         \
    X(28, HRESULT, DefineUserString, (LPCWSTR szString, ULONG cchString, mdString * pstk))                             \
    X(29, HRESULT, DeleteToken, (mdToken tkObj))                                                                       \
    X(30, HRESULT, SetMethodProps, (mdMethodDef md, DWORD dwMethodFlags, ULONG ulCodeRVA, DWORD dwImplFlags))          \
    X(31, HRESULT, SetTypeDefProps, (mdTypeDef td, DWORD dwTypeDefFlags, mdToken tkExtends, mdToken * rtkImplements))  \
    X(32, HRESULT, SetEventProps,                                                                                      \
      (mdEvent ev, DWORD dwEventFlags, mdToken tkEventType, mdMethodDef mdAddOn, mdMethodDef mdRemoveOn,               \
       mdMethodDef mdFire, mdMethodDef * rmdOtherMethods))                                                             \
    X(33, HRESULT, SetPermissionSetProps,                                                                              \
      (mdToken tk, DWORD dwAction, const void* pvPermission, ULONG cbPermission, mdPermission* ppm))                   \
    X(34, HRESULT, DefinePinvokeMap,                                                                                   \
      (mdToken tk, DWORD dwMappingFlags, LPCWSTR szImportName, mdModuleRef mrImportDLL))                               \
    X(35, HRESULT, SetPinvokeMap, (mdToken tk, DWORD dwMappingFlags, LPCWSTR szImportName, mdModuleRef mrImportDLL))   \
    X(36, HRESULT, DeletePinvokeMap, (mdToken tk))                                                                     \
    X(37, HRESULT, DefineCustomAttribute,                                                                              \
      (mdToken tkOwner, mdToken tkCtor, const void* pCustomAttribute, ULONG cbCustomAttribute,                         \
       mdCustomAttribute* pcv))                                                                                        \
    X(38, HRESULT, SetCustomAttributeValue,                                                                            \
      (mdCustomAttribute pcv, const void* pCustomAttribute, ULONG cbCustomAttribute))                                  \
    X(39, HRESULT, DefineField,                                                                                        \
      (mdTypeDef td, LPCWSTR szName, DWORD dwFieldFlags, PCCOR_SIGNATURE pvSigBlob, ULONG cbSigBlob,                   \
       DWORD dwCPlusTypeFlag, const void* pValue, ULONG cchValue, mdFieldDef* pmd))                                    \
    X(40, HRESULT, DefineProperty,                                                                                     \
      (mdTypeDef td, LPCWSTR szProperty, DWORD dwPropFlags, PCCOR_SIGNATURE pvSig, ULONG cbSig, DWORD dwCPlusTypeFlag, \
       const void* pValue, ULONG cchValue, mdMethodDef mdSetter, mdMethodDef mdGetter, mdMethodDef* rmdOtherMethods,   \
       mdProperty* pmdProp))                                                                                           \
    X(41, HRESULT, DefineParam,                                                                                        \
      (mdMethodDef md, ULONG ulParamSeq, LPCWSTR szName, DWORD dwParamFlags, DWORD dwCPlusTypeFlag,                    \
       const void* pValue, ULONG cchValue, mdParamDef* ppd))                                                           \
    X(42, HRESULT, SetFieldProps,                                                                                      \
      (mdFieldDef fd, DWORD dwFieldFlags, DWORD dwCPlusTypeFlag, const void* pValue, ULONG cchValue))                  \
    X(43, HRESULT, SetPropertyProps,                                                                                   \
      (mdProperty pr, DWORD dwPropFlags, DWORD dwCPlusTypeFlag, const void* pValue, ULONG cchValue,                    \
       mdMethodDef mdSetter, mdMethodDef mdGetter, mdMethodDef* rmdOtherMethods))                                      \
    X(44, HRESULT, SetParamProps,                                                                                      \
      (mdParamDef pd, LPCWSTR szName, DWORD dwParamFlags, DWORD dwCPlusTypeFlag, const void* pValue, ULONG cchValue))  \
    X(45, HRESULT, DefineSecurityAttributeSet,                                                                         \
      (mdToken tkObj, COR_SECATTR * rSecAttrs, ULONG cSecAttrs, ULONG * pulErrorAttr))                                 \
    X(46, HRESULT, ApplyEditAndContinue, (IUnknown * pImport))                                                         \
    X(47, HRESULT, TranslateSigWithScope,                                                                              \
      (IMetaDataAssemblyImport * pAssemImport, const void* pbHashValue, ULONG cbHashValue, IMetaDataImport* pImport,   \
       PCCOR_SIGNATURE pbSigBlob, ULONG cbSigBlob, IMetaDataAssemblyEmit* pAssemEmit, IMetaDataEmit* pEmit,            \
       PCOR_SIGNATURE pvTranslatedSig, ULONG cbTranslatedSigMax, ULONG* pcbTranslatedSig))                             \
    X(48, HRESULT, SetMethodImplFlags, (mdMethodDef md, DWORD dwImplFlags))                                            \
    X(49, HRESULT, SetFieldRVA, (mdFieldDef fd, ULONG ulRVA))                                                          \
    X(50, HRESULT, Merge, (IMetaDataImport * pImport, IMapToken * pHostMapToken, IUnknown * pHandler))                 \
    X(51, HRESULT, MergeEnd, ())

struct IMetaDataEmit : IUnknown {
    QX_IMETADATAEMIT_METHODS(QX_COM_PURE_VIRTUAL)

protected:
    ~IMetaDataEmit() = default;
};
QX_COM_LAYOUT(IMetaDataEmit, IUnknown, QX_IMETADATAEMIT_METHODS, 52);

// Slots 52-59; obtained by QueryInterface.
#define QX_IMETADATAEMIT2_METHODS(X)                                                                               \
    X(52, HRESULT, DefineMethodSpec,                                                                               \
      (mdToken tkParent, PCCOR_SIGNATURE pvSigBlob, ULONG cbSigBlob, mdMethodSpec * pmi))                          \
    X(53, HRESULT, GetDeltaSaveSize, (CorSaveSize fSave, DWORD * pdwSaveSize))                                     \
    X(54, HRESULT, SaveDelta, (LPCWSTR szFile, DWORD dwSaveFlags))                                                 \
    X(55, HRESULT, SaveDeltaToStream, (IStream * pIStream, DWORD dwSaveFlags))                                     \
    X(56, HRESULT, SaveDeltaToMemory, (void* pbData, ULONG cbData))                                                \
    X(57, HRESULT, DefineGenericParam,                                                                             \
      (mdToken tk, ULONG ulParamSeq, DWORD dwParamFlags, LPCWSTR szname, DWORD reserved, mdToken * rtkConstraints, \
       mdGenericParam * pgp))                                                                                      \
    X(58, HRESULT, SetGenericParamProps,                                                                           \
      (mdGenericParam gp, DWORD dwParamFlags, LPCWSTR szName, DWORD reserved, mdToken * rtkConstraints))           \
    X(59, HRESULT, ResetENCLog, ())

struct IMetaDataEmit2 : IMetaDataEmit {
    QX_IMETADATAEMIT2_METHODS(QX_COM_PURE_VIRTUAL)

protected:
    ~IMetaDataEmit2() = default;
};
QX_COM_LAYOUT(IMetaDataEmit2, IMetaDataEmit, QX_IMETADATAEMIT2_METHODS, 60);

// Slots 3-16.
#define QX_IMETADATAASSEMBLYIMPORT_METHODS(X)                                                                          \
    X(3, HRESULT, GetAssemblyProps,                                                                                    \
      (mdAssembly mda, const void** ppbPublicKey, ULONG* pcbPublicKey, ULONG* pulHashAlgId, WCHAR* szName,             \
       ULONG cchName, ULONG* pchName, ASSEMBLYMETADATA* pMetaData, DWORD* pdwAssemblyFlags))                           \
    X(4, HRESULT, GetAssemblyRefProps,                                                                                 \
      (mdAssemblyRef mdar, const void** ppbPublicKeyOrToken, ULONG* pcbPublicKeyOrToken, WCHAR* szName, ULONG cchName, \
       ULONG* pchName, ASSEMBLYMETADATA* pMetaData, const void** ppbHashValue, ULONG* pcbHashValue,                    \
       DWORD* pdwAssemblyRefFlags))                                                                                    \
    X(5, HRESULT, GetFileProps,                                                                                        \
      (mdFile mdf, WCHAR * szName, ULONG cchName, ULONG * pchName, const void** ppbHashValue, ULONG* pcbHashValue,     \
       DWORD* pdwFileFlags))                                                                                           \
    X(6, HRESULT, GetExportedTypeProps,                                                                                \
      (mdExportedType mdct, WCHAR * szName, ULONG cchName, ULONG * pchName, mdToken * ptkImplementation,               \
       mdTypeDef * ptkTypeDef, DWORD * pdwExportedTypeFlags))                                                          \
    X(7, HRESULT, GetManifestResourceProps,                                                                            \
      (mdManifestResource mdmr, WCHAR * szName, ULONG cchName, ULONG * pchName, mdToken * ptkImplementation,           \
       DWORD * pdwOffset, DWORD * pdwResourceFlags))                                                                   \
    X(8, HRESULT, EnumAssemblyRefs, (HCORENUM * phEnum, mdAssemblyRef * rAssemblyRefs, ULONG cMax, ULONG * pcTokens))  \
    X(9, HRESULT, EnumFiles, (HCORENUM * phEnum, mdFile * rFiles, ULONG cMax, ULONG * pcTokens))                       \
    X(10, HRESULT, EnumExportedTypes,                                                                                  \
      (HCORENUM * phEnum, mdExportedType * rExportedTypes, ULONG cMax, ULONG * pcTokens))                              \
    X(11, HRESULT, EnumManifestResources,                                                                              \
      (HCORENUM * phEnum, mdManifestResource * rManifestResources, ULONG cMax, ULONG * pcTokens))                      \
    X(12, HRESULT, GetAssemblyFromScope, (mdAssembly * ptkAssembly))                                                   \
    X(13, HRESULT, FindExportedTypeByName,                                                                             \
      (LPCWSTR szName, mdToken tkEnclosingType, mdExportedType * ptkExportedType))                                     \
    X(14, HRESULT, FindManifestResourceByName, (LPCWSTR szName, mdManifestResource * ptkManifestResource))             \
    X(15, void, CloseEnum, (HCORENUM hEnum))                                                                           \
    X(16, HRESULT, FindAssembliesByName,                                                                               \
      (LPCWSTR szAppBase, LPCWSTR szPrivateBin, LPCWSTR szAssemblyName, IUnknown * *ppIUnk, ULONG cMax,                \
       ULONG * pcAssemblies))

struct IMetaDataAssemblyImport : IUnknown {
    QX_IMETADATAASSEMBLYIMPORT_METHODS(QX_COM_PURE_VIRTUAL)

protected:
    ~IMetaDataAssemblyImport() = default;
};
QX_COM_LAYOUT(IMetaDataAssemblyImport, IUnknown, QX_IMETADATAASSEMBLYIMPORT_METHODS, 17);

// Slots 3-12.
#define QX_IMETADATAASSEMBLYEMIT_METHODS(X)                                                                          \
    X(3, HRESULT, DefineAssembly,                                                                                    \
      (const void* pbPublicKey, ULONG cbPublicKey, ULONG ulHashAlgId, LPCWSTR szName,                                \
       const ASSEMBLYMETADATA* pMetaData, DWORD dwAssemblyFlags, mdAssembly* pma))                                   \
    X(4, HRESULT, DefineAssemblyRef,                                                                                 \
      (const void* pbPublicKeyOrToken, ULONG cbPublicKeyOrToken, LPCWSTR szName, const ASSEMBLYMETADATA* pMetaData,  \
       const void* pbHashValue, ULONG cbHashValue, DWORD dwAssemblyRefFlags, mdAssemblyRef* pmdar))                  \
    X(5, HRESULT, DefineFile,                                                                                        \
      (LPCWSTR szName, const void* pbHashValue, ULONG cbHashValue, DWORD dwFileFlags, mdFile* pmdf))                 \
    X(6, HRESULT, DefineExportedType,                                                                                \
      (LPCWSTR szName, mdToken tkImplementation, mdTypeDef tkTypeDef, DWORD dwExportedTypeFlags,                     \
       mdExportedType * pmdct))                                                                                      \
    X(7, HRESULT, DefineManifestResource,                                                                            \
      (LPCWSTR szName, mdToken tkImplementation, DWORD dwOffset, DWORD dwResourceFlags, mdManifestResource * pmdmr)) \
    X(8, HRESULT, SetAssemblyProps,                                                                                  \
      (mdAssembly pma, const void* pbPublicKey, ULONG cbPublicKey, ULONG ulHashAlgId, LPCWSTR szName,                \
       const ASSEMBLYMETADATA* pMetaData, DWORD dwAssemblyFlags))                                                    \
    X(9, HRESULT, SetAssemblyRefProps,                                                                               \
      (mdAssemblyRef ar, const void* pbPublicKeyOrToken, ULONG cbPublicKeyOrToken, LPCWSTR szName,                   \
       const ASSEMBLYMETADATA* pMetaData, const void* pbHashValue, ULONG cbHashValue, DWORD dwAssemblyRefFlags))     \
    X(10, HRESULT, SetFileProps, (mdFile file, const void* pbHashValue, ULONG cbHashValue, DWORD dwFileFlags))       \
    X(11, HRESULT, SetExportedTypeProps,                                                                             \
      (mdExportedType ct, mdToken tkImplementation, mdTypeDef tkTypeDef, DWORD dwExportedTypeFlags))                 \
    X(12, HRESULT, SetManifestResourceProps,                                                                         \
      (mdManifestResource mr, mdToken tkImplementation, DWORD dwOffset, DWORD dwResourceFlags))

struct IMetaDataAssemblyEmit : IUnknown {
    QX_IMETADATAASSEMBLYEMIT_METHODS(QX_COM_PURE_VIRTUAL)

protected:
    ~IMetaDataAssemblyEmit() = default;
};
QX_COM_LAYOUT(IMetaDataAssemblyEmit, IUnknown, QX_IMETADATAASSEMBLYEMIT_METHODS, 13);
