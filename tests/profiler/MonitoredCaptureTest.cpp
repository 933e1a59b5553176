#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

#include "environment/Configuration.h"
#include "environment/SystemContext.h"
#include "inspection/PropertyInspectorTestSupport.h"
#include "mapping/FunctionMapper.h"
#include "mapping/MappingTestSupport.h"
#include "profiler/ProfilerImpl.h"
#include "support/UdpReceiver.h"

namespace {
// Heap allocations of the calling thread while `counting` is on.
thread_local bool counting = false;
thread_local size_t allocations = 0;
// Out of line, so that a debugger can stop where a counted allocation is made.
__attribute__((noinline)) void AllocatedWhileCounting() {
    ++allocations;
    asm volatile("");
}
}  // namespace

void* operator new(std::size_t size) {
    if (counting) AllocatedWhileCounting();
    if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
    throw std::bad_alloc();
}
// Deletes pair with the replacement above (a sanitizer runtime checks that they do). The
// compiler's pairing check sees malloc'd memory reach operator delete and would object.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (counting) AllocatedWhileCounting();
    return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
#pragma GCC diagnostic pop

namespace {

constexpr FunctionID Runner = 0x1000, Plain = 0x2000;
constexpr mdMethodDef RunToken = 0x06000001;

// The hooks with value capture: a monitored function's begin-call carries its arguments and its
// end-call its return value, read through the fake runtime installed in g_Context. Each test
// runs in a process of its own (ctest).
class MonitoredCaptureTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_Configuration->networkMode = Uplink::Udp;
        g_Configuration->wireCommandPort = receiver.Port();
        lookup.Add(Runner, "Shop.A", "Run");
        lookup.Add(Plain, "Shop.A", "Plain");
        ASSERT_EQ(profiler.FinalConstruct(), S_OK);
        runtime = std::make_unique<FakeInspectionRuntime>();  // takes over g_Context
        runtime->functions[Runner] = {0xC000, 0x7000, RunToken};
        runtime->import.signatures[RunToken] = {IMAGE_CEE_CS_CALLCONV_DEFAULT, 1, ELEMENT_TYPE_I8, ELEMENT_TYPE_I4};
        runtime->import.methodParams[RunToken] = {0x08000001};
        runtime->import.params[0x08000001] = {1, u"count"};

        uint64_t next = 100;
        g_Mapper = new FunctionMapper(&lookup, [&next] { return ++next; });
        g_Mapper->AddMonitoredFunction("Shop.A", "Run", "count", InspectionType::Value, nullptr);
        g_Mapper->AddMonitoredFunction("Shop.A", "Run", "returnValue", InspectionType::Value, nullptr);
        runId = g_Mapper->Map(Runner).first;
        plainId = g_Mapper->Map(Plain).first;
    }
    void TearDown() override { runtime.reset(); }

    UdpReceiver receiver;
    FakeLookupHelper lookup;
    ProfilerImpl profiler;
    std::unique_ptr<FakeInspectionRuntime> runtime;
    UINT_PTR runId = 0, plainId = 0;
};

std::vector<uint8_t> Tail(const std::vector<uint8_t>& message, size_t from) {
    return from <= message.size() ? std::vector<uint8_t>(message.begin() + static_cast<long>(from), message.end())
                                  : std::vector<uint8_t>();
}

}  // namespace

TEST_F(MonitoredCaptureTest, MonitoredCallsCarryArgumentsAndReturnValue) {
    FakeArguments arguments;
    arguments.Value<int32_t>(5);
    const int64_t result = 7;
    COR_PRF_FUNCTION_ARGUMENT_RANGE range{reinterpret_cast<UINT_PTR>(&result), 8};

    profiler.Enter(Runner, runId, 0, arguments.Info());
    profiler.Leave(Runner, runId, 0, &range);
    profiler.Enter(Runner, runId, 0, nullptr);  // no argument information: no arguments
    profiler.Tailcall(Runner, runId, 0);        // a tail call has no return value
    profiler.Enter(Plain, plainId, 0, arguments.Info());
    profiler.Leave(Plain, plainId, 0, &range);

    const auto messages = receiver.Receive(300);
    ASSERT_EQ(messages.size(), 6u);
    // Begin-call: count 1, then the record int count = 5.
    EXPECT_EQ(Tail(messages[0], 31),
              (std::vector<uint8_t>{1, 0x0B, 0x00, 0x06, 0x05, 'c', 'o', 'u', 'n', 't', 5, 0, 0, 0}));
    // End-call: not a tail call, then the record long returnValue = 7.
    EXPECT_EQ(Tail(messages[1], 23),
              (std::vector<uint8_t>{0,   0x15, 0x00, 0x08, 0x0B, 'r', 'e', 't', 'u', 'r', 'n', 'V',
                                    'a', 'l',  'u',  'e',  7,    0,   0,   0,   0,   0,   0,   0}));
    EXPECT_EQ(Tail(messages[2], 31), (std::vector<uint8_t>{0}));
    EXPECT_EQ(Tail(messages[3], 23), (std::vector<uint8_t>{1, 0, 0}));
    // Functions that are not monitored capture nothing and ask the runtime nothing.
    EXPECT_EQ(Tail(messages[4], 31), (std::vector<uint8_t>{0}));
    EXPECT_EQ(Tail(messages[5], 23), (std::vector<uint8_t>{0, 0, 0}));
    EXPECT_EQ(runtime->Calls("GetTokenAndMetaDataFromFunction"), 2);
}

TEST_F(MonitoredCaptureTest, CaptureAllocatesNothingOnceTheThreadIsWarm) {
    FakeArguments arguments;
    arguments.Value<int32_t>(5);
    const int64_t result = 7;
    COR_PRF_FUNCTION_ARGUMENT_RANGE range{reinterpret_cast<UINT_PTR>(&result), 8};
    COR_PRF_FUNCTION_ARGUMENT_INFO* info = arguments.Info();
    // Mapped as the runtime maps it, so that what capture needs from metadata is read now.
    BOOL hook = 0;
    ASSERT_EQ(ProfilerImpl::FunctionMapperCallback(Runner, &hook), runId);
    ASSERT_TRUE(hook);
    // The first calls make the thread's buffer and its reusable capture storage.
    for (int i = 0; i < 3; ++i) {
        profiler.Enter(Runner, runId, 0, info);
        profiler.Leave(Runner, runId, 0, &range);
    }
    counting = true;
    for (int i = 0; i < 100; ++i) {
        profiler.Enter(Runner, runId, 0, info);
        profiler.Leave(Runner, runId, 0, &range);
    }
    counting = false;
    EXPECT_EQ(allocations, 0u);
    // And what was sent is still the captured values.
    const auto messages = receiver.Receive(206);
    ASSERT_EQ(messages.size(), 206u);
    EXPECT_EQ(Tail(messages.back(), 23),
              (std::vector<uint8_t>{0,   0x15, 0x00, 0x08, 0x0B, 'r', 'e', 't', 'u', 'r', 'n', 'V',
                                    'a', 'l',  'u',  'e',  7,    0,   0,   0,   0,   0,   0,   0}));
    EXPECT_EQ(Tail(messages[204], 31),
              (std::vector<uint8_t>{1, 0x0B, 0x00, 0x06, 0x05, 'c', 'o', 'u', 'n', 't', 5, 0, 0, 0}));
}
