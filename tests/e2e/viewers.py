"""Checks of the collector's viewer files and report shared by the sample and the real-peers runs:
the speedscope file against the schema the speedscope package ships, the nesting of the trace
events, and the report as a headless browser shows it."""

import json
import os
import random
import re
import subprocess

import jsonschema

from harness import BUILD_DIR

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
WEB = os.path.join(REPO, "tools", "collector", "report", "web")
SCHEMA = os.path.join(WEB, "node_modules", "speedscope", "dist", "release", "file-format-schema.json")
BROWSER_SCRIPT = os.path.join(os.path.dirname(__file__), "report_browser.js")
REQUESTS_SCRIPT = os.path.join(os.path.dirname(__file__), "report_requests.js")
DATA = re.compile(r'(<script type="application/json" id="qx-data">)(.*?)(</script>)', re.S)


def validate_speedscope(test, path):
    """Valid against the package's schema, and every profile's events open and close in order."""
    with open(path, encoding="utf-8") as f:
        doc = json.load(f)
    with open(SCHEMA, encoding="utf-8") as f:
        schema = json.load(f)
    jsonschema.validate(doc, {"$ref": "#/definitions/FileFormat.File", "definitions": schema["definitions"]})
    names = [f["name"] for f in doc["shared"]["frames"]]
    for profile in doc["profiles"]:
        test.assertEqual(profile["unit"], "microseconds")
        stack, last = [], profile["startValue"]
        for e in profile["events"]:
            test.assertGreaterEqual(e["at"], last, profile["name"])
            last = e["at"]
            if e["type"] == "O":
                stack.append(e["frame"])
            else:
                test.assertEqual(stack.pop(), e["frame"], profile["name"])
        test.assertEqual(stack, [], profile["name"])
        test.assertLessEqual(last, profile["endValue"])
    return doc, names


def check_trace_nesting(test, path):
    """Complete events of each thread nest strictly; returns the document."""
    with open(path, encoding="utf-8") as f:
        doc = json.load(f)
    events = doc["traceEvents"]
    tracks = {}
    for e in events:
        if e["ph"] == "X":
            tracks.setdefault((e["pid"], e["tid"]), []).append(e)
    named = {(e["pid"], e["tid"]) for e in events if e["ph"] == "M" and e["name"] == "thread_name"}
    processes = {e["pid"] for e in events if e["ph"] == "M" and e["name"] == "process_name"}
    for key, xs in tracks.items():
        test.assertIn(key, named)
        test.assertIn(key[0], processes)
        stack = []
        for e in xs:  # written in begin order, callers first
            begin, end = e["ts"], e["ts"] + e["dur"]
            while stack and stack[-1] <= begin and not (stack[-1] == begin and e["dur"] == 0):
                stack.pop()
            if stack:
                test.assertLessEqual(end, stack[-1] + 0.002, "%s overlaps its caller on %s" % (e["name"], key))
            stack.append(end)
    return doc


def open_in_browser(test, report, screenshot, click):
    """What the headless browser found in the report (see report_browser.js)."""
    done = subprocess.run(["node", BROWSER_SCRIPT, report, screenshot, click], capture_output=True, text=True,
                          timeout=120)
    test.assertEqual(done.returncode, 0, done.stderr)
    found = json.loads(done.stdout)
    test.assertEqual(found["consoleErrors"], [])
    test.assertEqual(found["requests"], [])
    test.assertTrue(os.path.getsize(screenshot) > 10000)
    return found


def screenshot_path(name):
    return os.path.join(BUILD_DIR, "report-%s.png" % name)


def report_data(report):
    """The data the report's page draws from."""
    with open(report, encoding="utf-8") as f:
        return json.loads(DATA.search(f.read()).group(2))


def with_requests(report, requests, out):
    """A copy of the report whose data holds the given requests instead of its own."""
    with open(report, encoding="utf-8") as f:
        page = f.read()
    match = DATA.search(page)
    data = json.loads(match.group(2))
    data["requests"] = requests
    text = json.dumps(data, separators=(",", ":")).replace("<", "\\u003c")
    with open(out, "w", encoding="utf-8") as f:
        f.write(page[:match.start(2)] + text + page[match.end(2):])


def synthetic_requests(count, seed=7):
    """Requests shaped like the collector's: a few dozen endpoints, calls on up to three threads,
    statements with parameters, outgoing and Redis calls, now and then a failure."""
    rng = random.Random(seed)
    endpoints = ["/orders/{id}", "/api/catalogue/items", "/api/catalogue/items/{id}", "/cart", "/checkout",
                 "/users/{id}/profile", "/search", "/fail"] + ["/api/v%d/report/{id}" % i for i in range(24)]
    out = []
    for i in range(count):
        endpoint = rng.choice(endpoints)
        path = endpoint.replace("{id}", str(rng.randint(1, 9999)))
        duration = rng.lognormvariate(2.5, 1.2)
        threads = [1000 + rng.randint(0, 40) for _ in range(rng.randint(1, 3))]
        calls = []
        for k in range(rng.randint(20, 60)):
            at = rng.uniform(0, duration)
            calls.append({"name": "Shop.Web.Layer%d.Service%d::Work" % (k % 7, rng.randint(0, 30)),
                          "tid": rng.choice(threads), "depth": k % 12, "atMs": round(at, 3),
                          "durationMs": round(rng.uniform(0, duration - at), 3)})
        sql = []
        for k in range(rng.choice([0, 0, 1, 2, 3, 6, 12])):
            text = "SELECT id, name, price FROM items WHERE category = @category AND id = @id%d" % (k % 3)
            sql.append({"system": "postgresql", "text": text, "server": "db:5432", "database": "shop",
                        "parameters": [{"name": "@category", "value": "books"}, {"name": "@id%d" % (k % 3), "value": str(k)}],
                        "inlined": text.replace("@category", "'books'").replace("@id%d" % (k % 3), str(k)),
                        "call": "Npgsql.NpgsqlCommand::ExecuteReaderAsync", "tid": threads[0],
                        "atMs": round(rng.uniform(0, duration), 3), "durationMs": round(rng.uniform(0.1, 5), 3),
                        "failed": False, "findings": ["n_plus_one"] if k >= 5 else []})
        failed = endpoint == "/fail"
        findings = (["n_plus_one"] if len(sql) >= 5 else []) + (["slow_request"] if duration >= 500 else []) + \
            (["failed"] if failed else [])
        notes = [{"finding": f, "text": "synthetic " + f} for f in findings]
        out.append({
            "id": i + 1, "kind": "http", "pid": 4242, "method": rng.choice(["GET", "GET", "POST"]), "path": path,
            "route": None, "query": "?page=%d" % rng.randint(1, 9) if rng.random() < 0.3 else None, "host": "shop:80",
            "scheme": "http", "status": 500 if failed else rng.choice([200, 200, 200, 201, 404]),
            "endpoint": "GET " + endpoint, "name": "Microsoft.AspNetCore.Hosting.HostingApplication::ProcessRequestAsync",
            "start": "2026-01-01T00:00:%02d.%06dZ" % (i // 1000 % 60, i % 1000000), "startNs": 1767225600000000000 + i * 1000000,
            "durationMs": round(duration, 3), "complete": True, "threads": threads, "continuations": len(threads) - 1,
            "sqlCount": len(sql), "sqlMs": round(sum(s["durationMs"] for s in sql), 3), "sql": sql,
            "http": [{"method": "GET", "url": "http://inventory/items/%d" % k, "status": 200, "tid": threads[-1],
                      "atMs": 1.0, "durationMs": 2.0, "failed": False} for k in range(rng.choice([0, 0, 1, 2]))],
            "redis": [{"command": "StringGetAsync", "key": "cart:%d" % k, "tid": threads[0], "atMs": 0.5,
                       "durationMs": 0.2, "failed": False} for k in range(rng.choice([0, 0, 0, 1, 3]))],
            "exceptions": [], "findings": findings, "notes": notes, "calls": calls, "callsLeftOut": 0,
            "plumbingCalls": 5, "itemsLeftOut": 0, "traceId": "%032x" % i})
    return out


def work_requests(test, report, screenshot, *paths):
    """What the headless browser found when working the report's requests view (see
    report_requests.js), opening the first request of each path given."""
    done = subprocess.run(["node", REQUESTS_SCRIPT, report, screenshot] + list(paths), capture_output=True, text=True,
                          timeout=300)
    test.assertEqual(done.returncode, 0, done.stderr)
    found = json.loads(done.stdout)
    test.assertTrue(found["ready"], found)
    test.assertEqual(found["consoleErrors"], [])
    test.assertEqual(found["requests"], [])
    return found
