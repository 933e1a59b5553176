#!/usr/bin/env bash
# Decode speed of quorix-collect: quorix-blast replays a synthetic stream of begin/end calls as
# fast as it can over TCP, the FIFO and UDP, and the collector's "decode rate" line is read
# back. Each transport runs with the summary only (call trees built), without call trees, with
# --json to /dev/null (the cost of formatting), with --json to a file in a temporary folder
# (formatting plus the file system) and with every viewer output (speedscope, trace, folded
# stacks, HTML report) and with --otlp to a local receiver that accepts everything (span building
# and export: otlp-protobuf and otlp-json, each also with gzip; every call becomes a span, so the
# export queue fills and drops). The modes web and web-otlp send a request-shaped stream instead
# (async web requests of about 80 messages each, their continuation on another thread, three
# statements each) with --requests to a file (and --otlp). Prints figures and ratios, the sizes of
# the viewer files, the collector's peak resident size and, for the span export, the export
# thread's processor time per span exported and the average batch size, asserts nothing.
#   tools/collector/bench.sh [MESSAGES]       (default 20000000; UDP sends a tenth of it)
set -euo pipefail
here="$(cd "$(dirname "$0")/../.." && pwd)"
build="${QX_BUILD_DIR:-$here/build}"
messages="${1:-20000000}"
collect="$build/tools/collector/quorix-collect"
blast="$build/tools/collector/quorix-blast"
if [ ! -x "$collect" ] || [ ! -x "$blast" ]; then
  cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j2 --target quorix-collect quorix-blast >/dev/null
fi
work="$(mktemp -d)"
collector=
receiver=
cleanup() {
  [ -n "$collector" ] && kill "$collector" 2>/dev/null || true
  [ -n "$receiver" ] && kill "$receiver" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A receiver that answers every export with success, for the otlp mode.
start_receiver() {
    python3 -c '
import http.server, sys
class H(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def do_POST(self):
        self.rfile.read(int(self.headers.get("Content-Length", 0)))
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", "2")
        self.end_headers()
        self.wfile.write(b"{}")
    def log_message(self, *args):
        pass
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), H)
open(sys.argv[1] + ".tmp", "w").write(str(server.server_port))
__import__("os").rename(sys.argv[1] + ".tmp", sys.argv[1])
server.serve_forever()' "$work/otlp-port" &
    receiver=$!
    for _ in $(seq 200); do [ -f "$work/otlp-port" ] && break; sleep 0.05; done
}

run() {  # transport mode -> prints "sent_rate decode_rate kernel_drops"
  local transport="$1" mode="$2" extra=() endpoint=() count="$messages" shape=()
  case "$mode" in
    web) shape=(--web) extra=(--requests "$work/requests.jsonl") ;;
    web-otlp) shape=(--web) extra=(--requests "$work/requests.jsonl"
                                  --otlp "http://127.0.0.1:$(cat "$work/otlp-port")/v1/traces") ;;
    summary) ;;
    no-tree) extra=(--no-tree) ;;
    json) extra=(--json "$work/out.jsonl") ;;
    json-null) extra=(--json /dev/null) ;;
    viewers) extra=(--speedscope "$work/v.speedscope.json" --chrome-trace "$work/v.trace.json"
                    --folded "$work/v.folded" --report "$work/v.html") ;;
    otlp*)
      extra=(--otlp "http://127.0.0.1:$(cat "$work/otlp-port")/v1/traces" --otlp-min-duration 0)
      case "$mode" in *json*) extra+=(--otlp-protocol http/json) ;; esac
      case "$mode" in *gzip) extra+=(--otlp-compression gzip) ;; esac ;;
  esac
  [ "$transport" = udp ] && count=$((messages / 10))
  rm -f "$work/ready" "$work/out.jsonl"
  if [ "$transport" = pipe ]; then
    "$collect" --transport pipe --pipe "$work/fifo" --ready-file "$work/ready" --until-ended --quiet \
      "${extra[@]}" 2>"$work/summary" &
  else
    "$collect" --transport "$transport" --port 0 --ready-file "$work/ready" --until-ended --quiet \
      "${extra[@]}" 2>"$work/summary" &
  fi
  collector=$!
  for _ in $(seq 200); do [ -f "$work/ready" ] && break; sleep 0.05; done
  if [ "$transport" = pipe ]; then endpoint=(--pipe "$work/fifo"); else endpoint=(--port "$(cat "$work/ready")"); fi
  local sent
  sent="$("$blast" --transport "$transport" "${endpoint[@]}" --messages "$count" "${shape[@]}" | awk '{print $8}')"
  if [ "$transport" = udp ]; then
    # The end of the process may itself be lost: stop the collector once it has caught up.
    sleep 1
    kill -TERM "$collector" 2>/dev/null || true
  fi
  wait "$collector" || true
  collector=
  local rate drops peak
  rate="$(sed -n 's/^  decode rate: \([0-9]*\) messages\/s$/\1/p' "$work/summary")"
  drops="$(sed -n 's/^  kernel drops: \(.*\)$/\1/p' "$work/summary")"
  peak="$(sed -n 's/^  memory: .*peak resident \([0-9.]*\) MiB$/\1/p' "$work/summary")"
  if [ "$mode" = viewers ]; then
    sed -n 's/^  \(viewer data.*\|speedscope:.*\|chrome trace:.*\|folded stacks:.*\|report:.*\)$/    \1/p' \
      "$work/summary" >"$work/viewer-lines"
  elif [ "${mode#otlp}" != "$mode" ]; then
    sed -n 's/^  \(otlp: .*\|  [0-9]* calls ended: .*\|  http\/.*\)$/    \1/p' "$work/summary" >"$work/viewer-lines"
    # Average batch: the bytes sent over the batches encoded.
    sed -n 's/^    http\/[a-z]*\(, gzip\)\{0,1\}: \([0-9]*\) batches, \([0-9.]*\) KiB.*$/\2 \3/p' "$work/summary" |
      awk '$1 > 0 { printf "    average batch: %.1f KiB\n", $2 / $1 }' >>"$work/viewer-lines"
  elif [ "$mode" = web ] || [ "$mode" = web-otlp ]; then
    { sed -n 's/^  \(Requests: .*\)$/    \1/p' "$work/summary"
      printf "    requests written: %s\n" "$(wc -l <"$work/requests.jsonl")"; } >"$work/viewer-lines"
  fi
  echo "${sent:-0} ${rate:-0} ${drops:--} ${peak:-?}"
}

printf "%-9s %-18s %14s %16s %10s %12s %10s\n" transport mode "sent msg/s" "decoded msg/s" "x summary" \
  "kernel drops" "peak MiB"
modes="${QX_BENCH_MODES:-summary no-tree json-null json viewers otlp-protobuf otlp-protobuf-gzip otlp-json otlp-json-gzip web}"
case " $modes " in *" otlp"* | *" web-otlp "*) start_receiver ;; esac
for transport in ${QX_BENCH_TRANSPORTS:-tcp pipe udp}; do
  base=
  for mode in $modes; do
    read -r sent rate drops peak < <(run "$transport" "$mode")
    [ -z "$base" ] && base="$rate"
    ratio="$(awk -v r="$rate" -v b="$base" 'BEGIN { printf "%.2f", (b > 0 ? r / b : 0) }')"
    printf "%-9s %-18s %14s %16s %10s %12s %10s\n" "$transport" "$mode" "$sent" "$rate" "$ratio" "$drops" "$peak"
    case "$mode" in viewers | otlp* | web | web-otlp) cat "$work/viewer-lines" ;; esac
  done
done
