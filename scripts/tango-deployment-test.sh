#!/usr/bin/env bash
# A Tango deployment from nothing, as a facility runs one: a private MariaDB
# and the Tango database server, two velmora-tango servers registered with
# tango_admin and started as separate processes against two simulated
# devices, then a client in a third process that finds both by name, changes
# a setting, starts both, checks 10 s of events from each for contiguous
# samples and stops them. Everything it starts it stops; nothing is left
# running. Needs mariadb-server, tango-db and python3-tango (.ci/install-deps.sh).
#   bash scripts/tango-deployment-test.sh [build folder]
set -euo pipefail
began=$(date +%s.%N)
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
net=${VELMORA_TEST_NET:-0}
python=/usr/bin/python3

for need in /usr/sbin/mariadbd /usr/bin/mariadb-install-db /usr/lib/tango/DataBaseds /usr/bin/tango_admin; do
  [ -x "$need" ] || { echo "tango-deployment-test: $need is missing: bash .ci/install-deps.sh installs it" >&2; exit 1; }
done
$python -c "import tango" 2>/dev/null ||
  { echo "tango-deployment-test: python3-tango is missing for $python: bash .ci/install-deps.sh" >&2; exit 1; }
sim=$build/tools/velmora-sim
[ -x "$sim" ] || { echo "tango-deployment-test: $sim is not built: cmake --build $build --target velmora velmora-sim" >&2; exit 1; }

work=$(mktemp -d /tmp/velmora-tango-deployment.XXXXXX)
tango_port=$((20000 + net * 10))
export TANGO_HOST=127.0.0.1:$tango_port
export VELMORA_LIBRARY=$build/libvelmora.so.0
export PYTHONPATH=$root/python${PYTHONPATH:+:$PYTHONPATH}
pids=()

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
  rm -rf "$work"
}
trap stop_all EXIT

# Starts a program in the background, its output in $work/<name>.log.
spawn() {
  local name=$1; shift
  "$@" >"$work/$name.log" 2>&1 &
  pids+=($!)
}

waited() {  # waited <seconds> <what> <command...>: runs command until it succeeds
  local seconds=$1 what=$2; shift 2
  for _ in $(seq $((seconds * 10))); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "tango-deployment-test: $what did not come up within $seconds s; its log:" >&2
  tail -n 20 "$work"/*.log >&2 || true
  exit 1
}

echo "== MariaDB (private, socket $work/mysqld.sock) =="
user=$(id -un)
mariadb-install-db --no-defaults --datadir="$work/db" --user="$user" \
  --auth-root-authentication-method=normal --skip-test-db >"$work/install-db.log" 2>&1
spawn mariadb /usr/sbin/mariadbd --no-defaults --datadir="$work/db" --socket="$work/mysqld.sock" \
  --skip-networking --pid-file="$work/mariadb.pid" --user="$user" --log-error="$work/mariadbd.err"
waited 30 MariaDB mariadb --no-defaults --socket="$work/mysqld.sock" -u root -e "SELECT 1"
sql() { mariadb --no-defaults --socket="$work/mysqld.sock" -u root "$@"; }
sql -e "CREATE DATABASE tango"
(cd /usr/share/tango-db && sql tango </usr/share/dbconfig-common/data/tango-db/install/mysql)

echo "== Tango database server on $TANGO_HOST =="
# It reads the MariaDB client settings from $HOME/.my.cnf.
printf '[client]\nuser=root\nsocket=%s\n' "$work/mysqld.sock" >"$work/.my.cnf"
spawn databaseds env HOME="$work" MYSQL_DATABASE=tango /usr/lib/tango/DataBaseds 2 \
  -ORBendPoint "giop:tcp:127.0.0.1:$tango_port"
waited 30 "the Tango database" tango_admin --ping-database

echo "== two simulated devices, two registered servers =="
for n in 1 2; do
  address=127.$net.62.$n
  spawn "sim$n" "$sim" -a "$address" -q
  tango_admin --add-server "velmora-tango/deploy$n" VelmoraChannel "test/velmora/deploy$n"
  tango_admin --add-property "test/velmora/deploy$n" host "$address"
  tango_admin --add-property "test/velmora/deploy$n" channel 0
  spawn "server$n" $python -m velmora.tango_server "deploy$n" \
    -ORBendPoint "giop:tcp:127.0.0.1:$((tango_port + n))"
done
for n in 1 2; do
  waited 30 "server deploy$n" tango_admin --ping-device "test/velmora/deploy$n"
done

echo "== a client in its own process, finding both by name =="
$python "$root/scripts/lib/tango_deployment_client.py" test/velmora/deploy1 test/velmora/deploy2

echo "== stopping every process this script started =="
stop_all
trap - EXIT
echo "== tango-deployment-test took $(awk -v a="$began" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }') s (wall time, set-up to clean stop) =="
