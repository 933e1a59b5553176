#include "mapping/MonitoredFunctionCatalogue.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "environment/Configuration.h"
#include "mapping/FunctionMapper.h"
#include "mapping/MappingTestSupport.h"

namespace {

namespace Catalogue = MonitoredFunctionCatalogue;
using Specs = std::vector<PropertySpec*>;

constexpr const char* StateMachine = "System.Runtime.CompilerServices.IAsyncStateMachine";
constexpr const char* StateMachineBox = "System.Runtime.CompilerServices.IAsyncStateMachineBox";
constexpr const char16_t* AsyncAttribute = u"System.Runtime.CompilerServices.AsyncStateMachineAttribute";

// A catalogue loaded into a fresh mapper with the correlation setting given.
class CatalogueTest : public ::testing::Test {
protected:
    CatalogueTest() : mapper(&lookup, [this] { return ++sequence; }) {
        previous = g_Configuration;
        g_Configuration = &configuration;
    }
    ~CatalogueTest() override { g_Configuration = previous; }

    void Load(HostType host, bool correlation = true) {
        configuration.enableCorrelation = correlation;
        mapper.Initialize(host);
    }
    MonitoredFunctionDefinition* Find(const std::string& className, const std::string& method) {
        for (MonitoredFunctionDefinition* definition : mapper.GetMonitoredFunctions())
            if (definition->GetDefinitionClassName() == className && definition->GetDefinitionMethodName() == method)
                return definition;
        return nullptr;
    }
    MonitoredFunctionDefinition* Interface(const std::string& name) {
        for (MonitoredFunctionDefinition* definition : mapper.GetInterfaceFunctions())
            if (definition->GetDefinitionClassName() == name) return definition;
        return nullptr;
    }
    static void ExpectStep(const PropertySpec* spec, const std::string& name, const std::string& field,
                           CorElementType type) {
        ASSERT_NE(spec, nullptr);
        EXPECT_EQ(spec->GetName(), name);
        EXPECT_EQ(spec->GetFieldName(), field);
        EXPECT_EQ(spec->GetElementType(), type);
    }

    Configuration configuration;
    Configuration* previous = nullptr;
    FakeLookupHelper lookup;
    std::atomic<uint64_t> sequence{100};
    FunctionMapper mapper;
};

TEST(CatalogueRows, EveryBlockHoldsItsNumberOfCallsAndOnlyPathTypesCarryPaths) {
    EXPECT_EQ(Catalogue::CallCount(Catalogue::CompanionRows()), 9u);
    EXPECT_EQ(Catalogue::CallCount(Catalogue::CorrelationRows()), 70u);
    EXPECT_EQ(Catalogue::CallCount(Catalogue::CommonRows()), 184u);
    EXPECT_EQ(Catalogue::CallCount(Catalogue::HostRows(DOTNET)), 1u);
    EXPECT_EQ(Catalogue::CallCount(Catalogue::HostRows(DOTNET_IIS)), 9u);
    EXPECT_EQ(Catalogue::CallCount(Catalogue::HostRows(DOTNET_CORE)), 54u);
    for (HostType host : {OWIN_HOST, DOTNET_CORE_MSBUILD, UNKNOWN}) {
        EXPECT_TRUE(Catalogue::HostRows(host).empty());
        EXPECT_EQ(Catalogue::HostBlockName(host), nullptr);
    }

    size_t interfaces = 0, attributes = 0;
    for (const Catalogue::Row& row : Catalogue::CorrelationRows()) {
        interfaces += row.operation == Catalogue::Operation::Interface;
        attributes += row.operation == Catalogue::Operation::Attribute;
    }
    EXPECT_EQ(interfaces, 3u);
    EXPECT_EQ(attributes, 1u);

    // A path given with another type would be silently dropped by the definition.
    for (auto rows : {Catalogue::CompanionRows(), Catalogue::CorrelationRows(), Catalogue::CommonRows(),
                      Catalogue::HostRows(DOTNET), Catalogue::HostRows(DOTNET_IIS), Catalogue::HostRows(DOTNET_CORE)}) {
        for (const Catalogue::Row& row : rows) {
            const bool pathType = row.type == InspectionType::PropertyPath || row.type == InspectionType::ByteBuffer;
            EXPECT_EQ(row.path[0].name != nullptr, pathType) << row.className << " " << row.argument;
        }
    }
}

TEST_F(CatalogueTest, HostTypeChoosesTheHostBlockAndItsLogLine) {
    struct Case {
        HostType host;
        const char* logged;
        bool sleep, iis, core;
    };
    const Case cases[] = {
        {DOTNET, "Standalone", true, false, false},          {DOTNET_IIS, "IIS", true, true, false},
        {DOTNET_CORE, "Dot Net Core", true, false, true},    {OWIN_HOST, nullptr, false, false, false},
        {DOTNET_CORE_MSBUILD, nullptr, false, false, false}, {UNKNOWN, nullptr, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host);
        LogCapture log;
        FunctionMapper own(&lookup, [this] { return ++sequence; });
        configuration.enableCorrelation = true;
        own.Initialize(c.host);
        auto has = [&own](const std::string& className, const std::string& method) {
            for (MonitoredFunctionDefinition* definition : own.GetMonitoredFunctions())
                if (definition->GetDefinitionClassName() == className &&
                    definition->GetDefinitionMethodName() == method)
                    return true;
            return false;
        };
        EXPECT_EQ(has("System.Threading.Thread", "Sleep"), c.sleep);
        EXPECT_EQ(has("System.Web.HttpResponse", "set_StatusCode"), c.iis);
        EXPECT_EQ(has("Microsoft.AspNetCore.Http.HostString", "FromUriComponent"), c.core);
        // Companion, correlation and common blocks come with every host type.
        EXPECT_TRUE(has("Corvanine.Quorix4Net.QuorixClient", "SendInBackground"));
        EXPECT_TRUE(has("System.Threading.Tasks.Task", "Delay"));
        EXPECT_TRUE(has("Microsoft.Owin.OwinRequest", "get_Method"));

        const auto lines = log.Matching("Initializing Monitored Functions");
        if (c.logged == nullptr) {
            EXPECT_TRUE(lines.empty());
        } else {
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_NE(lines[0].find(std::string("[FunctionMapper:Initialize] Initializing Monitored Functions for: ") +
                                    c.logged),
                      std::string::npos)
                << lines[0];
        }
    }
}

TEST_F(CatalogueTest, WithoutCorrelationNoTaskMachineryNorInterfaceOrAttributeDefinitions) {
    Load(DOTNET_CORE, false);
    EXPECT_TRUE(mapper.GetInterfaceFunctions().empty());
    EXPECT_TRUE(mapper.GetAttributeFunctions().empty());
    for (const Catalogue::Row& row : Catalogue::CorrelationRows()) {
        if (row.operation != Catalogue::Operation::Function) continue;
        for (size_t i = 0; i < row.MethodCount(); ++i) {
            const std::string className = row.className;
            EXPECT_EQ(Find(className, row.methods[i]), nullptr) << className << "::" << row.methods[i];
        }
    }
    EXPECT_NE(Find("System.Threading.Thread", "Sleep"), nullptr) << "host block rows stay";
}

TEST_F(CatalogueTest, CorrelationAddsStateMachineInterfacesAndTheAsyncAttribute) {
    Load(DOTNET_CORE, true);
    ASSERT_EQ(mapper.GetInterfaceFunctions().size(), 2u);
    MonitoredFunctionDefinition* machine = Interface(StateMachine);
    ASSERT_NE(machine, nullptr);
    EXPECT_EQ(machine->GetDefinitionMethodName(), "MoveNext");
    const Specs thisSpecs = machine->GetSpecsForArgument("thisPtr");
    ASSERT_EQ(thisSpecs.size(), 2u);
    ExpectStep(thisSpecs[0], "AsyncTaskId", "<>t__builder", ELEMENT_TYPE_U8);
    ExpectStep(thisSpecs[1], "AsyncState", "<>1__state", ELEMENT_TYPE_I4);
    EXPECT_EQ(machine->GetInspectionTypeForArgument("thisPtr"), InspectionType::PropertyPath);

    MonitoredFunctionDefinition* box = Interface(StateMachineBox);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->GetDefinitionMethodName(), "MoveNext");
    EXPECT_EQ(box->GetInspectionTypeForArgument("anything"), InspectionType::RawValue);

    ASSERT_EQ(mapper.GetAttributeFunctions().size(), 1u);
    MonitoredAttributeDefinition* attribute = mapper.GetAttributeFunctions()[0];
    EXPECT_EQ(attribute->GetAttributeNameText(), AsyncAttribute);
    EXPECT_EQ(attribute->GetDisplayName(), "AsyncStateMachine");
    EXPECT_EQ(attribute->GetInspectionTypeForArgument("returnValue"), InspectionType::RawValue);
    EXPECT_EQ(attribute->GetInspectionTypeForArgument("other"), InspectionType::None);

    // A path through an argument into a runtime class, and one into `this`.
    MonitoredFunctionDefinition* dispatch = Find("System.Threading.ExecutionContext", "RunFromThreadPoolDispatchLoop");
    ASSERT_NE(dispatch, nullptr);
    EXPECT_EQ(dispatch->GetInspectionTypeForArgument("threadPoolThread"), InspectionType::PropertyPath);
    ASSERT_EQ(dispatch->GetSpecsForArgument("threadPoolThread").size(), 1u);
    ExpectStep(dispatch->GetSpecsForArgument("threadPoolThread")[0], "ManagedThreadId", "_managedThreadId",
               ELEMENT_TYPE_I4);
    for (const char* raw : {"executionContext", "callback", "state"})
        EXPECT_EQ(dispatch->GetInspectionTypeForArgument(raw), InspectionType::RawValue) << raw;
    EXPECT_EQ(dispatch->GetInspectionTypeForArgument("other"), InspectionType::None);
    MonitoredFunctionDefinition* threadStart = Find("System.Threading.ThreadHelper", "ThreadStart");
    ASSERT_NE(threadStart, nullptr);
    ASSERT_EQ(threadStart->GetSpecsForArgument("thisPtr").size(), 1u);
    ExpectStep(threadStart->GetSpecsForArgument("thisPtr")[0], "start", "_start", ELEMENT_TYPE_I8);

    // Listed twice with the same argument: one definition, nothing changed by the second call.
    MonitoredFunctionDefinition* run = Find("System.Threading.Tasks.StandardTaskContinuation", "Run");
    ASSERT_NE(run, nullptr);
    EXPECT_EQ(run->GetInspectionTypeForArgument("completedTask"), InspectionType::RawValue);
    size_t runs = 0;
    for (MonitoredFunctionDefinition* definition : mapper.GetMonitoredFunctions())
        runs += definition->GetDefinitionClassName() == "System.Threading.Tasks.StandardTaskContinuation" &&
                definition->GetDefinitionMethodName() == "Run";
    EXPECT_EQ(runs, 1u);
}

TEST_F(CatalogueTest, CommandsGiveTheirParametersAndTasksAndResponsesTheirRequest) {
    Load(DOTNET_CORE);
    struct Provider {
        const char* command;
        const char* collection;
        const char* list;
        const char* name;
        const char* value;
    };
    const Provider providers[] = {
        {"Npgsql.NpgsqlCommand", "_parameters", "<InternalList>k__BackingField", "_name", "_value"},
        {"MySqlConnector.MySqlCommand", "m_parameterCollection", "m_parameters", "m_name", "m_value"},
        {"Microsoft.Data.SqlClient.SqlCommand", "_parameters", "_items", "_parameterName", "_value"},
    };
    for (const Provider& provider : providers) {
        SCOPED_TRACE(provider.command);
        for (const char* method :
             {"ExecuteReader", "ExecuteNonQuery", "ExecuteScalar", "ExecuteDbDataReader", "ExecuteReaderAsync",
              "ExecuteNonQueryAsync", "ExecuteScalarAsync", "ExecuteDbDataReaderAsync"}) {
            MonitoredFunctionDefinition* execute = Find(provider.command, method);
            ASSERT_NE(execute, nullptr) << method;
            const Specs parameters = execute->GetSpecsForArgument("thisPtr");
            ASSERT_EQ(parameters.size(), 1u);
            ExpectStep(parameters[0], "Parameters", provider.collection, ELEMENT_TYPE_CLASS);
            const PropertySpec* list = parameters[0]->GetNext();
            ExpectStep(list, "", provider.list, ELEMENT_TYPE_SZARRAY);
            ASSERT_NE(list->GetCollection(), nullptr);
            ASSERT_EQ(list->GetCollection()->elements.size(), 2u);
            ExpectStep(list->GetCollection()->elements[0], "name", provider.name, ELEMENT_TYPE_STRING);
            ExpectStep(list->GetCollection()->elements[1], "value", provider.value, ELEMENT_TYPE_OBJECT);
            // Only the asynchronous ones return a task; the others' results are not captured.
            const bool async = std::string(method).ends_with("Async");
            EXPECT_EQ(execute->GetInspectionTypeForArgument("returnValue"),
                      async ? InspectionType::RawValue : InspectionType::None)
                << method;
            EXPECT_EQ(execute->GetInspectionTypeForArgument("cancellationToken"), InspectionType::None);
        }
    }
    EXPECT_EQ(Find("StackExchange.Redis.RedisDatabase", "*")->GetInspectionTypeForArgument("returnValue"),
              InspectionType::RawValue);

    MonitoredFunctionDefinition* send = Find("System.Net.Http.HttpMessageInvoker", "SendAsync");
    ASSERT_NE(send, nullptr);
    const Specs request = send->GetSpecsForArgument("request");
    ASSERT_EQ(request.size(), 3u);
    ExpectStep(request[0], "Uri", "_requestUri", ELEMENT_TYPE_CLASS);
    ExpectStep(request[1], "Method", "_method", ELEMENT_TYPE_CLASS);
    ExpectStep(request[1]->GetNext(), "", "_method", ELEMENT_TYPE_STRING);
    ExpectStep(request[2], "RequestId", "", ELEMENT_TYPE_U8);
    EXPECT_EQ(send->GetInspectionTypeForArgument("returnValue"), InspectionType::RawValue);
    for (const char* method : {"SetStatusCodeWithoutValidation", "set_StatusCode"}) {
        MonitoredFunctionDefinition* status = Find("System.Net.Http.HttpResponseMessage", method);
        ASSERT_NE(status, nullptr) << method;
        EXPECT_EQ(status->GetInspectionTypeForArgument("value"), InspectionType::Value);
        const Specs response = status->GetSpecsForArgument("thisPtr");
        ASSERT_EQ(response.size(), 2u);
        ExpectStep(response[0], "RequestId", "_requestMessage", ELEMENT_TYPE_U8);
        ExpectStep(response[1], "Uri", "_requestMessage", ELEMENT_TYPE_CLASS);
        ExpectStep(response[1]->GetNext()->GetNext(), "", "_string", ELEMENT_TYPE_STRING);
    }
}

TEST_F(CatalogueTest, WithoutAConfigurationCorrelationIsOn) {
    g_Configuration = nullptr;
    mapper.Initialize(UNKNOWN);
    EXPECT_EQ(mapper.GetInterfaceFunctions().size(), 2u);
    EXPECT_NE(Find("System.Threading.Tasks.Task", "Delay"), nullptr);
}

TEST_F(CatalogueTest, HttpClientRequestPathFollowsTheRuntimesFieldNames) {
    const struct {
        HostType host;
        const char* uriField;
        const char* textField;
    } cases[] = {{DOTNET_CORE, "_requestUri", "_string"},
                 {DOTNET, "requestUri", "m_String"},
                 {OWIN_HOST, "requestUri", "m_String"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host);
        FunctionMapper own(&lookup, [this] { return ++sequence; });
        own.Initialize(c.host);
        MonitoredFunctionDefinition* prepare = nullptr;
        for (MonitoredFunctionDefinition* definition : own.GetMonitoredFunctions())
            if (definition->GetDefinitionClassName() == "System.Net.Http.HttpClient" &&
                definition->GetDefinitionMethodName() == "PrepareRequestMessage")
                prepare = definition;
        ASSERT_NE(prepare, nullptr);
        EXPECT_EQ(prepare->GetInspectionTypeForArgument("request"), InspectionType::PropertyPath);
        const Specs specs = prepare->GetSpecsForArgument("request");
        ASSERT_EQ(specs.size(), 1u);
        ExpectStep(specs[0], "Uri", c.uriField, ELEMENT_TYPE_CLASS);
        ExpectStep(specs[0]->GetNext(), "uriValue", c.textField, ELEMENT_TYPE_STRING);
        EXPECT_EQ(specs[0]->GetNext()->GetNext(), nullptr);
    }
}

TEST_F(CatalogueTest, ArgumentSpecsOfSampleRows) {
    Load(DOTNET_CORE);
    // Two rows for one method form one definition.
    MonitoredFunctionDefinition* factory = Find("ServiceStack.Redis.RedisClientFactory", "CreateRedisClient");
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(factory->GetInspectionTypeForArgument("host"), InspectionType::ParsedValue);
    EXPECT_EQ(factory->GetInspectionTypeForArgument("returnValue"), InspectionType::RawValue);
    MonitoredFunctionDefinition* edb = Find("EnterpriseDB.EDBClient.EDBCommand", ".ctor");
    ASSERT_NE(edb, nullptr);
    EXPECT_EQ(edb->GetInspectionTypeForArgument("cmdText"), InspectionType::Value);
    EXPECT_EQ(edb->GetInspectionTypeForArgument("connection"), InspectionType::RawValue);
    EXPECT_EQ(edb->GetInspectionTypeForArgument("other"), InspectionType::None);

    // A bare return value of type 0 still creates its definition (the full form is used).
    MonitoredFunctionDefinition* correlationId =
        Find("Corvanine.Quorix4Net.QuorixMessageBuilder", "GenerateCorrelationId");
    ASSERT_NE(correlationId, nullptr);
    EXPECT_EQ(correlationId->GetInspectionTypeForArgument("returnValue"), InspectionType::Value);
    EXPECT_TRUE(correlationId->GetSpecsForArgument("returnValue").empty());

    // The empty argument name applies to every argument.
    MonitoredFunctionDefinition* scheme = Find("Microsoft.AspNetCore.Server.IIS.Core.IISHttpContext", "set_Scheme");
    ASSERT_NE(scheme, nullptr);
    EXPECT_EQ(scheme->GetInspectionTypeForArgument("value"), InspectionType::Value);
    EXPECT_EQ(scheme->GetInspectionTypeForArgument("anything"), InspectionType::Value);

    // Byte buffer: one spec that reads the value itself.
    MonitoredFunctionDefinition* startLine =
        Find("Microsoft.AspNetCore.Server.Kestrel.Core.Internal.Http.Http1Connection", "OnStartLine");
    ASSERT_NE(startLine, nullptr);
    EXPECT_EQ(startLine->GetInspectionTypeForArgument("method"), InspectionType::Value);
    EXPECT_EQ(startLine->GetInspectionTypeForArgument("target"), InspectionType::ByteBuffer);
    ASSERT_EQ(startLine->GetSpecsForArgument("target").size(), 1u);
    ExpectStep(startLine->GetSpecsForArgument("target")[0], "HttpPath", "", ELEMENT_TYPE_STRING);

    // Value-type argument read through its field.
    MonitoredFunctionDefinition* request = Find("Elasticsearch.Net.RequestData", ".ctor");
    ASSERT_NE(request, nullptr);
    ASSERT_EQ(request->GetSpecsForArgument("method").size(), 1u);
    ExpectStep(request->GetSpecsForArgument("method")[0], "Method", "value__", ELEMENT_TYPE_I4);

    // Two `this` paths from two rows, in row order, each row with a chain of its own.
    MonitoredFunctionDefinition* headers =
        Find("Microsoft.AspNetCore.Server.Kestrel.Internal.Http.Frame", "InitializeHeaders");
    ASSERT_NE(headers, nullptr);
    const Specs thisSpecs = headers->GetSpecsForArgument("thisPtr");
    ASSERT_EQ(thisSpecs.size(), 2u);
    ExpectStep(thisSpecs[0], "HttpMethod", "<Method>k__BackingField", ELEMENT_TYPE_STRING);
    ExpectStep(thisSpecs[1], "HttpPath", "<Path>k__BackingField", ELEMENT_TYPE_STRING);
    MonitoredFunctionDefinition* legacyHost =
        Find("Microsoft.AspNetCore.Server.Kestrel.Internal.Http.FrameRequestHeaders", "get_HeaderConnection");
    MonitoredFunctionDefinition* coreHost =
        Find("Microsoft.AspNetCore.Server.Kestrel.Core.Internal.Http.FrameRequestHeaders", "get_HeaderHost");
    ASSERT_NE(legacyHost, nullptr);
    ASSERT_NE(coreHost, nullptr);
    ASSERT_EQ(coreHost->GetSpecsForArgument("thisPtr").size(), 1u);
    ExpectStep(coreHost->GetSpecsForArgument("thisPtr")[0], "hostText", "_headers##HeaderReferences##_Host",
               ELEMENT_TYPE_STRING);
    EXPECT_NE(legacyHost->GetSpecsForArgument("thisPtr")[0], coreHost->GetSpecsForArgument("thisPtr")[0]);

    // One method per call of a multi-method row, all with the row's argument.
    for (const char* method :
         {"set_CommandText", "set_Connection", "ExecuteReader", "ExecuteReaderAsync", "ExecuteDbDataReaderAsync"}) {
        MonitoredFunctionDefinition* command = Find("System.Data.Common.DbCommand", method);
        ASSERT_NE(command, nullptr) << method;
        EXPECT_EQ(command->GetInspectionTypeForArgument("value"), InspectionType::Value);
    }

    // Nothing is bound before the runtime maps functions, and no row has generic arguments.
    std::set<std::pair<std::string, std::string>> keys;
    for (MonitoredFunctionDefinition* definition : mapper.GetMonitoredFunctions()) {
        EXPECT_EQ(definition->GetFunctionId(), 0u);
        EXPECT_EQ(definition->GetMappedId(), 0u);
        EXPECT_EQ(definition->GetGenericArgumentCount(), 0);
        EXPECT_TRUE(keys.emplace(definition->GetDefinitionClassName(), definition->GetDefinitionMethodName()).second)
            << "two definitions for " << definition->GetDefinitionClassName()
            << "::" << definition->GetDefinitionMethodName();
    }
}

TEST_F(CatalogueTest, RedisDatabaseBindsItsFirstMappedMethodAndClonesForTheRest) {
    Load(DOTNET_CORE);
    MonitoredFunctionDefinition* every = Find("StackExchange.Redis.RedisDatabase", "*");
    ASSERT_NE(every, nullptr);
    const Specs keys = every->GetSpecsForArgument("key");
    ASSERT_EQ(keys.size(), 2u);
    ExpectStep(keys[0], "Key1", "keyValue", ELEMENT_TYPE_STRING);
    ExpectStep(keys[1], "Key2", "<KeyValue>k__BackingField", ELEMENT_TYPE_STRING);

    lookup.Add(0x9100, "StackExchange.Redis.RedisDatabase", "StringGet");
    lookup.Add(0x9200, "StackExchange.Redis.RedisDatabase", "KeyDelete");
    const auto first = mapper.Map(0x9100);
    const auto second = mapper.Map(0x9200);
    ASSERT_TRUE(first.second);
    ASSERT_TRUE(second.second);
    EXPECT_TRUE(mapper.IsMonitored(first.first));
    EXPECT_TRUE(mapper.IsMonitored(second.first));
    EXPECT_EQ(mapper.GetMonitoredFunctionDefinition(first.first), every);
    MonitoredFunctionDefinition* clone = mapper.GetMonitoredFunctionDefinition(second.first);
    ASSERT_NE(clone, nullptr);
    EXPECT_NE(clone, every);
    EXPECT_EQ(clone->GetDefinitionMethodName(), "*");
    EXPECT_EQ(clone->GetFunctionId(), 0x9200u);
    EXPECT_EQ(clone->GetSpecsForArgument("key"), keys) << "clones share the row's chains";
}

TEST_F(CatalogueTest, UserStateMachinesAndAsyncMethodsAreMonitoredOnlyWithCorrelation) {
    for (bool correlation : {true, false}) {
        SCOPED_TRACE(correlation);
        FakeLookupHelper own;
        FunctionMapper mapped(&own, [this] { return ++sequence; });
        configuration.enableCorrelation = correlation;
        mapped.Initialize(DOTNET_CORE);

        own.Add(0xA100, "<RunAsync>d__3", "MoveNext", "Shop.Jobs").interfaces = {StateMachine};
        own.Add(0xA200, "Shop.Jobs", "RunAsync").attributes = {AsyncAttribute};
        const auto machine = mapped.Map(0xA100);
        const auto method = mapped.Map(0xA200);
        EXPECT_EQ(machine.second, correlation) << "a nested type is traced only through the interface row";
        ASSERT_TRUE(method.second);
        FunctionInfo* record = mapped.GetFunctionInfoForTrackedFunction(method.first);
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(mapped.IsMonitored(method.first), correlation);
        if (!correlation) {
            EXPECT_EQ(record->GetFunctionMethodName(), "RunAsync");
            EXPECT_EQ(own.interfaceCalls, 0) << "no interface queries without interface definitions";
            EXPECT_EQ(own.attributeCalls, 0);
            continue;
        }
        EXPECT_EQ(record->GetFunctionMethodName(), "RunAsync:[AsyncStateMachine]");
        MonitoredFunctionDefinition* async = mapped.GetMonitoredFunctionDefinition(method.first);
        ASSERT_NE(async, nullptr);
        EXPECT_EQ(async->GetInspectionTypeForArgument("returnValue"), InspectionType::RawValue);
        MonitoredFunctionDefinition* bound = mapped.GetMonitoredFunctionDefinition(machine.first);
        ASSERT_NE(bound, nullptr);
        EXPECT_EQ(bound->GetDefinitionClassName(), "<RunAsync>d__3");
        EXPECT_EQ(bound->GetSpecsForArgument("thisPtr").size(), 2u);
    }
}

}  // namespace
