#!/usr/bin/env bash
# A private Tango database, as a facility runs one: MariaDB in a scratch
# folder (socket only, no network) and the Tango database server on
# 127.0.0.1:<20000 + 10 x VELMORA_TEST_NET>, tables loaded, nothing left
# running afterwards. Needs mariadb-server, tango-db and python3-tango
# (.ci/install-deps.sh).
#
# Sourced (scripts/tango-deployment-test.sh):
#   tango_db_prepare               checks what it needs, makes $work, sets TANGO_HOST
#   tango_db_start                 MariaDB, then DataBaseds; returns once it answers
#   tango_register INSTANCE DEVICE HOST [CHANNEL]
#                                  a velmora-tango server and its device
#   spawn NAME COMMAND...          a background process, stopped by stop_all
#   waited SECONDS WHAT COMMAND... runs COMMAND until it succeeds, or fails the script
#   stop_all                       stops every process spawned, newest first, removes $work
# The sourcing script installs `trap stop_all EXIT` itself.
#
# Run (bench/tango_figures.py):
#   bash scripts/lib/tango-database.sh [--register INSTANCE DEVICE HOST]... -- COMMAND...
# runs COMMAND with TANGO_HOST naming the fresh database, then stops it all;
# COMMAND's exit status is the script's.

tango_db_net=${VELMORA_TEST_NET:-0}
tango_db_port=$((20000 + tango_db_net * 10))
pids=()
work=

tango_db_prepare() {
  local need
  for need in /usr/sbin/mariadbd /usr/bin/mariadb-install-db /usr/lib/tango/DataBaseds /usr/bin/tango_admin; do
    [ -x "$need" ] || { echo "tango-database: $need is missing: bash .ci/install-deps.sh installs it" >&2; return 1; }
  done
  /usr/bin/python3 -c "import tango" 2>/dev/null ||
    { echo "tango-database: python3-tango is missing for /usr/bin/python3: bash .ci/install-deps.sh" >&2; return 1; }
  work=$(mktemp -d /tmp/velmora-tango-database.XXXXXX)
  export TANGO_HOST=127.0.0.1:$tango_db_port
}

stop_all() {
  local i pid
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    pid=${pids[i]}
    kill -TERM "$pid" 2>/dev/null || continue
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  pids=()
  [ -z "$work" ] || rm -rf "$work"
}

# Its output goes to $work/<name>.log.
spawn() {
  local name=$1; shift
  "$@" >"$work/$name.log" 2>&1 &
  pids+=($!)
}

waited() {
  local seconds=$1 what=$2; shift 2
  for _ in $(seq $((seconds * 10))); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "tango-database: $what did not come up within $seconds s; its log:" >&2
  tail -n 20 "$work"/*.log >&2 || true
  exit 1
}

tango_db_start() {
  local user
  user=$(id -un)
  echo "== MariaDB (private, socket $work/mysqld.sock) =="
  mariadb-install-db --no-defaults --datadir="$work/db" --user="$user" \
    --auth-root-authentication-method=normal --skip-test-db >"$work/install-db.log" 2>&1
  spawn mariadb /usr/sbin/mariadbd --no-defaults --datadir="$work/db" --socket="$work/mysqld.sock" \
    --skip-networking --pid-file="$work/mariadb.pid" --user="$user" --log-error="$work/mariadbd.err"
  waited 30 MariaDB mariadb --no-defaults --socket="$work/mysqld.sock" -u root -e "SELECT 1"
  mariadb --no-defaults --socket="$work/mysqld.sock" -u root -e "CREATE DATABASE tango"
  (cd /usr/share/tango-db &&
    mariadb --no-defaults --socket="$work/mysqld.sock" -u root tango \
      </usr/share/dbconfig-common/data/tango-db/install/mysql)

  echo "== Tango database server on $TANGO_HOST =="
  # It reads the MariaDB client settings from $HOME/.my.cnf.
  printf '[client]\nuser=root\nsocket=%s\n' "$work/mysqld.sock" >"$work/.my.cnf"
  spawn databaseds env HOME="$work" MYSQL_DATABASE=tango /usr/lib/tango/DataBaseds 2 \
    -ORBendPoint "giop:tcp:127.0.0.1:$tango_db_port"
  waited 30 "the Tango database" tango_admin --ping-database
}

tango_register() {
  local instance=$1 device=$2 host=$3 channel=${4:-0}
  tango_admin --add-server "velmora-tango/$instance" VelmoraChannel "$device" &&
    tango_admin --add-property "$device" host "$host" &&
    tango_admin --add-property "$device" channel "$channel"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -euo pipefail
  registrations=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do
    case "$1" in
      --register) registrations+=("$2 $3 $4"); shift 4 ;;
      *) echo "usage: $0 [--register INSTANCE DEVICE HOST]... -- COMMAND..." >&2; exit 2 ;;
    esac
  done
  [ $# -gt 1 ] || { echo "usage: $0 [--register INSTANCE DEVICE HOST]... -- COMMAND..." >&2; exit 2; }
  shift
  tango_db_prepare
  trap stop_all EXIT
  tango_db_start >&2
  for registration in "${registrations[@]}"; do
    # shellcheck disable=SC2086 # three words, none with spaces
    tango_register $registration
  done
  status=0
  "$@" || status=$?
  stop_all
  trap - EXIT
  exit "$status"
fi
