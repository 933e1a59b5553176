#!/usr/bin/env bash
# Per-call cost of the agent on a hot method: without the agent, with the agent tracing it (the
# collector draining over TCP and over UDP), and with the agent loaded but the method not traced;
# then the same for a monitored method, whose string argument and returned reference the agent
# captures on every call. Prints calls per second, nanoseconds per call and the ratios. Figures,
# not assertions.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${QX_BUILD_DIR:-$here/build}"
calls="${1:-2000000}"

if [ ! -f "$build/libQuorixProfilerr.so" ]; then
  cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j"$(nproc)" >/dev/null
fi
dotnet build "$here/bench/Loop" -c Release --nologo -v quiet -o "$build/bench/Loop" \
  -p:QxObjDir="$build/bench/obj/" >/dev/null
app="$build/bench/Loop/Loop.dll"
collect="$build/tools/collector/quorix-collect"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

agent_env=(CORECLR_ENABLE_PROFILING=1 "CORECLR_PROFILER={76CAC89D-4E69-48F9-BD88-3686BBD6CD7F}"
           "CORECLR_PROFILER_PATH=$build/libQuorixProfilerr.so")

mode=traced
measure() {  # label, then env assignments; prints "label seconds"
  local label="$1"; shift
  local out
  out="$(cd "$work" && env "$@" dotnet "$app" "$calls" "$mode")"
  echo "$label $(echo "$out" | grep '^calls' | awk '{print $4}')"
}

start_collector() {  # transport port label [json file]
  rm -f "$work/ready"
  local json=()
  [ -n "${4:-}" ] && json=(--json "$4")
  "$collect" --transport "$1" --port "$2" --ready-file "$work/ready" --no-tree --quiet "${json[@]}" \
    2>"$work/$3.summary" &
  collector=$!
  for _ in $(seq 200); do [ -f "$work/ready" ] && break; sleep 0.05; done
}

stop_collector() { sleep 0.5; kill -TERM "$collector"; wait "$collector" || true; }

with_collector() {  # transport port label extra-env...
  local transport="$1" port="$2" label="$3"; shift 3
  start_collector "$transport" "$port" "$label"
  measure "$label" "${agent_env[@]}" MORVEL_WIRE_COMMAND_PORT="$port" "$@"
  stop_collector
}

port=$(( 20000 + RANDOM % 20000 ))
printf -- "-Bench.Work::Traced\n" > "$work/untraced.txt"
results="$work/results"
{
  measure baseline
  with_collector tcp "$port" traced_tcp MORVEL_NETWORK_MODE=Tcp
  with_collector udp "$((port + 1))" traced_udp MORVEL_NETWORK_MODE=Udp
  with_collector tcp "$((port + 2))" untraced MORVEL_NETWORK_MODE=Tcp MORVEL_USER_OVERRIDES_FILE="$work/untraced.txt"
  mode=monitored
  measure monitored_base
  with_collector tcp "$((port + 3))" monitored_tcp MORVEL_NETWORK_MODE=Tcp
} > "$results"

# The figures mean something only if the values were captured: a short run, decoded.
check_calls=1000
check_total=$((check_calls + check_calls / 10))  # the loop warms up with a tenth as many calls
start_collector tcp "$((port + 4))" check "$work/check.jsonl"
(cd "$work" && env "${agent_env[@]}" MORVEL_WIRE_COMMAND_PORT="$((port + 4))" MORVEL_NETWORK_MODE=Tcp \
   dotnet "$app" "$check_calls" monitored >/dev/null)
stop_collector
captured=$(grep -c '"args":\[{"name":"host","type":12,"typeName":"string","value":"cache-01.invalid"}\]' \
  "$work/check.jsonl" || true)
returned=$(grep -c '"name":"EndCall".*"returnValue":{"name":"returnValue","type":8' "$work/check.jsonl" || true)

awk -v calls="$calls" -v captured="$captured" -v returned="$returned" -v checked="$check_total" '
  { secs[$1] = $2; order[NR] = $1 }
  END {
    base = secs["baseline"]; mbase = secs["monitored_base"]
    printf "%-14s %14s %12s %10s\n", "run", "calls/s", "ns/call", "x base"
    for (i = 1; i <= NR; i++) {
      k = order[i]; s = secs[k]
      printf "%-14s %14.0f %12.1f %10.2f\n", k, calls / s, s * 1e9 / calls, s / (k ~ /^monitored/ ? mbase : base)
    }
    traced = (secs["traced_tcp"] - base) * 1e9 / calls
    monitored = (secs["monitored_tcp"] - mbase) * 1e9 / calls
    printf "agent overhead per traced call: %.1f ns (tcp), %.1f ns (udp); untraced method: %.1f ns\n",
      traced, (secs["traced_udp"] - base) * 1e9 / calls, (secs["untraced"] - base) * 1e9 / calls
    printf "agent overhead per monitored call (string argument and return value captured): %.1f ns (tcp),", monitored
    printf " %.1f ns more than a plain traced call, %.2fx its cost\n",
      monitored - traced, (traced > 0 ? monitored / traced : 0)
    printf "capture check: %d of %d monitored calls carried the argument, %d the return value\n",
      captured, checked, returned
  }' "$results"
