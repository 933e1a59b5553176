// A library of its own, loaded only when the app first calls into it: its first call comes right
// after its module loads.
namespace Engines.Late;

public static class Greeter
{
    public static string Hello(string name) => "hello " + name;
}
