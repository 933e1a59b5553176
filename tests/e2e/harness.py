"""Runs real .NET processes with the agent loaded and a collector listening, and gives the
tests the decoded command stream."""

import json
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

BUILD_DIR = os.environ.get("QX_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
AGENT = os.path.join(BUILD_DIR, "libQuorixProfilerr.so")
COLLECTOR = os.path.join(BUILD_DIR, "tools", "collector", "quorix-collect")
# The runtime the apps run on: empty for the installed shared framework (apps started as
# "dotnet App.dll"), or a target framework such as net8.0 whose self-contained publishes (runtime
# packs from NuGet, made by the build) are started through their own executables.
RUNTIME = os.environ.get("QX_E2E_RUNTIME", "")
APPS_DIR = os.path.join(BUILD_DIR, "tests", "apps-" + RUNTIME if RUNTIME else "apps")
APPS_SOURCE_DIR = os.path.join(os.path.dirname(__file__), "..", "apps")
CLSID = "{76CAC89D-4E69-48F9-BD88-3686BBD6CD7F}"
FINAL_LINE = "ProfilerImpl::FinalRelease exit"
PIPE_NAME = "\\\\.\\pipe\\QuorixAgent_v1"
MODE_NAMES = {"udp": "Udp", "tcp": "Tcp", "pipe": "NamedPipe"}
# The trace engine the agent runs with: the suite runs the tests of traced calls and captured
# values under each (empty: the agent's default).
ENGINE = os.environ.get("QX_E2E_ENGINE", "")


def app_dll(name):
    return os.path.join(APPS_DIR, name, name + ".dll")


def free_port():
    """A port free for both TCP and UDP on 127.0.0.1."""
    for _ in range(50):
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as tcp:
            tcp.bind(("127.0.0.1", 0))
            port = tcp.getsockname()[1]
            try:
                with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
                    udp.bind(("127.0.0.1", port))
                return port
            except OSError:
                continue
    raise RuntimeError("no free port")


def runtime_version():
    """Version of the runtime the apps run on, as the runtime reports it."""
    if RUNTIME:
        with open(os.path.join(APPS_DIR, "Basic", "Basic.runtimeconfig.json")) as f:
            config = json.load(f)["runtimeOptions"]
        return next(fx["version"] for fx in config["includedFrameworks"] if fx["name"] == "Microsoft.NETCore.App")
    out = subprocess.run(["dotnet", "--list-runtimes"], capture_output=True, text=True, check=True).stdout
    versions = re.findall(r"^Microsoft\.NETCore\.App (\d+\.\d+\.\d+)", out, re.M)
    return versions[-1]


def clean_env():
    # The user's OpenTelemetry variables would turn span export on in every collector.
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("MORVEL_", "CORECLR_", "OTEL_", "QUORIX_OTLP_"))}
    env["DOTNET_CLI_TELEMETRY_OPTOUT"] = "1"
    env["DOTNET_NOLOGO"] = "1"
    return env


def agent_env(transport="udp", port=2799, **settings):
    env = clean_env()
    env.update({
        "CORECLR_ENABLE_PROFILING": "1",
        "CORECLR_PROFILER": CLSID,
        "CORECLR_PROFILER_PATH": AGENT,
        "MORVEL_NETWORK_MODE": MODE_NAMES[transport],
        "MORVEL_WIRE_COMMAND_PORT": str(port),
    })
    if ENGINE:
        env["MORVEL_TRACE_ENGINE"] = ENGINE
    env.update({k: str(v) for k, v in settings.items()})
    return env


class Collector:
    """quorix-collect running in the background, writing JSON Lines to a file."""

    def __init__(self, workdir, transport="udp", port=2799, multicast=False, netns=None, extra=()):
        self.workdir = workdir
        self.transport = transport
        self.port = port
        self.json_path = os.path.join(workdir, "commands-%d-%f.jsonl" % (port, time.time()))
        self.ready = self.json_path + ".ready"
        self.summary_path = self.json_path + ".summary"
        cmd = [COLLECTOR, "--transport", transport, "--port", str(port), "--json", self.json_path,
               "--ready-file", self.ready, "--no-tree"]
        if multicast:
            cmd.append("--multicast")
        cmd.extend(extra)
        if netns:
            cmd = ["ip", "netns", "exec", netns] + cmd
        self.summary = open(self.summary_path, "w")
        self.process = subprocess.Popen(cmd, cwd=workdir, stdout=self.summary, stderr=subprocess.STDOUT)
        deadline = time.time() + 15
        while not os.path.exists(self.ready):
            if self.process.poll() is not None or time.time() > deadline:
                self.stop()
                raise RuntimeError("collector did not start: " + open(self.summary_path).read())
            time.sleep(0.02)

    def stop(self, settle=0.3):
        if self.process.poll() is None:
            time.sleep(settle)
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.summary.close()
        return self.commands()

    def kill(self):
        self.process.kill()
        self.process.wait()
        self.summary.close()

    def commands(self):
        result = []
        if os.path.exists(self.json_path):
            with open(self.json_path, encoding="utf-8") as f:
                for line in f:
                    if line.strip():
                        result.append(json.loads(line))
        return result


def app_command(args):
    """The command that starts an app given as [App.dll, arguments...] on the chosen runtime."""
    if RUNTIME and args and args[0].endswith(".dll"):
        return [args[0][:-len(".dll")]] + list(args[1:])
    return ["dotnet"] + list(args)


def run_app(args, env, cwd, timeout=120, netns=None):
    cmd = app_command(args)
    if netns:
        cmd = ["ip", "netns", "exec", netns] + cmd
    return subprocess.run(cmd, env=env, cwd=cwd, capture_output=True, text=True, timeout=timeout)


def read_tids(path):
    """label -> (tid, unix ms) as the Basic app recorded them."""
    tids = {}
    if os.path.exists(path):
        for line in open(path):
            label, tid, when = line.split()
            tids[label] = (int(tid), int(when))
    return tids


class AgentTestCase(unittest.TestCase):
    """Gives each test its own working folder."""

    def setUp(self):
        self.workdir = tempfile.mkdtemp(prefix="qx-e2e-")

    def tearDown(self):
        shutil.rmtree(self.workdir, ignore_errors=True)

    _baselines = {}

    def baseline(self, args):
        key = tuple(args)
        if key not in self._baselines:
            self._baselines[key] = run_app(args, clean_env(), self.workdir)
        return self._baselines[key]

    def assertUnchangedRun(self, profiled, args):
        """The app behaves as without the agent: same output plus our one line, same exit code."""
        plain = self.baseline(args)
        self.assertEqual(profiled.returncode, plain.returncode, profiled.stderr)
        lines = profiled.stdout.splitlines()
        self.assertEqual(lines.count(FINAL_LINE), 1, profiled.stdout)
        self.assertEqual([l for l in lines if l != FINAL_LINE], plain.stdout.splitlines())
        self.assertEqual(profiled.stderr, plain.stderr)

    def of_type(self, commands, type_number, pid=None):
        return [c for c in commands if c["type"] == type_number and (pid is None or c["pid"] == pid)]
