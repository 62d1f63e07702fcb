#!/usr/bin/env bash
# Starts (or stops) the throw-away database servers the tests use, on loopback only.
#   scripts/test-servers.sh start <state-dir>   writes <state-dir>/test-servers.env
#   scripts/test-servers.sh stop  <state-dir>
# The env file holds the connection values; tests read them from the environment.
set -euo pipefail

action="${1:?start or stop}"
state_dir="$(realpath -m "${2:?state folder}")"
pg_bin="$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)"
pg_dir="$state_dir/postgres"
pg_port="${QM_TEST_PG_PORT:-55432}"

fb_dir="$state_dir/firebird"
fb_port="${QM_TEST_FB_PORT:-53050}"
fb_home="$(ls -d /usr/lib/*-linux-gnu/firebird/3.0 | head -n 1)"

as_postgres() { runuser -u postgres -- "$@"; }
as_firebird() { runuser -u firebird -- env FIREBIRD="$fb_dir/root" FIREBIRD_LOCK="$fb_dir/lock" "$@"; }

stop_postgres() {
  if [[ -f "$pg_dir/data/postmaster.pid" ]]; then
    as_postgres "$pg_bin/pg_ctl" -D "$pg_dir/data" -m immediate stop >/dev/null 2>&1 || true
  fi
}

start_postgres() {
  stop_postgres
  rm -rf "$pg_dir"
  mkdir -p "$pg_dir"
  chown postgres: "$pg_dir"
  local password
  password="qm-$(head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n')"
  printf '%s\n' "$password" >"$pg_dir/pwfile"
  chown postgres: "$pg_dir/pwfile"
  as_postgres "$pg_bin/initdb" -D "$pg_dir/data" -U postgres --pwfile="$pg_dir/pwfile" \
    -A scram-sha-256 -E UTF8 --locale=C.UTF-8 >"$pg_dir/initdb.log"
  as_postgres "$pg_bin/pg_ctl" -D "$pg_dir/data" -l "$pg_dir/server.log" -w -t 60 \
    -o "-c listen_addresses=127.0.0.1 -p $pg_port -k $pg_dir -c max_connections=200" start >/dev/null
  PGPASSWORD="$password" psql -h 127.0.0.1 -p "$pg_port" -U postgres -d postgres -v ON_ERROR_STOP=1 -q \
    -c "CREATE ROLE qmtest LOGIN SUPERUSER PASSWORD '$password'" \
    -c "CREATE DATABASE qmtest OWNER qmtest" >/dev/null
  {
    echo "export QM_TEST_PG_HOST=127.0.0.1"
    echo "export QM_TEST_PG_PORT=$pg_port"
    echo "export QM_TEST_PG_USER=qmtest"
    echo "export QM_TEST_PG_PASSWORD='$password'"
    echo "export QM_TEST_PG_DATABASE=qmtest"
  } >>"$state_dir/test-servers.env"
  echo "test-servers: PostgreSQL on 127.0.0.1:$pg_port"
}

stop_firebird() {
  if [[ -f "$fb_dir/server.pid" ]]; then
    local pid
    pid="$(cat "$fb_dir/server.pid")"
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    # Firebird may take a minute to honour SIGTERM; a throw-away server need not wait for that.
    if kill -0 "$pid" 2>/dev/null; then
      kill -KILL "$pid" 2>/dev/null || true
      for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    fi
    rm -f "$fb_dir/server.pid"
  fi
}

# A private Firebird root: the packaged engine and plugins, our own configuration, security
# database and lock folder, so nothing of the system's own Firebird service is touched.
start_firebird() {
  stop_firebird
  rm -rf "$fb_dir"
  mkdir -p "$fb_dir/root" "$fb_dir/data" "$fb_dir/lock"
  local f
  for f in firebird.msg intl plugins plugins.conf lib UDF fbtrace.conf; do
    ln -s "$fb_home/$f" "$fb_dir/root/$f"
  done
  : >"$fb_dir/root/databases.conf"
  cp /var/lib/firebird/3.0/system/security3.fdb "$fb_dir/data/security3.fdb"
  cat >"$fb_dir/root/firebird.conf" <<CONF
RemoteServicePort = $fb_port
RemoteBindAddress = 127.0.0.1
SecurityDatabase = $fb_dir/data/security3.fdb
ServerMode = Super
IpcName = qm_test_firebird_$fb_port
AuthServer = Srp, Legacy_Auth
UserManager = Srp
CONF
  chown -R firebird:firebird "$fb_dir"
  local password
  password="qm$(head -c 6 /dev/urandom | od -An -tx1 | tr -d ' \n')"
  (cd "$fb_dir" && echo "create or alter user SYSDBA password '$password' using plugin Srp; commit; exit;" |
    as_firebird isql-fb -q -user SYSDBA "$fb_dir/data/security3.fdb")
  # setpriv and env exec in place, so $! is the server's own pid.
  setpriv --reuid=firebird --regid=firebird --init-groups \
    env FIREBIRD="$fb_dir/root" FIREBIRD_LOCK="$fb_dir/lock" /usr/sbin/firebird >"$fb_dir/server.log" 2>&1 &
  echo $! >"$fb_dir/server.pid"
  local i
  for i in $(seq 1 100); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$fb_port") 2>/dev/null; then break; fi
    sleep 0.1
  done
  {
    echo "export QM_TEST_FB_HOST=127.0.0.1"
    echo "export QM_TEST_FB_PORT=$fb_port"
    echo "export QM_TEST_FB_USER=SYSDBA"
    echo "export QM_TEST_FB_PASSWORD='$password'"
    echo "export QM_TEST_FB_DATA='$fb_dir/data'"
  } >>"$state_dir/test-servers.env"
  echo "test-servers: Firebird on 127.0.0.1:$fb_port"
}

case "$action" in
  start)
    mkdir -p "$state_dir"
    : >"$state_dir/test-servers.env"
    start_postgres
    start_firebird
    ;;
  stop)
    stop_postgres
    stop_firebird
    ;;
  *)
    echo "usage: $0 start|stop <state-dir>" >&2
    exit 2
    ;;
esac
