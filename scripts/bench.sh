#!/usr/bin/env bash
# Benchmarks qmsrv against libpq: builds, starts a throw-away PostgreSQL (and Firebird, which
# the same script starts) on loopback, starts qmsrv on a free loopback port with its own
# configuration and log folder, runs bench/qmsrv_bench, and stops everything it started.
#
#   bash scripts/bench.sh [build-dir] [qmsrv_bench options...]
#   e.g. bash scripts/bench.sh build --calls 5000 --fetches 3
#
# Options of qmsrv_bench: --calls N (small-query calls per side, default 2000), --rows N (rows of
# the large fetch, default 1000000), --fetches N (large fetches per side, default 5).
# Not part of the test suite; CI does not run it.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"

build_dir="build"
if [[ $# -gt 0 && "$1" != -* ]]; then
  build_dir="$1"
  shift
fi
build_dir="$(realpath -m "$build_dir")"

bash scripts/build.sh "$build_dir" -DQM_BUILD_BENCH=ON

qmsrv="$build_dir/src/service/qmsrv"
bench="$build_dir/bench/qmsrv_bench"
if [[ ! -x "$bench" ]]; then
  echo "bench: $bench was not built (is libpq-dev installed?)" >&2
  exit 1
fi

servers_dir="$build_dir/bench-servers"
qmsrv_dir="$build_dir/bench-qmsrv"
qmsrv_pid=""

cleanup() {
  if [[ -n "$qmsrv_pid" ]] && kill -0 "$qmsrv_pid" 2>/dev/null; then
    kill -TERM "$qmsrv_pid" 2>/dev/null || true
    for _ in $(seq 1 100); do
      kill -0 "$qmsrv_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$qmsrv_pid" 2>/dev/null || true
    wait "$qmsrv_pid" 2>/dev/null || true
  fi
  # Firebird may outlive the stop script's SIGTERM; the pid is read first, since the stop
  # forgets it.
  local fb_pid=""
  [[ -f "$servers_dir/firebird/server.pid" ]] && fb_pid="$(cat "$servers_dir/firebird/server.pid")"
  bash "$root/scripts/test-servers.sh" stop "$servers_dir" || true
  if [[ "$fb_pid" =~ ^[0-9]+$ ]] && [[ "$(cat "/proc/$fb_pid/comm" 2>/dev/null)" == "firebird" ]]; then
    kill -KILL "$fb_pid" 2>/dev/null || true
  fi
}
trap cleanup EXIT

QM_TEST_PG_PORT=55451 QM_TEST_FB_PORT=53071 bash scripts/test-servers.sh start "$servers_dir"
# shellcheck disable=SC1091
source "$servers_dir/test-servers.env"

port_answers() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# qmsrv gets a port nobody answers on; should another process take it first, qmsrv ends at
# start and the next port is tried.
rm -rf "$qmsrv_dir"
mkdir -p "$qmsrv_dir"
port=""
for _ in $(seq 1 10); do
  candidate=$((20000 + RANDOM % 30000))
  port_answers "$candidate" && continue
  printf 'Port=%s\nPGHost=%s\n' "$candidate" "$QM_TEST_PG_HOST" >"$qmsrv_dir/qmsrv.conf"
  HOME="$qmsrv_dir" XDG_DATA_HOME="$qmsrv_dir" \
    "$qmsrv" --config "$qmsrv_dir/qmsrv.conf" --user-log \
    >"$qmsrv_dir/qmsrv.out" 2>"$qmsrv_dir/qmsrv.err" </dev/null &
  qmsrv_pid=$!
  for _ in $(seq 1 100); do
    kill -0 "$qmsrv_pid" 2>/dev/null || break
    if port_answers "$candidate"; then
      port="$candidate"
      break
    fi
    sleep 0.1
  done
  [[ -n "$port" ]] && break
  kill -TERM "$qmsrv_pid" 2>/dev/null || true
  wait "$qmsrv_pid" 2>/dev/null || true
  qmsrv_pid=""
done
if [[ -z "$port" ]]; then
  echo "bench: qmsrv did not start; see $qmsrv_dir/qmsrv.err" >&2
  cat "$qmsrv_dir/qmsrv.err" >&2 || true
  exit 1
fi
echo "bench: qmsrv on 127.0.0.1:$port (pid $qmsrv_pid, logs under $qmsrv_dir/Quillmoor/Logs)"

"$bench" --qmsrv-host 127.0.0.1 --qmsrv-port "$port" "$@"
