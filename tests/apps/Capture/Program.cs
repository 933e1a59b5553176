// The value-capture app of the end-to-end tests. "values" calls every monitored stand-in once
// with known arguments (and the real HttpClient through a handler that never touches the
// network); "async" runs tasks, awaits, thread-pool work items and timers, the machinery the
// correlation entries watch. Output is deterministic so a run under the agent can be compared
// with a plain run.
using System.Net;
using System.Text;
using Corvanine.Quorix4Net;
using Corvanine.Quorix4Net.Builders;
using Corvanine.Quorix4Net.Messages;
using Microsoft.AspNetCore.Http;
using Microsoft.AspNetCore.Http.Features;
using Microsoft.AspNetCore.Server.IIS.Core;
using Microsoft.AspNetCore.Server.Kestrel.Core.Internal.Http;
using Microsoft.AspNetCore.Server.Kestrel.Core.Internal.Infrastructure;
using MySqlConnector;
using Npgsql;
using ServiceStack.Redis;
using StackExchange.Redis;
using LegacyFrame = Microsoft.AspNetCore.Server.Kestrel.Internal.Http.Frame;
using KestrelMethod = Microsoft.AspNetCore.Server.Kestrel.Core.Internal.Http.HttpMethod;
using KestrelVersion = Microsoft.AspNetCore.Server.Kestrel.Core.Internal.Http.HttpVersion;
using SearchMethod = Elasticsearch.Net.HttpMethod;

namespace CaptureApp
{
    public static class Program
    {
        public static async Task<int> Main(string[] args)
        {
            string mode = args.Length > 0 ? args[0] : "values";
            int rounds = args.Length > 1 ? int.Parse(args[1]) : 4;
            switch (mode)
            {
                case "values":
                    Console.WriteLine("values " + await Values.RunAsync());
                    return 0;
                case "flood":
                case "flood-tagged":
                    Console.WriteLine("flood " + Flood.Run(rounds, args.Length > 2 ? int.Parse(args[2]) : 0,
                                                           mode == "flood-tagged"));
                    // Milliseconds to stay alive afterwards, so that a slow reader gets the backlog
                    // while the process runs rather than in the bounded time of its exit.
                    if (args.Length > 3) System.Threading.Thread.Sleep(int.Parse(args[3]));
                    return 0;
                case "async":
                    Console.WriteLine("async " + await Async.Pipeline.RunAsync(rounds));
                    return 0;
                default:
                    Console.Error.WriteLine("usage: Capture values|async|flood|flood-tagged [rounds] [burst] [linger ms]");
                    return 2;
            }
        }
    }

    public static class Values
    {
        // "0123456789" repeated: long texts whose every position the test can predict.
        public static string Digits(int length) =>
            string.Create(length, 0, (span, _) =>
            {
                for (int i = 0; i < span.Length; i++) span[i] = (char)('0' + i % 10);
            });

        public static async Task<string> RunAsync()
        {
            var summary = new List<string>();

            Thread.Sleep(3);

            var client = new QuorixClient();
            client.ContextId = 1234567890123L;
            client.ApplicationVersion = "2.3.0-capture";
            client.Send("hello");
            string correlationId = new QuorixMessageBuilder().GenerateCorrelationId();
            var identified = new QuorixIdentifierMessage();
            identified.Identifier = new Guid("0f8fad5b-d9cb-469f-a165-70867728950e");
            string error = new QuorixErrorMessageBuilder().Build(new InvalidOperationException("boom"));
            summary.Add(correlationId + "|" + error);

            var unnamed = new MySqlConnection(null);
            var connection = new MySqlConnection("Server=db.invalid;Database=shop");
            connection.ConnectionString = "Server=db.invalid;Database=orders";
            var command = new MySqlCommand("SELECT 1");
            command.CommandText = Digits(5000);
            command.Connection = connection;
            command.Connection = null;
            summary.Add(command.ExecuteScalar().ToString() + (unnamed.ConnectionString == null ? "|null" : "|set"));

            var postgres = new NpgsqlConnection();
            postgres.ConnectionString = "";
            var exact = new NpgsqlCommand(Digits(4096));
            summary.Add(exact.Text.Length.ToString());

            var search = new Elasticsearch.Net.RequestData(SearchMethod.POST, "/_search");
            summary.Add(search.Method.ToString());

            var multiplexer = ConnectionMultiplexer.Connect("cache.invalid:6379");
            RedisDatabase database = multiplexer.GetDatabase(3);
            database.StringSet(new RedisKey("user:1"), "Ada");
            summary.Add(database.StringGet(new RedisKey("user:1")) ?? "missing");
            database.KeyDelete(new RedisKey(null));
            summary.Add(database.Ping().ToString());

            var factory = new RedisClientFactory();
            var endpoint = new RedisEndpoint { Host = "cache.invalid", Port = 6379 };
            RedisNativeClient native = factory.CreateRedisClient(endpoint, true);
            factory.CreateRedisClient(null, false);
            new RedisCacheClientFactory().CreateRedisClient("cache.invalid", 6380, false, 2);
            var big = new byte[300];
            for (int i = 0; i < big.Length; i++) big[i] = (byte)i;
            native.SendCommand(Encoding.ASCII.GetBytes("SET"), Encoding.ASCII.GetBytes("user:1"), big);
            summary.Add(native.BytesSent.ToString());

            var iis = new IISHttpContext();
            int status = ((IHttpResponseFeature)iis).StatusCode;
            string? originalPath = iis.GetOriginalPath();
            iis.set_Scheme("https");
            summary.Add(status + "|" + (originalPath ?? "null") + "|" + iis.CurrentScheme());

            var frame = new LegacyFrame { Method = "GET", Path = "/orders/7" };
            frame.InitializeHeaders();
            new LegacyFrame { Method = "HEAD" }.InitializeHeaders();
            summary.Add(LegacyFrame.StatusCanHaveBody(204).ToString());
            summary.Add(ReasonPhrases.ToStatusBytes(404).Length.ToString());
            summary.Add(new FrameRequestHeaders("shop.invalid").HeaderHost ?? "none");

            var http1 = new Http1Connection();
            byte[] target = Encoding.ASCII.GetBytes("/orders/7?x=1");
            http1.OnStartLine(KestrelMethod.Post, KestrelVersion.Http11, target, false);
            summary.Add(http1.Lines + "|" + http1.Path + "|" + http1.Scheme.Length);
            summary.Add(HttpUtilities.IsHostHeaderValid("shop.invalid:8080").ToString());
            summary.Add(HostString.FromUriComponent("shop.invalid:8080").Value);

            var creator = new HttpRequestCreator();
            summary.Add(creator.Create(new LegacyUri("http://legacy.invalid/a")).Uri!.ToString());
            creator.Create(new LegacyUri(null));
            creator.Create(null);

            using (var http = new HttpClient(new StubHandler()) { BaseAddress = new Uri("http://base.invalid/") })
            {
                var get = System.Net.Http.HttpMethod.Get;
                var request = new HttpRequestMessage(get, "http://example.invalid/orders/7");
                using var absolute = await http.SendAsync(request);
                // No address of its own: the client fills in its base address.
                using var relative = await http.SendAsync(new HttpRequestMessage { Method = get });
                summary.Add((int)absolute.StatusCode + "|" + absolute.RequestMessage!.RequestUri + "|" +
                            relative.RequestMessage!.RequestUri);
            }

            return string.Join(" ", summary);
        }
    }

    // Answers every request itself: the client's own code runs, the network is never used.
    public sealed class StubHandler : HttpMessageHandler
    {
        protected override Task<HttpResponseMessage> SendAsync(HttpRequestMessage request,
                                                               CancellationToken cancellationToken) =>
            Task.FromResult(new HttpResponseMessage(HttpStatusCode.OK) { RequestMessage = request });
    }
}

namespace CaptureApp.Async
{
    public static class Pipeline
    {
        private static readonly AsyncLocal<string?> Flow = new();

        public static async Task<int> RunAsync(int rounds)
        {
            // A value in the execution context makes every work item carry a context of its own.
            Flow.Value = "flow";
            int total = 0;
            for (int i = 0; i < rounds; i++) total += await StageAsync(i);
            int[] parts = await Task.WhenAll(Enumerable.Range(0, 8).Select(i => Task.Run(() => Work(i))));
            total += await Task.Factory.ContinueWhenAll(new Task[] { Task.Delay(4), Task.Delay(6) }, _ => parts.Sum());
            total += await FromThreadPool(6);
            total += await FromTimer(3);
            total += await Task.Run(async () => { await Task.Delay(2).ConfigureAwait(false); return 5; });
            return total;
        }

        private static async Task<int> StageAsync(int i)
        {
            await Task.Delay(1 + i % 3);
            await Task.Yield();
            return i * 10 + (Flow.Value == "flow" ? 1 : 0);
        }

        private static int Work(int i)
        {
            int sum = 0;
            for (int k = 0; k <= i * 100; k++) sum += k % 7;
            return sum;
        }

        private static Task<int> FromThreadPool(int items)
        {
            var done = new TaskCompletionSource<int>(TaskCreationOptions.RunContinuationsAsynchronously);
            int left = items, sum = 0;
            for (int i = 1; i <= items; i++)
            {
                int value = i;
                ThreadPool.QueueUserWorkItem(_ =>
                {
                    Interlocked.Add(ref sum, value * (Flow.Value == "flow" ? 1 : -1));
                    if (Interlocked.Decrement(ref left) == 0) done.SetResult(Volatile.Read(ref sum));
                });
            }
            return done.Task;
        }

        private static async Task<int> FromTimer(int ticks)
        {
            var done = new TaskCompletionSource<int>(TaskCreationOptions.RunContinuationsAsynchronously);
            int count = 0;
            using var timer = new Timer(_ =>
            {
                if (Interlocked.Increment(ref count) == ticks) done.TrySetResult(ticks * 100);
            }, null, 5, 20);
            int result = await done.Task;
            timer.Change(Timeout.Infinite, Timeout.Infinite);
            return result;
        }
    }
}
