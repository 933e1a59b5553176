"""Build tools run with the agent's variables set are left alone; what they build is profiled. The
processes the settings skip are left alone the same way."""

import os
import shutil
import subprocess
import unittest

from harness import (APPS_SOURCE_DIR, FINAL_LINE, AgentTestCase, Collector, agent_env, app_dll, clean_env,
                     free_port, run_app)

PROCESS_STARTED, PROCESS_ENDED = 9, 10


class BuildTools(AgentTestCase):
    def test_dotnet_build_is_not_profiled_but_the_app_it_built_is(self):
        project = os.path.join(self.workdir, "Basic")
        shutil.copytree(os.path.join(APPS_SOURCE_DIR, "Basic"), project,
                        ignore=shutil.ignore_patterns("bin", "obj"))
        shutil.copy(os.path.join(APPS_SOURCE_DIR, "Directory.Build.props"), self.workdir)
        port = free_port()
        collector = Collector(self.workdir, "tcp", port)
        env = agent_env("tcp", port)
        # Worker nodes and the compiler server would outlive the test; the build stays the same.
        env["MSBUILDDISABLENODEREUSE"] = "1"
        try:
            built = subprocess.run(["dotnet", "build", "-c", "Release", "-o", os.path.join(self.workdir, "out")],
                                   cwd=project, env=env, capture_output=True, text=True, timeout=300)
            during_build = collector.stop()
        finally:
            subprocess.run(["dotnet", "build-server", "shutdown"], env=clean_env(), capture_output=True,
                           timeout=120)
        self.assertEqual(built.returncode, 0, built.stdout + built.stderr)
        self.assertNotIn("ProfilerImpl::FinalRelease exit", built.stdout)
        self.assertEqual([c for c in during_build if c["type"] == PROCESS_STARTED], [])

        collector = Collector(self.workdir, "tcp", port)
        ran = subprocess.run(["dotnet", os.path.join(self.workdir, "out", "Basic.dll")], cwd=self.workdir,
                             env=agent_env("tcp", port), capture_output=True, text=True, timeout=120)
        commands = collector.stop()
        self.assertEqual(ran.returncode, 0, ran.stderr)
        self.assertEqual(len([c for c in commands if c["type"] == PROCESS_STARTED]), 1)
        self.assertEqual(commands[-1]["type"], PROCESS_ENDED)


class ChosenProcesses(AgentTestCase):
    def run_basic(self, **settings):
        port = free_port()
        logs = os.path.join(self.workdir, "log-%d" % port)
        collector = Collector(self.workdir, "tcp", port)
        profiled = run_app([app_dll("Basic")], agent_env("tcp", port, MORVEL_ERROR_LOG_FOLDER=logs,
                                                         MORVEL_DEBUG_LOGLEVEL="Info", **settings), self.workdir)
        commands = collector.stop()
        self.assertEqual(profiled.returncode, 0, profiled.stderr)
        log = open(os.path.join(logs, os.listdir(logs)[0])).read()
        return profiled, commands, log

    def assertSkipped(self, profiled, commands, log, why):
        self.assertEqual(commands, [])
        self.assertNotIn(FINAL_LINE, profiled.stdout)
        self.assertEqual(profiled.stdout, self.baseline([app_dll("Basic")]).stdout)
        self.assertIn("[Boot] Profiler is not attaching to this process: " + why, log)

    def test_excluded_or_not_included_processes_are_left_alone(self):
        self.assertSkipped(*self.run_basic(MORVEL_PROCESS_EXCLUDE="Helper,Basic.dll"),
                           "'Basic' is in MORVEL_PROCESS_EXCLUDE")
        self.assertSkipped(*self.run_basic(MORVEL_PROCESS_INCLUDE="Shop.Api Worker"),
                           "none of (dotnet, Basic) is in MORVEL_PROCESS_INCLUDE")
        # Exclusion wins over inclusion, by executable name as well.
        self.assertSkipped(*self.run_basic(MORVEL_PROCESS_INCLUDE="Basic", MORVEL_PROCESS_EXCLUDE="dotnet"),
                           "'dotnet' is in MORVEL_PROCESS_EXCLUDE")

    def test_included_process_is_profiled_and_the_choice_logged(self):
        profiled, commands, log = self.run_basic(MORVEL_PROCESS_INCLUDE="Shop.Api;Basic",
                                                 MORVEL_PROCESS_EXCLUDE="Helper")
        self.assertIn(FINAL_LINE, profiled.stdout)
        self.assertEqual(len([c for c in commands if c["type"] == PROCESS_STARTED]), 1)
        self.assertEqual(commands[-1]["type"], PROCESS_ENDED)
        self.assertIn("[Boot] Profiling this process: 'Basic' is in MORVEL_PROCESS_INCLUDE", log)


if __name__ == "__main__":
    unittest.main()
