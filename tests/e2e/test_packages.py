"""The packages that install without building: the tarball unpacked into an empty folder and the
.NET tool installed into an empty tool path each profile the sample app from there, with nothing of
the build tree on the path, and the collector's call trees show the app's calls."""

import os
import re
import shutil
import signal
import subprocess
import tarfile
import tempfile
import time
import unittest

from harness import BUILD_DIR, CLSID, COLLECTOR, FINAL_LINE, clean_env, free_port

SOURCE_DIR = os.path.realpath(os.path.join(os.path.dirname(__file__), "..", ".."))
SAMPLE_BUILD = os.path.join(BUILD_DIR, "samples", "QuickStart")
PROCESS = "QuickStart.Orders.OrderProcessor::Process"
VALIDATE = "QuickStart.Orders.OrderProcessor::Validate"
TREE_LINE = re.compile(r"^( +)(QuickStart\.[\w.]+::\w+)(?:\(.*?\))?(?:  x(\d+)  total)?")


def outside_env(**extra):
    """The user's environment with nothing of this build on the path and no agent set."""
    env = clean_env()
    env.pop("QUORIX_PROFILER_PATH", None)
    build = os.path.realpath(BUILD_DIR)
    env["PATH"] = os.pathsep.join(p for p in env.get("PATH", "").split(os.pathsep)
                                  if p and not os.path.realpath(p).startswith((build, SOURCE_DIR)))
    env.update(extra)
    return env


def sample_calls(test, summary):
    """Calls of Process in the summary's call trees, and of Validate nested under it."""
    counts = {PROCESS: 0, VALIDATE: 0}
    process_depth = None
    for line in summary.splitlines():
        m = TREE_LINE.match(line)
        if not m:
            continue
        depth, name, times = len(m.group(1)), m.group(2), int(m.group(3) or 1)
        if name == PROCESS:
            process_depth = depth
            counts[PROCESS] += times
        elif process_depth is not None and depth > process_depth:
            counts[VALIDATE] += times if name == VALIDATE else 0
        else:
            process_depth = None
    test.assertIn("System.ArgumentException: order 3 has no amount", summary)
    return counts


class Packages(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="qx-packages-")
        dist = os.path.join(cls.dir, "dist")
        made = subprocess.run([os.path.join(SOURCE_DIR, "scripts", "package.sh")], capture_output=True, text=True,
                              timeout=300, env=dict(outside_env(), QX_BUILD_DIR=BUILD_DIR, QX_DIST_DIR=dist))
        if made.returncode != 0:
            raise RuntimeError("package.sh failed:\n" + made.stdout + made.stderr)
        cls.tarball, cls.nupkg = made.stdout.split()
        cls.version = re.match(r"quorix\.(.+)\.nupkg$", os.path.basename(cls.nupkg)).group(1)
        # The app, too, from outside the build tree.
        cls.app = os.path.join(cls.dir, "app")
        shutil.copytree(SAMPLE_BUILD, cls.app)
        cls.dll = os.path.join(cls.app, "QuickStart.dll")
        cls.baseline = subprocess.run(["dotnet", cls.dll], capture_output=True, text=True, timeout=120,
                                      env=outside_env(), cwd=cls.dir)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def assertProfiledSample(self, result, summary):
        self.assertEqual(result.returncode, 0, result.stderr)
        # The app's own output, and the agent's last line.
        self.assertEqual(result.stdout.replace(FINAL_LINE + "\n", ""), self.baseline.stdout)
        self.assertIn(FINAL_LINE, result.stdout)
        self.assertEqual(sample_calls(self, summary), {PROCESS: 6, VALIDATE: 6}, summary)

    def assertSelfContained(self, files):
        build = os.path.realpath(BUILD_DIR)
        for path in files:
            dynamic = subprocess.run(["readelf", "-d", path], capture_output=True, text=True, check=True).stdout
            self.assertNotRegex(dynamic, r"\((RPATH|RUNPATH)\)", path)
            libraries = subprocess.run(["ldd", path], capture_output=True, text=True, check=True).stdout
            self.assertNotIn("not found", libraries, path)
            self.assertNotIn(build, libraries, path)
            self.assertNotIn(SOURCE_DIR, libraries, path)

    def unpack(self):
        root = tempfile.mkdtemp(dir=self.dir, prefix="unpacked-")
        with tarfile.open(self.tarball) as tar:
            tar.extractall(root, filter="tar")
        (top,) = os.listdir(root)
        self.assertEqual(top, "quorix-%s-linux-x64" % self.version)
        return os.path.join(root, top)

    def test_tarball_unpacked_anywhere_profiles_the_sample(self):
        home = self.unpack()
        self.assertEqual(sorted(os.listdir(home)), ["README.md", "bin", "lib", "quorix-env.sh"])
        run = os.path.join(home, "bin", "quorix-run")
        for tool in ("quorix-run", "quorix-collect"):
            self.assertTrue(os.access(os.path.join(home, "bin", tool), os.X_OK), tool)
        agent = os.path.join(home, "lib", "libQuorixProfilerr.so")
        self.assertSelfContained([run, os.path.join(home, "bin", "quorix-collect"), agent])
        # quorix-run takes the agent from ../lib, not from the build it was made in.
        shown = subprocess.run([run, "--port", str(free_port()), "--", "sh", "-c", 'echo "$CORECLR_PROFILER_PATH"'],
                               capture_output=True, text=True, timeout=60, env=outside_env(), cwd=self.dir)
        self.assertEqual(shown.returncode, 0, shown.stderr)
        self.assertEqual(os.path.realpath(shown.stdout.strip()), agent)
        self.assertNotIn("warning", shown.stderr)

        report = os.path.join(self.dir, "tarball-report.html")
        result = subprocess.run([run, "--port", str(free_port()), "--report", report, "--", "dotnet", self.dll],
                                capture_output=True, text=True, timeout=120, env=outside_env(), cwd=self.dir)
        self.assertProfiledSample(result, result.stderr)
        self.assertGreater(os.path.getsize(report), 0)

    def test_sourced_environment_loads_the_agent_for_a_listening_collector(self):
        home = self.unpack()
        shown = subprocess.run(["bash", "-c", '. "$1" && env', "_", os.path.join(home, "quorix-env.sh")],
                               capture_output=True, text=True, timeout=30, env=outside_env(), cwd="/")
        self.assertEqual(shown.returncode, 0, shown.stderr)
        env = dict(line.split("=", 1) for line in shown.stdout.splitlines() if "=" in line)
        self.assertEqual(env["CORECLR_ENABLE_PROFILING"], "1")
        self.assertEqual(env["CORECLR_PROFILER"], CLSID)
        self.assertEqual(os.path.realpath(env["CORECLR_PROFILER_PATH"]), os.path.join(home, "lib", "libQuorixProfilerr.so"))
        self.assertEqual(env["PATH"].split(os.pathsep)[0], os.path.join(home, "bin"))

        port = free_port()
        ready = os.path.join(self.dir, "env-collector.ready")
        collector = subprocess.Popen(["quorix-collect", "--transport", "tcp", "--port", str(port), "--ready-file", ready,
                                      "--quiet"], env=env, cwd=self.dir, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE, text=True)
        try:
            deadline = time.time() + 15
            while not os.path.exists(ready) and collector.poll() is None and time.time() < deadline:
                time.sleep(0.02)
            self.assertTrue(os.path.exists(ready), "collector did not start")
            result = subprocess.run(["dotnet", self.dll], capture_output=True, text=True, timeout=120, cwd=self.dir,
                                    env=dict(env, MORVEL_NETWORK_MODE="Tcp", MORVEL_WIRE_COMMAND_PORT=str(port),
                                             MORVEL_REPORT_EXCEPTIONS="1"))
            time.sleep(0.3)
        finally:
            collector.send_signal(signal.SIGTERM)
            _, summary = collector.communicate(timeout=30)
        self.assertEqual(collector.returncode, 0, summary)
        self.assertProfiledSample(result, summary)

    def install_tool(self):
        tools = tempfile.mkdtemp(dir=self.dir, prefix="tools-")
        config = os.path.join(self.dir, "nuget.config")
        with open(config, "w") as f:
            f.write('<?xml version="1.0" encoding="utf-8"?>\n'
                    '<configuration><packageSources><clear /></packageSources></configuration>\n')
        # Its own package folder, so a package of the same version from an earlier build is not reused.
        env = outside_env(NUGET_PACKAGES=os.path.join(tools, ".nuget"))
        installed = subprocess.run(["dotnet", "tool", "install", "quorix", "--tool-path", tools, "--add-source",
                                    os.path.dirname(self.nupkg), "--version", self.version, "--configfile", config],
                                   capture_output=True, text=True, timeout=180, env=env, cwd=self.dir)
        self.assertEqual(installed.returncode, 0, installed.stdout + installed.stderr)
        return os.path.join(tools, "quorix")

    def test_dotnet_tool_runs_the_tools_with_their_streams_codes_and_signals(self):
        quorix = self.install_tool()
        env = outside_env()
        report = os.path.join(self.dir, "tool-report.html")
        result = subprocess.run([quorix, "run", "--port", str(free_port()), "--report", report, "--", "dotnet", self.dll],
                                capture_output=True, text=True, timeout=120, env=env, cwd=self.dir)
        self.assertProfiledSample(result, result.stderr)
        self.assertGreater(os.path.getsize(report), 0)
        native = os.path.dirname(os.path.realpath(self.find_native(quorix, "quorix-run")))
        for name in ("quorix-run", "quorix-collect"):
            self.assertTrue(os.access(os.path.join(native, name), os.X_OK), name)
        self.assertSelfContained([os.path.join(native, n) for n in ("quorix-run", "quorix-collect", "libQuorixProfilerr.so")])

        # Standard input, output and error, and the exit code, are the program's; the agent is the package's.
        piped = subprocess.run([quorix, "run", "--port", str(free_port()), "--", "sh", "-c",
                                'read line; echo "got $line"; echo "$CORECLR_PROFILER_PATH"; echo oops >&2; exit 7'],
                               input="hello\n", capture_output=True, text=True, timeout=60, env=env, cwd=self.dir)
        self.assertEqual(piped.returncode, 7, piped.stderr)
        got, agent = piped.stdout.splitlines()
        self.assertEqual(got, "got hello")
        self.assertEqual(os.path.realpath(agent), os.path.join(native, "libQuorixProfilerr.so"))
        self.assertIn("oops", piped.stderr)

        # The collector's arguments and exit codes, as when it is run itself.
        for args in (["--help"], ["--no-such-option"], ["--transport", "carrier-pigeon"]):
            tool = subprocess.run([quorix, "collect"] + args, capture_output=True, text=True, timeout=30, env=env)
            direct = subprocess.run([COLLECTOR] + args, capture_output=True, text=True, timeout=30, env=env)
            self.assertEqual((tool.returncode, tool.stdout), (direct.returncode, direct.stdout), args)
        for args, code in (([], 2), (["bogus"], 2), (["--help"], 0)):
            self.assertEqual(subprocess.run([quorix] + args, capture_output=True, timeout=30, env=env).returncode, code, args)

        # Ctrl-C at a terminal goes to the whole foreground group: the program gets it and ends its
        # own way, and quorix-run still lets the collector report.
        waiting = subprocess.Popen([quorix, "run", "--port", str(free_port()), "--", "sh", "-c",
                                    'trap "echo interrupted; exit 3" INT; echo ready; while :; do sleep 0.1; done'],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env,
                                   start_new_session=True)
        try:
            self.assertEqual(waiting.stdout.readline().strip(), "ready")
            os.killpg(waiting.pid, signal.SIGINT)
            out, err = waiting.communicate(timeout=30)
        finally:
            if waiting.poll() is None:
                os.killpg(waiting.pid, signal.SIGKILL)
                waiting.wait()
        self.assertEqual(waiting.returncode, 3, err)
        self.assertIn("interrupted", out)
        self.assertIn("quorix-collect summary", err)

    @staticmethod
    def find_native(quorix, name):
        store = os.path.join(os.path.dirname(quorix), ".store")
        for root, _, files in os.walk(store):
            if name in files and os.path.basename(root) == "native":
                return os.path.join(root, name)
        raise AssertionError("%s not in %s" % (name, store))


if __name__ == "__main__":
    unittest.main()
