#!/usr/bin/env python3
"""Peak resident memory of bench/Loop traced behind a TCP collector that accepts the connection
and never reads, next to the same run with no collector (refused: nothing is held) and without
the agent. The difference between the first two is what the agent holds for a stalled collector.

usage: bench/stalled_rss.py [CALLS]    (QX_BUILD_DIR: the build, default ./build; QX_AGENT: another agent)
"""
import os
import socket
import subprocess
import sys
import threading
import time

BUILD = os.path.abspath(os.environ.get("QX_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "build")))
AGENT = os.environ.get("QX_AGENT", os.path.join(BUILD, "libQuorixProfilerr.so"))
LOOP = os.path.join(BUILD, "bench", "Loop", "Loop.dll")
CALLS = sys.argv[1] if len(sys.argv) > 1 else "300000000"


def peak_rss(env):
    app = subprocess.Popen(["dotnet", LOOP, CALLS, "traced"], env=env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
    peak = 0
    while app.poll() is None:
        try:
            with open("/proc/%d/status" % app.pid) as status:
                for line in status:
                    if line.startswith("VmRSS:"):
                        peak = max(peak, int(line.split()[1]))
        except OSError:
            pass
        time.sleep(0.05)
    return peak / 1024.0


def run(mode):
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    port = listener.getsockname()[1]
    held = []
    if mode == "stalled":
        listener.listen(4)
        threading.Thread(target=lambda: [held.append(listener.accept()[0]) for _ in iter(int, 1)], daemon=True).start()
    else:
        listener.close()  # nobody listens on the port: every connection is refused
    env = {k: v for k, v in os.environ.items() if not k.startswith(("MORVEL_", "CORECLR_"))}
    if mode != "no agent":
        env.update({"CORECLR_ENABLE_PROFILING": "1", "CORECLR_PROFILER": "{76CAC89D-4E69-48F9-BD88-3686BBD6CD7F}",
                    "CORECLR_PROFILER_PATH": AGENT, "MORVEL_NETWORK_MODE": "Tcp",
                    "MORVEL_WIRE_COMMAND_PORT": str(port)})
    return peak_rss(env)


figures = {mode: run(mode) for mode in ("no agent", "refused", "stalled")}
for mode, mib in figures.items():
    print("%-9s peak RSS %7.1f MiB" % (mode, mib))
print("held for a stalled collector: %.1f MiB (bound: 64 MiB, plus 64 KiB per thread and the function names)"
      % (figures["stalled"] - figures["refused"]))
