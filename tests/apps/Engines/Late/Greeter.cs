// A library of its own, loaded only when the app first calls into it: its first call comes right
// after its module loads.
namespace Engines.Late
{
    public static class Greeter
    {
        public static string Hello(string name) => "hello " + name;

        // Called often enough to be compiled again, optimised.
        public static int Next(int value) => value * 3 + 1;

        // Left by an exception whose stack trace is read: the runtime then reads this frame's method.
        public static void Refuse(string what) => throw new System.InvalidOperationException("refused " + what);
    }
}
