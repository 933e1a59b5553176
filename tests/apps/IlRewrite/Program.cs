// Methods of many IL shapes (loops, nested exception handling with filters, switch tables, a
// short branch that must be widened once probes are inserted, a method without any return),
// run once without and once with a profiler that rewrites every method of this module to call
// Probe.Enter at entry and Probe.Exit before each return. The results must not change, and the
// calls the probes saw must be exactly the calls this program made.
//
// Output: "result <name> <value>" lines, then per method
// "count <name> expected <enter> <exit> recorded <enter> <exit>", then
// "values <name> <argument sums> ret <returned sum>" for the methods whose values are checked.
// With --agent-callback the program instead calls the agent's exported probe entry points
// through P/Invoke.
using System.Reflection;
using System.Runtime.CompilerServices;
using System.Runtime.InteropServices;

namespace IlRewrite;

// Never rewritten itself. Everything it does stays outside this module's other methods.
public static class Probe
{
    private const int Slots = 4096;
    private static readonly int[] Enters = new int[Slots];
    private static readonly int[] Exits = new int[Slots];
    private static long module;
    private static int anomalies;

    public static void Enter(ulong moduleId, uint token, int number) => Count(Enters, moduleId, token, number);

    public static void Exit(ulong moduleId, uint token, int number) => Count(Exits, moduleId, token, number);

    private static void Count(int[] counts, ulong moduleId, uint token, int number)
    {
        long previous = Interlocked.CompareExchange(ref module, (long)moduleId, 0);
        if ((previous != 0 && previous != (long)moduleId) || moduleId == 0 || number != 1 ||
            (token >> 24) != 0x06 || (token & 0xFFFFFF) >= Slots)
        {
            Interlocked.Increment(ref anomalies);
            return;
        }
        Interlocked.Increment(ref counts[token & 0xFFFFFF]);
    }

    public static (int Enter, int Exit) Recorded(int token) =>
        (Volatile.Read(ref Enters[token & 0xFFFFFF]), Volatile.Read(ref Exits[token & 0xFFFFFF]));

    public static ulong Module => (ulong)Interlocked.Read(ref module);
    public static int Anomalies => Volatile.Read(ref anomalies);
}

public struct Size
{
    public int Width;
    public int Height;
}

public sealed class Workload
{
    private readonly int seed;

    public Workload(int seed) => this.seed = seed;

    [MethodImpl(MethodImplOptions.NoInlining)]
    public static long NestedLoops(int n)
    {
        long sum = 0;
        for (int i = 0; i < n; i++)
        {
            for (int j = 0; j < i; j++)
            {
                if ((i + j) % 3 == 0) continue;
                sum += i * j;
            }
        }
        return sum;
    }

    [MethodImpl(MethodImplOptions.NoInlining)]
    public int TryCatchFinally(int divisor, List<string> trail)
    {
        try
        {
            try
            {
                trail.Add("try");
                if (divisor == 0) throw new InvalidOperationException("zero");
                if (divisor < 0) throw new InvalidOperationException("negative");
                return seed / divisor;
            }
            catch (InvalidOperationException e) when (e.Message == "zero")
            {
                trail.Add("filtered");
                return -1;
            }
            finally
            {
                trail.Add("finally");
            }
        }
        catch (Exception)
        {
            trail.Add("outer");
            return -2;
        }
    }

    [MethodImpl(MethodImplOptions.NoInlining)]
    public static string Switch(int value)
    {
        switch (value)
        {
            case 0: return "zero";
            case 1: return "one";
            case 2: return "two";
            case 3: return "three";
            case 4: return "four";
            case 6: return "six";
            default: return value < 0 ? "negative" : "many";
        }
    }

    // Five returns inside the loop body: the loop's short branches span all of them, so once an
    // exit probe sits before each return they no longer reach and must be widened.
    [MethodImpl(MethodImplOptions.NoInlining)]
    public static int FindFirst(int[] data, int target)
    {
        for (int i = 0; i < data.Length; i++)
        {
            if (data[i] == target) return i;
            if (data[i] == -target) return -i;
            if (data[i] > 1000) return 1000;
            if (data[i] < -1000) return -1000;
            if (data[i] == 999) return 999;
        }
        return -1;
    }

    [MethodImpl(MethodImplOptions.NoInlining)]
    public static int Fibonacci(int n) => n < 2 ? n : Fibonacci(n - 1) + Fibonacci(n - 2);

    // Returns normally for even values only.
    [MethodImpl(MethodImplOptions.NoInlining)]
    public static int HalfOrThrow(int value)
    {
        if (value % 2 != 0) throw new ArgumentException("odd");
        return value / 2;
    }

    // Has no return at all, so it is left as it is.
    [MethodImpl(MethodImplOptions.NoInlining)]
    public static void AlwaysThrows(string message) => throw new NotSupportedException(message);

    [MethodImpl(MethodImplOptions.NoInlining)]
    public static void Empty()
    {
    }

    [MethodImpl(MethodImplOptions.NoInlining)]
    public static T Pick<T>(bool first, T a, T b) => first ? a : b;

    // Jumps back to its first instruction: the enter probe must not run again.
    [MethodImpl(MethodImplOptions.NoInlining)]
    public static int SumDown(int n, int total)
    {
    start:
        if (n <= 0) return total;
        total += n;
        n--;
        goto start;
    }

    // The protected block starts at the first instruction.
    [MethodImpl(MethodImplOptions.NoInlining)]
    public static int Guarded(int value, List<string> trail)
    {
        try
        {
            trail.Add("guarded");
            return checked(value * 2);
        }
        finally
        {
            trail.Add("released");
        }
    }

    [MethodImpl(MethodImplOptions.NoInlining)]
    public static long Area(Size size) => (long)size.Width * size.Height;

    // The test profiler turns the directly returned call into an explicit tail call.
    [MethodImpl(MethodImplOptions.NoInlining)]
    public static int TailForward(int n) => n <= 0 ? -1 : TailTarget(n - 1);

    [MethodImpl(MethodImplOptions.NoInlining)]
    public static int TailTarget(int n) => n * 3;

    [MethodImpl(MethodImplOptions.NoInlining)]
    public static long Checksum(string text)
    {
        long hash = 17;
        foreach (char c in text) hash = unchecked(hash * 31 + c);
        return hash;
    }
}

internal static class Agent
{
    [DllImport("QuorixProfilerr")]
    public static extern void ManagedProbeTestCallback(uint value);

    [DllImport("QuorixProfilerr")]
    public static extern void ManagedProbeEnterFunction(IntPtr moduleId, uint methodToken, int probeNumber);

    [DllImport("QuorixProfilerr")]
    public static extern void ManagedProbeExitFunction(IntPtr moduleId, uint methodToken, int probeNumber);

    [DllImport("QuorixProfilerr")]
    public static extern void UnmanagedInspectObject(IntPtr value);
}

public static class Program
{
    private static readonly SortedDictionary<string, (int Enter, int Exit)> Expected = new(StringComparer.Ordinal);

    private static void Called(string name, int enters = 1, int exits = 1)
    {
        Expected.TryGetValue(name, out var count);
        Expected[name] = (count.Enter + enters, count.Exit + exits);
    }

    // What a profiler handed the arguments and return values should have seen per method: one
    // sum per argument (`this` first; an int by value, a string by length, a value type by its
    // int words, a reference by being non-null) and the sum of the returned values.
    private static readonly SortedDictionary<string, (long[] Arguments, long Returned)> ExpectedValues =
        new(StringComparer.Ordinal);

    private static void Saw(string name, long returned, params long[] arguments)
    {
        if (ExpectedValues.TryGetValue(name, out var seen))
        {
            for (int i = 0; i < arguments.Length; i++) seen.Arguments[i] = unchecked(seen.Arguments[i] + arguments[i]);
            ExpectedValues[name] = (seen.Arguments, unchecked(seen.Returned + returned));
        }
        else
        {
            ExpectedValues[name] = ((long[])arguments.Clone(), returned);
        }
    }

    private static int FibonacciCalls(int n)
    {
        int a = 1, b = 1;  // calls for n = 0 and n = 1
        for (int i = 2; i <= n; i++) (a, b) = (b, 1 + a + b);
        return n < 1 ? 1 : b;
    }

    private static int Main(string[] args)
    {
        if (args.Length > 0 && args[0] == "--agent-callback")
        {
            Agent.ManagedProbeTestCallback(7);
            // Unknown module and method: nothing to report, and nothing may go wrong.
            Agent.ManagedProbeEnterFunction(new IntPtr(0x1234), 0x06000001, 1);
            Agent.ManagedProbeExitFunction(new IntPtr(0x1234), 0x06000001, 1);
            Agent.UnmanagedInspectObject(IntPtr.Zero);
            Console.WriteLine("agent callback done");
            return 0;
        }

        var results = new List<string>();
        void Result(string name, object value) => results.Add($"result {name} {value}");

        Result("NestedLoops", Workload.NestedLoops(60));
        Called(nameof(Workload.NestedLoops));

        var workload = new Workload(84);
        Called(".ctor");
        var trail = new List<string>();
        int caught = workload.TryCatchFinally(4, trail);
        Result("TryCatchFinally.4", caught);
        Saw(nameof(Workload.TryCatchFinally), caught, 1, 4, 1);
        caught = workload.TryCatchFinally(0, trail);
        Result("TryCatchFinally.0", caught);
        Saw(nameof(Workload.TryCatchFinally), caught, 1, 0, 1);
        caught = new Workload(1).TryCatchFinally(-3, trail);
        Result("TryCatchFinally.negative", caught);
        Saw(nameof(Workload.TryCatchFinally), caught, 1, -3, 1);
        Called(".ctor");
        Called(nameof(Workload.TryCatchFinally), 3, 3);
        Result("Trail", string.Join(",", trail));

        for (int v = -2; v <= 8; v++)
        {
            string named = Workload.Switch(v);
            Result($"Switch.{v}", named);
            Called(nameof(Workload.Switch));
            Saw(nameof(Workload.Switch), named.Length, v);
        }

        int[] data = { 5, 7, -9, 3, 999, 12, 2000 };
        foreach (int target in new[] { 3, 9, 999, 12, 4, -5 })
        {
            Result($"FindFirst.{target}", Workload.FindFirst(data, target));
            Called(nameof(Workload.FindFirst));
        }
        Result("FindFirst.empty", Workload.FindFirst(Array.Empty<int>(), 1));
        Called(nameof(Workload.FindFirst));

        Result("Fibonacci.15", Workload.Fibonacci(15));
        Called(nameof(Workload.Fibonacci), FibonacciCalls(15), FibonacciCalls(15));

        int thrown = 0, sum = 0;
        for (int v = 0; v < 10; v++)
        {
            try { sum += Workload.HalfOrThrow(v); }
            catch (ArgumentException) { thrown++; }
        }
        Result("HalfOrThrow", $"{sum}/{thrown}");
        Called(nameof(Workload.HalfOrThrow), 10, 10 - thrown);

        try { Workload.AlwaysThrows("always"); }
        catch (NotSupportedException e) { Result("AlwaysThrows", e.Message); }
        Expected[nameof(Workload.AlwaysThrows)] = (0, 0);

        Workload.Empty();
        Workload.Empty();
        Called(nameof(Workload.Empty), 2, 2);

        foreach (var (n, start) in new[] { (10, 0), (0, 5), (3, 100) })
        {
            int total = Workload.SumDown(n, start);
            Result($"SumDown.{n}.{start}", total);
            Called(nameof(Workload.SumDown));
            Saw(nameof(Workload.SumDown), total, n, start);
        }

        var guardTrail = new List<string>();
        foreach (int value in new[] { 21, -4 })
        {
            int doubled = Workload.Guarded(value, guardTrail);
            Result($"Guarded.{value}", doubled);
            Called(nameof(Workload.Guarded));
            Saw(nameof(Workload.Guarded), doubled, value, 1);
        }
        try { Workload.Guarded(int.MaxValue, guardTrail); }
        catch (OverflowException) { Result("Guarded.overflow", string.Join(",", guardTrail)); }
        Called(nameof(Workload.Guarded), 1, 0);
        Saw(nameof(Workload.Guarded), 0, int.MaxValue, 1);

        foreach (int n in new[] { 5, 0 })
        {
            int forwarded = Workload.TailForward(n);
            Result($"TailForward.{n}", forwarded);
            Called(nameof(Workload.TailForward));
            if (n > 0) Called(nameof(Workload.TailTarget));
        }

        foreach (var size in new[] { new Size { Width = 3, Height = 4 }, new Size { Width = 5, Height = -6 } })
        {
            long area = Workload.Area(size);
            Result($"Area.{size.Width}x{size.Height}", area);
            Called(nameof(Workload.Area));
            Saw(nameof(Workload.Area), area, size.Width + size.Height);
        }

        Result("Pick",
               $"{Workload.Pick(true, 1, 2)} {Workload.Pick(false, "a", "b")} {Workload.Pick(false, 1.5, 2.5)}");
        Called(nameof(Workload.Pick), 3, 3);

        // Several threads at once go through the same probes.
        const int threads = 4, rounds = 250;
        var totals = new long[threads];
        var workers = new Thread[threads];
        for (int t = 0; t < threads; t++)
        {
            int index = t;
            workers[t] = new Thread(() =>
            {
                for (int r = 0; r < rounds; r++) totals[index] ^= Workload.Checksum("thread " + index + " round " + r);
            });
            workers[t].Start();
        }
        foreach (var worker in workers) worker.Join();
        Result("Checksum", totals.Aggregate(0L, (a, b) => unchecked(a ^ b)));
        Called(nameof(Workload.Checksum), threads * rounds, threads * rounds);

        foreach (var line in results) Console.WriteLine(line);

        var methods = typeof(Workload).GetMembers(BindingFlags.Public | BindingFlags.NonPublic | BindingFlags.Static |
                                                  BindingFlags.Instance | BindingFlags.DeclaredOnly)
                                      .OfType<MethodBase>()
                                      .ToDictionary(m => m.Name, m => m.MetadataToken);
        foreach (var (name, count) in Expected)
        {
            var recorded = Probe.Recorded(methods[name]);
            Console.WriteLine(
                $"count {name} expected {count.Enter} {count.Exit} recorded {recorded.Enter} {recorded.Exit}");
        }
        Console.WriteLine($"probe anomalies {Probe.Anomalies}");
        foreach (var (name, seen) in ExpectedValues)
            Console.WriteLine($"values {name} {string.Join(" ", seen.Arguments)} ret {seen.Returned}");

        string? report = Environment.GetEnvironmentVariable("IL_PROBE_REPORT");
        if (report is not null) File.WriteAllText(report, $"module {Probe.Module}\n");
        return 0;
    }
}
