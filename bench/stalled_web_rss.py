#!/usr/bin/env python3
"""Resident memory of bench/Web (Kestrel) under steady request load, traced over TCP behind a
collector that accepts the connection and never reads, next to the same run behind a refused
port (nothing is held) and without the agent. Prints peak and final resident size of each; the
stalled-minus-refused difference is what the agent holds for a stalled collector.

usage: bench/stalled_web_rss.py [SECONDS] [CLIENTS]
       (QX_BUILD_DIR: the build, default ./build; QX_AGENT: another agent; extra environment for
        the app's runs: QX_APP_ENV="NAME=value ...")
"""
import http.client
import os
import socket
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.path.abspath(os.environ.get("QX_BUILD_DIR", os.path.join(HERE, "..", "build")))
AGENT = os.environ.get("QX_AGENT", os.path.join(BUILD, "libQuorixProfilerr.so"))
WEB = os.path.join(BUILD, "bench", "Web", "Web.dll")
SECONDS = float(sys.argv[1]) if len(sys.argv) > 1 else 40
CLIENTS = int(sys.argv[2]) if len(sys.argv) > 2 else 4


def build_app():
    subprocess.run(["dotnet", "build", os.path.join(HERE, "Web"), "-c", "Release", "--nologo", "-v", "quiet",
                    "-o", os.path.dirname(WEB), "-p:QxObjDir=" + os.path.join(BUILD, "bench", "obj") + "/"],
                   check=True, stdout=subprocess.DEVNULL)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def rss_mib(pid):
    try:
        with open("/proc/%d/status" % pid) as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) / 1024.0
    except OSError:
        pass
    return 0.0


def load(port, until, counts):
    """Keep-alive GETs over both endpoints until the time is up."""
    done = 0
    n = 0
    while time.monotonic() < until:
        try:
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
            while time.monotonic() < until:
                n += 1
                conn.request("GET", "/orders/%d" % (n % 1000) if n % 2 else "/report?size=%d" % (10 + n % 40))
                conn.getresponse().read()
                done += 1
        except (OSError, http.client.HTTPException):
            time.sleep(0.05)
    counts.append(done)


def run(mode):
    collector_port = free_port()
    listener = None
    held = []
    if mode == "stalled":
        listener = socket.socket()
        listener.bind(("127.0.0.1", collector_port))
        listener.listen(16)

        def accept():
            while True:
                try:
                    held.append(listener.accept()[0])
                except OSError:
                    return
        threading.Thread(target=accept, daemon=True).start()
    env = {k: v for k, v in os.environ.items() if not k.startswith(("MORVEL_", "CORECLR_"))}
    if mode != "no agent":
        env.update({"CORECLR_ENABLE_PROFILING": "1", "CORECLR_PROFILER": "{76CAC89D-4E69-48F9-BD88-3686BBD6CD7F}",
                    "CORECLR_PROFILER_PATH": AGENT, "MORVEL_NETWORK_MODE": "Tcp",
                    "MORVEL_WIRE_COMMAND_PORT": str(collector_port)})
    for pair in os.environ.get("QX_APP_ENV", "").split():
        name, _, value = pair.partition("=")
        env[name] = value
    web_port = free_port()
    app = subprocess.Popen(["dotnet", WEB, "--urls", "http://127.0.0.1:%d" % web_port], env=env,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        for _ in range(3000):
            try:
                with socket.create_connection(("127.0.0.1", web_port), timeout=1):
                    break
            except OSError:
                time.sleep(0.02)
        start_rss = rss_mib(app.pid)
        until = time.monotonic() + SECONDS
        counts = []
        clients = [threading.Thread(target=load, args=(web_port, until, counts), daemon=True) for _ in range(CLIENTS)]
        for c in clients:
            c.start()
        peak = 0.0
        while time.monotonic() < until:
            peak = max(peak, rss_mib(app.pid))
            time.sleep(0.2)
        for c in clients:
            c.join(20)
        final = rss_mib(app.pid)
        peak = max(peak, final)
    finally:
        app.terminate()
        try:
            app.wait(30)
        except subprocess.TimeoutExpired:
            app.kill()
        if listener is not None:
            listener.close()
        for s in held:
            s.close()
    return start_rss, peak, final, sum(counts)


if __name__ == "__main__":
    build_app()
    print("bench/Web under %d keep-alive clients for %.0f s (resident MiB)" % (CLIENTS, SECONDS))
    figures = {}
    for mode in ("no agent", "refused", "stalled"):
        start, peak, final, requests = run(mode)
        figures[mode] = peak
        print("%-9s start %6.1f  peak %6.1f  final %6.1f  requests %7d" % (mode, start, peak, final, requests))
    print("held for a stalled collector: %.1f MiB at peak (bound: 64 MiB, plus 64 KiB per thread and the "
          "function names)" % (figures["stalled"] - figures["refused"]))
