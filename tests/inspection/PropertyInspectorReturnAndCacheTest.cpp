#include "inspection/PropertyInspector.h"
#include "inspection/FieldAnswerCache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "inspection/PropertyInspectorTestSupport.h"
#include "mapping/MappingTestSupport.h"

using namespace Variables;

namespace {

class PropertyInspectorReturnTest : public InspectorFixture {
protected:
    std::unique_ptr<VariableInfo> Return(const void* value, ULONG length) {
        COR_PRF_FUNCTION_ARGUMENT_RANGE range{reinterpret_cast<UINT_PTR>(value), length};
        return std::unique_ptr<VariableInfo>(inspector.ExtractReturnValues(&definition, &range));
    }
};

constexpr uint8_t Static = IMAGE_CEE_CS_CALLCONV_DEFAULT;

}  // namespace

TEST_F(PropertyInspectorReturnTest, WholeReturnValuesAreTypedFromTheSignature) {
    definition.AddTrackedArgument("returnValue", InspectionType::Value, nullptr);
    Signature({Static, 0, ELEMENT_TYPE_I4}, {});
    const int32_t number = 12;
    std::unique_ptr<VariableInfo> record = Return(&number, 4);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->ToString(), "int returnValue = 12");

    Signature({Static, 0, ELEMENT_TYPE_STRING}, {});
    const uintptr_t text = runtime.NewString(u"done");
    EXPECT_EQ(Return(&text, 8)->ToString(), "string returnValue = done");

    // A malformed return type is unknown, not misread.
    Signature({Static, 0, 0x3F}, {});
    EXPECT_EQ(Return(&text, 8)->GetType(), Unknown);
    ExpectMetadataReleased();
}

TEST_F(PropertyInspectorReturnTest, ReturnPathsReadTheReturnedObject) {
    definition.AddTrackedReturnValueSpec(Spec("Name", "_name", ELEMENT_TYPE_STRING));
    definition.AddTrackedReturnValueSpec(Spec("Total", "_total", ELEMENT_TYPE_I8));
    Signature({Static, 0, ELEMENT_TYPE_CLASS, CodedType(OrderType)}, {});
    const uintptr_t order = Order(1, runtime.NewString(u"Cy"), 0, 900);
    std::unique_ptr<VariableInfo> record = Return(&order, 8);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->GetName(), "returnValue");
    EXPECT_EQ(record->GetType(), Object);
    const auto children = record->GetChildren();
    ASSERT_EQ(children.size(), 2u);
    EXPECT_EQ(children[0]->ToString(), "string Name = Cy");
    EXPECT_EQ(children[1]->ToString(), "long Total = 900");

    // A returned value type: its data lies in the range itself.
    constexpr ClassID TotalsClass = 0xD200;
    constexpr mdTypeDef TotalsType = 0x0200000B;
    runtime.classes[TotalsClass] = {Module, TotalsType, 0, {}, 16};
    runtime.AddField(TotalsClass, 0x04000061, "_name", 0, {0x06, ELEMENT_TYPE_STRING});
    runtime.AddField(TotalsClass, 0x04000062, "_total", 8, {0x06, ELEMENT_TYPE_I8});
    runtime.tokens[{Module, TotalsType}] = TotalsClass;
    Signature({Static, 0, ELEMENT_TYPE_VALUETYPE, CodedType(TotalsType)}, {});
    inspector.PrepareValueTypeClasses(&definition, Function);
    runtime.insideHook = true;
    const uintptr_t totals[2] = {runtime.NewString(u"Di"), 35};
    record = Return(totals, 16);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->GetChildren()[0]->ToString(), "string Name = Di");
    EXPECT_EQ(record->GetChildren()[1]->ToString(), "long Total = 35");
    ExpectMetadataReleased();
}

TEST_F(PropertyInspectorReturnTest, PrimitiveReturnTypeHasNoPath) {
    definition.AddTrackedReturnValueSpec(Spec("Name", "_name", ELEMENT_TYPE_STRING));
    Signature({Static, 0, ELEMENT_TYPE_I4}, {});
    runtime.insideHook = true;
    const int32_t value = 7;
    EXPECT_EQ(Return(&value, 4), nullptr);
    ExpectMetadataReleased();
}

TEST_F(PropertyInspectorReturnTest, UnknownReturnedValueTypeIsLoggedAndGivesNullFields) {
    LogCapture log;
    definition.AddTrackedReturnValueSpec(Spec("Name", "_name", ELEMENT_TYPE_STRING));
    Signature({Static, 0, ELEMENT_TYPE_VALUETYPE, CodedType(0x0200000C)}, {});
    const uint64_t data[2] = {0, 0};
    std::unique_ptr<VariableInfo> record = Return(data, 16);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(TypesOf(record->GetChildren()), (std::vector<VariableType>{NullString}));
    EXPECT_EQ(log.Matching("[ExtractReturnValues] GetClassFromToken(..) Failed for Shop.Order::Place").size(), 1u);
}

TEST_F(PropertyInspectorReturnTest, RawReturnValueAsksTheRuntimeNothing) {
    definition.AddTrackedArgument("returnValue", InspectionType::RawValue, nullptr);
    const uint64_t reference = 0x7F0012345678;
    std::unique_ptr<VariableInfo> record = Return(&reference, 8);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->GetType(), Int64);
    EXPECT_EQ(record->GetValues().front(), &reference);
    EXPECT_EQ(runtime.Calls("GetTokenAndMetaDataFromFunction"), 0);
}

TEST_F(PropertyInspectorReturnTest, NothingWithoutARangeItsLengthOrAnInspectionEntry) {
    const int32_t number = 1;
    EXPECT_EQ(Return(&number, 4), nullptr);  // no entry for the return value
    definition.AddTrackedArgument("returnValue", InspectionType::Value, nullptr);
    Signature({Static, 0, ELEMENT_TYPE_I4}, {});
    EXPECT_EQ(Return(&number, 0), nullptr);
    EXPECT_EQ(Return(nullptr, 4), nullptr);
    EXPECT_EQ(inspector.ExtractReturnValues(&definition, nullptr), nullptr);
    EXPECT_EQ(inspector.ExtractReturnValues(nullptr, nullptr), nullptr);
    // The method facts fall back to the plain function query.
    runtime.exactFunctionInfoFails = true;
    EXPECT_NE(Return(&number, 4), nullptr);
    EXPECT_EQ(runtime.Calls("GetFunctionInfo"), 1);
}

TEST_F(PropertyInspectorReturnTest, ATypeReferenceIsDescribedByItsDefiningModule) {
    constexpr ModuleID Library = 0x7100;
    constexpr ClassID Remote = 0xE000;
    runtime.classes[Remote] = {Library, 0x02000001, 0, {}, 16};
    PropertySpec* step = Spec("", "_x", ELEMENT_TYPE_I4);

    auto pair = inspector.SetModuleAndClassForSpec(step, 0x01000002, Module, Remote);
    ASSERT_TRUE(pair.has_value());
    EXPECT_EQ(pair->classId, Remote);
    EXPECT_EQ(pair->moduleId, Library);
    EXPECT_EQ(pair->requestingModuleId, Module);
    // Kept for the module that asked: a later answer does not replace it.
    pair = inspector.SetModuleAndClassForSpec(step, 0x01000002, Module, 0xBAD);
    EXPECT_EQ(pair->classId, Remote);
    // A type definition is described by the module that asked.
    pair = inspector.SetModuleAndClassForSpec(step, 0x02000004, 0x7300, 0xE100);
    EXPECT_EQ(pair->moduleId, 0x7300u);
    EXPECT_EQ(inspector.GetModuleClassIDPair(step, Module)->classId, Remote);
    EXPECT_FALSE(inspector.GetModuleClassIDPair(step, 0x7400).has_value());
    EXPECT_FALSE(inspector.SetModuleAndClassForSpec(nullptr, 0x02000004, Module, Remote).has_value());
}

namespace {

std::vector<std::unique_ptr<PropertySpec>> Steps(int count) {
    std::vector<std::unique_ptr<PropertySpec>> steps;
    for (int i = 0; i < count; ++i) steps.push_back(std::make_unique<PropertySpec>());
    return steps;
}

// Four hook threads at once, 200 rounds over every step; the calls for which `check` says false.
template <typename Check>
int FailuresOnHookThreads(const std::vector<std::unique_ptr<PropertySpec>>& steps, Check check) {
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 200; ++round)
                for (size_t s = 0; s < steps.size(); ++s)
                    if (!check(t, round, s, steps[s].get())) ++failures;
        });
    }
    for (auto& thread : threads) thread.join();
    return failures.load();
}

}  // namespace

TEST(SpecClassCacheTest, ConcurrentHooksShareOnePairPerStepAndModule) {
    SpecClassCache cache;
    const auto steps = Steps(64);
    EXPECT_EQ(FailuresOnHookThreads(steps,
                                    [&](int t, int round, size_t s, const PropertySpec* step) {
                                        const ModuleID module = 0x1000 + (round + t) % 6;  // more than a step keeps
                                        const ClassID klass = 0x50000 + s * 16 + module % 16;
                                        const ModuleClassIDPair published =
                                            cache.Publish(step, ModuleClassIDPair(module, klass, module));
                                        const auto found = cache.Find(step, module);
                                        return published.classId == klass && published.requestingModuleId == module &&
                                               (!found || found->classId == klass);
                                    }),
              0);
    size_t cachedModules = 0;
    for (ModuleID module = 0x1000; module < 0x1006; ++module)
        if (cache.Find(steps[0].get(), module)) ++cachedModules;
    EXPECT_EQ(cachedModules, SpecClassCache::MaxModulesPerStep);
}

TEST(FieldAnswerCacheTest, ConcurrentHooksSeeNoAnswerOrTheFirstCompleteOneForTheirKey) {
    FieldAnswerCache cache;
    const auto steps = Steps(32);
    EXPECT_EQ(FailuresOnHookThreads(steps,
                                    [&](int t, int round, size_t s, const PropertySpec* step) {
                                        const ClassID klass = 0x60000 + 0x40 * (round % 8);
                                        FieldFacts facts;
                                        facts.offset = static_cast<uint32_t>(klass + s);  // the same for every thread
                                        facts.classSize = static_cast<ULONG>(t);  // differs: the first published stays
                                        cache.Publish(klass, step, s % 3 != 0, facts);
                                        const FieldAnswerCache::Answer* answer = cache.Find(klass, step);
                                        return answer != nullptr && answer->classId == klass && answer->step == step &&
                                               answer->facts.offset == klass + s && answer->found == (s % 3 != 0);
                                    }),
              0);
    EXPECT_EQ(cache.Find(0x12345, steps[0].get()), nullptr);
}
