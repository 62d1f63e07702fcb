#!/usr/bin/env bash
# Load and fault run against qmsrv (bench/qmsrv_load): counted inserts from many clients, 1,000
# idle connections, a client that never reads a large reply, a restart of PostgreSQL under an
# open session, a connect to a database port that never answers, SIGTERM with requests in
# flight, statements naming a transaction that is not open, statements whose client left, the
# memory of 5,000 SQLite sessions, and a server out of descriptors (under "ulimit -n 1024").
# Starts its own PostgreSQL (and Firebird, which the same script starts) on 55471/53091 (or
# LOAD_PG_PORT/LOAD_FB_PORT) and its own qmsrv on a free port, and stops all of it at the end.
# Not part of the test suite.
#
#   bash scripts/load.sh [build-dir]
#   QMSRV=/path/to/other/qmsrv bash scripts/load.sh     # measure another build of the server
#   LOAD_NO_BUILD=1 LOAD_PROGRAM=/path/to/qmsrv_load     # run copies without building
#   LOAD_CLIENTS=100 LOAD_REQUESTS=200 LOAD_ROWS=2000000 LOAD_WAIT=240 (the defaults)
#   LOAD_ONLY="silent-connect sigterm"                  # only these scenarios
#   LOAD_ONLY=guessing                                  # password guessing from one address
#   LOAD_MEMORY_CLIENTS=5000 LOAD_FD_LIMIT=1024 LOAD_FD_CLIENTS=700 (the defaults)
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
build_dir="$(realpath -m "${1:-build}")"

# LOAD_NO_BUILD=1 runs what is there (QMSRV and LOAD_PROGRAM may name copies elsewhere).
[[ -n "${LOAD_NO_BUILD:-}" ]] || cmake --build "$build_dir" -j2 --target qmsrv qmsrv_load >/dev/null
qmsrv="${QMSRV:-$build_dir/src/service/qmsrv}"
load="${LOAD_PROGRAM:-$build_dir/bench/qmsrv_load}"
clients="${LOAD_CLIENTS:-100}"
requests="${LOAD_REQUESTS:-200}"
rows="${LOAD_ROWS:-2000000}"
wait_s="${LOAD_WAIT:-240}"

work="$build_dir/load-run"
servers_dir="$work/servers"
pg_bin="$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)"
qmsrv_pid=""
port=""

stop_qmsrv() {
  if [[ -n "$qmsrv_pid" ]]; then
    kill -TERM "$qmsrv_pid" 2>/dev/null || true
    for _ in $(seq 1 300); do kill -0 "$qmsrv_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$qmsrv_pid" 2>/dev/null || true
    wait "$qmsrv_pid" 2>/dev/null || true
    qmsrv_pid=""
  fi
}

cleanup() {
  stop_qmsrv
  local fb_pid=""
  [[ -f "$servers_dir/firebird/server.pid" ]] && fb_pid="$(cat "$servers_dir/firebird/server.pid")"
  QM_TEST_PG_PORT="${LOAD_PG_PORT:-55471}" QM_TEST_FB_PORT="${LOAD_FB_PORT:-53091}" \
    bash "$root/scripts/test-servers.sh" stop "$servers_dir" >/dev/null 2>&1 || true
  if [[ "$fb_pid" =~ ^[0-9]+$ ]] && [[ "$(cat "/proc/$fb_pid/comm" 2>/dev/null)" == "firebird" ]]; then
    kill -KILL "$fb_pid" 2>/dev/null || true
  fi
}
trap cleanup EXIT

# A fresh qmsrv on a port nobody answers on (the next one is tried should it be taken); the
# first argument, when set, is its descriptor limit (soft and hard), the second a further
# configuration line.
start_qmsrv() {
  local nofile="${1:-}" extra="${2:-}"
  stop_qmsrv
  local dir="$work/qmsrv"
  rm -rf "$dir"
  mkdir -p "$dir"
  for _ in $(seq 1 10); do
    port=$((20000 + RANDOM % 30000))
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && continue
    # extra: more configuration lines for one scenario (or extra_conf in the environment).
    printf 'Port=%s\nPGHost=%s\n%s\n%s' "$port" "$QM_TEST_PG_HOST" "$extra" "${extra_conf:-}" \
      >"$dir/qmsrv.conf"
    (
      [[ -n "$nofile" ]] && ulimit -n "$nofile"
      HOME="$dir" XDG_DATA_HOME="$dir" exec "$qmsrv" --config "$dir/qmsrv.conf" --user-log \
        >"$dir/qmsrv.out" 2>"$dir/qmsrv.err" </dev/null
    ) &
    qmsrv_pid=$!
    for _ in $(seq 1 100); do
      (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return 0
      kill -0 "$qmsrv_pid" 2>/dev/null || break
      sleep 0.1
    done
    stop_qmsrv
  done
  echo "load: qmsrv did not start" >&2
  exit 1
}

# The exit code of a qmsrv that a scenario sent SIGTERM; one still running is killed.
exit_code_of_stop() {
  local code=0 state
  state="$(sed -n 's/^State:[[:space:]]*\([A-Z]\).*/\1/p' "/proc/$qmsrv_pid/status" 2>/dev/null || true)"
  if [[ -n "$state" && "$state" != Z ]]; then
    echo "$1.exit_code: still running, killed"
    kill -KILL "$qmsrv_pid" 2>/dev/null || true
  fi
  wait "$qmsrv_pid" 2>/dev/null || code=$?
  echo "$1.exit_code: $code"
  qmsrv_pid=""
}

run() {
  local scenario="$1"
  shift
  echo "== $scenario"
  "$load" "$scenario" --port "$port" --pid "$qmsrv_pid" --dir "$work" "$@" ||
    echo "load: $scenario failed"
}

# 1,000 idle connections and 5,000 sessions need more descriptors than the usual 1,024 in both
# processes.
ulimit -n 16384

rm -rf "$work"
mkdir -p "$work"
QM_TEST_PG_PORT="${LOAD_PG_PORT:-55471}" QM_TEST_FB_PORT="${LOAD_FB_PORT:-53091}" \
  bash scripts/test-servers.sh start "$servers_dir" >/dev/null
# shellcheck disable=SC1091
source "$servers_dir/test-servers.env"
restart_cmd="runuser -u postgres -- $pg_bin/pg_ctl -D $servers_dir/postgres/data -m fast -w restart >/dev/null"

# LOAD_ONLY="inserts sigterm" runs only the scenarios named.
want() { [[ -z "${LOAD_ONLY:-}" || " $LOAD_ONLY " == *" $1 "* ]]; }

echo "load: qmsrv $qmsrv"
start_qmsrv
want inserts && run inserts --clients "$clients" --requests "$requests"
want idle && run idle --idle 1000
want pg-restart && run pg-restart --restart-cmd "$restart_cmd"
if want no-reader; then
  start_qmsrv
  run no-reader --rows "$rows" --wait "$wait_s"
fi
if want silent-connect; then
  start_qmsrv
  run silent-connect --wait 60
  exit_code_of_stop silent_connect
fi
if want guessing; then
  # 200 connections guessing the password from one address; another address is served.
  extra_conf=$'Password=load-right\n' start_qmsrv
  run guessing --clients 200 --seconds 10 --password load-right
fi
if want sigterm; then
  start_qmsrv
  run sigterm --clients 20 --wait 90
  exit_code_of_stop sigterm
fi
if want stale-handle; then
  start_qmsrv
  run stale-handle --requests 100
fi
if want abandoned; then
  start_qmsrv
  run abandoned --wait 30
fi
if want memory; then
  start_qmsrv "" "MaxConnections=0"
  run memory --clients "${LOAD_MEMORY_CLIENTS:-5000}"
fi
if want descriptors; then
  start_qmsrv "${LOAD_FD_LIMIT:-1024}"
  echo "descriptors.server_limit: $(sed -n 's/^Max open files *//p' "/proc/$qmsrv_pid/limits")"
  run descriptors --clients "${LOAD_FD_CLIENTS:-700}"
fi
