#!/usr/bin/env bash
# Regenerates docs/coverage.md: runs the tests against real servers and the web shop on Kestrel
# with the agent loaded and records, for each monitored method of the client libraries, ASP.NET
# Core and the runtime, whether it fires on this machine and what it captured. Brings the agent, the collector and the test apps up to date
# first.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${QX_BUILD_DIR:-$here/build}"
"$here/scripts/setup.sh"
[ -f "$build/CMakeCache.txt" ] || cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target QuorixProfilerr quorix-collect e2e_apps
cd "$here/tests/e2e"
# The table is written even when a test fails: it shows what the failure is about.
rc=0
QX_BUILD_DIR="$build" QX_WRITE_COVERAGE=1 PYTHONDONTWRITEBYTECODE=1 python3 -m unittest -v test_peers.Peers || rc=$?
# The ASP.NET Core section, from the web shop on Kestrel, goes at the end of the same file.
QX_BUILD_DIR="$build" QX_WRITE_COVERAGE=1 PYTHONDONTWRITEBYTECODE=1 python3 -m unittest -v test_web.WebService || rc=$?
[ -f "$here/docs/coverage.md" ] && echo "written: docs/coverage.md"
exit $rc
