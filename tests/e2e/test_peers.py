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

from coverage_table import CoverageChecks, Stream, values_named
from harness import AgentTestCase, Collector, agent_env, app_dll, clean_env, free_port, run_app, runtime_version
import monitored_rows
import peers
import viewers

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
    ("System.Net.Http.HttpResponseMessage", "set_StatusCode"):
        "the runtime's handlers set the status without validation; a handler of the app's own calls this",
}
# No SQL Server here: the app runs two of the provider's execute methods, which refuse to run
# without a connection once they were entered.
NOT_REACHED.update({("Microsoft.Data.SqlClient.SqlCommand", m): "no server here; the app runs ExecuteScalar and "
                    "ExecuteScalarAsync without a connection" for m in monitored_rows.EXECUTE
                    if m not in ("ExecuteScalar", "ExecuteScalarAsync")})

# The typed parameters the app binds on both databases (Statements.AddTyped), as captured.
TYPED_NAMES = ["id", "big", "flag", "ratio", "price", "when", "uid", "nothing", "note", "password"]
SECRET_PARAMETER = "s3cret-param-value"
PG_SLEEP = "SELECT pg_sleep(0.2)"
MYSQL_SLEEP = "SELECT SLEEP(0.2)"
FINISH = "System.Threading.Tasks.Task::FinishContinuations"


def parameters_of(call):
    """name -> value record of the parameters captured on an execute call, and their count."""
    for arg in call["args"]:
        if arg.get("name") == "Parameters" and arg.get("fields") is not None:
            fields = arg["fields"]
            count = next((f.get("value") for f in fields if f["name"] == "count"), None)
            named = {}
            for element in fields:
                if element["name"].isdigit() and element.get("fields"):
                    parts = {f["name"]: f for f in element["fields"]}
                    named[parts["name"].get("value")] = parts["value"]
            return named, count
    return {}, None


def masked(text):
    """The text as the agent sends it: the values of password keys replaced by the mask."""
    return re.sub(r"(?i)(password=)[^;,]*", r"\1***", text)


def package_versions():
    text = open(PACKAGES_FILE).read()
    return re.findall(r'PackageReference Include="([^"]+)" Version="([^"]+)"', text)


class Peers(CoverageChecks, AgentTestCase):
    not_reached = NOT_REACHED
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
            cls.report = os.path.join(cls.workdir_class, "peers-report.html")
            collector = Collector(cls.workdir_class, "tcp", port, extra=["--report", cls.report])
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

    def assert_typed_parameters(self, cls, method, prefix):
        calls = [c for c in self.stream.calls(cls, method) if prefix + "big" in parameters_of(c)[0]]
        self.assertTrue(calls, "%s::%s with the typed parameters" % (cls, method))
        values, count = parameters_of(calls[0])
        self.assertEqual(count, len(TYPED_NAMES))
        self.assertEqual(list(values), [prefix + n for n in TYPED_NAMES])
        v = {n: values[prefix + n] for n in TYPED_NAMES}
        self.assertEqual((v["id"]["typeName"], v["id"]["value"]), ("int", 42))
        self.assertEqual((v["big"]["typeName"], v["big"]["value"]), ("long", 5000000000))
        self.assertEqual(v["flag"]["value"], True)
        self.assertEqual(v["ratio"]["value"], 0.25)
        # Structures of the core library come field by field, named by their class.
        price = {f["name"]: f["value"] for f in v["price"]["fields"]}
        self.assertEqual((v["price"]["className"], price["_lo64"], price["_flags"] >> 16), ("System.Decimal", 1250, 2))
        when = v["when"]["fields"][0]["value"]
        self.assertEqual(v["when"]["className"], "System.DateTime")
        self.assertEqual(when & ((1 << 62) - 1), 638515386150000000)  # 2024-05-17T10:30:15 in ticks
        self.assertEqual(v["uid"]["className"], "System.Guid")
        self.assertEqual(v["uid"]["fields"][0]["value"], 0x0f8fad5b)
        self.assertEqual((v["nothing"]["type"], v["nothing"]["value"]), (18, None))  # a database null
        self.assertEqual((v["note"]["type"], v["note"].get("truncated"), v["note"]["length"]), (19, True, 5000))
        self.assertEqual(v["note"]["value"], "n" * 2048)
        self.assertEqual((v["password"]["typeName"], v["password"]["value"]), ("string", "***"))

    def test_sql_parameters_of_both_engines_sync_and_async(self):
        for cls, prefix in (("Npgsql.NpgsqlCommand", ""), ("MySqlConnector.MySqlCommand", "@")):
            for method in ("ExecuteReader", "ExecuteReaderAsync"):
                with self.subTest(cls=cls, method=method):
                    self.assert_typed_parameters(cls, method, prefix)
        # A command bound before each run shows each run's values.
        for cls, prefix in (("Npgsql.NpgsqlCommand", ""), ("MySqlConnector.MySqlCommand", "@")):
            ids = [parameters_of(c)[0].get(prefix + "id", {}).get("value")
                   for c in self.stream.calls(cls, "ExecuteNonQuery")]
            self.assertLessEqual({1, 2, 3}, set(ids), cls)
            names = [parameters_of(c)[0].get(prefix + "pattern", {}).get("value")
                     for c in self.stream.calls(cls, "ExecuteReader")]
            self.assertIn("%a%", names, cls)
        # Through the base type (as Dapper runs them) the provider's async override, an async
        # method itself, carries them too.
        for cls, prefix in (("Npgsql.NpgsqlCommand", ""), ("MySqlConnector.MySqlCommand", "@")):
            ids = [parameters_of(c)[0].get(prefix + "id", {}).get("value")
                   for c in self.stream.calls(cls, "ExecuteDbDataReaderAsync")]
            self.assertIn(2, ids, cls)
            returned = [c["returnValue"]["value"] for c in self.stream.returns(cls, "ExecuteDbDataReaderAsync")]
            self.assertTrue(returned and all(returned), returned)
        with open(self.collector.json_path, encoding="utf-8") as f:
            self.assertNotIn(SECRET_PARAMETER, f.read())

    def test_sql_server_parameters_are_captured_without_a_server(self):
        for method in ("ExecuteScalar", "ExecuteScalarAsync"):
            calls = self.stream.calls("Microsoft.Data.SqlClient.SqlCommand", method)
            self.assertTrue(calls, method)
            values, count = parameters_of(calls[0])
            self.assertEqual(count, 2)
            self.assertEqual({n: r.get("value") for n, r in values.items()}, {"@id": 7, "@owner": "ann"})

    def end_of(self, begin):
        """The end (or unwind) that closes a begin on its thread."""
        commands = self.stream.commands
        depth = 0
        for c in commands[commands.index(begin):]:
            if c.get("tid") != begin["tid"] or c["type"] not in (BEGIN, END, 5):
                continue
            depth += 1 if c["type"] == BEGIN else -1
            if depth == 0:
                return c
        return None

    def test_async_execute_returns_the_task_whose_completion_ends_the_query(self):
        s = self.stream
        for cls, ctor_arg, sql, method in (("Npgsql.NpgsqlCommand", "cmdText", PG_SLEEP, "ExecuteNonQueryAsync"),
                                           ("MySqlConnector.MySqlCommand", "commandText", MYSQL_SLEEP,
                                            "ExecuteScalarAsync")):
            with self.subTest(cls=cls):
                commands = {c["instanceId"] for c in s.calls(cls, ".ctor")
                            if any(v.get("value") == sql for v in values_named(c["args"], ctor_arg))}
                self.assertEqual(len(commands), 1, sql)
                begin = next(c for c in s.calls(cls, method) if c["instanceId"] in commands)
                end = self.end_of(begin)
                self.assertEqual(end["type"], END)
                task = end["returnValue"]["value"]
                self.assertNotEqual(task, 0)
                finished = [c for c in s.calls("System.Threading.Tasks.Task", "FinishContinuations")
                            if c["instanceId"] == task and c["ts"] > end["ts"]]
                self.assertTrue(finished, "no later completion of task %#x" % task)
                # The query sleeps 0.2 s: its task completes that long after the call began.
                self.assertGreaterEqual(finished[0]["ts"] - begin["ts"], 150000)
                self.__class__.task_figures = getattr(self.__class__, "task_figures", []) + [
                    (cls, method, finished[0]["ts"] - begin["ts"], end["ts"] - begin["ts"])]

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

    # --- the report ---

    def test_report_in_a_browser_lists_the_sql_texts_and_redis_keys(self):
        found = viewers.open_in_browser(self, self.report, viewers.screenshot_path("Peers"),
                                        "Npgsql.NpgsqlCommand::ExecuteNonQuery")
        table = found["capturedText"]
        for sql in (PG_CREATE, MYSQL_CREATE, COUNT, SELECT, INSERT):
            self.assertIn(sql, table)
        for key in REDIS_KEYS:
            self.assertIn(key, table)
        self.assertIn(self.http.url + "/items/7?colour=blue", table)
        self.assertTrue(any(f.startswith("Npgsql.NpgsqlCommand::") for f in found["flameFrames"]))
        self.assertTrue(any(t.startswith("StackExchange.Redis.") for t in found["timelineTitles"]))
        self.assertGreater(found["widthAfterClick"], 0.9 * found["clicked"]["chart"], found["clicked"])

    # --- the coverage table ---

    def test_coverage_of_every_monitored_method_for_these_libraries(self):
        entries = monitored_rows.entries()
        reflection = self.reflect(PEERS, entries)
        table = [self.coverage(entry, reflection.get(self.key(entry), {})) for entry in entries]
        # Methods that exist here and are called by the app must fire: a row that stopped firing is
        # a regression of the agent, while a row for a method this runtime or library lacks is a fact
        # for the table.
        missing = self.missing(table)
        if os.environ.get("QX_WRITE_COVERAGE") == "1":
            self.write_coverage(table)
        self.assertEqual(missing, [], "\n".join("%s::%s (%s)" % (r["class"], r["method"], r["argument"])
                                               for r in missing))

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
            out += self.table_section(group, [r for r in table if r["group"] == group])
        os.makedirs(os.path.dirname(COVERAGE_DOC), exist_ok=True)
        with open(COVERAGE_DOC, "w", encoding="utf-8") as f:
            f.write("\n".join(out))


if __name__ == "__main__":
    unittest.main()
