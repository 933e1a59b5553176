"""The live view and the comparison with an earlier run, on the web shop driven by real HTTP
requests under quorix-run: the live page in headless Chromium gains rows as requests end, without
a reload, while /api/requests serves them; a taken or bad port stops the run before the app starts.
Two runs of the shop, the second with a slower ledger endpoint that runs one more statement: the
second run's report marks that endpoint and no other, and against the first run's folded stacks it
draws a differential flame graph. A baseline file that cannot serve gets one line, and the run goes
on without the comparison."""

import json
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest
import urllib.request

from harness import AGENT, BUILD_DIR, COLLECTOR, ENGINE, app_command, app_dll, clean_env, free_port
import viewers

RUN = os.path.join(BUILD_DIR, "tools", "collector", "quorix-run")
WEB = app_dll("WebShop")
LIVE_SCRIPT = os.path.join(os.path.dirname(__file__), "live_page.js")
ROUNDS = 60


def get(port, path):
    with urllib.request.urlopen("http://127.0.0.1:%d%s" % (port, path), timeout=30) as r:
        return r.status, r.read(), r.headers


def children(pid):
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                ppid = int(f.read().rsplit(")", 1)[1].split()[1])
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                cmdline = f.read().replace(b"\0", b" ").decode(errors="replace")
        except (OSError, ValueError, IndexError):
            continue
        if ppid == pid:
            found.append((int(entry), cmdline))
    return found


def listening_addresses(port):
    """Local addresses of the TCP sockets listening on a port (hex, as /proc/net/tcp has them)."""
    found = []
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as f:
            for line in f.readlines()[1:]:
                local, state = line.split()[1], line.split()[3]
                address, hexport = local.split(":")
                if state == "0A" and int(hexport, 16) == port:
                    found.append(address)
    return found


class ShopRun:
    """The web shop under quorix-run with the given collector options; stop() ends it."""

    def __init__(self, workdir, options, slower=False):
        self.app_port = free_port()
        env = dict(clean_env(), QUORIX_PROFILER_PATH=AGENT)
        if slower:
            env["QX_SHOP_SLOWER"] = "1"
        cmd = [RUN, "--transport", "tcp", "--port", str(free_port()), "--no-tree", "--quiet"] + options
        if ENGINE:
            cmd += ["--engine", ENGINE]
        cmd += ["--"] + app_command([WEB, "--urls", "http://127.0.0.1:%d" % self.app_port])
        self.process = subprocess.Popen(cmd, env=env, cwd=workdir, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        text=True)
        self.ready = self.process.stdout.readline().strip() == "ready"

    def drive(self, rounds=ROUNDS):
        for i in range(rounds):
            for path in ("/orders/%d" % (i % 7), "/api/catalogue/items?page=%d" % (i % 3), "/ledger/%d" % i):
                get(self.app_port, path)

    def stop(self):
        # The app stops on SIGTERM; quorix-run then stops its collector.
        for pid, cmdline in children(self.process.pid):
            if "WebShop.dll" in cmdline:
                os.kill(pid, signal.SIGTERM)
        try:
            out, err = self.process.communicate(timeout=60)
        except subprocess.TimeoutExpired:
            self.process.kill()
            out, err = self.process.communicate()
        return self.process.returncode, out, err


def read_requests(path):
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


class LiveView(unittest.TestCase):
    def setUp(self):
        self.workdir = tempfile.mkdtemp(prefix="qx-live-")

    def tearDown(self):
        shutil.rmtree(self.workdir, ignore_errors=True)

    def test_rows_appear_without_a_reload_and_the_api_serves_them(self):
        live = free_port()
        requests_file = os.path.join(self.workdir, "requests.jsonl")
        shop = ShopRun(self.workdir, ["--live", str(live), "--requests", requests_file])
        browser = None
        try:
            self.assertTrue(shop.ready, "the shop did not start")
            # Loopback only.
            self.assertEqual(listening_addresses(live), ["0100007F"])
            shot = viewers.screenshot_path("live")
            browser = subprocess.Popen(["node", LIVE_SCRIPT, "http://127.0.0.1:%d/" % live, shot, "8"],
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            self.assertEqual(browser.stdout.readline().strip(), "open", browser.stderr.read() if browser.poll() else "")
            for i in range(4):
                get(shop.app_port, "/orders/%d" % i)
                get(shop.app_port, "/ledger/%d" % i)
            # The API during the run: the requests so far, in the --requests form.
            deadline, served = time.time() + 20, []
            while time.time() < deadline:
                status, body, headers = get(live, "/api/requests")
                self.assertEqual(status, 200)
                served = [r for r in json.loads(body) if r["kind"] == "http"]
                if len(served) >= 8:
                    break
                time.sleep(0.2)
            self.assertEqual(sorted(r["path"] for r in served),
                             sorted(["/orders/%d" % i for i in range(4)] + ["/ledger/%d" % i for i in range(4)]))
            self.assertTrue(all(r["sqlCount"] == 1 for r in served if r["path"].startswith("/ledger/")), served)
            last = int(headers["X-Quorix-Last"])
            self.assertEqual(json.loads(get(live, "/api/requests?since=%d" % last)[1]), [])
            self.assertEqual(len(json.loads(get(live, "/api/requests?since=%d" % (last - 1))[1])), 1)
            status = json.loads(get(live, "/api/status")[1])
            self.assertEqual((status["last"], status["letGo"], status["comparison"]), (last, 0, None))
            out, err = browser.communicate(timeout=120)
            self.assertEqual(browser.returncode, 0, err)
            found = json.loads(out.splitlines()[-1])
        finally:
            if browser is not None and browser.poll() is None:
                browser.kill()
            code, _, summary = shop.stop()
        self.assertEqual(code, 0, summary)
        self.assertIn("live view on http://127.0.0.1:%d/" % live, summary)
        self.assertIn("Live view: ", summary)
        self.assertTrue(found["grew"], found)
        self.assertLess(found["rowsAtOpen"], 8)
        self.assertEqual(found["navigations"], 1, "the page was reloaded")
        self.assertEqual(found["consoleErrors"], [])
        self.assertEqual(found["foreign"], [])
        self.assertIn("Live:", found["banner"])
        self.assertIn("flame", found["hiddenSections"])
        self.assertTrue(any(e.startswith("GET /ledger/") for e in found["endpoints"]), found["endpoints"])
        # The live store and the file saw the same requests.
        self.assertEqual(sorted(r["id"] for r in served),
                         sorted(r["id"] for r in read_requests(requests_file) if r["kind"] == "http"))

    def test_a_taken_port_stops_the_run_before_the_app_starts(self):
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", 0))
            taken.listen()
            port = taken.getsockname()[1]
            shop = ShopRun(self.workdir, ["--live", str(port)])
            code, out, err = shop.stop()
        self.assertFalse(shop.ready)
        self.assertEqual(code, 125, err)
        self.assertEqual(out, "", "the app was launched")
        self.assertIn("--live: port %d is taken" % port, err)
        self.assertEqual(err.count("is taken"), 1, err)

    def test_bad_ports_are_refused_by_both_tools(self):
        for value in ("0", "65536", "http", ""):
            done = subprocess.run([RUN, "--live", value, "--", "true"], capture_output=True, text=True, timeout=30)
            self.assertEqual(done.returncode, 2, value)
            self.assertIn("bad --live port '%s' (1 to 65535)" % value, done.stderr)
            done = subprocess.run([COLLECTOR, "--live", value], capture_output=True, text=True, timeout=30)
            self.assertEqual(done.returncode, 2, value)
            self.assertIn("bad --live port '%s' (1 to 65535)" % value, done.stderr)


class Comparison(unittest.TestCase):
    """An earlier run of the shop, then a slower one compared with it."""

    @classmethod
    def setUpClass(cls):
        cls.workdir = tempfile.mkdtemp(prefix="qx-compare-")
        cls.before_requests = os.path.join(cls.workdir, "before.requests")
        cls.before_folded = os.path.join(cls.workdir, "before.folded")
        cls.report = os.path.join(cls.workdir, "after-report.html")
        cls.flame_report = os.path.join(cls.workdir, "after-flame.html")
        cls.runs = []
        for options, slower in (
                (["--requests", cls.before_requests, "--folded", cls.before_folded], False),
                (["--report", cls.report, "--baseline", cls.before_requests, "--requests",
                  os.path.join(cls.workdir, "after.requests")], True),
                (["--report", cls.flame_report, "--baseline", cls.before_folded], True)):
            shop = ShopRun(cls.workdir, options, slower)
            try:
                if shop.ready:
                    shop.drive()
            finally:
                cls.runs.append((shop.ready,) + shop.stop())

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.workdir, ignore_errors=True)

    def test_the_runs_went_well(self):
        for ready, code, _, err in self.runs:
            self.assertTrue(ready, err[-3000:])
            self.assertEqual(code, 0, err[-3000:])

    def ledger(self):
        return next(r["endpoint"] for r in read_requests(self.before_requests) if (r["path"] or "").startswith("/ledger/"))

    def test_the_report_marks_the_slower_endpoint_and_no_other(self):
        data = viewers.report_data(self.report)["comparison"]
        self.assertEqual(data["kind"], "requests")
        by = {e["endpoint"]: e for e in data["endpoints"]}
        ledger = by[self.ledger()]
        self.assertTrue(ledger["regression"], ledger)
        self.assertEqual((ledger["before"]["sqlPerRequest"], ledger["now"]["sqlPerRequest"]), (1, 2))
        self.assertGreaterEqual(ledger["now"]["p95"] - ledger["before"]["p95"], 40)
        self.assertEqual(len(ledger["why"]), 2, ledger)
        unchanged = [e for name, e in by.items() if name != self.ledger() and e["before"] and e["now"]]
        self.assertGreaterEqual(len(unchanged), 2, by.keys())
        for e in unchanged:
            self.assertFalse(e["regression"], e)
        self.assertEqual(data["regressions"], 1)

        found = self.browse(self.report, "compare")
        self.assertTrue(found["compareShown"])
        self.assertIn("A regression: p95 up by 20% or more", found["compareRule"])
        marked = [r["endpoint"] for r in found["compareRows"] if r["regression"]]
        self.assertEqual(marked, [self.ledger()])
        self.assertIn("regression", found["compareRows"][0]["cells"][-1])
        # The summary says it too.
        self.assertIn("regression %s: p95 " % self.ledger(), self.runs[1][3])

    def test_folded_stacks_give_a_differential_flame_graph(self):
        data = viewers.report_data(self.flame_report)["comparison"]
        self.assertEqual(data["kind"], "folded")
        frames = []
        pending = [data["flame"]]
        while pending:
            n = pending.pop()
            frames.append(n)
            pending.extend(n["children"])
        build = [n for n in frames if n["n"].endswith("Ledger::Build")]
        self.assertTrue(build, [n["n"] for n in frames][:50])
        # The ledger spends about 60 ms more per request, in its sleep, under Build.
        self.assertGreater(sum(n["now"] - n["before"] for n in build), ROUNDS * 40000)
        found = self.browse(self.flame_report, "compare-flame")
        self.assertTrue(found["compareShown"])
        self.assertIn("Red: more time", found["compareRule"])
        drawn = [f for f in found["flameFrames"] if "Ledger::Build" in f["name"]]
        self.assertTrue(drawn, found["flameFrames"][:20])
        # Red for what grew: more red than blue in its colour.
        fill = drawn[0]["fill"].replace("rgb(", "").replace(")", "").split(",")
        self.assertGreater(int(fill[0]), int(fill[2]), drawn)

    def browse(self, report, name):
        shot = viewers.screenshot_path(name)
        done = subprocess.run(["node", LIVE_SCRIPT, "file://" + os.path.abspath(report), shot, "0"], capture_output=True, text=True, timeout=120)
        self.assertEqual(done.returncode, 0, done.stderr)
        found = json.loads(done.stdout.splitlines()[-1])
        self.assertTrue(found["ready"])
        self.assertEqual(found["consoleErrors"], [])
        self.assertEqual(found["foreign"], [])
        return found


class BadBaselines(unittest.TestCase):
    """A baseline that cannot serve: one line, and the run goes on without the comparison."""

    def test_each_bad_file_gets_one_line_and_the_report_has_no_comparison(self):
        workdir = tempfile.mkdtemp(prefix="qx-baseline-")
        try:
            good = '{"id":1,"endpoint":"GET /a","durationMs":3,"sqlCount":0}\n'
            files = {"empty": "", "truncated": good + good[:20], "speedscope": '{"$schema":"speedscope"}\n',
                     "html": "<html></html>\n"}
            for name, text in files.items():
                with open(os.path.join(workdir, name), "w") as f:
                    f.write(text)
            for name in list(files) + ["missing"]:
                report = os.path.join(workdir, name + ".html")
                done = subprocess.run([COLLECTOR, "--transport", "tcp", "--port", "0", "--duration", "0.3", "--quiet",
                                       "--no-tree", "--report", report, "--baseline", os.path.join(workdir, name)],
                                      capture_output=True, text=True, timeout=60, env=clean_env())
                self.assertEqual(done.returncode, 0, done.stderr)
                lines = [l for l in done.stderr.splitlines() if "--baseline" in l]
                self.assertEqual(len(lines), 1, done.stderr)
                self.assertIn("going on without the comparison", lines[0])
                self.assertIsNone(viewers.report_data(report)["comparison"])
        finally:
            shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    unittest.main()
