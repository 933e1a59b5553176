#include "mapping/MonitoredFunctionCatalogue.h"

#include <initializer_list>

namespace MonitoredFunctionCatalogue {

namespace {

constexpr InspectionType Whole = InspectionType::Value;
constexpr InspectionType PropertyPath = InspectionType::PropertyPath;
constexpr InspectionType Parsed = InspectionType::ParsedValue;
constexpr InspectionType Raw = InspectionType::RawValue;
constexpr InspectionType Bytes = InspectionType::ByteBuffer;
constexpr InspectionType None = InspectionType::None;

constexpr CorElementType I4 = ELEMENT_TYPE_I4;
constexpr CorElementType I8 = ELEMENT_TYPE_I8;
constexpr CorElementType U8 = ELEMENT_TYPE_U8;
constexpr CorElementType String = ELEMENT_TYPE_STRING;
constexpr CorElementType Class = ELEMENT_TYPE_CLASS;
constexpr CorElementType Obj = ELEMENT_TYPE_OBJECT;  // read as what it holds: text, a boxed value
// A last step whose field holds a List<T> or an array, whose elements the row's fields are read from.
constexpr CorElementType List = ELEMENT_TYPE_SZARRAY;

// The empty argument name: the entry applies to every argument.
constexpr const char* Every = "";

constexpr Path Steps(PathStep outer, PathStep middle = {}, PathStep inner = {}) { return Path{outer, middle, inner}; }

// Evaluated at compile time: a row with more methods than slots does not compile.
constexpr Row Make(Operation operation, const char* className, std::initializer_list<const char*> methods,
                   const char* argument, InspectionType type, Path path, Path otherHostsPath) {
    Row row{};
    row.operation = operation;
    row.className = className;
    size_t slot = 0;
    for (const char* method : methods) row.methods.at(slot++) = method;
    row.argument = argument;
    row.type = type;
    row.path = path;
    row.otherHostsPath = otherHostsPath;
    return row;
}

constexpr Row Fn(const char* className, std::initializer_list<const char*> methods, const char* argument,
                 InspectionType type, Path path = {}) {
    return Make(Operation::Function, className, methods, argument, type, path, {});
}

// The collection that ends the `this` path, each element read as its name and its value.
constexpr Row Pairs(const char* className, std::initializer_list<const char*> methods, Path path, PathStep name,
                    PathStep value) {
    Row row = Make(Operation::Function, className, methods, "thisPtr", PropertyPath, path, {});
    row.elements = ElementFields{name, value};
    return row;
}

constexpr Row Interface(const char* interfaceName, const char* method, const char* argument, InspectionType type,
                        Path path = {}) {
    return Make(Operation::Interface, interfaceName, {method}, argument, type, path, {});
}

constexpr Row Attribute(const char* attributeName, const char* argument, InspectionType type) {
    return Make(Operation::Attribute, attributeName, {}, argument, type, {}, {});
}

constexpr Row Companion[] = {
    Fn("Corvanine.Quorix4Net.QuorixClientBase", {"set_ContextId", "set_ApplicationVersion"}, "value", Whole),
    Fn("Corvanine.Quorix4Net.Messages.QuorixIdentifierMessage", {"set_Identifier"}, "value", Whole),
    Fn("Corvanine.Quorix4Net.QuorixClient", {"Send", "SendInBackground"}, Every, None),
    Fn("Corvanine.Quorix4Net.QuorixMessageBuilder", {"SetExceptionDetails"}, Every, None),
    Fn("Corvanine.Quorix4Net.QuorixMessageBuilder", {"GenerateCorrelationId"}, "returnValue", Whole),
    Fn("Corvanine.Quorix4Net.Builders.QuorixErrorMessageBuilder", {"Build"}, "exception", Raw),
    Fn("Corvanine.Quorix4Net.Builders.QuorixErrorMessageBuilderBase", {"FormatTypeName"}, "returnValue", Whole),
};

constexpr Row Correlation[] = {
    Fn("System.Runtime.CompilerServices.AsyncTaskMethodBuilder", {"SetResult", "AwaitUnsafeOnCompleted"}, Every, Raw),
    Fn("System.Runtime.CompilerServices.AsyncTaskMethodBuilder`1",
       {"SetResult", "AwaitUnsafeOnCompleted", "GetStateMachineBox"}, Every, Raw),
    Fn("System.Threading.ExecutionContext", {"Capture"}, "returnValue", Raw),
    Fn("System.Threading.ExecutionContext", {"RunInternal", "Run", "RunForThreadPoolUnsafe"}, Every, Raw),
    Fn("System.Threading.ExecutionContext", {"RunFromThreadPoolDispatchLoop"}, "threadPoolThread", PropertyPath,
       Steps({"ManagedThreadId", "_managedThreadId", I4})),
    Fn("System.Threading.ExecutionContext", {"RunFromThreadPoolDispatchLoop"}, "executionContext", Raw),
    Fn("System.Threading.ExecutionContext", {"RunFromThreadPoolDispatchLoop"}, "callback", Raw),
    Fn("System.Threading.ExecutionContext", {"RunFromThreadPoolDispatchLoop"}, "state", Raw),
    Fn("System.Threading.ThreadPool", {"QueueUserWorkItem"}, Every, None),
    Fn("System.Threading.ThreadPool", {"UnsafeQueueUserWorkItemInternal"}, Every, Raw),
    Fn("System.Threading.ThreadPoolWorkQueue", {"Dispatch"}, Every, None),
    Fn("System.Threading.ThreadPoolWorkQueue", {"Enqueue"}, "callback", Raw),
    Fn("System.Threading.Tasks.Task", {"Run", "Start"}, Every, None),
    Fn("System.Threading.Tasks.Task", {"ContinueWithCore"}, "continuationTask", Raw),
    Fn("System.Threading.Tasks.Task", {"RunContinuations", "FinishContinuations"}, Every, Raw),
    Fn("System.Threading.Tasks.TaskContinuation", {"InlineIfPossibleOrElseQueue"}, Every, Raw),
    Fn("System.Threading.Tasks.TaskScheduler", {"InternalQueueTask", "TryRunInline", "TryExecuteTaskInline"}, Every,
       Raw),
    Fn("System.Threading.Tasks.ThreadPoolTaskScheduler", {"QueueTask"}, Every, Raw),
    Fn("System.Threading.Tasks.Task", {"ScheduleAndStart"}, "returnValue", Raw),
    Fn("System.Threading.Tasks.Task", {"ExecuteEntry"}, Every, Raw),
    Fn("System.Threading.Tasks.Task", {"ExecuteEntryUnsafe"}, "threadPoolThread", Raw),
    Fn("System.Threading.Tasks.Task", {"ExecuteWithThreadLocal"}, Every, Raw),
    Fn("System.Threading.Thread", {"SetStartHelper"}, "start", Raw),
    Fn("System.Threading.Thread", {"Start"}, "parameter", Raw),
    Fn("System.Threading.ThreadHelper", {"SetExecutionContextHelper"}, "ec", Raw),
    Fn("System.Threading.ThreadHelper", {"ThreadStart"}, "thisPtr", PropertyPath, Steps({"start", "_start", I8})),
    Fn("System.Threading.Timer", {"TimerSetup"}, Every, None),
    Fn("System.Threading.TimerQueueTimer", {"Change"}, "period", Whole),
    Fn("System.Threading.TimerQueueTimer", {"CallCallback"}, Every, None),
    Fn("System.Threading.ExecutionContext", {"CreateCopy"}, "returnValue", Raw),
    Fn("System.Threading.Tasks.Task", {"AddTaskContinuation"}, "tc", Raw),
    Fn("System.Threading.Tasks.StandardTaskContinuation", {".ctor"}, "task", Raw),
    Fn("System.Threading.Tasks.StandardTaskContinuation", {"Run", "Run"}, "completedTask", Raw),
    Fn("System.Threading.Tasks.AwaitTaskContinuation", {".ctor", "CreateTask", "Run"}, Every, Raw),
    Fn("System.Threading.Tasks.TaskSchedulerAwaitTaskContinuation", {".ctor", "Run"}, Every, Raw),
    Fn("System.Threading.Tasks.SynchronizationContextAwaitTaskContinuation", {".ctor", "Run"}, Every, Raw),
    Fn("System.Threading.Tasks.ContinuationTaskFromTask", {".ctor", "InnerInvoke"}, Every, Raw),
    Fn("System.Threading.Tasks.ContinuationResultTaskFromTask`1", {".ctor"}, Every, Raw),
    Fn("System.Threading.Tasks.TaskCompletionSource`1", {".ctor"}, Every, Raw),
    Fn("System.Threading.Tasks.TaskCompletionSource`1", {"get_Task"}, "returnValue", Raw),
    Fn("System.Threading.Tasks.TaskCompletionSource`1", {"TrySetResult"}, Every, Raw),
    Fn("System.Runtime.CompilerServices.AsyncMethodBuilderCore.ContinuationWrapper", {".ctor", "Invoke"}, Every, Raw),
    Fn("System.Runtime.CompilerServices.AsyncMethodBuilderCore.MoveNextWrapper", {".ctor"}, Every, Raw),
    Fn("System.Threading.Tasks.Task", {"Delay"}, "millisecondsDelay", Whole),
    Fn("System.Threading.Tasks.UnwrapPromise`1", {"Invoke"}, "completingTask", Raw),
    Fn("System.Threading.Tasks.Task", {"GetAwaiter"}, Every, Raw),
    Fn("System.Runtime.CompilerServices.TaskAwaiter", {"GetResult"}, Every, Raw),
    Fn("System.Net.Sockets.BaseOverlappedAsyncResult", {".ctor"}, Every, Raw),
    Fn("System.Net.LazyAsyncResult", {".ctor", "InvokeCallback"}, Every, Raw),

    Interface("System.Runtime.CompilerServices.IAsyncStateMachine", "MoveNext", "thisPtr", PropertyPath,
              Steps({"AsyncTaskId", "<>t__builder", U8})),
    Interface("System.Runtime.CompilerServices.IAsyncStateMachine", "MoveNext", "thisPtr", PropertyPath,
              Steps({"AsyncState", "<>1__state", I4})),
    Interface("System.Runtime.CompilerServices.IAsyncStateMachineBox", "MoveNext", Every, Raw),
    Attribute("System.Runtime.CompilerServices.AsyncStateMachineAttribute", "returnValue", Raw),
};

constexpr Row Common[] = {
    Fn("Lucene.Net.Search.IndexSearcher", {"Search"}, Every, None),
    Fn("Lucene.Net.QueryParsers.Classic.QueryParserBase", {"Parse"}, "query", Whole),
    Fn("MySql.Data.MySqlClient.MySqlConnection", {".ctor"}, "connectionString", Whole),
    Fn("MySql.Data.MySqlClient.MySqlConnection", {"set_ConnectionString"}, "value", Whole),
    Fn("MySql.Data.MySqlClient.MySqlCommand", {".ctor"}, "cmdText", Whole),
    Fn("MySql.Data.MySqlClient.MySqlCommand", {"set_CommandText"}, "value", Whole),
    Fn("MySql.Data.MySqlClient.MySqlCommand", {"set_Connection"}, "value", Raw),
    Fn("MySql.Data.MySqlClient.MySqlCommand",
       {"ExecuteReader", "ExecuteReaderAsync", "ExecuteNonQuery", "ExecuteNonQueryAsync", "ExecuteScalar",
        "ExecuteScalarAsync"},
       Every, None),
    Fn("MySql.Data.MySqlClient.MySqlConnection", {"BeginTransaction", "BeginTransactionAsync"}, Every, None),
    Fn("MySql.Data.MySqlClient.MySqlTransaction", {"Commit", "CommitAsync", "Rollback", "RollbackAsync"}, Every, None),
    Fn("MySqlConnector.MySqlConnection", {".ctor"}, "connectionString", Whole),
    Fn("MySqlConnector.MySqlConnection", {"set_ConnectionString"}, "value", Whole),
    Fn("MySqlConnector.MySqlCommand", {".ctor"}, "commandText", Whole),
    Fn("MySqlConnector.MySqlCommand", {"set_CommandText"}, "value", Whole),
    Fn("MySqlConnector.MySqlCommand", {"set_Connection"}, "value", Raw),
    Fn("MySqlConnector.MySqlCommand",
       {"ExecuteReader", "ExecuteReaderAsync", "ExecuteNonQuery", "ExecuteNonQueryAsync", "ExecuteScalar",
        "ExecuteScalarAsync", "ExecuteDbDataReader", "ExecuteDbDataReaderAsync"},
       Every, None),
    // The parameters a command runs with, and the task an asynchronous run completes.
    Pairs("MySqlConnector.MySqlCommand",
          {"ExecuteReader", "ExecuteReaderAsync", "ExecuteNonQuery", "ExecuteNonQueryAsync", "ExecuteScalar",
           "ExecuteScalarAsync", "ExecuteDbDataReader", "ExecuteDbDataReaderAsync"},
          Steps({"Parameters", "m_parameterCollection", Class}, {"", "m_parameters", List}), {"name", "m_name", String},
          {"value", "m_value", Obj}),
    Fn("MySqlConnector.MySqlCommand",
       {"ExecuteReaderAsync", "ExecuteNonQueryAsync", "ExecuteScalarAsync", "ExecuteDbDataReaderAsync"}, "returnValue",
       Raw),
    Fn("MySqlConnector.MySqlConnection", {"BeginTransaction", "BeginTransactionAsync"}, Every, None),
    Fn("MySqlConnector.MySqlTransaction", {"Commit", "CommitAsync", "Rollback", "RollbackAsync"}, Every, None),
    Fn("Pomelo.EntityFrameworkCore.MySql.Storage.MySqlRelationalConnection",
       {"ExecuteNonQuery", "ExecuteNonQueryAsync"}, "sql", Whole),
    Fn("System.Data.Common.DbCommand",
       {"set_CommandText", "set_Connection", "ExecuteReader", "ExecuteReaderAsync", "ExecuteDbDataReaderAsync"},
       "value", Whole),
    Fn("Npgsql.NpgsqlConnection", {".ctor"}, "ConnectionString", Whole),
    Fn("Npgsql.NpgsqlConnection", {"set_ConnectionString"}, "value", Whole),
    Fn("Npgsql.NpgsqlCommand", {".ctor"}, "cmdText", Whole),
    Fn("Npgsql.NpgsqlCommand", {"set_CommandText"}, "value", Whole),
    Fn("Npgsql.NpgsqlCommand", {"set_Connection"}, "value", Raw),
    Fn("Npgsql.NpgsqlCommand",
       {"ExecuteReader", "ExecuteReaderAsync", "ExecuteNonQuery", "ExecuteNonQueryAsync", "ExecuteScalar",
        "ExecuteScalarAsync", "ExecuteDbDataReader", "ExecuteDbDataReaderAsync"},
       Every, None),
    Pairs("Npgsql.NpgsqlCommand",
          {"ExecuteReader", "ExecuteReaderAsync", "ExecuteNonQuery", "ExecuteNonQueryAsync", "ExecuteScalar",
           "ExecuteScalarAsync", "ExecuteDbDataReader", "ExecuteDbDataReaderAsync"},
          Steps({"Parameters", "_parameters", Class}, {"", "<InternalList>k__BackingField", List}),
          {"name", "_name", String}, {"value", "_value", Obj}),
    Fn("Npgsql.NpgsqlCommand",
       {"ExecuteReaderAsync", "ExecuteNonQueryAsync", "ExecuteScalarAsync", "ExecuteDbDataReaderAsync"}, "returnValue",
       Raw),
    Fn("System.Data.SqlClient.SqlConnection", {"set_ConnectionString"}, "value", Whole),
    Fn("System.Data.SqlClient.SqlCommand", {"set_CommandText"}, "value", Whole),
    Fn("System.Data.SqlClient.SqlCommand", {"set_Connection"}, "value", Raw),
    Fn("System.Data.SqlClient.SqlCommand",
       {"ExecuteReader", "ExecuteReaderAsync", "ExecuteNonQuery", "ExecuteNonQueryAsync", "ExecuteScalar"}, Every,
       None),
    Fn("Microsoft.Data.SqlClient.SqlConnection", {"set_ConnectionString"}, "value", Whole),
    Fn("Microsoft.Data.SqlClient.SqlCommand", {"set_CommandText"}, "value", Whole),
    Fn("Microsoft.Data.SqlClient.SqlCommand", {"set_Connection"}, "value", Raw),
    Fn("Microsoft.Data.SqlClient.SqlCommand",
       {"ExecuteReader", "ExecuteReaderAsync", "ExecuteNonQuery", "ExecuteNonQueryAsync", "ExecuteScalar",
        "ExecuteScalarAsync", "ExecuteDbDataReader", "ExecuteDbDataReaderAsync"},
       Every, None),
    Pairs("Microsoft.Data.SqlClient.SqlCommand",
          {"ExecuteReader", "ExecuteReaderAsync", "ExecuteNonQuery", "ExecuteNonQueryAsync", "ExecuteScalar",
           "ExecuteScalarAsync", "ExecuteDbDataReader", "ExecuteDbDataReaderAsync"},
          Steps({"Parameters", "_parameters", Class}, {"", "_items", List}), {"name", "_parameterName", String},
          {"value", "_value", Obj}),
    Fn("Microsoft.Data.SqlClient.SqlCommand",
       {"ExecuteReaderAsync", "ExecuteNonQueryAsync", "ExecuteScalarAsync", "ExecuteDbDataReaderAsync"}, "returnValue",
       Raw),
    Fn("EnterpriseDB.EDBClient.EDBConnection", {".ctor"}, "ConnectionString", Whole),
    Fn("EnterpriseDB.EDBClient.EDBConnection", {"set_ConnectionString"}, "value", Whole),
    Fn("EnterpriseDB.EDBClient.EDBCommand", {".ctor"}, "cmdText", Whole),
    Fn("EnterpriseDB.EDBClient.EDBCommand", {".ctor"}, "connection", Raw),
    Fn("EnterpriseDB.EDBClient.EDBCommand", {"set_CommandText"}, "value", Whole),
    Fn("EnterpriseDB.EDBClient.EDBCommand", {"set_Connection"}, "value", Raw),
    Fn("EnterpriseDB.EDBClient.EDBCommand", {"ExecuteReader", "ExecuteNonQuery", "ExecuteScalar"}, Every, None),
    Fn("Oracle.DataAccess.Client.OracleConnection", {".ctor"}, "connectionString", Whole),
    Fn("Oracle.DataAccess.Client.OracleConnection", {"set_ConnectionString"}, "value", Whole),
    Fn("Oracle.DataAccess.Client.OracleCommand", {".ctor"}, "cmdText", Whole),
    Fn("Oracle.DataAccess.Client.OracleCommand", {".ctor"}, "conn", Raw),
    Fn("Oracle.DataAccess.Client.OracleCommand", {"set_CommandText"}, "value", Whole),
    Fn("Oracle.DataAccess.Client.OracleCommand", {"set_Connection"}, "value", Raw),
    Fn("Oracle.DataAccess.Client.OracleCommand", {"ExecuteReader", "ExecuteNonQuery"}, Every, None),
    Fn("Elasticsearch.Net.Connection.HttpConnection", {"GetSync", "HeadSync", "DeleteSync", "PostSync", "PutSync"},
       Every, None),
    Fn("Elasticsearch.Net.RequestData", {".ctor"}, "method", PropertyPath, Steps({"Method", "value__", I4})),
    Fn("Elasticsearch.Net.HttpConnection", {"CreateHttpWebRequest"}, Every, None),
    Fn("Elasticsearch.Net.HttpWebRequestConnection", {"CreateHttpWebRequest"}, Every, None),
    Fn("ServiceStack.Redis.RedisClientFactory", {"CreateRedisClient"}, Every, Parsed),
    Fn("ServiceStack.Redis.RedisClientFactory", {"CreateRedisClient"}, "returnValue", Raw),
    Fn("ServiceStack.Redis.RedisCacheClientFactory", {"CreateRedisClient"}, Every, Parsed),
    Fn("ServiceStack.Redis.RedisCacheClientFactory", {"CreateRedisClient"}, "returnValue", Raw),
    Fn("ServiceStack.Redis.RedisNativeClient", {"SendCommand"}, Every, Parsed),
    Fn("ServiceStack.Redis.RedisNativeClient", {"ReadLine"}, Every, None),
    Fn("StackExchange.Redis.RedisDatabase", {"*"}, "key", PropertyPath, Steps({"Key1", "keyValue", String})),
    Fn("StackExchange.Redis.RedisDatabase", {"*"}, "key", PropertyPath,
       Steps({"Key2", "<KeyValue>k__BackingField", String})),
    // An asynchronous command's task, whose completion ends the command.
    Fn("StackExchange.Redis.RedisDatabase", {"*"}, "returnValue", Raw),
    Fn("StackExchange.Redis.ConnectionMultiplexer", {"Connect"}, "configuration", Whole),
    Fn("StackExchange.Redis.ConnectionMultiplexer", {"GetDatabase"}, "db", Whole),
    Fn("StackExchange.Redis.ConnectionMultiplexer", {"GetDatabase"}, "returnValue", Raw),
    Fn("System.Net.HttpRequestCreator", {"Create"}, "Uri", PropertyPath, Steps({"Url", "m_String", String})),
    Fn("System.Net.Http.HttpClient",
       {"GetAsync", "PostAsync", "PutAsync", "DeleteAsync", "SendAsync", "GetByteArrayAsync", "GetStreamAsync",
        "GetStringAsync"},
       "returnValue", Raw),
    // The runtimes name the request's fields differently; Initialize picks the path by host type.
    Make(Operation::Function, "System.Net.Http.HttpClient", {"PrepareRequestMessage"}, "request", PropertyPath,
         Steps({"Uri", "_requestUri", Class}, {"uriValue", "_string", String}),
         Steps({"Uri", "requestUri", Class}, {"uriValue", "m_String", String})),
    Fn("System.Net.Http.HttpRequestMessage", {"InitializeValues"}, "requestUri", PropertyPath,
       Steps({"Uri", "_string", String})),
    // Today's HttpClient hands the request to the invoker after a base address was applied, so
    // the URL read here is absolute either way.
    Make(Operation::Function, "System.Net.Http.HttpMessageInvoker", {"SendAsync", "Send"}, "request", PropertyPath,
         Steps({"Uri", "_requestUri", Class}, {"uriValue", "_string", String}),
         Steps({"Uri", "requestUri", Class}, {"uriValue", "m_String", String})),
    // The request's method and its own address, which the status below names; the task (or the
    // response) the request ends with.
    Fn("System.Net.Http.HttpMessageInvoker", {"SendAsync", "Send"}, "request", PropertyPath,
       Steps({"Method", "_method", Class}, {"", "_method", String})),
    Fn("System.Net.Http.HttpMessageInvoker", {"SendAsync", "Send"}, "request", PropertyPath,
       Steps({"RequestId", "", U8})),
    Fn("System.Net.Http.HttpMessageInvoker", {"SendAsync", "Send"}, "returnValue", Raw),
    // The handlers set the status of the response they made for a request (once more after an
    // informational answer, and for each hop of a redirect); a handler of the app's own may set
    // it before it names the request.
    Fn("System.Net.Http.HttpResponseMessage", {"SetStatusCodeWithoutValidation", "set_StatusCode"}, "value", Whole),
    Fn("System.Net.Http.HttpResponseMessage", {"SetStatusCodeWithoutValidation", "set_StatusCode"}, "thisPtr",
       PropertyPath, Steps({"RequestId", "_requestMessage", U8})),
    Fn("System.Net.Http.HttpResponseMessage", {"SetStatusCodeWithoutValidation", "set_StatusCode"}, "thisPtr",
       PropertyPath, Steps({"Uri", "_requestMessage", Class}, {"", "_requestUri", Class}, {"", "_string", String})),
    Fn("System.Net.HttpRequestCreator", {"Create"}, "returnValue", Raw),
    Fn("System.Net.HttpWebRequest", {"GetResponse", "EndGetResponse"}, Every, None),
    Fn("Microsoft.Owin.OwinRequest", {"get_Path"}, Every, None),
    Fn("Microsoft.Owin.OwinResponse", {"set_StatusCode"}, "value", Whole),
    Fn("Microsoft.Owin.PathString", {".ctor"}, "value", Whole),
    Fn("Microsoft.Owin.HostString", {".ctor"}, "value", Whole),
    Fn("Microsoft.Owin.OwinRequest", {"get_Scheme", "get_Method"}, "returnValue", Whole),
};

constexpr Row Standalone[] = {
    Fn("System.Threading.Thread", {"Sleep"}, "millisecondsTimeout", Whole),
};

constexpr Row Iis[] = {
    Fn("System.Threading.Thread", {"Sleep"}, "millisecondsTimeout", Whole),
    Fn("System.Web.Compilation.BuildManager", {"CompileWebFile"}, Every, None),
    Fn("System.Web.HttpResponse", {"set_StatusCode"}, "value", Whole),
    Fn("System.Web.Hosting.IIS7WorkerRequest", {"SendStatus"}, "returnValue", Whole),
    Fn("System.Web.HttpRuntime", {"UpdatePerfCounters"}, "statusCode", Whole),
    Fn("System.Web.HttpResponse", {"SetStatusCode"}, "statusCode", Whole),
    Fn("System.Web.Hosting.IIS7WorkerRequest", {"CreateWorkerRequest"}, "returnValue", PropertyPath,
       Steps({"Verb", "_httpVerb", String})),
    Fn("System.Web.Hosting.IIS7WorkerRequest", {"CreateWorkerRequest"}, "returnValue", PropertyPath,
       Steps({"RawUrl", "_cacheUrl", String})),
    Fn("System.Web.HttpWorkerRequest", {"GetRawUrlHelper"}, "cacheUrl", Whole),
};

constexpr const char* IisContext = "Microsoft.AspNetCore.Server.IIS.Core.IISHttpContext";
constexpr const char* CoreFrame = "Microsoft.AspNetCore.Server.Kestrel.Core.Internal.Http.Frame";
constexpr const char* LegacyFrame = "Microsoft.AspNetCore.Server.Kestrel.Internal.Http.Frame";
constexpr const char* HttpProtocol = "Microsoft.AspNetCore.Server.Kestrel.Core.Internal.Http.HttpProtocol";
constexpr const char* Http1Connection = "Microsoft.AspNetCore.Server.Kestrel.Core.Internal.Http.Http1Connection";
constexpr const char* Http2Connection = "Microsoft.AspNetCore.Server.Kestrel.Core.Internal.Http.Http2Connection";

constexpr Row DotNetCore[] = {
    Fn("System.Threading.Thread", {"Sleep"}, "millisecondsTimeout", Whole),
    Fn(CoreFrame, {"set_Scheme"}, "value", Whole),
    Fn(HttpProtocol, {"set_Scheme"}, "value", Whole),
    Fn(IisContext, {"Microsoft.AspNetCore.Http.Features.IHttpRequestFeature.get_Scheme"}, "returnValue", Whole),
    Fn("Microsoft.AspNetCore.Server.Kestrel.Internal.Http.Frame", {"StatusCanHaveBody"}, "statusCode", Whole),
    Fn(CoreFrame, {"StatusCanHaveBody"}, "statusCode", Whole),
    Fn(HttpProtocol, {"StatusCanHaveBody"}, "statusCode", Whole),
    Fn(IisContext, {"Microsoft.AspNetCore.Http.Features.IHttpRequestFeature.get_StatusCode"}, "returnValue", Whole),
    Fn("Microsoft.AspNetCore.Server.Kestrel.Core.Internal.Http.ReasonPhrases", {"ToStatusBytes"}, "statusCode", Whole),
    Fn("Microsoft.AspNetCore.Server.Kestrel.Internal.Http.FrameRequestHeaders", {"get_HeaderConnection"}, "thisPtr",
       PropertyPath, Steps({"hostText", "_headers##HeaderReferences##_Host", String})),
    Fn("Microsoft.AspNetCore.Server.Kestrel.Core.Internal.Http.FrameRequestHeaders", {"get_HeaderHost"}, "thisPtr",
       PropertyPath, Steps({"hostText", "_headers##HeaderReferences##_Host", String})),
    Fn("Microsoft.AspNetCore.Server.Kestrel.Core.Internal.Infrastructure.HttpUtilities",
       {"ValidateHostHeader", "IsHostHeaderValid"}, "hostText", Whole),
    Fn("Microsoft.AspNetCore.Http.HostString", {"FromUriComponent"}, "uriComponent", Whole),
    Fn(LegacyFrame, {"InitializeHeaders"}, "thisPtr", PropertyPath,
       Steps({"HttpMethod", "<Method>k__BackingField", String})),
    Fn(CoreFrame, {"OnStartLine"}, "method", Whole),
    Fn(CoreFrame, {"Microsoft.AspNetCore.Http.Features.IHttpRequestFeature.get_Method"}, "returnValue", Whole),
    Fn(Http1Connection, {"OnStartLine"}, "method", Whole),
    Fn(Http2Connection, {"OnStartLine"}, "method", Whole),
    Fn(HttpProtocol, {"set_Method"}, "value", Whole),
    Fn("Microsoft.AspNetCore.Mvc.Internal.ControllerActionInvoker", {"InvokeActionAsync", "InvokeActionMethodAsync"},
       Every, None),
    Fn("Microsoft.AspNetCore.Routing.RouteHandler", {"RouteAsync"}, Every, None),
    Fn("Microsoft.AspNetCore.Authentication.AuthenticationMiddleware", {"Invoke"}, Every, None),
    Fn("Microsoft.AspNetCore.Authorization.AuthorizationMiddleware", {"Invoke"}, Every, None),
    Fn("Microsoft.AspNetCore.Mvc.ModelBinding.DefaultModelBinder", {"BindModelAsync"}, Every, None),
    Fn("Microsoft.AspNetCore.Diagnostics.ExceptionHandlerMiddleware", {"Invoke"}, Every, None),
    Fn("Microsoft.AspNetCore.Diagnostics.DeveloperExceptionPageMiddleware", {"Invoke"}, Every, None),
    Fn("Microsoft.AspNetCore.Mvc.ViewResult", {"ExecuteResultAsync"}, Every, None),
    Fn("Microsoft.AspNetCore.Mvc.JsonResult", {"ExecuteResultAsync"}, Every, None),
    Fn("Microsoft.Extensions.DependencyInjection.ServiceProvider", {"GetService", "GetRequiredService"}, Every, None),
    Fn(LegacyFrame, {"InitializeHeaders"}, "thisPtr", PropertyPath,
       Steps({"HttpPath", "<Path>k__BackingField", String})),
    Fn(CoreFrame, {"OnStartLine"}, "target", Bytes, Steps({"HttpPath", "", String})),
    Fn(Http1Connection, {"OnStartLine"}, "target", Bytes, Steps({"HttpPath", "", String})),
    Fn(Http2Connection, {"OnStartLine"}, "target", Bytes, Steps({"HttpPath", "", String})),
    Fn(IisContext,
       {"Microsoft.AspNetCore.Http.Features.IHttpRequestFeature.get_Scheme",
        "Microsoft.AspNetCore.Http.Features.IHttpResponseFeature.get_StatusCode", "GetOriginalPath",
        "Microsoft.AspNetCore.Http.Features.IHttpRequestFeature.get_Path",
        "Microsoft.AspNetCore.Http.Features.IHttpRequestFeature.get_Method"},
       "returnValue", Whole),
    Fn(IisContext, {"SetErrorResponseHeaders"}, "statusCode", Whole),
    Fn(IisContext, {"set_Scheme"}, Every, Whole),
    Fn("Microsoft.AspNetCore.HttpSys.Internal.NativeRequestContext", {"GetKnowHeaderHelper"}, "returnValue", Whole),
    Fn(HttpProtocol, {"get_Path", "get_Scheme", "get_MethodText"}, "returnValue", Whole),
    // Today's Kestrel parses the request line into these properties (the start-line methods
    // above no longer take the method and target), and the status into the response's.
    Fn(HttpProtocol, {"set_Path", "set_QueryString"}, "value", Whole),
    Fn(HttpProtocol, {"set_StatusCode"}, "value", Whole),
    Fn(HttpProtocol,
       {"Microsoft.AspNetCore.Http.Features.IHttpRequestFeature.get_Method",
        "Microsoft.AspNetCore.Http.Features.IHttpRequestFeature.get_QueryString"},
       "returnValue", Whole),
    Fn(Http1Connection, {"ValidateNonOriginHostHeader"}, "hostText", Whole),
    // Today's MVC keeps its action invoker in another namespace.
    Fn("Microsoft.AspNetCore.Mvc.Infrastructure.ControllerActionInvoker", {"InvokeActionMethodAsync"}, Every, None),
};

}  // namespace

size_t Row::MethodCount() const {
    if (operation == Operation::Attribute) return 1;
    size_t count = 0;
    while (count < methods.size() && methods[count] != nullptr) ++count;
    return count;
}

const Path& Row::PathFor(HostType hostType) const {
    return hostType != DOTNET_CORE && otherHostsPath[0].name != nullptr ? otherHostsPath : path;
}

std::span<const Row> CompanionRows() { return Companion; }
std::span<const Row> CorrelationRows() { return Correlation; }
std::span<const Row> CommonRows() { return Common; }

std::span<const Row> HostRows(HostType hostType) {
    switch (hostType) {
        case DOTNET:
            return Standalone;
        case DOTNET_IIS:
            return Iis;
        case DOTNET_CORE:
            return DotNetCore;
        default:
            return {};
    }
}

const char* HostBlockName(HostType hostType) {
    switch (hostType) {
        case DOTNET:
            return "Standalone";
        case DOTNET_IIS:
            return "IIS";
        case DOTNET_CORE:
            return "Dot Net Core";
        default:
            return nullptr;
    }
}

size_t CallCount(std::span<const Row> rows) {
    size_t calls = 0;
    for (const Row& row : rows) calls += row.MethodCount();
    return calls;
}

}  // namespace MonitoredFunctionCatalogue
