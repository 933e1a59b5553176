#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "environment/Configuration.h"
#include "environment/SystemContext.h"
#include "il/ManagedProbeHandler.h"
#include "mapping/FunctionMapper.h"
#include "mapping/MappingTestSupport.h"
#include "profiler/ProfilerImpl.h"
#include "support/UdpReceiver.h"
#include "uplink/ThreadBuffer.h"

namespace {

constexpr FunctionID Runner = 0x1000, Black = 0x2000, Enable = 0x3000, Catcher = 0x4000;

// The hooks against the real mapper, fed by fake metadata; without the runtime's info interface
// every call counts as managed thread 0. Each test runs in a process of its own (ctest).
class HooksTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_Configuration->networkMode = Uplink::Udp;
        g_Configuration->wireCommandPort = receiver.Port();
        overrides = std::string(::testing::TempDir()) + "/hooks-overrides.txt";
        std::ofstream(overrides) << "L-Shop.B::Black\n";
        g_Configuration->userOverridesFile = overrides.c_str();

        lookup.Add(Runner, "Shop.A", "Run");
        lookup.Add(Black, "Shop.B", "Black");
        lookup.Add(Enable, "Corvanine.Quorix4Net.APM", "Enable");
        lookup.Add(Catcher, "Shop.C", "Catch");
        ASSERT_EQ(profiler.FinalConstruct(), S_OK);
        uint64_t next = 100;
        g_Mapper = new FunctionMapper(&lookup, [&next] { return ++next; });
        g_Mapper->UpdateBlacklistsWhitelistsOnStartup();
        for (FunctionID id : {Runner, Black, Enable, Catcher}) clientIds.push_back(g_Mapper->Map(id).first);
    }
    void TearDown() override { g_Configuration->userOverridesFile = nullptr; }

    std::vector<uint8_t> Types() {
        std::vector<uint8_t> types;
        for (const auto& message : receiver.Receive(200)) types.push_back(UdpReceiver::Type(message));
        return types;
    }

    UdpReceiver receiver;
    FakeLookupHelper lookup;
    ProfilerImpl profiler;
    std::string overrides;
    std::vector<UINT_PTR> clientIds;
};

}  // namespace

TEST_F(HooksTest, MethodInformationGoesOutOncePerThreadBeforeTheFirstBeginCall) {
    EXPECT_EQ(clientIds[0], 101u);
    profiler.ThreadStart(0);
    profiler.Enter(Runner, 101, 0, nullptr);
    profiler.Enter(Runner, 101, 0, nullptr);
    profiler.Leave(Runner, 101, 0, nullptr);
    profiler.Tailcall(Runner, 101, 0);
    profiler.Leave(Runner, 100000001, 0, nullptr);  // an untraced client id: nothing
    auto messages = receiver.Receive(200);
    std::vector<uint8_t> types;
    for (const auto& message : messages) types.push_back(UdpReceiver::Type(message));
    ASSERT_EQ(types, (std::vector<uint8_t>{3, 1, 1, 2, 2}));
    EXPECT_EQ(messages[3][23], 0);  // returned normally
    EXPECT_EQ(messages[4][23], 1);  // left by a tail call
}

TEST_F(HooksTest, AMethodInformationThatFoundNoRoomIsWrittenAgainWithTheNextCall) {
    // No room beyond the thread's own first chunk: once it is full, everything is dropped.
    ThreadBuffer::SetBudget(ThreadBuffer::BudgetInUse());
    profiler.ThreadStart(0);
    for (int i = 0; i < 2000; ++i) {
        profiler.Enter(Runner, 101, 0, nullptr);
        profiler.Leave(Runner, 101, 0, nullptr);
    }
    const UINT_PTR catcher = clientIds[3];
    profiler.Enter(Catcher, catcher, 0, nullptr);  // its name is dropped with the call
    profiler.Leave(Catcher, catcher, 0, nullptr);
    receiver.Receive(300);  // what did fit, more than the socket keeps: read apart from what follows
    ThreadBuffer::SetBudget(ThreadBuffer::DefaultBudgetBytes);
    profiler.Enter(Catcher, catcher, 0, nullptr);

    std::vector<uint8_t> catcherTypes;
    for (const auto& message : receiver.Receive(300)) {
        uint32_t function = 0;
        if (message.size() >= 23) std::memcpy(&function, message.data() + 19, 4);
        if (function == catcher) catcherTypes.push_back(UdpReceiver::Type(message));
    }
    EXPECT_EQ(catcherTypes, (std::vector<uint8_t>{3, 1}));
}

TEST_F(HooksTest, SystemFunctionIsSilentOnlyWithAContextWhateverClientIdArrives) {
    EXPECT_EQ(clientIds[2], 0u);
    profiler.Enter(Enable, 0, 0, nullptr);       // no context yet: reported
    profiler.Enter(Enable, Enable, 0, nullptr);  // a runtime substituting its own id for 0
    profiler.ThreadStart(0);
    profiler.Enter(Enable, 0, 0, nullptr);  // with a context: silent
    profiler.Enter(Enable, Enable, 0, nullptr);
    profiler.Leave(Enable, 0, 0, nullptr);
    profiler.Leave(Enable, Enable, 0, nullptr);
    EXPECT_EQ(Types(), (std::vector<uint8_t>{1, 1}));
}

TEST_F(HooksTest, BlacklistedFrameIsSilentAndItsUnwindingLeavesNoStaleState) {
    profiler.ThreadStart(0);
    profiler.Enter(Black, clientIds[1], 0, nullptr);
    profiler.Enter(Runner, 101, 0, nullptr);  // called inside the blacklisted function: reported
    profiler.ExceptionUnwindStarted(Runner);
    profiler.ExceptionUnwindFinished();
    EXPECT_EQ(profiler.BlacklistDepth(0), 1u);
    profiler.ExceptionUnwindStarted(Black);
    profiler.ExceptionUnwindFinished();
    EXPECT_EQ(profiler.BlacklistDepth(0), 0u);
    // The blacklisted function keeps throwing: the thread's state does not grow with it.
    for (int i = 0; i < 100; ++i) {
        profiler.Enter(Black, clientIds[1], 0, nullptr);
        profiler.ExceptionUnwindStarted(Black);
        profiler.ExceptionUnwindFinished();
    }
    EXPECT_EQ(profiler.BlacklistDepth(0), 0u);
    EXPECT_EQ(Types(), (std::vector<uint8_t>{3, 1, 5}));
}

TEST_F(HooksTest, TheFrameThatCatchesIsNotReportedAsUnwound) {
    profiler.ThreadStart(0);
    profiler.Enter(Catcher, clientIds[3], 0, nullptr);
    profiler.Enter(Runner, 101, 0, nullptr);
    profiler.ExceptionRaised(0xABC);
    profiler.ExceptionUnwindStarted(Runner);
    profiler.ExceptionUnwindFinished();
    profiler.ExceptionUnwindStarted(Catcher);  // the runtime announces the catching frame too
    profiler.ExceptionCaught(Catcher);
    profiler.ExceptionUnwindFinished();  // stray: nothing pending any more
    profiler.Leave(Catcher, clientIds[3], 0, nullptr);
    EXPECT_EQ(Types(), (std::vector<uint8_t>{3, 1, 3, 1, 4, 5, 2}));
}

TEST_F(HooksTest, ManagedProbeEntryPointsTakeTheRoadOfTheHooks) {
    ProfilerImpl* previous = g_ProfilerImpl;
    g_ProfilerImpl = &profiler;
    profiler.ThreadStart(0);
    // Injected probes name the function by module and method token, as the metadata does.
    const uint32_t token = 0x06000000u + (Runner & 0xFFFFu);
    ManagedProbeEnterFunction(0x7000, token, 1);
    ManagedProbeExitFunction(0x7000, token, 1);
    ManagedProbeEnterFunction(0x7000, 0x06000999u, 1);  // unknown method: nothing
    ManagedProbeExitFunction(0, token, 1);              // no module: nothing
    g_ProfilerImpl = previous;
    EXPECT_EQ(Types(), (std::vector<uint8_t>{3, 1, 2}));
}

TEST_F(HooksTest, ExceptionDetailsFollowTheirRaiseOnTheSameThreadOnlyWhenAskedFor) {
    profiler.ThreadStart(0);
    profiler.ExceptionRaised(0xABC);  // off by default: collectors that do not know the type
    g_Configuration->reportExceptions = true;
    // An id that is no object reference is not followed: the details say nothing, safely.
    profiler.ExceptionRaised(0xDEF);
    g_Configuration->reportExceptions = false;
    const auto messages = receiver.Receive(200);
    std::vector<uint8_t> types;
    for (const auto& message : messages) types.push_back(UdpReceiver::Type(message));
    ASSERT_EQ(types, (std::vector<uint8_t>{4, 4, 21}));
    const std::vector<uint8_t>& details = messages[2];
    EXPECT_EQ(UdpReceiver::ThreadId(details), UdpReceiver::ThreadId(messages[1]));
    EXPECT_EQ(std::vector<uint8_t>(details.begin() + 19, details.begin() + 27),
              std::vector<uint8_t>(messages[1].begin() + 19, messages[1].begin() + 27));
    // Empty type, no message: the byte counts are zero and the flags say "null".
    ASSERT_EQ(details.size(), 19u + 8 + 2 + 2 + 1);
    EXPECT_EQ(details.back(), 1);
}
