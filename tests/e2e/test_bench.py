"""The measuring side of bench/run.sh: the floor profiler must hook exactly what the agent
traces and run every call through its hooks, and the transport helpers must count what they
move; otherwise the ratios the benchmark prints compare the wrong things."""

import os
import signal
import socket
import subprocess
import tempfile
import time
import unittest

from harness import BUILD_DIR, AgentTestCase, Collector, agent_env, app_dll, clean_env, free_port, run_app

BENCH_DIR = os.path.join(BUILD_DIR, "bench")
FLOOR = os.path.join(BENCH_DIR, "libqx_floor_profiler.so")
FLOOR_CLSID = "{3F7B9C21-6D84-4E0A-A5B3-19C2D7E64F08}"
LOOP = os.path.join(BENCH_DIR, "Loop", "Loop.dll")
DRAIN = os.path.join(BENCH_DIR, "qx_drain")
SENDER = os.path.join(BENCH_DIR, "qx_udp_sender")
GENERATE = os.path.join(os.path.dirname(__file__), "..", "..", "bench", "fantomas", "generate.sh")
METHOD_INFO = 3


class FloorProfiler(AgentTestCase):
    def floor(self, args, mode, **settings):
        """Runs the app under the floor profiler; returns (result, counts, hooked names)."""
        report = os.path.join(self.workdir, "floor-%s.txt" % mode)
        env = clean_env()
        env.update({"CORECLR_ENABLE_PROFILING": "1", "CORECLR_PROFILER": FLOOR_CLSID,
                    "CORECLR_PROFILER_PATH": FLOOR, "QX_FLOOR_MODE": mode, "QX_FLOOR_REPORT": report})
        env.update({k: str(v) for k, v in settings.items()})
        result = run_app(args, env, self.workdir)
        self.assertEqual(result.returncode, 0, result.stderr)
        counts, names = {}, set()
        with open(report) as f:
            for line in f:
                key, value = line.rstrip("\n").split(" ", 1)
                if key == "function":
                    names.add(value)
                else:
                    counts[key] = value if key == "mode" else int(value)
        return result, counts, names

    def overrides(self, text):
        path = os.path.join(self.workdir, "overrides.txt")
        with open(path, "w") as f:
            f.write(text)
        return path

    def test_hooks_exactly_the_functions_the_agent_traces(self):
        tracing = app_dll("Tracing")
        overrides = self.overrides("+Shelf::Place\n-Shop.Billing.\n")
        port = free_port()
        collector = Collector(self.workdir, "tcp", port)
        profiled = run_app([tracing, "basic"], agent_env("tcp", port, MORVEL_USER_OVERRIDES_FILE=overrides),
                           self.workdir)
        commands = collector.stop()
        self.assertEqual(profiled.returncode, 0, profiled.stderr)
        traced = {c["className"] + "::" + c["methodName"] for c in commands if c["type"] == METHOD_INFO}

        result, counts, hooked = self.floor([tracing, "basic"], "empty", MORVEL_USER_OVERRIDES_FILE=overrides)
        self.assertEqual(result.stdout, self.baseline([tracing, "basic"]).stdout)
        self.assertIn("Shop.Inventory.Warehouse+Shelf::Place", hooked)
        self.assertNotIn("Shop.Billing.Invoice::Total", hooked)
        # The agent announces every hooked function it calls, except the system functions, which
        # are hooked to switch it on and off and stay silent.
        self.assertEqual(traced, hooked - {"Corvanine.Quorix4Net.APM::Enable", "Corvanine.Quorix4Net.APM::Disable"})
        # Frames left by an exception see no leave.
        self.assertGreaterEqual(counts["enter"], counts["leave"])
        self.assertGreater(counts["leave"], 0)

    def test_args_mode_fetches_the_argument_info_of_every_call(self):
        result, counts, hooked = self.floor([LOOP, "1000", "monitored"], "args")
        self.assertTrue(result.stdout.startswith("calls 1000 "), result.stdout)
        self.assertIn("ServiceStack.Redis.RedisCacheClientFactory::CreateRedisClient", hooked)
        # 1000 timed calls and 100 of warm-up, plus the enclosing Main.
        self.assertGreaterEqual(counts["enter"], 1101)
        self.assertEqual(counts["enter"], counts["leave"])
        self.assertEqual(counts["info_failures"], 0)

    def test_mask_mode_registers_no_hooks(self):
        result, counts, hooked = self.floor([LOOP, "1000"], "mask")
        self.assertTrue(result.stdout.startswith("calls 1000 "), result.stdout)
        self.assertEqual((counts["mode"], counts["hooked"], counts["enter"]), ("mask", 0, 0))
        self.assertEqual(hooked, set())

    def test_threaded_loop_runs_every_call_of_every_thread_through_the_hooks(self):
        result, counts, hooked = self.floor([LOOP, "4000", "threads", "4"], "empty")
        self.assertRegex(result.stdout, r"^calls 4000 seconds [0-9.]+ sink \d threads 4\n")
        self.assertIn("Bench.Work::Traced", hooked)
        # 4 x (1000 timed + 100 warm-up) calls of the traced method, plus the thread bodies and Main.
        self.assertGreaterEqual(counts["enter"], 4 * 1100)
        self.assertEqual(counts["enter"], counts["leave"])

    def test_untraced_method_is_left_without_hooks(self):
        _, _, hooked = self.floor([LOOP, "1000"], "empty",
                                  MORVEL_USER_OVERRIDES_FILE=self.overrides("-Bench.Work::Traced\n"))
        self.assertIn("Bench.Runner::Main", hooked)
        self.assertNotIn("Bench.Work::Traced", hooked)


class Drain:
    def __init__(self, workdir, kind, target):
        self.ready = os.path.join(workdir, "drain-%s.ready" % kind)
        self.process = subprocess.Popen([DRAIN, kind, str(target), self.ready], stdout=subprocess.PIPE, text=True)
        deadline = time.time() + 10
        while not os.path.exists(self.ready):
            if self.process.poll() is not None or time.time() > deadline:
                raise RuntimeError("drain did not start")
            time.sleep(0.01)

    def stop(self):
        """{"bytes": .., "reads": .., "datagrams": .., "connections": .., "seconds": ..}"""
        time.sleep(0.2)
        self.process.send_signal(signal.SIGTERM)
        out, _ = self.process.communicate(timeout=10)
        words = out.split()
        return {words[i + 1]: float(words[i]) for i in range(1, len(words) - 1, 2)}


class BenchHelpers(unittest.TestCase):
    def setUp(self):
        self.workdir = tempfile.mkdtemp(prefix="qx-bench-")

    def tearDown(self):
        subprocess.run(["rm", "-rf", self.workdir])

    def test_drain_counts_every_byte_of_every_tcp_connection(self):
        port = free_port()
        drain = Drain(self.workdir, "tcp", port)
        for size in (1, 3 << 20):
            with socket.create_connection(("127.0.0.1", port)) as s:
                s.sendall(b"x" * size)
        got = drain.stop()
        self.assertEqual((got["bytes"], got["connections"]), (1 + (3 << 20), 2))

    def test_drain_reads_a_fifo_across_writers(self):
        path = os.path.join(self.workdir, "\\\\.\\pipe\\QuorixAgent_v1")
        os.mkfifo(path)
        drain = Drain(self.workdir, "fifo", path)
        for size in (100, 200000):
            # A writer that opens without blocking finds the reader, as the agent must.
            fd = os.open(path, os.O_WRONLY | os.O_NONBLOCK)
            os.set_blocking(fd, True)
            os.write(fd, b"y" * size)
            os.close(fd)
        self.assertEqual(drain.stop()["bytes"], 200100)

    def test_udp_sender_counts_datagrams_the_drain_receives(self):
        port = free_port()
        drain = Drain(self.workdir, "udp", port)
        out = subprocess.run([SENDER, str(port), "0.2"], capture_output=True, text=True, timeout=10).stdout.split()
        got = drain.stop()
        sent = int(out[1])
        self.assertEqual(sent % 64, 0)
        self.assertGreater(sent, 0)
        # Loopback may drop what the receiver's buffer cannot hold, never invent datagrams.
        self.assertTrue(0 < got["datagrams"] <= sent, (got, sent))
        self.assertEqual(got["bytes"], 32 * got["datagrams"])

    def test_generated_sources_are_the_same_every_time(self):
        first, second = os.path.join(self.workdir, "a"), os.path.join(self.workdir, "b")
        for folder in (first, second):
            subprocess.run(["bash", GENERATE, folder, "7", "3"], check=True)
        names = sorted(os.listdir(first))
        self.assertEqual(len(names), 7)
        self.assertEqual(names, sorted(os.listdir(second)))
        for name in names:
            with open(os.path.join(first, name), "rb") as a, open(os.path.join(second, name), "rb") as b:
                self.assertEqual(a.read(), b.read(), name)
        self.assertEqual(len(set(open(os.path.join(first, n)).read() for n in names)), 7)


if __name__ == "__main__":
    unittest.main()
