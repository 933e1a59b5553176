"""The sample app profiled with every viewer output: a speedscope file valid against the
package's schema, a trace whose events nest, aggregated folded stacks, and an HTML report that a
real browser shows offline with the app's functions in the flame graph and the timeline."""

import os
import re
import shutil
import tempfile
import unittest

from harness import AgentTestCase, BUILD_DIR, Collector, agent_env, free_port, run_app
import viewers

SAMPLE = os.path.join(BUILD_DIR, "samples", "QuickStart", "QuickStart.dll")
PROCESS = "QuickStart.Orders.OrderProcessor::Process"
VALIDATE = "QuickStart.Orders.OrderProcessor::Validate"
DISCOUNT = "QuickStart.Orders.PriceCalculator::Discount"


class SampleViewerFiles(AgentTestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="qx-viewers-")
        cls.files = {k: os.path.join(cls.dir, "sample." + k) for k in ("speedscope.json", "trace.json", "folded", "html")}
        port = free_port()
        collector = Collector(cls.dir, "tcp", port, extra=[
            "--speedscope", cls.files["speedscope.json"], "--chrome-trace", cls.files["trace.json"],
            "--folded", cls.files["folded"], "--report", cls.files["html"]])
        cls.run_result = run_app([SAMPLE], agent_env("tcp", port, MORVEL_REPORT_EXCEPTIONS="1"), cls.dir)
        collector.stop()
        with open(collector.summary_path) as f:
            cls.summary = f.read()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def test_the_app_ran_and_every_file_was_written(self):
        self.assertEqual(self.run_result.returncode, 0, self.run_result.stderr)
        for path in self.files.values():
            self.assertTrue(os.path.getsize(path) > 0, path)
        self.assertIn("report: " + self.files["html"], self.summary)

    def test_speedscope_profiles_per_thread_with_the_app_frames(self):
        doc, names = viewers.validate_speedscope(self, self.files["speedscope.json"])
        self.assertIn(PROCESS, names)
        self.assertIn(DISCOUNT, names)
        # Worker threads process the six orders; a worker that starts after another ended may get
        # the same thread identity, so count the calls rather than the profiles.
        opened = [e for p in doc["profiles"] for e in p["events"] if e["type"] == "O" and names[e["frame"]] == PROCESS]
        self.assertEqual(len(opened), 6)
        main = [p for p in doc["profiles"] if any(names[e["frame"]] == "QuickStart.Program::Main" for e in p["events"])]
        self.assertEqual(len(main), 1)
        self.assertNotIn(main[0], [p for p in doc["profiles"]
                                   if any(names[e["frame"]] == PROCESS for e in p["events"])])

    def test_trace_events_nest_and_show_the_exception_and_the_unwinding(self):
        doc = viewers.check_trace_nesting(self, self.files["trace.json"])
        events = doc["traceEvents"]
        calls = [e for e in events if e["ph"] == "X"]
        validate = [e for e in calls if e["name"] == VALIDATE]
        self.assertEqual(len(validate), 6)
        # Order 3 has no amount: its Validate throws, and it and Process are unwound.
        unwound = {e["name"] for e in calls if e.get("args", {}).get("unwound")}
        self.assertIn(VALIDATE, unwound)
        self.assertIn(PROCESS, unwound)
        instants = [e for e in events if e["ph"] == "i"]
        self.assertGreaterEqual(len(instants), 1)
        self.assertIn(VALIDATE, [e["args"].get("raisedIn") for e in instants])
        raised = next(e["args"] for e in instants if e["args"].get("raisedIn") == VALIDATE)
        self.assertEqual((raised.get("exceptionType"), raised.get("message")),
                         ("System.ArgumentException", "order 3 has no amount"))
        # Nothing of the app is still open when it ends normally.
        self.assertEqual([e["name"] for e in calls if e.get("args", {}).get("openAtEnd")], [])

    def test_folded_stacks_are_aggregated(self):
        with open(self.files["folded"], encoding="utf-8") as f:
            lines = f.read().splitlines()
        self.assertTrue(lines)
        stacks = [l.rsplit(" ", 1)[0] for l in lines]
        self.assertEqual(len(stacks), len(set(stacks)))
        for line in lines:
            self.assertRegex(line, r"^\S.* [1-9][0-9]*$")
        self.assertTrue(any(s.endswith(PROCESS + ";" + DISCOUNT) for s in stacks), stacks)

    def test_report_in_a_browser(self):
        found = viewers.open_in_browser(self, self.files["html"], viewers.screenshot_path("QuickStart"), PROCESS)
        self.assertIn(PROCESS, found["flameFrames"])
        self.assertIn(DISCOUNT, found["flameFrames"])
        self.assertTrue(any(t.startswith(PROCESS) for t in found["timelineTitles"]), found["timelineTitles"][:20])
        self.assertIn("All ", found["timelineNote"])
        self.assertIn(VALIDATE, found["exceptionsText"])
        self.assertIn("System.ArgumentException", found["exceptionsText"])
        self.assertIn("order 3 has no amount", found["exceptionsText"])
        self.assertIn("pid ", found["summaryText"])
        self.assertIsNotNone(found["clicked"])
        # Clicking a frame zooms into it: it then spans (nearly) the whole graph.
        self.assertGreater(found["widthAfterClick"], 0.9 * found["clicked"]["chart"], found)
        self.assertLess(found["clicked"]["width"], 0.9 * found["clicked"]["chart"], found)


if __name__ == "__main__":
    unittest.main()
