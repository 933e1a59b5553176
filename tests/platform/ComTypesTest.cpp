#include <gtest/gtest.h>

#include <cstdint>

#include "platform/ComTypes.h"
#include "platform/MetaDataTypes.h"
#include "platform/ProfilerTypes.h"

namespace {

// A failure code stored or compared as unsigned would pass for success.
TEST(ComTypes, ResultCodesKeepTheirSign) {
    EXPECT_TRUE(SUCCEEDED(S_OK));
    EXPECT_TRUE(SUCCEEDED(S_FALSE));
    EXPECT_TRUE(SUCCEEDED(CLDB_S_TRUNCATION));
    EXPECT_TRUE(SUCCEEDED(META_S_DUPLICATE));
    for (HRESULT failure : {E_FAIL, E_NOINTERFACE, E_NOTIMPL, E_INVALIDARG, E_OUTOFMEMORY, CLDB_E_RECORD_NOTFOUND,
                            COR_E_INVALIDPROGRAM, CORPROF_E_NOT_MANAGED_THREAD, CORPROF_E_CALL_ONLY_FROM_INIT}) {
        EXPECT_TRUE(FAILED(failure)) << std::hex << static_cast<uint32_t>(failure);
        EXPECT_FALSE(SUCCEEDED(failure));
    }
    EXPECT_EQ(static_cast<uint32_t>(E_FAIL), 0x80004005u);
    EXPECT_EQ(static_cast<uint32_t>(E_NOINTERFACE), 0x80004002u);
    EXPECT_EQ(static_cast<uint32_t>(HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER)), 0x8007007Au);
    EXPECT_EQ(HRESULT_FROM_WIN32(0), S_OK);
}

TEST(ComTypes, GuidsDifferingInAnySingleByteAreUnequal) {
    const GUID base = {0x8A8CC829, 0xCCF2, 0x49FE, {0xBB, 0xAE, 0x0F, 0x02, 0x22, 0x28, 0x07, 0x1A}};
    GUID same = base;
    EXPECT_TRUE(IsEqualGUID(base, same));
    EXPECT_TRUE(base == same);
    for (int byte = 0; byte < 16; ++byte) {
        GUID other = base;
        reinterpret_cast<uint8_t*>(&other)[byte] ^= 0x01;
        EXPECT_FALSE(IsEqualGUID(base, other)) << "byte " << byte;
    }
}

TEST(ComTypes, TokensSplitIntoTableAndRow) {
    const mdToken method = TokenFromRid(0x2A, mdtMethodDef);
    EXPECT_EQ(method, 0x0600002Au);
    EXPECT_EQ(TypeFromToken(method), static_cast<mdToken>(mdtMethodDef));
    EXPECT_EQ(RidFromToken(method), 0x2Au);
    EXPECT_TRUE(IsNilToken(mdTypeRefNil));
    EXPECT_FALSE(IsNilToken(method));
    EXPECT_TRUE(IsTdNested(tdNestedPrivate | tdSealed));
    EXPECT_FALSE(IsTdNested(tdPublic | tdAbstract));
}

// The agent subscribes with this exact mask; each named flag must carry its published bit.
TEST(ComTypes, AgentEventMaskIsComposedOfThePublishedFlags) {
    const DWORD mask = COR_PRF_MONITOR_CLASS_LOADS | COR_PRF_MONITOR_MODULE_LOADS | COR_PRF_MONITOR_ASSEMBLY_LOADS |
                       COR_PRF_MONITOR_APPDOMAIN_LOADS | COR_PRF_MONITOR_JIT_COMPILATION | COR_PRF_MONITOR_EXCEPTIONS |
                       COR_PRF_MONITOR_THREADS | COR_PRF_MONITOR_ENTERLEAVE | COR_PRF_ENABLE_REJIT |
                       COR_PRF_DISABLE_OPTIMIZATIONS | COR_PRF_ENABLE_FUNCTION_ARGS | COR_PRF_ENABLE_FUNCTION_RETVAL |
                       COR_PRF_ENABLE_FRAME_INFO | COR_PRF_DISABLE_ALL_NGEN_IMAGES;
    EXPECT_EQ(mask, 0x8E44127Eu);
    EXPECT_EQ(static_cast<DWORD>(COR_PRF_REQUIRE_PROFILE_IMAGE), 0x20001800u);
}

}  // namespace
