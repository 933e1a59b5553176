#!/usr/bin/env bash
# Writes the packages that install without building, into dist/ (QX_DIST_DIR):
#   quorix-<version>-linux-x64.tar.gz  the agent, quorix-collect, quorix-run, quorix-env.sh, README
#   quorix.<version>.nupkg             the .NET tool "quorix" carrying the same native files
# From the build in QX_BUILD_DIR when given (used as it is, not rebuilt), else from a Release
# build of only the agent and the two tools in build-release/.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
dist="${QX_DIST_DIR:-$here/dist}"
version="$(sed -n 's/.*ProfilerVersionText = "\([0-9.]*\)".*/\1/p' "$here/src/environment/Logger.h")"
[ -n "$version" ] || { echo "package.sh: no version in src/environment/Logger.h" >&2; exit 1; }
clsid="$(sed -n 's/.*CORECLR_PROFILER", "\({[0-9A-F-]*}\)".*/\1/p' "$here/tools/collector/programs/run.cpp")"
[ -n "$clsid" ] || { echo "package.sh: no profiler CLSID in quorix-run" >&2; exit 1; }

if [ -n "${QX_BUILD_DIR:-}" ]; then
  build="$QX_BUILD_DIR"
else
  "$here/scripts/setup.sh" --run
  build="$here/build-release"
  launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQX_BUILD_TESTS=OFF -DQX_BUILD_BENCH=OFF \
    "${launcher[@]}" >/dev/null
  cmake --build "$build" -j"$(nproc)" --target QuorixProfilerr quorix-collect quorix-run
fi
agent="$build/libQuorixProfilerr.so"
tools=("$build/tools/collector/quorix-collect" "$build/tools/collector/quorix-run")
for file in "$agent" "${tools[@]}"; do
  [ -f "$file" ] || { echo "package.sh: $file is missing (build the agent and the collector tools first)" >&2; exit 1; }
  # Nothing may point back into the build: no run path, no library outside the system's.
  if readelf -d "$file" | grep -qE '\((RPATH|RUNPATH)\)'; then
    echo "package.sh: $file carries a run path: $(readelf -d "$file" | grep -E 'RPATH|RUNPATH')" >&2
    exit 1
  fi
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
name="quorix-$version-linux-x64"
stage="$work/$name"
mkdir -p "$stage/bin" "$stage/lib" "$work/native" "$dist"
# Debug information stays in the build; the symbols stay for stack traces.
objcopy --strip-debug "$agent" "$stage/lib/libQuorixProfilerr.so"
for tool in "${tools[@]}"; do
  objcopy --strip-debug "$tool" "$stage/bin/$(basename "$tool")"
done
chmod 755 "$stage/bin/"*
chmod 644 "$stage/lib/libQuorixProfilerr.so"
system="$(. /etc/os-release 2>/dev/null && echo "${PRETTY_NAME:-this system}" || echo "this system")"
glibc="$(ldd --version 2>/dev/null | sed -n '1s/.* \([0-9][0-9.]*\)$/\1/p')"
sed -e "s/@VERSION@/$version/g" -e "s/@CLSID@/$clsid/g" -e "s|@BUILD_SYSTEM@|$system|g" -e "s/@GLIBC@/${glibc:-?}/g" \
  "$here/tools/package/README.md" >"$stage/README.md"
sed -e "s/@CLSID@/$clsid/g" "$here/tools/package/quorix-env.sh" >"$stage/quorix-env.sh"
chmod 644 "$stage/README.md" "$stage/quorix-env.sh"
tarball="$dist/$name.tar.gz"
tar -C "$work" --owner=0 --group=0 --numeric-owner --sort=name -czf "$tarball.tmp" "$name"
mv "$tarball.tmp" "$tarball"
echo "$tarball"

# The tool carries the same three files in one folder, where quorix-run finds both others.
cp "$stage/bin/"* "$stage/lib/libQuorixProfilerr.so" "$work/native/"
dotnet pack "$here/tools/package/dotnet-tool/quorix.csproj" -c Release --nologo -v quiet -o "$work/pack" \
  -p:Version="$version" -p:QxNativeDir="$work/native" \
  -p:BaseIntermediateOutputPath="$work/obj/" -p:BaseOutputPath="$work/bin/" >"$work/pack.log" 2>&1 ||
  { cat "$work/pack.log" >&2; exit 1; }
mv "$work/pack/quorix.$version.nupkg" "$dist/quorix.$version.nupkg"
echo "$dist/quorix.$version.nupkg"
