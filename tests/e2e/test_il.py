"""The IL rewriter inside a real runtime: every method of the IlRewrite app is rewritten with
probe calls at entry and before each return by a test-only profiler, and the JIT compiles and
runs the result with unchanged behaviour; likewise with the probe injector's native calls, with
and without the arguments and return values handed over. The agent's exported probe entry points
are callable from managed code."""

import os
import re
import unittest

from harness import (AgentTestCase, BUILD_DIR, FINAL_LINE, agent_env, app_dll, clean_env, free_port, run_app)

TEST_PROFILER = os.path.join(BUILD_DIR, "tests", "ilprofiler", "libqx_il_test_profiler.so")
TEST_PROFILER_CLSID = "{5E0C1A77-3B2D-4F6A-9C11-7D2E8B4A0F93}"
APP = app_dll("IlRewrite")
COUNT = re.compile(r"^count (\S+) expected (\d+) (\d+) recorded (\d+) (\d+)$")
REWRITE = re.compile(r"^rewrite 0x([0-9a-f]{8}) (\S+) hr=0x([0-9a-f]{8}) read=0x([0-9a-f]{8}) returns=(\d+) "
                     r"switches=(\d+) clauses=(\d+) filters=(\d+) short=(\d+)->(\d+) code=(\d+)->(\d+)$")
E_FAIL = 0x80004005
PROBE_REWRITE = re.compile(r"^probe-rewrite 0x([0-9a-f]{8}) (\S+) hr=0x([0-9a-f]{8}) values=(\d) returns=(\d+) "
                           r"switches=(\d+) clauses=(\d+) loops0=(\d+) try0=(\d) code=(\d+)->(\d+)$")
PROBE_COUNT = re.compile(r"^probe-count (\S+) (\d+) (\d+) (\d+)$")
WORKLOAD = "IlRewrite.Workload::"


def read_text(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def split_output(stdout):
    results = [l for l in stdout.splitlines() if l.startswith("result ")]
    counts = {}
    for line in stdout.splitlines():
        m = COUNT.match(line)
        if m:
            counts[m.group(1)] = tuple(int(g) for g in m.groups()[1:])
    return results, counts


class IlRewrite(AgentTestCase):
    RUNS = 3

    def run_rewritten(self, index, **settings):
        log = os.path.join(self.workdir, "rewrite-%d.log" % index)
        report = os.path.join(self.workdir, "report-%d.txt" % index)
        env = clean_env()
        env.update({
            "CORECLR_ENABLE_PROFILING": "1",
            "CORECLR_PROFILER": TEST_PROFILER_CLSID,
            "CORECLR_PROFILER_PATH": TEST_PROFILER,
            "QX_IL_TEST_LOG": log,
            "IL_PROBE_REPORT": report,
        })
        env.update(settings)
        run = run_app([APP], env, self.workdir)
        lines = read_text(log).splitlines() if os.path.exists(log) else []
        module = read_text(report).split() if os.path.exists(report) else []
        return run, lines, module

    def test_rewritten_methods_behave_the_same_and_probes_see_every_call(self):
        self.assertTrue(os.path.exists(TEST_PROFILER), TEST_PROFILER)
        plain = run_app([APP], clean_env(), self.workdir)
        self.assertEqual(plain.returncode, 0, plain.stderr)
        plain_results, plain_counts = split_output(plain.stdout)
        self.assertGreater(len(plain_results), 20)
        self.assertTrue(all(c[2:] == (0, 0) for c in plain_counts.values()), plain_counts)

        # Several threads run probes at once: repeat the run.
        for index in range(self.RUNS):
            with self.subTest(run=index):
                run, log, module = self.run_rewritten(index)
                self.assertEqual(run.returncode, 0, run.stderr)
                self.assertEqual(run.stderr, plain.stderr)
                results, counts = split_output(run.stdout)
                self.assertEqual(results, plain_results)
                self.assertEqual(set(counts), set(plain_counts))
                for name, (enters, exits, seen_enters, seen_exits) in counts.items():
                    self.assertEqual((seen_enters, seen_exits), (enters, exits), name)
                self.assertIn("probe anomalies 0", run.stdout.splitlines())
                self.check_rewrites(log, module)

    def test_framework_methods_reinstalled_as_read_still_run(self):
        plain = run_app([APP], clean_env(), self.workdir)
        run, log, module = self.run_rewritten(0, QX_IL_TEST_ROUNDTRIP_ALL="1")
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(split_output(run.stdout)[0], split_output(plain.stdout)[0])
        self.check_rewrites(log, module)
        self.assertEqual([l for l in log if l.startswith("roundtrip-failed")], [])
        end = re.match(r"^shutdown rewritten=(\d+) roundtrips=(\d+) failed=0$", log[-1])
        self.assertIsNotNone(end, log[-1])
        self.assertGreater(int(end.group(2)), 500)

    def check_rewrites(self, log, module):
        self.assertEqual(log[0], "init hr=0x00000000")
        loaded = [l.split() for l in log if l.startswith("module ")]
        self.assertEqual(len(loaded), 1, log)
        self.assertIn("hr=0x00000000", loaded[0])
        # The probes received the runtime's whole module id, not a truncated one.
        self.assertEqual(module, ["module", loaded[0][1]])
        self.assertGreater(int(module[1]), 0xFFFFFFFF)

        rewrites = {}
        for line in log:
            m = REWRITE.match(line)
            if m:
                name = m.group(2).split("::")[-1] if m.group(2).startswith("IlRewrite.Workload::") else m.group(2)
                rewrites[name] = {
                    "hr": int(m.group(3), 16), "read": int(m.group(4), 16), "returns": int(m.group(5)),
                    "switches": int(m.group(6)), "clauses": int(m.group(7)), "filters": int(m.group(8)),
                    "short": (int(m.group(9)), int(m.group(10))), "code": (int(m.group(11)), int(m.group(12))),
                }
        self.assertFalse([l for l in log if l.startswith("error")], log)
        self.assertTrue(all(l.split()[2].startswith("IlRewrite.Probe::") for l in log if l.startswith("skip ")))
        for name, r in rewrites.items():
            self.assertEqual(r["read"], 0, name)
            if name == "AlwaysThrows":
                # No return: left as it was, and it still runs and throws.
                self.assertEqual(r["hr"], E_FAIL)
                continue
            self.assertEqual(r["hr"], 0, name)
            # One probe sequence (32 bytes) at entry, one plus a nop before each return, and
            # 3 bytes per widened branch.
            widened = r["short"][0] - r["short"][1]
            self.assertEqual(r["code"][1], r["code"][0] + 32 + 33 * r["returns"] + 3 * widened, name)

        self.assertEqual(rewrites["Switch"]["switches"], 1)
        self.assertGreater(rewrites["Switch"]["returns"], 4)
        self.assertEqual(rewrites["TryCatchFinally"]["clauses"], 3)
        self.assertEqual(rewrites["TryCatchFinally"]["filters"], 1)
        self.assertGreater(rewrites["FindFirst"]["short"][0], rewrites["FindFirst"]["short"][1],
                           "a short branch of FindFirst had to be widened")
        for name in ("NestedLoops", "Fibonacci", "HalfOrThrow", "Empty", "Pick", "Checksum", "IlRewrite.Program::Main"):
            self.assertIn(name, rewrites)


class ProbeInjection(AgentTestCase):
    """Every method of the app calls native targets in the test profiler at entry, before each
    return and before each tail call; the targets count the calls and add up the values."""

    def run_probes(self, engine, index=0):
        log = os.path.join(self.workdir, "%s-%d.log" % (engine, index))
        env = clean_env()
        env.update({
            "CORECLR_ENABLE_PROFILING": "1",
            "CORECLR_PROFILER": TEST_PROFILER_CLSID,
            "CORECLR_PROFILER_PATH": TEST_PROFILER,
            "QX_IL_TEST_LOG": log,
            "QX_IL_TEST_ENGINE": engine,
        })
        run = run_app([APP], env, self.workdir)
        return run, read_text(log).splitlines() if os.path.exists(log) else []

    def check_engine(self, engine):
        self.assertTrue(os.path.exists(TEST_PROFILER), TEST_PROFILER)
        plain = run_app([APP], clean_env(), self.workdir)
        self.assertEqual(plain.returncode, 0, plain.stderr)
        plain_results, expected = split_output(plain.stdout)
        for index in range(2):
            with self.subTest(engine=engine, run=index):
                run, log = self.run_probes(engine, index)
                self.assertEqual(run.returncode, 0, run.stderr)
                self.assertEqual(run.stderr, plain.stderr)
                self.assertEqual(split_output(run.stdout)[0], plain_results)
                self.assertIn("hr=0x00000000", next(l for l in log if l.startswith("prepare ")), log)

                rewrites = {}
                for line in log:
                    m = PROBE_REWRITE.match(line)
                    if m:
                        rewrites[m.group(2)] = m
                self.assertGreater(len(rewrites), 20)
                failed = [l for l in log if l.startswith("probe-rewrite") and "hr=0x00000000" not in l]
                self.assertEqual(failed, [])
                self.assertTrue(all(m.group(4) == ("1" if engine == "probes-values" else "0")
                                    for m in rewrites.values()))
                # The shapes the enter probe has to stay out of were really there.
                self.assertEqual(rewrites[WORKLOAD + "SumDown"].group(8), "1", "branch to offset 0")
                self.assertEqual(rewrites[WORKLOAD + "Guarded"].group(9), "1", "try at offset 0")
                self.assertEqual(rewrites[WORKLOAD + "TryCatchFinally"].group(9), "1")
                self.assertEqual(rewrites[WORKLOAD + "Switch"].group(6), "1")

                counts = {}
                for line in log:
                    m = PROBE_COUNT.match(line)
                    if m:
                        counts[m.group(1)] = tuple(int(g) for g in m.groups()[1:])
                for name, (enters, exits, _, _) in expected.items():
                    # A method that only throws runs its enter probe and leaves by the exception.
                    if name == "AlwaysThrows":
                        enters, exits = 1, 0
                    seen_enters, seen_leaves, seen_tails = counts[WORKLOAD + name]
                    self.assertEqual((seen_enters, seen_leaves + seen_tails), (enters, exits), name)
                # Of TailForward(5) and TailForward(0), one leaves by its tail call, one returns.
                self.assertEqual(counts[WORKLOAD + "TailForward"], (2, 1, 1))
                self.assertEqual(sum(c[2] for c in counts.values()), 1, "no other tail calls")
                self.assertIn("probe-anomalies unknown-id=0 count=0 null-address=0 length=0 void-value=0", log)

                if engine == "probes-values":
                    values = {l.split()[1][len(WORKLOAD):]: l.split()[2:] for l in log
                              if l.startswith("probe-values " + WORKLOAD)}
                    wanted = [l.split() for l in plain.stdout.splitlines() if l.startswith("values ")]
                    self.assertGreaterEqual(len(wanted), 5)
                    for line in wanted:
                        self.assertEqual(values[line[1]], line[2:], line[1])

    def test_native_probes_see_every_call(self):
        self.check_engine("probes")

    def test_native_probes_see_arguments_and_return_values(self):
        self.check_engine("probes-values")


class ProbeEntryPoints(AgentTestCase):
    def test_managed_code_reaches_the_agents_probe_entry_points(self):
        folder = os.path.join(self.workdir, "logs")
        env = agent_env("udp", free_port(), MORVEL_DEBUG_LOGLEVEL="Info", MORVEL_ERROR_LOG_FOLDER=folder)
        run = run_app([APP, "--agent-callback"], env, self.workdir)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(run.stdout.splitlines(), ["agent callback done", FINAL_LINE])
        self.assertEqual(run.stderr, "")

        files = os.listdir(folder)
        self.assertEqual(len(files), 1, files)
        pid = re.match(r"^Profiler-log-.*-(\d+)\.log$", files[0]).group(1)
        lines = [l for l in read_text(os.path.join(folder, files[0])).splitlines() if "ManagedProbeTestCallback" in l]
        self.assertEqual(lines, ["[    INFO] [%s][______ManagedProbeTestCallback______] Callback -> 7" % pid])


if __name__ == "__main__":
    unittest.main()
