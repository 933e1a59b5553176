#!/usr/bin/env bash
# Installs what the build and the tests need, only where it is missing.
set -euo pipefail
# --bench: only what bench/run.sh needs beyond the build (the HTTP load generator and client).
# --run: only what run.sh and package.sh need: the build tools, the collector's libraries and the
# report's npm packages; no test libraries, servers, browser or OTLP receiver.
mode="${1:-all}"
case "$mode" in
  all | --run | --bench) ;;
  *) echo "usage: $0 [--run|--bench]" >&2; exit 2 ;;
esac
need=()
if [ "$mode" = "--bench" ]; then
  command -v wrk >/dev/null || need+=(wrk)
  command -v curl >/dev/null || need+=(curl)
else
  command -v cmake >/dev/null || need+=(cmake)
  command -v make >/dev/null || need+=(make)
  command -v g++ >/dev/null || need+=(g++)
  [ -f /usr/include/CLI/CLI.hpp ] || need+=(libcli11-dev)
  # The collector's span export: libcurl with OpenSSL (https, proxies), zlib for gzip, and the
  # system's certificate store.
  [ -f /usr/include/x86_64-linux-gnu/curl/curl.h ] || [ -f /usr/include/curl/curl.h ] || need+=(libcurl4-openssl-dev)
  [ -f /usr/include/zlib.h ] || need+=(zlib1g-dev)
  [ -f /etc/ssl/certs/ca-certificates.crt ] || need+=(ca-certificates)
  # The collector's live view: an HTTP server, and the JSON reader of an earlier run's requests
  # file that a run is compared with.
  [ -f /usr/include/httplib.h ] || need+=(libcpp-httplib-dev)
  command -v pkg-config >/dev/null || need+=(pkg-config)
  [ -f /usr/include/nlohmann/json.hpp ] || need+=(nlohmann-json3-dev)
  # The collector's HTML report inlines browser libraries from npm.
  command -v node >/dev/null || need+=(nodejs)
  command -v npm >/dev/null || need+=(npm)
fi
if [ "$mode" = all ]; then
  command -v python3 >/dev/null || need+=(python3)
  command -v ip >/dev/null || need+=(iproute2)
  [ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
  [ -f /usr/include/gmock/gmock.h ] || need+=(libgmock-dev)
  [ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
  # clang and its runtime for the collector's coverage-guided fuzz target (libFuzzer).
  command -v clang++-14 >/dev/null || need+=(clang-14)
  # The formatting check in test.sh.
  command -v clang-format-14 >/dev/null || need+=(clang-format-14)
  # Optional compiler cache; test.sh uses it when present, which halves a rebuild.
  command -v ccache >/dev/null || need+=(ccache)
  compgen -G "/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a" >/dev/null || need+=(libclang-rt-14-dev)
  # Database and cache servers for the tests against real peers; the tests start their own
  # instances in temporary folders, so the packaged services are never started here.
  compgen -G "/usr/lib/postgresql/*/bin/postgres" >/dev/null || need+=(postgresql)
  command -v redis-server >/dev/null || need+=(redis-server)
  { command -v mariadbd >/dev/null && command -v mariadb-install-db >/dev/null; } || need+=(mariadb-server)
  # The tests decode the collector's own protobuf with the classes generated from the OTLP
  # definitions; openssl makes their certificates.
  command -v protoc >/dev/null || need+=(protobuf-compiler)
  [ -f /usr/include/google/protobuf/message.h ] || need+=(libprotobuf-dev)
  command -v openssl >/dev/null || need+=(openssl)
  # The tests validate the viewer files against their schema and open the report in a real,
  # headless browser.
  python3 -c 'import jsonschema' 2>/dev/null || need+=(python3-jsonschema)
  command -v chromium >/dev/null || need+=(chromium)
fi
if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${need[*]} (run as root or install them)" >&2
    exit 1
  fi
  # Package scripts must not start system-wide services: keep them from doing so for the
  # duration of the install unless the machine already has such a policy.
  policy=/usr/sbin/policy-rc.d
  own_policy=0
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' >"$policy"
    chmod 755 "$policy"
    own_policy=1
    trap '[ "$own_policy" = 1 ] && rm -f "$policy"' EXIT
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi
command -v dotnet >/dev/null || { echo "the .NET SDK (dotnet) is required" >&2; exit 1; }
if [ "$mode" != "--bench" ]; then
  # Project-local npm packages, pinned by the lock file: installed again only when it changed.
  web="$(cd "$(dirname "$0")/../tools/collector/report/web" && pwd)"
  if [ ! -f "$web/node_modules/.package-lock.json" ] || [ "$web/package-lock.json" -nt "$web/node_modules/.package-lock.json" ]; then
    (cd "$web" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
  fi
fi

# The OTLP/HTTP receiver the span-export tests send to: the dashboard's self-contained build from
# the NuGet feed, restored once into the local package folder by a throw-away project.
dashboard_version=13.6.5
packages="${NUGET_PACKAGES:-$HOME/.nuget/packages}"
dashboard="$packages/aspire.dashboard.sdk.linux-x64/$dashboard_version/tools/Aspire.Dashboard"
if [ "$mode" = all ] && [ ! -x "$dashboard" ]; then
  restore_dir=$(mktemp -d)
  cat >"$restore_dir/receiver.csproj" <<EOF
<Project Sdk="Microsoft.NET.Sdk">
  <PropertyGroup>
    <TargetFramework>net10.0</TargetFramework>
    <NuGetAudit>false</NuGetAudit>
  </PropertyGroup>
  <ItemGroup>
    <PackageDownload Include="Aspire.Dashboard.Sdk.linux-x64" Version="[$dashboard_version]" />
  </ItemGroup>
</Project>
EOF
  if ! dotnet restore "$restore_dir/receiver.csproj" --nologo -v quiet >"$restore_dir/restore.log" 2>&1; then
    cat "$restore_dir/restore.log" >&2
    rm -rf "$restore_dir"
    echo "could not restore the OTLP receiver (Aspire.Dashboard.Sdk.linux-x64 $dashboard_version) from NuGet" >&2
    exit 1
  fi
  rm -rf "$restore_dir"
  # Package extraction does not keep the executable bit.
  chmod +x "$dashboard"
fi
