"""The Peers app drives real PostgreSQL, MariaDB and Redis servers and an HTTP server through
Npgsql, MySqlConnector, StackExchange.Redis and the runtime's HTTP clients, with the agent loaded:
the calls of the monitored methods reach the collector with the values an operator needs (command
texts, connection strings, keys, URLs, the sleep time).

The servers are installed by scripts/setup.sh and started here in temporary folders; a server that
cannot be started fails the class with the script's explanation, unless QX_SKIP_PEERS=1.
With QX_WRITE_COVERAGE=1 the run also writes docs/coverage.md: for every monitored method that
concerns these libraries and the runtime, whether it fires here and what it captured."""

import json
import os
import platform
import re
import shutil
import tempfile
import unittest

from harness import AgentTestCase, Collector, agent_env, app_dll, clean_env, free_port, run_app, runtime_version
import monitored_rows
import peers

PEERS = app_dll("Peers")
BEGIN, END, METHOD_INFO, PROCESS_STARTED = 1, 2, 3, 9
SLEEP_MS = 137
COVERAGE_DOC = os.path.join(peers.REPO, "docs", "coverage.md")
PACKAGES_FILE = os.path.join(peers.REPO, "tests", "apps", "Peers", "Peers.csproj")

# What the app sends; kept in step with tests/apps/Peers/Program.cs.
INSERT = "INSERT INTO qx_items (id, name) VALUES (@id, @name)"
COUNT = "SELECT COUNT(*) FROM qx_items WHERE id >= @min"
SELECT = "SELECT id, name FROM qx_items WHERE name LIKE @pattern ORDER BY id"
PG_CREATE = "CREATE TEMP TABLE qx_items (id integer PRIMARY KEY, name text NOT NULL)"
MYSQL_CREATE = "CREATE TEMPORARY TABLE qx_items (id INT PRIMARY KEY, name VARCHAR(32) NOT NULL)"
REDIS_KEYS = {"qx:greeting", "qx:counter", "qx:hash", "qx:list", "qx:async"}
HTTP_PATHS = ["/items/7?colour=blue", "/items/8", "/orders", "/items/9", "/items/10", "/bytes", "/items/11"]


# Monitored methods that exist here but that no program reaches in the ordinary way.
NOT_REACHED = {
    ("System.Data.Common.DbCommand", "ExecuteDbDataReaderAsync"):
        "virtual; both providers override it without calling the base",
}


def masked(text):
    """The text as the agent sends it: the values of password keys replaced by the mask."""
    return re.sub(r"(?i)(password=)[^;,]*", r"\1***", text)


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


def package_versions():
    text = open(PACKAGES_FILE).read()
    return re.findall(r'PackageReference Include="([^"]+)" Version="([^"]+)"', text)


class Peers(AgentTestCase):
    servers = None
    http = None

    @classmethod
    def setUpClass(cls):
        if os.environ.get("QX_SKIP_PEERS") == "1":
            raise unittest.SkipTest("QX_SKIP_PEERS=1: tests against real servers skipped on request")
        if not os.path.exists(PEERS):
            raise AssertionError("the Peers app was not built (%s); see the build output of tests/apps/Peers" % PEERS)
        cls.servers = peers.Servers()
        try:
            cls.http = peers.HttpServer()
            cls.workdir_class = tempfile.mkdtemp(prefix="qx-peers-run-")
            cls.env = dict(cls.servers.env, QX_HTTP_URL=cls.http.url, QX_SLEEP_MS=str(SLEEP_MS))
            cls.plain = run_app([PEERS, "run"], dict(clean_env(), **cls.env), cls.workdir_class, timeout=180)
            port = free_port()
            collector = Collector(cls.workdir_class, "tcp", port)
            cls.profiled = run_app([PEERS, "run"], dict(agent_env("tcp", port), **cls.env), cls.workdir_class,
                                   timeout=300)
            cls.stream = Stream(collector.stop())
            cls.collector = collector
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        if cls.http is not None:
            cls.http.stop()
            cls.http = None
        if cls.servers is not None:
            cls.servers.stop()
            cls.servers = None
        if getattr(cls, "workdir_class", None):
            shutil.rmtree(cls.workdir_class, ignore_errors=True)

    # --- the app itself ---

    def test_app_talks_to_every_peer_and_runs_unchanged_under_the_agent(self):
        self.assertEqual(self.plain.returncode, 0, self.plain.stdout + self.plain.stderr)
        self.assertIn("postgres rows 1:alpha 2:beta 3:gamma", self.plain.stdout)
        self.assertIn("mysql rows async 1:alpha 2:beta 3:gamma", self.plain.stdout)
        self.assertIn("redis get async later", self.plain.stdout)
        self.assertIn('http post 201 created {"sku":"QX-1","quantity":2}', self.plain.stdout)
        self.assertIn("http legacy 200 item /legacy", self.plain.stdout)
        self.assertEqual(self.profiled.returncode, 0, self.profiled.stderr)
        lines = self.profiled.stdout.splitlines()
        self.assertEqual(lines.count("ProfilerImpl::FinalRelease exit"), 1, self.profiled.stdout)
        self.assertEqual([l for l in lines if l != "ProfilerImpl::FinalRelease exit"], self.plain.stdout.splitlines())
        self.assertEqual(self.profiled.stderr, self.plain.stderr)

    # --- ADO.NET providers ---

    def test_npgsql_command_texts_and_connection_strings(self):
        s, conn = self.stream, self.env["QX_PG_CONNECTION"]
        texts = s.texts("Npgsql.NpgsqlCommand", ".ctor", "cmdText")
        for sql in (PG_CREATE, COUNT, SELECT, "SELECT current_database()"):
            self.assertIn(sql, texts)
        self.assertIn(INSERT, s.texts("Npgsql.NpgsqlCommand", "set_CommandText", "value"))
        self.assertIn(masked(conn), s.texts("Npgsql.NpgsqlConnection", "set_ConnectionString", "value"))
        # The command's connection is reported by reference: an address, never 0 for a real one.
        refs = [v["value"] for v in s.args("Npgsql.NpgsqlCommand", "set_Connection", "value")]
        self.assertTrue(refs and all(isinstance(r, int) for r in refs), refs)
        self.assertTrue(any(r != 0 for r in refs), refs)

    def test_npgsql_executions_are_traced(self):
        s = self.stream
        # At least as many as the app made: the public methods call private overloads of the
        # same name, which are monitored as well.
        self.assertGreaterEqual(len(s.calls("Npgsql.NpgsqlCommand", "ExecuteNonQuery")), 5)
        self.assertGreaterEqual(len(s.calls("Npgsql.NpgsqlCommand", "ExecuteScalar")), 2)
        self.assertGreaterEqual(len(s.calls("Npgsql.NpgsqlCommand", "ExecuteReader")), 1)
        self.assertGreaterEqual(len(s.calls("Npgsql.NpgsqlCommand", "ExecuteScalarAsync")), 1)
        self.assertGreaterEqual(len(s.calls("Npgsql.NpgsqlCommand", "ExecuteReaderAsync")), 1)
        self.assertGreaterEqual(len(s.calls("Npgsql.NpgsqlCommand", "ExecuteNonQueryAsync")), 1)

    def test_mysqlconnector_command_texts_and_connection_strings(self):
        s, conn = self.stream, self.env["QX_MYSQL_CONNECTION"]
        texts = s.texts("MySqlConnector.MySqlCommand", ".ctor", "commandText")
        for sql in (MYSQL_CREATE, COUNT, SELECT, "SELECT DATABASE()"):
            self.assertIn(sql, texts)
        self.assertIn(INSERT, s.texts("MySqlConnector.MySqlCommand", "set_CommandText", "value"))
        self.assertIn(masked(conn), s.texts("MySqlConnector.MySqlConnection", ".ctor", "connectionString"))
        self.assertIn(masked(conn), s.texts("MySqlConnector.MySqlConnection", "set_ConnectionString", "value"))
        refs = [v["value"] for v in s.args("MySqlConnector.MySqlCommand", "set_Connection", "value")]
        self.assertTrue(any(isinstance(r, int) and r != 0 for r in refs), refs)

    def test_mysqlconnector_executions_and_transactions_are_traced(self):
        s = self.stream
        for method, at_least in [("ExecuteNonQuery", 5), ("ExecuteScalar", 2), ("ExecuteReader", 1),
                                 ("ExecuteScalarAsync", 1), ("ExecuteReaderAsync", 1), ("ExecuteNonQueryAsync", 1)]:
            self.assertGreaterEqual(len(s.calls("MySqlConnector.MySqlCommand", method)), at_least, method)
        self.assertGreaterEqual(len(s.calls("MySqlConnector.MySqlConnection", "BeginTransaction")), 1)
        self.assertGreaterEqual(len(s.calls("MySqlConnector.MySqlConnection", "BeginTransactionAsync")), 1)
        self.assertGreaterEqual(len(s.calls("MySqlConnector.MySqlTransaction", "Rollback")), 1)
        self.assertGreaterEqual(len(s.calls("MySqlConnector.MySqlTransaction", "CommitAsync")), 1)

    def test_base_command_type_calls_are_traced(self):
        # The app calls ExecuteReader through DbCommand once per provider.
        self.assertGreaterEqual(len(self.stream.calls("System.Data.Common.DbCommand", "ExecuteReader")), 2)

    # --- secrets ---

    def test_no_password_reaches_the_collectors_output(self):
        # Every server is reached with a password, which is in the connection strings the app
        # passes around; the agent masks it before anything leaves the process.
        password = peers.DB_PASSWORD
        for conn in (self.env["QX_PG_CONNECTION"], self.env["QX_MYSQL_CONNECTION"], self.env["QX_REDIS_CONFIGURATION"]):
            self.assertIn(password, conn)
        with open(self.collector.json_path, encoding="utf-8") as f:
            json_text = f.read()
        with open(self.collector.summary_path, encoding="utf-8") as f:
            summary_text = f.read()
        self.assertIn("Password=***", json_text)
        self.assertIn("password=***", json_text)
        self.assertNotIn(password, json_text)
        self.assertNotIn(password, summary_text)

        # The setting lets them through, for whoever needs them.
        port = free_port()
        collector = Collector(self.workdir_class, "tcp", port)
        env = dict(agent_env("tcp", port), MORVEL_CAPTURE_SECRETS="true", **self.env)
        run = run_app([PEERS, "run", "postgres", "redis"], env, self.workdir_class, timeout=180)
        self.assertEqual(run.returncode, 0, run.stderr)
        clear = Stream(collector.stop())
        self.assertIn(self.env["QX_PG_CONNECTION"], clear.texts("Npgsql.NpgsqlConnection", "set_ConnectionString", "value"))
        self.assertIn(self.env["QX_REDIS_CONFIGURATION"],
                      clear.texts("StackExchange.Redis.ConnectionMultiplexer", "Connect", "configuration"))

    # --- Redis ---

    def test_redis_configuration_and_database(self):
        s = self.stream
        self.assertIn(masked(self.env["QX_REDIS_CONFIGURATION"]),
                      s.texts("StackExchange.Redis.ConnectionMultiplexer", "Connect", "configuration"))
        self.assertIn(3, s.texts("StackExchange.Redis.ConnectionMultiplexer", "GetDatabase", "db"))
        returned = [c["returnValue"] for c in s.returns("StackExchange.Redis.ConnectionMultiplexer", "GetDatabase")]
        self.assertTrue(any(r and r.get("value") for r in returned), returned)

    def test_redis_keys(self):
        # The key argument is a struct whose text sits in an auto-property's backing field: the
        # second of the two paths; this library version has no field the first one names.
        s = self.stream
        keys = {v.get("value") for v in s.args("StackExchange.Redis.RedisDatabase", "*", "Key2")}
        self.assertTrue(REDIS_KEYS <= keys, keys)
        by_method = {}
        for c in s.calls("StackExchange.Redis.RedisDatabase", "*"):
            for v in values_named(c["args"], "Key2"):
                by_method.setdefault(c["function"].split("::")[1], set()).add(v.get("value"))
        self.assertIn("qx:greeting", by_method.get("StringSet", set()) | by_method.get("StringGet", set()))
        self.assertIn("qx:async", by_method.get("StringGetAsync", set()))

    # --- HTTP ---

    def test_http_request_urls(self):
        s, base = self.stream, self.http.url
        # The path goes through the request's Uri to its text; the value is named after the first step.
        urls = [v.get("value") for r in s.args("System.Net.Http.HttpClient", "PrepareRequestMessage", "request")
                for v in r.get("fields") or [] if v.get("name") == "Uri"]
        for path in HTTP_PATHS:
            self.assertIn(base + path, urls)
        # Every request the app made reached the server.
        self.assertEqual([p for _, p in self.http.requests].count("/items/8"), 2)

    def test_http_client_methods_return_their_tasks(self):
        s = self.stream
        for method in ("GetAsync", "PostAsync", "PutAsync", "DeleteAsync", "SendAsync", "GetStringAsync",
                       "GetByteArrayAsync", "GetStreamAsync"):
            returned = [c["returnValue"] for c in s.returns("System.Net.Http.HttpClient", method)]
            self.assertTrue(any(r and r.get("value") for r in returned), "%s: %r" % (method, returned))

    # --- threads ---

    def test_sleep_and_delay_times(self):
        self.assertIn(SLEEP_MS, self.stream.texts("System.Threading.Thread", "Sleep", "millisecondsTimeout"))
        self.assertIn(SLEEP_MS // 2, self.stream.texts("System.Threading.Tasks.Task", "Delay", "millisecondsDelay"))

    # --- the coverage table ---

    def test_coverage_of_every_monitored_method_for_these_libraries(self):
        reflection = self.reflect()
        table = [self.coverage(entry, reflection.get(self.key(entry), {})) for entry in monitored_rows.entries()]
        # Methods that exist here and are called by the app must fire: a row that stopped firing is
        # a regression of the agent, while a row for a method this runtime or library lacks is a fact
        # for the table.
        missing = [r for r in table if r["expected"] and r["status"] in ("no call seen", "mapped, no call seen")]
        if os.environ.get("QX_WRITE_COVERAGE") == "1":
            self.write_coverage(table)
        self.assertEqual(missing, [], "\n".join("%s::%s (%s)" % (r["class"], r["method"], r["argument"])
                                               for r in missing))

    @staticmethod
    def key(entry):
        return (entry["class"], entry["method"], entry["argument"], ",".join(p[1] for p in entry["path"]))

    def reflect(self):
        """What this runtime and these library versions declare for each entry, in entry order."""
        rows = os.path.join(self.workdir, "rows.tsv")
        entries = monitored_rows.entries()
        with open(rows, "w") as f:
            for e in entries:
                f.write("\t".join(self.key(e)) + "\n")
        done = run_app([PEERS, "reflect", rows], clean_env(), self.workdir)
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
        row["why"] = NOT_REACHED.get((cls, method)) or self.explain(found, entry)
        # The app calls every other one of these, directly or through the library.
        row["expected"] = bool(exists) and entry["group"] != monitored_rows.CORRELATION \
            and found.get("withBody", 0) > 0 and (cls, method) not in NOT_REACHED
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
            return all(Peers.empty(f) for f in value["fields"]) if value["fields"] else True
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

    def anonymise(self, text):
        """Ports and addresses differ from run to run; the table keeps what does not."""
        for key in ("QX_PG_PORT", "QX_MYSQL_PORT", "QX_REDIS_PORT"):
            text = text.replace(self.env[key], "<port>")
        text = text.replace(self.http.url, "http://127.0.0.1:<port>")
        return re.sub(r"(long|unsigned long) (\S+) = \d+", r"\1 \2 = <address>", text)

    def write_coverage(self, table):
        runtime = runtime_version()
        libs = ", ".join("%s %s" % p for p in package_versions())
        out = ["# Coverage of the monitored methods",
               "",
               "Generated by `scripts/coverage.sh` (the test `tests/e2e/test_peers.py` with",
               "`QX_WRITE_COVERAGE=1`): the Peers app (`tests/apps/Peers`) drives real PostgreSQL, MariaDB",
               "and Redis servers and an HTTP server with the agent loaded, and the collector's stream is",
               "checked for every monitored method that concerns these client libraries and the runtime.",
               "",
               "- Runtime: .NET %s on %s %s" % (runtime, platform.system(), platform.machine()),
               "- Libraries: %s" % libs,
               "- Host type: DOTNET_CORE (a console app), correlation on (the default)",
               "",
               "Status: **fires, captured** — calls traced and the value captured; **fires** — calls traced",
               "(nothing to capture for this entry); **fires, value empty** — traced, but the value read",
               "was null or empty; **fires, nothing captured** — traced without the value; **no call seen**",
               "— the method exists but no call of it was reported (the app does not reach it, or the",
               "runtime inlined or never hooked it); **mapped, no call seen** — the agent named it but",
               "reported no call; **absent** — the class or method named does not exist here.",
               "Addresses and ports are replaced by placeholders.",
               ""]
        out += ["## Entries that give nothing on this machine", "",
                "Monitored methods of these libraries and of the runtime whose value, or whose calls, do",
                "not reach the collector here, with the reason where the runtime or library shows one.", ""]
        for r in table:
            if r["status"] in ("fires", "fires, captured"):
                continue
            if r["group"] == monitored_rows.CORRELATION and r["status"] == "no call seen" and not r["why"]:
                continue  # listed in its table; whether the runtime takes these paths varies
            out.append("- `%s::%s` (%s): %s%s" % (r["class"], r["method"], r["argument"] or "all arguments",
                                                 r["status"], " — " + r["why"] if r["why"] else ""))
        out.append("")
        groups = []
        for r in table:
            if r["group"] not in groups:
                groups.append(r["group"])
        for group in groups:
            rows = [r for r in table if r["group"] == group]
            counted = {}
            for r in rows:
                counted[r["status"]] = counted.get(r["status"], 0) + 1
            out += ["## " + group, "",
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
        os.makedirs(os.path.dirname(COVERAGE_DOC), exist_ok=True)
        with open(COVERAGE_DOC, "w", encoding="utf-8") as f:
            f.write("\n".join(out))


if __name__ == "__main__":
    unittest.main()
