#!/usr/bin/env bash
# Per-call cost of the agent on a hot method: without the agent, with the agent tracing it (the
# collector draining over TCP and over UDP), and with the agent loaded but the method not traced.
# Prints calls per second, nanoseconds per call and the ratios. Figures, not assertions.
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

measure() {  # label, then env assignments; prints "label seconds"
  local label="$1"; shift
  local out
  out="$(cd "$work" && env "$@" dotnet "$app" "$calls")"
  echo "$label $(echo "$out" | grep '^calls' | awk '{print $4}')"
}

with_collector() {  # transport port label extra-env...
  local transport="$1" port="$2" label="$3"; shift 3
  rm -f "$work/ready"
  "$collect" --transport "$transport" --port "$port" --ready-file "$work/ready" --no-tree --quiet \
    2>"$work/$label.summary" &
  local pid=$!
  for _ in $(seq 200); do [ -f "$work/ready" ] && break; sleep 0.05; done
  measure "$label" "${agent_env[@]}" MORVEL_WIRE_COMMAND_PORT="$port" "$@"
  sleep 0.5; kill -TERM "$pid"; wait "$pid" || true
}

port=$(( 20000 + RANDOM % 20000 ))
printf -- "-Bench.Work::Traced\n" > "$work/untraced.txt"
results="$work/results"
{
  measure baseline
  with_collector tcp "$port" traced_tcp MORVEL_NETWORK_MODE=Tcp
  with_collector udp "$((port + 1))" traced_udp MORVEL_NETWORK_MODE=Udp
  with_collector tcp "$((port + 2))" untraced MORVEL_NETWORK_MODE=Tcp MORVEL_USER_OVERRIDES_FILE="$work/untraced.txt"
} > "$results"

awk -v calls="$calls" '
  { secs[$1] = $2; order[NR] = $1 }
  END {
    base = secs["baseline"]
    printf "%-12s %14s %12s %10s\n", "run", "calls/s", "ns/call", "x base"
    for (i = 1; i <= NR; i++) {
      k = order[i]; s = secs[k]
      printf "%-12s %14.0f %12.1f %10.2f\n", k, calls / s, s * 1e9 / calls, s / base
    }
    printf "agent overhead per traced call: %.1f ns (tcp), %.1f ns (udp); untraced method: %.1f ns\n",
      (secs["traced_tcp"] - base) * 1e9 / calls, (secs["traced_udp"] - base) * 1e9 / calls,
      (secs["untraced"] - base) * 1e9 / calls
  }' "$results"
