#!/usr/bin/env bash
# Installs what is missing, builds, and starts qmsrv in the background on its default port 979
# (SQLite needs no other server). Its pid goes to build/qmsrv.pid; running this again stops the
# instance started before and starts the new build.
#
#   QMSRV_CONFIG=/path/file.conf bash scripts/run.sh   another configuration (Port=..., ...)
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"

bash scripts/install-deps.sh
bash scripts/build.sh build

qmsrv="$root/build/src/service/qmsrv"
qmcli="$root/build/src/client/qmcli"
pid_file="$root/build/qmsrv.pid"
out_file="$root/build/qmsrv.out"

# The port qmsrv will listen on: the configuration's Port line (any case), else 979.
config="${QMSRV_CONFIG:-${qmsrv}.conf}"
port=""
if [[ -f "$config" ]]; then
  port="$(grep -i -m1 '^port=' "$config" | cut -d= -f2- | tr -d '\r' || true)"
fi
port="${port:-979}"

# Stops the instance this script started last, and only that one.
stop_old() {
  [[ -f "$pid_file" ]] || return 0
  local pid
  pid="$(cat "$pid_file")"
  if [[ "$pid" =~ ^[0-9]+$ ]] && [[ "$(cat "/proc/$pid/comm" 2>/dev/null)" == "qmsrv" ]]; then
    echo "run: stopping qmsrv (pid $pid)"
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 1 200); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then
      echo "run: qmsrv (pid $pid) did not stop in time; killing it" >&2
      kill -KILL "$pid" 2>/dev/null || true
    fi
  fi
  rm -f "$pid_file"
}

stop_old

echo "run: starting qmsrv on port $port"
nohup "$qmsrv" >"$out_file" 2>&1 </dev/null &
pid=$!
echo "$pid" >"$pid_file"

for _ in $(seq 1 150); do
  if ! kill -0 "$pid" 2>/dev/null; then
    echo "run: qmsrv ended at start:" >&2
    cat "$out_file" >&2
    rm -f "$pid_file"
    exit 1
  fi
  if "$qmcli" --port "$port" --timeout 2 --status --format json >/dev/null 2>&1; then
    break
  fi
  sleep 0.1
done
if ! "$qmcli" --port "$port" --timeout 2 --status --format json >/dev/null 2>&1; then
  echo "run: qmsrv (pid $pid) does not answer on port $port; see $out_file" >&2
  exit 1
fi

cat <<EOF
run: qmsrv is running (pid $pid, port $port; pid file build/qmsrv.pid, output build/qmsrv.out)

Try it:
  build/src/client/qmcli --port $port -e "select sqlite_version()" --driver SQLite --resource /tmp/demo.db
  build/src/client/qmcli --port $port --driver SQLite --resource /tmp/demo.db \\
      -e "create table if not exists notes (id integer, text text)" \\
      -e "insert into notes values (1, 'hello')" -e "select * from notes" --format csv
  build/src/client/qmcli --port $port --status

Stop it:
  kill \$(cat build/qmsrv.pid)
EOF
