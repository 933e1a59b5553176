#include "inspection/PropertyInspector.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "inspection/PropertyInspectorTestSupport.h"
#include "mapping/MappingTestSupport.h"

using namespace Variables;

namespace {

class PropertyInspectorTest : public InspectorFixture {};

constexpr uint8_t Static = IMAGE_CEE_CS_CALLCONV_DEFAULT;
constexpr uint8_t Instance = IMAGE_CEE_CS_CALLCONV_HASTHIS;

}  // namespace

TEST_F(PropertyInspectorTest, WholeArgumentValuesAreTypedFromTheSignature) {
    Signature({Static, 7, ELEMENT_TYPE_VOID, ELEMENT_TYPE_I4, ELEMENT_TYPE_I8, ELEMENT_TYPE_BOOLEAN, ELEMENT_TYPE_U1,
               ELEMENT_TYPE_STRING, ELEMENT_TYPE_STRING, ELEMENT_TYPE_STRING},
              {"count", "total", "flag", "small", "text", "empty", "missing"});
    definition.AddTrackedArgument("", InspectionType::Value, nullptr);  // every argument
    FakeArguments arguments;
    arguments.Value<int32_t>(5).Value<int64_t>(-7).Value<uint8_t>(1).Value<uint8_t>(200);
    arguments.Value(runtime.NewString(u"hello")).Value(runtime.NewString(u"")).Value<uintptr_t>(0);

    const std::vector<VariableInfo> records = Capture(arguments);

    ASSERT_EQ(records.size(), 7u);
    EXPECT_EQ(records[0].ToString(), "int count = 5");
    EXPECT_EQ(records[1].ToString(), "long total = -7");
    EXPECT_EQ(records[2].ToString(), "bool flag = true");
    EXPECT_EQ(records[3].ToString(), "byte small = 200");
    EXPECT_EQ(records[4].ToString(), "string text = hello");
    EXPECT_EQ(records[5].GetType(), EmptyString);
    EXPECT_EQ(records[6].GetType(), NullString);
    EXPECT_EQ(instanceId, 0u);
    ExpectMetadataReleased();
}

TEST_F(PropertyInspectorTest, InstanceMethodTakesThisFromRangeZeroAndShiftsItsParameters) {
    Signature({Instance, 2, ELEMENT_TYPE_VOID, ELEMENT_TYPE_I4, ELEMENT_TYPE_I4}, {"first", "second"});
    definition.AddTrackedArgument("second", InspectionType::Value, nullptr);
    definition.AddTrackedThisPtrValueSpec(Spec("Id", "_id", ELEMENT_TYPE_I4));
    const uintptr_t order = Order(42, 0, 0);
    FakeArguments arguments;
    arguments.Value(order).Value<int32_t>(1).Value<int32_t>(2);

    std::vector<VariableInfo> records = Capture(arguments);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(instanceId, order);
    EXPECT_EQ(records[0].ToString(), "int Id = 42");
    EXPECT_EQ(records[1].ToString(), "int second = 2");

    // A null `this` gives instance 0 and no field of it.
    FakeArguments noThis;
    noThis.Value<uintptr_t>(0).Value<int32_t>(1).Value<int32_t>(3);
    records = Capture(noThis);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(instanceId, 0u);
    EXPECT_EQ(records[0].ToString(), "int second = 3");

    // Fewer ranges than parameters: what has no range is not read.
    FakeArguments short_;
    short_.Value(order).Value<int32_t>(1);
    EXPECT_EQ(Capture(short_).size(), 1u);
    ExpectMetadataReleased();
}

TEST_F(PropertyInspectorTest, ThisPathsReadFieldsOneAndTwoStepsDeepUntilACollectionPath) {
    Signature({Instance, 0, ELEMENT_TYPE_VOID}, {});
    definition.AddTrackedThisPtrValueSpec(Spec("Id", "_id", ELEMENT_TYPE_I4));
    definition.AddTrackedThisPtrValueSpec(Spec("Name", "_name", ELEMENT_TYPE_STRING));
    definition.AddTrackedThisPtrValueSpec(
        Spec("Code", "_customer", ELEMENT_TYPE_CLASS, Spec("", "_code", ELEMENT_TYPE_I8)));
    definition.AddTrackedThisPtrValueSpec(
        Spec("Email", "_customer", ELEMENT_TYPE_CLASS, Spec("", "_email", ELEMENT_TYPE_STRING)));
    definition.AddTrackedThisPtrValueSpec(Spec("Lines", "_lines##Items", ELEMENT_TYPE_STRING));
    definition.AddTrackedThisPtrValueSpec(Spec("After", "_id", ELEMENT_TYPE_I4));

    FakeArguments arguments;
    arguments.Value(Order(42, runtime.NewString(u"Ann"), Customer(77, runtime.NewString(u"ann@shop"))));
    std::vector<VariableInfo> records = Capture(arguments);
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].ToString(), "int Id = 42");
    EXPECT_EQ(records[1].ToString(), "string Name = Ann");
    EXPECT_EQ(records[2].ToString(), "long Code = 77");
    EXPECT_EQ(records[3].ToString(), "string Email = ann@shop");

    // A null on the way, and a null last field.
    FakeArguments nulls;
    nulls.Value(Order(1, 0, 0));
    records = Capture(nulls);
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(TypesOf(records), (std::vector<VariableType>{Int32, NullString, NullObject, NullString}));
    ExpectMetadataReleased();
}

TEST_F(PropertyInspectorTest, ArgumentPathsFollowTheReferencedObject) {
    constexpr mdTypeRef OrderRef = 0x01000004;  // declared through another module's type
    Signature({Static, 2, ELEMENT_TYPE_VOID, ELEMENT_TYPE_CLASS, CodedType(OrderRef), ELEMENT_TYPE_I4},
              {"order", "count"});
    definition.AddTrackedArgument("order", InspectionType::PropertyPath, Spec("Name", "_name", ELEMENT_TYPE_STRING));
    definition.AddTrackedArgument("order", InspectionType::PropertyPath,
                                  Spec("Code", "_customer", ELEMENT_TYPE_CLASS, Spec("", "_code", ELEMENT_TYPE_I8)));
    definition.AddTrackedArgument("count", InspectionType::Value, nullptr);

    FakeArguments arguments;
    arguments.Value(Order(5, runtime.NewString(u"Bo"), Customer(-3, 0))).Value<int32_t>(9);
    std::vector<VariableInfo> records = Capture(arguments);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].GetName(), "order");
    EXPECT_EQ(records[0].GetType(), Object);
    const auto children = records[0].GetChildren();
    ASSERT_EQ(children.size(), 2u);
    EXPECT_EQ(children[0]->ToString(), "string Name = Bo");
    EXPECT_EQ(children[1]->ToString(), "long Code = -3");
    EXPECT_EQ(records[1].ToString(), "int count = 9");
    // The class comes from the object itself: no type is looked up by token.
    EXPECT_EQ(runtime.Calls("GetClassFromToken"), 0);

    FakeArguments nullOrder;
    nullOrder.Value<uintptr_t>(0).Value<int32_t>(1);
    records = Capture(nullOrder);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(TypesOf(records[0].GetChildren()), (std::vector<VariableType>{NullString, NullObject}));
    ExpectMetadataReleased();
}

TEST_F(PropertyInspectorTest, ValueTypeClassesAreFoundWhenMappedAndReadInsideTheHooks) {
    constexpr ClassID PointClass = 0xD000;
    constexpr mdTypeDef PointType = 0x02000005;
    runtime.classes[PointClass] = {Module, PointType, 0, {}, 8};
    runtime.AddField(PointClass, 0x04000021, "x", 0, {0x06, ELEMENT_TYPE_I4});
    runtime.AddField(PointClass, 0x04000022, "y", 4, {0x06, ELEMENT_TYPE_I4});
    runtime.tokens[{Module, PointType}] = PointClass;
    Signature({Static, 2, ELEMENT_TYPE_VOID, ELEMENT_TYPE_I4, ELEMENT_TYPE_VALUETYPE, CodedType(PointType)},
              {"count", "point"});
    PropertySpec* x = Spec("X", "x", ELEMENT_TYPE_I4);
    definition.AddTrackedArgument("point", InspectionType::PropertyPath, x);
    definition.AddTrackedArgument("point", InspectionType::PropertyPath, Spec("Y", "y", ELEMENT_TYPE_I4));
    const int32_t point[2] = {3, 4};
    FakeArguments arguments;  // records point into it: it outlives them
    arguments.Value<int32_t>(0).Add(point, sizeof(point));
    auto capture = [&] { return Capture(arguments); };

    runtime.insideHook = true;
    EXPECT_TRUE(capture().empty());  // not prepared: the class cannot be named here

    runtime.insideHook = false;
    inspector.PrepareValueTypeClasses(&definition, Function);
    inspector.PrepareValueTypeClasses(&definition, Function);  // a function mapped again
    EXPECT_EQ(runtime.Calls("GetClassFromToken"), 1 + 2);      // once per path step
    runtime.insideHook = true;
    for (int call = 0; call < 2; ++call) {
        const std::vector<VariableInfo> records = capture();
        ASSERT_EQ(records.size(), 1u);
        const auto children = records[0].GetChildren();
        ASSERT_EQ(children.size(), 2u);
        EXPECT_EQ(children[0]->ToString(), "int X = 3");
        EXPECT_EQ(children[1]->ToString(), "int Y = 4");
    }
    EXPECT_EQ(runtime.Calls("GetClassFromToken"), 3);
    const auto pair = inspector.GetModuleClassIDPair(x, Module);
    ASSERT_TRUE(pair.has_value());
    EXPECT_EQ(pair->classId, PointClass);
    EXPECT_EQ(pair->moduleId, Module);
    ExpectMetadataReleased();
}

TEST_F(PropertyInspectorTest, FieldsDeclaredByABaseClassAreFound) {
    constexpr ClassID SpecialOrder = 0xC100;
    runtime.classes[SpecialOrder] = {Module, 0x02000009, OrderClass, {}, 56};
    runtime.AddField(SpecialOrder, 0x04000031, "_discount", 40, {0x06, ELEMENT_TYPE_I4});
    Signature({Static, 1, ELEMENT_TYPE_VOID, ELEMENT_TYPE_CLASS, CodedType(OrderType)}, {"order"});
    definition.AddTrackedArgument("order", InspectionType::PropertyPath, Spec("Id", "_id", ELEMENT_TYPE_I4));
    definition.AddTrackedArgument("order", InspectionType::PropertyPath,
                                  Spec("Discount", "_discount", ELEMENT_TYPE_I4));

    const uintptr_t order = runtime.NewObject(SpecialOrder, 48);
    FakeInspectionRuntime::Set<int32_t>(order, 8, 11);
    FakeInspectionRuntime::Set<int32_t>(order, 40, 25);
    FakeArguments arguments;
    arguments.Value(order);
    const std::vector<VariableInfo> records = Capture(arguments);
    ASSERT_EQ(records.size(), 1u);
    const auto children = records[0].GetChildren();
    ASSERT_EQ(children.size(), 2u);
    EXPECT_EQ(children[0]->ToString(), "int Id = 11");
    EXPECT_EQ(children[1]->ToString(), "int Discount = 25");
    ExpectMetadataReleased();
}

TEST_F(PropertyInspectorTest, ReadsOutsideTheObjectOrThroughImplausiblePointersAreRefused) {
    constexpr ClassID Broken = 0xC300;
    runtime.classes[Broken] = {Module, 0x0200000A, 0, {}, 24};
    runtime.AddField(Broken, 0x04000041, "_past", 22, {0x06, ELEMENT_TYPE_I4});         // 22 + 4 > 24
    runtime.AddField(Broken, 0x04000042, "_far", 0xFFFFFFF0, {0x06, ELEMENT_TYPE_I8});  // wraps around
    runtime.AddField(Broken, 0x04000043, "_odd", 8, {0x06, ELEMENT_TYPE_CLASS, CodedType(CustomerType)});
    runtime.AddField(Broken, 0x04000044, "_low", 16, {0x06, ELEMENT_TYPE_CLASS, CodedType(CustomerType)});
    Signature({Static, 1, ELEMENT_TYPE_VOID, ELEMENT_TYPE_CLASS, CodedType(OrderType)}, {"target"});
    for (const char* field : {"_past", "_far"})
        definition.AddTrackedArgument("target", InspectionType::PropertyPath, Spec(field, field, ELEMENT_TYPE_I4));
    definition.AddTrackedArgument("target", InspectionType::PropertyPath,
                                  Spec("odd", "_odd", ELEMENT_TYPE_CLASS, Spec("", "_code", ELEMENT_TYPE_I8)));
    definition.AddTrackedArgument("target", InspectionType::PropertyPath,
                                  Spec("low", "_low", ELEMENT_TYPE_CLASS, Spec("", "_code", ELEMENT_TYPE_I8)));
    // A string read from a field that holds no string.
    definition.AddTrackedArgument("target", InspectionType::PropertyPath, Spec("text", "_odd", ELEMENT_TYPE_STRING));

    const uintptr_t object = runtime.NewObject(Broken, 16);
    FakeInspectionRuntime::Set<uintptr_t>(object, 8, Customer(1, 0) + 3);  // misaligned reference
    FakeInspectionRuntime::Set<uintptr_t>(object, 16, 0x100);              // below any mapping
    FakeArguments arguments;
    arguments.Value(object);
    const std::vector<VariableInfo> records = Capture(arguments);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(TypesOf(records[0].GetChildren()), (std::vector<VariableType>(5, Unknown)));

    // A reference argument slot shorter than a reference is not read either.
    FakeArguments shortSlot;
    shortSlot.Range(arguments.Start(0), 4);
    const std::vector<VariableInfo> cut = Capture(shortSlot);
    ASSERT_EQ(cut.size(), 1u);
    EXPECT_EQ(TypesOf(cut[0].GetChildren()), (std::vector<VariableType>(5, Unknown)));
    ExpectMetadataReleased();
}

TEST_F(PropertyInspectorTest, ValueTypeFieldsStayWithinTheArgumentRange) {
    constexpr ClassID PairClass = 0xD100;
    constexpr mdTypeDef PairType = 0x02000007;
    runtime.classes[PairClass] = {Module, PairType, 0, {}, 0};  // size not reported
    runtime.AddField(PairClass, 0x04000051, "a", 0, {0x06, ELEMENT_TYPE_I4});
    runtime.AddField(PairClass, 0x04000052, "b", 4, {0x06, ELEMENT_TYPE_I4});
    runtime.tokens[{Module, PairType}] = PairClass;
    Signature({Static, 1, ELEMENT_TYPE_VOID, ELEMENT_TYPE_VALUETYPE, CodedType(PairType)}, {"pair"});
    definition.AddTrackedArgument("pair", InspectionType::PropertyPath, Spec("A", "a", ELEMENT_TYPE_I4));
    definition.AddTrackedArgument("pair", InspectionType::PropertyPath, Spec("B", "b", ELEMENT_TYPE_I4));

    const int32_t pair[2] = {6, 7};
    FakeArguments arguments;
    arguments.Add(pair, 4);  // the runtime reported only 4 bytes
    const std::vector<VariableInfo> records = Capture(arguments);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(TypesOf(records[0].GetChildren()), (std::vector<VariableType>{Int32, Unknown}));
}

TEST_F(PropertyInspectorTest, RawValuesKeepTheArgumentsOwnBytes) {
    Signature(
        {Static, 3, ELEMENT_TYPE_VOID, ELEMENT_TYPE_CLASS, CodedType(OrderType), ELEMENT_TYPE_I4, ELEMENT_TYPE_I8},
        {"order", "small", "large"});
    definition.AddTrackedArgument("", InspectionType::RawValue, nullptr);
    const uintptr_t order = Order(1, 0, 0);
    FakeArguments arguments;
    arguments.Value(order).Value<int32_t>(-2).Value<int64_t>(1LL << 40);
    const std::vector<VariableInfo> records = Capture(arguments);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].ToString(), "long order = " + std::to_string(static_cast<int64_t>(order)));
    EXPECT_EQ(records[0].GetValues().front(), reinterpret_cast<const void*>(arguments.Start(0)));
    EXPECT_EQ(records[1].ToString(), "int small = -2");  // a 4-byte slot is not read as 8 bytes
    EXPECT_EQ(records[2].ToString(), "long large = 1099511627776");
}

TEST_F(PropertyInspectorTest, ByteBuffersComeFromSpansAndZeroTerminatedPointers) {
    Signature({Static, 4, ELEMENT_TYPE_VOID, ELEMENT_TYPE_VALUETYPE, CodedType(0x02000008), ELEMENT_TYPE_VALUETYPE,
               CodedType(0x02000008), ELEMENT_TYPE_PTR, ELEMENT_TYPE_U1, ELEMENT_TYPE_PTR, ELEMENT_TYPE_U1},
              {"target", "older", "raw", "capped"});
    definition.AddTrackedArgument("target", InspectionType::ByteBuffer, Spec("Path", "", ELEMENT_TYPE_STRING));
    definition.AddTrackedArgument("older", InspectionType::ByteBuffer, Spec("OldPath", "", ELEMENT_TYPE_STRING));
    definition.AddTrackedArgument("raw", InspectionType::ByteBuffer, Spec("Raw", "", ELEMENT_TYPE_PTR));
    definition.AddTrackedArgument("capped", InspectionType::ByteBuffer, Spec("Capped", "16", ELEMENT_TYPE_PTR));

    const std::string path = "/orders";
    struct {
        const char* data;
        int32_t length;
    } span{path.data(), static_cast<int32_t>(path.size())};
    struct {
        const void* none;
        const char* data;
        int32_t length;
    } olderSpan{nullptr, path.data(), 3};
    const char raw[] = {'a', 'b', 'c', 0, 'd'};
    const std::string long_(40, 'x');
    FakeArguments arguments;
    arguments.Add(&span, 16).Add(&olderSpan, 24).Value(raw).Value(long_.c_str());

    const std::vector<VariableInfo> records = Capture(arguments);
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].ToString(), "byte[7] Path = [47,111,114,100,101,114,115]");
    EXPECT_EQ(records[1].ToString(), "byte[3] OldPath = [47,111,114]");
    EXPECT_EQ(records[2].ToString(), "byte[3] Raw = [97,98,99]");
    EXPECT_EQ(records[3].GetValues().size(), 16u);

    // Without a zero byte the default limit applies; the record keeps what it can carry.
    std::vector<char> endless(2000, 'y');
    FakeArguments unterminated;
    unterminated.Add(&span, 16).Add(&olderSpan, 24).Value(endless.data()).Value(raw);
    EXPECT_EQ(Capture(unterminated)[2].GetValues().size(), VariableInfo::MaxEntries);

    // A span shorter than its two fields gives no elements.
    FakeArguments truncated;
    truncated.Add(&span, 8).Add(&olderSpan, 12).Value(raw).Value(raw);
    const std::vector<VariableInfo> cut = Capture(truncated);
    EXPECT_TRUE(cut[0].GetValues().empty());
    EXPECT_TRUE(cut[1].GetValues().empty());
}

TEST_F(PropertyInspectorTest, MalformedSignaturesGiveUnknownRecordsAndNoReadBeyondTheBlob) {
    definition.AddTrackedArgument("", InspectionType::Value, nullptr);
    FakeArguments arguments;
    arguments.Value<int32_t>(1).Value<int32_t>(2).Value<int32_t>(3);

    // A value type without its token, the blob ending right after it.
    Signature({Static, 3, ELEMENT_TYPE_VOID, ELEMENT_TYPE_I4, ELEMENT_TYPE_VALUETYPE}, {"a", "b", "c"});
    std::vector<VariableInfo> records = Capture(arguments);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(TypesOf(records), (std::vector<VariableType>{Int32, Unknown, Unknown}));
    EXPECT_EQ(records[2].GetName(), "c");

    // An element type that does not exist.
    Signature({Static, 2, ELEMENT_TYPE_VOID, 0x3F, ELEMENT_TYPE_I4}, {"a", "b"});
    EXPECT_EQ(TypesOf(Capture(arguments)), (std::vector<VariableType>{Unknown, Unknown}));

    // A parameter count far beyond the blob, and blobs too short for a header.
    Signature({Static, 0xDF, 0xFF, 0xFF, 0xFF, ELEMENT_TYPE_VOID, ELEMENT_TYPE_I4}, {"a"});
    records = Capture(arguments);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].ToString(), "int a = 1");
    for (std::vector<uint8_t> blob : {std::vector<uint8_t>{}, std::vector<uint8_t>{Static},
                                      std::vector<uint8_t>{IMAGE_CEE_CS_CALLCONV_FIELD, ELEMENT_TYPE_I4}}) {
        Signature(blob, {"a"});
        EXPECT_TRUE(Capture(arguments).empty());
    }
    ExpectMetadataReleased();
}

TEST_F(PropertyInspectorTest, StringContentsNeedTheStringLayout) {
    FakeInspectionRuntime blind(false);  // now the one in g_Context, without a string layout
    blind.functions = runtime.functions;
    blind.classes = runtime.classes;
    blind.import.fields = runtime.import.fields;
    blind.import.signatures[MethodToken] = {Instance, 1, ELEMENT_TYPE_VOID, ELEMENT_TYPE_STRING};
    blind.import.methodParams[MethodToken] = {0x08000001};
    blind.import.params[0x08000001] = {1, u"text"};
    definition.AddTrackedArgument("text", InspectionType::Value, nullptr);
    definition.AddTrackedThisPtrValueSpec(Spec("Name", "_name", ELEMENT_TYPE_STRING));

    FakeArguments arguments;
    arguments.Value(Order(1, runtime.NewString(u"Ann"), 0)).Value(runtime.NewString(u"hi"));
    const std::vector<VariableInfo> records = Capture(arguments);
    ASSERT_EQ(records.size(), 2u);
    for (const VariableInfo& record : records) {
        EXPECT_EQ(record.GetType(), String);
        EXPECT_TRUE(record.GetValues().empty());
    }
}

TEST_F(PropertyInspectorTest, ParameterNamesFollowTheirSequenceNumbers) {
    Signature({Static, 3, ELEMENT_TYPE_I4, ELEMENT_TYPE_I4, ELEMENT_TYPE_I4, ELEMENT_TYPE_I4}, {});
    // A row for the return value comes first, the rows are out of order, the second has none.
    runtime.import.methodParams[MethodToken] = {0x08000010, 0x08000013, 0x08000011};
    runtime.import.params[0x08000010] = {0, u"result"};
    runtime.import.params[0x08000011] = {1, u"first"};
    runtime.import.params[0x08000013] = {3, u"third"};
    definition.AddTrackedArgument("", InspectionType::Value, nullptr);
    FakeArguments arguments;
    arguments.Value<int32_t>(1).Value<int32_t>(2).Value<int32_t>(3);
    const std::vector<VariableInfo> records = Capture(arguments);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].ToString(), "int first = 1");
    EXPECT_EQ(records[1].ToString(), "int third = 3");
}

TEST_F(PropertyInspectorTest, GenericMethodParametersFollowTheTypeParameterCount) {
    Signature({IMAGE_CEE_CS_CALLCONV_GENERIC, 1, 2, ELEMENT_TYPE_VOID, ELEMENT_TYPE_MVAR, 0, ELEMENT_TYPE_I4},
              {"item", "count"});
    definition.AddTrackedArgument("", InspectionType::Value, nullptr);
    FakeArguments arguments;
    arguments.Value<int64_t>(8).Value<int32_t>(4);
    const std::vector<VariableInfo> records = Capture(arguments);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].GetType(), Unknown);
    EXPECT_EQ(records[1].ToString(), "int count = 4");
}

TEST_F(PropertyInspectorTest, NothingIsCapturedWithoutInspectionEntries) {
    Signature({Instance, 1, ELEMENT_TYPE_VOID, ELEMENT_TYPE_I4}, {"count"});
    FakeArguments arguments;
    arguments.Value(Order(1, 0, 0)).Value<int32_t>(1);
    EXPECT_TRUE(Capture(arguments).empty());
    EXPECT_NE(instanceId, 0u);
    // Nor without the method's metadata, or without argument information.
    EXPECT_TRUE(inspector.ExtractArgumentValues(nullptr, &definition, 0, nullptr).empty());
    runtime.functions.clear();
    EXPECT_TRUE(Capture(arguments).empty());
    ExpectMetadataReleased();
}

TEST_F(PropertyInspectorTest, AFailureInsideCaptureKeepsWhatWasCapturedAndIsLogged) {
    LogCapture log;
    Signature({Instance, 0, ELEMENT_TYPE_VOID}, {});
    definition.AddTrackedThisPtrValueSpec(Spec("Id", "_id", ELEMENT_TYPE_I4));
    definition.AddTrackedThisPtrValueSpec(Spec("Name", "_name", ELEMENT_TYPE_STRING));
    runtime.import.throwingField = 0x04000002;  // _name
    FakeArguments arguments;
    arguments.Value(Order(3, 0, 0));
    const std::vector<VariableInfo> records = Capture(arguments);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].ToString(), "int Id = 3");
    EXPECT_EQ(log.Matching("[ExtractArgumentValues] Unhandled Exception: metadata broke").size(), 1u);
    ExpectMetadataReleased();
}

TEST_F(PropertyInspectorTest, SkippedGenericPrefixNeverMakesAScalarAReference) {
    definition.SetGenericArgumentCount(1);
    definition.AddTrackedArgument("items", InspectionType::PropertyPath, Spec("Id", "_id", ELEMENT_TYPE_I4));
    definition.AddTrackedArgument("handle", InspectionType::PropertyPath, Spec("Id", "_id", ELEMENT_TYPE_I4));
    // items: an instantiated generic class; handle: a long followed by a class-typed parameter.
    Signature({Static, 3, ELEMENT_TYPE_VOID, ELEMENT_TYPE_GENERICINST, ELEMENT_TYPE_CLASS, CodedType(OrderType), 1,
               ELEMENT_TYPE_I4, ELEMENT_TYPE_I8, ELEMENT_TYPE_CLASS, CodedType(OrderType)},
              {"items", "handle", "order"});
    const uintptr_t order = Order(21, 0, 0);
    FakeArguments arguments;
    arguments.Value(order).Value<int64_t>(static_cast<int64_t>(order)).Value(order);
    const std::vector<VariableInfo> records = Capture(arguments);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].GetName(), "items");
    EXPECT_EQ(records[0].GetChildren().at(0)->ToString(), "int Id = 21");
}

TEST_F(PropertyInspectorTest, AnObjectFieldIsReadAsAStringOnlyWhenItHoldsOne) {
    constexpr ClassID BoxClass = 0xC400, StringClass = 0xC500;
    runtime.classes[BoxClass] = {Module, 0x0200000D, 0, {}, 24};
    runtime.AddField(BoxClass, 0x04000071, "_value", 8, {0x06, ELEMENT_TYPE_OBJECT});
    runtime.classes[StringClass] = {0x7500, 0x02000010, 0, {}, 0};
    runtime.import.typeNames[0x02000010] = u"System.String";
    runtime.import.typeNames[CustomerType] = u"Shop.Customer";
    Signature({Static, 1, ELEMENT_TYPE_VOID, ELEMENT_TYPE_CLASS, CodedType(0x0200000D)}, {"box"});
    definition.AddTrackedArgument("box", InspectionType::PropertyPath, Spec("Value", "_value", ELEMENT_TYPE_STRING));

    auto box = [&](uintptr_t value) {
        const uintptr_t object = runtime.NewObject(BoxClass, 16);
        FakeInspectionRuntime::Set(object, 8, value);
        return object;
    };
    auto valueOf = [&](uintptr_t object) {
        FakeArguments arguments;
        arguments.Value(object);
        const std::vector<VariableInfo> records = Capture(arguments);
        return records.empty() ? std::string("<none>") : records[0].GetChildren().at(0)->ToString();
    };
    const uintptr_t text = runtime.NewString(u"key:1");
    FakeInspectionRuntime::Set(text, 0, StringClass);
    const uintptr_t other = runtime.NewString(u"key:2");
    FakeInspectionRuntime::Set(other, 0, StringClass);

    EXPECT_EQ(valueOf(box(Customer(5, 0))), "unknown Value = <no data>");
    EXPECT_EQ(valueOf(box(text)), "string Value = key:1");
    EXPECT_EQ(valueOf(box(other)), "string Value = key:2");
    EXPECT_EQ(valueOf(box(0)), "string Value = <null>");
    EXPECT_EQ(runtime.import.Calls("GetTypeDefProps"), 2);  // the string class is remembered
    ExpectMetadataReleased();
}

TEST_F(PropertyInspectorTest, AMappedFunctionIsCapturedAlikeWithoutReadingItsMetadataAgain) {
    // A `this` path, an array, a nameless parameter, a string, ints and a malformed last type.
    Signature({Instance, 6, ELEMENT_TYPE_STRING, ELEMENT_TYPE_SZARRAY, ELEMENT_TYPE_I4, ELEMENT_TYPE_I8,
               ELEMENT_TYPE_STRING, ELEMENT_TYPE_I4, ELEMENT_TYPE_I4, 0x3F},
              {"values", "", "text", "count", "size", "broken"});
    definition.AddTrackedArgument("", InspectionType::Value, nullptr);
    definition.AddTrackedArgument("returnValue", InspectionType::Value, nullptr);
    definition.AddTrackedThisPtrValueSpec(Spec("Id", "_id", ELEMENT_TYPE_I4));
    const uintptr_t order = Order(7, 0, 0);
    FakeArguments arguments;
    arguments.Value(order).Value<uintptr_t>(0).Value<int64_t>(1).Value(runtime.NewString(u"abc"));
    arguments.Value<int32_t>(4).Value<int32_t>(5).Value<int32_t>(6);
    const uintptr_t returned = runtime.NewString(u"done");
    const COR_PRF_FUNCTION_ARGUMENT_RANGE range{reinterpret_cast<UINT_PTR>(&returned), sizeof(returned)};
    auto texts = [&] {
        std::vector<std::string> all;
        for (const VariableInfo& record : Capture(arguments)) all.push_back(record.ToString());
        VariableInfo result;
        if (inspector.ExtractReturnValue(&definition, &range, result)) all.push_back(result.ToString());
        return all;
    };
    const std::vector<std::string> unmapped = texts();
    ASSERT_EQ(unmapped.size(), 7u);
    EXPECT_EQ(unmapped[0], "int Id = 7");
    EXPECT_EQ(unmapped[2], "string text = abc");
    EXPECT_EQ(unmapped[3], "int count = 4");
    EXPECT_EQ(unmapped[6], "string returnValue = done");

    inspector.PrepareValueTypeClasses(&definition, Function);
    ASSERT_NE(definition.GetMetadata(), nullptr);
    const int signatureReads = runtime.import.Calls("GetMethodProps");
    const int parameterReads = runtime.import.Calls("GetParamProps");
    EXPECT_EQ(texts(), unmapped);
    EXPECT_EQ(texts(), unmapped);
    EXPECT_EQ(runtime.import.Calls("GetMethodProps"), signatureReads);
    EXPECT_EQ(runtime.import.Calls("GetParamProps"), parameterReads);
    ExpectMetadataReleased();
}

TEST_F(PropertyInspectorTest, AReusedListHoldsOnlyThisCallsRecords) {
    LogCapture log;
    Signature({Instance, 2, ELEMENT_TYPE_VOID, ELEMENT_TYPE_STRING, ELEMENT_TYPE_I4}, {"text", "count"});
    definition.AddTrackedArgument("", InspectionType::Value, nullptr);
    definition.AddTrackedThisPtrValueSpec(Spec("Id", "_id", ELEMENT_TYPE_I4));
    definition.AddTrackedThisPtrValueSpec(Spec("Name", "_name", ELEMENT_TYPE_STRING));
    const uintptr_t order = Order(3, runtime.NewString(u"box"), 0);
    std::vector<VariableInfo> records;
    auto capture = [&](FakeArguments& arguments) {
        BeginCallCommand command(1, 2, 3);
        inspector.ExtractArgumentValues(&command, &definition, 0, arguments.Info(), records);
        std::vector<std::string> texts;
        for (const VariableInfo& record : records) texts.push_back(record.ToString());
        return texts;
    };
    FakeArguments full;
    full.Value(order).Value(runtime.NewString(u"first")).Value<int32_t>(1);
    const std::vector<std::string> all{"int Id = 3", "string Name = box", "string text = first", "int count = 1"};
    EXPECT_EQ(capture(full), all);

    FakeArguments shorter;  // no range for `count`
    shorter.Value(order).Value(runtime.NewString(u"second"));
    EXPECT_EQ(capture(shorter), (std::vector<std::string>{"int Id = 3", "string Name = box", "string text = second"}));
    EXPECT_EQ(capture(full), all);

    // A failure half-way leaves out the record it broke and every stale one after it. The fields
    // of Shop.Order are known by now: a method of another class, whose second lookup fails.
    constexpr ClassID OtherOrder = 0xC400;
    runtime.classes[OtherOrder] = {Module, 0x0200000B, 0, {}, 48};
    runtime.AddField(OtherOrder, 0x04000051, "_id", 8, {0x06, ELEMENT_TYPE_I4});
    runtime.AddField(OtherOrder, 0x04000052, "_name", 16, {0x06, ELEMENT_TYPE_STRING});
    runtime.import.throwingField = 0x04000052;
    runtime.functions[Function] = {OtherOrder, Module, MethodToken};  // `this` is typed by the frame's class
    const uintptr_t other = runtime.NewObject(OtherOrder, 40);
    FakeInspectionRuntime::Set<int32_t>(other, 8, 7);
    FakeArguments failing;
    failing.Value(other).Value(runtime.NewString(u"third")).Value<int32_t>(3);
    EXPECT_EQ(capture(failing), (std::vector<std::string>{"int Id = 7"}));
    EXPECT_EQ(log.Matching("[ExtractArgumentValues] Unhandled Exception: metadata broke").size(), 1u);
    ExpectMetadataReleased();
}

TEST_F(PropertyInspectorTest, FieldAnswersAreRememberedPerClassButNotARuntimeFailure) {
    Signature({Static, 1, ELEMENT_TYPE_VOID, ELEMENT_TYPE_CLASS, CodedType(OrderType)}, {"order"});
    definition.AddTrackedArgument("order", InspectionType::PropertyPath, Spec("Name", "_name", ELEMENT_TYPE_STRING));
    definition.AddTrackedArgument("order", InspectionType::PropertyPath, Spec("Gone", "_missing", ELEMENT_TYPE_I4));
    FakeArguments arguments;
    arguments.Value(Order(5, runtime.NewString(u"Bo"), 0));
    auto texts = [&] {
        const std::vector<VariableInfo> records = Capture(arguments);
        std::vector<std::string> all;
        for (const VariableInfo* child : records.at(0).GetChildren()) all.push_back(child->ToString());
        return all;
    };
    const std::vector<std::string> expected = texts();
    ASSERT_EQ(expected.size(), 2u);
    EXPECT_EQ(expected[0], "string Name = Bo");
    const int layouts = runtime.Calls("GetClassLayout");
    const int rows = runtime.import.Calls("GetFieldProps");
    EXPECT_GT(layouts, 0);
    // Found and absent alike: the class's layout and rows are not read again.
    EXPECT_EQ(texts(), expected);
    EXPECT_EQ(runtime.Calls("GetClassLayout"), layouts);
    EXPECT_EQ(runtime.import.Calls("GetFieldProps"), rows);

    // An object of another class is looked up afresh; while the runtime cannot give its layout
    // nothing is remembered for it, and once it can, the fields are found.
    constexpr ClassID SpecialOrder = 0xC100;
    runtime.classes[SpecialOrder] = {Module, 0x02000009, 0, {}, 48};
    runtime.AddField(SpecialOrder, 0x04000041, "_name", 16, {0x06, ELEMENT_TYPE_STRING});
    const uintptr_t special = runtime.NewObject(SpecialOrder, 40);
    FakeInspectionRuntime::Set(special, 16, runtime.NewString(u"Cy"));
    runtime.refusedLayout = SpecialOrder;
    FakeArguments second;
    second.Value(special);
    std::vector<VariableInfo> records = Capture(second);
    EXPECT_EQ(TypesOf(records.at(0).GetChildren()), (std::vector<VariableType>{NullString, NullObject}));
    runtime.refusedLayout = 0;
    records = Capture(second);
    const auto children = records.at(0).GetChildren();
    ASSERT_EQ(children.size(), 2u);
    EXPECT_EQ(children[0]->ToString(), "string Name = Cy");
    ExpectMetadataReleased();
}
