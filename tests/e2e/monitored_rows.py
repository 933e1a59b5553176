"""The monitored methods that concern the client libraries of the Peers app (Npgsql, MySqlConnector,
StackExchange.Redis), ADO.NET, the runtime's HTTP clients and Thread.Sleep, and the task and
thread-pool methods the agent watches to follow work across threads. Written down independently
of the agent's own table, so a test can tell whether each one fires in a real process.

Each row: (group, class, methods, argument, inspection type, path). The argument "" stands for
every argument; a path is a list of (captured name, field name, element type) from the outermost
step in."""

STRING, CLASS, I4, U8 = 14, 18, 8, 11

SQL = "ADO.NET providers"
REDIS = "Redis"
HTTP = "HTTP clients"
THREAD = "Threads"
CORRELATION = "Correlation (tasks and thread pool)"

EXECUTE = ["ExecuteReader", "ExecuteReaderAsync", "ExecuteNonQuery", "ExecuteNonQueryAsync", "ExecuteScalar",
           "ExecuteScalarAsync", "ExecuteDbDataReader", "ExecuteDbDataReaderAsync"]

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
    (REDIS, "StackExchange.Redis.RedisDatabase", ["*"], "key", 1, [("Key1", "keyValue", STRING)]),
    (REDIS, "StackExchange.Redis.RedisDatabase", ["*"], "key", 1, [("Key2", "<KeyValue>k__BackingField", STRING)]),
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


def entries():
    """One entry per (class, method, argument, path): the unit the coverage table reports on."""
    result = []
    for group, cls, methods, argument, itype, path in ROWS:
        for method in methods:
            result.append({"group": group, "class": cls, "method": method, "argument": argument,
                           "type": itype, "path": path})
    return result
