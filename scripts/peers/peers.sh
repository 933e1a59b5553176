#!/usr/bin/env bash
# Throw-away PostgreSQL, MariaDB and Redis servers on 127.0.0.1 for the tests against real peers.
#
#   peers.sh start DIR [--owner PID] [postgres] [redis] [mariadb]
#       Starts the named servers (all three by default) with their data, sockets and logs under
#       DIR, which must not exist yet, on free loopback ports, and waits until they answer.
#       Writes DIR/peers.env (KEY=VALUE lines: ports and client connection strings) and prints
#       it. With --owner, a watcher stops everything once process PID is gone, so a test runner
#       killed mid-run leaves no server behind. On any failure everything started is stopped and
#       DIR removed; the server logs are printed to standard error first.
#   peers.sh stop DIR
#       Stops what DIR's servers and watcher are still running (by their recorded process ids)
#       and removes DIR. Safe to repeat.
#   peers.sh run [postgres] [redis] [mariadb] -- COMMAND...
#       Starts the servers in a temporary folder, runs COMMAND with the peers.env variables in
#       its environment, then stops them whatever COMMAND did; exits with COMMAND's code.
set -euo pipefail
self="$(cd "$(dirname "$0")" && pwd)/$(basename "$0")"
DB_USER=qx
DB_PASSWORD=qx-secret
DB_NAME=qxtest
READY_SECONDS=${QX_PEERS_READY_SECONDS:-60}

die() { echo "peers: $*" >&2; exit 1; }

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Servers refuse to run as root (PostgreSQL) or are better kept off it: as root each one runs
# under its packaged service account, with only its own subfolder handed over to it.
as_user() {
  local user=$1; shift
  if [ "$(id -u)" -eq 0 ]; then runuser -u "$user" -- "$@"; else "$@"; fi
}
give_to() {
  local user=$1 dir=$2
  if [ "$(id -u)" -eq 0 ]; then chown -R "$user:" "$dir"; fi
}

wait_until() {
  local what=$1 pidfile=$2; shift 2
  local deadline=$((SECONDS + READY_SECONDS))
  until "$@" >/dev/null 2>&1; do
    if [ -n "$pidfile" ] && [ -s "$pidfile" ] && ! kill -0 "$(cat "$pidfile")" 2>/dev/null; then
      echo "peers: $what exited during start-up" >&2; return 1
    fi
    if [ $SECONDS -ge $deadline ]; then
      echo "peers: $what not ready after ${READY_SECONDS}s" >&2; return 1
    fi
    sleep 0.2
  done
}

pg_bin() {
  local d
  d=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
  [ -n "$d" ] && [ -x "$d/postgres" ] || { echo "peers: PostgreSQL server not installed (run scripts/setup.sh)" >&2; return 1; }
  echo "$d"
}

start_postgres() {
  local dir=$1/postgres bin port
  bin=$(pg_bin) || return 1
  mkdir -p "$dir"
  give_to postgres "$dir"
  if [ ! -f "$dir/data/PG_VERSION" ]; then
    printf '%s\n' "$DB_PASSWORD" >"$dir/pwfile"; give_to postgres "$dir"
    as_user postgres "$bin/initdb" -D "$dir/data" -U postgres --pwfile="$dir/pwfile" \
      --auth-local=trust --auth-host=scram-sha-256 -E UTF8 --locale=C.UTF-8 >"$dir/initdb.log" 2>&1 \
      || { cat "$dir/initdb.log" >&2; return 1; }
    rm -f "$dir/pwfile"
  fi
  for _ in 1 2 3; do
    port=$(free_port)
    if as_user postgres "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t "$READY_SECONDS" start \
        -o "-c listen_addresses=127.0.0.1 -p $port -k $dir -c fsync=off -c synchronous_commit=off -c full_page_writes=off" \
        >>"$dir/pg_ctl.log" 2>&1; then
      break
    fi
    # pg_ctl gives up waiting but leaves a slow server running: stop it before another try.
    postmaster_pid "$dir" >"$dir/pid"
    stop_pids "$dir/pid"
    port=
  done
  [ -n "$port" ] || { echo "peers: PostgreSQL did not start" >&2; return 1; }
  postmaster_pid "$dir" >"$dir/pid"
  wait_until PostgreSQL "$dir/pid" as_user postgres "$bin/pg_isready" -h 127.0.0.1 -p "$port" || return 1
  as_user postgres "$bin/psql" -h "$dir" -p "$port" -U postgres -d postgres -v ON_ERROR_STOP=1 -q \
    -c "CREATE ROLE $DB_USER LOGIN PASSWORD '$DB_PASSWORD'" \
    -c "CREATE DATABASE $DB_NAME OWNER $DB_USER" >>"$dir/setup.log" 2>&1 \
    || { cat "$dir/setup.log" >&2; return 1; }
  {
    echo "QX_PG_PORT=$port"
    echo "QX_PG_CONNECTION=Host=127.0.0.1;Port=$port;Username=$DB_USER;Password=$DB_PASSWORD;Database=$DB_NAME;Pooling=false"
  } >>"$1/peers.env"
}

postmaster_pid() {
  [ -s "$1/data/postmaster.pid" ] && head -1 "$1/data/postmaster.pid"
  return 0
}

start_redis() {
  local dir=$1/redis port
  command -v redis-server >/dev/null || { echo "peers: redis-server not installed (run scripts/setup.sh)" >&2; return 1; }
  mkdir -p "$dir"
  give_to redis "$dir"
  for _ in 1 2 3; do
    port=$(free_port)
    cat >"$dir/redis.conf" <<CONF
bind 127.0.0.1
port $port
protected-mode yes
daemonize yes
pidfile $dir/pid
logfile $dir/server.log
dir $dir
save ""
appendonly no
unixsocket ""
requirepass $DB_PASSWORD
CONF
    rm -f "$dir/pid"
    if as_user redis redis-server "$dir/redis.conf" >>"$dir/start.log" 2>&1 \
        && wait_until Redis "$dir/pid" env REDISCLI_AUTH="$DB_PASSWORD" redis-cli -h 127.0.0.1 -p "$port" ping; then
      break
    fi
    stop_pids "$dir/pid"
    port=
  done
  [ -n "$port" ] || { echo "peers: Redis did not start" >&2; return 1; }
  {
    echo "QX_REDIS_PORT=$port"
    echo "QX_REDIS_CONFIGURATION=127.0.0.1:$port,password=$DB_PASSWORD,connectTimeout=10000,syncTimeout=10000"
  } >>"$1/peers.env"
}

mariadb_user() { if [ "$(id -u)" -eq 0 ]; then echo mysql; else id -un; fi; }

start_mariadb() {
  local dir=$1/mariadb port user
  command -v mariadbd >/dev/null && command -v mariadb-install-db >/dev/null \
    || { echo "peers: MariaDB server not installed (run scripts/setup.sh)" >&2; return 1; }
  user=$(mariadb_user)
  mkdir -p "$dir/data"
  give_to "$user" "$dir"
  # The root account gets an empty password on the socket only; the tests connect as their own
  # password-protected account over TCP, as an application would.
  mariadb-install-db --no-defaults --user="$user" --datadir="$dir/data" \
    --auth-root-authentication-method=normal --skip-test-db >"$dir/install.log" 2>&1 \
    || { cat "$dir/install.log" >&2; return 1; }
  for _ in 1 2 3; do
    port=$(free_port)
    rm -f "$dir/pid"
    # Started through setsid so that the server neither holds the caller's terminal nor dies
    # with its process group; its pid file is the handle for stopping it.
    setsid mariadbd --no-defaults --user="$user" --datadir="$dir/data" --socket="$dir/mysqld.sock" \
      --pid-file="$dir/mariadbd.pid" --log-error="$dir/server.log" --skip-networking=0 --bind-address=127.0.0.1 \
      --port="$port" --skip-name-resolve --skip-log-bin --innodb-buffer-pool-size=32M \
      --innodb-flush-log-at-trx-commit=0 --skip-symbolic-links </dev/null >>"$dir/start.log" 2>&1 &
    echo $! >"$dir/pid"
    # Over TCP, since that is what the clients use; an access refusal still counts as alive.
    if wait_until MariaDB "$dir/pid" mariadb-admin --no-defaults -h 127.0.0.1 -P "$port" \
        --connect-timeout=2 ping; then
      break
    fi
    stop_pids "$dir/pid"
    port=
  done
  [ -n "$port" ] || { echo "peers: MariaDB did not start" >&2; cat "$dir/server.log" >&2 2>/dev/null; return 1; }
  mariadb --no-defaults -S "$dir/mysqld.sock" -u root -e \
    "CREATE DATABASE $DB_NAME; CREATE USER '$DB_USER'@'127.0.0.1' IDENTIFIED BY '$DB_PASSWORD';
     GRANT ALL ON $DB_NAME.* TO '$DB_USER'@'127.0.0.1';" >>"$dir/setup.log" 2>&1 \
    || { cat "$dir/setup.log" >&2; return 1; }
  {
    echo "QX_MYSQL_PORT=$port"
    echo "QX_MYSQL_CONNECTION=Server=127.0.0.1;Port=$port;User ID=$DB_USER;Password=$DB_PASSWORD;Database=$DB_NAME;SslMode=None;Pooling=false"
  } >>"$1/peers.env"
}

# Stops the recorded processes together: TERM to all, a bounded wait, then KILL for any left.
stop_pids() {
  local pids=() f pid i left
  for f in "$@"; do
    [ -s "$f" ] || continue
    pid=$(cat "$f")
    [[ "$pid" =~ ^[0-9]+$ ]] && kill -TERM "$pid" 2>/dev/null && pids+=("$pid")
  done
  for i in $(seq 1 150); do
    left=()
    for pid in ${pids[@]+"${pids[@]}"}; do kill -0 "$pid" 2>/dev/null && left+=("$pid"); done
    [ ${#left[@]} -eq 0 ] && break
    pids=("${left[@]}")
    sleep 0.1
  done
  for pid in ${left[@]+"${left[@]}"}; do
    echo "peers: process $pid ignored TERM, killing it" >&2
    kill -KILL "$pid" 2>/dev/null || true
  done
  rm -f "$@"
}

do_stop() {
  local base=$1
  [ -d "$base" ] || return 0
  [ -f "$base/.qx-peers" ] || die "$base was not made by peers.sh; not touching it"
  if [ -s "$base/watcher.pid" ] && [ "$(cat "$base/watcher.pid")" != "${QX_PEERS_WATCHER:-}" ]; then
    kill -TERM "$(cat "$base/watcher.pid")" 2>/dev/null || true
  fi
  # The data is thrown away, so PostgreSQL may stop without a checkpoint (its TERM would wait
  # for client sessions to end).
  # The server's own pid file covers a start that failed before ours was written.
  [ -s "$base/postgres/pid" ] || postmaster_pid "$base/postgres" >"$base/postgres/pid" 2>/dev/null || true
  if [ -s "$base/postgres/pid" ]; then kill -QUIT "$(cat "$base/postgres/pid")" 2>/dev/null || true; fi
  stop_pids "$base/postgres/pid" "$base/redis/pid" "$base/mariadb/pid"
  rm -rf "$base"
}

print_logs() {
  local f
  for f in "$1"/*/*.log; do
    [ -f "$f" ] || continue
    echo "---- ${f#$1/} (last lines)" >&2
    tail -n 20 "$f" >&2
  done
}

do_start() {
  local base=$1; shift
  local owner= names=() name
  while [ $# -gt 0 ]; do
    case $1 in
      --owner) owner=$2; shift 2 ;;
      postgres|redis|mariadb) names+=("$1"); shift ;;
      *) die "unknown server '$1' (postgres, redis, mariadb)" ;;
    esac
  done
  [ ${#names[@]} -gt 0 ] || names=(postgres redis mariadb)
  [ ! -e "$base" ] || die "$base already exists"
  mkdir -p "$base"
  touch "$base/.qx-peers" "$base/peers.env"
  chmod 755 "$base"
  if [ -n "$owner" ]; then
    QX_PEERS_WATCHER=self setsid bash -c '
      while kill -0 "$1" 2>/dev/null && [ -d "$2" ]; do sleep 1; done
      [ -d "$2" ] && QX_PEERS_WATCHER=$$ "$3" stop "$2"' qx-peers-watch "$owner" "$base" "$self" \
      </dev/null >/dev/null 2>&1 &
    echo $! >"$base/watcher.pid"
  fi
  starting=$base
  for name in "${names[@]}"; do
    "start_$name" "$base" || die "$name could not be started"
  done
  starting=
  cat "$base/peers.env"
}

do_run() {
  local names=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do names+=("$1"); shift; done
  [ "${1:-}" = "--" ] && shift
  [ $# -gt 0 ] || die "run: no command given"
  run_base=$(mktemp -u /tmp/qx-peers.XXXXXXXX)
  do_start "$run_base" "${names[@]}" >/dev/null
  local key value
  while IFS='=' read -r key value; do export "$key=$value"; done <"$run_base/peers.env"
  local rc=0
  "$@" || rc=$?
  return $rc
}

# One exit path for every way out (error, signal, normal end): a half-started set of servers is
# torn down with its logs shown, and the servers of a run go with it.
starting=
run_base=
finish() {
  local rc=$?
  trap - EXIT INT TERM
  if [ -n "$starting" ]; then print_logs "$starting"; do_stop "$starting" || true; fi
  if [ -n "$run_base" ]; then do_stop "$run_base" || true; fi
  exit $rc
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

case ${1:-} in
  start) [ $# -ge 2 ] || die "usage: peers.sh start DIR [--owner PID] [servers...]"; shift; do_start "$@" ;;
  stop) [ $# -eq 2 ] || die "usage: peers.sh stop DIR"; do_stop "$2" ;;
  run) shift; do_run "$@" ;;
  *) sed -n '2,20p' "$self" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
esac
