"""The monitored methods that concern the client libraries of the Peers app (Npgsql, MySqlConnector,
StackExchange.Redis), ADO.NET, the runtime's HTTP clients and Thread.Sleep, and the task and
thread-pool methods the agent watches to follow work across threads. Written down independently
of the agent's own table, so a test can tell whether each one fires in a real process.

Each row: (group, class, methods, argument, inspection type, path). The argument "" stands for
every argument; a path is a list of (captured name, field name, element type) from the outermost
step in."""

STRING, CLASS, I4, U8, OBJECT, SZARRAY = 14, 18, 8, 11, 28, 29

SQL = "ADO.NET providers"
REDIS = "Redis"
HTTP = "HTTP clients"
THREAD = "Threads"
CORRELATION = "Correlation (tasks and thread pool)"

EXECUTE = ["ExecuteReader", "ExecuteReaderAsync", "ExecuteNonQuery", "ExecuteNonQueryAsync", "ExecuteScalar",
           "ExecuteScalarAsync", "ExecuteDbDataReader", "ExecuteDbDataReaderAsync"]
EXECUTE_ASYNC = [m for m in EXECUTE if m.endswith("Async")]
# Where each provider keeps a command's parameters: the collection, its list, and each parameter's
# name and value.
PARAMETERS = {
    "Npgsql.NpgsqlCommand": ("_parameters", "<InternalList>k__BackingField", "_name", "_value"),
    "MySqlConnector.MySqlCommand": ("m_parameterCollection", "m_parameters", "m_name", "m_value"),
    "Microsoft.Data.SqlClient.SqlCommand": ("_parameters", "_items", "_parameterName", "_value"),
}


def parameter_rows(cls):
    collection, items, name, value = PARAMETERS[cls]
    path = [("Parameters", collection, CLASS), ("", items, SZARRAY)]
    return [(SQL, cls, EXECUTE, "thisPtr", 1, path + [("name", name, STRING)]),
            (SQL, cls, EXECUTE, "thisPtr", 1, path + [("value", value, OBJECT)]),
            (SQL, cls, EXECUTE_ASYNC, "returnValue", 3, [])]


ROWS = [
    (SQL, "MySqlConnector.MySqlConnection", [".ctor"], "connectionString", 0, []),
    (SQL, "MySqlConnector.MySqlConnection", ["set_ConnectionString"], "value", 0, []),
    (SQL, "MySqlConnector.MySqlCommand", [".ctor"], "commandText", 0, []),
    (SQL, "MySqlConnector.MySqlCommand", ["set_CommandText"], "value", 0, []),
    (SQL, "MySqlConnector.MySqlCommand", ["set_Connection"], "value", 3, []),
    (SQL, "MySqlConnector.MySqlCommand", EXECUTE, "", 16, []),
    (SQL, "MySqlConnector.MySqlConnection", ["BeginTransaction", "BeginTransactionAsync"], "", 16, []),
    (SQL, "MySqlConnector.MySqlTransaction", ["Commit", "CommitAsync", "Rollback", "RollbackAsync"], "", 16, []),
    (SQL, "System.Data.Common.DbCommand",
     ["set_CommandText", "set_Connection", "ExecuteReader", "ExecuteReaderAsync", "ExecuteDbDataReaderAsync"],
     "value", 0, []),
    (SQL, "Npgsql.NpgsqlConnection", [".ctor"], "ConnectionString", 0, []),
    (SQL, "Npgsql.NpgsqlConnection", ["set_ConnectionString"], "value", 0, []),
    (SQL, "Npgsql.NpgsqlCommand", [".ctor"], "cmdText", 0, []),
    (SQL, "Npgsql.NpgsqlCommand", ["set_CommandText"], "value", 0, []),
    (SQL, "Npgsql.NpgsqlCommand", ["set_Connection"], "value", 3, []),
    (SQL, "Npgsql.NpgsqlCommand", EXECUTE, "", 16, []),
] + parameter_rows("Npgsql.NpgsqlCommand") + parameter_rows("MySqlConnector.MySqlCommand") + [
    (SQL, "Microsoft.Data.SqlClient.SqlCommand", EXECUTE, "", 16, []),
] + parameter_rows("Microsoft.Data.SqlClient.SqlCommand") + [
    (REDIS, "StackExchange.Redis.RedisDatabase", ["*"], "key", 1, [("Key1", "keyValue", STRING)]),
    (REDIS, "StackExchange.Redis.RedisDatabase", ["*"], "key", 1, [("Key2", "<KeyValue>k__BackingField", STRING)]),
    (REDIS, "StackExchange.Redis.RedisDatabase", ["*"], "returnValue", 3, []),
    (REDIS, "StackExchange.Redis.ConnectionMultiplexer", ["Connect"], "configuration", 0, []),
    (REDIS, "StackExchange.Redis.ConnectionMultiplexer", ["GetDatabase"], "db", 0, []),
    (REDIS, "StackExchange.Redis.ConnectionMultiplexer", ["GetDatabase"], "returnValue", 3, []),
    (HTTP, "System.Net.HttpRequestCreator", ["Create"], "Uri", 1, [("Url", "m_String", STRING)]),
    (HTTP, "System.Net.Http.HttpClient",
     ["GetAsync", "PostAsync", "PutAsync", "DeleteAsync", "SendAsync", "GetByteArrayAsync", "GetStreamAsync",
      "GetStringAsync"], "returnValue", 3, []),
    # The form used for a .NET Core host; other hosts read "requestUri" and "m_String".
    (HTTP, "System.Net.Http.HttpClient", ["PrepareRequestMessage"], "request", 1,
     [("Uri", "_requestUri", CLASS), ("uriValue", "_string", STRING)]),
    (HTTP, "System.Net.Http.HttpRequestMessage", ["InitializeValues"], "requestUri", 1, [("Uri", "_string", STRING)]),
    (HTTP, "System.Net.Http.HttpMessageInvoker", ["SendAsync", "Send"], "request", 1,
     [("Uri", "_requestUri", CLASS), ("uriValue", "_string", STRING)]),
    (HTTP, "System.Net.Http.HttpMessageInvoker", ["SendAsync", "Send"], "request", 1,
     [("Method", "_method", CLASS), ("methodValue", "_method", STRING)]),
    (HTTP, "System.Net.Http.HttpMessageInvoker", ["SendAsync", "Send"], "request", 1, [("RequestId", "", U8)]),
    (HTTP, "System.Net.Http.HttpMessageInvoker", ["SendAsync", "Send"], "returnValue", 3, []),
    (HTTP, "System.Net.Http.HttpResponseMessage", ["SetStatusCodeWithoutValidation", "set_StatusCode"], "value", 0, []),
    (HTTP, "System.Net.Http.HttpResponseMessage", ["SetStatusCodeWithoutValidation", "set_StatusCode"], "thisPtr", 1,
     [("RequestId", "_requestMessage", U8)]),
    (HTTP, "System.Net.Http.HttpResponseMessage", ["SetStatusCodeWithoutValidation", "set_StatusCode"], "thisPtr", 1,
     [("Uri", "_requestMessage", CLASS), ("", "_requestUri", CLASS), ("", "_string", STRING)]),
    (HTTP, "System.Net.HttpRequestCreator", ["Create"], "returnValue", 3, []),
    (HTTP, "System.Net.HttpWebRequest", ["GetResponse", "EndGetResponse"], "", 16, []),
    (THREAD, "System.Threading.Thread", ["Sleep"], "millisecondsTimeout", 0, []),
]

# Function rows of the correlation block (on unless MORVEL_ENABLE_CORRELATION is false).
_C = "System.Threading."
_R = "System.Runtime.CompilerServices."
ROWS += [(CORRELATION,) + row for row in [
    (_R + "AsyncTaskMethodBuilder", ["SetResult", "AwaitUnsafeOnCompleted"], "", 3, []),
    (_R + "AsyncTaskMethodBuilder`1", ["SetResult", "AwaitUnsafeOnCompleted", "GetStateMachineBox"], "", 3, []),
    (_C + "ExecutionContext", ["Capture"], "returnValue", 3, []),
    (_C + "ExecutionContext", ["RunInternal", "Run", "RunForThreadPoolUnsafe"], "", 3, []),
    (_C + "ExecutionContext", ["RunFromThreadPoolDispatchLoop"], "threadPoolThread", 1,
     [("ManagedThreadId", "_managedThreadId", I4)]),
    (_C + "ExecutionContext", ["RunFromThreadPoolDispatchLoop"], "executionContext", 3, []),
    (_C + "ExecutionContext", ["RunFromThreadPoolDispatchLoop"], "callback", 3, []),
    (_C + "ExecutionContext", ["RunFromThreadPoolDispatchLoop"], "state", 3, []),
    (_C + "ThreadPool", ["QueueUserWorkItem"], "", 16, []),
    (_C + "ThreadPool", ["UnsafeQueueUserWorkItemInternal"], "", 3, []),
    (_C + "ThreadPoolWorkQueue", ["Dispatch"], "", 16, []),
    (_C + "ThreadPoolWorkQueue", ["Enqueue"], "callback", 3, []),
    (_C + "Tasks.Task", ["Run", "Start"], "", 16, []),
    (_C + "Tasks.Task", ["ContinueWithCore"], "continuationTask", 3, []),
    (_C + "Tasks.Task", ["RunContinuations", "FinishContinuations"], "", 3, []),
    (_C + "Tasks.TaskContinuation", ["InlineIfPossibleOrElseQueue"], "", 3, []),
    (_C + "Tasks.TaskScheduler", ["InternalQueueTask", "TryRunInline", "TryExecuteTaskInline"], "", 3, []),
    (_C + "Tasks.ThreadPoolTaskScheduler", ["QueueTask"], "", 3, []),
    (_C + "Tasks.Task", ["ScheduleAndStart"], "returnValue", 3, []),
    (_C + "Tasks.Task", ["ExecuteEntry"], "", 3, []),
    (_C + "Tasks.Task", ["ExecuteEntryUnsafe"], "threadPoolThread", 3, []),
    (_C + "Tasks.Task", ["ExecuteWithThreadLocal"], "", 3, []),
    (_C + "Thread", ["SetStartHelper"], "start", 3, []),
    (_C + "Thread", ["Start"], "parameter", 3, []),
    (_C + "ThreadHelper", ["SetExecutionContextHelper"], "ec", 3, []),
    (_C + "ThreadHelper", ["ThreadStart"], "thisPtr", 1, [("start", "_start", 10)]),
    (_C + "Timer", ["TimerSetup"], "", 16, []),
    (_C + "TimerQueueTimer", ["Change"], "period", 0, []),
    (_C + "TimerQueueTimer", ["CallCallback"], "", 16, []),
    (_C + "ExecutionContext", ["CreateCopy"], "returnValue", 3, []),
    (_C + "Tasks.Task", ["AddTaskContinuation"], "tc", 3, []),
    (_C + "Tasks.StandardTaskContinuation", [".ctor"], "task", 3, []),
    (_C + "Tasks.StandardTaskContinuation", ["Run"], "completedTask", 3, []),
    (_C + "Tasks.AwaitTaskContinuation", [".ctor", "CreateTask", "Run"], "", 3, []),
    (_C + "Tasks.TaskSchedulerAwaitTaskContinuation", [".ctor", "Run"], "", 3, []),
    (_C + "Tasks.SynchronizationContextAwaitTaskContinuation", [".ctor", "Run"], "", 3, []),
    (_C + "Tasks.ContinuationTaskFromTask", [".ctor", "InnerInvoke"], "", 3, []),
    (_C + "Tasks.ContinuationResultTaskFromTask`1", [".ctor"], "", 3, []),
    (_C + "Tasks.TaskCompletionSource`1", [".ctor"], "", 3, []),
    (_C + "Tasks.TaskCompletionSource`1", ["get_Task"], "returnValue", 3, []),
    (_C + "Tasks.TaskCompletionSource`1", ["TrySetResult"], "", 3, []),
    (_R + "AsyncMethodBuilderCore.ContinuationWrapper", [".ctor", "Invoke"], "", 3, []),
    (_R + "AsyncMethodBuilderCore.MoveNextWrapper", [".ctor"], "", 3, []),
    (_C + "Tasks.Task", ["Delay"], "millisecondsDelay", 0, []),
    (_C + "Tasks.UnwrapPromise`1", ["Invoke"], "completingTask", 3, []),
    (_C + "Tasks.Task", ["GetAwaiter"], "", 3, []),
    (_R + "TaskAwaiter", ["GetResult"], "", 3, []),
    ("System.Net.Sockets.BaseOverlappedAsyncResult", [".ctor"], "", 3, []),
    ("System.Net.LazyAsyncResult", [".ctor", "InvokeCallback"], "", 3, []),
]]


def entries(rows=None):
    """One entry per (class, method, argument, path): the unit the coverage table reports on."""
    result = []
    for group, cls, methods, argument, itype, path in ROWS if rows is None else rows:
        for method in methods:
            result.append({"group": group, "class": cls, "method": method, "argument": argument,
                           "type": itype, "path": path})
    return result


# The ASP.NET Core entries of the .NET Core host block, which the WebShop app (Kestrel, minimal API,
# MVC) exercises; rows for older Kestrel and for IIS and HTTP.sys are listed so the table says
# which of them this framework still has.
ASPNET = "ASP.NET Core (Kestrel, MVC)"
_K = "Microsoft.AspNetCore.Server.Kestrel.Core.Internal."
_OLD = "Microsoft.AspNetCore.Server.Kestrel.Internal.Http."
_IIS = "Microsoft.AspNetCore.Server.IIS.Core.IISHttpContext"
_REQ = "Microsoft.AspNetCore.Http.Features.IHttpRequestFeature."
_RESP = "Microsoft.AspNetCore.Http.Features.IHttpResponseFeature."
_HOST_PATH = [("hostText", "_headers##HeaderReferences##_Host", STRING)]
ASPNET_ROWS = [(ASPNET,) + row for row in [
    (_K + "Http.Frame", ["set_Scheme"], "value", 0, []),
    (_K + "Http.HttpProtocol", ["set_Scheme"], "value", 0, []),
    (_IIS, [_REQ + "get_Scheme"], "returnValue", 0, []),
    (_OLD + "Frame", ["StatusCanHaveBody"], "statusCode", 0, []),
    (_K + "Http.Frame", ["StatusCanHaveBody"], "statusCode", 0, []),
    (_K + "Http.HttpProtocol", ["StatusCanHaveBody"], "statusCode", 0, []),
    (_IIS, [_REQ + "get_StatusCode"], "returnValue", 0, []),
    (_K + "Http.ReasonPhrases", ["ToStatusBytes"], "statusCode", 0, []),
    (_OLD + "FrameRequestHeaders", ["get_HeaderConnection"], "thisPtr", 1, _HOST_PATH),
    (_K + "Http.FrameRequestHeaders", ["get_HeaderHost"], "thisPtr", 1, _HOST_PATH),
    (_K + "Infrastructure.HttpUtilities", ["ValidateHostHeader", "IsHostHeaderValid"], "hostText", 0, []),
    ("Microsoft.AspNetCore.Http.HostString", ["FromUriComponent"], "uriComponent", 0, []),
    (_OLD + "Frame", ["InitializeHeaders"], "thisPtr", 1, [("HttpMethod", "<Method>k__BackingField", STRING)]),
    (_K + "Http.Frame", ["OnStartLine"], "method", 0, []),
    (_K + "Http.Frame", [_REQ + "get_Method"], "returnValue", 0, []),
    (_K + "Http.Http1Connection", ["OnStartLine"], "method", 0, []),
    (_K + "Http.Http2Connection", ["OnStartLine"], "method", 0, []),
    (_K + "Http.HttpProtocol", ["set_Method"], "value", 0, []),
    ("Microsoft.AspNetCore.Mvc.Internal.ControllerActionInvoker", ["InvokeActionAsync", "InvokeActionMethodAsync"],
     "", 16, []),
    ("Microsoft.AspNetCore.Routing.RouteHandler", ["RouteAsync"], "", 16, []),
    ("Microsoft.AspNetCore.Authentication.AuthenticationMiddleware", ["Invoke"], "", 16, []),
    ("Microsoft.AspNetCore.Authorization.AuthorizationMiddleware", ["Invoke"], "", 16, []),
    ("Microsoft.AspNetCore.Mvc.ModelBinding.DefaultModelBinder", ["BindModelAsync"], "", 16, []),
    ("Microsoft.AspNetCore.Diagnostics.ExceptionHandlerMiddleware", ["Invoke"], "", 16, []),
    ("Microsoft.AspNetCore.Diagnostics.DeveloperExceptionPageMiddleware", ["Invoke"], "", 16, []),
    ("Microsoft.AspNetCore.Mvc.ViewResult", ["ExecuteResultAsync"], "", 16, []),
    ("Microsoft.AspNetCore.Mvc.JsonResult", ["ExecuteResultAsync"], "", 16, []),
    ("Microsoft.Extensions.DependencyInjection.ServiceProvider", ["GetService", "GetRequiredService"], "", 16, []),
    (_OLD + "Frame", ["InitializeHeaders"], "thisPtr", 1, [("HttpPath", "<Path>k__BackingField", STRING)]),
    (_K + "Http.Frame", ["OnStartLine"], "target", 4, [("HttpPath", "", STRING)]),
    (_K + "Http.Http1Connection", ["OnStartLine"], "target", 4, [("HttpPath", "", STRING)]),
    (_K + "Http.Http2Connection", ["OnStartLine"], "target", 4, [("HttpPath", "", STRING)]),
    (_IIS, [_REQ + "get_Scheme", _RESP + "get_StatusCode", "GetOriginalPath", _REQ + "get_Path", _REQ + "get_Method"],
     "returnValue", 0, []),
    (_IIS, ["SetErrorResponseHeaders"], "statusCode", 0, []),
    (_IIS, ["set_Scheme"], "", 0, []),
    ("Microsoft.AspNetCore.HttpSys.Internal.NativeRequestContext", ["GetKnowHeaderHelper"], "returnValue", 0, []),
    (_K + "Http.HttpProtocol", ["get_Path", "get_Scheme", "get_MethodText"], "returnValue", 0, []),
    (_K + "Http.HttpProtocol", ["set_Path", "set_QueryString"], "value", 0, []),
    (_K + "Http.HttpProtocol", ["set_StatusCode"], "value", 0, []),
    (_K + "Http.HttpProtocol", [_REQ + "get_Method", _REQ + "get_QueryString"], "returnValue", 0, []),
    (_K + "Http.Http1Connection", ["ValidateNonOriginHostHeader"], "hostText", 0, []),
    ("Microsoft.AspNetCore.Mvc.Infrastructure.ControllerActionInvoker", ["InvokeActionMethodAsync"], "", 16, []),
    ("System.Net.Http.HttpMessageInvoker", ["SendAsync"], "request", 1,
     [("Uri", "_requestUri", CLASS), ("uriValue", "_string", STRING)]),
    ("System.Net.Http.HttpClient", ["PrepareRequestMessage"], "request", 1,
     [("Uri", "_requestUri", CLASS), ("uriValue", "_string", STRING)]),
]]
