#!/usr/bin/env bash
# Builds everything and runs every test: unit tests, end-to-end tests against the real runtime,
# and the tests against real database and cache servers; then the unit tests and the collector's
# fuzz loop once more under AddressSanitizer and UndefinedBehaviorSanitizer
# (QX_SANITIZE=0 skips that part).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${QX_BUILD_DIR:-$here/build}"
sanitized="${QX_SANITIZE_BUILD_DIR:-$here/build-sanitize}"

"$here/scripts/setup.sh"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

# Every C and C++ file follows the root .clang-format; a file that does not fails the run before
# anything is built (scripts/format.sh fixes them).
"$here/scripts/format.sh" --check
# Explicitly with tests and benchmarks: run.sh may have configured this build dir without them.
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQX_BUILD_TESTS=ON -DQX_BUILD_BENCH=ON "${launcher[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)"
(cd "$build" && ctest --output-on-failure -j2 "$@")

if [ "${QX_SANITIZE:-1}" != 0 ]; then
  # Unit tests only: the agent's library and the end-to-end tests are not built here. -O1 keeps
  # the build short and the reports exact; any report fails the test that caused it. Warnings
  # stay warnings: the instrumented code gives the compiler's flow analysis false alarms.
  flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
  cmake -S "$here" -B "$sanitized" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQX_UNIT_TESTS_ONLY=ON -DQX_LIBFUZZER=ON -DQX_WERROR=OFF \
    "-DCMAKE_CXX_FLAGS=$flags" "-DCMAKE_C_FLAGS=$flags" "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined" \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" "${launcher[@]}" >/dev/null
  cmake --build "$sanitized" --target unit_tests -j"$(nproc)"
  (cd "$sanitized" &&
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
    LSAN_OPTIONS="suppressions=$here/tests/support/lsan.supp:print_suppressions=0" \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --output-on-failure -j2)
fi
