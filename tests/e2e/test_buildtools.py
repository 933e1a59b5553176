"""Build tools run with the agent's variables set are left alone; what they build is profiled."""

import os
import shutil
import subprocess
import unittest

from harness import APPS_SOURCE_DIR, AgentTestCase, Collector, agent_env, clean_env, free_port

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


if __name__ == "__main__":
    unittest.main()
