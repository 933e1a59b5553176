#!/usr/bin/env bash
# Builds the agent, the collector and the sample app (nothing of the tests or benchmarks), then
# profiles the sample, prints what the collector saw and writes its HTML report (the path is
# printed last). Extra arguments go to quorix-run (e.g. --transport tcp).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${QX_BUILD_DIR:-$here/build}"

"$here/scripts/setup.sh" --run
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
# A build dir that test.sh configured keeps its tests: only a new one is configured without them.
options=()
[ -f "$build/CMakeCache.txt" ] || options=(-DQX_BUILD_TESTS=OFF -DQX_BUILD_BENCH=OFF)
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${options[@]}" "${launcher[@]}" >/dev/null
# The sample builds with the SDK while the native code compiles.
dotnet build "$here/samples/QuickStart" -c Release --nologo -v quiet \
  -o "$build/samples/QuickStart" -p:QxObjDir="$build/samples/obj/" >"$build/sample-build.log" 2>&1 &
sample=$!
cmake --build "$build" -j"$(nproc)" --target QuorixProfilerr quorix-collect quorix-run
if ! wait "$sample"; then
  cat "$build/sample-build.log" >&2
  exit 1
fi

report="$build/QuickStart-report.html"
status=0
"$build/tools/collector/quorix-run" --report "$report" "$@" -- dotnet "$build/samples/QuickStart/QuickStart.dll" || status=$?
[ -f "$report" ] && echo "report: $report (open it in a browser)"
exit "$status"
