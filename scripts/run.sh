#!/usr/bin/env bash
# Installs what is missing, builds, and starts qmsrv in the background on its default port 979
# (SQLite needs no other server). Its pid goes to build/qmsrv.pid; running this again stops the
# instance started before and starts the new build.
#
# The instance is for this machine only: its configuration (written to build/run/qmsrv.conf)
# listens on 127.0.0.1 and keeps the SQLite files in build/run/sqlite (a SQLite "Resource" is a
# file name inside that folder).
#
#   QMSRV_PORT=1979 bash scripts/run.sh                another port
#   QMSRV_CONFIG=/path/file.conf bash scripts/run.sh   a configuration of your own instead
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"

bash scripts/install-deps.sh
bash scripts/build.sh build

qmsrv="$root/build/src/service/qmsrv"
qmcli="$root/build/src/client/qmcli"
pid_file="$root/build/qmsrv.pid"
out_file="$root/build/qmsrv.out"

run_dir="$root/build/run"
if [[ -n "${QMSRV_CONFIG:-}" ]]; then
  config="$QMSRV_CONFIG"
else
  # Safe by default: loopback only, SQLite files only inside a folder of the build.
  config="$run_dir/qmsrv.conf"
  mkdir -p "$run_dir/sqlite"
  chmod 0750 "$run_dir" "$run_dir/sqlite"
  printf 'Port=%s\nBind=127.0.0.1\nSQLiteFolder=%s\n' "${QMSRV_PORT:-979}" "$run_dir/sqlite" \
    >"$config"
fi
# The port qmsrv will listen on: the configuration's Port line (any case), else 979.
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
nohup "$qmsrv" --config "$config" >"$out_file" 2>&1 </dev/null &
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
     configuration $config
EOF
if [[ -z "${QMSRV_CONFIG:-}" ]]; then
  cat <<EOF
     listening on 127.0.0.1 only; the SQLite files live in build/run/sqlite

Try it (a SQLite resource is a file name inside that folder):
  build/src/client/qmcli --port $port -e "select sqlite_version()" --driver SQLite --resource demo.db
  build/src/client/qmcli --port $port --driver SQLite --resource demo.db \\
      -e "create table if not exists notes (id integer, text text)" \\
      -e "insert into notes values (1, 'hello')" -e "select * from notes" --format csv
  build/src/client/qmcli --port $port --status

To open it to a network, see "Opening the server to a network" in README.md (TLS, a password,
the SQLite folder, private sessions).
EOF
fi
cat <<EOF

Stop it:
  kill \$(cat build/qmsrv.pid)
EOF
