"""Delivery under a reader that pauses, collectors that come late or restart, and drops the
collector is told about."""

import os
import re
import select
import socket
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


def split_messages(data):
    """The messages of a raw stream, as (type, bytes); raises when the stream ends inside one."""
    messages = []
    offset = 0
    while offset < len(data):
        if len(data) - offset < 3:
            raise AssertionError("stream ends inside a message header at %d of %d" % (offset, len(data)))
        length = data[offset] | data[offset + 1] << 8
        if length < 19 or offset + length > len(data):
            raise AssertionError("stream ends inside a message of %d bytes at %d of %d" % (length, offset, len(data)))
        messages.append((data[offset + 2], data[offset:offset + length]))
        offset += length
    return messages


class PausingReader(threading.Thread):
    """A raw reader of the agent's stream, FIFO or TCP, that reads for 30 ms of every 150 ms and
    keeps every byte; for TCP it counts the connections it got."""

    def __init__(self, fifo=None, port=None):
        super().__init__(daemon=True)
        self.done = threading.Event()
        self.streams = []
        if fifo is not None:
            os.mkfifo(fifo, 0o600)
            self.sources = [os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)]
            self.streams.append(bytearray())
            self.listener = None
        else:
            self.sources = []
            self.listener = socket.socket()
            self.listener.bind(("127.0.0.1", port))
            self.listener.listen(8)
            self.listener.setblocking(False)

    def run(self):
        quiet = 0
        while quiet < 3:
            until = time.monotonic() + 0.03
            got_any = False
            while time.monotonic() < until:
                watched = self.sources + ([self.listener] if self.listener else [])
                ready, _, _ = select.select(watched, [], [], 0.005)
                for source in ready:
                    if source is self.listener:
                        connection, _ = self.listener.accept()
                        self.sources.append(connection)
                        self.streams.append(bytearray())
                        continue
                    index = self.sources.index(source)
                    try:
                        data = source.recv(7919) if hasattr(source, "recv") else os.read(source, 7919)
                    except BlockingIOError:
                        continue
                    if data:
                        got_any = True
                        self.streams[index] += data
            quiet = quiet + 1 if self.done.is_set() and not got_any else 0
            time.sleep(0.12)
        for source in self.sources:
            source.close() if hasattr(source, "close") else os.close(source)
        if self.listener:
            self.listener.close()


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
        # The app lingers after its calls: what the paused reader still owes is then read while the
        # process runs; the tail at exit, which has a bounded time, is tested on its own.
        profiled = run_app([app_dll("Capture"), "flood", str(rounds), "0", "2000"], env, app_dir, timeout=300)
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

    def test_processes_sharing_one_fifo_never_write_into_each_others_messages(self):
        # Services started in one folder share the FIFO; their captured texts are larger than what
        # a pipe takes in one piece.
        collector = Collector(self.workdir, "pipe")
        rounds = 2000
        env = agent_env("pipe", 0)
        apps = [subprocess.Popen(["dotnet", app_dll("Capture"), "flood-tagged", str(rounds)], env=env,
                                 cwd=self.workdir, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                for _ in range(6)]
        pids = []
        for app in apps:
            out, err = app.communicate(timeout=300)
            self.assertEqual(app.returncode, 0, err)
            pids.append(app.pid)
        commands = collector.stop(settle=1)
        summary = open(collector.summary_path).read()
        self.assertIn("malformed messages: 0", summary)
        self.assertNotIn("out of step", summary)
        self.assertEqual(sorted(c["pid"] for c in commands if c["type"] == PROCESS_ENDED), sorted(pids))
        for pid in pids:
            texts = [c["args"][0].get("value") for c in commands if c["type"] == BEGIN and c["pid"] == pid
                     and c.get("function") == "Npgsql.NpgsqlCommand::.ctor"]
            self.assertEqual(len(texts), rounds, pid)
            unit = "<%d>" % pid
            pattern = unit * (30000 // len(unit) + 1)
            # The capture keeps the text's start, more than a pipe takes in one piece.
            self.assertEqual([t for t in texts if len(t) < 2048 or t != pattern[:len(t)]], [],
                             "texts of %d hold other bytes" % pid)

    def assertWholeTailEndingTheProcess(self, stream, label):
        messages = split_messages(bytes(stream))
        self.assertTrue(messages, label)
        types = [t for t, _ in messages]
        self.assertEqual(types.count(PROCESS_ENDED), 1, label)
        self.assertEqual(types[-1], PROCESS_ENDED, label)

    def test_tail_is_whole_and_ends_with_the_process_under_a_pausing_reader(self):
        """A reader that pauses 120 ms of every 150 ms, a backlog of large messages or threads
        still calling at the exit: the stream ends with the whole process end, on a stream
        transport of either kind."""
        runs = [("flood", [app_dll("Capture"), "flood", "4000"], 0),
                ("exit-busy", [app_dll("Tracing"), "exit-busy", "--threads", "8", "--code", "5"], 5)]
        for transport in ("pipe", "tcp"):
            for label, args, code in runs:
                label = transport + " " + label
                app_dir = os.path.join(self.workdir, label.replace(" ", "-"))
                os.mkdir(app_dir)
                port = free_port()
                reader = PausingReader(fifo=os.path.join(app_dir, PIPE_NAME)) if transport == "pipe" \
                    else PausingReader(port=port)
                reader.start()
                logs = os.path.join(app_dir, "log")
                profiled = run_app(args, agent_env(transport, port, MORVEL_ERROR_LOG_FOLDER=logs,
                                                   MORVEL_DEBUG_LOGLEVEL="Info"), app_dir, timeout=300)
                reader.done.set()
                reader.join(60)
                self.assertEqual(profiled.returncode, code, label + ": " + profiled.stderr)
                self.assertEqual(len(reader.streams), 1, label + ": one connection, never torn and reopened")
                self.assertWholeTailEndingTheProcess(reader.streams[0], label)
                log = open(os.path.join(logs, os.listdir(logs)[0])).read()
                self.assertRegex(log, r"\[Finalize\] Delivery: \d+ messages sent", label)

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

    def test_quorix_run_with_json_loses_no_call_of_threads_faster_than_the_collector(self):
        # Four threads calling flat out make commands faster than the collector writes them as
        # JSON on this machine: the threads wait for it instead of dropping their calls.
        json_path = os.path.join(self.workdir, "calls.jsonl")
        result = subprocess.run([QUORIX_RUN, "--transport", "tcp", "--port", str(free_port()), "--no-tree",
                                 "--json", json_path, "--", "dotnet", app_dll("Tracing"), "stress", "--threads", "4",
                                 "--ms", "1500"], cwd=self.workdir, capture_output=True, text=True, timeout=300)
        output = result.stdout + result.stderr
        self.assertEqual(result.returncode, 0, output)
        delivered = re.search(r"agent delivery: (\d+) messages sent, 0 dropped\n", output)
        self.assertIsNotNone(delivered, output)
        commands = int(re.search(r"\n  commands: (\d+)", output).group(1))
        # Beyond the agent's count: the final report and the end of the process themselves.
        self.assertEqual(commands, int(delivered.group(1)) + 2)
        self.assertGreater(commands, 1000000)

    def test_quorix_run_shows_the_agents_delivery(self):
        result = subprocess.run([QUORIX_RUN, "--transport", "tcp", "--port", str(free_port()), "--no-tree", "--",
                                 "dotnet", app_dll("Basic")], cwd=self.workdir, capture_output=True, text=True,
                                timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertRegex(result.stdout + result.stderr, r"agent delivery: \d+ messages sent, 0 dropped")


if __name__ == "__main__":
    unittest.main()
