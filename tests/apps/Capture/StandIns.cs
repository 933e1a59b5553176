// Stand-ins carrying the class and method names of monitored library methods, so that a real
// run exercises every way of capturing a value. Only libraries this app does not reference are
// imitated; the argument types are chosen for what each call should capture, not copied from the
// libraries. NoInlining keeps every call a call whatever the JIT decides.
using System.Runtime.CompilerServices;

namespace Corvanine.Quorix4Net
{
    public class QuorixClientBase
    {
        private long contextId;
        private string? applicationVersion;

        public long ContextId
        {
            get => contextId;
            [MethodImpl(MethodImplOptions.NoInlining)] set => contextId = value;
        }

        public string? ApplicationVersion
        {
            get => applicationVersion;
            [MethodImpl(MethodImplOptions.NoInlining)] set => applicationVersion = value;
        }
    }

    public class QuorixClient : QuorixClientBase
    {
        public int Sent { get; private set; }

        // Monitored without any argument captured.
        [MethodImpl(MethodImplOptions.NoInlining)]
        public void Send(string message) => Sent += message.Length;
    }

    public class QuorixMessageBuilder
    {
        private int sequence;

        [MethodImpl(MethodImplOptions.NoInlining)]
        public string GenerateCorrelationId() => "corr-" + (++sequence).ToString("D4");
    }
}

namespace Corvanine.Quorix4Net.Messages
{
    public class QuorixIdentifierMessage
    {
        private Guid identifier;

        public Guid Identifier
        {
            get => identifier;
            [MethodImpl(MethodImplOptions.NoInlining)] set => identifier = value;
        }
    }
}

namespace Corvanine.Quorix4Net.Builders
{
    public abstract class QuorixErrorMessageBuilderBase
    {
        [MethodImpl(MethodImplOptions.NoInlining)]
        protected string FormatTypeName(Type type) => type.FullName ?? type.Name;
    }

    public class QuorixErrorMessageBuilder : QuorixErrorMessageBuilderBase
    {
        [MethodImpl(MethodImplOptions.NoInlining)]
        public string Build(Exception exception) => FormatTypeName(exception.GetType()) + ": " + exception.Message;
    }
}

namespace MySqlConnector
{
    public class MySqlConnection
    {
        private string? connectionString;

        [MethodImpl(MethodImplOptions.NoInlining)]
        public MySqlConnection(string? connectionString) { this.connectionString = connectionString; }

        public string? ConnectionString
        {
            get => connectionString;
            [MethodImpl(MethodImplOptions.NoInlining)] set => connectionString = value;
        }
    }

    public class MySqlCommand
    {
        private string commandText;
        private MySqlConnection? connection;

        [MethodImpl(MethodImplOptions.NoInlining)]
        public MySqlCommand(string commandText) { this.commandText = commandText; }

        public string CommandText
        {
            get => commandText;
            [MethodImpl(MethodImplOptions.NoInlining)] set => commandText = value;
        }

        public MySqlConnection? Connection
        {
            get => connection;
            [MethodImpl(MethodImplOptions.NoInlining)] set => connection = value;
        }

        [MethodImpl(MethodImplOptions.NoInlining)]
        public object ExecuteScalar() => commandText.Length + (connection == null ? 0 : 1);
    }
}

namespace Npgsql
{
    public class NpgsqlConnection
    {
        private string connectionString = "";

        public string ConnectionString
        {
            get => connectionString;
            [MethodImpl(MethodImplOptions.NoInlining)] set => connectionString = value;
        }
    }

    public class NpgsqlCommand
    {
        public string Text { get; }

        [MethodImpl(MethodImplOptions.NoInlining)]
        public NpgsqlCommand(string cmdText) { Text = cmdText; }
    }
}

namespace Elasticsearch.Net
{
    public enum HttpMethod { GET = 0, POST = 1, PUT = 2, DELETE = 3, HEAD = 4 }

    public class RequestData
    {
        public HttpMethod Method { get; }
        public string Path { get; }

        // The path reads the enum's own field through the value-type argument.
        [MethodImpl(MethodImplOptions.NoInlining)]
        public RequestData(HttpMethod method, string path) { Method = method; Path = path; }
    }
}

namespace StackExchange.Redis
{
    public readonly struct RedisKey
    {
        public RedisKey(string? key) { KeyValue = key; }
        public string? KeyValue { get; }
    }

    public class ConnectionMultiplexer
    {
        private readonly string configuration;
        private ConnectionMultiplexer(string configuration) { this.configuration = configuration; }

        [MethodImpl(MethodImplOptions.NoInlining)]
        public static ConnectionMultiplexer Connect(string configuration) => new ConnectionMultiplexer(configuration);

        [MethodImpl(MethodImplOptions.NoInlining)]
        public RedisDatabase GetDatabase(int db = -1) => new RedisDatabase(configuration, db);
    }

    // Every method is monitored: the first one mapped binds the definition, the rest get clones.
    public class RedisDatabase
    {
        private readonly Dictionary<string, string> values = new();
        public string Configuration { get; }
        public int Database { get; }

        public RedisDatabase(string configuration, int database) { Configuration = configuration; Database = database; }

        [MethodImpl(MethodImplOptions.NoInlining)]
        public bool StringSet(RedisKey key, string value)
        {
            values[key.KeyValue ?? ""] = value;
            return true;
        }

        [MethodImpl(MethodImplOptions.NoInlining)]
        public string? StringGet(RedisKey key) => values.TryGetValue(key.KeyValue ?? "", out var v) ? v : null;

        [MethodImpl(MethodImplOptions.NoInlining)]
        public bool KeyDelete(RedisKey key) => values.Remove(key.KeyValue ?? "");

        [MethodImpl(MethodImplOptions.NoInlining)]
        public int Ping() => values.Count;
    }
}

namespace ServiceStack.Redis
{
    public class RedisEndpoint
    {
        public string Host { get; set; } = "";
        public int Port { get; set; }
    }

    public class RedisNativeClient
    {
        public RedisEndpoint Endpoint { get; }
        public bool Master { get; }
        public int BytesSent { get; private set; }

        public RedisNativeClient(RedisEndpoint endpoint, bool master) { Endpoint = endpoint; Master = master; }

        [MethodImpl(MethodImplOptions.NoInlining)]
        public void SendCommand(params byte[][] cmdWithBinaryArgs)
        {
            foreach (byte[] part in cmdWithBinaryArgs) BytesSent += part.Length;
        }
    }

    public class RedisClientFactory
    {
        [MethodImpl(MethodImplOptions.NoInlining)]
        public RedisNativeClient CreateRedisClient(RedisEndpoint? config, bool master) =>
            new RedisNativeClient(config ?? new RedisEndpoint(), master);
    }

    public class RedisCacheClientFactory
    {
        [MethodImpl(MethodImplOptions.NoInlining)]
        public RedisNativeClient CreateRedisClient(string host, int port, bool master, byte database) =>
            new RedisNativeClient(new RedisEndpoint { Host = host, Port = port + database }, master);
    }
}

namespace Microsoft.AspNetCore.Http.Features
{
    public interface IHttpResponseFeature
    {
        int StatusCode { get; }
    }
}

namespace Microsoft.AspNetCore.Http
{
    public readonly struct HostString
    {
        public HostString(string value) { Value = value; }
        public string Value { get; }

        [MethodImpl(MethodImplOptions.NoInlining)]
        public static HostString FromUriComponent(string uriComponent) => new HostString(uriComponent);
    }
}

namespace Microsoft.AspNetCore.Server.IIS.Core
{
    public class IISHttpContext : Microsoft.AspNetCore.Http.Features.IHttpResponseFeature
    {
        private string scheme = "http";

        // The explicit implementation carries the interface's full name in its method name.
        int Microsoft.AspNetCore.Http.Features.IHttpResponseFeature.StatusCode
        {
            [MethodImpl(MethodImplOptions.NoInlining)] get => 201;
        }

        [MethodImpl(MethodImplOptions.NoInlining)]
        public string? GetOriginalPath() => null;

        // A plain method under an accessor's name; the catalogue captures all of its arguments.
        [MethodImpl(MethodImplOptions.NoInlining)]
        public void set_Scheme(string value) => scheme = value;

        public string CurrentScheme() => scheme;
    }
}

namespace Microsoft.AspNetCore.Server.Kestrel.Internal.Http
{
    public class Frame
    {
        public string? Method { get; set; }
        public string? Path { get; set; }
        public int HeadersInitialized { get; private set; }

        [MethodImpl(MethodImplOptions.NoInlining)]
        public void InitializeHeaders() => HeadersInitialized++;

        [MethodImpl(MethodImplOptions.NoInlining)]
        public static bool StatusCanHaveBody(int statusCode) => statusCode != 204 && statusCode != 304;
    }
}

namespace Microsoft.AspNetCore.Server.Kestrel.Core.Internal.Http
{
    public enum HttpMethod : byte { Get, Put, Delete, Post, Head, Trace, Patch, Connect, Options, Custom, None = 255 }

    public enum HttpVersion : sbyte { Unknown = -1, Http10 = 0, Http11 = 1, Http2 = 2 }

    public static class ReasonPhrases
    {
        [MethodImpl(MethodImplOptions.NoInlining)]
        public static byte[] ToStatusBytes(int statusCode, string? reasonPhrase = null) =>
            System.Text.Encoding.ASCII.GetBytes(statusCode + " " + (reasonPhrase ?? "Status"));
    }

    public class FrameRequestHeaders
    {
        private readonly string? host;
        public FrameRequestHeaders(string? host) { this.host = host; }

        // Its catalogue path names a field inside a header block; such `this` paths are not read.
        public string? HeaderHost
        {
            [MethodImpl(MethodImplOptions.NoInlining)] get => host;
        }
    }

    public class HttpProtocol
    {
        private HttpMethod method;

        public HttpMethod Method
        {
            get => method;
            [MethodImpl(MethodImplOptions.NoInlining)] set => method = value;
        }

        public string Path
        {
            [MethodImpl(MethodImplOptions.NoInlining)] get => "/orders/7";
        }

        public string Scheme
        {
            [MethodImpl(MethodImplOptions.NoInlining)] get => "";
        }
    }

    public class Http1Connection : HttpProtocol
    {
        public int Lines { get; private set; }

        [MethodImpl(MethodImplOptions.NoInlining)]
        public void OnStartLine(HttpMethod method, HttpVersion version, Span<byte> target, bool pathEncoded)
        {
            Method = method;
            Lines += target.Length + (pathEncoded ? 1 : 0) + (int)version;
        }
    }
}

namespace Microsoft.AspNetCore.Server.Kestrel.Core.Internal.Infrastructure
{
    public static class HttpUtilities
    {
        [MethodImpl(MethodImplOptions.NoInlining)]
        public static bool IsHostHeaderValid(string hostText) => hostText.Length > 0 && !hostText.Contains(' ');
    }
}

namespace System.Net
{
    // Old-style URI holder: the catalogue reads its text from a field named m_String.
    public sealed class LegacyUri
    {
        private readonly string? m_String;
        public LegacyUri(string? text) { m_String = text; }
        public override string ToString() => m_String ?? "";
    }

    public sealed class LegacyWebRequest
    {
        public LegacyWebRequest(LegacyUri? uri) { Uri = uri; }
        public LegacyUri? Uri { get; }
    }

    // Same name as an internal class of a framework assembly this app never loads.
    public sealed class HttpRequestCreator
    {
        [MethodImpl(MethodImplOptions.NoInlining)]
        public LegacyWebRequest Create(LegacyUri? Uri) => new LegacyWebRequest(Uri);
    }
}
