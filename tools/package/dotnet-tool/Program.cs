namespace Quorix.Tool;

internal static class Program
{
    private static int Main(string[] args)
    {
        try
        {
            return Launcher.Run(args);
        }
        catch (Exception e)
        {
            Console.Error.WriteLine("quorix: " + e.Message);
            return 125;
        }
    }
}
