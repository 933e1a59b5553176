// Many monitored calls with a long SQL text each: begin-calls of about 4 KB, larger than what a
// pipe takes in one piece, for the delivery tests.
namespace CaptureApp
{
    public static class Flood
    {
        // A pause of a millisecond after every `burst` calls (0: none). `tagged`: the text is the
        // process id repeated, so that a reader can tell whose bytes it holds.
        public static string Run(int rounds, int burst, bool tagged = false)
        {
            string text = tagged ? Tag(30000) : Values.Digits(30000);
            long total = 0;
            for (int i = 0; i < rounds; i++)
            {
                total += new Npgsql.NpgsqlCommand(text).Text.Length;
                if (burst > 0 && i % burst == burst - 1) Thread.Sleep(1);
            }
            return rounds + " " + total;
        }

        public static string Tag(int length)
        {
            string unit = "<" + Environment.ProcessId + ">";
            var text = new System.Text.StringBuilder(length + unit.Length);
            while (text.Length < length) text.Append(unit);
            return text.ToString(0, length);
        }
    }
}
