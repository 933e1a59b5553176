"""Values captured from a real process: every kind of capture the catalogue uses, decoded by the
collector from the begin-call and end-call commands, and the correlation entries that follow
tasks, awaits, work items and timers across threads."""

import re
import shutil
import tempfile
import unittest

from harness import AgentTestCase, Collector, agent_env, app_dll, free_port, run_app

CAPTURE = app_dll("Capture")
BEGIN, END = 1, 2
BOOL, BYTE, INT, UINT, LONG, ULONG, STRING, STRUCT, OBJECT, ARRAY = 2, 3, 6, 7, 8, 9, 12, 13, 14, 15
EMPTY_STRING, NULL_STRING, NULL_OBJECT, LONG_STRING = 16, 17, 18, 19


def digits(length):
    return "".join(str(i % 10) for i in range(length))


class Call:
    """One begin-call with its end-call: captured arguments by name and the return value."""

    def __init__(self, begin):
        self.begin = begin
        self.end = None
        self.args = {a["name"]: a for a in begin.get("args", [])}
        self.arg_names = [a["name"] for a in begin.get("args", [])]

    @property
    def returned(self):
        return self.end.get("returnValue") if self.end else None


def pair_calls(test, commands):
    """function name -> calls in stream order; begins and ends paired per thread."""
    calls, open_frames = {}, {}
    for c in commands:
        if c["type"] == BEGIN:
            call = Call(c)
            calls.setdefault(c.get("function", str(c["functionId"])), []).append(call)
            open_frames.setdefault(c["tid"], []).append(call)
        elif c["type"] == END:
            stack = open_frames.get(c["tid"], [])
            test.assertTrue(stack, "end without begin: %r" % c)
            call = stack.pop()
            test.assertEqual(call.begin["functionId"], c["functionId"])
            call.end = c
    return calls


def profile(test, workdir, args, **settings):
    port = free_port()
    collector = Collector(workdir, "tcp", port)
    profiled = run_app([CAPTURE] + list(args), agent_env("tcp", port, **settings), workdir)
    commands = collector.stop()
    test.assertEqual(profiled.returncode, 0, profiled.stderr)
    pids = {c["pid"] for c in commands if c["name"] == "ProcessStarted"}
    test.assertEqual(len(pids), 1)
    return profiled, [c for c in commands if c["pid"] in pids]


class CaptureValues(AgentTestCase):
    """One run of the "values" scenario, shared by the tests of this class."""

    @classmethod
    def setUpClass(cls):
        cls.shared = tempfile.mkdtemp(prefix="qx-capture-")
        cls.port = None
        cls.profiled = cls.commands = cls.calls = None

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.shared, ignore_errors=True)

    def setUp(self):
        super().setUp()
        if CaptureValues.calls is None:
            profiled, commands = profile(self, CaptureValues.shared, ["values"])
            CaptureValues.profiled, CaptureValues.commands = profiled, commands
            CaptureValues.calls = pair_calls(self, commands)

    def only(self, function, count=1):
        calls = self.calls.get(function, [])
        self.assertEqual(len(calls), count, "%s called %d times" % (function, len(calls)))
        return calls if count > 1 else calls[0]

    def assertValue(self, record, type_number, value=None):
        self.assertIsNotNone(record)
        self.assertEqual(record["type"], type_number, record)
        if type_number in (STRUCT, OBJECT) and value is None:
            # Header-only: no class text, no fields.
            self.assertNotIn("fields", record)
        elif value is not None or type_number in (NULL_STRING, NULL_OBJECT):
            self.assertEqual(record.get("value"), value, record)

    def test_run_is_unchanged(self):
        self.assertUnchangedRun(self.profiled, [CAPTURE, "values"])
        for calls in self.calls.values():
            for call in calls:
                self.assertIsNotNone(call.end, "call never ended: %r" % call.begin)
                for record in call.args.values():
                    self.assertNotIn("error", record)
        self.assertFalse([c for c in self.commands if c.get("badValueRecords")])

    def test_whole_values_of_every_scalar_and_string_kind(self):
        self.assertValue(self.only("System.Threading.Thread::Sleep").args["millisecondsTimeout"], INT, 3)
        self.assertValue(self.only("Corvanine.Quorix4Net.QuorixClientBase::set_ContextId").args["value"], LONG,
                         1234567890123)
        self.assertValue(self.only("Corvanine.Quorix4Net.QuorixClientBase::set_ApplicationVersion").args["value"],
                         STRING, "2.3.0-capture")
        self.assertValue(self.only("Microsoft.AspNetCore.Server.Kestrel.Core.Internal.Http.ReasonPhrases::"
                                   "ToStatusBytes").args["statusCode"], INT, 404)
        self.assertValue(self.only("Microsoft.AspNetCore.Server.Kestrel.Internal.Http.Frame::StatusCanHaveBody")
                         .args["statusCode"], INT, 204)
        # Every argument of a row without an argument name, each typed from the signature.
        cache = self.only("ServiceStack.Redis.RedisCacheClientFactory::CreateRedisClient")
        self.assertEqual(cache.arg_names, ["host", "port", "master", "database"])
        self.assertValue(cache.args["host"], STRING, "cache.invalid")
        self.assertValue(cache.args["port"], INT, 6380)
        self.assertValue(cache.args["master"], BOOL, False)
        self.assertValue(cache.args["database"], BYTE, 2)
        with_endpoint, without = self.only("ServiceStack.Redis.RedisClientFactory::CreateRedisClient", 2)
        self.assertValue(with_endpoint.args["config"], OBJECT)
        self.assertValue(with_endpoint.args["master"], BOOL, True)
        self.assertValue(without.args["config"], NULL_OBJECT)
        self.assertValue(without.args["master"], BOOL, False)
        # Enums of one byte are sent as bytes; a 16-byte struct as a bare header.
        start_line = self.only("Microsoft.AspNetCore.Server.Kestrel.Core.Internal.Http.Http1Connection::OnStartLine")
        self.assertValue(start_line.args["method"], BYTE, 3)
        self.assertValue(self.only("Microsoft.AspNetCore.Server.Kestrel.Core.Internal.Http.HttpProtocol::set_Method")
                         .args["value"], BYTE, 3)
        self.assertValue(self.only("Corvanine.Quorix4Net.Messages.QuorixIdentifierMessage::set_Identifier")
                         .args["value"], STRUCT)
        # Strings: null, empty, ordinary, exactly the longest sent whole, and longer.
        unnamed, named = self.only("MySqlConnector.MySqlConnection::.ctor", 2)
        self.assertValue(unnamed.args["connectionString"], NULL_STRING)
        self.assertValue(named.args["connectionString"], STRING, "Server=db.invalid;Database=shop")
        self.assertValue(self.only("Npgsql.NpgsqlConnection::set_ConnectionString").args["value"], EMPTY_STRING, "")
        self.assertValue(self.only("MySqlConnector.MySqlCommand::.ctor").args["commandText"], STRING, "SELECT 1")
        self.assertValue(self.only("Npgsql.NpgsqlCommand::.ctor").args["cmdText"], STRING, digits(4096))
        long_text = self.only("MySqlConnector.MySqlCommand::set_CommandText").args["value"]
        self.assertValue(long_text, LONG_STRING, digits(2048))
        self.assertEqual((long_text.get("truncated"), long_text.get("length")), (True, 5000))
        self.assertValue(self.only("Microsoft.AspNetCore.Server.IIS.Core.IISHttpContext::set_Scheme").args["value"],
                         STRING, "https")
        self.assertValue(self.only("Microsoft.AspNetCore.Http.HostString::FromUriComponent").args["uriComponent"],
                         STRING, "shop.invalid:8080")
        # Monitored, nothing to capture.
        self.assertEqual(self.only("Corvanine.Quorix4Net.QuorixClient::Send").arg_names, [])

    def test_paths_through_this_and_reference_arguments(self):
        first, second = self.only("Microsoft.AspNetCore.Server.Kestrel.Internal.Http.Frame::InitializeHeaders", 2)
        self.assertEqual(first.arg_names, ["HttpMethod", "HttpPath"])
        self.assertValue(first.args["HttpMethod"], STRING, "GET")
        self.assertValue(first.args["HttpPath"], STRING, "/orders/7")
        self.assertValue(second.args["HttpMethod"], STRING, "HEAD")
        self.assertValue(second.args["HttpPath"], NULL_STRING)
        self.assertNotEqual(first.begin["instanceId"], 0)
        self.assertNotEqual(first.begin["instanceId"], second.begin["instanceId"])
        # A `this` path into a header block is not followed; the instance is still reported.
        host = self.only("Microsoft.AspNetCore.Server.Kestrel.Core.Internal.Http.FrameRequestHeaders::get_HeaderHost")
        self.assertEqual(host.arg_names, [])
        self.assertNotEqual(host.begin["instanceId"], 0)

        # One step into an argument; a null field and a null argument on the way.
        texts = []
        for call in self.only("System.Net.HttpRequestCreator::Create", 3):
            uri = call.args["Uri"]
            self.assertEqual(uri["type"], OBJECT)
            self.assertEqual([f["name"] for f in uri["fields"]], ["Url"])
            texts.append(uri["fields"][0].get("value"))
        self.assertEqual(texts, ["http://legacy.invalid/a", None, None])

        # Two steps into the real HttpClient's request: the request's Uri, then the Uri's text.
        absolute, relative = self.only("System.Net.Http.HttpClient::PrepareRequestMessage", 2)
        self.assertEqual(absolute.args["request"]["type"], OBJECT)
        self.assertEqual(absolute.args["request"]["fields"],
                         [{"name": "Uri", "type": STRING, "typeName": "string",
                           "value": "http://example.invalid/orders/7"}])
        self.assertValue(relative.args["request"]["fields"][0], NULL_STRING)

    def test_paths_through_value_type_arguments(self):
        request = self.only("Elasticsearch.Net.RequestData::.ctor")
        self.assertIn("method", request.args, "enum argument read through its field")
        self.assertEqual(request.args["method"]["type"], OBJECT)
        self.assertEqual(request.args["method"]["fields"], [{"name": "Method", "type": INT, "typeName": "int",
                                                              "value": 1}])
        # Every method of the database class; the key struct has no field keyValue, so the first
        # path finds nothing; an empty key reads as no text.
        expected = {"StringSet": "user:1", "StringGet": "user:1", "KeyDelete": None}
        for method, key in expected.items():
            call = self.only("StackExchange.Redis.RedisDatabase::" + method)
            self.assertIn("key", call.args, method)
            fields = call.args["key"]["fields"]
            self.assertEqual([f["name"] for f in fields], ["Key1", "Key2"], method)
            self.assertValue(fields[0], NULL_STRING)
            self.assertValue(fields[1], STRING if key else NULL_STRING, key)

    def test_every_method_of_a_star_definition_is_monitored_under_its_own_id(self):
        methods = ["StackExchange.Redis.RedisDatabase::" + m for m in (".ctor", "StringSet", "StringGet",
                                                                      "KeyDelete", "Ping")]
        ids = {self.only(m).begin["functionId"] for m in methods}
        self.assertEqual(len(ids), len(methods))
        # A method without the argument captures nothing.
        self.assertEqual(self.only("StackExchange.Redis.RedisDatabase::Ping").arg_names, [])
        self.assertTrue(all(c.begin["instanceId"] != 0 for m in methods for c in self.calls[m]))

    def test_raw_values_are_the_references_themselves(self):
        connection = self.only("MySqlConnector.MySqlConnection::.ctor", 2)[1].begin["instanceId"]
        attach, detach = self.only("MySqlConnector.MySqlCommand::set_Connection", 2)
        self.assertValue(attach.args["value"], LONG, connection)
        self.assertValue(detach.args["value"], LONG, 0)
        self.assertNotEqual(self.only("Corvanine.Quorix4Net.Builders.QuorixErrorMessageBuilder::Build")
                            .args["exception"].get("value"), 0)
        # A returned reference is the instance of the later calls on it.
        database = self.only("StackExchange.Redis.ConnectionMultiplexer::GetDatabase")
        self.assertValue(database.args["db"], INT, 3)
        self.assertValue(database.returned, LONG, self.only("StackExchange.Redis.RedisDatabase::Ping")
                         .begin["instanceId"])
        native = self.only("ServiceStack.Redis.RedisClientFactory::CreateRedisClient", 2)[0].returned
        self.assertValue(native, LONG, self.only("ServiceStack.Redis.RedisNativeClient::SendCommand")
                         .begin["instanceId"])
        sends = self.calls["System.Net.Http.HttpClient::SendAsync"]
        self.assertTrue(sends)
        for call in sends:
            self.assertEqual(call.returned["type"], LONG)
            self.assertNotEqual(call.returned["value"], 0)

    def test_byte_buffers_and_arrays(self):
        target = self.only("Microsoft.AspNetCore.Server.Kestrel.Core.Internal.Http.Http1Connection::OnStartLine") \
            .args["HttpPath"]
        self.assertEqual((target["type"], target["elementType"]), (ARRAY, BYTE))
        self.assertEqual(bytes(target["value"]), b"/orders/7?x=1")
        command = self.only("ServiceStack.Redis.RedisNativeClient::SendCommand").args["cmdWithBinaryArgs"]
        self.assertEqual((command["type"], command["elementType"]), (ARRAY, ARRAY))
        parts = command["elements"]
        self.assertEqual([p["name"] for p in parts], ["0", "1", "2"])
        self.assertEqual(bytes(parts[0]["value"]), b"SET")
        self.assertEqual(bytes(parts[1]["value"]), b"user:1")
        # 300 bytes: a prefix of them, in order, as many as one record holds.
        self.assertGreaterEqual(len(parts[2]["value"]), 255)
        self.assertEqual(parts[2]["value"], list(range(len(parts[2]["value"]))))

    def test_return_values(self):
        self.assertValue(self.only("Corvanine.Quorix4Net.QuorixMessageBuilder::GenerateCorrelationId").returned,
                         STRING, "corr-0001")
        self.assertValue(self.only("Corvanine.Quorix4Net.Builders.QuorixErrorMessageBuilderBase::FormatTypeName")
                         .returned, STRING, "System.InvalidOperationException")
        context = "Microsoft.AspNetCore.Server.IIS.Core.IISHttpContext::"
        self.assertValue(self.only(context + "Microsoft.AspNetCore.Http.Features.IHttpResponseFeature.get_StatusCode")
                         .returned, INT, 201)
        self.assertValue(self.only(context + "GetOriginalPath").returned, NULL_STRING)
        protocol = "Microsoft.AspNetCore.Server.Kestrel.Core.Internal.Http.HttpProtocol::"
        self.assertValue(self.only(protocol + "get_Path").returned, STRING, "/orders/7")
        self.assertValue(self.only(protocol + "get_Scheme").returned, EMPTY_STRING, "")
        # Functions without a return value entry send none.
        self.assertIsNone(self.only("Microsoft.AspNetCore.Server.Kestrel.Core.Internal.Http.ReasonPhrases::"
                                    "ToStatusBytes").returned)


STATE_MACHINE = re.compile(r"CaptureApp\.Async\.Pipeline\+<(\w+)>d__\d+::MoveNext$")
ASYNC_SUFFIX = ":[AsyncStateMachine]"
ROUNDS = 6


class Correlation(AgentTestCase):
    def run_async(self, **settings):
        profiled, commands = profile(self, self.workdir, ["async", str(ROUNDS)], **settings)
        self.assertUnchangedRun(profiled, [CAPTURE, "async", str(ROUNDS)])
        return commands, pair_calls(self, commands)

    def test_on_by_default_the_stream_links_tasks_awaits_work_items_and_timers(self):
        for attempt in range(3):
            with self.subTest(attempt=attempt):
                self.check_correlated(*self.run_async())

    def check_correlated(self, commands, calls):
        # The attribute entry: async methods carry the suffix and return their task's reference.
        stage_calls = calls.get("CaptureApp.Async.Pipeline::StageAsync" + ASYNC_SUFFIX, [])
        self.assertEqual(len(stage_calls), ROUNDS)
        tasks = set()
        for call in stage_calls:
            self.assertEqual(call.returned["type"], LONG)
            tasks.add(call.returned["value"])
        self.assertNotIn(0, tasks)
        self.assertEqual(len(calls.get("CaptureApp.Async.Pipeline::RunAsync" + ASYNC_SUFFIX, [])), 1)
        self.assertNotIn("CaptureApp.Async.Pipeline::StageAsync", calls)

        # The interface entry: every step of a state machine, with its state and its task.
        steps = [c for name, cs in calls.items() if (m := STATE_MACHINE.match(name)) and m.group(1) == "StageAsync"
                 for c in cs]
        states, resumed_tasks = [], set()
        for step in steps:
            self.assertEqual(step.arg_names, ["AsyncTaskId", "AsyncState"])
            self.assertEqual(step.args["AsyncTaskId"]["type"], ULONG)
            self.assertEqual(step.args["AsyncState"]["type"], INT)
            state = step.args["AsyncState"]["value"]
            states.append(state)
            if state >= 0:
                resumed_tasks.add(step.args["AsyncTaskId"]["value"])
        # Start, after the delay, after the yield. A delay that already elapsed when it is awaited
        # (a loaded machine) is not suspended on, so its step may be missing; the others never are.
        self.assertEqual(states.count(-1), ROUNDS)
        self.assertEqual(states.count(1), ROUNDS)
        self.assertLessEqual(states.count(0), ROUNDS)
        self.assertEqual(len(steps), 2 * ROUNDS + states.count(0))
        # A resumed state machine names the task its method returned.
        self.assertEqual(resumed_tasks, tasks)

        # Function entries of the task and thread-pool machinery.
        delays = [c.args["millisecondsDelay"]["value"] for c in calls.get("System.Threading.Tasks.Task::Delay", [])
                  if "millisecondsDelay" in c.args]
        self.assertTrue({1 + i % 3 for i in range(ROUNDS)} | {2, 4, 6} <= set(delays), delays)
        periods = [c.args["period"] for c in calls.get("System.Threading.TimerQueueTimer::Change", [])]
        self.assertIn({"name": "period", "type": UINT, "typeName": "unsigned int", "value": 20}, periods)
        dispatched = calls.get("System.Threading.ExecutionContext::RunFromThreadPoolDispatchLoop", [])
        self.assertTrue(dispatched)
        for call in dispatched:
            thread = call.args["threadPoolThread"]
            self.assertEqual(thread["fields"][0]["name"], "ManagedThreadId")
            self.assertGreater(thread["fields"][0]["value"], 1)
            for raw in ("executionContext", "callback", "state"):
                self.assertEqual(call.args[raw]["type"], LONG)
        queued = calls.get("System.Threading.ThreadPoolWorkQueue::Enqueue", [])
        self.assertTrue(queued)
        self.assertTrue(all(c.args["callback"]["value"] != 0 for c in queued))

    def test_off_nothing_of_the_task_machinery_is_captured(self):
        commands, calls = self.run_async(MORVEL_ENABLE_CORRELATION="false")
        self.assertEqual(len(calls.get("CaptureApp.Async.Pipeline::StageAsync", [])), ROUNDS,
                         "the app's own methods are still traced")
        names = list(calls)
        self.assertFalse([n for n in names if ":[" in n])
        self.assertFalse([n for n in names if n.endswith("::MoveNext")])
        for name in ("System.Threading.Tasks.Task::Delay", "System.Threading.TimerQueueTimer::Change",
                     "System.Threading.ExecutionContext::RunFromThreadPoolDispatchLoop",
                     "System.Threading.ThreadPoolWorkQueue::Enqueue", "System.Threading.Tasks.Task::ScheduleAndStart"):
            self.assertNotIn(name, names)
        # Still traced through the built-in lists, now without captures.
        self.assertIn("System.Threading.ThreadPoolWorkQueue::Dispatch", names)
        captured = {n for n, cs in calls.items() for c in cs if c.args or c.returned is not None}
        self.assertLessEqual(captured, {"System.Threading.Thread::Sleep"})


if __name__ == "__main__":
    unittest.main()
