"""What the velmora program writes when writing goes wrong: a full disk, a
pipe its reader closes, an output that cannot be created; and the checks
of the acquire options that decide how long a run is.

Run by ctest as: python3 test_writing.py PATH/TO/velmora
Loopback address 127.<net>.23.1 (loopback_fixtures.address) belongs to this
file. The full-disk cases mount a small tmpfs in a private mount namespace
(`unshare -m`), which takes root; elsewhere they are skipped, saying why.
"""
import json
import os
import re
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from loopback_fixtures import address, start_sim, stop  # noqa: E402

VELMORA = None
HOST = address(23, 1)
FAST = ["-f", "200000", "-b", "16", "-B", "1000"]

# Mounts a 256 KiB tmpfs on $FULL inside the namespace, fills it to the last
# byte if asked, runs the command, and copies what the command left there to
# $COPY, where the test can see it after the namespace is gone.
IN_FULL_DISK = r'''
mount -t tmpfs -o size=256k velmora-test "$FULL" || exit 97
if [ "$FILL" = yes ]; then cat /dev/zero > "$FULL/filler" 2>/dev/null; fi
"$@"
status=$?
cp -a "$FULL/." "$COPY/" && rm -f "$COPY/filler"
exit $status
'''


def run(*args, check=True, **kwargs):
    result = subprocess.run([VELMORA, *args], capture_output=True, timeout=60, **kwargs)
    if check and result.returncode != 0:
        raise AssertionError("velmora %s exited %d:\n%s" % (
            " ".join(args), result.returncode, result.stderr.decode(errors="replace")))
    return result


def namespaces_usable():
    if os.geteuid() != 0:
        return "mounting a tmpfs in a private mount namespace takes root"
    try:
        probe = subprocess.run(["unshare", "-m", "true"], capture_output=True, timeout=10)
    except OSError as e:
        return "unshare is not available: %s" % e
    return None if probe.returncode == 0 else "unshare -m fails here: %s" % probe.stderr.decode().strip()


def saved_samples(stderr):
    match = re.search(r"; saved ([\d,]+) samples .*?(?: in (.*))?$", stderr, re.M)
    assert match, stderr
    return int(match.group(1).replace(",", "")), (match.group(2) or "").split(", ")


def csv_rows(path):
    with open(path) as f:
        return sum(1 for _ in f) - 1


class Writing(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sim = start_sim(VELMORA, HOST, 300)
        cls.tmp = tempfile.TemporaryDirectory()
        cls.hdf5 = "--h5" in run("acquire", "--help").stdout.decode()

    @classmethod
    def tearDownClass(cls):
        stop(cls.sim)
        cls.tmp.cleanup()

    def path(self, name):
        return os.path.join(self.tmp.name, name)

    def on_full_disk(self, name, args, fill=False):
        """Runs velmora with FULL/ on a full tmpfs; what it left there is in the returned folder."""
        full, copy = self.path(name + "-mount"), self.path(name)
        os.makedirs(full), os.makedirs(copy)
        env = dict(os.environ, FULL=full, COPY=copy, FILL="yes" if fill else "no")
        args = [a.replace("FULL/", full + "/") for a in args]
        r = subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c", IN_FULL_DISK, "sh",
                            VELMORA, *args], capture_output=True, timeout=90, env=env)
        self.assertNotEqual(r.returncode, 97, "could not mount the tmpfs")
        err = r.stderr.decode(errors="replace")
        self.assertEqual(r.returncode, 1, err)
        self.assertIn("No space left on device", err)
        return copy, full, err

    def assert_saved_files_hold(self, err, full, copy, samples_in):
        """Every file the account calls saved is there, and holds the samples it says."""
        samples, files = saved_samples(err)
        self.assertGreater(samples, 0, err)
        for f in filter(None, files):
            seen = os.path.join(copy, os.path.basename(f)) if f.startswith(full) else f
            self.assertTrue(os.path.exists(seen), "%s listed as saved:\n%s" % (f, err))
        for path, count in samples_in.items():
            self.assertEqual(count(path), samples, err)

    def test_a_full_disk_ends_the_run_with_exit_1_and_an_exact_account_for_every_output(self):
        reason = namespaces_usable()
        if reason:
            self.skipTest(reason)
        base = ["acquire", "-H", HOST, *FAST]
        with self.subTest(output="raw and side file"):
            csv = self.path("raw-control.csv")
            copy, full, err = self.on_full_disk("raw", [*base, "-c", "1", "-t", "3", "--csv", csv, "FULL/a.bin"])
            self.assertIn("cannot write %s/a.bin: No space left on device" % full, err)
            self.assert_saved_files_hold(err, full, copy, {csv: csv_rows})
            # The side file is listed as saved only once it describes the whole run.
            self.assertIn("a.bin.json (cannot write %s/a.bin.json: No space left on device)" % full, err)
        with self.subTest(output="csv"):
            raw = self.path("csv-control.bin")
            copy, full, err = self.on_full_disk("csv", [*base, "-c", "2", "-t", "3", "--csv", "FULL/c.csv", raw])
            self.assertIn("cannot write %s/c.csv" % full, err)
            self.assert_saved_files_hold(err, full, copy, {raw: lambda p: os.path.getsize(p) // 2})
        with self.subTest(output="stamps, failing only when closed"):
            raw = self.path("stamps-control.bin")
            copy, full, err = self.on_full_disk("stamps", [*base, "-c", "3", "-t", "0.3", "--no-side-file",
                                                           "--stamps", "FULL/s.csv", raw], fill=True)
            self.assertIn("cannot write %s/s.csv" % full, err)
            self.assert_saved_files_hold(err, full, copy, {raw: lambda p: os.path.getsize(p) // 2})
        if self.hdf5:
            with self.subTest(output="hdf5 and csv"):
                copy, full, err = self.on_full_disk("h5", [*base, "-c", "4", "-t", "3", "--h5", "FULL/h.h5",
                                                           "--csv", "FULL/h.csv"])
                self.assertRegex(err, r"cannot write %s/h\.(h5|csv)" % re.escape(full))
        with self.subTest(output="read -n"):
            block = os.urandom(100000)
            run("write", "-H", HOST, "-c", "5", "-", input=block)
            copy, full, err = self.on_full_disk("read", ["read", "-H", HOST, "-c", "5", "-n", "200k",
                                                         "FULL/r.bin"], fill=True)
            self.assertIn("cannot write %s/r.bin" % full, err)
            self.assertIn("100,000 bytes read from the device are not saved", err)

    def test_a_closed_pipe_ends_the_run_like_an_interruption(self):
        raw, h5 = self.path("p.bin"), self.path("p.h5")
        args = [VELMORA, "acquire", "-H", HOST, "-c", "6", "-f", "1000000", "-t", "3", "--csv", "-", raw]
        if self.hdf5:
            args += ["--h5", h5]
        proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        head = [proc.stdout.readline() for _ in range(2)]
        proc.stdout.close()
        with proc.stderr:
            err = proc.stderr.read().decode()
        proc.wait(30)
        self.assertEqual(head[0], b"time_s,sample,value\n")
        self.assertEqual(proc.returncode, 0, err)
        self.assertIn("interrupted; saved", err)
        self.assertIn("not complete: standard output (cannot write standard output: Broken pipe)", err)
        samples, files = saved_samples(err)
        self.assertIn(raw, files)
        self.assertEqual(os.path.getsize(raw), samples * 2)
        with open(raw + ".json") as f:
            side = json.load(f)
        self.assertEqual((side["ended"], side["samples"]), ("interrupted", samples))
        if self.hdf5:
            info = json.loads(run("info", h5, "--json").stdout)["recording"]
            self.assertEqual((info["ended"], info["samples"]), ("interrupted", samples))
        # The device was stopped: nothing is acquiring on the channel.
        probe = json.loads(run("info", "-H", HOST, "-c", "6", "--probe", "--json").stdout)["probe"]
        self.assertEqual((probe["result"], probe["device_status"]), (58, 1), probe)

    def test_outputs_that_cannot_be_created_are_found_before_the_device_gives_up_data(self):
        block = os.urandom(5000)
        run("write", "-H", HOST, "-c", "7", "-", input=block)
        r = run("read", "-H", HOST, "-c", "7", "/nonexistent-folder/x", check=False)
        self.assertEqual(r.returncode, 1)
        self.assertIn("cannot create /nonexistent-folder/x", r.stderr.decode())
        back = self.path("back.bin")
        run("read", "-H", HOST, "-c", "7", back)
        with open(back, "rb") as f:
            self.assertEqual(f.read(), block)

        kinds = [["--csv"], ["--stamps"], ["--svg"]] + ([["--h5"]] if self.hdf5 else [])
        for option in kinds:
            with self.subTest(option=option[0]):
                kept = self.path("kept%s.bin" % option[0])
                r = run("acquire", "-H", HOST, "-c", "8", "-n", "2", *option, "/nonexistent-folder/x", kept,
                        check=False)
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertIn("cannot create /nonexistent-folder/x", r.stderr.decode())
                self.assertFalse(os.path.exists(kept))

    def test_a_named_pipe_is_checked_without_ending_its_readers_data(self):
        if not hasattr(os, "mkfifo"):
            self.skipTest("no named pipes on this system")
        fifo = self.path("fifo")
        os.mkfifo(fifo)
        reader = subprocess.Popen(["cat", fifo], stdout=subprocess.PIPE)
        try:
            run("acquire", "-H", HOST, "-c", "10", "-n", "2", "--csv", fifo)
            out = reader.communicate(timeout=30)[0]
        finally:
            reader.kill()
            reader.wait(10)
        self.assertEqual(len(out.splitlines()), 1 + 2 * 128)

    def test_run_lengths_that_cannot_be_recorded_and_unreadable_values_are_usage_errors_in_words(self):
        base = ["acquire", "-H", HOST, "-c", "9"]
        for args, words in ((["-t", "0"], "-t/--seconds must be more than 0"),
                            (["-t", "1e12", "-f", "40000000"], "more samples than a run can count"),
                            (["-t", "1e-9"], "less than one sample"),
                            (["-t", "1", "-n", "3"], "give one of them"),
                            (["-n", "1T"], "-n/--packets"),
                            (["-t", "abc"], "-t/--seconds takes a number of seconds"),
                            (["-c", "16"], "-c/--channel takes a whole number from 0 to 15: 16"),
                            (["-i", "x"], "-i/--interval takes a whole number from 1 to 60000: x"),
                            (["-f"], "-f/--freq needs a value"),
                            (["-t", "1", "-t", "2"], "-t/--seconds is given more than once"),
                            (["--bogus"], "not an option or argument of this command: --bogus")):
            with self.subTest(args=args):
                r = run(*base, *args, check=False)
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertIn(words, r.stderr.decode())
        r = run("errors", "abc", check=False)
        self.assertEqual(r.returncode, 2)
        self.assertIn("NUMBER takes a number: abc", r.stderr.decode())
        r = run("read", check=False)
        self.assertIn("FILE is required", r.stderr.decode())


if __name__ == "__main__":
    VELMORA = sys.argv.pop(1)
    unittest.main(verbosity=2)
