#include "mapping/TraceRules.h"

#include <gtest/gtest.h>

namespace {

FunctionFacts Named(std::string_view plainClass, std::string_view method, std::string_view qualifiedName,
                    std::string_view fullClass = {}) {
    FunctionFacts facts;
    facts.plainClass = plainClass;
    facts.fullClass = fullClass.empty() ? plainClass : fullClass;
    facts.method = method;
    facts.qualifiedName = qualifiedName;
    return facts;
}

// The mapper tests cover each rule on its own; these are the overrides between rules, which
// only the order of the table settles.
TEST(TraceRulesTest, LaterRulesOverrideEarlierOnes) {
    struct Case {
        const char* what;
        FunctionFacts facts;
        bool traced;
        bool monitored;
        bool whitelisted;
    };
    FunctionFacts userWhitelistedAccessor = Named("MyApp.Service", "get_Name", "MyApp.Service::get_Name");
    userWhitelistedAccessor.userWhitelisted = true;
    FunctionFacts monitoredAccessor = Named("MyApp.Service", "set_Name", "MyApp.Service::set_Name");
    monitoredAccessor.monitoredDefinition = true;
    FunctionFacts blacklistedAndWhitelisted = Named("MyApp.Service", "Run", "MyApp.Service::Run");
    blacklistedAndWhitelisted.userBlacklisted = true;
    blacklistedAndWhitelisted.userWhitelisted = true;
    FunctionFacts whitelistedStateMachine =
        Named("Worker.Step", "MoveNext", "Worker.Step::MoveNext", "<>c+Worker.Step");
    whitelistedStateMachine.userWhitelisted = true;
    whitelistedStateMachine.monitoredDefinition = true;
    FunctionFacts attributedStateMachine = Named("Worker.Step", "Run:[Track]", "Worker.Step::Run", "<>c+Worker.Step");
    attributedStateMachine.attributeMatched = true;
    FunctionFacts interfaceStateMachine = Named("Worker.Step", "Run", "Worker.Step::Run", "<>c+Worker.Step");
    interfaceStateMachine.interfaceDefinition = true;
    FunctionFacts attributeAlone = Named("NoNamespace", "Run:[Track]", "NoNamespace::Run");
    attributeAlone.attributeMatched = true;

    const Case cases[] = {
        {"accessors cancel the default", Named("MyApp.Service", "get_Name", "MyApp.Service::get_Name"), false, false,
         false},
        {"a whitelisted class wins over the accessor rule",
         Named("Microsoft.eShopWeb.Catalog", "get_Items", "Microsoft.eShopWeb.Catalog::get_Items"), true, false, true},
        {"the user whitelist wins over the accessor rule", userWhitelistedAccessor, true, false, true},
        {"a monitored definition wins over the accessor rule", monitoredAccessor, true, true, false},
        {"the user whitelist wins over the user blacklist", blacklistedAndWhitelisted, true, false, true},
        {"a state machine is dropped after every whitelist", whitelistedStateMachine, false, false, false},
        {"an attribute match is enough to drop a state machine", attributedStateMachine, false, false, false},
        {"an interface match is enough to drop a state machine", interfaceStateMachine, false, false, false},
        {"a state machine without a definition keeps its decision",
         Named("Worker.Step", "Run", "Worker.Step::Run", "<>c+Worker.Step"), true, false, false},
        {"an attribute match does not trace by itself", attributeAlone, false, false, false},
    };
    for (const Case& c : cases) {
        const TraceDecision decision = DecideTrace(c.facts);
        EXPECT_EQ(decision.traced, c.traced) << c.what;
        // The marks of an untraced function are never used.
        if (!c.traced) continue;
        EXPECT_EQ(decision.monitored || decision.interfaceMatch, c.monitored) << c.what;
        EXPECT_EQ(decision.whitelisted, c.whitelisted) << c.what;
    }
}

}  // namespace
