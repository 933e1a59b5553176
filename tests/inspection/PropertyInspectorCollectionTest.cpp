#include <gtest/gtest.h>

#include <climits>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "commands/BeginCallCommand.h"
#include "environment/Configuration.h"
#include "inspection/PropertyInspector.h"
#include "inspection/PropertyInspectorTestSupport.h"
#include "inspection/RecordReader.h"
#include "wire/SqlParameters.h"

using namespace Variables;

namespace {

constexpr uint8_t Instance = IMAGE_CEE_CS_CALLCONV_HASTHIS;
constexpr uint8_t Static = IMAGE_CEE_CS_CALLCONV_DEFAULT;

// A command whose parameters sit in a collection object around a List<T>, as the providers keep
// them, and the core library's classes of the values they hold:
//   Shop.Command    { Shop.Parameters _parameters @8 }                       size 16
//   Shop.Parameters { List<Shop.Parameter> _list @8 }                        size 16
//   List`1          { Shop.Parameter[] _items @8; int _size @16 }            size 24
//   Shop.Parameter  { string _name @8; object _value @16 }                   size 24
class CollectionTest : public InspectorFixture {
protected:
    static constexpr ClassID CommandClass = 0xE000, ParametersClass = 0xE100, ListClass = 0xE200;
    static constexpr ClassID ParameterClass = 0xE300, StringClass = 0xE400, IntClass = 0xE500;
    static constexpr ClassID LongClass = 0xE600, BoolClass = 0xE700, DoubleClass = 0xE800, DecimalClass = 0xE900;
    static constexpr ClassID DateClass = 0xEA00, NullClass = 0xEB00, ColourClass = 0xEC00, ArrayClass = 0xED00;
    static constexpr ClassID GuidClass = 0xEE00;
    static constexpr ModuleID CoreModule = 0x7100;

    CollectionTest() {
        runtime.functions[Function].klass = CommandClass;
        runtime.classes[CommandClass] = {Module, 0x02000014, 0, {}, 16};
        runtime.AddField(CommandClass, 0x04000020, "_parameters", 8, {0x06, ELEMENT_TYPE_CLASS, CodedType(0x02000015)});
        runtime.classes[ParametersClass] = {Module, 0x02000015, 0, {}, 16};
        runtime.AddField(ParametersClass, 0x04000021, "_list", 8,
                         {0x06, ELEMENT_TYPE_GENERICINST, ELEMENT_TYPE_CLASS, CodedType(0x02000016), 1,
                          ELEMENT_TYPE_CLASS, CodedType(0x02000017)});
        runtime.classes[ListClass] = {CoreModule, 0x02000016, 0, {}, 24};
        runtime.AddField(ListClass, 0x04000022, "_items", 8, {0x06, ELEMENT_TYPE_SZARRAY, ELEMENT_TYPE_VAR, 0});
        runtime.AddField(ListClass, 0x04000023, "_size", 16, {0x06, ELEMENT_TYPE_I4});
        runtime.classes[ParameterClass] = {Module, 0x02000017, 0, {}, 24};
        runtime.AddField(ParameterClass, 0x04000024, "_name", 8, {0x06, ELEMENT_TYPE_STRING});
        runtime.AddField(ParameterClass, 0x04000025, "_value", 16, {0x06, ELEMENT_TYPE_OBJECT});
        Core(StringClass, 0x02000030, u"System.String", 0);
        Core(IntClass, 0x02000031, u"System.Int32", 4);
        Core(LongClass, 0x02000032, u"System.Int64", 8);
        Core(BoolClass, 0x02000033, u"System.Boolean", 1);
        Core(DoubleClass, 0x02000034, u"System.Double", 8);
        Core(DecimalClass, 0x02000035, u"System.Decimal", 16);
        runtime.AddField(DecimalClass, 0x04000030, "_flags", 0, {0x06, ELEMENT_TYPE_I4});
        runtime.AddField(DecimalClass, 0x04000031, "_hi32", 4, {0x06, ELEMENT_TYPE_U4});
        runtime.AddField(DecimalClass, 0x04000032, "_lo64", 8, {0x06, ELEMENT_TYPE_U8});
        Core(DateClass, 0x02000036, u"System.DateTime", 8);
        runtime.AddField(DateClass, 0x04000033, "_dateData", 0, {0x06, ELEMENT_TYPE_U8});
        Core(NullClass, 0x02000037, u"System.DBNull", 0);
        Core(ColourClass, 0x02000038, u"Shop.Colour", 4);
        runtime.classes[ArrayClass] = {CoreModule, 0, 0, {}, 0};  // arrays have no definition
        Core(GuidClass, 0x02000039, u"System.Guid", 16);
        runtime.AddField(GuidClass, 0x04000034, "_a", 0, {0x06, ELEMENT_TYPE_I4});
        runtime.AddField(GuidClass, 0x04000035, "_b", 4, {0x06, ELEMENT_TYPE_I2});
        runtime.AddField(GuidClass, 0x04000036, "_c", 6, {0x06, ELEMENT_TYPE_I2});
        runtime.AddField(GuidClass, 0x04000037, "_d", 8, {0x06, ELEMENT_TYPE_U1});

        Signature({Instance, 0, ELEMENT_TYPE_VOID}, {});
        PropertySpec* list = Spec("", "_list", ELEMENT_TYPE_SZARRAY);
        list->SetCollection(std::make_unique<CollectionSpec>(std::vector<PropertySpec*>{
            Spec("name", "_name", ELEMENT_TYPE_STRING), Spec("value", "_value", ELEMENT_TYPE_OBJECT)}));
        definition.AddTrackedThisPtrValueSpec(Spec("Parameters", "_parameters", ELEMENT_TYPE_CLASS, list));
    }

    void Core(ClassID klass, mdTypeDef type, const std::u16string& name, ULONG size) {
        runtime.classes[klass] = {CoreModule, type, 0, {}, size};
        runtime.import.typeNames[type] = name;
    }

    uintptr_t Text(const std::u16string& text) {
        const uintptr_t object = runtime.NewString(text);
        FakeInspectionRuntime::Set(object, 0, StringClass);
        return object;
    }

    template <typename T>
    uintptr_t Box(ClassID klass, T value) {
        const uintptr_t object = runtime.NewObject(klass, 24);
        FakeInspectionRuntime::Set(object, 8, value);
        return object;
    }

    uintptr_t Parameter(const std::u16string& name, uintptr_t value) {
        const uintptr_t parameter = runtime.NewObject(ParameterClass, 24);
        FakeInspectionRuntime::Set(parameter, 8, Text(name));
        FakeInspectionRuntime::Set(parameter, 16, value);
        return parameter;
    }

    // A command whose list holds `items` in an array of `capacity` slots, `size` of them in use.
    static constexpr int32_t AllItems = INT32_MIN;
    uintptr_t Command(const std::vector<uintptr_t>& items, int32_t size = AllItems) {
        const uintptr_t list = runtime.NewObject(ListClass, 24);
        FakeInspectionRuntime::Set(list, 8, runtime.NewReferenceArray(items));
        FakeInspectionRuntime::Set(list, 16, size == AllItems ? static_cast<int32_t>(items.size()) : size);
        const uintptr_t parameters = runtime.NewObject(ParametersClass, 16);
        FakeInspectionRuntime::Set(parameters, 8, list);
        const uintptr_t command = runtime.NewObject(CommandClass, 16);
        FakeInspectionRuntime::Set(command, 8, parameters);
        return command;
    }

    // The one record of the command's parameters.
    VariableInfo CaptureOf(uintptr_t command) {
        FakeArguments arguments;
        arguments.Value(command);
        std::vector<VariableInfo> records = Capture(arguments);
        EXPECT_EQ(records.size(), 1u);
        return records.empty() ? VariableInfo() : records[0];
    }

    static std::vector<uint8_t> Bytes(const VariableInfo& record) {
        std::vector<uint8_t> out;
        EXPECT_TRUE(record.AppendRecord(out, VariableInfo::MaxRecordBytes));
        return out;
    }
};

}  // namespace

TEST_F(CollectionTest, EachParameterGivesItsNameAndWhatItsValueHolds) {
    const uintptr_t command = Command({
        Parameter(u"@id", Box<int32_t>(IntClass, 7)),
        Parameter(u"@name", Text(u"alpha")),
        Parameter(u"@nothing", 0),
        Parameter(u"@db", runtime.NewObject(NullClass, 24)),
        Parameter(u"@big", Box<int64_t>(LongClass, -5000000000)),
        Parameter(u"@ok", Box<uint8_t>(BoolClass, 1)),
        Parameter(u"@ratio", Box<double>(DoubleClass, 0.25)),
        Parameter(u"@empty", Text(u"")),
        Parameter(u"@colour", Box<int32_t>(ColourClass, 2)),
        Parameter(u"@blob", runtime.NewObject(ArrayClass, 24)),
    });
    const VariableInfo parameters = CaptureOf(command);
    EXPECT_EQ(instanceId, command);
    EXPECT_EQ(parameters.GetName(), "Parameters");
    EXPECT_EQ(parameters.GetType(), Object);
    const auto elements = parameters.GetChildren();
    ASSERT_EQ(elements.size(), 11u);
    EXPECT_EQ(elements[0]->ToString(), "int count = 10");
    struct Expected {
        VariableType type;
        const char* text;
    };
    const Expected expected[] = {
        {Int32, "7"},      {String, "alpha"}, {NullObject, "<null>"},   {NullObject, "<null>"}, {Int64, "-5000000000"},
        {Boolean, "true"}, {Double, "0.25"},  {EmptyString, "<empty>"}, {Object, "<no data>"},  {Object, "<no data>"}};
    for (size_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE(i);
        const VariableInfo* element = elements[i + 1];
        EXPECT_EQ(element->GetName(), std::to_string(i));
        const auto fields = element->GetChildren();
        ASSERT_EQ(fields.size(), 2u);
        EXPECT_EQ(fields[0]->GetName(), "name");
        EXPECT_EQ(fields[1]->GetName(), "value");
        EXPECT_EQ(fields[1]->GetType(), expected[i].type);
        const std::string text = fields[1]->ToString();
        EXPECT_EQ(text.substr(text.find(" = ") + 3), expected[i].text);
    }
    EXPECT_EQ(elements[1]->GetChildren()[0]->ToString(), "string name = @id");

    // On the wire a value known by its type alone carries its class name; an array has none.
    const DecodedRecord decoded = DecodeRecord(Bytes(parameters));
    ASSERT_TRUE(decoded.ok);
    ASSERT_EQ(decoded.children.size(), 11u);
    EXPECT_EQ(decoded.children[9].children[1].className, "Shop.Colour");
    EXPECT_EQ(decoded.children[9].children[1].declaredCount, 0u);
    EXPECT_EQ(decoded.children[10].children[1].type, Object);
    EXPECT_EQ(decoded.children[10].children[1].className, "");
    EXPECT_EQ(decoded.children[3].children[1].payload.size(), 0u);  // a null is the header alone
    ExpectMetadataReleased();
}

TEST_F(CollectionTest, StructuresOfTheCoreLibraryAreReadFieldByFieldInsideTheirBox) {
    const uintptr_t price = runtime.NewObject(DecimalClass, 24);
    FakeInspectionRuntime::Set<int32_t>(price, 8, 2 << 16);  // scale 2
    FakeInspectionRuntime::Set<uint32_t>(price, 12, 0);
    FakeInspectionRuntime::Set<uint64_t>(price, 16, 1250);
    const uintptr_t when = Box<uint64_t>(DateClass, (1ull << 62) | 638000000000000000ull);
    const uintptr_t id = runtime.NewObject(GuidClass, 24);
    FakeInspectionRuntime::Set<int32_t>(id, 8, 0x01020304);
    FakeInspectionRuntime::Set<uint64_t>(id, 16, 0x0807060504030201ull);

    const VariableInfo parameters =
        CaptureOf(Command({Parameter(u"@price", price), Parameter(u"@when", when), Parameter(u"@id", id)}));
    const auto elements = parameters.GetChildren();
    ASSERT_EQ(elements.size(), 4u);
    const VariableInfo* decimal = elements[1]->GetChildren()[1];
    EXPECT_EQ(decimal->GetType(), Struct);
    EXPECT_EQ(decimal->GetClassName(), "System.Decimal");
    const auto parts = decimal->GetChildren();
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(parts[0]->ToString(), "int _flags = 131072");
    EXPECT_EQ(parts[2]->ToString(), "unsigned long _lo64 = 1250");
    const auto date = elements[2]->GetChildren()[1]->GetChildren();
    ASSERT_EQ(date.size(), 1u);
    EXPECT_EQ(date[0]->ToString(), "unsigned long _dateData = " + std::to_string((1ull << 62) | 638000000000000000ull));
    // The GUID's last eight bytes are read as one, within its 16.
    const auto guid = elements[3]->GetChildren()[1]->GetChildren();
    ASSERT_EQ(guid.size(), 4u);
    EXPECT_EQ(guid[0]->ToString(), "int _a = 16909060");
    EXPECT_EQ(guid[3]->GetName(), "_dk");
    EXPECT_EQ(guid[3]->ToString(), "unsigned long _dk = 578437695752307201");
    ExpectMetadataReleased();
}

TEST_F(CollectionTest, AValueOfAParameterNamedLikeASecretIsSentAsTheMask) {
    Configuration settings;
    Configuration* saved = g_Configuration;
    g_Configuration = &settings;
    const uintptr_t command =
        Command({Parameter(u"@password", Text(u"hunter2")), Parameter(u":api_key", Box(IntClass, 42)),
                 Parameter(u"@user_token", 0), Parameter(u"@passage", Text(u"open"))});
    const VariableInfo parameters = CaptureOf(command);
    const DecodedRecord decoded = DecodeRecord(Bytes(parameters));
    ASSERT_TRUE(decoded.ok);
    ASSERT_EQ(decoded.children.size(), 5u);
    const std::vector<uint8_t> mask = {6, 0, '*', 0, '*', 0, '*', 0};
    EXPECT_EQ(decoded.children[1].children[1].type, String);
    EXPECT_EQ(decoded.children[1].children[1].payload, mask);
    EXPECT_EQ(decoded.children[2].children[1].type, String) << "a number is masked as text";
    EXPECT_EQ(decoded.children[2].children[1].payload, mask);
    EXPECT_EQ(decoded.children[3].children[1].type, NullObject) << "a null stays a null";
    EXPECT_EQ(decoded.children[4].children[1].stringBytes, 8u) << "not a secret's name: sent as it is";
    EXPECT_EQ(parameters.GetChildren()[1]->GetChildren()[1]->ToString(), "string value = ***");

    // The setting that lets secrets through lets these through too.
    settings.captureSecrets = true;
    const DecodedRecord clear = DecodeRecord(Bytes(CaptureOf(command)));
    ASSERT_TRUE(clear.ok);
    EXPECT_EQ(clear.children[1].children[1].stringBytes, 14u);
    EXPECT_EQ(clear.children[2].children[1].type, Int32);
    g_Configuration = saved;
}

TEST_F(CollectionTest, ElementsAreBoundedByTheListsCountTheArrayAndTheLimit) {
    std::vector<uintptr_t> many;
    for (int i = 0; i < 40; ++i) many.push_back(Parameter(u"@p" + std::u16string(1, u'a' + i % 26), Box(IntClass, i)));
    VariableInfo parameters = CaptureOf(Command(many));
    auto elements = parameters.GetChildren();
    ASSERT_EQ(elements.size(), 1u + CollectionSpec::MaxElements);
    EXPECT_EQ(elements[0]->ToString(), "int count = 40") << "the count says how many there are";
    EXPECT_EQ(elements.back()->GetName(), "31");

    // A list uses part of its array; a count beyond the array or below zero reads no further.
    EXPECT_EQ(CaptureOf(Command({Parameter(u"@a", 0), 0, 0}, 1)).GetChildren().size(), 2u);
    EXPECT_EQ(CaptureOf(Command({Parameter(u"@a", 0)}, 1000)).GetChildren().size(), 2u);
    EXPECT_EQ(CaptureOf(Command({Parameter(u"@a", 0)}, -4)).GetChildren().size(), 1u);
    // A null slot is a null element.
    parameters = CaptureOf(Command({0, Parameter(u"@b", 0)}));
    elements = parameters.GetChildren();
    ASSERT_EQ(elements.size(), 3u);
    EXPECT_EQ(elements[1]->GetType(), NullObject);
    EXPECT_EQ(elements[2]->GetChildren()[0]->ToString(), "string name = @b");
    ExpectMetadataReleased();
}

TEST_F(CollectionTest, WhatIsNotAListOrAKnownObjectIsNotRead) {
    // No parameters object yet: a null on the way.
    const uintptr_t bare = runtime.NewObject(CommandClass, 16);
    EXPECT_EQ(CaptureOf(bare).GetType(), NullObject);

    // The field holds an object without a list's fields.
    const uintptr_t parameters = runtime.NewObject(ParametersClass, 16);
    FakeInspectionRuntime::Set(parameters, 8, Box(IntClass, 3));
    const uintptr_t command = runtime.NewObject(CommandClass, 16);
    FakeInspectionRuntime::Set(command, 8, parameters);
    EXPECT_EQ(CaptureOf(command).GetType(), Unknown);

    // A value that is no object reference, or of a class the runtime does not know.
    const VariableInfo misaligned = CaptureOf(Command({Parameter(u"@x", 0x10003)}));
    EXPECT_EQ(misaligned.GetChildren()[1]->GetChildren()[1]->GetType(), Unknown);
    const VariableInfo stranger = CaptureOf(Command({Parameter(u"@x", runtime.NewObject(0xBAD0, 24))}));
    EXPECT_EQ(stranger.GetChildren()[1]->GetChildren()[1]->GetType(), Unknown);
    ExpectMetadataReleased();
}

TEST_F(CollectionTest, AClassOfValueIsNamedOnceAndTheListsFieldsFoundOnce) {
    for (int call = 0; call < 3; ++call)
        CaptureOf(Command(
            {Parameter(u"@a", Box(IntClass, call)), Parameter(u"@b", Box(IntClass, 1)), Parameter(u"@c", Text(u"x"))}));
    EXPECT_EQ(runtime.import.Calls("GetTypeDefProps"), 2);  // Int32 and String, once each
    // Each field of the path is found once: a layout is asked for twice (its size, then its fields).
    EXPECT_EQ(runtime.Calls("GetClassLayout"), 2 * 6);
    ExpectMetadataReleased();
}

TEST_F(CollectionTest, AStepWithoutAFieldReadsTheReferenceItself) {
    Signature({Static, 1, ELEMENT_TYPE_VOID, ELEMENT_TYPE_CLASS, CodedType(0x02000014)}, {"request"});
    definition.AddTrackedArgument("request", InspectionType::PropertyPath, Spec("RequestId", "", ELEMENT_TYPE_U8));
    const uintptr_t command = runtime.NewObject(CommandClass, 16);
    FakeArguments arguments;
    arguments.Value(command);
    std::vector<VariableInfo> records = Capture(arguments);
    ASSERT_EQ(records.size(), 1u);
    const auto fields = records[0].GetChildren();
    ASSERT_EQ(fields.size(), 1u);
    EXPECT_EQ(fields[0]->ToString(), "unsigned long RequestId = " + std::to_string(command));

    FakeArguments none;
    none.Value<uintptr_t>(0);
    records = Capture(none);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].GetChildren()[0]->GetType(), NullObject);
}

TEST_F(CollectionTest, TheCollectorReadsTheParametersBackAsTheyWereBound) {
    Configuration settings;
    Configuration* saved = g_Configuration;
    g_Configuration = &settings;
    const uintptr_t price = runtime.NewObject(DecimalClass, 24);
    FakeInspectionRuntime::Set<int32_t>(price, 8, static_cast<int32_t>(0x80020000u));  // -, scale 2
    FakeInspectionRuntime::Set<uint64_t>(price, 16, 1250);
    // 2024-05-17T10:30:15 UTC
    const uintptr_t when = Box<uint64_t>(DateClass, (1ull << 62) | 638515386150000000ull);
    const uintptr_t command = Command({
        Parameter(u"@id", Box<int32_t>(IntClass, 42)),
        Parameter(u"@name", Text(u"alpha")),
        Parameter(u"@price", price),
        Parameter(u"@when", when),
        Parameter(u"@nothing", runtime.NewObject(NullClass, 24)),
        Parameter(u"@password", Text(u"hunter2")),
        Parameter(u"@colour", Box<int32_t>(ColourClass, 2)),
        Parameter(u"@ok", Box<uint8_t>(BoolClass, 0)),
        Parameter(u"@ratio", Box<double>(DoubleClass, -1.5)),
    });
    const std::vector<uint8_t> bytes = Bytes(CaptureOf(command));

    QuorixCollect::DecodedCommand begin;
    begin.args.emplace_back();
    QuorixCollect::ByteReader reader(bytes.data(), bytes.size());
    uint32_t bad = 0;
    ASSERT_EQ(QuorixCollect::DecodeValueRecord(reader, begin.args.back(), bad), QuorixCollect::RecordStatus::Ok);
    EXPECT_EQ(bad, 0u);
    const std::vector<QuorixCollect::SqlParameter> parameters = QuorixCollect::SqlParametersOf(begin);
    ASSERT_EQ(parameters.size(), 9u);
    struct Expected {
        const char* name;
        const char* value;
        bool isNull, isText;
    };
    const Expected expected[] = {
        {"@id", "42", false, false},
        {"@name", "alpha", false, true},
        {"@price", "-12.50", false, false},
        {"@when", "2024-05-17T10:30:15.0000000Z", false, false},
        {"@nothing", "", true, false},
        {"@password", "***", false, true},
        {"@colour", "Shop.Colour", false, false},
        {"@ok", "false", false, false},
        {"@ratio", "-1.5", false, false},
    };
    for (size_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE(expected[i].name);
        EXPECT_EQ(parameters[i].name, expected[i].name);
        EXPECT_EQ(parameters[i].value, expected[i].value);
        EXPECT_EQ(parameters[i].isNull, expected[i].isNull);
        EXPECT_EQ(parameters[i].isText, expected[i].isText);
    }
    g_Configuration = saved;
}
