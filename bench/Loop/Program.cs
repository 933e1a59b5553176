// Calls one small method many times and prints how long that took, so the cost the agent adds
// per call can be read off by comparing runs with and without it.
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
            int warmup = Math.Min(calls / 10, 100_000);
            int sink = 0;
            for (int i = 0; i < warmup; i++) sink += Work.Traced(i);
            var clock = Stopwatch.StartNew();
            for (int i = 0; i < calls; i++) sink += Work.Traced(i);
            clock.Stop();
            Console.WriteLine($"calls {calls} seconds {clock.Elapsed.TotalSeconds:F6} sink {sink & 1}");
            return 0;
        }
    }
}
