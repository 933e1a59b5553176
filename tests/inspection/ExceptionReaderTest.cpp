#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "commands/ExceptionDetailsCommand.h"
#include "inspection/ExceptionReader.h"
#include "inspection/PropertyInspectorTestSupport.h"

namespace {

// Thrown objects of a few classes, laid out as the runtime lays them out:
//   System.Object
//   System.Exception { string _message @8; ... } size 128
//   System.InvalidOperationException : System.Exception
//   Shop.Errors.Refused`1 : System.Exception (two instantiations)
//   Shop.Errors.Outer+Inner : System.Exception, declared inside Shop.Errors.Outer
//   Shop.Errors.Shadow : System.Exception { string _message @128 } (not the exception's message)
class ExceptionReaderTest : public ::testing::Test {
protected:
    static constexpr ModuleID CoreLib = 0x7000, App = 0x7100;
    static constexpr ClassID ObjectClass = 0xA000, ExceptionClass = 0xA100, InvalidOperation = 0xA200;
    static constexpr ClassID RefusedOfInt = 0xB000, RefusedOfString = 0xB100, Inner = 0xB200, Shadow = 0xB300;
    static constexpr mdTypeDef ObjectType = 0x02000002, ExceptionType = 0x02000003, InvalidType = 0x02000004;
    static constexpr mdTypeDef RefusedType = 0x02000010, OuterType = 0x02000011, InnerType = 0x02000012,
                               ShadowType = 0x02000013;

    ExceptionReaderTest() {
        Class(ObjectClass, CoreLib, ObjectType, 0, u"System.Object");
        Class(ExceptionClass, CoreLib, ExceptionType, ObjectClass, u"System.Exception", 128);
        runtime.AddField(ExceptionClass, 0x04000001, "_className", 0x10, {0x06, ELEMENT_TYPE_STRING});
        runtime.AddField(ExceptionClass, 0x04000002, "_message", 8, {0x06, ELEMENT_TYPE_STRING});
        Class(InvalidOperation, CoreLib, InvalidType, ExceptionClass, u"System.InvalidOperationException");
        Class(RefusedOfInt, App, RefusedType, ExceptionClass, u"Shop.Errors.Refused`1");
        Class(RefusedOfString, App, RefusedType, ExceptionClass, u"Shop.Errors.Refused`1");
        Class(Inner, App, InnerType, ExceptionClass, u"Inner");
        runtime.import.typeNames[OuterType] = u"Shop.Errors.Outer";
        runtime.import.typeFlags[InnerType] = tdNestedPublic;
        runtime.import.enclosingTypes[InnerType] = OuterType;
        Class(Shadow, App, ShadowType, ExceptionClass, u"Shop.Errors.Shadow", 136);
        runtime.AddField(Shadow, 0x04000020, "_message", 128, {0x06, ELEMENT_TYPE_STRING});
    }

    void Class(ClassID id, ModuleID module, mdTypeDef type, ClassID parent, const std::u16string& name,
               ULONG size = 0) {
        runtime.classes[id] = {module, type, parent, {}, size};
        runtime.import.typeNames[type] = name;
    }

    // An exception object of the class with `message` (0: none) in System.Exception's field.
    uintptr_t Thrown(ClassID klass, uintptr_t message) {
        const uintptr_t object = runtime.NewObject(klass, 136);
        FakeInspectionRuntime::Set(object, 8, message);
        return object;
    }

    struct Result {
        std::string type;
        bool hasMessage = false;
        std::u16string message;
    };
    Result Read(uintptr_t object) {
        ExceptionReader::ClassFacts spare;
        const ExceptionReader::Details d = reader.Read(object, spare);
        Result r;
        r.type = *d.typeName;
        r.hasMessage = d.message != nullptr;
        if (d.message != nullptr) r.message.assign(d.message, d.messageUnits);
        return r;
    }

    FakeInspectionRuntime runtime;
    ExceptionReader reader;
};

}  // namespace

TEST_F(ExceptionReaderTest, NamesTheClassAndReadsSystemExceptionsMessageField) {
    const Result invalid = Read(Thrown(InvalidOperation, runtime.NewString(u"Order 7 has no lines")));
    EXPECT_EQ(invalid.type, "System.InvalidOperationException");
    ASSERT_TRUE(invalid.hasMessage);
    EXPECT_EQ(invalid.message, u"Order 7 has no lines");

    // Generic arity as the metadata writes it, enclosing types joined by '+'.
    EXPECT_EQ(Read(Thrown(RefusedOfString, runtime.NewString(u"x"))).type, "Shop.Errors.Refused`1");
    EXPECT_EQ(Read(Thrown(Inner, runtime.NewString(u"x"))).type, "Shop.Errors.Outer+Inner");

    // A class's own field of that name is not the exception's message.
    const uintptr_t shadowed = Thrown(Shadow, runtime.NewString(u"the real one"));
    FakeInspectionRuntime::Set(shadowed, 128, runtime.NewString(u"a field of the app"));
    EXPECT_EQ(Read(shadowed).message, u"the real one");
}

TEST_F(ExceptionReaderTest, NullAndEmptyMessagesDiffer) {
    const Result none = Read(Thrown(InvalidOperation, 0));
    EXPECT_EQ(none.type, "System.InvalidOperationException");
    EXPECT_FALSE(none.hasMessage);
    const Result empty = Read(Thrown(InvalidOperation, runtime.NewString(u"")));
    EXPECT_TRUE(empty.hasMessage);
    EXPECT_EQ(empty.message, u"");
    // A string whose header is not a string's length is not read.
    EXPECT_FALSE(Read(Thrown(InvalidOperation, runtime.NewString(u"x", -5))).hasMessage);
}

TEST_F(ExceptionReaderTest, WhatCannotBeFoundGivesNoNameOrNoMessageAndNothingWorse) {
    // A class the runtime does not know: no name, no message.
    const Result unknown = Read(Thrown(0xDEAD0, runtime.NewString(u"unread")));
    EXPECT_EQ(unknown.type, "");
    EXPECT_FALSE(unknown.hasMessage);
    // A thrown object that is not an exception at all is named, its bytes are not read as one.
    const Result plain = Read(Thrown(ObjectClass, runtime.NewString(u"unread")));
    EXPECT_EQ(plain.type, "System.Object");
    EXPECT_FALSE(plain.hasMessage);
    // Not an object reference: nothing is asked, nothing is read.
    EXPECT_EQ(Read(0).type, "");
    EXPECT_EQ(Read(0x1234).type, "");
    EXPECT_EQ(Read(0x7F0000001001).type, "");
}

TEST_F(ExceptionReaderTest, AClassIsLookedUpOnceThenReadFromItsObjects) {
    Read(Thrown(RefusedOfInt, runtime.NewString(u"first")));
    const int layouts = runtime.Calls("GetClassLayout");
    const int names = runtime.import.Calls("GetTypeDefProps");
    const int parents = runtime.Calls("GetClassIDInfo2");
    for (int i = 0; i < 10; ++i) EXPECT_EQ(Read(Thrown(RefusedOfInt, runtime.NewString(u"again"))).message, u"again");
    EXPECT_EQ(runtime.Calls("GetClassLayout"), layouts);
    EXPECT_EQ(runtime.import.Calls("GetTypeDefProps"), names);
    EXPECT_EQ(runtime.Calls("GetClassIDInfo2"), parents);
    // Another instantiation is another class; System.Exception's field is not looked up again.
    EXPECT_EQ(Read(Thrown(RefusedOfString, runtime.NewString(u"other"))).message, u"other");
    EXPECT_EQ(runtime.Calls("GetClassLayout"), layouts);
    EXPECT_EQ(reader.KnownClasses(), 2u);
}

TEST_F(ExceptionReaderTest, TheCommandMasksAndCutsWhatWasRead) {
    const uintptr_t object = Thrown(InvalidOperation, runtime.NewString(u"login failed: Password=hunter2;User=ann"));
    ExceptionReader::ClassFacts spare;
    ExceptionReader::Details d = reader.Read(object, spare);
    ExceptionDetailsCommand masked(1, 2, object, *d.typeName, d.message, d.messageUnits);
    std::vector<uint8_t> bytes(static_cast<size_t>(masked.GetPayloadLength()));
    masked.WritePayload(bytes.data());
    const std::string text(bytes.begin() + 19 + 8 + 2 + 32 + 2, bytes.end() - 1);
    EXPECT_EQ(text, "login failed: Password=***;User=ann");

    d = reader.Read(Thrown(InvalidOperation, runtime.NewString(std::u16string(5000, u'm'))), spare);
    ExceptionDetailsCommand cut(1, 2, object, *d.typeName, d.message, d.messageUnits);
    EXPECT_EQ(cut.GetFlags(), ExceptionDetailsCommand::MessageCut);
    EXPECT_EQ(static_cast<size_t>(cut.GetPayloadLength()), ExceptionDetailsCommand::FixedLength + 32 + 2048);
}
