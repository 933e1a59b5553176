// A small order-processing app to look at under the agent: a few classes calling each other,
// worker threads, and an exception that is caught.
namespace QuickStart.Orders
{
    public record Order(int Id, string Customer, decimal Amount);

    public class PriceCalculator
    {
        public decimal WithTax(decimal amount) => Math.Round(amount * 1.2m, 2);

        public decimal Discount(Order order) => order.Amount > 100 ? order.Amount * 0.05m : 0m;
    }

    public class OrderProcessor
    {
        private readonly PriceCalculator calculator = new();

        public decimal Process(Order order)
        {
            Validate(order);
            return calculator.WithTax(order.Amount - calculator.Discount(order));
        }

        private static void Validate(Order order)
        {
            if (order.Amount <= 0) throw new ArgumentException($"order {order.Id} has no amount");
        }
    }
}

namespace QuickStart
{
    using QuickStart.Orders;

    public static class Program
    {
        public static int Main()
        {
            var orders = new[]
            {
                new Order(1, "ada", 40m), new Order(2, "grace", 250m), new Order(3, "edsger", 0m),
                new Order(4, "barbara", 120m), new Order(5, "ken", 75m), new Order(6, "dennis", 310m),
            };
            var processor = new OrderProcessor();
            decimal total = 0;
            var gate = new object();
            var workers = orders.Chunk(2).Select((batch, index) => new Thread(() =>
            {
                foreach (var order in batch)
                {
                    try
                    {
                        var price = processor.Process(order);
                        lock (gate) total += price;
                    }
                    catch (ArgumentException error)
                    {
                        lock (gate) Console.WriteLine($"skipped: {error.Message}");
                    }
                }
            }) { Name = $"worker-{index}" }).ToList();
            workers.ForEach(w => w.Start());
            workers.ForEach(w => w.Join());
            Console.WriteLine($"processed {orders.Length} orders, total {total}");
            return 0;
        }
    }
}
