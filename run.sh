#!/usr/bin/env bash
# Builds the agent, the collector and the sample app, then profiles the sample, prints what the
# collector saw and writes its HTML report (the path is printed last). Extra arguments go to
# quorix-run (e.g. --transport tcp).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${QX_BUILD_DIR:-$here/build}"

"$here/scripts/setup.sh"
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"
dotnet build "$here/samples/QuickStart" -c Release --nologo -v quiet \
  -o "$build/samples/QuickStart" -p:QxObjDir="$build/samples/obj/" >/dev/null

report="$build/QuickStart-report.html"
status=0
"$build/tools/collector/quorix-run" --report "$report" "$@" -- dotnet "$build/samples/QuickStart/QuickStart.dll" || status=$?
[ -f "$report" ] && echo "report: $report (open it in a browser)"
exit "$status"
