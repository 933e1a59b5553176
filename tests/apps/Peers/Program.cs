// Drives real PostgreSQL, MariaDB and Redis servers and an HTTP server through the client libraries
// the monitored-method catalogue names, so the end-to-end tests can see what the agent captures
// from them. Every value the tests look for in the command stream (command texts, connection
// strings, keys, URLs, the sleep time) is made here and printed, and the output is deterministic:
// the same run without the agent prints the same lines.
//
//   Peers run [postgres] [mysql] [sqlclient] [redis] [http] [sleep]   (all parts when none is named)
//   Peers reflect ROWS.tsv                                 (what this runtime and these libraries
//                                                           offer for each catalogue row)
//
// Settings come from the environment: QX_PG_CONNECTION, QX_MYSQL_CONNECTION,
// QX_REDIS_CONFIGURATION, QX_HTTP_URL (base URL of the test's server), QX_SLEEP_MS.
using System.Data.Common;
using System.Net;
using System.Reflection;
using System.Text;
using System.Text.Json;
using MySqlConnector;
using Npgsql;
using NpgsqlTypes;
using StackExchange.Redis;

namespace PeersApp;

public static class Program
{
    static readonly Assembly[] ReflectedLibraries =
    {
        typeof(object).Assembly, typeof(HttpClient).Assembly, typeof(System.Data.Common.DbCommand).Assembly,
#pragma warning disable SYSLIB0014
        typeof(System.Net.WebRequest).Assembly, typeof(System.Net.HttpWebRequest).Assembly,
#pragma warning restore SYSLIB0014
        typeof(Thread).Assembly, typeof(Task).Assembly, typeof(System.Net.Sockets.Socket).Assembly,
        typeof(NpgsqlConnection).Assembly, typeof(MySqlConnection).Assembly, typeof(ConnectionMultiplexer).Assembly,
        typeof(Microsoft.Data.SqlClient.SqlCommand).Assembly,
    };

    public static async Task<int> Main(string[] args)
    {
        if (args.Length >= 2 && args[0] == "reflect")
            return CatalogueReflection.Report(args[1], ReflectedLibraries);
        if (args.Length == 0 || args[0] != "run")
        {
            Console.Error.WriteLine("usage: Peers run [postgres] [mysql] [sqlclient] [redis] [http] [sleep] | Peers reflect ROWS.tsv");
            return 2;
        }
        var parts = args.Skip(1).ToHashSet();
        bool Wanted(string part) => parts.Count == 0 || parts.Contains(part);

        if (Wanted("postgres")) await PostgresClient.Run(Setting("QX_PG_CONNECTION"));
        if (Wanted("mysql")) await MySqlClient.Run(Setting("QX_MYSQL_CONNECTION"));
        if (Wanted("sqlclient")) await SqlServerClient.Run();
        if (Wanted("redis")) await RedisClient.Run(Setting("QX_REDIS_CONFIGURATION"));
        if (Wanted("http")) await WebClient.Run(Setting("QX_HTTP_URL"));
        if (Wanted("sleep")) await Pauses.Run(int.Parse(Environment.GetEnvironmentVariable("QX_SLEEP_MS") ?? "137"));
        Console.WriteLine("done");
        return 0;
    }

    static string Setting(string name) =>
        Environment.GetEnvironmentVariable(name) is { Length: > 0 } value
            ? value
            : throw new InvalidOperationException(name + " is not set");
}

// The same statements run on both databases, through the provider's own types, through the
// base ADO.NET types, synchronously and asynchronously.
public static class Statements
{
    public const string Insert = "INSERT INTO qx_items (id, name) VALUES (@id, @name)";
    public const string Count = "SELECT COUNT(*) FROM qx_items WHERE id >= @min";
    public const string Select = "SELECT id, name FROM qx_items WHERE name LIKE @pattern ORDER BY id";
    public const string Update = "UPDATE qx_items SET name = @name WHERE id = @id";
    public const string ByBaseType = "SELECT name FROM qx_items WHERE id = @id";
    public const string Rollback = "DELETE FROM qx_items";
    public static readonly string[] Names = { "alpha", "beta", "gamma" };

    // One parameter of each kind the agent reads, a null, a long text and a secret.
    public const string Secret = "s3cret-param-value";
    public static readonly string LongNote = new string('n', 5000);
    public static readonly DateTime When = new(2024, 5, 17, 10, 30, 15, DateTimeKind.Unspecified);
    public static readonly Guid Uid = new("0f8fad5b-d9cb-469f-a165-70867728950e");

    public static void AddTyped(DbCommand command, string prefix)
    {
        void Add(string name, object value)
        {
            var parameter = command.CreateParameter();
            parameter.ParameterName = prefix + name;
            parameter.Value = value;
            command.Parameters.Add(parameter);
        }
        Add("id", 42);
        Add("big", 5000000000L);
        Add("flag", true);
        Add("ratio", 0.25);
        Add("price", 12.50m);
        Add("when", When);
        Add("uid", Uid);
        Add("nothing", DBNull.Value);
        Add("note", LongNote);
        Add("password", Secret);
    }

    public static string Row(DbDataReader reader)
    {
        if (!reader.Read()) return "none";
        return Convert.ToInt32(reader.GetValue(0)) + " " + Convert.ToInt64(reader.GetValue(1)) + " " +
               reader.IsDBNull(7) + " " + Convert.ToInt32(reader.GetValue(8));
    }

    public static string Rows(DbDataReader reader)
    {
        var rows = new List<string>();
        while (reader.Read())
            rows.Add(Convert.ToInt32(reader.GetValue(0)) + ":" + reader.GetString(1));
        return string.Join(" ", rows);
    }
}

public static class PostgresClient
{
    public const string Create = "CREATE TEMP TABLE qx_items (id integer PRIMARY KEY, name text NOT NULL)";
    public const string Typed = "SELECT @id::int, @big::bigint, @flag::boolean, @ratio::float8, @price::numeric, " +
                                "@when::timestamp, @uid::uuid, @nothing::text, length(@note::text), @password::text";
    public const string Sleep = "SELECT pg_sleep(0.2)";

    public static async Task Run(string connectionString)
    {
        using var connection = new NpgsqlConnection(connectionString);
        connection.Open();
        using (var create = new NpgsqlCommand(Create, connection))
            Console.WriteLine("postgres create " + create.ExecuteNonQuery());

        using (var insert = new NpgsqlCommand())
        {
            insert.Connection = connection;
            insert.CommandText = Statements.Insert;
            var id = insert.Parameters.Add("id", NpgsqlDbType.Integer);
            var name = insert.Parameters.Add("name", NpgsqlDbType.Text);
            var inserted = 0;
            for (var i = 0; i < Statements.Names.Length; i++)
            {
                id.Value = i + 1;
                name.Value = Statements.Names[i];
                inserted += insert.ExecuteNonQuery();
            }
            Console.WriteLine("postgres inserted " + inserted);
        }

        using (var count = new NpgsqlCommand(Statements.Count, connection))
        {
            count.Parameters.AddWithValue("min", 2);
            Console.WriteLine("postgres count " + count.ExecuteScalar());
            Console.WriteLine("postgres count async " + await count.ExecuteScalarAsync());
        }

        using (var select = new NpgsqlCommand(Statements.Select, connection))
        {
            select.Parameters.AddWithValue("pattern", "%a%");
            using (var reader = select.ExecuteReader())
                Console.WriteLine("postgres rows " + Statements.Rows(reader));
            await using (var reader = await select.ExecuteReaderAsync())
                Console.WriteLine("postgres rows async " + Statements.Rows(reader));
        }

        using (var update = new NpgsqlCommand(Statements.Update, connection))
        {
            update.Parameters.AddWithValue("id", 3);
            update.Parameters.AddWithValue("name", "delta");
            Console.WriteLine("postgres updated async " + await update.ExecuteNonQueryAsync());
        }

        // Through the base type, as data-access layers written against ADO.NET do.
        await BaseType.Run("postgres", connection, new NpgsqlCommand(), "");

        using (var typed = new NpgsqlCommand(PostgresClient.Typed, connection))
        {
            Statements.AddTyped(typed, "");
            using (var reader = typed.ExecuteReader())
                Console.WriteLine("postgres typed " + Statements.Row(reader));
            await using (var reader = await typed.ExecuteReaderAsync())
                Console.WriteLine("postgres typed async " + Statements.Row(reader));
        }
        using (var sleep = new NpgsqlCommand(PostgresClient.Sleep, connection))
            Console.WriteLine("postgres slept async " + await sleep.ExecuteNonQueryAsync());

        using (var transaction = connection.BeginTransaction())
        {
            using var delete = new NpgsqlCommand(Statements.Rollback, connection, transaction);
            Console.WriteLine("postgres deleted in transaction " + delete.ExecuteNonQuery());
            transaction.Rollback();
        }

        // A connection configured after construction.
        using var second = new NpgsqlConnection();
        second.ConnectionString = connectionString;
        await second.OpenAsync();
        using (var version = new NpgsqlCommand("SELECT current_database()", second))
            Console.WriteLine("postgres database " + version.ExecuteScalar());
    }
}

public static class MySqlClient
{
    public const string Create = "CREATE TEMPORARY TABLE qx_items (id INT PRIMARY KEY, name VARCHAR(32) NOT NULL)";
    public const string Typed = "SELECT @id, @big, @flag, @ratio, @price, @when, @uid, @nothing, LENGTH(@note), @password";
    public const string Sleep = "SELECT SLEEP(0.2)";

    public static async Task Run(string connectionString)
    {
        using var connection = new MySqlConnection(connectionString);
        connection.Open();
        using (var create = new MySqlCommand(Create, connection))
            Console.WriteLine("mysql create " + create.ExecuteNonQuery());

        using (var insert = new MySqlCommand())
        {
            insert.Connection = connection;
            insert.CommandText = Statements.Insert;
            var id = insert.Parameters.Add("@id", MySqlDbType.Int32);
            var name = insert.Parameters.Add("@name", MySqlDbType.VarChar);
            var inserted = 0;
            for (var i = 0; i < Statements.Names.Length; i++)
            {
                id.Value = i + 1;
                name.Value = Statements.Names[i];
                inserted += insert.ExecuteNonQuery();
            }
            Console.WriteLine("mysql inserted " + inserted);
        }

        using (var count = new MySqlCommand(Statements.Count, connection))
        {
            count.Parameters.AddWithValue("@min", 2);
            Console.WriteLine("mysql count " + count.ExecuteScalar());
            Console.WriteLine("mysql count async " + await count.ExecuteScalarAsync());
        }

        using (var select = new MySqlCommand(Statements.Select, connection))
        {
            select.Parameters.AddWithValue("@pattern", "%a%");
            using (var reader = select.ExecuteReader())
                Console.WriteLine("mysql rows " + Statements.Rows(reader));
            await using (var reader = await select.ExecuteReaderAsync())
                Console.WriteLine("mysql rows async " + Statements.Rows(reader));
        }

        using (var update = new MySqlCommand(Statements.Update, connection))
        {
            update.Parameters.AddWithValue("@id", 3);
            update.Parameters.AddWithValue("@name", "delta");
            Console.WriteLine("mysql updated async " + await update.ExecuteNonQueryAsync());
        }

        await BaseType.Run("mysql", connection, new MySqlCommand(), "@");

        using (var typed = new MySqlCommand(MySqlClient.Typed, connection))
        {
            Statements.AddTyped(typed, "@");
            using (var reader = typed.ExecuteReader())
                Console.WriteLine("mysql typed " + Statements.Row(reader));
            await using (var reader = await typed.ExecuteReaderAsync())
                Console.WriteLine("mysql typed async " + Statements.Row(reader));
        }
        using (var sleep = new MySqlCommand(MySqlClient.Sleep, connection))
            Console.WriteLine("mysql slept async " + await sleep.ExecuteScalarAsync());

        using (var transaction = connection.BeginTransaction())
        {
            using var delete = new MySqlCommand(Statements.Rollback, connection, transaction);
            Console.WriteLine("mysql deleted in transaction " + delete.ExecuteNonQuery());
            transaction.Rollback();
        }
        await using (var transaction = await connection.BeginTransactionAsync())
        {
            using var touch = new MySqlCommand("UPDATE qx_items SET name = name WHERE id = 1", connection, transaction);
            touch.ExecuteNonQuery();
            await transaction.CommitAsync();
            Console.WriteLine("mysql committed async");
        }
        using (var transaction = connection.BeginTransaction())
        {
            transaction.Commit();
            Console.WriteLine("mysql committed");
        }
        await using (var transaction = await connection.BeginTransactionAsync())
        {
            await transaction.RollbackAsync();
            Console.WriteLine("mysql rolled back async");
        }

        using var second = new MySqlConnection();
        second.ConnectionString = connectionString;
        await second.OpenAsync();
        using (var database = new MySqlCommand("SELECT DATABASE()", second))
            Console.WriteLine("mysql database " + database.ExecuteScalar());
    }
}

// SQL Server's provider without a server: a command refuses to run without an open connection,
// after its execute method was entered with its parameters.
public static class SqlServerClient
{
    public const string Select = "SELECT name FROM items WHERE id = @id AND owner = @owner";

    public static async Task Run()
    {
        using var connection = new Microsoft.Data.SqlClient.SqlConnection();
        using var command = new Microsoft.Data.SqlClient.SqlCommand(Select, connection);
        command.Parameters.AddWithValue("@id", 7);
        command.Parameters.AddWithValue("@owner", "ann");
        try { command.ExecuteScalar(); }
        catch (InvalidOperationException) { Console.WriteLine("sqlclient refused without a connection"); }
        try { await command.ExecuteScalarAsync(); }
        catch (InvalidOperationException) { Console.WriteLine("sqlclient refused async without a connection"); }
    }
}

// Data-access code written against the ADO.NET base types, whatever the provider.
public static class BaseType
{
    public static async Task Run(string label, DbConnection connection, DbCommand command, string prefix)
    {
        using (command)
        {
            command.Connection = connection;
            command.CommandText = Statements.ByBaseType;
            var id = command.CreateParameter();
            id.ParameterName = prefix + "id";
            id.Value = 2;
            command.Parameters.Add(id);
            using (var reader = command.ExecuteReader())
                Console.WriteLine(label + " base rows " + (reader.Read() ? reader.GetString(0) : "none"));
            await using (var reader = await command.ExecuteReaderAsync())
                Console.WriteLine(label + " base rows async " + (await reader.ReadAsync() ? reader.GetString(0) : "none"));
        }
    }
}

public static class RedisClient
{
    public static async Task Run(string configuration)
    {
        using var multiplexer = ConnectionMultiplexer.Connect(configuration);
        var db = multiplexer.GetDatabase(3);
        db.KeyDelete(new RedisKey[] { "qx:greeting", "qx:counter", "qx:hash", "qx:list", "qx:async" });
        Console.WriteLine("redis set " + db.StringSet("qx:greeting", "hello"));
        Console.WriteLine("redis get " + db.StringGet("qx:greeting"));
        db.StringIncrement("qx:counter");
        Console.WriteLine("redis incr " + db.StringIncrement("qx:counter", 5));
        db.HashSet("qx:hash", "colour", "blue");
        Console.WriteLine("redis hget " + db.HashGet("qx:hash", "colour"));
        db.ListRightPush("qx:list", "one");
        Console.WriteLine("redis llen " + db.ListRightPush("qx:list", "two"));
        Console.WriteLine("redis expire " + db.KeyExpire("qx:greeting", TimeSpan.FromMinutes(5)));
        Console.WriteLine("redis exists " + db.KeyExists("qx:counter"));
        await db.StringSetAsync("qx:async", "later");
        Console.WriteLine("redis get async " + await db.StringGetAsync("qx:async"));
        Console.WriteLine("redis delete " + db.KeyDelete("qx:counter"));
    }
}

public static class WebClient
{
    public static async Task Run(string baseUrl)
    {
        using var client = new HttpClient();
        Console.WriteLine("http get string " + await client.GetStringAsync(baseUrl + "/items/7?colour=blue"));
        using (var response = await client.GetAsync(baseUrl + "/items/8"))
            Console.WriteLine("http get " + (int)response.StatusCode + " " + await response.Content.ReadAsStringAsync());
        using (var content = new StringContent("{\"sku\":\"QX-1\",\"quantity\":2}", Encoding.UTF8, "application/json"))
        using (var response = await client.PostAsync(baseUrl + "/orders", content))
            Console.WriteLine("http post " + (int)response.StatusCode + " " + await response.Content.ReadAsStringAsync());
        using (var request = new HttpRequestMessage(HttpMethod.Put, baseUrl + "/items/9"))
        {
            request.Content = new StringContent("nine");
            using var response = await client.SendAsync(request);
            Console.WriteLine("http send " + (int)response.StatusCode + " " + await response.Content.ReadAsStringAsync());
        }
        using (var content = new StringContent("ten"))
        using (var response = await client.PutAsync(baseUrl + "/items/10", content))
            Console.WriteLine("http put " + (int)response.StatusCode + " " + await response.Content.ReadAsStringAsync());
        using (var response = await client.DeleteAsync(baseUrl + "/items/10"))
            Console.WriteLine("http delete " + (int)response.StatusCode);
        var bytes = await client.GetByteArrayAsync(baseUrl + "/bytes");
        Console.WriteLine("http bytes " + bytes.Length);
        await using (var stream = await client.GetStreamAsync(baseUrl + "/items/11"))
        using (var reader = new StreamReader(stream))
            Console.WriteLine("http stream " + await reader.ReadToEndAsync());

        // The request API that predates HttpClient, still shipped and still used by older code.
#pragma warning disable SYSLIB0014
        var legacy = (HttpWebRequest)WebRequest.Create(baseUrl + "/legacy");
#pragma warning restore SYSLIB0014
        using (var response = (HttpWebResponse)legacy.GetResponse())
        using (var reader = new StreamReader(response.GetResponseStream()))
            Console.WriteLine("http legacy " + (int)response.StatusCode + " " + reader.ReadToEnd());
#pragma warning disable SYSLIB0014
        var begun = (HttpWebRequest)WebRequest.Create(baseUrl + "/legacy/begun");
#pragma warning restore SYSLIB0014
        var pending = begun.BeginGetResponse(null, null);
        using (var response = (HttpWebResponse)begun.EndGetResponse(pending))
        using (var reader = new StreamReader(response.GetResponseStream()))
            Console.WriteLine("http legacy begun " + (int)response.StatusCode + " " + reader.ReadToEnd());
    }
}

public static class Pauses
{
    public static async Task Run(int milliseconds)
    {
        Thread.Sleep(milliseconds);
        Console.WriteLine("slept " + milliseconds);
        await Task.Delay(milliseconds / 2);
        Console.WriteLine("delayed " + milliseconds / 2);
    }
}
