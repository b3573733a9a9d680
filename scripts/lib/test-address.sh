# Sourced by the scripts that start a simulated device: their loopback
# address, 127.<net>.THIRD.FOURTH, where <net> is the run's base from
# VELMORA_TEST_NET (0 when unset), the rule every test fixture follows
# (tests/support/test_address.h, tests/support/loopback_fixtures.py).
test_address() {
  local net=${VELMORA_TEST_NET:-0}
  case "$net" in
    *[!0-9]* | ????*) net=256 ;;
  esac
  if [ "$((10#$net))" -gt 255 ]; then
    echo "VELMORA_TEST_NET=$VELMORA_TEST_NET: expected a number from 0 to 255" >&2
    return 1
  fi
  echo "127.$((10#$net)).$1.$2"
}
