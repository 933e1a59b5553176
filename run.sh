#!/usr/bin/env bash
# Builds the agent, the collector and the sample app, then profiles the sample and prints
# what the collector saw. Extra arguments go to quorix-run (e.g. --transport tcp).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${QX_BUILD_DIR:-$here/build}"

"$here/scripts/setup.sh"
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"
dotnet build "$here/samples/QuickStart" -c Release --nologo -v quiet \
  -o "$build/samples/QuickStart" -p:QxObjDir="$build/samples/obj/" >/dev/null

exec "$build/tools/collector/quorix-run" "$@" -- dotnet "$build/samples/QuickStart/QuickStart.dll"
