// A web shop on Kestrel for the end-to-end tests: minimal API endpoints and one MVC controller,
// whose work runs through methods of the Shop.Web namespaces, an outgoing HttpClient (absolute
// URLs and URLs relative to a base address, served by the app itself) and a handler that throws.
// Listens where --urls says; prints "ready" once it accepts requests and stops on SIGTERM.
// /ledger/{id} runs one statement, and with QX_SHOP_SLOWER=1 is slower and runs one more (the
// comparison of two runs' tests). "WebShop reflect ROWS.tsv" tells which catalogue entries exist in this framework.
using Shop.Web.Catalogue;
using Shop.Web.Orders;

if (args.Length >= 2 && args[0] == "reflect")
{
    return CatalogueReflection.Report(args[1], typeof(object).Assembly, typeof(HttpClient).Assembly,
        typeof(Microsoft.AspNetCore.Server.Kestrel.Core.KestrelServerOptions).Assembly,
        typeof(Microsoft.AspNetCore.Http.HostString).Assembly, typeof(Microsoft.AspNetCore.Http.HttpContext).Assembly,
        typeof(Microsoft.AspNetCore.Hosting.IWebHostBuilder).Assembly, typeof(WebApplication).Assembly,
        typeof(Microsoft.AspNetCore.Routing.RouteHandler).Assembly, typeof(Microsoft.AspNetCore.Mvc.ControllerBase).Assembly,
        typeof(Microsoft.AspNetCore.Mvc.JsonResult).Assembly, typeof(Microsoft.AspNetCore.Mvc.ViewResult).Assembly,
        typeof(Microsoft.AspNetCore.Authentication.AuthenticationMiddleware).Assembly,
        typeof(Microsoft.AspNetCore.Authorization.AuthorizationMiddleware).Assembly,
        typeof(Microsoft.AspNetCore.Diagnostics.ExceptionHandlerMiddleware).Assembly,
        typeof(Microsoft.Extensions.DependencyInjection.ServiceProvider).Assembly);
}

var builder = WebApplication.CreateBuilder(args);
builder.Logging.ClearProviders();
builder.Services.AddControllers();
builder.Services.AddSingleton<CatalogueService>();
builder.Services.AddSingleton<OrderService>();
builder.Services.AddSingleton<Courier>();
var app = builder.Build();

app.MapGet("/orders/{id:int}", (int id, string? currency, OrderService orders) =>
    Results.Json(orders.Quote(id, currency ?? "EUR")));
app.MapPost("/orders", (OrderRequest request, OrderService orders) =>
    Results.Created("/orders/" + request.Id, orders.Quote(request.Id, request.Currency)));
app.MapGet("/fail", (string? reason, OrderService orders) => orders.Refuse(reason ?? "none"));
app.MapGet("/fetch", async (Courier courier) => Results.Text(await courier.FetchBoth()));
app.MapGet("/ledger/{id:int}", (int id) => Results.Text(Shop.Web.Reports.Ledger.Build(id)));
app.MapControllers();
app.Lifetime.ApplicationStarted.Register(() =>
{
    Courier.Start(app.Urls.First());
    Console.WriteLine("ready");
});
app.Run();
return 0;

namespace Shop.Web.Orders
{
    public sealed record OrderRequest(int Id, string Currency);

    public sealed record Quote(int OrderId, string Currency, decimal Net, decimal Tax, decimal Total);

    public sealed class OrderService(CatalogueService catalogue)
    {
        public Quote Quote(int orderId, string currency)
        {
            decimal net = 0;
            foreach (var item in catalogue.Page(1 + orderId % 3))
                net += PriceRules.Convert(item.Price, currency);
            decimal tax = PriceRules.Tax(net);
            return new Quote(orderId, currency, net, tax, net + tax);
        }

        public string Refuse(string reason) => Validator.Check(reason);
    }

    public static class PriceRules
    {
        public static decimal Convert(decimal price, string currency) => currency == "USD" ? price * 1.1m : price;

        public static decimal Tax(decimal net) => Math.Round(net * 0.2m, 2);
    }

    public static class Validator
    {
        public static string Check(string reason) =>
            throw new InvalidOperationException("order refused: " + reason);
    }

    // Calls the app's own endpoints: with absolute URLs, and once relative to a base address.
    public sealed class Courier
    {
        private static HttpClient? plain;
        private static HttpClient? based;

        public static void Start(string root)
        {
            plain = new HttpClient();
            based = new HttpClient { BaseAddress = new Uri(root.TrimEnd('/') + "/api/") };
        }

        public async Task<string> FetchBoth()
        {
            string origin = based!.BaseAddress!.GetLeftPart(UriPartial.Authority);
            string order = await plain!.GetStringAsync(origin + "/orders/7?currency=USD");
            string page = await based.GetStringAsync("catalogue/items?page=2");
            // Answers that are not a success: no such path, and a method the path does not take.
            using var missing = await plain.GetAsync(origin + "/missing");
            using var content = new StringContent("{}", System.Text.Encoding.UTF8, "application/json");
            using var posted = await plain.PostAsync(origin + "/fetch", content);
            return order.Length + " " + page.Length + " " + (int)missing.StatusCode + " " + (int)posted.StatusCode;
        }
    }
}

namespace Shop.Web.Catalogue
{
    public sealed record Item(int Id, string Name, decimal Price);

    public sealed class CatalogueService
    {
        private readonly Item[] items = Enumerable.Range(1, 30)
            .Select(i => new Item(i, "Item " + i, 2m + i % 7))
            .ToArray();

        public IReadOnlyList<Item> Page(int page) => items.Skip((page - 1) * 5).Take(5).ToArray();

        public Item? Find(int id) => items.FirstOrDefault(i => i.Id == id);
    }
}

namespace Shop.Web.Controllers
{
    using Microsoft.AspNetCore.Mvc;

    [ApiController]
    [Route("api/catalogue")]
    public sealed class CatalogueController(CatalogueService catalogue) : ControllerBase
    {
        [HttpGet("items")]
        public IActionResult Items(int page = 1) => Ok(catalogue.Page(Math.Max(page, 1)));

        [HttpGet("items/{id:int}")]
        public IActionResult Item(int id) => catalogue.Find(id) is { } item ? Ok(item) : NotFound();
    }
}

namespace Shop.Web.Reports
{
    public static class Ledger
    {
        private static readonly bool Slower = Environment.GetEnvironmentVariable("QX_SHOP_SLOWER") == "1";

        public static string Build(int id)
        {
            Query("select total from ledger where id = @id", id);
            if (Slower)
            {
                Thread.Sleep(60);
                Query("select count(*) from ledger_lines where ledger = @id", id);
            }
            return "ledger " + id;
        }

        // No server behind it: the command refuses at once on its closed connection, and the
        // collector still sees the statement run.
        private static void Query(string sql, int id)
        {
            using var connection = new Npgsql.NpgsqlConnection("Host=127.0.0.1;Database=ledger");
            using var command = new Npgsql.NpgsqlCommand(sql, connection);
            command.Parameters.AddWithValue("id", id);
            try
            {
                command.ExecuteScalar();
            }
            catch (InvalidOperationException)
            {
            }
        }
    }
}
