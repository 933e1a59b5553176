"""quorix-collect --otlp against a real OTLP/HTTP receiver: the sample app, a Kestrel app and the
real-peers app run with the agent, the collector exports their calls as spans, and the tests read
back through the receiver's telemetry API what it stored, comparing it with the call trees the
collector printed."""

import gzip
import http.server
import json
import os
import re
import signal
import ssl
import subprocess
import threading
import time
import unittest
import urllib.request

import dashboard
import peers
from harness import AgentTestCase, BUILD_DIR, COLLECTOR, ENGINE, agent_env, app_dll, clean_env, free_port, run_app

REPO = peers.REPO
QUICKSTART = os.path.join(BUILD_DIR, "samples", "QuickStart", "QuickStart.dll")
WEB = os.path.join(BUILD_DIR, "bench", "Web", "Web.dll")
QUORIX_RUN = os.path.join(BUILD_DIR, "tools", "collector", "quorix-run")
PROCESS = "QuickStart.Orders.OrderProcessor::Process"
VALIDATE = "QuickStart.Orders.OrderProcessor::Validate"
REQUEST_ENTRY = "Microsoft.AspNetCore.Hosting.HostingApplication::ProcessRequestAsync"


def build_app(project, out_dir):
    """Builds a project outside tests/apps (the sample, the benchmark's web app); each caller has
    its own output folder, so that test classes running side by side do not build into each other."""
    name = os.path.basename(project)
    dll = os.path.join(out_dir, name + ".dll")
    done = subprocess.run(["dotnet", "build", project, "-c", "Release", "--nologo", "-v", "quiet", "-o", out_dir,
                           "-p:QxObjDir=%s-obj/" % out_dir],
                          capture_output=True, text=True, timeout=600, env=clean_env())
    if done.returncode != 0 or not os.path.exists(dll):
        raise AssertionError("could not build %s:\n%s%s" % (project, done.stdout[-3000:], done.stderr[-3000:]))
    return dll


class ExportingCollector:
    """quorix-collect over TCP with span export on; the summary (with call trees) goes to a file."""

    def __init__(self, workdir, otlp_url, *extra, env=None):
        self.port = free_port()
        self.ready = os.path.join(workdir, "ready-%d" % self.port)
        self.summary_path = os.path.join(workdir, "summary-%d.txt" % self.port)
        self.summary_file = open(self.summary_path, "w")
        self.json_path = os.path.join(workdir, "commands-%d.jsonl" % self.port)
        cmd = [COLLECTOR, "--transport", "tcp", "--port", str(self.port), "--ready-file", self.ready,
               "--tree-lines", "0", "--json", self.json_path] + (["--otlp", otlp_url] if otlp_url else []) + list(extra)
        self.process = subprocess.Popen(cmd, cwd=workdir, stdout=self.summary_file, stderr=subprocess.STDOUT,
                                        env=dict(clean_env(), **(env or {})))
        deadline = time.time() + 15
        while not os.path.exists(self.ready):
            if self.process.poll() is not None or time.time() > deadline:
                self.stop()
                with open(self.summary_path) as f:
                    raise RuntimeError("collector did not start: " + f.read())
            time.sleep(0.02)

    def env(self):
        return agent_env("tcp", self.port)

    def commands(self):
        with open(self.json_path, encoding="utf-8") as f:
            return [json.loads(line) for line in f if line.strip()]

    def stop(self):
        if self.process.poll() is None:
            time.sleep(0.3)
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.summary_file.close()
        with open(self.summary_path) as f:
            return f.read()


def export_counts(summary):
    m = re.search(r"otlp: (\d+) spans exported to \S+ \((\d+) requests, (\d+) retries\), (\d+) dropped "
                  r"\(export queue full\), (\d+) refused by the receiver, (\d+) not delivered", summary)
    if not m:
        raise AssertionError("no export line in the summary:\n" + summary)
    keys = ("exported", "requests", "retries", "dropped", "refused", "not_delivered")
    counts = dict(zip(keys, map(int, m.groups())))
    left = re.search(r"(\d+) calls ended: (\d+) became spans, (\d+) left out", summary)
    counts["calls"], counts["spans"], counts["left_out"] = map(int, left.groups())
    return counts


def tree_relations(summary):
    """(parent, child) name pairs and all names of the call trees the collector printed."""
    pairs, names = set(), set()
    in_trees = False
    stack = []
    for line in summary.splitlines():
        if line.startswith("  call trees:"):
            in_trees = True
            continue
        if not in_trees:
            continue
        if line.startswith("  thread "):
            stack = []
            continue
        m = re.match(r"^( {4,})(\S.*)$", line)
        if not m or m.group(2).startswith("!") or m.group(2).startswith("..."):
            continue
        depth = (len(m.group(1)) - 4) // 2
        name = re.match(r"[^\s(]+", m.group(2)).group(0)
        stack = stack[:depth] + [name]
        names.add(name)
        if depth > 0:
            pairs.add((stack[depth - 1], name))
    return pairs, names


def stream_relations(commands):
    """(parent, child) name pairs of every call in a JSON command stream, replayed per thread."""
    pairs, stacks = set(), {}
    for c in commands:
        if c["type"] not in (1, 2, 5):
            continue
        stack = stacks.setdefault((c["pid"], c["tid"]), [])
        name = c.get("function", "function#%d" % c["functionId"])
        if c["type"] == 1:
            pairs.add((stack[-1] if stack else None, name))
            stack.append(name)
        elif name in stack[-256:]:
            while stack.pop() != name:
                pass
    return pairs


def wait_for_spans(receiver, service, at_least, timeout=30):
    deadline = time.time() + timeout
    while True:
        spans = receiver.spans(service)
        if len(spans) >= at_least or time.time() > deadline:
            return spans
        time.sleep(0.3)


def report_data(path):
    """The data the HTML report's script draws from."""
    with open(path, encoding="utf-8") as f:
        page = f.read()
    m = re.search(r'<script type="application/json" id="qx-data">(.*?)</script>', page, re.S)
    if not m:
        raise AssertionError("no data in the report " + path)
    return json.loads(m.group(1))


def duration_us(span):
    return (int(span["endTimeUnixNano"]) - int(span["startTimeUnixNano"])) / 1000.0


class OtlpCase(AgentTestCase):
    receiver = None

    @classmethod
    def setUpClass(cls):
        try:
            cls.receiver = dashboard.Dashboard()
        except dashboard.ReceiverUnavailable as e:
            raise AssertionError(str(e))

    @classmethod
    def tearDownClass(cls):
        if cls.receiver:
            cls.receiver.stop()

    def assertTreeShape(self, spans, summary=None, commands=None):
        """Parents are the calls the printed tree (or the command stream) has above them; one
        trace per root call."""
        by_id = {s["spanId"]: s for s in spans}
        pairs = stream_relations(commands) if commands is not None else tree_relations(summary)[0]
        for s in spans:
            parent_id = s.get("parentSpanId")
            if not parent_id:
                continue
            self.assertIn(parent_id, by_id, "the parent of %s was not exported" % s["name"])
            parent = by_id[parent_id]
            self.assertEqual(parent["traceId"], s["traceId"], s["name"])
            if parent["attrs"].get("quorix.request.kind") == "http" or s["attrs"].get("quorix.request.piece"):
                # A piece of a web request (where it began, a continuation on any thread, a
                # statement) hangs under the request's own span, which no call of the stream is.
                self.assertLessEqual(int(parent["startTimeUnixNano"]), int(s["startTimeUnixNano"]))
                continue
            self.assertEqual(parent["attrs"]["thread.id"], s["attrs"]["thread.id"])
            self.assertLessEqual(int(parent["startTimeUnixNano"]), int(s["startTimeUnixNano"]))
            self.assertGreaterEqual(int(parent["endTimeUnixNano"]), int(s["endTimeUnixNano"]))
            self.assertTrue((parent["name"], s["name"]) in pairs,
                            "%s is not called by %s" % (s["name"], parent["name"]))
        roots = [s for s in spans if not s.get("parentSpanId")]
        self.assertEqual(len({s["traceId"] for s in roots}), len(roots), "one trace per root call")


class SampleAndWeb(OtlpCase):
    def test_sample_app_spans_match_the_call_trees(self):
        build_app(os.path.join(REPO, "samples", "QuickStart"), os.path.dirname(QUICKSTART))
        collector = ExportingCollector(self.workdir, self.receiver.otlp_url)
        result = run_app([QUICKSTART], collector.env(), self.workdir)
        summary = collector.stop()
        self.assertEqual(result.returncode, 0, result.stderr)
        counts = export_counts(summary)
        self.assertGreater(counts["exported"], 0, summary)
        self.assertEqual((counts["dropped"], counts["refused"], counts["not_delivered"]), (0, 0, 0), summary)
        self.assertGreater(counts["left_out"], 0, "calls under 1 ms must be left out:\n" + summary)

        # Without --service-name the process is named after the app's assembly.
        self.assertIn("QuickStart", [r["name"] for r in self.receiver.resources()])
        pid = re.search(r"pid (\d+)  runtime", summary).group(1)
        spans = [s for s in wait_for_spans(self.receiver, "QuickStart", counts["exported"])
                 if s["resource"].get("process.pid") == pid]
        self.assertEqual(len(spans), counts["exported"])
        resource = spans[0]["resource"]
        self.assertEqual(resource["service.name"], "QuickStart")
        self.assertRegex(resource["process.runtime.description"], r"^\.NET")
        self.assertEqual(resource["quorix.host_type"], "DOTNET_CORE")

        self.assertTreeShape(spans, summary)
        names = {s["name"] for s in spans}
        self.assertIn(PROCESS, names)
        for s in spans:
            self.assertEqual(s["attrs"]["code.function.name"], s["name"].replace("::", "."))
            self.assertTrue(s["name"].startswith(s["attrs"]["code.namespace"] + "::"))
        # Order 3 has no amount: Validate raises, both calls are left by the exception.
        failed = [s for s in spans if (s.get("status") or {}).get("code") == 2]
        self.assertEqual(sorted(s["name"] for s in failed), [PROCESS, VALIDATE])
        for s in failed:
            self.assertEqual([e["name"] for e in s.get("events", [])], ["exception"])
        validate = next(s for s in failed if s["name"] == VALIDATE)
        self.assertEqual(next(s for s in failed if s["name"] == PROCESS)["spanId"], validate["parentSpanId"])
        # A span under 1 ms is there only for a reason: an error or an exported call inside it.
        parents = {s.get("parentSpanId") for s in spans}
        for s in spans:
            if duration_us(s) < 1000:
                self.assertTrue(s in failed or s["spanId"] in parents, s["name"])

    def test_quorix_run_passes_the_export_on_and_the_report_lists_lost_spans(self):
        build_app(os.path.join(REPO, "samples", "QuickStart"), os.path.dirname(QUICKSTART))

        def run(otlp_url, report):
            return subprocess.run([QUORIX_RUN, "--transport", "tcp", "--port", str(free_port()), "--no-tree",
                                   "--engine", ENGINE or "hooks", "--otlp", otlp_url, "--service-name", "qx-run", "--otlp-min-duration", "0",
                                   "--report", report, "--", "dotnet", QUICKSTART],
                                  cwd=self.workdir, env=clean_env(), capture_output=True, text=True, timeout=180)

        delivered = run(self.receiver.otlp_url, os.path.join(self.workdir, "delivered.html"))
        self.assertEqual(delivered.returncode, 0, delivered.stderr)
        counts = export_counts(delivered.stderr)
        self.assertEqual((counts["dropped"], counts["refused"], counts["not_delivered"]), (0, 0, 0), delivered.stderr)
        self.assertEqual(counts["left_out"], 0, delivered.stderr)
        spans = wait_for_spans(self.receiver, "qx-run", counts["exported"])
        self.assertEqual(len(spans), counts["exported"])
        self.assertIn(PROCESS, {s["name"] for s in spans})
        # quorix-run asks the agent for the exceptions' details: the event says what was thrown.
        raised = [dashboard.attributes(e.get("attributes")) for s in spans if s["name"] == VALIDATE
                  for e in s.get("events", [])]
        self.assertIn({"exception.type": "System.ArgumentException", "exception.message": "order 3 has no amount"},
                      [{k: v for k, v in e.items() if k.startswith("exception.")} for e in raised])
        data = report_data(os.path.join(self.workdir, "delivered.html"))["summary"]
        self.assertIn("otlp: %d spans exported" % counts["exported"], data["text"])
        self.assertFalse([line for line in data["drops"] if "otlp" in line], data["drops"])

        # Nobody listens: what could not be sent by the exit deadline is in the report's drops.
        lost = run("http://127.0.0.1:%d" % free_port(), os.path.join(self.workdir, "lost.html"))
        self.assertEqual(lost.returncode, 0, lost.stderr)
        counts = export_counts(lost.stderr)
        self.assertEqual(counts["exported"], 0, lost.stderr)
        self.assertGreater(counts["dropped"] + counts["not_delivered"], 0, lost.stderr)
        drops = report_data(os.path.join(self.workdir, "lost.html"))["summary"]["drops"]
        self.assertIn("otlp spans not exported: %d dropped (export queue full), 0 refused by the receiver, %d not "
                      "delivered by the exit deadline" % (counts["dropped"], counts["not_delivered"]), drops)
        self.assertTrue(any(line.startswith("last export error: ") for line in drops), drops)

    def test_kestrel_request_is_a_trace_with_its_path(self):
        build_app(os.path.join(REPO, "bench", "Web"), os.path.dirname(WEB))
        collector = ExportingCollector(self.workdir, self.receiver.otlp_url, "--service-name", "qx-web",
                                       "--otlp-min-duration", "0")
        port = free_port()
        app = subprocess.Popen(["dotnet", WEB, "--urls", "http://127.0.0.1:%d" % port], env=collector.env(),
                               cwd=self.workdir, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            bodies = {}
            deadline = time.time() + 60
            for path in ("/orders/7?colour=red", "/report?size=3"):
                while True:
                    try:
                        request = urllib.request.Request("http://127.0.0.1:%d%s" % (port, path),
                                                         headers={"Connection": "close"})
                        with urllib.request.urlopen(request, timeout=30) as response:
                            bodies[path] = (response.status, response.read().decode())
                        break
                    except OSError:
                        if time.time() > deadline or app.poll() is not None:
                            raise
                        time.sleep(0.2)
        finally:
            app.send_signal(signal.SIGTERM)
            app.communicate(timeout=60)
        summary = collector.stop()
        self.assertEqual(bodies["/orders/7?colour=red"][0], 200)
        counts = export_counts(summary)
        self.assertEqual((counts["dropped"], counts["refused"], counts["not_delivered"]), (0, 0, 0), summary)
        self.assertEqual(counts["left_out"], 0, "--otlp-min-duration 0 exports every call")

        spans = wait_for_spans(self.receiver, "qx-web", counts["exported"])
        self.assertEqual(len(spans), counts["exported"])
        self.assertTreeShape(spans, commands=collector.commands())
        # Each request is a trace whose root is the request's own span.
        requests = [s for s in spans if s["attrs"].get("quorix.request.kind") == "http"]
        self.assertEqual(sorted(s["attrs"].get("url.path") for s in requests), ["/orders/7", "/report"])
        for r in requests:
            self.assertNotIn("parentSpanId", r, "an incoming request begins its own trace")
            self.assertEqual(r["name"], "GET " + r["attrs"]["url.path"])
            entry = [s for s in spans if s["name"] == REQUEST_ENTRY and s["traceId"] == r["traceId"]]
            self.assertEqual([e.get("parentSpanId") for e in entry], [r["spanId"]])
            self.assertEqual(r["attrs"].get("http.response.status_code"), "200")
            self.assertEqual(r["attrs"].get("http.request.method"), "GET")
        orders = next(r for r in requests if r["attrs"]["url.path"] == "/orders/7")
        in_trace = {s["name"] for s in spans if s["traceId"] == orders["traceId"]}
        self.assertIn("BenchWeb.Shop.OrderService::Quote", in_trace)
        self.assertIn("BenchWeb.Shop.PriceRules::Tax", in_trace)
        self.assertNotIn("BenchWeb.Shop.ReportService::TopSellers", in_trace)
        # The thread pool's dispatch loop is not a span.
        self.assertNotIn("System.Threading.ThreadPoolWorkQueue::Dispatch", {s["name"] for s in spans})


class PeersExport(OtlpCase):
    def test_sql_redis_and_http_values_become_attributes(self):
        if os.environ.get("QX_SKIP_PEERS") == "1":
            self.skipTest("QX_SKIP_PEERS=1")
        servers = peers.Servers()
        http = peers.HttpServer()
        try:
            collector = ExportingCollector(self.workdir, self.receiver.otlp_url, "--service-name", "qx-peers")
            # The agent would mask the passwords itself: let them through, so that the exporter's
            # own masking is what keeps them out of the receiver.
            env = dict(collector.env(), MORVEL_CAPTURE_SECRETS="true", **servers.env)
            env.update(QX_HTTP_URL=http.url, QX_SLEEP_MS="137")
            result = run_app([app_dll("Peers"), "run"], env, self.workdir, timeout=180)
            summary = collector.stop()
        finally:
            http.stop()
            servers.stop()
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        counts = export_counts(summary)
        self.assertEqual((counts["dropped"], counts["refused"], counts["not_delivered"]), (0, 0, 0), summary)
        spans = wait_for_spans(self.receiver, "qx-peers", counts["exported"])
        self.assertEqual(len(spans), counts["exported"])
        self.assertTreeShape(spans, commands=collector.commands())

        def values(key):
            return [s["attrs"][key] for s in spans if key in s["attrs"]]

        queries = set(zip(values("db.system.name"), values("db.query.text")))
        for system in ("postgresql", "mysql"):
            for text in ("INSERT INTO qx_items (id, name) VALUES (@id, @name)",
                         "SELECT COUNT(*) FROM qx_items WHERE id >= @min"):
                self.assertIn((system, text), queries)
        # The calls that run the commands carry their texts too.
        executed = {(s["attrs"]["db.system.name"], s["attrs"]["db.query.text"]) for s in spans
                    if "::Execute" in s["name"] and "db.query.text" in s["attrs"]}
        for system in ("postgresql", "mysql"):
            self.assertIn((system, "INSERT INTO qx_items (id, name) VALUES (@id, @name)"), executed)
            self.assertIn((system, "SELECT name FROM qx_items WHERE id = @id"), executed)  # through DbCommand
        self.assertTrue({"qx:greeting", "qx:counter", "qx:hash", "qx:list", "qx:async"} <= set(values("quorix.redis.key")))
        self.assertIn("redis", values("db.system.name"))
        urls = values("url.full")
        self.assertIn(http.url + "/items/7?colour=blue", urls)
        self.assertIn("127.0.0.1", values("server.address"))
        self.assertIn("qxtest", values("db.namespace"))
        sleeps = [s for s in spans if s["attrs"].get("quorix.arg.millisecondsTimeout") == "137"]
        self.assertTrue(sleeps and duration_us(sleeps[0]) >= 137000)
        # Connection strings go out with the password masked, though the collector got it in clear.
        self.assertIn(peers.DB_PASSWORD, json.dumps(collector.commands()))
        self.assertNotIn(peers.DB_PASSWORD, json.dumps(spans))
        self.assertTrue(any("Password=***" in v for v in values("quorix.db.connection_string")))


class TlsGzipReceiver:
    """An https receiver on 127.0.0.1 that takes gzip bodies and keeps each request, decoded."""

    def __init__(self, certificate):
        requests = self.requests = []

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_POST(self):
                body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
                if self.headers.get("Content-Encoding") == "gzip":
                    body = gzip.decompress(body)
                requests.append((dict(self.headers), body))
                self.send_response(200)
                self.send_header("Content-Type", "application/x-protobuf")
                self.send_header("Content-Length", "0")
                self.end_headers()

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(*certificate)
        self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
        self.url = "https://127.0.0.1:%d" % self.server.server_port
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


def protoc_decode(body):
    """The request as protoc's text format, decoded with the OTLP definitions."""
    root = os.path.join(REPO, "third_party", "opentelemetry-proto")
    done = subprocess.run(["protoc", "-I", root, "--decode=opentelemetry.proto.collector.trace.v1.ExportTraceServiceRequest",
                           "opentelemetry/proto/collector/trace/v1/trace_service.proto"],
                          input=body, capture_output=True, cwd=root, timeout=60)
    if done.returncode != 0:
        raise AssertionError("protoc could not decode the request: " + done.stderr.decode(errors="replace"))
    return done.stdout.decode()


class Configurations(OtlpCase):
    """The receiver as users run it: plain HTTP with JSON, HTTPS with a certificate of its own and
    protobuf, API-key authentication. Each run of the sample app is read back from the receiver."""

    @classmethod
    def setUpClass(cls):
        cls.receiver = None

    def run_sample(self, receiver_url, service, *extra, env=None):
        build_app(os.path.join(REPO, "samples", "QuickStart"), os.path.dirname(QUICKSTART))
        collector = ExportingCollector(self.workdir, receiver_url, "--service-name", service, *extra, env=env)
        result = run_app([QUICKSTART], collector.env(), self.workdir)
        summary = collector.stop()
        self.assertEqual(result.returncode, 0, result.stderr)
        return summary

    def assertDelivered(self, receiver, service, summary, protocol):
        counts = export_counts(summary)
        self.assertGreater(counts["exported"], 0, summary)
        self.assertEqual((counts["dropped"], counts["refused"], counts["not_delivered"]), (0, 0, 0), summary)
        self.assertIn("  %s: " % protocol, summary)
        spans = wait_for_spans(receiver, service, counts["exported"])
        self.assertEqual(len(spans), counts["exported"])
        self.assertIn(PROCESS, {s["name"] for s in spans})
        self.assertEqual(spans[0]["resource"]["service.name"], service)
        return spans

    def test_plain_http_with_json(self):
        receiver = dashboard.Dashboard()
        try:
            summary = self.run_sample(receiver.otlp_url, "qx-json", "--otlp-protocol", "http/json")
            self.assertDelivered(receiver, "qx-json", summary, "http/json")
        finally:
            receiver.stop()

    def test_https_with_a_certificate_of_its_own_protobuf_and_gzip(self):
        certificate = dashboard.make_certificate(self.workdir)
        receiver = dashboard.Dashboard(certificate=certificate)
        try:
            # The system's store does not know the certificate: nothing goes through, and the
            # summary says why.
            refused = self.run_sample(receiver.otlp_url, "qx-untrusted")
            counts = export_counts(refused)
            self.assertEqual(counts["exported"], 0, refused)
            self.assertGreater(counts["not_delivered"], 0, refused)
            self.assertRegex(refused, r"last export error: .*certificate")
            # Trusted through the variable, with the endpoint from the variables too.
            summary = self.run_sample(None, "qx-https", env={"OTEL_EXPORTER_OTLP_ENDPOINT": receiver.otlp_url,
                                                              "OTEL_EXPORTER_OTLP_CERTIFICATE": certificate[0]})
            spans = self.assertDelivered(receiver, "qx-https", summary, "http/protobuf")
            self.assertTreeShape(spans, summary)
        finally:
            receiver.stop()
        # This dashboard does not take gzip bodies; a receiver that does gets the same request,
        # decoded by protoc with the OTLP definitions.
        tls = TlsGzipReceiver(certificate)
        try:
            summary = self.run_sample(tls.url, "qx-gzip", "--otlp-compression", "gzip", "--otlp-certificate",
                                      certificate[0])
        finally:
            tls.stop()
        counts = export_counts(summary)
        self.assertEqual((counts["refused"], counts["not_delivered"]), (0, 0), summary)
        self.assertIn("http/protobuf, gzip:", summary)
        self.assertTrue(tls.requests, summary)
        headers, _ = tls.requests[0]
        self.assertEqual(headers.get("Content-Encoding"), "gzip")
        self.assertEqual(headers.get("Content-Type"), "application/x-protobuf")
        self.assertRegex(headers.get("User-Agent", ""), r"^quorix-collect/\d")
        text = "".join(protoc_decode(body) for _, body in tls.requests)
        self.assertEqual(text.count("\n    spans {"), counts["exported"], text[:2000])
        self.assertIn('name: "%s"' % PROCESS, text)
        self.assertIn('string_value: "qx-gzip"', text)

    def test_api_key_authentication(self):
        receiver = dashboard.Dashboard(api_key="right-key-7")
        try:
            wrong = self.run_sample(receiver.otlp_url, "qx-wrong-key", "--otlp-header", "x-otlp-api-key=wrong-key-3")
            counts = export_counts(wrong)
            self.assertEqual(counts["exported"], 0, wrong)
            self.assertGreater(counts["refused"], 0, wrong)
            self.assertIn("HTTP 401", wrong)
            self.assertNotIn("wrong-key-3", wrong)
            self.assertFalse(receiver.spans("qx-wrong-key"))
            right = self.run_sample(receiver.otlp_url, "qx-right-key",
                                    env={"OTEL_EXPORTER_OTLP_HEADERS": "x-otlp-api-key=right-key-7"})
            self.assertNotIn("right-key-7", right)
            self.assertDelivered(receiver, "qx-right-key", right, "http/protobuf")
        finally:
            receiver.stop()


class ReceiverLater(OtlpCase):
    """The receiver is down while the first process runs and comes up before the second."""

    @classmethod
    def setUpClass(cls):
        cls.receiver = None

    def test_batches_reach_a_receiver_that_starts_later(self):
        quickstart = build_app(os.path.join(REPO, "samples", "QuickStart"),
                               os.path.join(BUILD_DIR, "otlp-apps", "QuickStart-later"))
        port = free_port()
        collector = ExportingCollector(self.workdir, "http://127.0.0.1:%d" % port, "--service-name", "qx-later")
        receiver = None
        try:
            first = run_app([quickstart], collector.env(), self.workdir)
            time.sleep(2)  # at least one batch is due and fails
            receiver = dashboard.Dashboard(otlp_port=port)
            second = run_app([quickstart], collector.env(), self.workdir)
            self.assertEqual((first.returncode, second.returncode), (0, 0))
            spans = wait_for_spans(receiver, "qx-later", 20)
            summary = collector.stop()
            counts = export_counts(summary)
            self.assertGreater(counts["retries"], 0, summary)
            self.assertEqual((counts["dropped"], counts["refused"], counts["not_delivered"]), (0, 0, 0), summary)
            spans = wait_for_spans(receiver, "qx-later", counts["exported"])
            self.assertEqual(len(spans), counts["exported"])
            pids = re.findall(r"pid (\d+)  runtime", summary)
            self.assertEqual(len(pids), 2)
            self.assertEqual({s["resource"]["process.pid"] for s in spans}, set(pids))
        finally:
            if collector.process.poll() is None:
                collector.stop()
            if receiver:
                receiver.stop()


if __name__ == "__main__":
    unittest.main()
