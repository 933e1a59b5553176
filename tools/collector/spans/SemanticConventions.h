#pragma once

// Attribute keys the span export writes: the semantic conventions' own, then the keys of
// this collector (under "quorix.") for what the conventions have no name for.

namespace QuorixCollect {
namespace SemConv {

constexpr char DbSystemName[] = "db.system.name";
constexpr char DbQueryText[] = "db.query.text";
constexpr char DbNamespace[] = "db.namespace";
constexpr char DbOperationName[] = "db.operation.name";
constexpr char UrlScheme[] = "url.scheme";
constexpr char UrlQuery[] = "url.query";
constexpr char UrlPath[] = "url.path";
constexpr char UrlFull[] = "url.full";
constexpr char HttpRequestMethod[] = "http.request.method";
constexpr char HttpResponseStatusCode[] = "http.response.status_code";
constexpr char ServerAddress[] = "server.address";
constexpr char ServerPort[] = "server.port";
constexpr char ExceptionMessage[] = "exception.message";
constexpr char ExceptionType[] = "exception.type";
constexpr char ExceptionStacktrace[] = "exception.stacktrace";
constexpr char HttpRoute[] = "http.route";
constexpr char ThreadId[] = "thread.id";
constexpr char CodeNamespace[] = "code.namespace";
constexpr char CodeFunctionName[] = "code.function.name";
constexpr char ServiceName[] = "service.name";
constexpr char ServiceInstanceId[] = "service.instance.id";
constexpr char ProcessPid[] = "process.pid";
constexpr char ProcessRuntimeDescription[] = "process.runtime.description";
constexpr char HostName[] = "host.name";
constexpr char TelemetrySdkName[] = "telemetry.sdk.name";
constexpr char TelemetrySdkLanguage[] = "telemetry.sdk.language";

// Keys of this collector.
constexpr char ArgPrefix[] = "quorix.arg.";
constexpr char ExceptionId[] = "quorix.exception.id";
constexpr char Unfinished[] = "quorix.unfinished";
constexpr char HostType[] = "quorix.host_type";
constexpr char AgentVersion[] = "quorix.agent.version";
constexpr char ReturnValue[] = "quorix.return_value";
constexpr char RedisKey[] = "quorix.redis.key";
constexpr char RedisConfiguration[] = "quorix.redis.configuration";
constexpr char DbConnectionString[] = "quorix.db.connection_string";
constexpr char DbParameters[] = "quorix.db.parameters";
constexpr char RequestId[] = "quorix.request.id";
constexpr char RequestKind[] = "quorix.request.kind";
constexpr char RequestPiece[] = "quorix.request.piece";
constexpr char Findings[] = "quorix.findings";
constexpr char ExceptionCaughtBy[] = "quorix.exception.caught_by";

}  // namespace SemConv
}  // namespace QuorixCollect
