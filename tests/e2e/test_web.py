"""A web service on Kestrel (minimal API and an MVC controller) driven by real HTTP requests with
the agent loaded: the collector sees each request's method, path, query string, host and status,
the request's calls with the app's own methods under the server's, the URLs the app's HttpClient
asks for (absolute and relative to a base address), and the exception a handler throws. The same
run's HTML report opens on its requests in a real browser."""

import http.client
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from coverage_table import CoverageChecks, Stream
from harness import (ENGINE, FINAL_LINE, RUNTIME, AgentTestCase, Collector, agent_env, app_command, app_dll, free_port,
                     runtime_version)
import monitored_rows
import viewers

WEB = app_dll("WebShop")
COVERAGE_DOC = os.path.join(os.path.dirname(__file__), "..", "..", "docs", "coverage.md")
# Entries that exist in this framework but that the app does not reach, and why.
NOT_REACHED = {
    ("Microsoft.AspNetCore.Http.HostString", "FromUriComponent"): "Kestrel validates the Host header itself",
    ("Microsoft.AspNetCore.Diagnostics.ExceptionHandlerMiddleware", "Invoke"): "the app adds no exception handler",
    ("Microsoft.AspNetCore.Diagnostics.DeveloperExceptionPageMiddleware", "Invoke"):
        "the developer exception page is on in the Development environment only",
    ("Microsoft.AspNetCore.Mvc.ViewResult", "ExecuteResultAsync"): "the app renders no views",
    ("Microsoft.AspNetCore.Mvc.JsonResult", "ExecuteResultAsync"): "the controller returns objects, not JsonResult",
    ("Microsoft.AspNetCore.Routing.RouteHandler", "RouteAsync"): "endpoint routing does not use route handlers",
    ("Microsoft.AspNetCore.Server.Kestrel.Core.Internal.Http.Http1Connection", "ValidateNonOriginHostHeader"):
        "only for absolute-form request targets (proxies)",
    ("Microsoft.AspNetCore.Server.Kestrel.Core.Internal.Http.HttpProtocol", "get_MethodText"):
        "the request feature's Method is read instead",
    ("Microsoft.AspNetCore.Server.Kestrel.Core.Internal.Http.HttpProtocol", "get_Scheme"):
        "the request feature's Scheme is read instead",
}
BEGIN, END, RAISED, UNWIND, METHOD_INFO = 1, 2, 4, 5, 3
KESTREL = "Microsoft.AspNetCore.Server.Kestrel.Core.Internal.Http."
PROTOCOL = KESTREL + "HttpProtocol::"
REQUEST_FEATURE = "Microsoft.AspNetCore.Http.Features.IHttpRequestFeature."
HOST = "shop.example:8080"

# (method, target, body, expected status); the Host header of every request is HOST.
REQUESTS = [
    ("GET", "/orders/3?currency=EUR", None, 200),
    ("POST", "/orders", {"id": 5, "currency": "USD"}, 201),
    ("GET", "/api/catalogue/items?page=3", None, 200),
    ("GET", "/api/catalogue/items/99", None, 404),
    ("GET", "/fail?reason=stock", None, 500),
    ("GET", "/fetch", None, 200),
]


class Call:
    def __init__(self, begin, parents):
        self.begin = begin
        self.parents = parents  # names of the frames open beneath it on its thread, outermost first
        self.end = None
        self.unwound = False
        self.args = {a["name"]: a for a in begin.get("args", [])}

    @property
    def returned(self):
        return self.end.get("returnValue") if self.end else None


def walk(test, commands):
    """function name -> calls; every begin is closed by an end or an unwind, properly nested."""
    calls, stacks = {}, {}
    for c in commands:
        tid = c.get("tid")
        if c["type"] == BEGIN:
            stack = stacks.setdefault(tid, [])
            call = Call(c, [s.begin.get("function", "") for s in stack])
            calls.setdefault(c.get("function", str(c["functionId"])), []).append(call)
            stack.append(call)
        elif c["type"] in (END, UNWIND):
            stack = stacks.get(tid, [])
            test.assertTrue(stack, "end without begin: %r" % c)
            call = stack.pop()
            test.assertEqual(call.begin["functionId"], c["functionId"], "frames not nested: %r" % c)
            call.end = c
            call.unwound = c["type"] == UNWIND
    return calls


def send(port, method, target, body):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        connection.putrequest(method, target, skip_host=True)
        connection.putheader("Host", HOST)
        data = json.dumps(body).encode() if body is not None else b""
        if body is not None:
            connection.putheader("Content-Type", "application/json")
        connection.putheader("Content-Length", str(len(data)))
        connection.endheaders(data)
        response = connection.getresponse()
        response.read()
        return response.status
    finally:
        connection.close()


class WebService(CoverageChecks, AgentTestCase):
    """One profiled run of the web shop, shared by the tests of this class."""

    served = None
    not_reached = NOT_REACHED

    @classmethod
    def setUpClass(cls):
        cls.shared = tempfile.mkdtemp(prefix="qx-web-")
        port, app_port = free_port(), free_port()
        cls.report = os.path.join(cls.shared, "web-report.html")
        collector = Collector(cls.shared, "tcp", port, extra=["--report", cls.report])
        app = subprocess.Popen(app_command([WEB, "--urls", "http://127.0.0.1:%d" % app_port]),
                               env=agent_env("tcp", port), cwd=cls.shared, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
        statuses = []
        try:
            ready = app.stdout.readline()
            if ready.strip() != "ready":
                raise AssertionError("the web app did not start: %r %s" % (ready, app.stderr.read()))
            statuses = [send(app_port, m, t, b) for m, t, b, _ in REQUESTS]
        finally:
            app.send_signal(signal.SIGTERM)
            try:
                out, err = app.communicate(timeout=60)
            except subprocess.TimeoutExpired:
                app.kill()
                out, err = app.communicate()
            commands = collector.stop()
        cls.app_port = app_port
        cls.served = {"statuses": statuses, "returncode": app.returncode, "stdout": "ready\n" + out, "stderr": err,
                   "commands": commands}

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.shared, ignore_errors=True)

    def setUp(self):
        super().setUp()
        self.calls = walk(self, self.served["commands"])
        self.stream = Stream(self.served["commands"])

    def values(self, function, argument):
        """The captured values of an argument (or of "returnValue") over every call of a function."""
        found = []
        for call in self.calls.get(function, []):
            record = call.returned if argument == "returnValue" else call.args.get(argument)
            if record is not None and "value" in record:
                found.append(record["value"])
        return found

    def test_requests_are_served_and_the_app_stops_cleanly(self):
        self.assertEqual(self.served["statuses"], [status for _, _, _, status in REQUESTS])
        self.assertEqual(self.served["returncode"], 0, self.served["stderr"])
        self.assertEqual(self.served["stdout"].splitlines().count(FINAL_LINE), 1)
        self.assertEqual(self.served["commands"][-1]["name"], "ProcessEnded")

    def test_each_request_shows_method_path_query_host_and_status(self):
        methods = self.values(PROTOCOL + REQUEST_FEATURE + "get_Method", "returnValue")
        self.assertEqual(sorted(set(methods)), ["GET", "POST"])
        paths = self.values(PROTOCOL + "set_Path", "value")
        for expected in ("/orders/3", "/orders", "/api/catalogue/items", "/api/catalogue/items/99", "/fail",
                         "/fetch", "/orders/7"):
            self.assertIn(expected, paths)
        queries = self.values(PROTOCOL + "set_QueryString", "value")
        for expected in ("?currency=EUR", "?page=3", "?reason=stock", "?currency=USD", "?page=2"):
            self.assertIn(expected, queries)
        hosts = self.values(KESTREL.replace("Http.", "Infrastructure.HttpUtilities::IsHostHeaderValid"), "hostText")
        self.assertIn(HOST, hosts)
        statuses = self.values(KESTREL + "ReasonPhrases::ToStatusBytes", "statusCode")
        self.assertTrue({200, 201, 404, 500} <= set(statuses), statuses)
        self.assertIn(201, self.values(PROTOCOL + "set_StatusCode", "value"))

    def test_request_call_tree_has_the_apps_methods_under_the_server(self):
        for function, inner in (("Shop.Web.Orders.OrderService::Quote", "Shop.Web.Orders.PriceRules::Tax"),
                                ("Shop.Web.Controllers.CatalogueController::Items",
                                 "Shop.Web.Catalogue.CatalogueService::Page")):
            calls = self.calls.get(function, [])
            self.assertTrue(calls, function + " not traced")
            for call in calls:
                self.assertIn("Microsoft.AspNetCore.Hosting.HostingApplication::ProcessRequestAsync", call.parents,
                                "%s not under a request: %r" % (function, call.parents))
            nested = [c for c in self.calls.get(inner, []) if function in c.parents]
            self.assertTrue(nested, inner + " not under " + function)
        for call in self.calls["Shop.Web.Controllers.CatalogueController::Items"]:
            self.assertIn("Microsoft.AspNetCore.Mvc.Infrastructure.ControllerActionInvoker::InvokeActionMethodAsync",
                          call.parents)
        # Three quotes: the minimal API's GET and POST, and the one the app fetched from itself.
        self.assertEqual(len(self.calls["Shop.Web.Orders.OrderService::Quote"]), 3)
        self.assertEqual(len(self.calls["Shop.Web.Controllers.CatalogueController::Item"]), 1)

    def test_outgoing_urls_absolute_and_relative_to_the_base_address(self):
        sent = []
        for call in self.calls.get("System.Net.Http.HttpMessageInvoker::SendAsync", []):
            request = call.args.get("request", {})
            sent += [f.get("value") for f in request.get("fields", []) if f["name"] == "Uri"]
        self.assertEqual(len(sent), 4, sent)
        # In the order the app sent them, although the second went out on another thread after an await.
        self.assertTrue(sent[0].endswith("/orders/7?currency=USD") and sent[0].startswith("http://127.0.0.1:"),
                        sent)
        self.assertTrue(sent[1].endswith("/api/catalogue/items?page=2") and sent[1].startswith("http://127.0.0.1:"),
                        sent)
        # As the app asked for them, before the base address is applied.
        asked = []
        for call in self.calls.get("System.Net.Http.HttpClient::PrepareRequestMessage", []):
            asked += [f.get("value") for f in call.args.get("request", {}).get("fields", [])]
        self.assertIn("catalogue/items?page=2", asked)

    def test_outgoing_requests_carry_their_method_and_status(self):
        commands = self.served["commands"]
        sent = {}
        for call in self.calls.get("System.Net.Http.HttpMessageInvoker::SendAsync", []):
            fields = {f["name"]: f.get("value") for f in call.args.get("request", {}).get("fields", [])}
            self.assertNotEqual(fields.get("RequestId"), 0, fields)
            self.assertTrue(call.end is not None and call.end["returnValue"]["value"], "the task is returned")
            sent[fields["RequestId"]] = (fields["Method"], fields["Uri"].split("/", 3)[3])
        # The status the handler set on each request's response names that request by its address;
        # a collection that moved the request on the way (it may, while the connection is made)
        # leaves its URL to tell it.
        by_id, by_uri = {}, {}
        for c in commands:
            if c["type"] == BEGIN and c.get("function") == \
                    "System.Net.Http.HttpResponseMessage::SetStatusCodeWithoutValidation":
                fields = {r["name"]: r.get("value") for r in c["args"]}
                by_id[fields["RequestId"]] = fields["value"]
                by_uri[fields["Uri"].split("/", 3)[3]] = fields["value"]
        answered = sorted((m, path, by_id.get(rid, by_uri.get(path))) for rid, (m, path) in sent.items())
        self.assertEqual(answered, [("GET", "api/catalogue/items?page=2", 200), ("GET", "missing", 404),
                                    ("GET", "orders/7?currency=USD", 200), ("POST", "fetch", 405)])
        self.assertGreaterEqual(len(set(sent) & set(by_id)), 2, "most requests are named by their address")

    def test_exception_in_a_handler_is_raised_and_unwinds_the_apps_frames(self):
        check = self.calls.get("Shop.Web.Orders.Validator::Check", [])
        self.assertEqual(len(check), 1)
        self.assertTrue(check[0].unwound)
        refuse = self.calls["Shop.Web.Orders.OrderService::Refuse"]
        self.assertTrue(refuse[0].unwound)
        tid = check[0].begin["tid"]
        raised = [c for c in self.served["commands"] if c["type"] == RAISED and c["tid"] == tid]
        self.assertTrue(raised)
        self.assertLess(self.served["commands"].index(check[0].begin), self.served["commands"].index(raised[0]))
        self.assertIn("/fail", self.values(PROTOCOL + "set_Path", "value"))

    # --- the report ---

    def test_report_opens_on_the_requests(self):
        data = viewers.report_data(self.report)
        found = viewers.work_requests(self, self.report, viewers.screenshot_path("WebShop"), "/fail", "/fetch")
        self.assertEqual(found["nav"][0], "#requests")
        self.assertEqual(found["firstSection"], "requests")
        rows = {r["path"]: r for r in found["rows"]}
        # /fetch is left out: the collector does not always see its status before it calls it done.
        for path, method, status in (("/orders/3?currency=EUR", "GET", "200"), ("/orders", "POST", "201"),
                                     ("/api/catalogue/items/99", "GET", "404"), ("/fail?reason=stock", "GET", "500"),
                                     ("/orders/7?currency=USD", "GET", "200")):
            self.assertIn(path, rows, found["rows"])
            self.assertEqual((rows[path]["method"], rows[path]["status"]), (method, status), found["rows"])
        self.assertIn("failed", rows["/fail?reason=stock"]["tags"])
        # The table's count of outgoing calls is the data's, for one of the two /fetch requests.
        self.assertIn(rows["/fetch"]["http"], [str(len(r["http"])) for r in data["requests"] if r["path"] == "/fetch"])
        # Sorting by duration, longest first, then shortest first, as the data has them.
        by_duration = [r["id"] for r in sorted(data["requests"], key=lambda r: -r["durationMs"])]
        self.assertEqual(found["sortState"], "descending")
        self.assertEqual(found["byDuration"], by_duration)
        self.assertEqual(found["sortStateAgain"], "ascending")
        self.assertEqual(found["byDurationAscending"][0], by_duration[-1])
        self.assertNotEqual(found["byDuration"], [r["id"] for r in found["rows"]])
        # Filters by finding, status class and text.
        self.assertEqual([r["path"] for r in found["failedRows"]], ["/fail?reason=stock"])
        paths = [r["path"] for r in found["rows4xx"]]
        for path in ("/api/catalogue/items/99", "/missing"):
            self.assertIn(path, paths)
        searched = {r["path"] for r in found["searchRows"]}
        self.assertTrue({"/api/catalogue/items?page=3", "/api/catalogue/items/99"} <= searched, searched)
        self.assertNotIn("/fail?reason=stock", searched)
        self.assertEqual(found["rowsAfterAll"], len(data["requests"]))
        # Grouped by endpoint, then one endpoint's requests alone.
        endpoints = {e[0]: e for e in found["endpoints"]}
        self.assertTrue(found["requestsTableHidden"])
        self.assertEqual(endpoints["GET /orders/{id}"][1], "2")
        self.assertEqual(endpoints["GET /fail"][2], "1")
        self.assertIn(found["endpoints"][0][0], found["endpointChip"])
        self.assertTrue(found["endpointRows"])
        self.check_opened_requests(data, found["opened"])
        self.check_sections_beside_the_requests(data, found)

    def check_opened_requests(self, data, opened):
        fail, fetch = opened["/fail"], opened["/fetch"]
        self.assertFalse(fail["hidden"])
        self.assertIn("/fail?reason=stock", fail["title"])
        self.assertGreater(fail["timelineCalls"], 0)
        self.assertIn("item exception failed", fail["timelineMarks"])
        self.assertIn("Shop.Web.Orders.Validator::Check", fail["exceptions"])
        self.assertIn("left the request", fail["exceptions"])
        # The finding with its explanation.
        self.assertIn("failed", fail["findings"])
        self.assertIn("it answered 500", fail["findings"])
        # One lane per thread the request reached, all on one time axis from its start. The app
        # also posts to /fetch (refused with 405): the page opened one of the two.
        marks = fetch["timelineMarks"].count("item http")
        candidates = [r for r in data["requests"] if r["path"] == "/fetch"]
        request = next((r for r in candidates if len(r["http"]) == marks), None)
        self.assertIsNotNone(request, (marks, [len(r["http"]) for r in candidates]))
        if request["method"] == "GET" and request["http"]:
            self.assertIn("/orders/7?currency=USD", fetch["http"])
        self.assertEqual(len(fetch["timelineLanes"]), len({c["tid"] for c in request["calls"]} | set(request["threads"])))
        self.assertTrue(fetch["timelineLanes"][0].endswith(" (where it began) — %d calls" % len(
            [c for c in request["calls"] if c["tid"] == request["threads"][0]])), fetch["timelineLanes"])
        self.assertLess(abs(fetch["laneStarts"][0]), 1)
        self.assertTrue(all(x >= 0 for x in fetch["laneStarts"] if x is not None), fetch["laneStarts"])

    def check_sections_beside_the_requests(self, data, found):
        # Each exception once, however often it was rethrown, with the request it left.
        self.assertEqual(found["exceptionRows"], len({e["id"] for e in data["exceptions"]}))
        self.assertIn("Shop.Web.Orders.Validator::Check", found["exceptionsText"])
        self.assertIn("GET /fail?reason=stock", found["exceptionsText"])
        # The async plumbing of the captured calls is collapsed until asked for.
        self.assertEqual(found["capturedPlumbingShown"], 0)
        self.assertGreater(found["capturedPlumbingAfterToggle"], 0)
        self.assertIn("rows of async plumbing collapsed", found["capturedNote"])

    @unittest.skipIf(ENGINE or RUNTIME, "the page's own speed: once per suite is enough")
    def test_report_stays_usable_with_10000_requests(self):
        big = os.path.join(self.shared, "web-report-10000.html")
        requests = viewers.synthetic_requests(10000)
        viewers.with_requests(self.report, requests, big)
        found = viewers.work_requests(self, big, viewers.screenshot_path("WebShop-10000"), requests[0]["path"])
        self.assertEqual(len(found["rows"]), 100)
        self.assertIn("10,000 of 10,000 requests", found["note"])
        self.assertEqual(found["timings"]["rowsInDom"], 100)
        longest = sorted(requests, key=lambda r: -r["durationMs"])[:100]
        self.assertEqual(found["byDuration"], [r["id"] for r in longest])
        self.assertEqual([r["path"] for r in found["failedRows"]][:5],
                         [r["path"] for r in requests if "failed" in r["findings"]][:5])
        self.assertGreater(found["opened"][requests[0]["path"]]["timelineCalls"], 0)
        # Figures for people, not assertions: a slower machine must not fail the test.
        sys.stderr.write("\n  10,000 requests (%.0f MB page): drawn in %d ms, %s\n" % (
            os.path.getsize(big) / 1e6, found["renderMs"], found["timings"]))

    def test_coverage_of_the_aspnet_core_entries(self):
        entries = monitored_rows.entries(monitored_rows.ASPNET_ROWS)
        reflection = self.reflect(WEB, entries)
        table = [self.coverage(entry, reflection.get(self.key(entry), {})) for entry in entries]
        if os.environ.get("QX_WRITE_COVERAGE") == "1":
            self.write_coverage(table)
        self.assertEqual(self.missing(table), [], "\n".join("%s::%s (%s)" % (r["class"], r["method"], r["argument"])
                                                           for r in self.missing(table)))
        # Today's Kestrel and HttpClient: each part of a request and the outgoing URL are captured.
        captured = {(r["class"].split(".")[-1], r["method"].split(".")[-1]) for r in table
                    if r["status"] == "fires, captured"}
        for entry in [("HttpProtocol", "set_Path"), ("HttpProtocol", "set_QueryString"), ("HttpProtocol", "get_Method"),
                      ("HttpUtilities", "IsHostHeaderValid"), ("ReasonPhrases", "ToStatusBytes"),
                      ("HttpMessageInvoker", "SendAsync")]:
            self.assertIn(entry, captured)

    def anonymise(self, text):
        text = text.replace(str(self.app_port), "<port>")
        return re.sub(r"(long|unsigned long) (\S+) = \d+", r"\1 \2 = <address>", text)

    def write_coverage(self, table):
        """Replaces the ASP.NET Core section at the end of docs/coverage.md (written by the Peers test)."""
        doc = ""
        if os.path.exists(COVERAGE_DOC):
            with open(COVERAGE_DOC, encoding="utf-8") as f:
                doc = f.read()
        marker = "\n## " + monitored_rows.ASPNET + "\n"
        if marker in doc:
            doc = doc[:doc.index(marker)]
        out = ["", "## " + monitored_rows.ASPNET, "",
               "Measured by `tests/e2e/test_web.py`: the WebShop app (`tests/apps/WebShop`, Kestrel with a minimal",
               "API, one MVC controller and an HttpClient calling the app itself) served real HTTP requests on",
               "ASP.NET Core %s with the agent loaded. Rows for older Kestrel versions, IIS and HTTP.sys are" % runtime_version(),
               "kept for the runtimes that have them; here they are absent.", ""]
        table_lines = self.table_section(monitored_rows.ASPNET, table)[2:]
        with open(COVERAGE_DOC, "w", encoding="utf-8") as f:
            f.write(doc.rstrip("\n") + "\n" + "\n".join(out + table_lines))


if __name__ == "__main__":
    unittest.main()
