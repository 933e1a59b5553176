"""Delivery under a reader that pauses, collectors that come late or restart, and drops the
collector is told about."""

import os
import select
import subprocess
import threading
import time
import unittest

from harness import (BUILD_DIR, PIPE_NAME, AgentTestCase, Collector, agent_env, app_dll, free_port,
                     run_app)

BEGIN, END, METHOD_INFO, PROCESS_STARTED, PROCESS_ENDED = 1, 2, 3, 9, 10
FREQUENCY, PROCESS_TYPE, VERSION, DELIVERY = 11, 12, 104, 20
CONTEXT = {PROCESS_STARTED, FREQUENCY, PROCESS_TYPE, VERSION}
LONG_ARGS = ["--threads", "2", "--seconds", "6", "--interval-ms", "100"]
QUORIX_RUN = os.path.join(BUILD_DIR, "tools", "collector", "quorix-run")


class PausingForwarder(threading.Thread):
    """Reads the agent's FIFO for 30 ms of every 150 ms, as a busy reader would, and hands every
    byte on to the collector's FIFO."""

    def __init__(self, source, target):
        super().__init__(daemon=True)
        os.mkfifo(source, 0o600)
        self.source = os.open(source, os.O_RDONLY | os.O_NONBLOCK)
        self.target = os.open(target, os.O_WRONLY)
        self.done = threading.Event()
        self.forwarded = 0

    def run(self):
        while True:
            until = time.monotonic() + 0.03
            got_any = False
            while time.monotonic() < until:
                ready, _, _ = select.select([self.source], [], [], 0.005)
                if not ready:
                    continue
                data = os.read(self.source, 7919)  # reads of an odd size leave part messages in the pipe
                if data:
                    got_any = True
                    self.forwarded += len(data)
                    os.write(self.target, data)
            if self.done.is_set() and not got_any:
                break
            time.sleep(0.12)
        os.close(self.source)
        os.close(self.target)


class Delivery(AgentTestCase):
    def long_app(self, port, **settings):
        env = agent_env("tcp", port, **settings)
        return subprocess.Popen(["dotnet", app_dll("Basic")] + LONG_ARGS, env=env, cwd=self.workdir,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def finish(self, app):
        out, err = app.communicate(timeout=120)
        self.assertEqual(app.returncode, 0, err)
        return out

    def assertEveryCallNamedAfterContext(self, commands):
        calls = [c for c in commands if c["type"] in (BEGIN, END)]
        self.assertGreater(len(calls), 20)
        nameless = [c for c in calls if "function" not in c]
        self.assertEqual(nameless, [], "calls without a name")
        first_call = commands.index(calls[0])
        self.assertEqual(CONTEXT, {c["type"] for c in commands[:first_call]} & CONTEXT)

    def test_pausing_fifo_reader_gets_every_large_message_whole(self):
        app_dir = os.path.join(self.workdir, "app")
        os.mkdir(app_dir)
        collector = Collector(self.workdir, "pipe")
        forwarder = PausingForwarder(os.path.join(app_dir, PIPE_NAME), os.path.join(self.workdir, PIPE_NAME))
        forwarder.start()
        rounds = 3000
        env = agent_env("pipe", 0, MORVEL_REPORT_DELIVERY="true")
        profiled = run_app([app_dll("Capture"), "flood", str(rounds)], env, app_dir, timeout=300)
        forwarder.done.set()
        forwarder.join(60)
        commands = collector.stop(settle=1)
        summary = open(collector.summary_path).read()
        self.assertEqual(profiled.returncode, 0, profiled.stderr)
        self.assertNotIn("out of step", summary)
        self.assertIn("malformed messages: 0", summary)
        begins = [c for c in commands if c["type"] == BEGIN and c.get("function") == "Npgsql.NpgsqlCommand::.ctor"]
        ends = [c for c in commands if c["type"] == END and c.get("function") == "Npgsql.NpgsqlCommand::.ctor"]
        self.assertEqual(len(begins), rounds)
        self.assertEqual(len(ends), rounds)
        self.assertGreater(forwarder.forwarded, rounds * 4000)
        report = [c for c in commands if c["type"] == DELIVERY][-1]
        self.assertTrue(report["final"])
        self.assertEqual((report["droppedQueueFull"], report["droppedSendFailed"], report["droppedPipeFull"]),
                         (0, 0, 0))
        self.assertIn("agent delivery: ", summary)

    def test_late_tcp_collector_names_every_call_and_learns_what_was_dropped(self):
        port = free_port()
        app = self.long_app(port, MORVEL_REPORT_DELIVERY="true")
        time.sleep(2)
        collector = Collector(self.workdir, "tcp", port)
        self.finish(app)
        commands = collector.stop()
        self.assertEveryCallNamedAfterContext(commands)
        # Periodic reports, then a final one right before the end of the process.
        reports = [c for c in commands if c["type"] == DELIVERY]
        self.assertGreaterEqual(len(reports), 2)
        self.assertEqual(commands[-2]["type"], DELIVERY)
        self.assertEqual(commands[-1]["type"], PROCESS_ENDED)
        final = commands[-2]
        self.assertTrue(final["final"])
        self.assertFalse([r for r in reports[:-1] if r["final"]])
        # Everything before the collector listened could not be sent.
        self.assertGreater(final["droppedSendFailed"], 0)
        self.assertGreater(final["sent"], 0)
        summary = open(collector.summary_path).read()
        self.assertRegex(summary, r"agent delivery: \d+ messages sent, %d dropped \(0 queue full, %d send failed, 0 pipe full\)"
                         % (final["droppedSendFailed"], final["droppedSendFailed"]))

    def test_restarted_tcp_collector_names_every_call_without_delivery_reports_by_default(self):
        port = free_port()
        first = Collector(self.workdir, "tcp", port)
        app = self.long_app(port)
        time.sleep(2.5)
        early = first.stop(settle=0)
        second = Collector(self.workdir, "tcp", port)
        self.finish(app)
        later = second.stop()
        self.assertTrue(self.of_type(early, PROCESS_STARTED))
        self.assertEveryCallNamedAfterContext(later)
        self.assertFalse(self.of_type(early + later, DELIVERY))

    def test_quorix_run_shows_the_agents_delivery(self):
        result = subprocess.run([QUORIX_RUN, "--transport", "tcp", "--port", str(free_port()), "--no-tree", "--",
                                 "dotnet", app_dll("Basic")], cwd=self.workdir, capture_output=True, text=True,
                                timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertRegex(result.stdout + result.stderr, r"agent delivery: \d+ messages sent, 0 dropped")


if __name__ == "__main__":
    unittest.main()
