"""The agent loads into the real runtime, announces the process and its threads over every
transport, and leaves the app's behaviour unchanged."""

import os
import re
import subprocess
import threading
import time
import unittest

from harness import (AgentTestCase, Collector, FINAL_LINE, agent_env, app_dll, free_port, read_tids,
                     run_app, runtime_version, clean_env)

PROCESS_STARTED, PROCESS_ENDED, FREQUENCY, PROCESS_TYPE, VERSION = 9, 10, 11, 12, 104
THREAD_STARTED, THREAD_ENDED = 7, 8


class Announce(AgentTestCase):
    ARGS = ["--threads", "5", "--exit", "3"]

    def run_profiled(self, transport, netns=None, multicast=False, **settings):
        port = free_port()
        collector = Collector(self.workdir, transport, port, multicast=multicast, netns=netns)
        tid_file = os.path.join(self.workdir, "tids.txt")
        env = agent_env(transport, port, APP_TID_FILE=tid_file, **settings)
        if multicast:
            env["MORVEL_USE_MULTICAST"] = "1"
        profiled = run_app([app_dll("Basic")] + self.ARGS, env, self.workdir, netns=netns)
        commands = collector.stop()
        return profiled, commands, read_tids(tid_file)

    def check_stream(self, commands, tids, api_key=None):
        pid = tids["pid"][0]
        mine = [c for c in commands if c["pid"] == pid]
        self.assertGreaterEqual(len(mine), 6, commands)
        self.assertEqual([c["type"] for c in mine[:4]], [PROCESS_STARTED, FREQUENCY, PROCESS_TYPE, VERSION])
        self.assertEqual(mine[1]["frequency"], 1000000)
        self.assertEqual(mine[2]["runtime"], ".NET CORE " + runtime_version())
        self.assertEqual(mine[2]["host"], "DOTNET_CORE")
        if api_key is None:
            self.assertFalse(mine[2].get("apiKey"))
        else:
            self.assertEqual(mine[2]["apiKey"], api_key)
        self.assertEqual(mine[3]["version"], "2.3.0")
        self.assertEqual(mine[-1]["type"], PROCESS_ENDED)
        self.assertEqual(len(self.of_type(mine, PROCESS_ENDED)), 1)

        started = [c["tid"] for c in self.of_type(mine, THREAD_STARTED)]
        ended = [c["tid"] for c in self.of_type(mine, THREAD_ENDED)]
        self.assertIn(tids["main"][0], started)
        workers = [tid for label, (tid, _) in tids.items() if label.startswith("worker")]
        self.assertEqual(len(workers), 5)
        for tid in workers:
            self.assertIn(tid, started, "worker thread %d not announced" % tid)
            self.assertIn(tid, ended, "worker thread %d end not announced" % tid)
            self.assertLess(started.index(tid), len(started))
        # Every thread start comes after the announcements and before the end of the process.
        first_thread = next(i for i, c in enumerate(mine) if c["type"] == THREAD_STARTED)
        self.assertGreater(first_thread, 3)

    def test_udp_unicast(self):
        profiled, commands, tids = self.run_profiled("udp")
        self.assertUnchangedRun(profiled, [app_dll("Basic")] + self.ARGS)
        self.check_stream(commands, tids)

    def test_tcp(self):
        profiled, commands, tids = self.run_profiled("tcp")
        self.assertUnchangedRun(profiled, [app_dll("Basic")] + self.ARGS)
        self.check_stream(commands, tids)

    def test_pipe(self):
        profiled, commands, tids = self.run_profiled("pipe")
        self.assertUnchangedRun(profiled, [app_dll("Basic")] + self.ARGS)
        self.check_stream(commands, tids)

    def test_api_key_is_carried(self):
        key = "0123456789abcdef0123456789abcdef0123"
        profiled, commands, tids = self.run_profiled("tcp", MORVEL_API_KEY=key)
        self.assertUnchangedRun(profiled, [app_dll("Basic")] + self.ARGS)
        self.check_stream(commands, tids, api_key=key)

    def test_udp_multicast_in_own_network_namespace(self):
        ns = "qxmc%d" % os.getpid()
        setup = [["ip", "netns", "add", ns],
                 ["ip", "netns", "exec", ns, "ip", "link", "set", "lo", "up"],
                 ["ip", "netns", "exec", ns, "ip", "link", "set", "lo", "multicast", "on"],
                 ["ip", "netns", "exec", ns, "ip", "route", "add", "224.0.0.0/4", "dev", "lo"]]
        for cmd in setup:
            done = subprocess.run(cmd, capture_output=True, text=True)
            if done.returncode != 0:
                subprocess.run(["ip", "netns", "del", ns], capture_output=True)
                self.skipTest("multicast needs a network namespace of its own, which this machine refused: "
                              + " ".join(cmd) + ": " + done.stderr.strip())
        try:
            profiled, commands, tids = self.run_profiled("udp", netns=ns, multicast=True)
            self.assertUnchangedRun(profiled, [app_dll("Basic")] + self.ARGS)
            self.check_stream(commands, tids)
        finally:
            subprocess.run(["ip", "netns", "del", ns], capture_output=True)


class LogAndConfig(AgentTestCase):
    def test_info_log_file_is_created_with_banner_and_start_up_lines(self):
        folder = os.path.join(self.workdir, "logs", "nested")
        port = free_port()
        collector = Collector(self.workdir, "udp", port)
        key = "key-that-must-not-be-logged-0123456789"
        env = agent_env("udp", port, MORVEL_DEBUG_LOGLEVEL="Info", MORVEL_ERROR_LOG_FOLDER=folder,
                        MORVEL_API_KEY=key)
        profiled = run_app([app_dll("Basic")], env, self.workdir)
        collector.stop()
        self.assertUnchangedRun(profiled, [app_dll("Basic")])
        files = os.listdir(folder)
        self.assertEqual(len(files), 1, files)
        self.assertRegex(files[0], r"^Profiler-log-\d{4}-\d\d-\d\d_\d\d-\d\d-\d+\.log$")
        lines = open(os.path.join(folder, files[0])).read().splitlines()
        self.assertEqual(lines[0], "Logger::Logger - Logger initialized (LogLevel: 2, LogToConsole: false, "
                                   "LogToFile: true)")
        self.assertEqual(lines[1], "Profiler Version: 2.3.0")
        text = "\n".join(lines)
        self.assertIn("[Boot] UDP uplink selected", text)
        self.assertIn("[Init] Attached to process", text)
        self.assertTrue(any(l.startswith("[    INFO] ") for l in lines))
        self.assertIn("An API key is configured (%d characters)" % len(key), text)
        self.assertNotIn(key, text)

    def test_defaults_write_no_file_and_no_console_output(self):
        port = free_port()
        collector = Collector(self.workdir, "udp", port)
        appdir = os.path.join(self.workdir, "app-cwd")
        os.mkdir(appdir)
        env = agent_env("udp", port)
        profiled = run_app([app_dll("Basic")], env, appdir)
        commands = collector.stop()
        self.assertUnchangedRun(profiled, [app_dll("Basic")])
        self.assertEqual(os.listdir(appdir), [])
        self.assertTrue(self.of_type(commands, PROCESS_STARTED))

    def test_console_logging_goes_to_standard_output(self):
        port = free_port()
        env = agent_env("udp", port, MORVEL_DEBUG_LOGLEVEL="Info", MORVEL_DEBUG_LOGTOCONSOLE="true")
        profiled = run_app([app_dll("Basic")], env, self.workdir)
        self.assertEqual(profiled.returncode, 0)
        self.assertIn("Logger::Logger - Logger initialized (LogLevel: 2, LogToConsole: true, LogToFile: false)",
                      profiled.stdout)
        self.assertIn("[    INFO] ", profiled.stdout)


if __name__ == "__main__":
    unittest.main()
