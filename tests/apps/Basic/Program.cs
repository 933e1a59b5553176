// A small console app whose output is deterministic, so a run with the agent loaded can be
// compared with a plain run. OS thread ids go to the file named by APP_TID_FILE (one line per
// thread: "<label> <tid> <unix-ms>") so tests can match them against the announced threads.
using System.Runtime.InteropServices;

static class Native
{
    [DllImport("libc", EntryPoint = "syscall")]
    private static extern long Syscall(long number);

    public static long GetTid() => Syscall(186); // gettid on x86-64

    [DllImport("libc", EntryPoint = "signal")]
    public static extern IntPtr Signal(int signum, IntPtr handler);
}

static class Program
{
    private static readonly object TidLock = new();
    private static readonly string? TidFile = Environment.GetEnvironmentVariable("APP_TID_FILE");

    private static void RecordTid(string label)
    {
        if (TidFile is null) return;
        var line = $"{label} {Native.GetTid()} {DateTimeOffset.UtcNow.ToUnixTimeMilliseconds()}\n";
        lock (TidLock) File.AppendAllText(TidFile, line);
    }

    private static long Work(int seed)
    {
        long sum = 0;
        for (int i = 0; i < 1000; i++) sum += (seed * 31 + i) % 97;
        return sum;
    }

    private static int Main(string[] args)
    {
        int threads = 4, exitCode = 0, seconds = 0, intervalMs = 200;
        for (int i = 0; i + 1 < args.Length; i += 2)
        {
            int value = int.Parse(args[i + 1]);
            switch (args[i])
            {
                case "--threads": threads = value; break;
                case "--exit": exitCode = value; break;
                case "--seconds": seconds = value; break;
                case "--interval-ms": intervalMs = value; break;
                // The runtime ignores SIGPIPE; a host may not, and the agent must not care.
                case "--default-sigpipe": if (value != 0) Native.Signal(13, IntPtr.Zero); break;
                default: Console.Error.WriteLine($"unknown option {args[i]}"); return 64;
            }
        }

        Console.WriteLine("basic: start");
        if (TidFile is not null) File.AppendAllText(TidFile, $"pid {Environment.ProcessId} 0\n");
        RecordTid("main");

        long total = 0;
        var workers = new List<Thread>();
        for (int t = 0; t < threads; t++)
        {
            int id = t;
            var worker = new Thread(() =>
            {
                RecordTid($"worker{id}");
                Interlocked.Add(ref total, Work(id));
            });
            worker.Start();
            workers.Add(worker);
        }
        foreach (var worker in workers) worker.Join();
        Console.WriteLine($"basic: {threads} workers, total {total}");

        // Long-running mode: keep starting short threads so late collectors have something to see.
        if (seconds > 0)
        {
            var until = DateTime.UtcNow.AddSeconds(seconds);
            int n = 0;
            while (DateTime.UtcNow < until)
            {
                int id = n++;
                var worker = new Thread(() => RecordTid($"late{id}"));
                worker.Start();
                worker.Join();
                Thread.Sleep(intervalMs);
            }
            Console.WriteLine("basic: long run done");
        }

        Console.WriteLine($"basic: exit {exitCode}");
        return exitCode;
    }
}
