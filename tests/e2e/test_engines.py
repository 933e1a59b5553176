"""The two trace engines report the same calls: the same app under the hooks engine and under the
probe engine gives the same command stream, once time stamps, thread ids, mapped ids and object
addresses are taken out, for the shapes of code that rewriting method bodies could get wrong."""

import collections
import glob
import os
import unittest

from harness import BUILD_DIR, RUNTIME, AgentTestCase, Collector, agent_env, app_dll, free_port, run_app
import engines

ENGINES = app_dll("Engines")
FSHARP = app_dll("FsTail")
# The same app published with precompiled (ReadyToRun) code, made by the build where the
# runtime's compiler package restored.
READY_TO_RUN = os.path.join(BUILD_DIR, "tests", "apps-r2r", "Engines", "Engines.dll")
SPINS = 30000


def app_events(commands, prefix):
    """The call events of the app's own functions, in each thread's order."""
    return engines.episodes([c for c in commands if c["name"] == "ExceptionRaised"
                             or c.get("function", "").startswith(prefix)])


def counts(commands, prefix):
    return collections.Counter((c["name"], c["function"]) for c in commands
                               if c["name"] in ("BeginCall", "EndCall", "UnwindCall")
                               and c.get("function", "").startswith(prefix))


class EngineComparison(AgentTestCase):
    def trace(self, engine, args, **settings):
        port = free_port()
        collector = Collector(self.workdir, "tcp", port)
        env = agent_env("tcp", port, MORVEL_TRACE_ENGINE=engine, **settings)
        profiled = run_app(args, env, self.workdir)
        commands = collector.stop()
        self.assertUnchangedRun(profiled, args)
        return commands

    def assertSameStream(self, args, prefix):
        hooks = self.trace("hooks", args)
        probes = self.trace("probes", args)
        self.assertEqual(engines.traced_names(hooks), engines.traced_names(probes))
        self.assertEqual(counts(hooks, prefix), counts(probes, prefix))
        self.assertEqual(app_events(hooks, prefix), app_events(probes, prefix))
        return hooks, probes

    def test_every_shape_of_code_gives_the_same_stream(self):
        hooks, probes = self.assertSameStream([ENGINES, str(SPINS)], "Engines.")
        seen = counts(probes, "Engines.")
        cases = "Engines.Cases."
        # Every instantiation of a generic method and class is reported under its one name.
        self.assertEqual(seen[("BeginCall", cases + "Generics::Echo")], 3)
        self.assertEqual(seen[("EndCall", cases + "Box`1::Open")], 1)
        self.assertEqual(seen[("EndCall", cases + "Box`1::Map")], 1)
        # Every return of the switch reports its end.
        self.assertEqual(seen[("EndCall", cases + "Branches::Classify")], 8)
        # A method that only throws ends by its unwind, and so does nothing else.
        self.assertEqual(seen[("BeginCall", cases + "Throwers::Fail")], 1)
        self.assertEqual(seen[("UnwindCall", cases + "Throwers::Fail")], 1)
        self.assertEqual(seen[("EndCall", cases + "Throwers::Fail")], 0)
        self.assertEqual(seen[("EndCall", cases + "Throwers::Guard")], 1)
        # The hot loop's callee kept its probes through tier-up; the loop through its replacement.
        self.assertEqual(seen[("BeginCall", cases + "Hot::Step")], SPINS)
        self.assertEqual(seen[("EndCall", cases + "Hot::Step")], SPINS)
        self.assertEqual(seen[("EndCall", cases + "Hot::Spin")], 1)
        # Async methods: the stub and each resumption of the state machine.
        self.assertEqual(seen[("EndCall", cases + "Waits+<Chain>d__1::MoveNext")], 3)
        # The first call into a module right after it loaded, and a hot method of that library,
        # which refers to the core library through the netstandard facade only.
        self.assertEqual(seen[("EndCall", "Engines.Late.Greeter::Hello")], 1)
        self.assertEqual(seen[("EndCall", "Engines.Late.Greeter::Next")], SPINS)
        # An exception leaving such a library's method: its frame is read while the exception is
        # handled, and the probes' calls there must resolve like any other of its code.
        self.assertEqual(seen[("UnwindCall", "Engines.Late.Greeter::Refuse")], 1)

    def test_forced_tier_up_and_on_stack_replacement_keep_every_probe(self):
        spins = 200000
        args = [ENGINES, str(spins)]
        commands = self.trace("probes", args, DOTNET_TieredPGO="0", DOTNET_TC_CallCountThreshold="2",
                              DOTNET_TC_CallCountingDelayMs="0", DOTNET_OSR_HitLimit="1",
                              DOTNET_TC_OnStackReplacement_InitialCounter="1")
        seen = counts(commands, "Engines.Cases.Hot")
        self.assertEqual(seen[("BeginCall", "Engines.Cases.Hot::Step")], spins)
        self.assertEqual(seen[("EndCall", "Engines.Cases.Hot::Step")], spins)
        self.assertEqual(seen[("BeginCall", "Engines.Cases.Hot::Spin")], 1)
        self.assertEqual(seen[("EndCall", "Engines.Cases.Hot::Spin")], 1)

    @unittest.skipIf(RUNTIME, "the precompiled publish is made for the installed runtime only")
    def test_precompiled_app_gives_the_same_stream(self):
        if not os.path.exists(READY_TO_RUN):
            self.skipTest("the ReadyToRun publish was not made (no compiler package)")
        self.assertSameStream([READY_TO_RUN, str(SPINS)], "Engines.")

    def test_fsharp_tail_calls_are_reported_as_tail_calls(self):
        hooks, probes = self.assertSameStream([FSHARP], "FsTail.")
        for commands in (hooks, probes):
            tails = [c for c in commands if c["name"] == "EndCall" and c.get("tailCall")]
            self.assertEqual([c["function"] for c in tails], ["FsTail.Calls.Chain::apply"] * 5)

    def test_methods_of_a_dynamic_module_are_left_out_and_said_so(self):
        logs = os.path.join(self.workdir, "logs")
        commands = self.trace("probes", [ENGINES, "emit"], MORVEL_DEBUG_LOGLEVEL="Info",
                              MORVEL_ERROR_LOG_FOLDER=logs)
        names = engines.traced_names(commands)
        self.assertIn("Engines.Cases.Emitted::Run", names)
        self.assertFalse([n for n in names if n.startswith("Emitted.Made.")], names)
        text = ""
        for path in glob.glob(os.path.join(logs, "*.log")):
            with open(path) as log:
                text += log.read()
        self.assertIn("is dynamic: its methods are not traced", text)
        self.assertIn("Probe engine started", text)


if __name__ == "__main__":
    unittest.main()
