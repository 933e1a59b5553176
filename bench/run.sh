#!/usr/bin/env bash
# What the agent costs, printed as figures and ratios (never assertions), in sections:
#   core       a C# loop calling one small method: without the agent, traced (collector draining
#              over TCP and UDP), loaded but the method untraced; the same for a monitored method
#              whose string argument and returned reference are captured on every call
#   floor      the same loops under the floor profiler (the agent's event mask and trace decision,
#              hooks that do nothing or only fetch the argument info), and the agent/floor ratios
#   threads    the traced loop on 1, 2, 4 and 8 threads, agent and floor
#   transport  a C reference sender for UDP, and the agent's own send rate over UDP, TCP and FIFO
#   collector  the collector's decode rate on the TCP traced run, with and without --json
#   fantomas   a real third-party tool (the F# formatter) checking a folder of generated sources
#   web        a small ASP.NET Core app under wrk: requests/s and time to the first response
#   startup    the wall time of a small app's whole run, bare and with the agent
# Rows with "_probes" run the probe engine (MORVEL_TRACE_ENGINE=probes); the others the hooks engine.
#
# bench/run.sh [--quick] [--only SECTION[,SECTION...]] [CALLS]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${QX_BUILD_DIR:-$here/build}"
# The agent measured: this build's, or another one (QX_AGENT=path) to compare two builds against the same floor.
agent="${QX_AGENT:-$build/libQuorixProfilerr.so}"

quick=0
only="core,floor,threads,transport,collector,fantomas,web,startup"
calls=""
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=1 ;;
    --only) only="$2"; shift ;;
    --only=*) only="${1#--only=}" ;;
    -h|--help) sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) calls="$1" ;;
  esac
  shift
done
[ -n "$calls" ] || calls=$([ "$quick" = 1 ] && echo 500000 || echo 2000000)
want() { [[ ",$only," == *",$1,"* ]]; }
# Calls of the rows without hooks: they cost a few nanoseconds, so they need many more calls to
# be timed as well; the loop takes an int.
fast_calls=$(( calls * 50 > 2000000000 ? 2000000000 : calls * 50 ))
if [ "$quick" = 1 ]; then
  fantomas_files=30; wrk_seconds=2; wrk_warmup=1
else
  fantomas_files=150; wrk_seconds=5; wrk_warmup=2
fi

# ---------------------------------------------------------------------------------------------
# Build: the agent, the collector, the floor profiler, the transport helpers and the apps.
[ -f "$build/CMakeCache.txt" ] || cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake -S "$here" -B "$build" >/dev/null
cmake --build "$build" -j2 --target QuorixProfilerr quorix-collect qx_floor_profiler qx_drain qx_udp_sender \
  >/dev/null
dotnet build "$here/bench/Loop" -c Release --nologo -v quiet -o "$build/bench/Loop" \
  -p:QxObjDir="$build/bench/obj/" >/dev/null
app="$build/bench/Loop/Loop.dll"
collect="$build/tools/collector/quorix-collect"
drain="$build/bench/qx_drain"
sender="$build/bench/qx_udp_sender"
work="$(mktemp -d)"

# Processes started in the background and not yet waited for, stopped if the script ends early.
background=()
forget() {
  local keep=() pid
  for pid in "${background[@]}"; do [ "$pid" = "$1" ] || keep+=("$pid"); done
  background=("${keep[@]}")
}
cleanup() {
  for pid in "${background[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

agent_env=(CORECLR_ENABLE_PROFILING=1 "CORECLR_PROFILER={76CAC89D-4E69-48F9-BD88-3686BBD6CD7F}"
           "CORECLR_PROFILER_PATH=$agent" MORVEL_TRACE_ENGINE=hooks)
probes=(MORVEL_TRACE_ENGINE=probes)
floor_env=(CORECLR_ENABLE_PROFILING=1 "CORECLR_PROFILER={3F7B9C21-6D84-4E0A-A5B3-19C2D7E64F08}"
           "CORECLR_PROFILER_PATH=$build/bench/libqx_floor_profiler.so")
pipe_name='\\.\pipe\QuorixAgent_v1'
# Below the kernel's ephemeral range, so no outgoing connection holds one of them.
port=$(( 20000 + RANDOM % 10000 ))
next_port() { port=$((port + 1)); }
note() { echo "== $*" >&2; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a > 0 && b > 0) printf "%.2f", a / b; else printf "n/a" }'; }

# One run of the loop: "calls seconds". Globals: mode, extra (arguments after the mode), cwd.
mode=traced
extra=()
cwd="$work"
loop_once() {  # calls, then env assignments
  local n="$1"; shift
  (cd "$cwd" && env "$@" dotnet "$app" "$n" "$mode" "${extra[@]}") | awk '/^calls/ { print $2, $4 }'
}

# "label calls seconds", the best of `repeat` runs.
repeat=1
# A run that fails leaves its row without figures.
measure() {  # label calls env...
  local label="$1" n="$2" best="" out; shift 2
  for _ in $(seq "$repeat"); do
    out=$(loop_once "$n" "$@") || true
    [ -n "$out" ] || continue
    n=${out% *}
    best=$(awk -v a="${out#* }" -v b="$best" 'BEGIN { print (b == "" || a < b) ? a : b }')
  done
  echo "$label $n ${best:-0}"
}

start_collector() {  # transport port label [json file]
  rm -f "$work/ready"
  local json=()
  [ -n "${4:-}" ] && json=(--json "$4")
  "$collect" --transport "$1" --port "$2" --ready-file "$work/ready" --no-tree --quiet "${json[@]}" \
    2>"$work/$3.summary" &
  collector=$!
  background+=("$collector")
  for _ in $(seq 200); do [ -f "$work/ready" ] && break; sleep 0.05; done
  [ -f "$work/ready" ] || echo "collector for $3 did not start: $(head -c 300 "$work/$3.summary")" >&2
}

stop_collector() {
  sleep 0.5
  kill -TERM "$collector" 2>/dev/null || true
  wait "$collector" || true
  forget "$collector"
}

with_collector() {  # transport port label calls extra-env...
  local transport="$1" p="$2" label="$3" n="$4"; shift 4
  start_collector "$transport" "$p" "$label"
  measure "$label" "$n" "${agent_env[@]}" MORVEL_WIRE_COMMAND_PORT="$p" "$@"
  stop_collector
}

start_drain() {  # kind port-or-path; sets drain_pid, output in $work/drain.out
  rm -f "$work/drain.ready"
  "$drain" "$1" "$2" "$work/drain.ready" >"$work/drain.out" &
  drain_pid=$!
  background+=("$drain_pid")
  for _ in $(seq 200); do [ -f "$work/drain.ready" ] && break; sleep 0.02; done
  [ -f "$work/drain.ready" ] || echo "drain on $2 did not start" >&2
}

stop_drain() {
  kill -TERM "$drain_pid" 2>/dev/null || true
  wait "$drain_pid" || true
  forget "$drain_pid"
}

decode_rate() {  # summary file → messages/s or n/a
  local rate=""
  [ -f "$1" ] && rate=$(sed -nE 's/^[[:space:]]*decode rate:[[:space:]]*([0-9.]+)[[:space:]]*messages\/s.*/\1/p' "$1" | head -1)
  echo "${rate:-n/a}"
}

# Per-call table of "label calls seconds" rows; "x base" against baseline or monitored_base.
print_rows() {
  awk '
    { calls[$1] = $2; secs[$1] = $3; order[NR] = $1 }
    END {
      printf "%-22s %14s %12s %10s\n", "run", "calls/s", "ns/call", "x base"
      for (i = 1; i <= NR; i++) {
        k = order[i]; ns[k] = secs[k] > 0 ? secs[k] * 1e9 / calls[k] : 0
      }
      for (i = 1; i <= NR; i++) {
        k = order[i]; b = (k ~ /monitored/) ? "monitored_base" : "baseline"
        if (secs[k] <= 0) { printf "%-22s %14s\n", k, "failed"; continue }
        printf "%-22s %14.0f %12.1f %10s\n", k, calls[k] / secs[k], ns[k], (b in ns && ns[b] > 0) ? sprintf("%.2f", ns[k] / ns[b]) : "-"
      }
    }' "$1"
}

ns_of() {  # results file, label → ns/call, or nothing for a failed or missing row
  awk -v k="$2" '$1 == k && $3 > 0 { printf "%.3f", $3 * 1e9 / $2 }' "$1"
}

results="$work/results"
: >"$results"

# ---------------------------------------------------------------------------------------------
printf -- "-Bench.Work::Traced\n" >"$work/untraced.txt"
if want core; then
  note "core: loop of $calls traced calls ($fast_calls for the rows without hooks)"
  {
    mode=traced
    repeat=3 measure baseline "$fast_calls"
    next_port; with_collector tcp "$port" traced_tcp "$calls" MORVEL_NETWORK_MODE=Tcp
    next_port; with_collector tcp "$port" traced_tcp_probes "$calls" MORVEL_NETWORK_MODE=Tcp "${probes[@]}"
    next_port; with_collector udp "$port" traced_udp "$calls" MORVEL_NETWORK_MODE=Udp
    next_port; with_collector tcp "$port" untraced "$fast_calls" MORVEL_NETWORK_MODE=Tcp \
      MORVEL_USER_OVERRIDES_FILE="$work/untraced.txt"
    mode=monitored
    repeat=3 measure monitored_base "$fast_calls"
    next_port; with_collector tcp "$port" monitored_tcp "$calls" MORVEL_NETWORK_MODE=Tcp
    next_port; with_collector tcp "$port" monitored_tcp_probes "$calls" MORVEL_NETWORK_MODE=Tcp "${probes[@]}"
  } >>"$results"
fi

if want floor; then
  note "floor: the same loops under the floor profiler"
  {
    mode=traced
    repeat=3 measure floor_mask "$fast_calls" "${floor_env[@]}" QX_FLOOR_MODE=mask
    repeat=3 measure floor_empty "$((calls * 5))" "${floor_env[@]}" QX_FLOOR_MODE=empty
    repeat=3 measure floor_args "$calls" "${floor_env[@]}" QX_FLOOR_MODE=args
    # The counterpart of the untraced row: empty hooks, the loop's method left out by the mapper.
    repeat=3 measure floor_untraced "$fast_calls" "${floor_env[@]}" QX_FLOOR_MODE=empty \
      MORVEL_USER_OVERRIDES_FILE="$work/untraced.txt"
    mode=monitored
    repeat=3 measure floor_args_monitored "$calls" "${floor_env[@]}" QX_FLOOR_MODE=args
  } >>"$results"
fi

if want core || want floor; then
  print_rows "$results"
fi

if want core; then
  # The figures mean something only if the values were captured: a short run, decoded.
  check_calls=1000
  check_total=$((check_calls + check_calls / 10))  # the loop warms up with a tenth as many calls
  next_port
  start_collector tcp "$port" check "$work/check.jsonl"
  (cd "$work" && env "${agent_env[@]}" MORVEL_WIRE_COMMAND_PORT="$port" MORVEL_NETWORK_MODE=Tcp \
     dotnet "$app" "$check_calls" monitored >/dev/null)
  stop_collector
  captured=$(grep -c '"args":\[{"name":"host","type":12,"typeName":"string","value":"cache-01.invalid"}\]' \
    "$work/check.jsonl" || true)
  returned=$(grep -c '"name":"EndCall".*"returnValue":{"name":"returnValue","type":8' "$work/check.jsonl" || true)
  rm -f "$work/check.jsonl"
  base=$(ns_of "$results" baseline); mbase=$(ns_of "$results" monitored_base)
  awk -v b="$base" -v mb="$mbase" -v t="$(ns_of "$results" traced_tcp)" -v u="$(ns_of "$results" traced_udp)" \
      -v un="$(ns_of "$results" untraced)" -v m="$(ns_of "$results" monitored_tcp)" 'BEGIN {
    traced = t - b; monitored = m - mb
    printf "agent overhead per traced call: %.1f ns (tcp), %.1f ns (udp); untraced method: %.1f ns\n", traced, u - b, un - b
    printf "agent overhead per monitored call (string argument and return value captured): %.1f ns (tcp),", monitored
    printf " %.1f ns more than a plain traced call, %.2fx its cost\n", monitored - traced, (traced > 0 ? monitored / traced : 0)
  }'
  echo "capture check: $captured of $check_total monitored calls carried the argument, $returned the return value"
  awk -v b="$base" -v mb="$mbase" -v t="$(ns_of "$results" traced_tcp)" -v tp="$(ns_of "$results" traced_tcp_probes)" \
      -v m="$(ns_of "$results" monitored_tcp)" -v mp="$(ns_of "$results" monitored_tcp_probes)" 'BEGIN {
    r = (t - b > 0 && tp > 0) ? sprintf("%.2f", (tp - b) / (t - b)) : "n/a"
    printf "probe engine: %.1f ns per traced call against the hooks engine'"'"'s %.1f ns: %sx (target <= 0.6x)\n", tp - b, t - b, r
    r = (m - mb > 0 && mp > 0) ? sprintf("%.2f", (mp - mb) / (m - mb)) : "n/a"
    printf "probe engine: %.1f ns per monitored call against the hooks engine'"'"'s %.1f ns: %sx\n", mp - mb, m - mb, r
  }'
fi

if want core && want floor; then
  echo
  echo "agent against the floor (ns/call ratios):"
  target_row() {  # label agent-row floor-row target-text limit
    local r
    r=$(ratio "$(ns_of "$results" "$2")" "$(ns_of "$results" "$3")")
    printf "  %-44s %8sx   target %s\n" "$1" "$r" "$4"
  }
  target_row "traced_tcp / floor_empty" traced_tcp floor_empty "<= 2x"
  target_row "monitored_tcp / floor_args_monitored" monitored_tcp floor_args_monitored "<= 2x"
  target_row "untraced / floor_mask" untraced floor_mask "<= 1.1x"
  target_row "untraced / floor_untraced (for reference)" untraced floor_untraced "-"
  target_row "traced_tcp / floor_args (for reference)" traced_tcp floor_args "-"
fi

# ---------------------------------------------------------------------------------------------
if want threads; then
  note "threads: traced loop on 1, 2, 4, 8 threads"
  tresults="$work/threads"
  : >"$tresults"
  mode=threads
  for t in 1 2 4 8; do
    extra=("$t")
    next_port
    with_collector tcp "$port" "agent_$t" "$calls" MORVEL_NETWORK_MODE=Tcp >>"$tresults"
    measure "floor_$t" "$((calls * 5))" "${floor_env[@]}" QX_FLOOR_MODE=empty >>"$tresults"
  done
  extra=()
  echo
  echo "threads: the traced loop on N threads at once, the same total calls split evenly ($calls agent,"
  echo "$((calls * 5)) floor_empty); calls/s over all threads, ns/call = wall time / all calls"
  awk '
    { split($1, p, "_"); kind = p[1]; t = p[2]; rate[kind, t] = $3 > 0 ? $2 / $3 : 0; if (!(t in seen)) { seen[t] = 1; order[++n] = t } }
    END {
      printf "%-8s %14s %10s %8s %14s %10s %8s %12s\n", "threads", "agent calls/s", "ns/call", "x 1 thr", "floor calls/s", "ns/call", "x 1 thr", "agent/floor"
      for (i = 1; i <= n; i++) {
        t = order[i]; a = rate["agent", t]; f = rate["floor", t]
        printf "%-8s %14.0f %10.1f %8.2f %14.0f %10.1f %8.2f %11.2fx\n", t, a, 1e9 / a, a / rate["agent", 1], f, 1e9 / f, f / rate["floor", 1], f / a
      }
    }' "$tresults"
  mode=traced
fi

# ---------------------------------------------------------------------------------------------
if want transport; then
  note "transport: reference UDP sender, then the agent over UDP, TCP and FIFO to a drain"
  drained() { awk '{ print $6, $2, $10 }' "$work/drain.out"; }  # datagrams bytes span
  next_port
  start_drain udp "$port"
  sender_out=$("$sender" "$port" 1)
  stop_drain
  echo "c_udp_sendmmsg $(echo "$sender_out" | awk '{ print $2 }') - - $(echo "$sender_out" | awk '{ print $4 }') $(drained)" \
    >"$work/rates"

  agent_rate() {  # label kind → "label sent failed dropped loop-seconds datagrams bytes span"
    local label="$1" kind="$2" dir="$work/rate-$2" target env_mode out counts
    mkdir -p "$dir/logs"
    case "$kind" in
      udp) next_port; target="$port"; env_mode=Udp ;;
      tcp) next_port; target="$port"; env_mode=Tcp ;;
      fifo) target="$dir/$pipe_name"; mkfifo "$target"; env_mode=NamedPipe ;;
    esac
    start_drain "$kind" "$target"
    out=$(cwd="$dir" loop_once "$calls" "${agent_env[@]}" MORVEL_NETWORK_MODE="$env_mode" \
      MORVEL_WIRE_COMMAND_PORT="$port" MORVEL_ERROR_LOG_FOLDER="$dir/logs" MORVEL_DEBUG_LOGLEVEL=Info) || true
    stop_drain
    counts=$(cat "$dir"/logs/*.log 2>/dev/null |
      sed -nE 's/.*\[[0-9]+\]\[Finalize\] Delivery: ([0-9]+) messages sent, ([0-9]+) failed[^,]*, ([0-9]+) dropped.*/\1 \2 \3/p' |
      tail -1)
    echo "$label ${counts:-n/a n/a n/a} $(echo "${out:-0 0}" | awk '{ print $2 }') $(drained)"
  }
  {
    agent_rate agent_udp udp
    agent_rate agent_tcp tcp
    agent_rate agent_fifo fifo
  } >>"$work/rates"
  echo
  echo "transport rates ($calls traced calls for the agent; messages/s = messages sent / loop seconds;"
  echo "the drain's span runs from the first arrival to the last, start-up and exit included; the"
  echo "target column judges sent/span):"
  awk '
    function rate_of(n, s) { return (n ~ /^[0-9]+$/ && s > 0) ? n / s : -1 }
    function show(r) { return (r > 0) ? sprintf("%.0f", r) : "n/a" }
    {
      label[NR] = $1; sent[NR] = $2; failed[NR] = $3; dropped[NR] = $4; secs[NR] = $5
      got[NR] = ($1 ~ /udp/) ? $6 : $7 " B"; span[NR] = $8; rate[NR] = rate_of($2, $5)
      # Targets are judged on sent/span: when the loop ends before the transport has caught up,
      # the rest goes out during the exit, so sent/loop seconds would flatter the agent.
      spanRate[NR] = rate_of($2, $8)
      if ($1 == "c_udp_sendmmsg") reference = spanRate[NR]
    }
    END {
      printf "%-15s %10s %7s %8s %9s %12s %14s %9s %12s  %s\n", "run", "sent", "failed", "dropped", "seconds",
        "messages/s", "drain got", "span s", "sent/span", "target"
      for (i = 1; i <= NR; i++) {
        if (label[i] == "c_udp_sendmmsg") target = "(reference)"
        else if (label[i] == "agent_udp") target = sprintf(">= 0.8x the C sender: %sx", (spanRate[i] > 0 && reference > 0) ? sprintf("%.2f", spanRate[i] / reference) : "n/a")
        else target = sprintf(">= 10000000/s: %sx", (spanRate[i] > 0) ? sprintf("%.2f", spanRate[i] / 1e7) : "n/a")
        printf "%-15s %10s %7s %8s %9.3f %12s %14s %9.3f %12s  %s\n", label[i], sent[i], failed[i], dropped[i], secs[i],
          show(rate[i]), got[i], span[i], show(rate_of(sent[i], span[i])), target
      }
    }' "$work/rates"
fi

# ---------------------------------------------------------------------------------------------
if want collector; then
  note "collector: decode rate on the TCP traced run, without and with --json"
  mode=traced
  if [ ! -f "$work/traced_tcp.summary" ]; then
    next_port; with_collector tcp "$port" traced_tcp "$calls" MORVEL_NETWORK_MODE=Tcp >/dev/null
  fi
  next_port
  start_collector tcp "$port" traced_tcp_json "$work/rate.jsonl"
  measure traced_tcp_json "$calls" "${agent_env[@]}" MORVEL_WIRE_COMMAND_PORT="$port" MORVEL_NETWORK_MODE=Tcp \
    >/dev/null
  stop_collector
  json_bytes=$(stat -c %s "$work/rate.jsonl" 2>/dev/null || echo 0)
  rm -f "$work/rate.jsonl"
  echo
  echo "collector decode rate (TCP traced run, $calls calls):"
  printf "  %-22s %s messages/s\n" "without --json" "$(decode_rate "$work/traced_tcp.summary")"
  printf "  %-22s %s messages/s  (%d MB of JSON written)\n" "with --json FILE" \
    "$(decode_rate "$work/traced_tcp_json.summary")" "$((json_bytes / 1000000))"
fi

# ---------------------------------------------------------------------------------------------
if want fantomas; then
  note "fantomas: formatter check of $fantomas_files generated F# files"
  tools="$build/bench/tools"
  fantomas="$tools/fantomas"
  if [ ! -x "$fantomas" ]; then
    dotnet tool install fantomas --version 7.0.6 --tool-path "$tools" >"$work/fantomas-install.log" 2>&1 || true
  fi
  echo
  if [ ! -x "$fantomas" ]; then
    echo "fantomas: not installed ($(tail -1 "$work/fantomas-install.log"))"
  else
    sources="$work/fsharp"
    "$here/bench/fantomas/generate.sh" "$sources" "$fantomas_files" 6
    lines=$(cat "$sources"/*.fs | wc -l)
    "$fantomas" --version >/dev/null 2>&1 || true  # first start pays for reading the tool from disk
    run_fantomas() {  # label env...
      local label="$1" start end status=0; shift
      start=$EPOCHREALTIME
      (cd "$work" && env "$@" "$fantomas" --check "$sources") >"$work/$label.out" 2>&1 || status=$?
      end=$EPOCHREALTIME
      echo "$status" >"$work/$label.status"
      awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }' >"$work/$label.seconds"
    }
    run_fantomas bare DOTNET_CLI_TELEMETRY_OPTOUT=1
    run_fantomas mask "${floor_env[@]}" QX_FLOOR_MODE=mask
    next_port
    start_collector tcp "$port" fantomas_agent
    run_fantomas agent "${agent_env[@]}" MORVEL_NETWORK_MODE=Tcp MORVEL_WIRE_COMMAND_PORT="$port"
    stop_collector
    next_port
    start_collector tcp "$port" fantomas_probes
    run_fantomas probes "${agent_env[@]}" MORVEL_NETWORK_MODE=Tcp MORVEL_WIRE_COMMAND_PORT="$port" "${probes[@]}"
    stop_collector
    commands=$(sed -nE 's/^[[:space:]]*commands: ([0-9]+).*/\1/p' "$work/fantomas_agent.summary" | head -1)
    # The files are checked in parallel and reported in the order they finish, so the lines are
    # compared sorted; the agent's own exit line is not the tool's output.
    for label in bare mask agent probes; do
      grep -v -x 'ProfilerImpl::FinalRelease exit' "$work/$label.out" | sort >"$work/$label.sorted" || true
    done
    same="same output"
    for label in mask agent probes; do
      if ! cmp -s "$work/bare.sorted" "$work/$label.sorted" ||
         [ "$(cat "$work/bare.status")" != "$(cat "$work/$label.status")" ]; then
        same="DIFFERENT OUTPUT: $label exit $(cat "$work/$label.status") vs bare $(cat "$work/bare.status");"
        same+=" $(diff "$work/bare.sorted" "$work/$label.sorted" | grep -c '^[<>]' || true) lines differ"
        break
      fi
    done
    bare_s=$(cat "$work/bare.seconds"); mask_s=$(cat "$work/mask.seconds"); agent_s=$(cat "$work/agent.seconds")
    probes_s=$(cat "$work/probes.seconds")
    probe_commands=$(sed -nE 's/^[[:space:]]*commands: ([0-9]+).*/\1/p' "$work/fantomas_probes.summary" | head -1)
    echo "fantomas 7.0.6 --check on $fantomas_files files ($lines lines), wall seconds:"
    printf "  %-28s %8s s\n" "bare" "$bare_s" "floor mask" "$mask_s" "agent (tcp, collector)" "$agent_s" \
      "agent_probes (tcp, collector)" "$probes_s"
    echo "  agent/mask $(ratio "$agent_s" "$mask_s")x (target <= 1.5x), agent/bare $(ratio "$agent_s" "$bare_s")x," \
         "mask/bare $(ratio "$mask_s" "$bare_s")x; collector saw ${commands:-n/a} commands"
    echo "  agent_probes/bare $(ratio "$probes_s" "$bare_s")x (target <= 1.3x); collector saw ${probe_commands:-n/a} commands"
    echo "  exit code $(cat "$work/bare.status"), $(wc -l <"$work/bare.sorted") output lines: $same"
  fi
fi

# ---------------------------------------------------------------------------------------------
if want web; then
  note "web: ASP.NET Core app under wrk, bare and with the agent"
  { command -v wrk && command -v curl; } >/dev/null || "$here/scripts/setup.sh" --bench >/dev/null 2>&1 || true
  echo
  if ! command -v wrk >/dev/null; then
    echo "web: wrk is not installed and could not be installed"
  else
    dotnet build "$here/bench/Web" -c Release --nologo -v quiet -o "$build/bench/Web" \
      -p:QxObjDir="$build/bench/obj/" >/dev/null
    web_run() {  # label env... → "label first-response-ms requests/s non2xx"
      local label="$1" start first="" rps pid; shift
      next_port
      start=$EPOCHREALTIME
      (cd "$work" && exec env "$@" dotnet "$build/bench/Web/Web.dll" --urls "http://127.0.0.1:$port") \
        >"$work/$label.web.out" 2>&1 &
      pid=$!
      background+=("$pid")
      for _ in $(seq 1500); do
        if curl -sf -o /dev/null "http://127.0.0.1:$port/orders/1"; then
          first=$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.0f", (b - a) * 1000 }')
          break
        fi
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.02
      done
      if [ -n "$first" ]; then
        wrk -t2 -c8 -d"${wrk_warmup}s" -s "$here/bench/Web/wrk.lua" "http://127.0.0.1:$port" >/dev/null 2>&1 || true
        wrk -t2 -c8 -d"${wrk_seconds}s" -s "$here/bench/Web/wrk.lua" "http://127.0.0.1:$port" >"$work/$label.wrk" 2>&1 || true
        rps=$(awk '/^Requests\/sec:/ { print $2 }' "$work/$label.wrk")
        non2xx=$(awk '/Non-2xx or 3xx responses:/ { print $NF }' "$work/$label.wrk")
      fi
      kill -TERM "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
      forget "$pid"
      echo "$label ${first:-n/a} ${rps:-n/a} ${non2xx:-0}"
    }
    {
      web_run bare DOTNET_CLI_TELEMETRY_OPTOUT=1
      # The event mask alone makes every framework method unoptimised JIT code: the floor's empty
      # hooks on the agent's functions show what is left for the agent itself.
      web_run floor "${floor_env[@]}" QX_FLOOR_MODE=empty
      next_port
      web_port=$port
      start_collector tcp "$web_port" web_agent
      web_run agent "${agent_env[@]}" MORVEL_NETWORK_MODE=Tcp MORVEL_WIRE_COMMAND_PORT="$web_port"
      stop_collector
      next_port
      web_port=$port
      start_collector tcp "$web_port" web_probes
      web_run agent_probes "${agent_env[@]}" MORVEL_NETWORK_MODE=Tcp MORVEL_WIRE_COMMAND_PORT="$web_port" "${probes[@]}"
      stop_collector
    } >"$work/web"
    commands=$(sed -nE 's/^[[:space:]]*commands: ([0-9]+).*/\1/p' "$work/web_agent.summary" | head -1)
    echo "web app (ASP.NET Core minimal API, wrk -t2 -c8 ${wrk_seconds}s after ${wrk_warmup}s warm-up):"
    awk '
      { first[$1] = $2; rps[$1] = $3; bad[$1] = $4; order[NR] = $1 }
      END {
        printf "  %-8s %14s %24s %10s\n", "run", "requests/s", "first response (ms)", "non-2xx"
        for (i = 1; i <= NR; i++) { k = order[i]; printf "  %-8s %14s %24s %10s\n", k, rps[k], first[k], bad[k] }
        r = (rps["bare"] + 0 > 0 && rps["agent"] + 0 > 0) ? sprintf("%.2f", rps["agent"] / rps["bare"]) : "n/a"
        printf "  agent/bare request rate %sx (target >= 0.5x)\n", r
        f = (rps["floor"] + 0 > 0 && rps["agent"] + 0 > 0) ? sprintf("%.2f", rps["agent"] / rps["floor"]) : "n/a"
        printf "  agent/floor_empty request rate %sx, floor_empty/bare %.2fx\n", f, (rps["bare"] + 0 > 0 ? rps["floor"] / rps["bare"] : 0)
        t = (first["bare"] + 0 > 0 && first["agent"] + 0 > 0) ? sprintf("%.2f", first["agent"] / first["bare"]) : "n/a"
        u = (first["floor"] + 0 > 0 && first["agent"] + 0 > 0) ? sprintf("%.2f", first["agent"] / first["floor"]) : "n/a"
        printf "  agent/bare time to first response %sx, agent/floor_empty %sx\n", t, u
        r = (rps["bare"] + 0 > 0 && rps["agent_probes"] + 0 > 0) ? sprintf("%.2f", rps["agent_probes"] / rps["bare"]) : "n/a"
        t = (first["bare"] + 0 > 0 && first["agent_probes"] + 0 > 0) ? sprintf("%.2f", first["agent_probes"] / first["bare"]) : "n/a"
        printf "  agent_probes/bare request rate %sx (target >= 0.8x), time to first response %sx (target <= 1.5x)\n", r, t
      }' "$work/web"
    echo "  collector saw ${commands:-n/a} commands from the agent run"
  fi
fi

# ---------------------------------------------------------------------------------------------
if want startup; then
  note "startup: a small app's whole run, bare and with the agent"
  mode=traced
  startup_once() {  # env... → wall seconds of one run of the loop app with a handful of calls
    local start
    start=$EPOCHREALTIME
    (cd "$work" && env "$@" dotnet "$app" 1000 traced >/dev/null 2>&1) || true
    awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.4f", b - a }'
  }
  startup_best() {  # label env... → "label seconds", the best of 5 runs
    local label="$1" best="" s; shift
    for _ in 1 2 3 4 5; do
      s=$(startup_once "$@")
      best=$(awk -v a="$s" -v b="$best" 'BEGIN { print (b == "" || a < b) ? a : b }')
    done
    echo "$label $best"
  }
  {
    startup_best bare DOTNET_CLI_TELEMETRY_OPTOUT=1
    next_port
    start_collector tcp "$port" startup_hooks
    startup_best agent "${agent_env[@]}" MORVEL_NETWORK_MODE=Tcp MORVEL_WIRE_COMMAND_PORT="$port"
    stop_collector
    next_port
    start_collector tcp "$port" startup_probes
    startup_best agent_probes "${agent_env[@]}" MORVEL_NETWORK_MODE=Tcp MORVEL_WIRE_COMMAND_PORT="$port" "${probes[@]}"
    stop_collector
  } >"$work/startup"
  echo
  echo "start-up: the loop app's whole run with 1000 traced calls, best of 5, wall seconds:"
  awk '
    { s[$1] = $2; order[NR] = $1 }
    END {
      for (i = 1; i <= NR; i++) printf "  %-14s %8.3f s\n", order[i], s[order[i]]
      printf "  agent/bare %sx, agent_probes/bare %sx (target <= 1.15x)\n",
        (s["bare"] > 0 ? sprintf("%.2f", s["agent"] / s["bare"]) : "n/a"),
        (s["bare"] > 0 ? sprintf("%.2f", s["agent_probes"] / s["bare"]) : "n/a")
    }' "$work/startup"
fi
