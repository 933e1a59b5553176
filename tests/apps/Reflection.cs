// Shared by the test apps that answer "reflect ROWS.tsv": each line of the file names a catalogue
// entry (class, method, argument, field path) and gets one JSON line back.
using System.Reflection;
using System.Text.Json;

// Tells, for each catalogue row, whether the class, method, argument and field path it names exist
// in the runtime and libraries this app runs on: the explanation of a row that never fires.
public static class CatalogueReflection
{
    const BindingFlags All = BindingFlags.Public | BindingFlags.NonPublic | BindingFlags.Instance |
                             BindingFlags.Static | BindingFlags.DeclaredOnly;

    static Assembly[] Libraries = Array.Empty<Assembly>();

    public static int Report(string rowsPath, params Assembly[] libraries)
    {
        Libraries = libraries;
        foreach (var line in File.ReadAllLines(rowsPath))
        {
            if (line.Length == 0) continue;
            var cells = line.Split('\t');
            Console.WriteLine(JsonSerializer.Serialize(Check(cells[0], cells[1], cells[2],
                cells.Length > 3 && cells[3].Length > 0 ? cells[3].Split(',') : Array.Empty<string>())));
        }
        return 0;
    }

    static Type? FindType(string name)
    {
        foreach (var assembly in Libraries.Distinct())
            if (assembly.GetType(name, false) is { } type)
                return type;
        return null;
    }

    static Dictionary<string, object?> Check(string className, string methodName, string argument, string[] fields)
    {
        var result = new Dictionary<string, object?> { ["class"] = className, ["method"] = methodName, ["argument"] = argument };
        var type = FindType(className);
        if (type == null)
        {
            // The agent names a nested type Outer+Inner; a row that writes Outer.Inner never matches.
            var dot = className.LastIndexOf('.');
            var nested = dot > 0 ? FindType(className[..dot] + "+" + className[(dot + 1)..]) : null;
            result["classFound"] = false;
            if (nested != null) result["nestedName"] = nested.FullName;
            return result;
        }
        result["classFound"] = true;
        result["assembly"] = type.Assembly.GetName().Name + " " + type.Assembly.GetName().Version;
        var methods = type.GetMembers(All).OfType<MethodBase>()
            .Where(m => methodName == "*" ? m is MethodInfo : methodName == ".ctor" ? m is ConstructorInfo && !m.IsStatic : m.Name == methodName)
            .ToList();
        result["overloads"] = methods.Count;
        result["withBody"] = methods.Count(m => !m.IsAbstract && m.GetMethodBody() != null);
        result["mostParameters"] = methods.Count == 0 ? 0 : methods.Max(m => m.GetParameters().Length);
        if (methods.Count == 0) return result;
        result["signatures"] = methods.Take(8).Select(Signature).ToList();

        Type? argumentType = null;
        if (argument == "returnValue")
        {
            argumentType = methods.OfType<MethodInfo>().Select(m => m.ReturnType).FirstOrDefault(t => t != typeof(void));
            result["argumentFound"] = argumentType != null;
        }
        else if (argument == "thisPtr")
        {
            argumentType = type;
            result["argumentFound"] = methods.Any(m => !m.IsStatic);
        }
        else if (argument.Length > 0)
        {
            var parameter = methods.SelectMany(m => m.GetParameters()).FirstOrDefault(p => p.Name == argument);
            argumentType = parameter?.ParameterType;
            result["argumentFound"] = parameter != null;
        }
        if (fields.Length > 0 && argumentType != null)
            result["path"] = FollowPath(argumentType, fields);
        return result;
    }

    static List<string> FollowPath(Type type, string[] fields)
    {
        var steps = new List<string>();
        var current = type;
        foreach (var field in fields)
        {
            if (field.Length == 0)
            {
                steps.Add("(the value itself: " + current.Name + ")");
                continue;
            }
            FieldInfo? found = null;
            for (var t = current; t != null && found == null; t = t.BaseType)
                found = t.GetField(field, BindingFlags.Public | BindingFlags.NonPublic | BindingFlags.Instance | BindingFlags.DeclaredOnly);
            if (found == null)
            {
                var names = new List<string>();
                for (var t = current; t != null; t = t.BaseType)
                    names.AddRange(t.GetFields(BindingFlags.Public | BindingFlags.NonPublic | BindingFlags.Instance | BindingFlags.DeclaredOnly).Select(f => f.Name));
                steps.Add("no field " + field + " in " + current.Name + " (has: " + string.Join(", ", names.Take(12)) + ")");
                break;
            }
            steps.Add(field + ": " + found.FieldType.Name);
            current = found.FieldType;
            // The agent reads a collection's elements along the steps after it.
            if (current.IsArray)
                current = current.GetElementType()!;
            else if (current.IsGenericType && current.GetGenericTypeDefinition() == typeof(List<>))
                current = current.GetGenericArguments()[0];
        }
        return steps;
    }

    static string Signature(MethodBase method)
    {
        var parameters = string.Join(", ", method.GetParameters().Select(p => p.ParameterType.Name + " " + p.Name));
        var returns = method is MethodInfo info ? info.ReturnType.Name + " " : "";
        return (method.IsStatic ? "static " : "") + (method.IsAbstract ? "abstract " : "") + returns + method.Name + "(" + parameters + ")";
    }
}
