#!/usr/bin/env bash
# A PostgreSQL 15 cluster of its own for a test or a benchmark: initdb into a folder, a port of
# its own on 127.0.0.1 (and a socket in the folder), trust authentication for the postgres user
# on 127.0.0.1 only. Run as root, the server runs as the postgres user (it refuses root).
#
#   scripts/pg-test-cluster.sh start DIR [--fast] [--watch PID]
#       Creates the cluster in DIR/pg on first use (later: starts it again on the same port),
#       creates the database zolvane_line, prints its URL (also in DIR/pg/url).
#       --fast: fsync and synchronous commit off (tests: a crash of the machine loses the cluster,
#       which a test never keeps). --watch PID: the cluster is stopped when PID ends, whatever
#       way it ends (a test killed by ctest's time-out leaves no server behind).
#   scripts/pg-test-cluster.sh stop DIR      stops it (fast shutdown); the data stay
#   scripts/pg-test-cluster.sh destroy DIR   stops it and removes DIR/pg
#
# PG_BIN (default /usr/lib/postgresql/15/bin) names the server's programs.
set -euo pipefail

bin=${PG_BIN:-/usr/lib/postgresql/15/bin}
action=${1:-}
dir=${2:-}
[ -n "$action" ] && [ -n "$dir" ] || { sed -n '2,17p' "$0" >&2; exit 2; }
shift 2
fast=0
watch=
while [ $# -gt 0 ]; do
  case $1 in
    --fast) fast=1 ;;
    --watch) watch=$2; shift ;;
    *) echo "pg-test-cluster: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
[ -x "$bin/initdb" ] || { echo "pg-test-cluster: no $bin/initdb (apt-get install postgresql-15)" >&2; exit 1; }

if [ "$action" = start ]; then mkdir -p "$dir"; fi
[ -d "$dir" ] || exit 0  # stop or destroy of what is already gone
dir=$(cd "$dir" && pwd)
pg=$dir/pg

as_postgres() {
  if [ "$(id -u)" = 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

free_port() {
  /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

start() {
  if [ ! -f "$pg/data/PG_VERSION" ]; then
    mkdir -p "$pg"
    if [ "$(id -u)" = 0 ]; then
      chmod 711 "$dir"  # the postgres user passes through to its own folder
      chown postgres: "$pg"
    fi
    as_postgres "$bin/initdb" -D "$pg/data" -U postgres --auth=trust --encoding=UTF8 --locale=C \
      --no-instructions >"$pg/initdb.log" 2>&1 || { cat "$pg/initdb.log" >&2; exit 1; }
    {
      echo "listen_addresses = '127.0.0.1'"
      echo "unix_socket_directories = '$pg'"
      echo "max_connections = 200"
      if [ "$fast" = 1 ]; then
        echo "fsync = off"
        echo "synchronous_commit = off"
        echo "full_page_writes = off"
      fi
    } | as_postgres tee -a "$pg/data/postgresql.conf" >/dev/null
    free_port | as_postgres tee "$pg/port" >/dev/null
  fi
  local port tries=0
  port=$(cat "$pg/port")
  until as_postgres "$bin/pg_ctl" -D "$pg/data" -l "$pg/server.log" -w -t 60 -o "-p $port" start \
        >/dev/null; do
    tries=$((tries + 1))
    if [ $tries -ge 5 ]; then
      tail -20 "$pg/server.log" >&2
      exit 1
    fi
    # Another program took the port meanwhile: a new one.
    port=$(free_port)
    echo "$port" | as_postgres tee "$pg/port" >/dev/null
  done
  as_postgres "$bin/psql" -h 127.0.0.1 -p "$port" -U postgres -d postgres -qAt \
    -c "SELECT 1 FROM pg_database WHERE datname = 'zolvane_line'" | grep -q 1 ||
    as_postgres "$bin/createdb" -h 127.0.0.1 -p "$port" -U postgres zolvane_line
  echo "postgresql://postgres@127.0.0.1:$port/zolvane_line" | as_postgres tee "$pg/url" >/dev/null
  if [ -n "$watch" ]; then
    # Detached, with no descriptor of the caller's: a caller reading our output is not held.
    setsid bash -c 'while kill -0 "$1" 2>/dev/null && [ -d "$2/data" ]; do sleep 1; done
                    "$0" destroy "$3" >/dev/null 2>&1' "$0" "$watch" "$pg" "$dir" \
      </dev/null >/dev/null 2>&1 &
  fi
  cat "$pg/url"
}

stop() {
  [ -f "$pg/data/postmaster.pid" ] || return 0
  as_postgres "$bin/pg_ctl" -D "$pg/data" -m fast -w -t 60 stop >/dev/null
}

case $action in
  start) start ;;
  stop) stop ;;
  destroy) stop; rm -rf "$pg" ;;
  *) echo "pg-test-cluster: start, stop or destroy, not $action" >&2; exit 2 ;;
esac
