"""Transports under faults: absent, late, restarting and vanishing collectors must never
stall or kill the host, and later messages must get through once a collector is there."""

import os
import signal
import subprocess
import time
import unittest

from harness import (PIPE_NAME, AgentTestCase, app_command, Collector, agent_env, app_dll, free_port, read_tids,
                     run_app)

THREAD_STARTED, PROCESS_STARTED, PROCESS_ENDED = 7, 9, 10
LONG_ARGS = ["--threads", "2", "--seconds", "6", "--interval-ms", "100"]


class FaultCase(AgentTestCase):
    def start_app(self, transport, port, default_sigpipe=False, **settings):
        self.tid_file = os.path.join(self.workdir, "tids.txt")
        env = agent_env(transport, port, APP_TID_FILE=self.tid_file, **settings)
        args = LONG_ARGS + (["--default-sigpipe", "1"] if default_sigpipe else [])
        return subprocess.Popen(app_command([app_dll("Basic")] + args), env=env, cwd=self.workdir,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def finish(self, app):
        out, err = app.communicate(timeout=120)
        return subprocess.CompletedProcess(app.args, app.returncode, out, err)

    def late_tids(self, after_ms):
        return [tid for label, (tid, when) in read_tids(self.tid_file).items()
                if label.startswith("late") and when > after_ms]

    def assertLaterThreadsArrived(self, commands, after_ms):
        started = {c["tid"] for c in commands if c["type"] == THREAD_STARTED}
        late = self.late_tids(after_ms)
        self.assertGreater(len(late), 3)
        for tid in late:
            self.assertIn(tid, started)
        self.assertEqual(commands[-1]["type"], PROCESS_ENDED)


class TcpFaults(FaultCase):
    def test_no_listener_drops_messages_and_the_app_runs_normally(self):
        port = free_port()
        args = [app_dll("Basic"), "--threads", "40"]
        folder = os.path.join(self.workdir, "logs")
        env = agent_env("tcp", port, MORVEL_DEBUG_LOGLEVEL="Error", MORVEL_ERROR_LOG_FOLDER=folder)
        profiled = run_app(args, env, self.workdir)
        self.assertUnchangedRun(profiled, args)
        log = open(os.path.join(folder, os.listdir(folder)[0])).read()
        self.assertEqual(log.count("[   ERROR] Unable to connect to the collector at 127.0.0.1:%d - " % port), 1, log)
        self.assertEqual(log.count("ERROR"), 1, log)

    def test_collector_that_starts_later_receives_later_messages(self):
        port = free_port()
        app = self.start_app("tcp", port)
        time.sleep(2)
        collector = Collector(self.workdir, "tcp", port)
        ready_ms = int(time.time() * 1000) + 300
        profiled = self.finish(app)
        commands = collector.stop()
        self.assertEqual(profiled.returncode, 0, profiled.stderr)
        # The start it missed is told again before anything else.
        self.assertEqual(commands[0]["type"], PROCESS_STARTED)
        self.assertLaterThreadsArrived(commands, ready_ms)

    def test_collector_that_restarts_is_reconnected_to(self):
        port = free_port()
        first = Collector(self.workdir, "tcp", port)
        app = self.start_app("tcp", port)
        time.sleep(2.5)
        early = first.stop(settle=0)
        second = Collector(self.workdir, "tcp", port)
        ready_ms = int(time.time() * 1000) + 300
        profiled = self.finish(app)
        later = second.stop()
        self.assertEqual(profiled.returncode, 0, profiled.stderr)
        self.assertTrue([c for c in early if c["type"] == PROCESS_STARTED])
        self.assertLaterThreadsArrived(later, ready_ms)

    def test_vanished_collector_with_default_sigpipe_does_not_kill_the_host(self):
        port = free_port()
        collector = Collector(self.workdir, "tcp", port)
        app = self.start_app("tcp", port, default_sigpipe=True)
        time.sleep(1.5)
        collector.kill()
        profiled = self.finish(app)
        self.assertEqual(profiled.returncode, 0, profiled.stderr)
        self.assertIn("basic: exit 0", profiled.stdout)


class PipeFaults(FaultCase):
    def test_no_reader_logs_and_drops(self):
        folder = os.path.join(self.workdir, "logs")
        args = [app_dll("Basic")]
        env = agent_env("pipe", 0, MORVEL_DEBUG_LOGLEVEL="Error", MORVEL_ERROR_LOG_FOLDER=folder)
        profiled = run_app(args, env, self.workdir)
        self.assertUnchangedRun(profiled, args)
        log = open(os.path.join(folder, os.listdir(folder)[0])).read()
        # Tried on every pass of the relay, told once.
        self.assertEqual(log.count("[   ERROR] Unable to OPEN pipe: \\\\.\\pipe\\QuorixAgent_v1 - "), 1, log)
        self.assertEqual(log.count("ERROR"), 1, log)
        # The agent made the FIFO itself (no collector did), so it is gone with the process.
        self.assertFalse(os.path.exists(os.path.join(self.workdir, "\\\\.\\pipe\\QuorixAgent_v1")))

    def test_fifo_others_may_write_gets_nothing(self):
        # Someone else's FIFO in a shared working directory, with its reader waiting.
        fifo = os.path.join(self.workdir, PIPE_NAME)
        os.mkfifo(fifo, 0o600)
        os.chmod(fifo, 0o666)
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        try:
            folder = os.path.join(self.workdir, "logs")
            args = [app_dll("Basic")]
            env = agent_env("pipe", 0, MORVEL_DEBUG_LOGLEVEL="Error", MORVEL_ERROR_LOG_FOLDER=folder,
                            MORVEL_API_KEY="secret-key")
            profiled = run_app(args, env, self.workdir)
            self.assertUnchangedRun(profiled, args)
            try:
                received = os.read(reader, 1 << 20)
            except BlockingIOError:
                received = b""
            self.assertEqual(received, b"")
        finally:
            os.close(reader)
        log = open(os.path.join(folder, os.listdir(folder)[0])).read()
        refusal = "[   ERROR] Unable to OPEN pipe: %s - writable by group or others" % PIPE_NAME
        self.assertEqual(log.count(refusal), 1, log)
        self.assertEqual(log.count("ERROR"), 1, log)
        self.assertTrue(os.path.exists(fifo), "not the agent's to remove")

    def test_reader_that_appears_later_gets_later_messages(self):
        app = self.start_app("pipe", 0)
        time.sleep(2)
        collector = Collector(self.workdir, "pipe")
        ready_ms = int(time.time() * 1000) + 300
        profiled = self.finish(app)
        commands = collector.stop()
        self.assertEqual(profiled.returncode, 0, profiled.stderr)
        self.assertLaterThreadsArrived(commands, ready_ms)

    def test_reader_that_goes_away_does_not_kill_or_stall_the_host(self):
        collector = Collector(self.workdir, "pipe")
        app = self.start_app("pipe", 0, default_sigpipe=True)
        time.sleep(1.5)
        collector.kill()
        time.sleep(1)
        second = Collector(self.workdir, "pipe")
        ready_ms = int(time.time() * 1000) + 300
        profiled = self.finish(app)
        commands = second.stop()
        self.assertEqual(profiled.returncode, 0, profiled.stderr)
        self.assertIn("basic: exit 0", profiled.stdout)
        self.assertLaterThreadsArrived(commands, ready_ms)
        # The new reader was told the names again: no call it got is nameless.
        calls = [c for c in commands if c["type"] in (1, 2)]
        self.assertTrue(calls)
        self.assertEqual([c for c in calls if "function" not in c], [])


if __name__ == "__main__":
    unittest.main()
