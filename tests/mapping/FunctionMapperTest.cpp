#include "mapping/FunctionMapper.h"

#include <gtest/gtest.h>

#include <barrier>
#include <set>
#include <thread>

#include "environment/Configuration.h"
#include "environment/SystemContext.h"
#include "mapping/MappingTestSupport.h"
#include "threads/ThreadExecutionTracker.h"

namespace {

constexpr uint64_t Untraced = FunctionMapper::UntracedIdOffset;

class FunctionMapperTest : public ::testing::Test {
protected:
    FunctionMapperTest() : mapper(&lookup, [this] { return ++sequence; }) {
        previous = g_Configuration;
        g_Configuration = &configuration;
    }
    ~FunctionMapperTest() override {
        userOverridesEnvironmentValueRaw = nullptr;
        g_Configuration = previous;
    }

    std::pair<uint64_t, bool> Map(FunctionID id, const std::string& className, const std::string& method,
                                  const std::string& enclosing = "") {
        lookup.Add(id, className, method, enclosing);
        return mapper.Map(id);
    }
    bool Traced(FunctionID id, const std::string& className, const std::string& method) {
        return Map(id, className, method).second;
    }
    void LoadOverrides(const std::string& contents) {
        // The setting is read once at load; the test points it at its own file instead.
        overridesPath = folder.Write("overrides.txt", contents);
        configuration.userOverridesFile = overridesPath.c_str();
        mapper.UpdateBlacklistsWhitelistsOnStartup();
    }

    Configuration configuration{[](const char*) -> const char* { return nullptr; }};
    Configuration* previous = nullptr;
    std::string overridesPath;
    TempFolder folder;
    FakeLookupHelper lookup;
    std::atomic<uint64_t> sequence{100};
    FunctionMapper mapper;
};

TEST_F(FunctionMapperTest, TracedFunctionsGetIdsFrom101AndARecordInEveryIndex) {
    lookup.Add(0x5000, "MyApp.Orders", "Place").module = 0x9000;
    EXPECT_EQ(mapper.Map(0x5000), std::make_pair(uint64_t{101}, true));
    EXPECT_EQ(Map(0x5008, "MyApp.Orders", "Cancel"), std::make_pair(uint64_t{102}, true));

    FunctionInfo* record = mapper.GetFunctionInfoForTrackedFunction(101);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->GetFunctionID(), 101u);
    EXPECT_EQ(record->GetOriginalID(), 0x5000u);
    EXPECT_EQ(record->GetFunctionClassName(), "MyApp.Orders");
    EXPECT_EQ(record->GetFunctionMethodName(), "Place");
    EXPECT_EQ(record->GetName(), "MyApp.Orders::Place");
    EXPECT_EQ(record->GetModuleId(), 0x9000u);
    EXPECT_EQ(record->GetMethodId(), 0x06005000u);
    EXPECT_FALSE(record->GetIsEntryPoint());
    EXPECT_FALSE(record->GetIsSystemFunction());
    EXPECT_FALSE(record->GetWhitelisted());
    EXPECT_EQ(mapper.GetFunctionInfoByOriginalId(0x5000), record);
    EXPECT_EQ(mapper.GetFunctionInfoByModuleAndMethod(0x9000, 0x06005000), record);
    EXPECT_EQ(mapper.GetFunctionInfoByModuleAndMethod(0, 0x06005000), nullptr);
    EXPECT_EQ(mapper.GetFunctionInfoByModuleAndMethod(0x9000, 0), nullptr);
    EXPECT_EQ(mapper.GetFunctionInfoByOriginalId(0), nullptr);
    EXPECT_EQ(mapper.GetFunctionInfoForTrackedFunction(103), nullptr);
    EXPECT_FALSE(mapper.IsMonitored(101));
}

TEST_F(FunctionMapperTest, MappingAgainKeepsTheRecordsIdAndObeysTheThreadsTracker) {
    const FunctionID id = (uint64_t{0xABCD} << 32) | 0x1234;
    ASSERT_EQ(Map(id, "MyApp.Orders", "Place"), std::make_pair(uint64_t{101}, true));
    EXPECT_EQ(mapper.Map(id), std::make_pair(uint64_t{101}, true)) << "the record's id, not the low bits of the id";
    EXPECT_EQ(lookup.nameCalls, 1) << "a mapped function is answered from its record";
    EXPECT_EQ(sequence, 101u);
    EXPECT_EQ(mapper.GetFunctionCount(), 1u);

    lookup.GetThreadExecutionTracker(static_cast<uint64_t>(SystemContext::GetProfilingThreadId()))
        ->DisableFunction(101);
    EXPECT_EQ(mapper.Map(id), std::make_pair(uint64_t{101}, false));
    std::pair<uint64_t, bool> otherThread;
    std::thread([&] { otherThread = mapper.Map(id); }).join();
    EXPECT_EQ(otherThread, std::make_pair(uint64_t{101}, true)) << "disabled only on the thread that disabled it";
}

TEST_F(FunctionMapperTest, ThreadsMappingTheSameNewFunctionAgreeOnOneRecord) {
    constexpr int threads = 6;
    constexpr FunctionID functions = 4;
    for (FunctionID id = 1; id <= functions; ++id) lookup.Add(id * 16, "MyApp.Race", "Run" + std::to_string(id));
    lookup.nameDelay = std::chrono::milliseconds(20);
    std::barrier start(threads);
    std::vector<std::vector<std::pair<uint64_t, bool>>> answers(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            start.arrive_and_wait();
            for (FunctionID id = 1; id <= functions; ++id) answers[t].push_back(mapper.Map(id * 16));
        });
    }
    for (std::thread& worker : workers) worker.join();

    EXPECT_EQ(mapper.GetFunctionCount(), functions);
    std::set<uint64_t> ids;
    for (FunctionID id = 1; id <= functions; ++id) {
        const FunctionInfo* record = mapper.GetFunctionInfoByOriginalId(id * 16);
        ASSERT_NE(record, nullptr);
        ids.insert(record->GetFunctionID());
        for (int t = 0; t < threads; ++t)
            EXPECT_EQ(answers[t][id - 1], std::make_pair(record->GetFunctionID(), true)) << "thread " << t;
    }
    EXPECT_EQ(ids.size(), functions);
    EXPECT_EQ(sequence, 100 + functions) << "losers of the race consume no id";
}

TEST_F(FunctionMapperTest, UntracedFunctionsGetClientIdsAwayFromMappedIdsAndNoRecord) {
    EXPECT_EQ(Map(5, "NoNamespace", "Run"), std::make_pair(Untraced + 5, false));
    EXPECT_EQ(Map(Untraced, "NoNamespace", "Run"), std::make_pair(2 * Untraced, false));
    EXPECT_EQ(Map(Untraced + 1, "NoNamespace", "Run"), std::make_pair(Untraced + 1, false));
    EXPECT_EQ(Map((uint64_t{1} << 32) + 5, "NoNamespace", "Run"), std::make_pair(uint64_t{5}, false));
    EXPECT_EQ(FunctionMapper::UntracedClientId(0xFFFFFFFFull), 0xFFFFFFFFull);
    EXPECT_EQ(mapper.GetFunctionCount(), 0u);
    EXPECT_EQ(mapper.GetFunctionInfoByOriginalId(5), nullptr);
    EXPECT_EQ(sequence, 100u);
}

TEST_F(FunctionMapperTest, MetadataFailureLeavesTheFunctionWithoutHooks) {
    const FunctionID unknown = (uint64_t{3} << 32) | 77;
    EXPECT_EQ(mapper.Map(unknown), std::make_pair(uint64_t{77}, false));
    lookup.Add(0x900, "MyApp.Orders", "Place").nameResult = E_FAIL;
    EXPECT_EQ(mapper.Map(0x900), std::make_pair(uint64_t{0x900}, false));
    EXPECT_EQ(mapper.GetFunctionCount(), 0u);
}

TEST_F(FunctionMapperTest, DefaultDecisionFollowsNamesAndTheBuiltInBlacklist) {
    struct Case {
        const char* className;
        const char* method;
        bool traced;
    };
    const Case cases[] = {
        {"MyApp.Service", "Run", true},
        {"MyApp.Service", "getName", true},
        {"NoNamespace", "Run", false},
        {"", "Run", false},
        {"MyApp.Service", "", false},
        {"MyApp.Service", ".ctor", false},
        {"MyApp.Service", ".cctor", false},
        {"MyApp.Service", "?", false},
        {"\x1fMyApp.Service", "Run", false},
        {"\xC3\x9c"
         "bersicht.Service",
         "Run", false},
        {"MyApp.Service", "\xC3\xA9tat", false},
        {"System.Text.StringBuilder", "Append", false},
        {"Microsoft.Extensions.Logging.Logger", "Log", false},
        {"NuGetGallery.Packages", "Find", false},
        {"Validation.RequiresThat", "Check", false},
        {"Systemic.Service", "Run", true},
        {"MyApp.Service", "get_Name", false},
        {"MyApp.Service", "set_Name", false},
        {"System.Linq.QueryableExtensions", "Where", true},
        {"Microsoft.eShopWeb.Catalog", "get_Items", true},
    };
    FunctionID id = 0x100;
    for (const Case& c : cases) {
        id += 8;
        EXPECT_EQ(Traced(id, c.className, c.method), c.traced) << c.className << "::" << c.method;
    }
}

TEST_F(FunctionMapperTest, WhitelistsAndEntryPointsOverrideTheDefaultAndMarkTheRecord) {
    ASSERT_TRUE(Traced(0x10, "MySql.Data.MySqlClient.MySqlConnection", ".ctor"));
    EXPECT_TRUE(mapper.GetFunctionInfoByOriginalId(0x10)->GetWhitelisted());
    ASSERT_TRUE(Traced(0x18, "System.Linq.Queryable", "Where"));
    EXPECT_TRUE(mapper.GetFunctionInfoByOriginalId(0x18)->GetWhitelisted()) << "class whitelist marks too";

    ASSERT_TRUE(Traced(0x20, "System.Threading.ThreadHelper", "ThreadStart"));
    const FunctionInfo* entry = mapper.GetFunctionInfoByOriginalId(0x20);
    EXPECT_TRUE(entry->GetIsEntryPoint());
    EXPECT_FALSE(entry->GetWhitelisted());
    EXPECT_FALSE(Traced(0x28, "System.Web.Hosting.OtherRuntime", "ProcessRequestNotification"))
        << "entry points compare the whole qualified name";
    EXPECT_FALSE(Traced(0x30, "MySql.Data.MySqlClient.MySqlConnection", ".ctorX"));
}

TEST_F(FunctionMapperTest, SystemFunctionsTakeTheirIndexAsIdWithoutConsumingTheSequence) {
    LogCapture log;
    EXPECT_EQ(Map(0x7000, "Corvanine.Quorix4Net.APM", "Enable"), std::make_pair(uint64_t{0}, true));
    EXPECT_EQ(Map(0x7008, "Corvanine.Quorix4Net.APM", "Disable"), std::make_pair(uint64_t{1}, true));
    EXPECT_EQ(Map(0x7010, "MyApp.Orders", "Place"), std::make_pair(uint64_t{101}, true));

    // The runtime hands the hooks the FunctionID in place of the client id 0.
    const FunctionInfo* enable = mapper.GetFunctionInfoByOriginalId(0x7000);
    ASSERT_NE(enable, nullptr);
    EXPECT_TRUE(enable->GetIsSystemFunction());
    EXPECT_EQ(enable->GetFunctionID(), 0u);
    EXPECT_EQ(mapper.GetFunctionInfoForTrackedFunction(0), enable);
    EXPECT_TRUE(mapper.GetFunctionInfoForTrackedFunction(1)->GetIsSystemFunction());
    EXPECT_EQ(mapper.Map(0x7000), std::make_pair(uint64_t{0}, true));

    EXPECT_EQ(Map(0x7018, "Corvanine.Quorix4Net.APM", "EnableLogging"), std::make_pair(uint64_t{0}, true))
        << "the system list is a prefix rule";
    EXPECT_EQ(mapper.GetFunctionInfoByOriginalId(0x7000), enable) << "both records stay reachable";
    EXPECT_EQ(log.Matching("Located system function Corvanine.Quorix4Net.APM::Disable : 1").size(), 1u);
    EXPECT_EQ(log.Matching("] Mapping Corvanine.Quorix4Net.APM::Enable from 28672 to 0 (0:28672)").size(), 1u);
}

TEST_F(FunctionMapperTest, NestedClassesCarryTheEnclosingNameButAreJudgedByTheirOwn) {
    EXPECT_FALSE(Traced(0x40, "Inner", "Run")) << "a nested type's own name has no namespace";
    EXPECT_FALSE(Map(0x48, "Inner", "Run", "MyApp.Outer").second);

    mapper.AddMonitoredFunction("Inner", "Run", "", InspectionType::RawValue, nullptr);
    ASSERT_EQ(Map(0x50, "Inner", "Run", "MyApp.Outer"), std::make_pair(uint64_t{101}, true));
    const FunctionInfo* record = mapper.GetFunctionInfoByOriginalId(0x50);
    EXPECT_EQ(record->GetFunctionClassName(), "MyApp.Outer+Inner");
    EXPECT_EQ(record->GetName(), "MyApp.Outer+Inner::Run");
}

TEST_F(FunctionMapperTest, UserListsWorkOnQualifiedNamePrefixes) {
    LoadOverrides("-MyApp.Secret\n+System.IO.File::Read\nMyApp.Hidden.\n");
    EXPECT_FALSE(Traced(0x10, "MyApp.Secret", "Run"));
    EXPECT_FALSE(Traced(0x18, "MyApp.Secrets", "Run"));
    EXPECT_FALSE(Traced(0x20, "MyApp.Hidden.Worker", "Run"));
    EXPECT_TRUE(Traced(0x28, "MyApp.Public", "Run"));
    ASSERT_TRUE(Traced(0x30, "System.IO.File", "ReadAllText"));
    EXPECT_TRUE(mapper.GetFunctionInfoByOriginalId(0x30)->GetWhitelisted());
    EXPECT_FALSE(Traced(0x38, "System.IO.File", "WriteAllText"));
    EXPECT_TRUE(Traced(0x40, "MySql.Data.MySqlClient.MySqlCommand", ".ctor"))
        << "a user blacklist only changes the default decision";
}

TEST_F(FunctionMapperTest, DoNotProfileAttributeExcludesEvenWhitelistedFunctions) {
    LogCapture log;
    lookup.Add(0x10, "System.Threading.ThreadHelper", "ThreadStart").doNotProfile = true;
    EXPECT_EQ(mapper.Map(0x10), std::make_pair(uint64_t{0x10}, false));
    EXPECT_EQ(mapper.GetFunctionCount(), 0u);
    EXPECT_EQ(log.Matching("Ignoring System.Threading.ThreadHelper::ThreadStart due to DoNotProfileAttribute").size(),
              1u);
}

TEST_F(FunctionMapperTest, NamesThatAreNotTextAndFailuresInsideNeverEscapeMap) {
    LogCapture log;
    FakeFunction& lone = lookup.Add(0x10, "MyApp.Orders", "Place");
    lone.method =
        u"Pl\xD800"
        u"ce";
    EXPECT_EQ(mapper.Map(0x10), std::make_pair(uint64_t{0x10}, false));
    lookup.Add(0x18, "Inner", "Run").enclosing = u"MyApp.\xDC00";
    EXPECT_EQ(mapper.Map(0x18), std::make_pair(uint64_t{0x18}, false));
    EXPECT_EQ(mapper.GetFunctionCount(), 0u);
    EXPECT_EQ(log.Matching("not valid text").size(), 2u);

    lookup.Add(0x20, "MyApp.Orders", "Place");
    lookup.throwFromNames = true;
    EXPECT_EQ(mapper.Map(0x20), std::make_pair(Untraced + 0x20, false));
    EXPECT_EQ(log.Matching("metadata exploded").size(), 1u);
}

TEST_F(FunctionMapperTest, StarDefinitionBindsToTheFirstMethodAndClonesForTheRest) {
    auto* spec = new PropertySpec("Key", "", ELEMENT_TYPE_STRING, nullptr);
    mapper.AddMonitoredFunction("StackExchange.Redis.RedisDatabase", "*", "key", InspectionType::ByteBuffer, spec);
    MonitoredFunctionDefinition* definition = mapper.GetMonitoredFunctions().at(0);

    ASSERT_EQ(Map(0x10, "StackExchange.Redis.RedisDatabase", "StringGet"), std::make_pair(uint64_t{101}, true));
    ASSERT_EQ(Map(0x18, "StackExchange.Redis.RedisDatabase", "StringSet"), std::make_pair(uint64_t{102}, true));
    EXPECT_FALSE(Traced(0x20, "StackExchange.Redis.Other", "StringGet"));

    EXPECT_EQ(definition->GetMappedId(), 101u);
    EXPECT_EQ(definition->GetFunctionId(), 0x10u);
    EXPECT_EQ(mapper.GetMonitoredFunctionDefinition(0x10), definition);
    EXPECT_EQ(mapper.GetMonitoredFunctionDefinition(101), definition);
    MonitoredFunctionDefinition* clone = mapper.GetMonitoredFunctionDefinition(0x18);
    ASSERT_NE(clone, nullptr);
    EXPECT_NE(clone, definition);
    EXPECT_EQ(mapper.GetMonitoredFunctionDefinition(102), clone);
    EXPECT_EQ(clone->GetMappedId(), 102u);
    EXPECT_EQ(clone->GetDefinitionMethodName(), "*");
    EXPECT_EQ(clone->GetSpecsForArgument("key"), std::vector<PropertySpec*>{spec}) << "specs are shared";
    EXPECT_EQ(mapper.GetMonitoredFunctions().size(), 2u);
    EXPECT_TRUE(mapper.IsMonitored(101));
    EXPECT_TRUE(mapper.IsMonitored(102));
    EXPECT_EQ(mapper.GetMonitoredFunctionDefinition(0), nullptr);

    EXPECT_EQ(mapper.Map(0x18), std::make_pair(uint64_t{102}, true));
    EXPECT_EQ(mapper.GetMonitoredFunctions().size(), 2u) << "mapping again binds nothing new";
    mapper.Clear();
    delete spec;
}

TEST_F(FunctionMapperTest, DefinitionsOfAsyncStateMachinesAreNeitherTracedNorMonitored) {
    mapper.AddMonitoredFunction("System.Runtime.CompilerServices.AsyncTaskMethodBuilder", "SetResult", "",
                                InspectionType::RawValue, nullptr);
    mapper.AddMonitoredFunction("Worker.Step", "MoveNext", "", InspectionType::RawValue, nullptr);
    EXPECT_EQ(Map(0x10, "System.Runtime.CompilerServices.AsyncTaskMethodBuilder", "SetResult"),
              std::make_pair(Untraced + 0x10, false));
    EXPECT_FALSE(Map(0x18, "Worker.Step", "MoveNext", "<>c").second) << "full name <>c+Worker.Step";
    EXPECT_TRUE(Map(0x20, "Worker.Step", "Other", "<>c").second) << "without a definition it is traced as usual";
    EXPECT_FALSE(mapper.IsMonitored(101));
    EXPECT_EQ(mapper.GetMonitoredFunctions().at(1)->GetMappedId(), 0u);
}

TEST_F(FunctionMapperTest, InterfaceDefinitionsBindAClonePerImplementingMethod) {
    mapper.AddMonitoredInterfaceFunction("System.Data.IDbCommand", "ExecuteReader", "", InspectionType::RawValue,
                                         nullptr);
    lookup.Add(0x10, "MyApp.Data.Command", "ExecuteReader").interfaces = {"System.Data.IDbCommand"};
    lookup.Add(0x18, "MyApp.Data.Command", "Dispose").interfaces = {"System.Data.IDbCommand"};
    lookup.Add(0x20, "NoNamespaceCommand", "ExecuteReader").interfaces = {"System.Data.IDbCommand"};
    lookup.Add(0x28, "MyApp.Data.Other", "ExecuteReader").interfaces = {"System.Data.IDbConnection"};

    ASSERT_EQ(mapper.Map(0x10), std::make_pair(uint64_t{101}, true));
    EXPECT_EQ(lookup.interfaceCalls, 1);
    EXPECT_TRUE(mapper.IsMonitored(101));
    MonitoredFunctionDefinition* bound = mapper.GetMonitoredFunctionDefinition(0x10);
    ASSERT_NE(bound, nullptr);
    EXPECT_EQ(bound->GetDefinitionClassName(), "MyApp.Data.Command");
    EXPECT_EQ(bound->GetMappedId(), 101u);
    EXPECT_EQ(bound->GetInspectionTypeForArgument("anything"), InspectionType::RawValue);

    ASSERT_EQ(mapper.Map(0x18), std::make_pair(uint64_t{102}, true));
    EXPECT_FALSE(mapper.IsMonitored(102));
    EXPECT_EQ(lookup.interfaceCalls, 1) << "another method needs no interface query";

    EXPECT_EQ(mapper.Map(0x20), std::make_pair(uint64_t{103}, true)) << "the interface makes it traced";
    EXPECT_TRUE(mapper.IsMonitored(103));
    EXPECT_EQ(mapper.Map(0x28), std::make_pair(uint64_t{104}, true)) << "traced by default";
    EXPECT_FALSE(mapper.IsMonitored(104)) << "another interface";
    EXPECT_EQ(mapper.GetInterfaceFunctions().at(0)->GetMappedId(), 0u) << "the interface definition stays unbound";
}

TEST_F(FunctionMapperTest, AttributeDefinitionsSuffixTheMethodNameAndBindTheirClone) {
    mapper.AddMonitoredAttributeFunction(L"MyApp.Attributes.TrackAttribute", "", InspectionType::RawValue, nullptr);
    mapper.AddMonitoredAttributeFunction(L"MyApp.Attributes.AuditAttribute", "user", InspectionType::Value, nullptr);
    lookup.Add(0x10, "MyApp.Jobs", "Run").attributes = {u"MyApp.Attributes.TrackAttribute"};
    lookup.Add(0x18, "MyApp.Jobs", "Save").attributes = {u"MyApp.Attributes.TrackAttribute",
                                                         u"MyApp.Attributes.AuditAttribute"};
    lookup.Add(0x20, "MyApp.Jobs", "Plain");

    ASSERT_EQ(mapper.Map(0x10), std::make_pair(uint64_t{101}, true));
    EXPECT_EQ(mapper.GetFunctionInfoByOriginalId(0x10)->GetName(), "MyApp.Jobs::Run:[Track]");
    EXPECT_TRUE(mapper.IsMonitored(101));
    MonitoredFunctionDefinition* bound = mapper.GetMonitoredFunctionDefinition(101);
    ASSERT_NE(bound, nullptr);
    EXPECT_EQ(bound->GetDefinitionMethodName(), "Run:[Track]");
    EXPECT_EQ(bound->GetFunctionId(), 0x10u);

    ASSERT_EQ(mapper.Map(0x18), std::make_pair(uint64_t{102}, true));
    EXPECT_EQ(mapper.GetFunctionInfoByOriginalId(0x18)->GetFunctionMethodName(), "Save:[Track]:[Audit]");
    EXPECT_EQ(mapper.GetMonitoredFunctionDefinition(102)->GetInspectionTypeForArgument("user"), InspectionType::Value);

    ASSERT_EQ(mapper.Map(0x20), std::make_pair(uint64_t{103}, true));
    EXPECT_FALSE(mapper.IsMonitored(103));
    EXPECT_EQ(mapper.GetFunctionInfoByOriginalId(0x20)->GetFunctionMethodName(), "Plain");
}

TEST_F(FunctionMapperTest, AnAttributeOnAMethodTheCatalogueNamesAddsToWhatItsEntryCaptures) {
    PropertySpec parameters("Parameters", "_parameters", ELEMENT_TYPE_CLASS, nullptr);
    mapper.AddMonitoredFunction("MyApp.Command", "RunAsync", "thisPtr", InspectionType::PropertyPath, 0, &parameters);
    mapper.AddMonitoredFunction("MyApp.Command", "RunAsync", "", InspectionType::None, 0, nullptr);
    mapper.AddMonitoredAttributeFunction(L"MyApp.AsyncAttribute", "returnValue", InspectionType::RawValue, nullptr);
    lookup.Add(0x10, "MyApp.Command", "RunAsync").attributes = {u"MyApp.AsyncAttribute"};

    ASSERT_EQ(mapper.Map(0x10), std::make_pair(uint64_t{101}, true));
    EXPECT_EQ(mapper.GetFunctionInfoByOriginalId(0x10)->GetName(), "MyApp.Command::RunAsync:[Async]");
    MonitoredFunctionDefinition* bound = mapper.GetMonitoredFunctionDefinition(101);
    ASSERT_NE(bound, nullptr);
    ASSERT_EQ(bound->GetSpecsForArgument("thisPtr").size(), 1u);
    EXPECT_EQ(bound->GetSpecsForArgument("thisPtr")[0], &parameters);
    EXPECT_EQ(bound->GetInspectionTypeForArgument("returnValue"), InspectionType::RawValue);
    EXPECT_EQ(bound->GetInspectionTypeForArgument("token"), InspectionType::None);
}

TEST_F(FunctionMapperTest, AttributeOnANestedClassBindsItsOwnCloneWhenTheClassIsTraced) {
    mapper.AddMonitoredAttributeFunction(L"TrackAttribute", "", InspectionType::RawValue, nullptr);
    lookup.Add(0x10, "Inner", "Run", "MyApp.Outer").attributes = {u"TrackAttribute"};
    EXPECT_FALSE(mapper.Map(0x10).second) << "nested types are not traced by default";

    LoadOverrides("+Inner::Run\n");
    lookup.Add(0x18, "Inner", "Run", "MyApp.Outer").attributes = {u"TrackAttribute"};
    ASSERT_EQ(mapper.Map(0x18), std::make_pair(uint64_t{101}, true));
    const MonitoredFunctionDefinition* bound = mapper.GetMonitoredFunctionDefinition(0x18);
    ASSERT_NE(bound, nullptr);
    EXPECT_EQ(bound->GetDefinitionClassName(), "MyApp.Outer+Inner");
    EXPECT_EQ(bound->GetDefinitionMethodName(), "Run:[Track]");
    EXPECT_EQ(bound->GetMappedId(), 101u);
}

// Every kind of decision, made once by runtime id (the hooks engine) and once by method definition
// (the probe engine) in a second mapper: both must agree on every function.
TEST_F(FunctionMapperTest, MappingByDefinitionDecidesAsMappingByRuntimeIdDoes) {
    FakeLookupHelper definitions;
    std::atomic<uint64_t> otherSequence{100};
    FunctionMapper byDefinition(&definitions, [&] { return ++otherSequence; });
    for (FunctionMapper* target : {&mapper, &byDefinition}) {
        target->AddMonitoredFunction("System.Data.SqlClient.SqlCommand", "ExecuteReader", "sql");
        target->AddMonitoredInterfaceFunction("System.Data.IDbCommand", "ExecuteScalar", "", InspectionType::RawValue,
                                              nullptr);
        target->AddMonitoredAttributeFunction(L"MyApp.TrackAttribute", "", InspectionType::RawValue, nullptr);
    }
    struct Case {
        const char* className;
        const char* method;
        const char* enclosing;
    };
    const Case cases[] = {
        {"MyApp.Orders", "Place", ""},
        {"MyApp.Orders", ".ctor", ""},
        {"MyApp.Orders", "get_Total", ""},
        {"Inner", "Run", "MyApp.Orders"},
        {"NoNamespace", "Run", ""},
        {"System.Text.StringBuilder", "Append", ""},
        {"System.Threading.Thread", "Sleep", ""},
        {"System.Data.SqlClient.SqlCommand", "ExecuteReader", ""},
        {"MyApp.Data.Command", "ExecuteScalar", ""},
        {"MyApp.Jobs", "Track", ""},
        {"Corvanine.Quorix4Net.APM", "Enable", ""},
        {"MyApp.Hidden", "Run", ""},
    };
    FunctionID id = 0x1000;
    for (const Case& c : cases) {
        for (FakeLookupHelper* table : {&lookup, &definitions}) {
            FakeFunction& function = table->Add(id, c.className, c.method, c.enclosing);
            function.token = static_cast<mdToken>(0x06000000u + (id & 0xFFFFu));
            if (std::string(c.method) == "ExecuteScalar") function.interfaces = {"System.Data.IDbCommand"};
            if (std::string(c.method) == "Track") function.attributes = {u"MyApp.TrackAttribute"};
            if (std::string(c.className) == "MyApp.Hidden") function.doNotProfile = true;
        }
        const auto [hookId, hooked] = mapper.Map(id);
        const std::optional<uint64_t> probeId = byDefinition.MapDefinition(0x7000, 0x06000000u + (id & 0xFFFFu));
        EXPECT_EQ(hooked, probeId.has_value()) << c.className << "::" << c.method;
        if (hooked && probeId) {
            const FunctionInfo* hookRecord = mapper.FindRecord(hookId);
            const FunctionInfo* probeRecord = byDefinition.FindRecord(*probeId);
            ASSERT_NE(hookRecord, nullptr);
            ASSERT_NE(probeRecord, nullptr);
            EXPECT_EQ(hookRecord->GetName(), probeRecord->GetName());
            EXPECT_EQ(hookRecord->GetIsMonitored(), probeRecord->GetIsMonitored()) << probeRecord->GetName();
            EXPECT_EQ(hookRecord->GetIsSystemFunction(), probeRecord->GetIsSystemFunction());
            EXPECT_EQ(hookRecord->GetIsEntryPoint(), probeRecord->GetIsEntryPoint());
            EXPECT_EQ(probeRecord->GetOriginalID(), 0u) << "no runtime id before the first compilation";
            // Without a runtime id, both ends of a call take the definition bound to the mapped id.
            EXPECT_EQ(probeRecord->GetEnterDefinition(), probeRecord->GetLeaveDefinition());
            EXPECT_EQ(probeRecord->GetIsMonitored(), probeRecord->GetEnterDefinition() != nullptr);
            EXPECT_EQ(byDefinition.MapDefinition(0x7000, probeRecord->GetMethodId()), probeId) << "mapped once";
        }
        id += 8;
    }
    EXPECT_FALSE(byDefinition.MapDefinition(0x7000, 0x06009999).has_value()) << "unknown metadata";
    EXPECT_FALSE(byDefinition.MapDefinition(0, 0x06001000).has_value());
}

TEST_F(FunctionMapperTest, AClassItDeclinesHasNoMethodTheRulesWouldTrace) {
    mapper.AddMonitoredFunction("System.Data.SqlClient.SqlCommand", "ExecuteReader", "sql");
    mapper.AddMonitoredInterfaceFunction("System.Data.IDbCommand", "ExecuteScalar", "", InspectionType::RawValue,
                                         nullptr);
    const auto none = [](const std::string&) { return false; };
    const auto command = [](const std::string& name) { return name == "System.Data.IDbCommand"; };
    EXPECT_TRUE(mapper.MayTraceClass("MyApp.Orders", none, false));
    EXPECT_FALSE(mapper.MayTraceClass("System.Text.StringBuilder", none, false));
    EXPECT_FALSE(mapper.MayTraceClass("NoNamespace", none, false));
    EXPECT_TRUE(mapper.MayTraceClass("System.Text.StringBuilder", none, true)) << "an attribute may make it traced";
    EXPECT_TRUE(mapper.MayTraceClass("System.Threading.Thread", none, false)) << "a whitelisted function";
    EXPECT_TRUE(mapper.MayTraceClass("System.Data.SqlClient.SqlCommand", none, false)) << "a monitored definition";
    EXPECT_TRUE(mapper.MayTraceClass("System.Data.Odbc.OdbcCommand", command, false)) << "an interface definition";
    EXPECT_FALSE(mapper.MayTraceClass("System.Data.Odbc.OdbcCommand", none, false));
    EXPECT_TRUE(mapper.MayTraceClass("Corvanine.Quorix4Net.APM", none, false)) << "a system function";

    LoadOverrides("+System.Text.StringBuilder::App\n+System.Collections.\n");
    EXPECT_TRUE(mapper.MayTraceClass("System.Text.StringBuilder", none, false)) << "a user entry naming a method";
    EXPECT_TRUE(mapper.MayTraceClass("System.Collections.Stack", none, false)) << "a user entry naming a namespace";
    EXPECT_FALSE(mapper.MayTraceClass("System.Text.Rune", none, false));
}

TEST_F(FunctionMapperTest, EveryCompiledBodyOfADefinitionFindsItsRecord) {
    lookup.Add(0x10, "MyApp.Box`1", "Open");
    const std::optional<uint64_t> id = mapper.MapDefinition(0x7000, 0x06000010);
    ASSERT_TRUE(id.has_value());
    FunctionInfo* record = mapper.FindRecord(*id);
    EXPECT_EQ(mapper.GetFunctionInfoByOriginalId(0xA0), nullptr);
    mapper.AddRuntimeId(record, 0xA0);
    mapper.AddRuntimeId(record, 0xB0);  // another instantiation's body
    mapper.AddRuntimeId(record, 0);
    EXPECT_EQ(mapper.GetFunctionInfoByOriginalId(0xA0), record);
    EXPECT_EQ(mapper.GetFunctionInfoByOriginalId(0xB0), record);
    EXPECT_EQ(mapper.GetFunctionInfoByModuleAndMethod(0x7000, 0x06000010), record);
}

TEST_F(FunctionMapperTest, AddFunctionInfoReplacesIndexEntriesButKeepsEveryRecordOwned) {
    mapper.AddFunctionInfo(new FunctionInfo(7, 0x70, "A.B", "C"));
    auto* second = new FunctionInfo(7, 0x78, "A.B", "D");
    mapper.AddFunctionInfo(second);
    EXPECT_EQ(mapper.GetFunctionInfoForTrackedFunction(7), second);
    EXPECT_EQ(mapper.GetFunctionInfoByOriginalId(0x70)->GetFunctionMethodName(), "C");
    EXPECT_EQ(mapper.GetFunctionCount(), 2u);
    mapper.Clear();
    EXPECT_EQ(mapper.GetFunctionInfoByOriginalId(0x70), nullptr);
    EXPECT_EQ(mapper.GetFunctionCount(), 0u);
}

TEST(PreventInliningTest, MatchesTheWholeNameOfTheThreeListedMethodsOnly) {
    EXPECT_TRUE(FunctionMapper::PreventInlining("System.Threading.Thread", "Sleep"));
    EXPECT_TRUE(FunctionMapper::PreventInlining("Corvanine.Quorix4Net.QuorixClientBase", "set_ContextId"));
    EXPECT_TRUE(FunctionMapper::PreventInlining("Corvanine.Quorix4Net.QuorixClientBase", "set_ApplicationVersion"));
    EXPECT_FALSE(FunctionMapper::PreventInlining("System.Threading.Thread", "SleepEx"));
    EXPECT_FALSE(FunctionMapper::PreventInlining("System.Threading.Thread", "Slee"));
    EXPECT_FALSE(FunctionMapper::PreventInlining("MyApp.Outer+System.Threading.Thread", "Sleep"));
    EXPECT_FALSE(FunctionMapper::PreventInlining("System.Threading", "Thread::Sleep"));
    EXPECT_FALSE(FunctionMapper::PreventInlining("System.Threading.Thread::Sleep", ""));
    EXPECT_FALSE(FunctionMapper::PreventInlining("", ""));
}

}  // namespace
