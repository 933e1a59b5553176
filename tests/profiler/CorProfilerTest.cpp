#include <gtest/gtest.h>

#include <stdexcept>

#include "environment/ErrorBoundary.h"
#include "platform/InterfaceIds.h"
#include "profiler/CorProfiler.h"
#include "profiler/ProfilerImpl.h"

namespace {

IClassFactory* Factory(const GUID& iid = IID_IClassFactory) {
    void* pointer = nullptr;
    EXPECT_EQ(DllGetClassObject(&CLSID_QuorixProfiler, &iid, &pointer), S_OK);
    return static_cast<IClassFactory*>(pointer);
}

}  // namespace

TEST(CorProfilerTest, ClassObjectIsHandedOutOnlyForOurClassId) {
    void* pointer = reinterpret_cast<void*>(1);
    const GUID foreign = {0x76CAC89D, 0x4E69, 0x48F9, {0xBD, 0x88, 0x36, 0x86, 0xBB, 0xD6, 0xCD, 0x7E}};
    EXPECT_EQ(DllGetClassObject(&foreign, &IID_IClassFactory, &pointer), E_FAIL);
    EXPECT_EQ(DllGetClassObject(&CLSID_QuorixProfiler, &IID_IClassFactory, nullptr), E_FAIL);

    const GUID unheardOf = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    IClassFactory* factory = Factory(unheardOf);  // the interface id is not examined
    ASSERT_NE(factory, nullptr);

    void* same = nullptr;
    EXPECT_EQ(factory->QueryInterface(&IID_IUnknown, &same), S_OK);
    EXPECT_EQ(same, factory);
    EXPECT_EQ(factory->QueryInterface(&IID_ICorProfilerCallback, &same), E_NOINTERFACE);
    EXPECT_EQ(same, nullptr);
    EXPECT_EQ(factory->LockServer(1), S_OK);
    EXPECT_EQ(factory->Release(), 1u);
    EXPECT_EQ(factory->Release(), 0u);
}

TEST(CorProfilerTest, CreateInstanceWantsExactlyTheSecondCallbackLevel) {
    IClassFactory* factory = Factory();
    void* object = nullptr;
    EXPECT_EQ(factory->CreateInstance(nullptr, &IID_ICorProfilerCallback3, &object), E_NOINTERFACE);
    EXPECT_EQ(factory->CreateInstance(nullptr, &IID_IUnknown, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(factory->CreateInstance(nullptr, &IID_ICorProfilerCallback2, nullptr), S_OK);
    EXPECT_FALSE(g_ProfilerImpl->IsAttached());  // nothing was started
    factory->Release();
}

TEST(CorProfilerTest, CallbackObjectAnswersUpToLevelFourAndEndsOnLastRelease) {
    IClassFactory* factory = Factory();
    void* object = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, &IID_ICorProfilerCallback2, &object), S_OK);
    factory->Release();
    auto* callback = static_cast<ICorProfilerCallback2*>(object);
    EXPECT_TRUE(g_ProfilerImpl->IsAttached());

    void* level = reinterpret_cast<void*>(1);
    EXPECT_EQ(callback->QueryInterface(&IID_ICorProfilerCallback5, &level), E_NOINTERFACE);
    EXPECT_EQ(level, nullptr);
    // Level four brings the re-JIT callbacks of the probe engine.
    ASSERT_EQ(callback->QueryInterface(&IID_ICorProfilerCallback4, &level), S_OK);
    static_cast<IUnknown*>(level)->Release();
    ASSERT_EQ(callback->QueryInterface(&IID_ICorProfilerCallback3, &level), S_OK);
    auto* callback3 = static_cast<ICorProfilerCallback3*>(level);

    BOOL flag = 7;
    EXPECT_EQ(callback3->JITInlining(1, 2, &flag), S_OK);
    EXPECT_EQ(flag, 7);
    EXPECT_EQ(callback3->JITCachedFunctionSearchStarted(1, &flag), S_OK);
    EXPECT_EQ(flag, 7);
    EXPECT_EQ(callback3->ExceptionThrown(0x10), S_OK);
    EXPECT_EQ(callback3->ProfilerDetachSucceeded(), S_OK);
    EXPECT_EQ(callback3->ThreadCreated(5), S_OK);
    EXPECT_EQ(callback3->ThreadAssignedToOSThread(5, 0xFFFFFFFFu), S_OK);
    EXPECT_EQ(callback3->ThreadDestroyed(5), S_OK);

    // The end of the process is announced at Shutdown (the runtime may never release us) and
    // only once, also when the last Release follows.
    testing::internal::CaptureStdout();
    EXPECT_EQ(callback3->Shutdown(), S_OK);
    EXPECT_TRUE(g_ProfilerImpl->IsFinalised());
    EXPECT_EQ(callback3->Release(), 1u);
    EXPECT_EQ(callback->Release(), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ProfilerImpl::FinalRelease exit\n");
}

TEST(CorProfilerTest, ErrorBoundaryStopsEveryKindOfException) {
    int reached = 0;
    RunGuarded("Test", [&] {
        ++reached;
        throw "c-string";
    });
    RunGuarded("Test", [&] {
        ++reached;
        throw std::runtime_error("standard");
    });
    RunGuarded("Test", [&] {
        ++reached;
        throw 42;
    });
    RunGuarded("Test", [&] { ++reached; });
    EXPECT_EQ(reached, 4);
}
