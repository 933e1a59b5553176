using System.Runtime.InteropServices;

namespace Quorix.Tool;

// Replaces this process with the native tool a verb names, so that its arguments, standard
// streams, exit code and signals are the tool's own: Ctrl-C reaches it (and the program it runs)
// exactly as when it is started from a shell.
internal static class Launcher
{
    private const string Usage =
        "usage: quorix run [quorix-run options] -- COMMAND [ARGS...]\n" +
        "       quorix collect [quorix-collect options]\n" +
        "(quorix run --help and quorix collect --help list every option)\n";

    private static readonly Dictionary<string, string> Verbs = new()
    {
        ["run"] = "quorix-run",
        ["collect"] = "quorix-collect",
    };

    private const int ENOENT = 2;
    private const int SIGPIPE = 13;
    private const int SIG_SETMASK = 2;

    public static int Run(string[] args)
    {
        if (args.Length == 0 || args[0] is "-h" or "--help" or "help")
        {
            (args.Length == 0 ? Console.Error : Console.Out).Write(Usage);
            return args.Length == 0 ? 2 : 0;
        }
        if (!Verbs.TryGetValue(args[0], out var tool))
        {
            Console.Error.Write($"quorix: unknown command '{args[0]}'\n{Usage}");
            return 2;
        }
        if (!OperatingSystem.IsLinux() || RuntimeInformation.OSArchitecture != Architecture.X64)
        {
            Console.Error.WriteLine($"quorix: this package carries the agent for Linux x86-64 only, not {RuntimeInformation.RuntimeIdentifier}");
            return 125;
        }
        var native = Path.Combine(AppContext.BaseDirectory, "native");
        // quorix-run starts quorix-collect itself: both must be executable.
        foreach (var name in Verbs.Values)
        {
            if (!NativeFiles.MakeExecutable(Path.Combine(native, name), out var problem))
            {
                Console.Error.WriteLine("quorix: " + problem);
                return 126;
            }
        }
        var path = Path.Combine(native, tool);
        var argv = new string?[args.Length + 1];
        argv[0] = path;
        Array.Copy(args, 1, argv, 1, args.Length - 1);
        argv[^1] = null;

        // What this runtime changed of the process's signal state would outlive the exec: the
        // ignored SIGPIPE and this thread's blocked signals. Handlers are reset by exec itself.
        var empty = new ulong[16];
        sigprocmask(SIG_SETMASK, empty, IntPtr.Zero);
        signal(SIGPIPE, IntPtr.Zero);
        execv(path, argv);
        var error = Marshal.GetLastPInvokeError();
        Console.Error.WriteLine($"quorix: cannot run {path}: {Marshal.GetPInvokeErrorMessage(error)}");
        return error == ENOENT ? 127 : 126;
    }

    // LPStr is UTF-8 on Unix.
    [DllImport("libc.so.6", SetLastError = true)]
    private static extern int execv([MarshalAs(UnmanagedType.LPUTF8Str)] string path,
                                    [MarshalAs(UnmanagedType.LPArray, ArraySubType = UnmanagedType.LPStr)] string?[] argv);

    [DllImport("libc.so.6", SetLastError = true)]
    private static extern int sigprocmask(int how, ulong[] set, IntPtr oldSet);

    [DllImport("libc.so.6")]
    private static extern IntPtr signal(int signum, IntPtr handler);
}
