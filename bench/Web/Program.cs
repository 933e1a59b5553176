// A small web app for the request-rate benchmark: two endpoints whose work runs through a few
// methods of a namespace, so that the agent traces every request's calls. Bound where --urls says.
using BenchWeb.Shop;

var builder = WebApplication.CreateSlimBuilder(args);
builder.Logging.ClearProviders();
var app = builder.Build();

var catalogue = new Catalogue();
var orders = new OrderService(catalogue);
var reports = new ReportService(catalogue);

app.MapGet("/orders/{id:int}", (int id) => Results.Json(orders.Quote(id)));
app.MapGet("/report", (int? size) => Results.Text(reports.TopSellers(Math.Clamp(size ?? 20, 1, 200))));
app.Run();

namespace BenchWeb.Shop
{
    public sealed record Product(int Id, string Name, decimal Price, int Sold);

    public sealed record Quote(int OrderId, int Lines, decimal Net, decimal Tax, decimal Total);

    public sealed class Catalogue
    {
        private readonly Product[] products;

        public Catalogue()
        {
            products = new Product[500];
            for (int i = 0; i < products.Length; i++)
                products[i] = new Product(i, "Product " + i, 1.5m + (i * 37 % 200) / 4m, i * 7919 % 1000);
        }

        public Product Find(int id) => products[(id & int.MaxValue) % products.Length];

        public IReadOnlyList<Product> All() => products;
    }

    public sealed class OrderService(Catalogue catalogue)
    {
        public Quote Quote(int orderId)
        {
            int lines = 3 + orderId % 5;
            decimal net = 0;
            for (int line = 0; line < lines; line++)
                net += LinePrice(catalogue.Find(orderId * 31 + line), 1 + line % 3);
            net = PriceRules.Discount(net, lines);
            decimal tax = PriceRules.Tax(net);
            return new Quote(orderId, lines, net, tax, net + tax);
        }

        private static decimal LinePrice(Product product, int quantity) => product.Price * quantity;
    }

    public static class PriceRules
    {
        public static decimal Discount(decimal net, int lines) => lines >= 5 ? Math.Round(net * 0.95m, 2) : net;

        public static decimal Tax(decimal net) => Math.Round(net * 0.2m, 2);
    }

    public sealed class ReportService(Catalogue catalogue)
    {
        public string TopSellers(int size)
        {
            var top = catalogue.All().OrderByDescending(p => p.Sold).ThenBy(p => p.Id).Take(size);
            var text = new System.Text.StringBuilder();
            foreach (var product in top) AppendLine(text, product);
            return text.ToString();
        }

        private static void AppendLine(System.Text.StringBuilder text, Product product) =>
            text.Append(product.Id).Append(' ').Append(product.Name).Append(' ').Append(product.Sold).Append('\n');
    }
}
