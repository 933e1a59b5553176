# Source this file (bash or zsh: `. /path/to/quorix-env.sh`) to load the agent into every .NET
# process this shell starts, and to put quorix-run and quorix-collect on the PATH. From another
# shell, set QUORIX_HOME to the unpacked folder first.
if [ -n "${BASH_SOURCE:-}" ]; then
  QUORIX_HOME="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
elif [ -n "${ZSH_VERSION:-}" ]; then
  eval 'QUORIX_HOME="$(cd "$(dirname "${(%):-%x}")" && pwd)"'
fi
if [ -z "${QUORIX_HOME:-}" ] || [ ! -f "$QUORIX_HOME/lib/libQuorixProfilerr.so" ]; then
  echo "quorix-env.sh: cannot tell where it was unpacked; set QUORIX_HOME to that folder" >&2
  return 1 2>/dev/null || exit 1
fi
export QUORIX_HOME
export CORECLR_ENABLE_PROFILING=1
export CORECLR_PROFILER='@CLSID@'
export CORECLR_PROFILER_PATH="$QUORIX_HOME/lib/libQuorixProfilerr.so"
case ":$PATH:" in
  *":$QUORIX_HOME/bin:"*) ;;
  *) export PATH="$QUORIX_HOME/bin:$PATH" ;;
esac
