// The traced app of the end-to-end tests: namespaces, nested and generic types, properties,
// constructors, recursion, threads and exceptions, plus classes whose names hit the agent's
// built-in lists. Its output is deterministic; counts of its own calls go to standard output so
// tests can compare them with what the collector saw.
using System.Runtime.CompilerServices;
using Corvanine.Quorix4Net.Attributes;

namespace Corvanine.Quorix4Net
{
    public static class APM
    {
        [MethodImpl(MethodImplOptions.NoInlining)] public static void Enable() { }
        [MethodImpl(MethodImplOptions.NoInlining)] public static void Disable() { }
    }
}

namespace Corvanine.Quorix4Net.Attributes
{
    [AttributeUsage(AttributeTargets.Class | AttributeTargets.Method)]
    public sealed class DoNotProfileAttribute : Attribute { }
}

namespace System.Web.Hosting
{
    // Carries the name of a request entry point, so entering it starts the thread afresh.
    public static class PipelineRuntime
    {
        [MethodImpl(MethodImplOptions.NoInlining)]
        public static int ProcessRequestNotification(int request) => Shop.Inventory.Helpers.Audit(request);
    }
}

namespace Shop.Inventory
{
    public class Warehouse
    {
        public int Count { get; set; }

        public Warehouse(int start) { Count = start; }

        public int Restock(int amount)
        {
            Count += amount;
            return Helpers.Audit(new Shelf().Place(amount));
        }

        public class Shelf
        {
            public int Place(int amount) => amount * 2;
        }
    }

    public static class Helpers
    {
        public static int Audit(int value) => value + 1;

        public static long Factorial(int n) => n <= 1 ? 1 : n * Factorial(n - 1);
    }

    public class Box<T>
    {
        private readonly T value;
        public Box(T value) { this.value = value; }
        public T Unwrap() => value;
        public TOut Map<TOut>(Func<T, TOut> map) => map(value);
    }
}

namespace Shop.Billing
{
    public class Invoice
    {
        public decimal Total(decimal net) => Math.Round(net * 1.2m, 2);
    }
}

namespace Shop.Hidden
{
    public class Secrets
    {
        [DoNotProfile] public int Hidden() => 1;
        public int Visible() => 2;
    }

    [DoNotProfile]
    public class Vault
    {
        public int Open() => 3;
    }
}

namespace Shop.Errors
{
    public static class Thrower
    {
        public static int Deep(int depth)
        {
            if (depth == 0) throw new InvalidOperationException("bottom");
            return Deep(depth - 1) + 1;
        }

        // Blacklisted by the tests' overrides file: it throws through its own frame.
        public static int Blacklisted(int depth) => Deep(depth);

        public static int Catch(int depth)
        {
            try { return Deep(depth); }
            catch (InvalidOperationException) { return -1; }
        }

        public static int CatchBlacklisted(int depth)
        {
            try { return Blacklisted(depth); }
            catch (InvalidOperationException) { return -2; }
        }
    }

    public class Refused<T> : Exception
    {
        public Refused(string message) : base(message) { }
    }

    // Exceptions of every shape the agent reads the type and message of.
    public static class Faults
    {
        public class Silent : Exception
        {
            public Silent() : base(null) { }
        }

        // A field of the same name as the runtime's own: not the exception's message.
        public class Shadowing : Exception
        {
            private readonly string _message = "a field of the app";
            public Shadowing(string message) : base(message) { }
            public override string ToString() => _message;
        }

        public static readonly string LongMessage = "long " + new string('x', 5000);

        public static void Throw(int which)
        {
            int zero = which - which;
            switch (which)
            {
                case 0: throw new InvalidOperationException("Order 7 has no lines");
                case 1: throw new Refused<int>("refused 3 of int");
                case 2: throw new Silent();
                case 3: throw new ArgumentException("cannot connect: Server=db;Password=hunter2;Database=shop");
                case 4: throw new InvalidOperationException(LongMessage);
                case 5: throw new Shadowing("the exception's own");
                case 6: throw new InvalidOperationException("Bestellung f\u00fcr J\u00fcrgen \u20ac");
                default: Console.WriteLine(1 / zero); break;  // the runtime's own
            }
        }

        public static int Catch(int which)
        {
            try { Throw(which); return 0; }
            catch (Exception) { return 1; }
        }
    }
}

namespace Shop.Live
{
    public static class Ticker
    {
        public static int Tick(int n) => n + 1;
    }
}

namespace Shop
{
    public class Workload
    {
        public static long Calls;

        public static int Step(int i)
        {
            Interlocked.Increment(ref Calls);
            return Inner(i) + 1;
        }

        // Some real work per call, as an application method has: a collector on this small machine
        // then keeps up with sixteen threads calling in a loop.
        public static int Inner(int i)
        {
            Interlocked.Increment(ref Calls);
            int acc = 0;
            for (int k = 0; k < 3000; k++) acc += (k ^ i) & 7;
            return acc % 7;
        }
    }

    public static class Program
    {
        private static int Arg(string[] args, string name, int fallback)
        {
            int i = Array.IndexOf(args, name);
            return i >= 0 && i + 1 < args.Length ? int.Parse(args[i + 1]) : fallback;
        }

        public static int Main(string[] args)
        {
            string mode = args.Length > 0 ? args[0] : "basic";
            switch (mode)
            {
                case "basic": return Basic();
                case "stress": return Stress(Arg(args, "--threads", 16), Arg(args, "--ms", 3000), Arg(args, "--steps", int.MaxValue));
                case "churn": return Churn(Arg(args, "--threads", 300));
                case "live": return Live(Arg(args, "--seconds", 70));
                case "exit-busy": return ExitBusy(Arg(args, "--threads", 8), Arg(args, "--code", 5));
                case "exceptions": return Exceptions();
                case "throw-loop": return ThrowLoop(Arg(args, "--count", 100000));
                default: Console.Error.WriteLine("unknown mode " + mode); return 64;
            }
        }

        private static int Basic()
        {
            Corvanine.Quorix4Net.APM.Enable();
            var warehouse = new Shop.Inventory.Warehouse(5);
            int restocked = warehouse.Restock(3);
            int count = warehouse.Count;
            long factorial = Shop.Inventory.Helpers.Factorial(5);
            var box = new Shop.Inventory.Box<int>(21);
            int doubled = box.Map(v => v * 2) + box.Unwrap();
            decimal total = new Shop.Billing.Invoice().Total(10m);
            var secrets = new Shop.Hidden.Secrets();
            int hidden = secrets.Hidden() + secrets.Visible() + new Shop.Hidden.Vault().Open();
            int caught = Shop.Errors.Thrower.Catch(3);
            int caughtBlacklisted = Shop.Errors.Thrower.CatchBlacklisted(2);
            int after = Shop.Inventory.Helpers.Audit(1);
            Thread.Sleep(1);
            int request = System.Web.Hosting.PipelineRuntime.ProcessRequestNotification(7);
            int again = Shop.Inventory.Helpers.Audit(2);
            int root = NoNamespace.Run();

            var worker = new Thread(() => Shop.Inventory.Helpers.Factorial(3)) { Name = "tracing-worker" };
            worker.Start();
            worker.Join();
            Corvanine.Quorix4Net.APM.Disable();

            Console.WriteLine($"restocked {restocked} count {count} factorial {factorial} doubled {doubled} " +
                              $"total {total} hidden {hidden} caught {caught} {caughtBlacklisted} after {after} " +
                              $"request {request} again {again} root {root}");
            return 0;
        }

        private static int Exceptions()
        {
            int caught = 0;
            for (int which = 0; which <= 7; which++) caught += Shop.Errors.Faults.Catch(which);
            Console.WriteLine($"caught {caught}");
            return 0;
        }

        // What throwing costs: the same exception thrown and caught in a traced method, again and again.
        private static int ThrowLoop(int count)
        {
            var watch = System.Diagnostics.Stopwatch.StartNew();
            int caught = 0;
            for (int i = 0; i < count; i++) caught += Shop.Errors.Faults.Catch(0);
            Console.WriteLine($"thrown {caught} in {watch.Elapsed.TotalMilliseconds:F0} ms");
            return 0;
        }

        // Each thread stops after `steps` steps or when the time is up, whichever comes first.
        private static int Stress(int threads, int milliseconds, int steps)
        {
            var until = DateTime.UtcNow.AddMilliseconds(milliseconds);
            // All alive at once: a thread that ended early could lend its identity to a later one.
            using var started = new Barrier(threads);
            var workers = Enumerable.Range(0, threads).Select(t => new Thread(() =>
            {
                started.SignalAndWait();
                int i = 0;
                while (i < steps && DateTime.UtcNow < until) Workload.Step(i++);
            })).ToList();
            workers.ForEach(w => w.Start());
            workers.ForEach(w => w.Join());
            Console.WriteLine($"stress calls {Workload.Calls}");
            return 0;
        }

        private static int Churn(int threads)
        {
            for (int t = 0; t < threads; t++)
            {
                var worker = new Thread(() => Workload.Step(1));
                worker.Start();
                worker.Join();
            }
            Console.WriteLine($"churn calls {Workload.Calls}");
            return 0;
        }

        // Ends the process while background threads are still inside traced functions.
        private static int ExitBusy(int threads, int code)
        {
            for (int t = 0; t < threads; t++)
            {
                new Thread(() =>
                {
                    int i = 0;
                    while (true) Workload.Step(i++);
                }) { IsBackground = true }.Start();
            }
            Thread.Sleep(500);
            Console.WriteLine("exiting while busy");
            Environment.Exit(code);
            return code;
        }

        private static int Live(int seconds)
        {
            var until = DateTime.UtcNow.AddSeconds(seconds);
            int n = 0;
            while (DateTime.UtcNow < until)
            {
                n = Shop.Live.Ticker.Tick(n);
                Thread.Sleep(200);
            }
            Console.WriteLine($"ticks {n}");
            return 0;
        }
    }
}

public static class NoNamespace
{
    public static int Run() => 1;
}
