#!/usr/bin/env bash
# Builds everything and runs every test: unit tests, end-to-end tests against the real runtime,
# and the tests against real database and cache servers.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${QX_BUILD_DIR:-$here/build}"

"$here/scripts/setup.sh"
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"
cd "$build"
ctest --output-on-failure -j2 "$@"
