"""Requests of a real shop on Kestrel over real PostgreSQL and Redis, profiled with quorix-run:
--requests holds one object per request with its statements (texts, parameters, times), its
outgoing HTTP and Redis calls, its exception and its findings, with the pieces that ran after
awaits on other threads joined to it; the spans sent over OTLP make one named trace per request."""

import http.client
import http.server
import json
import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import unittest

import peers
from harness import AGENT, BUILD_DIR, ENGINE, AgentTestCase, app_command, app_dll, clean_env, free_port

SHOP = app_dll("Shop")
RUN = os.path.join(BUILD_DIR, "tools", "collector", "quorix-run")
# (path, expected status), in the order sent; the product page twice: the second comes from Redis.
REQUESTS = [("/products/1", 200), ("/products/1", 200), ("/orders", 200), ("/report", 200), ("/boom", 500),
            ("/missing", 404), ("/proxy", 200)]


class _Receiver(http.server.BaseHTTPRequestHandler):
    """Takes OTLP/JSON batches and keeps their spans."""

    spans = []
    lock = threading.Lock()

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        batch = json.loads(body)
        with self.lock:
            for rs in batch.get("resourceSpans", []):
                for ss in rs.get("scopeSpans", []):
                    self.spans.extend(ss.get("spans", []))
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", "2")
        self.end_headers()
        self.wfile.write(b"{}")

    def log_message(self, *args):
        pass


def get(port, path):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        connection.request("GET", path)
        response = connection.getresponse()
        response.read()
        return response.status
    finally:
        connection.close()


def attributes(span):
    return {a["key"]: next(iter(a["value"].values())) for a in span.get("attributes", [])}


class ShopRequests(AgentTestCase):
    """One profiled run of the shop, shared by the tests of this class."""

    servers = None

    @classmethod
    def setUpClass(cls):
        if os.environ.get("QX_SKIP_PEERS") == "1":
            raise unittest.SkipTest("QX_SKIP_PEERS=1: tests against real servers skipped on request")
        cls.workdir = tempfile.mkdtemp(prefix="qx-requests-")
        cls.servers = peers.Servers(("postgres", "redis"))
        receiver = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _Receiver)
        threading.Thread(target=receiver.serve_forever, daemon=True).start()
        try:
            cls.run_shop(receiver.server_address[1])
        finally:
            receiver.shutdown()
            receiver.server_close()
        cls.spans = list(_Receiver.spans)

    @classmethod
    def run_shop(cls, otlp_port):
        cls.requests_path = os.path.join(cls.workdir, "requests.jsonl")
        app_port = free_port()
        # Pieces are joined by object addresses: a collection that moves the objects between an
        # await and its continuation loses what follows (see README, Requests). A large first
        # generation keeps collections out of this short run, so that every test sees whole requests.
        env = dict(clean_env(), QUORIX_PROFILER_PATH=AGENT, DOTNET_GCgen0size="0x10000000", **cls.servers.env)
        cmd = [RUN, "--transport", "tcp", "--port", str(free_port()), "--requests", cls.requests_path,
               "--otlp", "http://127.0.0.1:%d" % otlp_port, "--otlp-protocol", "http/json", "--no-tree", "--quiet"]
        if ENGINE:
            cmd += ["--engine", ENGINE]
        cmd += ["--"] + app_command([SHOP, "--urls", "http://127.0.0.1:%d" % app_port])
        app = subprocess.Popen(cmd, env=env, cwd=cls.workdir, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True)
        cls.statuses = []
        try:
            ready = app.stdout.readline()
            if ready.strip() != "ready":
                app.kill()
                raise AssertionError("the shop did not start: %r %s" % (ready, app.communicate()[1][-4000:]))
            for path, _ in REQUESTS:
                cls.statuses.append(get(app_port, path))
        finally:
            # quorix-run waits for the app; the app stops on SIGTERM.
            subprocess.run(["pkill", "-TERM", "-f", "Shop.dll --urls http://127.0.0.1:%d" % app_port])
            try:
                out, err = app.communicate(timeout=60)
            except subprocess.TimeoutExpired:
                app.kill()
                out, err = app.communicate()
        cls.summary = err
        cls.requests = []
        if os.path.exists(cls.requests_path):
            with open(cls.requests_path, encoding="utf-8") as f:
                cls.requests = [json.loads(line) for line in f if line.strip()]

    @classmethod
    def tearDownClass(cls):
        if cls.servers is not None:
            cls.servers.stop()
        if os.environ.get("QX_KEEP") != "1":
            shutil.rmtree(cls.workdir, ignore_errors=True)

    def web(self, path):
        found = [r for r in self.requests if r["kind"] == "http" and r["path"] == path]
        self.assertTrue(found, "no request %s in %s" % (path, [r["path"] for r in self.requests]))
        return found

    def test_every_request_is_there_once_with_its_status(self):
        self.assertEqual(self.statuses, [s for _, s in REQUESTS])
        web = [r for r in self.requests if r["kind"] == "http"]
        # The proxy's own call to /products/2 is a request of its own.
        seen = sorted((r["path"], r["status"]) for r in web)
        self.assertEqual(seen, sorted([(p, s) for p, s in REQUESTS] + [("/products/2", 200)]))
        self.assertEqual([r for r in self.requests if r["kind"] != "http"], [])
        for r in web:
            self.assertEqual(r["method"], "GET")
        self.assertRegex(self.summary, r"Requests: 8 web \(6 2xx, 1 4xx, 1 5xx\)")

    def test_the_n_plus_one_endpoint_has_every_statement_with_its_parameter(self):
        orders = self.web("/orders")[0]
        self.assertEqual(orders["sqlCount"], 9)
        texts = [s["text"] for s in orders["sql"]]
        self.assertEqual(texts[0], "SELECT id, customer FROM orders ORDER BY id")
        self.assertEqual(texts[1:], ["SELECT count(*) FROM order_lines WHERE order_id = @OrderId"] * 8)
        self.assertIn("n_plus_one", orders["findings"])
        note = next(n["text"] for n in orders["notes"] if n["finding"] == "n_plus_one")
        self.assertIn("ran 8 times", note)
        self.assertEqual([s["parameters"] for s in orders["sql"][1:]],
                         [[{"name": "OrderId", "value": str(i)}] for i in range(1, 9)])
        for s in orders["sql"]:
            self.assertEqual(s["system"], "postgresql")
            self.assertEqual(s["database"], "qxtest")
            self.assertTrue(s["server"].startswith("127.0.0.1:"), s)
        # Awaits in the loop: its statements ran after the request's first thread let go.
        self.assertGreaterEqual(orders["continuations"], 1)

    def test_a_slow_statement_is_timed_to_its_end_and_flagged(self):
        report = self.web("/report")[0]
        self.assertGreaterEqual(report["durationMs"], 200)
        sleep = [s for s in report["sql"] if "pg_sleep" in s["text"]]
        self.assertEqual(len(sleep), 1, report["sql"])
        # Timed to the end of its task, not to the return of the call that sent it.
        self.assertGreaterEqual(sleep[0]["durationMs"], 195)
        self.assertEqual(sleep[0]["findings"], ["slow_sql"])
        self.assertIn("slow_sql", report["findings"])
        self.assertGreaterEqual(len(report["threads"]), 1)
        self.assertGreaterEqual(report["continuations"], 1)

    def test_the_exception_says_what_it_is_and_that_it_left_the_request(self):
        boom = self.web("/boom")[0]
        self.assertEqual(boom["status"], 500)
        self.assertEqual(len(boom["exceptions"]), 1, boom["exceptions"])
        e = boom["exceptions"][0]
        self.assertEqual(e["thrownIn"], "Shop.Store.Database::Refuse")
        self.assertEqual(e["type"], "System.InvalidOperationException")
        self.assertEqual(e["message"], "order refused: stock is gone")
        self.assertTrue(e["leftRequest"])
        self.assertIn("failed", boom["findings"])

    def test_redis_and_outgoing_http_calls_belong_to_their_requests(self):
        first, second = self.web("/products/1")
        for r in (first, second):
            keys = [c["key"] for c in r["redis"] if c["command"] == "StringGetAsync"]
            self.assertEqual(keys, ["product:1"], r["redis"])
        # The first missed the cache: it read the database and filled the cache, both after awaits.
        self.assertEqual([s["text"] for s in first["sql"]], ["SELECT name FROM products WHERE id = @id"])
        self.assertEqual(first["sql"][0]["parameters"], [{"name": "id", "value": "1"}])
        self.assertEqual(first["sql"][0]["inlined"], "SELECT name FROM products WHERE id = 1")
        self.assertIn("StringSetAsync", [c["command"] for c in first["redis"]])
        self.assertEqual(second["sql"], [])
        proxy = self.web("/proxy")[0]
        self.assertEqual(len(proxy["http"]), 1, proxy["http"])
        self.assertTrue(proxy["http"][0]["url"].endswith("/products/2"), proxy["http"])
        self.assertEqual(proxy["sql"], [], "the called request's statement is not the caller's")
        self.assertEqual((proxy["http"][0]["method"], proxy["http"][0]["status"]), ("GET", 200))
        # The called request's Redis read is its own.
        self.assertIn("StringGetAsync", [c["command"] for c in self.web("/products/2")[0]["redis"]])

    def test_otlp_has_one_named_trace_per_request_with_its_status(self):
        roots = [s for s in self.spans if not s.get("parentSpanId") and s["name"].startswith("GET ")]
        names = sorted(s["name"] for s in roots)
        self.assertEqual(names, sorted("GET " + p for p, _ in REQUESTS + [("/products/2", 200)]))
        by_trace = {}
        for s in self.spans:
            by_trace.setdefault(s["traceId"], []).append(s)
        ids = {s["spanId"] for s in self.spans}
        for root in roots:
            a = attributes(root)
            if root["name"] not in ("GET /proxy", "GET /products/2"):
                self.assertIn("http.response.status_code", a, root["name"])
            members = by_trace[root["traceId"]]
            self.assertEqual([s for s in members if s.get("parentSpanId") and s["parentSpanId"] not in ids], [])
            self.assertEqual([s for s in members if not s.get("parentSpanId")], [root])
        orders = next(r for r in roots if r["name"] == "GET /orders")
        statements = [s for s in by_trace[orders["traceId"]] if "db.query.text" in attributes(s)
                      and s.get("parentSpanId") == orders["spanId"]]
        self.assertGreaterEqual(len(statements), 1)
        boom = next(r for r in roots if r["name"] == "GET /boom")
        self.assertEqual(int(attributes(boom)["http.response.status_code"]), 500)
        events = [e for e in boom.get("events", []) if e["name"] == "exception"]
        self.assertEqual(len(events), 1)
        self.assertEqual(attributes(events[0])["exception.type"], "System.InvalidOperationException")
        self.assertEqual(attributes(events[0])["exception.message"], "order refused: stock is gone")
        report = next(r for r in roots if r["name"] == "GET /report")
        for sleep in [s for s in by_trace[report["traceId"]]
                      if s["kind"] == 3 and "pg_sleep" in attributes(s).get("db.query.text", "")]:
            self.assertGreaterEqual((int(sleep["endTimeUnixNano"]) - int(sleep["startTimeUnixNano"])) / 1e6, 195)


if __name__ == "__main__":
    unittest.main()
