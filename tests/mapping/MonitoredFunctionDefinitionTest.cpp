#include "mapping/MonitoredFunctionDefinition.h"

#include <gtest/gtest.h>

#include <memory>

#include "mapping/FunctionMapper.h"

namespace {

using Specs = std::vector<PropertySpec*>;

class DefinitionTest : public ::testing::Test {
protected:
    PropertySpec* Spec(const std::string& name) {
        specs.push_back(std::make_unique<PropertySpec>(name, "_" + name, ELEMENT_TYPE_STRING, nullptr));
        return specs.back().get();
    }
    MonitoredFunctionDefinition* Only() {
        auto all = mapper.GetMonitoredFunctions();
        EXPECT_EQ(all.size(), 1u);
        return all.empty() ? nullptr : all.front();
    }

    std::vector<std::unique_ptr<PropertySpec>> specs;
    FunctionMapper mapper;
};

TEST_F(DefinitionTest, FirstTypeOfAnArgumentStaysAndOnlyPathAndBufferTypesKeepSpecs) {
    PropertySpec* first = Spec("a");
    PropertySpec* second = Spec("b");
    mapper.AddMonitoredFunction("Db.Command", "Execute", "sql", InspectionType::PropertyPath, first);
    mapper.AddMonitoredFunction("Db.Command", "Execute", "sql", InspectionType::ByteBuffer, second);
    mapper.AddMonitoredFunction("Db.Command", "Execute", "timeout", InspectionType::Value, Spec("dropped"));
    MonitoredFunctionDefinition* definition = Only();
    ASSERT_NE(definition, nullptr);
    EXPECT_EQ(definition->GetInspectionTypeForArgument("sql"), InspectionType::PropertyPath);
    EXPECT_EQ(definition->GetSpecsForArgument("sql"), (Specs{first, second}));
    EXPECT_EQ(definition->GetInspectionTypeForArgument("timeout"), InspectionType::Value);
    EXPECT_TRUE(definition->GetSpecsForArgument("timeout").empty());
    EXPECT_EQ(definition->GetInspectionTypeForArgument("other"), InspectionType::None);
}

TEST_F(DefinitionTest, ShortFormsOfAddMonitoredFunction) {
    mapper.AddMonitoredFunction("A.B", "Get", "returnValue");
    EXPECT_TRUE(mapper.GetMonitoredFunctions().empty()) << "a bare return value creates nothing";

    PropertySpec* path = Spec("Uri");
    mapper.AddMonitoredFunction("A.B", "Get", "returnValue", path);
    MonitoredFunctionDefinition* definition = Only();
    ASSERT_NE(definition, nullptr);
    EXPECT_EQ(definition->GetInspectionTypeForArgument("returnValue"), InspectionType::PropertyPath);
    EXPECT_EQ(definition->GetSpecsForArgument("returnValue"), Specs{path});

    mapper.AddMonitoredFunction("A.B", "Get", "key");
    mapper.AddMonitoredFunction("A.B", "Get", "name", nullptr);
    mapper.AddMonitoredFunction("A.B", "Get", "value", Spec("Length"));
    EXPECT_EQ(definition->GetInspectionTypeForArgument("key"), InspectionType::Value);
    EXPECT_EQ(definition->GetInspectionTypeForArgument("name"), InspectionType::Value);
    EXPECT_EQ(definition->GetInspectionTypeForArgument("value"), InspectionType::PropertyPath);
    EXPECT_EQ(definition->GetSpecsForArgument("value").size(), 1u);
}

TEST_F(DefinitionTest, ThisAndReturnValueSpecsHaveTheirOwnLists) {
    PropertySpec* field = Spec("Path");
    mapper.AddMonitoredFunction("Web.Frame", "Start", "thisPtr", InspectionType::PropertyPath, field);
    mapper.AddMonitoredFunction("Web.Frame", "Stop", "thisPtr", InspectionType::RawValue, nullptr);
    mapper.AddMonitoredFunction("Web.Frame", "Stop", "returnValue", InspectionType::RawValue, nullptr);
    auto all = mapper.GetMonitoredFunctions();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0]->GetSpecsForArgument("thisPtr"), Specs{field});
    EXPECT_EQ(all[0]->GetInspectionTypeForArgument("thisPtr"), InspectionType::PropertyPath);
    EXPECT_TRUE(all[0]->GetSpecsForArgument("returnValue").empty());
    EXPECT_EQ(all[1]->GetInspectionTypeForArgument("thisPtr"), InspectionType::RawValue);
    EXPECT_EQ(all[1]->GetInspectionTypeForArgument("returnValue"), InspectionType::RawValue);
}

TEST_F(DefinitionTest, EmptyArgumentNameAppliesToEveryArgument) {
    MonitoredFunctionDefinition empty("A.B", "C");
    EXPECT_EQ(empty.GetInspectionTypeForArgument(""), InspectionType::None);
    mapper.AddMonitoredFunction("System.Threading.ThreadPool", "QueueUserWorkItem", "", InspectionType::None, nullptr);
    mapper.AddMonitoredFunction("System.Threading.ThreadPool", "QueueUserWorkItem", "state", InspectionType::RawValue,
                                nullptr);
    MonitoredFunctionDefinition* definition = Only();
    EXPECT_EQ(definition->GetInspectionTypeForArgument("callBack"), InspectionType::None);
    EXPECT_EQ(definition->GetInspectionTypeForArgument("state"), InspectionType::RawValue);

    MonitoredFunctionDefinition raw("A.B", "C");
    raw.AddTrackedArgument("", InspectionType::RawValue, nullptr);
    EXPECT_EQ(raw.GetInspectionTypeForArgument("anything"), InspectionType::RawValue);
}

TEST_F(DefinitionTest, DefinitionsMergePerClassAndMethodAndTheLastGenericCountWins) {
    mapper.AddMonitoredFunction("A.B", "C", "x", InspectionType::Value, 2, nullptr);
    mapper.AddMonitoredFunction("A.B", "C", "y", InspectionType::Value, 1, nullptr);
    mapper.AddMonitoredFunction("A.B", "D", "x", InspectionType::Value, nullptr);
    mapper.AddMonitoredFunction("A.Bx", "C", "x", InspectionType::Value, nullptr);
    auto all = mapper.GetMonitoredFunctions();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0]->GetGenericArgumentCount(), 1);

    PropertySpec* spec = Spec("Id");
    all[0]->AddTrackedReturnValueSpec(spec);
    all[0]->SetMappedId(9);
    all[0]->SetFunctionId(0x90);
    std::unique_ptr<MonitoredFunctionDefinition> clone(all[0]->Clone());
    EXPECT_EQ(clone->GetDefinitionClassName(), "A.B");
    EXPECT_EQ(clone->GetDefinitionMethodName(), "C");
    EXPECT_EQ(clone->GetGenericArgumentCount(), 0);
    EXPECT_EQ(clone->GetMappedId(), 0u);
    EXPECT_EQ(clone->GetFunctionId(), 0u);
    EXPECT_EQ(clone->GetInspectionTypeForArgument("y"), InspectionType::Value);
    EXPECT_EQ(clone->GetSpecsForArgument("returnValue"), Specs{spec});
}

TEST_F(DefinitionTest, InterfaceAndAttributeDefinitionsMergeByName) {
    mapper.AddMonitoredInterfaceFunction("System.Data.IDbCommand", "ExecuteReader", "", InspectionType::RawValue,
                                         nullptr);
    mapper.AddMonitoredInterfaceFunction("System.Data.IDbCommand", "ExecuteReader", "returnValue",
                                         InspectionType::RawValue, nullptr);
    mapper.AddMonitoredInterfaceFunction("System.Data.IDbCommand", "ExecuteScalar", "", InspectionType::RawValue,
                                         nullptr);
    ASSERT_EQ(mapper.GetInterfaceFunctions().size(), 2u);
    EXPECT_EQ(mapper.GetInterfaceFunctions()[0]->GetInspectionTypeForArgument("returnValue"), InspectionType::RawValue);
    EXPECT_TRUE(mapper.GetMonitoredFunctions().empty());

    mapper.AddMonitoredAttributeFunction(L"App.TraceAttribute", "", InspectionType::RawValue, nullptr);
    mapper.AddMonitoredAttributeFunction(L"App.TraceAttribute", "id", InspectionType::Value, nullptr);
    mapper.AddMonitoredAttributeFunction(L"App.traceAttribute", "", InspectionType::RawValue, nullptr);
    auto attributes = mapper.GetAttributeFunctions();
    ASSERT_EQ(attributes.size(), 2u);
    EXPECT_EQ(attributes[0]->GetAttributeName(), L"App.TraceAttribute");
    EXPECT_EQ(attributes[0]->GetAttributeNameText(), u"App.TraceAttribute");
    EXPECT_EQ(attributes[0]->GetInspectionTypeForArgument("id"), InspectionType::Value);
    EXPECT_TRUE(attributes[0]->GetDefinitionClassName().empty());
}

TEST(MonitoredAttributeDefinitionTest, DisplayNameIsTheLastSegmentWithoutAttribute) {
    EXPECT_EQ(MonitoredAttributeDefinition(L"MyApp.Attributes.TrackAttribute").GetDisplayName(), "Track");
    EXPECT_EQ(MonitoredAttributeDefinition(L"Short").GetDisplayName(), "Short");
    EXPECT_EQ(MonitoredAttributeDefinition(L"MyApp.Ends.").GetDisplayName(), "");
    EXPECT_EQ(MonitoredAttributeDefinition(L"NoSuffix").GetDisplayName(), "NoSuffix");
    EXPECT_EQ(MonitoredAttributeDefinition(L"A.Attribute").GetDisplayName(), "");
    EXPECT_EQ(MonitoredAttributeDefinition(L"A.MyAttr").GetDisplayName(), "MyAttr");
    EXPECT_EQ(MonitoredAttributeDefinition(L"A.AttributeAttribute").GetDisplayName(), "Attribute");
    EXPECT_EQ(MonitoredAttributeDefinition(L"A.AttributeUsage").GetDisplayName(), "Usage");
    // Not valid text in the name: a replacement character, not an error.
    const std::wstring broken = std::wstring(L"A.B") + static_cast<wchar_t>(0xD800) + L"Attribute";
    EXPECT_EQ(MonitoredAttributeDefinition(broken).GetDisplayName(), "B\xEF\xBF\xBD");
}

TEST(PropertySpecTest, ChainsAndTheClassCache) {
    PropertySpec inner("", "_string", ELEMENT_TYPE_STRING, nullptr);
    PropertySpec outer("Uri", "_requestUri", ELEMENT_TYPE_CLASS, &inner);
    EXPECT_EQ(outer.GetName(), "Uri");
    EXPECT_EQ(outer.GetFieldName(), "_requestUri");
    EXPECT_EQ(outer.GetElementType(), ELEMENT_TYPE_CLASS);
    EXPECT_EQ(outer.GetNext(), &inner);
    EXPECT_EQ(outer.GetModuleClassIDPair(), nullptr);
    outer.SetModuleClassIDPair(new ModuleClassIDPair(1, 2, 3));
    outer.SetModuleClassIDPair(new ModuleClassIDPair(4, 5, 6));
    ASSERT_NE(outer.GetModuleClassIDPair(), nullptr);
    EXPECT_EQ(outer.GetModuleClassIDPair()->classId, 5u);
    EXPECT_EQ(outer.GetModuleClassIDPair()->requestingModuleId, 6u);
    EXPECT_EQ(PropertySpec().GetElementType(), ELEMENT_TYPE_END);
}

}  // namespace
