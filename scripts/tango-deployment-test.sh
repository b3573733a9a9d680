#!/usr/bin/env bash
# A Tango deployment from nothing, as a facility runs one: a private MariaDB
# and the Tango database server, two velmora-tango servers registered with
# tango_admin and started as separate processes against two simulated
# devices, then a client in a third process that finds both by name, changes
# a setting, starts both, checks 10 s of events from each for contiguous
# samples and stops them, then ends both servers with Kill. Everything it
# starts it stops; nothing is left running. Needs mariadb-server, tango-db
# and python3-tango (.ci/install-deps.sh); the database set-up is
# scripts/lib/tango-database.sh, which the figures use too.
#   bash scripts/tango-deployment-test.sh [build folder]
set -euo pipefail
began=$(date +%s.%N)
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
net=${VELMORA_TEST_NET:-0}
python=/usr/bin/python3

sim=$build/tools/velmora-sim
[ -x "$sim" ] || { echo "tango-deployment-test: $sim is not built: cmake --build $build --target velmora velmora-sim" >&2; exit 1; }
# shellcheck source=lib/tango-database.sh
source "$root/scripts/lib/tango-database.sh"
tango_db_prepare
trap stop_all EXIT
export VELMORA_LIBRARY=$build/libvelmora.so.0
export PYTHONPATH=$root/python${PYTHONPATH:+:$PYTHONPATH}
tango_db_start

echo "== two simulated devices, two registered servers =="
for n in 1 2; do
  address=127.$net.62.$n
  spawn "sim$n" "$sim" -a "$address" -q
  tango_register "deploy$n" "test/velmora/deploy$n" "$address"
  spawn "server$n" $python -m velmora.tango_server "deploy$n" \
    -ORBendPoint "giop:tcp:127.0.0.1:$((tango_db_port + n))"
  server_pids[n]=${pids[-1]}
done
for n in 1 2; do
  waited 30 "server deploy$n" tango_admin --ping-device "test/velmora/deploy$n"
done

echo "== a client in its own process, finding both by name =="
$python "$root/scripts/lib/tango_deployment_client.py" test/velmora/deploy1 test/velmora/deploy2

echo "== Kill through each server's admin device: each process ends by itself =="
for n in 1 2; do
  $python -c 'import sys, tango; tango.DeviceProxy(sys.argv[1]).command_inout("Kill")' \
    "dserver/velmora-tango/deploy$n"
done
for n in 1 2; do
  for _ in $(seq 100); do kill -0 "${server_pids[n]}" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "${server_pids[n]}" 2>/dev/null; then
    echo "tango-deployment-test: server deploy$n still runs 10 s after Kill" >&2
    exit 1
  fi
  wait "${server_pids[n]}" || { echo "tango-deployment-test: server deploy$n exited with $? after Kill" >&2; exit 1; }
done

echo "== stopping every process this script started =="
stop_all
trap - EXIT
echo "== tango-deployment-test took $(awk -v a="$began" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }') s (wall time, set-up to clean stop) =="
