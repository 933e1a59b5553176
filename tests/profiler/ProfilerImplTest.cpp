#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "environment/Configuration.h"
#include "environment/SystemContext.h"
#include "profiler/HookStubs.h"
#include "profiler/ProfilerImpl.h"
#include "support/FakeProfilerInfo.h"
#include "support/UdpReceiver.h"
#include "uplink/RelayWorker.h"

namespace {

// A runtime of version 10.0.12 that accepts the event mask, the hooks and the mapper.
class RuntimeInfo : public FakeProfilerInfo {
public:
    using FakeProfilerInfo::FakeProfilerInfo;

    DWORD eventMask = 0;
    void* enter = nullptr;
    FunctionIDMapper* mapper = nullptr;

    HRESULT SetEventMask(DWORD dwEvents) override {
        Count("SetEventMask");
        eventMask = dwEvents;
        return S_OK;
    }
    HRESULT SetEnterLeaveFunctionHooks2(FunctionEnter2* e, FunctionLeave2*, FunctionTailcall2*) override {
        Count("SetEnterLeaveFunctionHooks2");
        enter = reinterpret_cast<void*>(e);
        return S_OK;
    }
    HRESULT SetEnterLeaveFunctionHooks(FunctionEnter* e, FunctionLeave*, FunctionTailcall*) override {
        Count("SetEnterLeaveFunctionHooks");
        enter = reinterpret_cast<void*>(e);
        return S_OK;
    }
    HRESULT SetFunctionIDMapper(FunctionIDMapper* pFunc) override {
        Count("SetFunctionIDMapper");
        mapper = pFunc;
        return S_OK;
    }
    HRESULT GetStringLayout(ULONG* a, ULONG* b, ULONG* c) override {
        Count("GetStringLayout");
        *a = 8;
        *b = 8;
        *c = 12;
        return S_OK;
    }
    HRESULT GetRuntimeInformation(USHORT*, COR_PRF_RUNTIME_TYPE* type, USHORT* major, USHORT* minor, USHORT* build,
                                  USHORT*, ULONG, ULONG*, WCHAR*) override {
        Count("GetRuntimeInformation");
        *type = COR_PRF_CORE_CLR;
        *major = 10;
        *minor = 0;
        *build = 12;
        return S_OK;
    }
};

class ProfilerImplTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Every test runs in a process of its own (ctest), so the process-wide objects are ours.
        g_Configuration->networkMode = Uplink::Udp;
        g_Configuration->useMulticast = false;
        g_Configuration->wireCommandPort = receiver.Port();
    }

    std::vector<uint8_t> Types(const std::vector<std::vector<uint8_t>>& messages) {
        std::vector<uint8_t> types;
        for (const auto& message : messages) types.push_back(UdpReceiver::Type(message));
        return types;
    }

    UdpReceiver receiver;
    ProfilerImpl profiler;
};

}  // namespace

TEST_F(ProfilerImplTest, InitializeSubscribesAnnouncesAndRegistersHooksInThatOrder) {
    ASSERT_EQ(profiler.FinalConstruct(), S_OK);
    ASSERT_TRUE(profiler.IsAttached());
    RuntimeInfo info;
    ASSERT_EQ(profiler.Initialize(&info, reinterpret_cast<void*>(&EnterNaked), reinterpret_cast<void*>(&LeaveNaked),
                                  reinterpret_cast<void*>(&TailcallNaked)),
              S_OK);
    EXPECT_EQ(info.eventMask, 0x8E44127Eu);
    EXPECT_EQ(info.enter, reinterpret_cast<void*>(&EnterNaked));
    EXPECT_EQ(info.mapper, &ProfilerImpl::FunctionMapperCallback);
    EXPECT_EQ(info.Calls("SetEnterLeaveFunctionHooks"), 0);
    EXPECT_TRUE(g_Context->HasStringLayout());
    EXPECT_EQ(g_Context->GetBufferOffset(), 12u);
    EXPECT_EQ(g_Context->GetRuntimeVersionText(), "CORE 10.0.12");
    EXPECT_EQ(g_Context->GetHostTypeText(), "DOTNET_CORE");

    auto messages = receiver.Receive();
    ASSERT_EQ(Types(messages), (std::vector<uint8_t>{9, 11, 12, 104}));
    const std::string processType(messages[2].begin() + 19, messages[2].end());
    EXPECT_NE(processType.find(".NET CORE 10.0.12"), std::string::npos);
    EXPECT_NE(processType.find("DOTNET_CORE"), std::string::npos);

    // The stand-in mapper hooks nothing and gives a stable, non-zero answer.
    BOOL hook = 1;
    EXPECT_EQ(ProfilerImpl::FunctionMapperCallback(0x1234, &hook), 0x1234u);
    EXPECT_EQ(hook, 0);
}

TEST_F(ProfilerImplTest, OlderRuntimeGetsHooksThroughTheFirstInfoLevel) {
    profiler.FinalConstruct();
    RuntimeInfo info(1);
    EXPECT_EQ(profiler.Initialize(&info, reinterpret_cast<void*>(&EnterNaked), nullptr, nullptr), S_OK);
    EXPECT_EQ(info.Calls("SetEnterLeaveFunctionHooks"), 1);
    EXPECT_EQ(info.Calls("SetEnterLeaveFunctionHooks2"), 0);
    EXPECT_EQ(info.enter, reinterpret_cast<void*>(&EnterNaked));
    EXPECT_FALSE(g_Context->HasStringLayout());
    EXPECT_EQ(info.Calls("GetRuntimeInformation"), 0);  // reached only through the fourth level
    EXPECT_EQ(g_Context->GetHostTypeText(), "UNKNOWN");
}

TEST_F(ProfilerImplTest, InitializeFailsWithoutInfoAndRefusesWhenNotAttached) {
    RuntimeInfo info;
    EXPECT_EQ(profiler.Initialize(&info, nullptr, nullptr, nullptr), S_FALSE);  // FinalConstruct never ran
    EXPECT_EQ(info.Calls("SetEventMask"), 0);

    profiler.FinalConstruct();
    RuntimeInfo none(0);
    EXPECT_EQ(profiler.Initialize(&none, nullptr, nullptr, nullptr), E_FAIL);
    EXPECT_EQ(none.Calls("SetEventMask"), 0);
}

TEST_F(ProfilerImplTest, ThreadLifecycleAnnouncesMappedThreadsAndTheirEnd) {
    profiler.FinalConstruct();
    profiler.ThreadStart(1);
    profiler.ThreadStart(1);  // replaces the first context
    EXPECT_EQ(profiler.ThreadContextCount(), 1u);
    profiler.ThreadMapped(1, 4711);
    profiler.ThreadMapped(1, 4712);  // mapped again: the last id wins
    profiler.ThreadMapped(2, 5000);  // never started: announced, but no context
    EXPECT_EQ(profiler.ThreadContextCount(), 1u);
    profiler.ThreadStart(3);
    profiler.ThreadEnded(3);  // never mapped: ends with the "unknown" OS id
    profiler.ThreadEnded(1);
    profiler.ThreadEnded(99);  // unknown: nothing
    EXPECT_EQ(profiler.ThreadContextCount(), 0u);

    auto messages = receiver.Receive();
    ASSERT_EQ(Types(messages), (std::vector<uint8_t>{7, 7, 7, 8, 8}));
    EXPECT_EQ(UdpReceiver::ThreadId(messages[0]), 4711u);
    EXPECT_EQ(UdpReceiver::ThreadId(messages[1]), 4712u);
    EXPECT_EQ(UdpReceiver::ThreadId(messages[2]), 5000u);
    EXPECT_EQ(UdpReceiver::ThreadId(messages[3]), 0u);
    EXPECT_EQ(UdpReceiver::ThreadId(messages[4]), 4712u);
}

TEST_F(ProfilerImplTest, FinalReleaseAnnouncesTheEndOnceAndLateCallsDoNothing) {
    profiler.FinalConstruct();
    profiler.ThreadStart(1);
    profiler.ThreadMapped(1, 10);
    profiler.ThreadStart(2);

    testing::internal::CaptureStdout();
    profiler.FinalRelease();
    profiler.FinalRelease();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ProfilerImpl::FinalRelease exit\n");
    EXPECT_EQ(profiler.ThreadContextCount(), 0u);

    // The runtime keeps its threads running after the end: these must be harmless no-ops.
    profiler.ThreadStart(5);
    profiler.ThreadMapped(5, 50);
    profiler.ThreadEnded(1);
    profiler.Enter(1, 101, 0, nullptr);
    profiler.Leave(1, 101, 0, nullptr);
    EXPECT_EQ(profiler.ThreadContextCount(), 0u);
    EXPECT_NE(g_Context, nullptr);  // still readable by late callers

    auto messages = receiver.Receive();
    ASSERT_EQ(Types(messages), (std::vector<uint8_t>{7, 10}));
}

TEST_F(ProfilerImplTest, HooksIgnoreUnknownAndOutOfRangeIdsAndKeepErrno) {
    profiler.FinalConstruct();
    errno = 1234;
    EnterStub(1, 100000001, 0, nullptr);
    LeaveStub(1, 100000001, 0, nullptr);
    TailcallStub(1, 101, 0);
    EXPECT_EQ(errno, 1234);
    EXPECT_TRUE(receiver.Receive(150).empty());
}

TEST_F(ProfilerImplTest, StartupPeriodRunsOnlyForAPositiveNumberOfSeconds) {
    // The setting is read once at load; each case reads it again as the load would.
    const auto readAtLoad = [](const char* value) {
        return Configuration([value](const char* name) -> const char* {
                   return std::string(name) == "MORVEL_STARTUP_PERIOD" ? value : nullptr;
               })
            .startupPeriodSeconds;
    };
    for (const char* value : {"0", "-3", "abc", ""}) {
        g_Configuration->startupPeriodSeconds = readAtLoad(value);
        ProfilerImpl other;
        other.FinalConstruct();
        EXPECT_FALSE(g_startup) << value;
    }
    g_Configuration->startupPeriodSeconds = readAtLoad("1");
    ProfilerImpl timed;
    timed.FinalConstruct();
    g_Configuration->startupPeriodSeconds = 0;
    EXPECT_TRUE(g_startup);
    for (int i = 0; i < 40 && g_startup; ++i) usleep(100 * 1000);
    EXPECT_FALSE(g_startup);  // over after about a second
}
