// Calls one small method many times and prints how long that took, so the cost the agent adds
// per call can be read off by comparing runs with and without it. "traced" calls a plain method;
// "monitored" calls one whose string argument and return value the agent captures on every call.
using System.Diagnostics;
using System.Runtime.CompilerServices;

namespace Bench
{
    public static class Work
    {
        [MethodImpl(MethodImplOptions.NoInlining)]
        public static int Traced(int value) => value ^ 0x5A;
    }

    public static class Runner
    {
        public static int Main(string[] args)
        {
            int calls = args.Length > 0 ? int.Parse(args[0]) : 2_000_000;
            string mode = args.Length > 1 ? args[1] : "traced";
            int warmup = Math.Min(calls / 10, 100_000);
            int sink = 0;
            Stopwatch clock;
            if (mode == "monitored")
            {
                var factory = new ServiceStack.Redis.RedisCacheClientFactory();
                const string host = "cache-01.invalid";
                for (int i = 0; i < warmup; i++) sink += factory.CreateRedisClient(host).Port;
                clock = Stopwatch.StartNew();
                for (int i = 0; i < calls; i++) sink += factory.CreateRedisClient(host).Port;
            }
            else
            {
                for (int i = 0; i < warmup; i++) sink += Work.Traced(i);
                clock = Stopwatch.StartNew();
                for (int i = 0; i < calls; i++) sink += Work.Traced(i);
            }
            clock.Stop();
            Console.WriteLine($"calls {calls} seconds {clock.Elapsed.TotalSeconds:F6} sink {sink & 1}");
            return 0;
        }
    }
}

namespace ServiceStack.Redis
{
    public sealed class RedisClient
    {
        public int Port { get; } = 6379;
    }

    // Carries the name of a monitored library method: every argument is captured whole and the
    // returned reference as a raw value. One client is handed out, so the loop allocates nothing.
    public sealed class RedisCacheClientFactory
    {
        private readonly RedisClient client = new();

        [MethodImpl(MethodImplOptions.NoInlining)]
        public RedisClient CreateRedisClient(string host) => client;
    }
}
