using System.Runtime.InteropServices;
using System.Runtime.Versioning;

namespace Quorix.Tool;

// NuGet's extraction does not keep executable bits: the first run adds them.
[SupportedOSPlatform("linux")]
internal static class NativeFiles
{
    public static bool MakeExecutable(string path, out string problem)
    {
        problem = "";
        var info = new FileInfo(path);
        if (!info.Exists)
        {
            problem = $"{path} is missing: reinstall the tool";
            return false;
        }
        // A package holds no links; one here was put there by someone else, and changing its
        // mode would change the mode of whatever it points to.
        if (info.LinkTarget != null)
        {
            problem = $"{path} is a symbolic link, not the packaged file: reinstall the tool";
            return false;
        }
        var mode = info.UnixFileMode;
        // Execute only where reading is allowed already: nobody gains a right but running.
        var wanted = mode;
        if (mode.HasFlag(UnixFileMode.UserRead)) wanted |= UnixFileMode.UserExecute;
        if (mode.HasFlag(UnixFileMode.GroupRead)) wanted |= UnixFileMode.GroupExecute;
        if (mode.HasFlag(UnixFileMode.OtherRead)) wanted |= UnixFileMode.OtherExecute;
        if (wanted == mode)
        {
            return true;
        }
        try
        {
            File.SetUnixFileMode(path, wanted);
            return true;
        }
        catch (Exception e) when (e is UnauthorizedAccessException or IOException)
        {
            // Someone else's file that this user may run all the same.
            if (access(path, X_OK) == 0)
            {
                return true;
            }
            // Installed by another user: it works once its owner (or root) has run it once.
            problem = $"cannot make {path} executable ({e.Message}); run 'chmod +x {path}' as its owner";
            return false;
        }
    }

    private const int X_OK = 1;

    [DllImport("libc.so.6", SetLastError = true)]
    private static extern int access([MarshalAs(UnmanagedType.LPUTF8Str)] string path, int mode);
}
