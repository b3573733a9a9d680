"""Loopback addresses for the Python test suites, and the simulated device
of `velmora sim` as a child process.

Every fixture listens on 127.<net>.<third>.<fourth>: each test file owns its
own third/fourth pairs, and <net> is the run's base from VELMORA_TEST_NET
(0 to 255, 0 when unset), so that two runs of the suites on one machine
with different bases never meet. tests/support/test_address.h is the same
rule for the C++ tests.
"""
import os
import subprocess


def _net():
    text = os.environ.get("VELMORA_TEST_NET", "")
    if not text:
        return 0
    if not text.isdigit() or int(text) > 255:
        raise SystemExit("VELMORA_TEST_NET=%s: expected a number from 0 to 255" % text)
    return int(text)


NET = _net()


def address(third, fourth):
    """The dotted loopback address of a fixture in this run."""
    return "127.%d.%d.%d" % (NET, third, fourth)


def start_sim(velmora, host, seconds):
    """`velmora sim` on `host`, once it listens; it stops by itself after `seconds`.
    `velmora` is the tool's path, or a command list that runs it."""
    command = [velmora] if isinstance(velmora, str) else list(velmora)
    sim = subprocess.Popen([*command, "sim", "-a", host, "-q", "-t", str(seconds)],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    line = sim.stdout.readline().decode()
    if not line.startswith("listening"):
        sim.kill()
        raise RuntimeError("simulated device did not start: " + line)
    return sim


def stop(process):
    """Ends a child started with its output piped, within a bounded time."""
    process.terminate()
    try:
        process.wait(10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait(10)
    process.stdout.close()
