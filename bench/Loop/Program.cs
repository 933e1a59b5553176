// Calls one small method many times and prints how long that took, so the cost the agent adds
// per call can be read off by comparing runs with and without it. "traced" calls a plain method;
// "monitored" calls one whose string argument and return value the agent captures on every call.
// "threads N" runs the traced loop on N threads at once, the calls split evenly between them (the
// total stays the same), and times from the moment all of them are ready until the last is done.
using System.Diagnostics;
using System.Runtime.CompilerServices;
using System.Threading;

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
            if (mode == "threads")
            {
                int threads = args.Length > 2 ? int.Parse(args[2]) : 2;
                double seconds = RunOnThreads(threads, calls / threads, warmup / threads, out sink);
                Console.WriteLine($"calls {calls / threads * threads} seconds {seconds:F6} sink {sink & 1} threads {threads}");
                return 0;
            }
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

        private static double RunOnThreads(int threads, int callsEach, int warmupEach, out int sink)
        {
            var sinks = new int[threads];
            using var ready = new Barrier(threads + 1);
            var workers = new Thread[threads];
            for (int t = 0; t < threads; t++)
            {
                int index = t;
                workers[t] = new Thread(() =>
                {
                    int local = 0;
                    for (int i = 0; i < warmupEach; i++) local += Work.Traced(i);
                    ready.SignalAndWait();
                    for (int i = 0; i < callsEach; i++) local += Work.Traced(i);
                    sinks[index] = local;
                });
                workers[t].Start();
            }
            ready.SignalAndWait();
            var clock = Stopwatch.StartNew();
            foreach (var worker in workers) worker.Join();
            clock.Stop();
            sink = 0;
            foreach (int value in sinks) sink += value;
            return clock.Elapsed.TotalSeconds;
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
