"""Checks of the collector's viewer files and report shared by the sample and the real-peers runs:
the speedscope file against the schema the speedscope package ships, the nesting of the trace
events, and the report as a headless browser shows it."""

import json
import os
import subprocess

import jsonschema

from harness import BUILD_DIR

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
WEB = os.path.join(REPO, "tools", "collector", "report", "web")
SCHEMA = os.path.join(WEB, "node_modules", "speedscope", "dist", "release", "file-format-schema.json")
BROWSER_SCRIPT = os.path.join(os.path.dirname(__file__), "report_browser.js")


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
