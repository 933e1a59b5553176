"""What the coverage table of the monitored methods is made of: the calls of one profiled process
indexed by name, what the runtime declares for each catalogue entry (asked of a test app's
"reflect" mode), and one row per entry saying whether it fired here and what it captured."""

import json
import os
import re

from harness import clean_env, run_app
import monitored_rows

BEGIN, END, METHOD_INFO, PROCESS_STARTED = 1, 2, 3, 9


def values_named(records, name):
    """Every captured value of that name, searched through nested object fields too."""
    found = []
    for r in records or []:
        if r is None:
            continue
        if r.get("name") == name:
            found.append(r)
        found.extend(values_named(r.get("fields"), name))
    return found


class Stream:
    """The calls of one profiled process, indexed by "Class::Method"."""

    def __init__(self, commands):
        starts = [c for c in commands if c["type"] == PROCESS_STARTED]
        pid = starts[0]["pid"] if len(starts) == 1 else None
        self.commands = [c for c in commands if pid is None or c["pid"] == pid]
        self.mapped = set()
        self.begins = {}
        self.ends = {}
        for c in self.commands:
            if c["type"] == METHOD_INFO:
                self.mapped.add((c["className"], c["methodName"]))
            elif c["type"] == BEGIN and "function" in c:
                self.begins.setdefault(c["function"], []).append(c)
            elif c["type"] == END and "function" in c:
                self.ends.setdefault(c["function"], []).append(c)

    @staticmethod
    def base_name(function):
        """A method carrying a monitored attribute has its display name appended, as in
        "Class::Method:[AsyncStateMachine]"."""
        return re.sub(r":\[[^\]]*\]$", "", function)

    def functions_of(self, cls, method):
        names = set(self.begins) | set(self.ends) | {c + "::" + m for c, m in self.mapped}
        if method == "*":
            return sorted(f for f in names if f.startswith(cls + "::"))
        return sorted(f for f in names if self.base_name(f) == cls + "::" + method)

    def calls(self, cls, method):
        return [c for f in self.functions_of(cls, method) for c in self.begins.get(f, [])]

    def returns(self, cls, method):
        return [c for f in self.functions_of(cls, method) for c in self.ends.get(f, [])]

    def args(self, cls, method, name):
        return [v for c in self.calls(cls, method) for v in values_named(c["args"], name)]

    def texts(self, cls, method, name):
        return [v.get("value") for v in self.args(cls, method, name)]


def short(value, limit=70):
    """A captured value as a short sample for the coverage table."""
    if value is None:
        return "null"
    kind = value.get("typeName", "?")
    if "fields" in value:
        inner = ", ".join(short(f, 40) for f in value["fields"])
        text = "%s {%s}" % (value.get("name"), inner)
    elif "value" in value:
        v = value["value"]
        text = "%s %s = %s" % (kind, value.get("name"), json.dumps(v) if isinstance(v, str) or v is None else v)
    else:
        text = "%s %s" % (kind, value.get("name"))
    return text if len(text) <= limit else text[:limit - 1] + "…"


class CoverageChecks:
    """Mixed into a test class that has `stream` (a Stream), `workdir`, `not_reached` (entries no
    program reaches in the ordinary way, with the reason) and `anonymise(text)`."""

    not_reached = {}

    @staticmethod
    def key(entry):
        return (entry["class"], entry["method"], entry["argument"], ",".join(p[1] for p in entry["path"]))

    def reflect(self, app, entries):
        """What this runtime and these library versions declare for each entry, in entry order."""
        rows = os.path.join(self.workdir, "rows.tsv")
        with open(rows, "w") as f:
            for e in entries:
                f.write("\t".join(self.key(e)) + "\n")
        done = run_app([app, "reflect", rows], clean_env(), self.workdir)
        self.assertEqual(done.returncode, 0, done.stderr)
        answers = [json.loads(line) for line in done.stdout.splitlines()]
        self.assertEqual(len(answers), len(entries))
        return {self.key(e): a for e, a in zip(entries, answers)}

    def coverage(self, entry, found):
        """What one (class, method, argument) entry gave in the profiled run."""
        s = self.stream
        cls, method, argument, itype, path = (entry[k] for k in ("class", "method", "argument", "type", "path"))
        row = dict(entry)
        calls, returns = s.calls(cls, method), s.returns(cls, method)
        traced = bool(s.functions_of(cls, method))
        exists = found.get("classFound") and found.get("overloads", 0) > 0
        row["exists"] = bool(exists)
        row["why"] = self.not_reached.get((cls, method)) or self.explain(found, entry)
        # The app calls every other one of these, directly or through the library.
        row["expected"] = bool(exists) and entry["group"] != monitored_rows.CORRELATION \
            and found.get("withBody", 0) > 0 and (cls, method) not in self.not_reached
        samples = []
        if argument == "returnValue":
            values = [c["returnValue"] for c in returns if c.get("returnValue")]
        elif argument == "thisPtr":
            values = [v for c in calls for p in path for v in values_named(c["args"], p[0])]
        elif argument == "":
            values = [v for c in calls for v in c["args"]]
        else:
            values = [v for c in calls for v in values_named(c["args"], argument)]
        if path and argument != "thisPtr":
            # A path's value is the field named after its first step, inside the argument's record.
            values = [f for v in values for f in v.get("fields") or [] if f.get("name") == path[0][0]]
        # Values with content first: they tell more than the empty ones a library also passes.
        for v in sorted(values, key=self.empty):
            text = short(v)
            if text not in samples:
                samples.append(text)
        row["calls"] = len(calls)
        row["sample"] = self.anonymise("; ".join(samples[:2]))
        if not exists:
            row["status"] = "absent"
        elif not calls:
            row["status"] = "mapped, no call seen" if traced else "no call seen"
        elif itype == 16:
            row["status"] = "fires"
        elif not values:
            row["status"] = "fires, nothing captured"
            if not row["why"] and not argument and found.get("mostParameters") == 0:
                row["why"] = "takes no arguments"
        elif all(self.empty(v) for v in values):
            row["status"] = "fires, value empty"
            if not row["why"] and all(v.get("typeName") == "object" and "value" not in v for v in values):
                row["why"] = "an object taken whole is sent as its type alone, without fields"
        else:
            row["status"] = "fires, captured"
        return row

    @staticmethod
    def empty(value):
        if value.get("fields") is not None:
            return all(CoverageChecks.empty(f) for f in value["fields"]) if value["fields"] else True
        return value.get("value") in (None, "", 0)

    @staticmethod
    def explain(found, entry):
        if not found.get("classFound"):
            if found.get("nestedName"):
                return "nested type; its name here is %s" % found["nestedName"]
            return "no such class in this runtime or library version"
        if not found.get("overloads"):
            return "no such method in this version"
        if found.get("withBody", 0) == 0:
            return "abstract: the runtime calls the providers' overrides"
        if entry["argument"] and found.get("argumentFound") is False:
            if entry["argument"] == "returnValue":
                return "returns nothing"
            return "no argument named %s (%s)" % (entry["argument"], "; ".join(found.get("signatures", [])[:2]))
        for step in found.get("path", []):
            if step.startswith("no field"):
                return step
        return ""

    def missing(self, table):
        """Entries that exist here and are reached, but did not fire: regressions of the agent."""
        return [r for r in table if r["expected"] and r["status"] in ("no call seen", "mapped, no call seen")]

    @staticmethod
    def table_section(group, rows):
        """The markdown table of one group of entries."""
        counted = {}
        for r in rows:
            counted[r["status"]] = counted.get(r["status"], 0) + 1
        out = ["## " + group, "",
               "Entries: %d; %s." % (len(rows), ", ".join("%s %d" % kv for kv in sorted(counted.items()))), "",
               "| Class | Method | Argument | Type | Status | Calls | Captured (sample) / why not |",
               "|---|---|---|---|---|---|---|"]
        for r in rows:
            arg = r["argument"] or "(all)"
            if r["path"]:
                arg += " → " + " → ".join(p[1] for p in r["path"])
            note = r["sample"] if r["sample"] else r["why"]
            if r["sample"] and r["why"]:
                note += " (" + r["why"] + ")"
            cells = [r["class"], r["method"], arg, str(r["type"]), r["status"], str(r["calls"]), note]
            out.append("| " + " | ".join(c.replace("|", "\\|") for c in cells) + " |")
        out.append("")
        return out
