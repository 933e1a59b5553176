#include "dotnet/DotNetLibraries.h"

namespace QuorixCollect {

std::string_view DatabaseSystem(std::string_view className) {
    if (StartsWith(className, "Npgsql.")) {
        return "postgresql";
    }
    if (StartsWith(className, "MySqlConnector.") || StartsWith(className, "MySql.Data.") ||
        StartsWith(className, "Pomelo.EntityFrameworkCore.MySql.")) {
        return "mysql";
    }
    if (StartsWith(className, "System.Data.SqlClient.") || StartsWith(className, "Microsoft.Data.SqlClient.")) {
        return "microsoft.sql_server";
    }
    if (StartsWith(className, "Oracle.")) {
        return "oracle.db";
    }
    if (StartsWith(className, "EnterpriseDB.") || StartsWith(className, "System.Data.Common.")) {
        return "other_sql";
    }
    return {};
}

std::string_view KestrelMethod(int64_t value) {
    static const char* const names[] = {"GET", "PUT", "DELETE", "POST", "HEAD", "TRACE", "PATCH", "CONNECT", "OPTIONS"};
    if (value >= 0 && value < 9) {
        return names[value];
    }
    return value == 9 ? "_OTHER" : std::string_view{};
}

bool IsDbCommandClass(std::string_view cls) {
    return !DatabaseSystem(cls).empty() && (EndsWith(cls, "Command") || EndsWith(cls, "RelationalConnection"));
}

bool IsDbConnectionClass(std::string_view cls) { return !DatabaseSystem(cls).empty() && EndsWith(cls, "Connection"); }

bool IsIncomingHttpClass(std::string_view cls) {
    return StartsWith(cls, "Microsoft.AspNetCore.") || StartsWith(cls, "Microsoft.Owin.") ||
           StartsWith(cls, "System.Web.");
}

bool IsRedisClass(std::string_view cls) {
    return StartsWith(cls, "StackExchange.Redis.") || StartsWith(cls, "ServiceStack.Redis.");
}

bool IsOutgoingHttpClass(std::string_view cls) {
    return StartsWith(cls, "System.Net.") || StartsWith(cls, "Elasticsearch.");
}

bool IsCorrelationMachinery(std::string_view cls) {
    return StartsWith(cls, "System.Threading.") || StartsWith(cls, "System.Runtime.CompilerServices.");
}

CallRole RoleOf(std::string_view cls, std::string_view method) {
    if (method == "ProcessRequestAsync" && (cls == "Microsoft.AspNetCore.Hosting.HostingApplication" ||
                                            cls == "Microsoft.AspNetCore.Hosting.Internal.HostingApplication" ||
                                            cls == "Microsoft.AspNetCore.Server.IIS.Core.IISHttpContextOfT`1")) {
        return CallRole::RequestEntry;
    }
    if ((cls == "Microsoft.AspNetCore.Server.IIS.Core.IISHttpContext" && method == "HandleRequest") ||
        (cls == "Microsoft.Owin.Host.HttpListener.OwinHttpListener" && method == "StartProcessingRequest") ||
        (cls == "System.Web.Hosting.PipelineRuntime" && method == "ProcessRequestNotification")) {
        return CallRole::RequestEntry;
    }
    if ((cls == "System.Threading.ThreadPoolWorkQueue" && method == "Dispatch") ||
        (cls == "System.Threading.ThreadHelper" && method == "ThreadStart") ||
        (cls == "System.Threading.TimerQueueTimer" && method == "CallCallback") ||
        (cls == "System.Threading._IOCompletionCallback" && method == "PerformIOCompletionCallback") ||
        (cls == "System.Threading.ExecutionContext" &&
         (method == "RunFromThreadPoolDispatchLoop" || method == "RunInternal" || method == "Run" ||
          method == "RunForThreadPoolUnsafe")) ||
        (cls == "System.Threading.Tasks.Task" &&
         (method == "ExecuteEntry" || method == "ExecuteEntryUnsafe" || method == "ExecuteWithThreadLocal" ||
          method == "FinishContinuations" || method == "RunContinuations"))) {
        return CallRole::Dispatcher;
    }
    return CallRole::Plain;
}

std::string_view DatabaseCommandSystem(std::string_view className) {
    return EndsWith(className, "Command") ? DatabaseSystem(className) : std::string_view{};
}

}  // namespace QuorixCollect
