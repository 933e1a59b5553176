// A shop on Kestrel for the request tests, over real PostgreSQL (raw Npgsql and Dapper) and
// Redis: a product page cached in Redis, an order list that asks for each order's lines one by
// one, a slow report, an endpoint that throws, a 404, a page that calls the app itself over
// HTTP, and awaits that leave the thread. QX_PG_CONNECTION and QX_REDIS_CONFIGURATION say where
// the servers are; prints "ready" once it accepts requests and stops on SIGTERM.
using Dapper;
using Npgsql;
using Shop.Store;
using StackExchange.Redis;

var builder = WebApplication.CreateBuilder(args);
builder.Logging.ClearProviders();
builder.Services.AddSingleton(_ => new Database(Environment.GetEnvironmentVariable("QX_PG_CONNECTION")!));
builder.Services.AddSingleton<IConnectionMultiplexer>(_ =>
    ConnectionMultiplexer.Connect(Environment.GetEnvironmentVariable("QX_REDIS_CONFIGURATION")!));
builder.Services.AddSingleton<Catalogue>();
var app = builder.Build();

app.MapGet("/products/{id:int}", async (int id, Catalogue catalogue) => Results.Text(await catalogue.Product(id)));
app.MapGet("/orders", async (Database db) => Results.Json(await db.OrdersWithLines()));
app.MapGet("/report", async (Database db) => Results.Text(await db.SlowReport()));
app.MapGet("/boom", (Database db) => db.Refuse("stock is gone"));
app.MapGet("/proxy", async () => Results.Text(await Courier.Fetch("/products/2")));
app.Lifetime.ApplicationStarted.Register(() =>
{
    Courier.Root = app.Urls.First().TrimEnd('/');
    Console.WriteLine("ready");
});
await app.Services.GetRequiredService<Database>().Seed();
// Every run starts with an empty cache, so that the first product page misses it.
var keys = Enumerable.Range(1, 10).Select(i => (RedisKey)("product:" + i)).ToArray();
await app.Services.GetRequiredService<IConnectionMultiplexer>().GetDatabase().KeyDeleteAsync(keys);
await app.RunAsync();

namespace Shop.Store
{
    public sealed record Order(int Id, string Customer, long Lines);

    public sealed class Database(string connectionString)
    {
        public async Task Seed()
        {
            await using var connection = new NpgsqlConnection(connectionString);
            await connection.OpenAsync();
            await using var command = new NpgsqlCommand(
                "DROP TABLE IF EXISTS order_lines; DROP TABLE IF EXISTS orders; DROP TABLE IF EXISTS products;" +
                "CREATE TABLE products (id int PRIMARY KEY, name text);" +
                "CREATE TABLE orders (id int PRIMARY KEY, customer text);" +
                "CREATE TABLE order_lines (order_id int, product_id int);" +
                "INSERT INTO products SELECT g, 'product ' || g FROM generate_series(1, 10) g;" +
                "INSERT INTO orders SELECT g, 'customer ' || g FROM generate_series(1, 8) g;" +
                "INSERT INTO order_lines SELECT o, p FROM generate_series(1, 8) o, generate_series(1, 3) p;",
                connection);
            await command.ExecuteNonQueryAsync();
        }

        public async Task<string> ProductName(int id)
        {
            await using var connection = new NpgsqlConnection(connectionString);
            await connection.OpenAsync();
            await using var command = new NpgsqlCommand("SELECT name FROM products WHERE id = @id", connection);
            command.Parameters.AddWithValue("id", id);
            return (string?)await command.ExecuteScalarAsync() ?? "none";
        }

        // Asks for each order's lines one by one: the n+1 pattern.
        public async Task<List<Order>> OrdersWithLines()
        {
            await using var connection = new NpgsqlConnection(connectionString);
            await connection.OpenAsync();
            var orders = new List<Order>();
            foreach (var (id, customer) in await connection.QueryAsync<(int, string)>(
                         "SELECT id, customer FROM orders ORDER BY id"))
            {
                long lines = await connection.ExecuteScalarAsync<long>(
                    "SELECT count(*) FROM order_lines WHERE order_id = @OrderId", new { OrderId = id });
                orders.Add(new Order(id, customer, lines));
            }
            return orders;
        }

        public async Task<string> SlowReport()
        {
            await using var connection = new NpgsqlConnection(connectionString);
            await connection.OpenAsync();
            await Task.Yield();
            await connection.ExecuteAsync("SELECT pg_sleep(0.2)");
            return "report done";
        }

        public string Refuse(string reason) => throw new InvalidOperationException("order refused: " + reason);
    }

    public sealed class Catalogue(Database db, IConnectionMultiplexer redis)
    {
        public async Task<string> Product(int id)
        {
            var cache = redis.GetDatabase();
            string key = "product:" + id;
            var cached = await cache.StringGetAsync(key);
            if (cached.HasValue)
                return cached!;
            await Task.Delay(20);
            string name = await db.ProductName(id);
            await cache.StringSetAsync(key, name, TimeSpan.FromMinutes(5));
            return name;
        }
    }

    public static class Courier
    {
        private static readonly HttpClient Client = new();
        public static string Root = "";

        public static async Task<string> Fetch(string path) => await Client.GetStringAsync(Root + path);
    }
}
