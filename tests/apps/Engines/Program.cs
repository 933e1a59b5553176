// The app of the engine comparison: the shapes of code that the two ways of tracing reach
// differently (generic methods and classes, async methods, a method that only throws, several
// returns behind a switch, a loop hot enough for tier-up and on-stack replacement, the first
// call into a module that has just loaded). Deterministic; it prints what it computed and how
// often each traced method ran, so a test can check the collector's counts.
using System.Reflection;
using System.Reflection.Emit;
using System.Runtime.CompilerServices;

namespace Engines.Cases
{
    public struct Point
    {
        public int X;
        public int Y;
        public Point(int x, int y) { X = x; Y = y; }
    }

    public static class Generics
    {
        [MethodImpl(MethodImplOptions.NoInlining)]
        public static T Echo<T>(T value) => value;

        [MethodImpl(MethodImplOptions.NoInlining)]
        public static int Count<T>(IEnumerable<T> items)
        {
            int n = 0;
            foreach (var _ in items) n++;
            return n;
        }
    }

    public class Box<T>
    {
        readonly T value;
        public Box(T value) { this.value = value; }

        public T Open() => value;

        public TOut Map<TOut>(Func<T, TOut> map) => map(value);
    }

    public static class Branches
    {
        public static string Classify(int x)
        {
            switch (x)
            {
                case 0: return "zero";
                case 1: return "one";
                case 2: return "two";
                case 3:
                case 4: return "few";
                default:
                    if (x < 0) return "negative";
                    return x > 100 ? "huge" : "many";
            }
        }
    }

    public static class Throwers
    {
        public static void Fail(int code) => throw new InvalidOperationException("code " + code);

        public static int Guard(int code)
        {
            try
            {
                Fail(code);
                return -1;
            }
            catch (InvalidOperationException)
            {
                return code;
            }
        }
    }

    public static class Hot
    {
        public static int Step(int i) => (i * 31) ^ (i >> 3);

        // One long-running loop: it moves from its first compilation to an optimised one while
        // it runs (on-stack replacement), and Step is called often enough to be tiered up.
        public static long Spin(int count)
        {
            long sum = 0;
            for (int i = 0; i < count; i++) sum += Step(i);
            return sum;
        }
    }

    public static class Waits
    {
        public static async Task<int> Twice(int x)
        {
            await Task.Delay(10);
            return x * 2;
        }

        public static async Task<int> Chain()
        {
            int a = await Twice(1);
            int b = await Twice(2);
            return a + b;
        }
    }

    // A method of a module made at run time: nothing on disk to read it from.
    public static class Emitted
    {
        public static int Run()
        {
            var assembly = AssemblyBuilder.DefineDynamicAssembly(new AssemblyName("Emitted"), AssemblyBuilderAccess.Run);
            var type = assembly.DefineDynamicModule("Emitted").DefineType("Emitted.Made.Answer",
                TypeAttributes.Public | TypeAttributes.Class);
            var method = type.DefineMethod("Get", MethodAttributes.Public | MethodAttributes.Static, typeof(int),
                Type.EmptyTypes);
            var il = method.GetILGenerator();
            il.Emit(OpCodes.Ldc_I4, 42);
            il.Emit(OpCodes.Ret);
            return (int)type.CreateType()!.GetMethod("Get")!.Invoke(null, null)!;
        }
    }

    public static class Program
    {
        public static int Main(string[] args)
        {
            if (args.Length > 0 && args[0] == "emit")
            {
                Console.WriteLine(Emitted.Run());
                return 0;
            }
            int spins = args.Length > 0 ? int.Parse(args[0]) : 30000;
            Console.WriteLine(Generics.Echo(7) + " " + Generics.Echo("seven") + " " + Generics.Echo(new Point(1, 2)).Y);
            Console.WriteLine(Generics.Count(new[] { 1, 2, 3 }) + Generics.Count(new List<string> { "a" }));
            Console.WriteLine(new Box<int>(5).Open() + new Box<string>("x").Map(s => s.Length));
            foreach (int x in new[] { 0, 1, 2, 3, 4, 5, -1, 500 }) Console.WriteLine(Branches.Classify(x));
            Console.WriteLine(Throwers.Guard(3));
            Console.WriteLine(Hot.Spin(spins));
            Console.WriteLine(Waits.Chain().GetAwaiter().GetResult());
            Console.WriteLine(Late.Greeter.Hello("late"));
            int next = 0;
            for (int i = 0; i < spins; i++) next = Late.Greeter.Next(next) & 0xFFFF;
            Console.WriteLine(next);
            try
            {
                Late.Greeter.Refuse("late");
            }
            catch (InvalidOperationException e)
            {
                Console.WriteLine(e.StackTrace!.Contains("Refuse") ? e.Message : "no frame");
            }
            Console.WriteLine("Step calls " + spins);
            return 0;
        }
    }
}
