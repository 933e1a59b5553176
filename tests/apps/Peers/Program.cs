Console.WriteLine("hi");
