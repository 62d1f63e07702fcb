#!/usr/bin/env bash
# Benchmarks qmsrv against the direct paths: builds, starts a throw-away PostgreSQL (and
# Firebird, which the same script starts) on loopback, two qmsrv on free loopback ports with
# their own configuration and log folders (one at the default result-block level, one at
# CompressionLevel=1) and PgBouncer in transaction mode, runs bench/qmsrv_bench, and stops
# everything it started.
#
# It then measures the large fetch again across a 100 Mbit/s link: a network namespace joined
# to this host by a veth pair, both ends shaped with tc's token bucket (tbf), the bench run
# inside the namespace against qmsrv and PostgreSQL on the host end. That prints
# "figure wan_fetch_ratio" (and "wan_fetch_ratio_level1"). QM_BENCH_WAN=0 leaves it out;
# QM_BENCH_WAN_RATE (default 100mbit) and QM_BENCH_WAN_FETCHES (default 3) change it.
#
# Runs as root. What it compares against and needs (PgBouncer, iproute2 for ip and tc) is
# installed with apt-get when missing.
#
#   bash scripts/bench.sh [build-dir] [qmsrv_bench options...]
#   e.g. bash scripts/bench.sh build --calls 5000 --fetches 3
#
# Options of qmsrv_bench: --calls N (small-query calls per side, default 2000), --rows N (rows of
# the large fetch, default 1000000), --fetches N (large fetches per side, default 5), --seconds N
# (per throughput point, default 3), --parts LETTERS (the measurements to run, of "abcdw"; "abcd" by
# default).
# Not part of the test suite; CI does not run it.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"

# Installs the Debian package $1 when the program $2 is missing.
ensure_package() {
  local package="$1" program="$2"
  command -v "$program" >/dev/null 2>&1 && return 0
  [[ -x "/usr/sbin/$program" ]] && return 0
  echo "bench: installing $package"
  if ! DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$package" \
    >/dev/null; then
    # A stale package list is the usual reason; one update and a second try.
    apt-get update >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$package" \
      >/dev/null || echo "bench: could not install $package" >&2
  fi
}
ensure_package pgbouncer pgbouncer
wan="${QM_BENCH_WAN:-1}"
if [[ "$wan" == 1 ]]; then
  ensure_package iproute2 tc
fi

build_dir="build"
if [[ $# -gt 0 && "$1" != -* ]]; then
  build_dir="$1"
  shift
fi
build_dir="$(realpath -m "$build_dir")"

# QM_BENCH_SKIP_BUILD=1 measures what is already built.
if [[ "${QM_BENCH_SKIP_BUILD:-0}" != 1 ]]; then
  bash scripts/build.sh "$build_dir" -DQM_BUILD_BENCH=ON
fi

qmsrv="$build_dir/src/service/qmsrv"
bench="$build_dir/bench/qmsrv_bench"
if [[ ! -x "$bench" ]]; then
  echo "bench: $bench was not built (is libpq-dev installed?)" >&2
  exit 1
fi

servers_dir="$build_dir/bench-servers"
qmsrv_dir="$build_dir/bench-qmsrv"
bouncer_dir="$build_dir/bench-pgbouncer"
qmsrv_pids=()
bouncer_pid=""
wan_netns=""
wan_host_if=""

stop_pid() {
  local pid="$1"
  kill -0 "$pid" 2>/dev/null || return 0
  kill -TERM "$pid" 2>/dev/null || true
  for _ in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

cleanup() {
  # Deleting the namespace deletes its veth end, and with it the pair.
  if [[ -n "$wan_netns" ]]; then
    ip netns pids "$wan_netns" 2>/dev/null | xargs -r kill -KILL 2>/dev/null || true
    ip netns delete "$wan_netns" 2>/dev/null || true
  fi
  [[ -n "$wan_host_if" ]] && ip link delete "$wan_host_if" 2>/dev/null || true
  for pid in "${qmsrv_pids[@]}"; do stop_pid "$pid"; done
  [[ -n "$bouncer_pid" ]] && stop_pid "$bouncer_pid"
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

# A port nobody answers on.
free_port() {
  local candidate
  while :; do
    candidate=$((20000 + RANDOM % 30000))
    port_answers "$candidate" || { echo "$candidate"; return; }
  done
}

# Starts qmsrv in folder $1 with the extra configuration lines $2; sets started_port and
# started_pid. Should another process take the port first, qmsrv ends at start and the next
# port is tried.
start_qmsrv() {
  local dir="$1" extra="$2" candidate pid
  rm -rf "$dir"
  mkdir -p "$dir"
  started_port=""
  for _ in $(seq 1 10); do
    candidate="$(free_port)"
    printf 'Port=%s\nPGHost=%s\n%s' "$candidate" "$QM_TEST_PG_HOST" "$extra" >"$dir/qmsrv.conf"
    HOME="$dir" XDG_DATA_HOME="$dir" \
      "$qmsrv" --config "$dir/qmsrv.conf" --user-log \
      >"$dir/qmsrv.out" 2>"$dir/qmsrv.err" </dev/null &
    pid=$!
    qmsrv_pids+=("$pid")
    for _ in $(seq 1 100); do
      kill -0 "$pid" 2>/dev/null || break
      if port_answers "$candidate"; then
        started_port="$candidate"
        break
      fi
      sleep 0.1
    done
    [[ -n "$started_port" ]] && break
    stop_pid "$pid"
  done
  if [[ -z "$started_port" ]]; then
    echo "bench: qmsrv did not start; see $dir/qmsrv.err" >&2
    cat "$dir/qmsrv.err" >&2 || true
    exit 1
  fi
  started_pid="$pid"
  echo "bench: qmsrv on 127.0.0.1:$started_port (pid $pid, logs under $dir/Quillmoor/Logs)"
}

start_qmsrv "$qmsrv_dir" ""
port="$started_port"
pid="$started_pid"
start_qmsrv "$qmsrv_dir-level1" $'CompressionLevel=1\n'
port_level1="$started_port"

# PgBouncer in transaction mode on loopback, in front of the same PostgreSQL. It refuses to
# run as root, so it runs as the postgres user; clients are trusted (loopback, bench only) and
# it logs in to PostgreSQL with the test password.
bouncer_args=()
if command -v pgbouncer >/dev/null 2>&1 || [[ -x /usr/sbin/pgbouncer ]]; then
  bouncer_bin="$(command -v pgbouncer || echo /usr/sbin/pgbouncer)"
  rm -rf "$bouncer_dir"
  mkdir -p "$bouncer_dir"
  bouncer_port="$(free_port)"
  printf '"%s" "%s"\n' "$QM_TEST_PG_USER" "$QM_TEST_PG_PASSWORD" >"$bouncer_dir/userlist.txt"
  cat >"$bouncer_dir/pgbouncer.ini" <<INI
[databases]
$QM_TEST_PG_DATABASE = host=$QM_TEST_PG_HOST port=$QM_TEST_PG_PORT dbname=$QM_TEST_PG_DATABASE

[pgbouncer]
listen_addr = 127.0.0.1
listen_port = $bouncer_port
unix_socket_dir =
auth_type = trust
auth_file = $bouncer_dir/userlist.txt
pool_mode = transaction
default_pool_size = 20
max_client_conn = 500
logfile = $bouncer_dir/pgbouncer.log
INI
  chown -R postgres: "$bouncer_dir"
  runuser -u postgres -- "$bouncer_bin" "$bouncer_dir/pgbouncer.ini" \
    >"$bouncer_dir/pgbouncer.out" 2>&1 </dev/null &
  bouncer_pid=$!
  for _ in $(seq 1 100); do
    port_answers "$bouncer_port" && break
    sleep 0.1
  done
  if port_answers "$bouncer_port"; then
    echo "bench: PgBouncer on 127.0.0.1:$bouncer_port"
    bouncer_args=(--pgbouncer-port "$bouncer_port")
  else
    echo "bench: PgBouncer did not start; see $bouncer_dir" >&2
  fi
else
  echo "bench: pgbouncer is not installed; its column stays empty" >&2
fi

"$bench" --qmsrv-host 127.0.0.1 --qmsrv-port "$port" --qmsrv-pid "$pid" \
  --qmsrv-port-level1 "$port_level1" --sqlite-file "$qmsrv_dir/bench.sqlite" \
  "${bouncer_args[@]}" "$@"

[[ "$wan" == 1 ]] || exit 0

# --- the large fetch across a shaped link ---
# A /24 of 10.231.0.0/16 that no interface here uses yet.
wan_net=""
for _ in $(seq 1 50); do
  candidate="10.231.$((RANDOM % 250 + 1))"
  if ! ip -4 addr show | grep -q "inet $candidate\."; then
    wan_net="$candidate"
    break
  fi
done
if [[ -z "$wan_net" ]]; then
  echo "bench: no free address range for the shaped link" >&2
  exit 1
fi
wan_host="$wan_net.1"
wan_peer="$wan_net.2"
wan_rate="${QM_BENCH_WAN_RATE:-100mbit}"
wan_netns="qmbench-$$"
wan_host_if="qmb$$h"
wan_peer_if="qmb$$n"
ip netns add "$wan_netns"
ip link add "$wan_host_if" type veth peer name "$wan_peer_if"
ip link set "$wan_peer_if" netns "$wan_netns"
ip addr add "$wan_host/24" dev "$wan_host_if"
ip link set "$wan_host_if" up
ip netns exec "$wan_netns" ip addr add "$wan_peer/24" dev "$wan_peer_if"
ip netns exec "$wan_netns" ip link set "$wan_peer_if" up
ip netns exec "$wan_netns" ip link set lo up
# Both directions at the link's rate; the bucket holds a few full-size segments, and a packet
# waits at most 50 ms for its turn (the queue of a real link's router).
tc qdisc add dev "$wan_host_if" root tbf rate "$wan_rate" burst 64kb latency 50ms
ip netns exec "$wan_netns" tc qdisc add dev "$wan_peer_if" root tbf rate "$wan_rate" burst 64kb \
  latency 50ms
echo "bench: shaped link $wan_host <-> $wan_peer (namespace $wan_netns, $wan_rate each way)"

# PostgreSQL answers on the host end of the link too (its command line overrides the
# configuration file, so it restarts with a new one); qmsrv listens on every address already.
pg_data="$servers_dir/postgres/data"
printf 'host all all %s/32 scram-sha-256\n' "$wan_peer" >>"$pg_data/pg_hba.conf"
pg_bin="$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)"
runuser -u postgres -- "$pg_bin/pg_ctl" -D "$pg_data" -l "$servers_dir/postgres/server.log" \
  -w -t 60 -m fast restart \
  -o "-c listen_addresses=127.0.0.1,$wan_host -p $QM_TEST_PG_PORT -k $servers_dir/postgres -c max_connections=200" \
  >/dev/null

QM_TEST_PG_HOST="$wan_host" ip netns exec "$wan_netns" "$bench" \
  --qmsrv-host "$wan_host" --qmsrv-port "$port" --qmsrv-port-level1 "$port_level1" \
  --fetches "${QM_BENCH_WAN_FETCHES:-3}" "$@" --parts w
