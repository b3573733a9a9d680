#!/usr/bin/env python3
"""Runs README.md as a newcomer would, against the simulated device.

    python3 tests/readme/readme_test.py [--build DIR] [--list]

The README is read block by block, in order, each found by its fences or its
indentation, never by line numbers:

  ```c          saved as host.c in the work folder (the README says "Save
                this as host.c"); a later command block must build it.
  ```python     saved as quickstart.py and run there and then with python3,
                twice: with numpy and without it (numpy is optional).
  ```sh, ```bash, ```shell, ```console, or a block indented by four spaces
                commands: run with bash -e -o pipefail; each must exit 0
                (bash -e does not stop at a failure left of && or ||, so
                the README keeps commands that matter on lines of their own).
  other fences (```cmake, ```text, ...) are not commands and are left alone,
  and so are commands quoted inline in the prose: they name a command, the
  blocks are what a reader types.

A block may be preceded by marker lines, HTML comments GitHub does not show:

  <!-- readme-test: illustration (why) -->   not run (say why: CI runs it
                                               elsewhere, it needs Windows, ...)
  <!-- readme-test: until-stopped -->         a program that runs until Ctrl-C:
                                               it must still be running after
                                               a few seconds, then is stopped.
  <!-- readme-test: expect TEXT -->           its output must contain TEXT
                                               (proof that it did its work).

Every other command block runs. The work folder is a fresh temporary folder
holding links to everything at the top of the checkout (so build/tools/velmora,
include/ and python/ are where the README says), so the files the commands
write land there and not in the checkout. Before a block runs, the test
rewrites what would clash on a shared machine, and nothing else:
  127.0.0.1      -> 127.<net>.16.20 (its own loopback address)
  /opt/velmora   -> a temporary install prefix
  make demo      -> make demo DEMO_ARGS='-a 127.<net>.16.20'
A simulated device listens on 127.<net>.16.20 for the whole run (a newcomer has
it "running in another terminal"), except while a block runs that starts one
itself. What a block leaves running in the background is stopped after it.
Python runs from a virtual environment made for the run with the system's
site packages (numpy, as a Debian user has them), so installing into it
works as the README says. Each Python block runs again from a second one
without them, so without numpy, into which the package is installed the way
the README says (`pip install .`, offline). LD_LIBRARY_PATH and PKG_CONFIG_PATH are cleared:
the README's own commands must find the library.

Besides, the README's table of result numbers must give the same names as
the header's NDX_ResultName.
"""
import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "support"))
from loopback_fixtures import address  # noqa: E402

ADDRESS = address(16, 20)
SHELL_LANGUAGES = {"sh", "bash", "shell", "console"}
MARKER = re.compile(r"^<!--\s*readme-test:\s*([a-z-]+)\b\s*(.*?)\s*-->\s*$")
MARKERS = {"illustration", "until-stopped", "expect"}
STARTS_A_DEVICE = re.compile(r"velmora-sim\b|velmora sim\b|make demo\b")
BLOCK_SECONDS = 600
UNTIL_STOPPED_SECONDS = 3


class Block:
    def __init__(self, kind, text, line, section, marker):
        self.kind = kind          # "c", "python", "sh" or "other"
        self.text = text
        self.line = line          # 1-based line of its first line
        self.section = section
        self.markers = marker  # {word: the text after it}

    def title(self):
        first = next((l.strip() for l in self.text.splitlines() if l.strip()), "")
        return "line %d (%s): %s" % (self.line, self.section, first[:70])


def parse(markdown):
    """Every code block of the document, in order, with its marker."""
    lines = markdown.splitlines()
    blocks, section, marker, problems = [], "top", {}, []
    last_text = ""  # the last non-blank line outside blocks
    i = 0
    while i < len(lines):
        line = lines[i]
        fence = re.match(r"^(```+|~~~+)\s*([A-Za-z0-9_+-]*)", line)
        if fence:
            opener, language = fence.group(1), fence.group(2).lower()
            body, j = [], i + 1
            while j < len(lines) and not lines[j].startswith(opener):
                body.append(lines[j])
                j += 1
            if j == len(lines):
                problems.append("line %d: a fence that never closes" % (i + 1))
            kind = ("c" if language == "c" else "python" if language in ("python", "py")
                    else "sh" if language in SHELL_LANGUAGES else "other")
            blocks.append(Block(kind, "\n".join(body) + "\n", i + 2, section, marker))
            marker, last_text, i = {}, line, j + 1
            continue
        indented = line.startswith("    ") or line.startswith("\t")
        after_blank = i == 0 or not lines[i - 1].strip()
        in_list = re.match(r"^\s*([-*+]|\d+\.)\s", last_text)
        if indented and after_blank and not in_list:
            body, j = [], i
            while j < len(lines) and (lines[j].startswith("    ") or lines[j].startswith("\t")
                                      or not lines[j].strip()):
                body.append(lines[j][4:] if lines[j].startswith("    ") else lines[j].lstrip("\t"))
                j += 1
            while body and not body[-1].strip():
                body.pop()
            blocks.append(Block("sh", "\n".join(body) + "\n", i + 1, section, marker))
            marker, last_text, i = {}, lines[j - 1], j
            continue
        if line.startswith("#"):
            section = line.lstrip("#").strip()
        found = MARKER.match(line.strip())
        if found:
            if found.group(1) not in MARKERS:
                problems.append("line %d: unknown marker %r" % (i + 1, found.group(1)))
            marker[found.group(1)] = found.group(2)
        elif line.strip():
            marker = {}  # markers belong to the block right after them
            last_text = line
        i += 1
    return blocks, problems


def rewrite(text, prefix):
    text = text.replace("127.0.0.1", ADDRESS)
    text = text.replace("/opt/velmora", str(prefix))
    return re.sub(r"\bmake demo\b(?! DEMO_ARGS)", "make demo DEMO_ARGS='-a %s'" % ADDRESS, text)


class Device:
    """The simulated device "in another terminal"."""

    def __init__(self, program, log):
        self.program, self.log, self.process = program, log, None

    def start(self):
        out = open(self.log, "w")
        self.process = subprocess.Popen([str(self.program), "-a", ADDRESS, "-q"], stdout=out,
                                        stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if "listening on %s " % ADDRESS in Path(self.log).read_text():
                return
            if self.process.poll() is not None:
                break
            time.sleep(0.05)
        raise RuntimeError("velmora-sim did not start:\n" + Path(self.log).read_text())

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None


def stop_group(process):
    """Ends what a block left behind: its whole process group."""
    for sig in (signal.SIGTERM, signal.SIGKILL):
        try:
            os.killpg(process.pid, sig)
        except ProcessLookupError:
            return
        time.sleep(0.2)


def run(command, work, env, until_stopped=False):
    """(passed, output) of one block's command, run in its own process group.

    The output goes to a file, not a pipe: what the block leaves running in
    the background keeps a pipe open, and the block would seem to hang.
    """
    log = tempfile.TemporaryFile(mode="w+")
    process = subprocess.Popen(command, cwd=work, env=env, stdout=log, stderr=subprocess.STDOUT,
                               text=True, start_new_session=True)
    limit = UNTIL_STOPPED_SECONDS if until_stopped else BLOCK_SECONDS
    try:
        status = process.wait(timeout=limit)
        passed = status == 0 and not until_stopped
        note = "(ended by itself with status %d)" % status if until_stopped else ""
    except subprocess.TimeoutExpired:
        passed = until_stopped
        note = "" if until_stopped else "(still running after %d s)" % limit
    stop_group(process)
    process.wait()
    log.seek(0)
    output = log.read() + ("\n" + note if note else "")
    log.close()
    return passed, output


def make_work_folder(build):
    work = Path(tempfile.mkdtemp(prefix="velmora-readme-"))
    for entry in ROOT.iterdir():
        if entry.name not in (".git", "build"):
            (work / entry.name).symlink_to(entry)
    (work / "build").symlink_to(build)
    return work


def make_environment(venv):
    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_LIBRARY_PATH", "PKG_CONFIG_PATH", "VELMORA_LIBRARY", "PYTHONPATH")}
    python = "/usr/bin/python3" if Path("/usr/bin/python3").exists() else sys.executable
    subprocess.run([python, "-m", "venv", "--system-site-packages", str(venv)], check=True)
    env["PATH"] = str(venv / "bin") + os.pathsep + env.get("PATH", "")
    env["VIRTUAL_ENV"] = str(venv)
    return env


def python_command(venv, script):
    return [str(venv / "bin" / "python3"), script]


def has_numpy(venv):
    return subprocess.run(python_command(venv, "-c") + ["import numpy"],
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0


def make_bare_venv(venv, work, env):
    """A virtual environment without numpy, with the package installed from
    the work folder by `pip install .` as the README says; (ok, detail)."""
    python = "/usr/bin/python3" if Path("/usr/bin/python3").exists() else sys.executable
    subprocess.run([python, "-m", "venv", str(venv)], check=True)
    if has_numpy(venv):
        return False, "the environment meant to lack numpy has it"
    bare_env = dict(env, VIRTUAL_ENV=str(venv), PATH=str(venv / "bin") + os.pathsep + os.environ["PATH"])
    installed = subprocess.run(python_command(venv, "-m") + ["pip", "install", "--no-index",
                               "--disable-pip-version-check", "."], cwd=work, env=bare_env,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return installed.returncode == 0, installed.stdout[-3000:]


def check_result_table(markdown, work, env):
    """The README's result table names each number as the header does."""
    rows = re.findall(r"^\|\s*(\d+)\s*\|\s*`(ERROR_[A-Z_]+)`\s*\|", markdown, re.M)
    if len(rows) < 10:
        return False, "the README's result table was not found (%d rows)" % len(rows)
    program = work / "result_names.c"
    program.write_text('#include <stdio.h>\n#include <velmora.h>\nint main(void) {\n'
                       + "".join('  puts(NDX_ResultName(%s));\n' % n for n, _ in rows)
                       + "  return 0;\n}\n")
    built = subprocess.run(["cc", "-o", str(work / "result_names"), str(program), "-Iinclude"],
                           cwd=work, env=env, capture_output=True, text=True)
    if built.returncode != 0:
        return False, built.stderr
    names = subprocess.run([str(work / "result_names")], capture_output=True, text=True).stdout.split()
    wrong = ["%s: README %s, header %s" % (n, readme, header)
             for (n, readme), header in zip(rows, names) if readme != header]
    return not wrong, "\n".join(wrong) or "%d numbers agree" % len(rows)


def run_python_both_ways(block, work, env, scratch, verbose):
    """Runs quickstart.py with numpy and without; yields (passed, title)."""
    bare = scratch / "venv-bare"
    ways = [("with numpy", Path(env["VIRTUAL_ENV"]), True), ("without numpy", bare, False)]
    for way, venv, numpy_wanted in ways:
        title = "%s, %s" % (block.title(), way)
        started = time.monotonic()
        if not numpy_wanted and not (venv / "bin" / "python3").exists():
            ok, output = make_bare_venv(venv, work, env)
            if not ok:
                print("FAIL  %s: installing the package\n      %s" % (title, output.replace("\n", "\n      ")))
                yield False, title
                continue
        if has_numpy(venv) != numpy_wanted:
            print("FAIL  %s: the environment %s numpy" % (title, "lacks" if numpy_wanted else "has"))
            yield False, title
            continue
        passed, output = run(python_command(venv, "quickstart.py"), work,
                             dict(env, VIRTUAL_ENV=str(venv)), "until-stopped" in block.markers)
        expected = block.markers.get("expect")
        if passed and expected and expected not in output:
            passed = False
            output += "\n(the output lacks %r)" % expected
        print("%s  %s (%.1f s)" % ("PASS" if passed else "FAIL", title, time.monotonic() - started))
        if not passed or verbose:
            print("      " + "\n      ".join(output.rstrip().splitlines()[-40:]))
        yield passed, title


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=str(ROOT / "build"), help="the build folder (default build)")
    parser.add_argument("--list", action="store_true", help="list the blocks and what would happen")
    parser.add_argument("-v", "--verbose", action="store_true", help="show every block's output")
    args = parser.parse_args()
    markdown = (ROOT / "README.md").read_text()
    blocks, problems = parse(markdown)
    for p in problems:
        print("FAIL", p)
    runnable = [b for b in blocks if b.kind != "other"]
    for kind in ("c", "python", "sh"):
        if not any(b.kind == kind for b in runnable):
            problems.append("no %s block found: the README's layout changed under this test" % kind)
            print("FAIL", problems[-1])
    if args.list:
        for b in blocks:
            print("%-6s %-13s %s" % (b.kind, ",".join(b.markers) or "run", b.title()))
        return 1 if problems else 0

    build = Path(args.build).resolve()
    sim = build / "tools" / "velmora-sim"
    subprocess.run(["cmake", "--build", str(build), "-j", "2", "--target", "velmora",
                    "velmora-cli", "velmora-sim"], check=True, stdout=subprocess.DEVNULL)
    work = make_work_folder(build)
    scratch = Path(tempfile.mkdtemp(prefix="velmora-readme-scratch-"))  # prefix, venv
    prefix = scratch / "prefix"
    device = Device(sim, work / "sim.log")
    failures, ran, illustrations = list(problems), 0, 0
    c_saved_at = None
    try:
        env = make_environment(scratch / "venv")
        device.start()
        ok, detail = check_result_table(markdown, work, env)
        print("%s README result table: %s" % ("PASS" if ok else "FAIL", detail))
        if not ok:
            failures.append("result table")
        for b in runnable:
            if "illustration" in b.markers:
                illustrations += 1
                print("SKIP  illustration", b.title())
                continue
            text = rewrite(b.text, prefix)
            if b.kind == "c":
                (work / "host.c").write_text(text)
                c_saved_at = b
                print("SAVE  host.c from", b.title())
                continue
            if b.kind == "python":
                (work / "quickstart.py").write_text(text)
                for ok, title in run_python_both_ways(b, work, env, scratch, args.verbose):
                    ran += 1
                    if not ok:
                        failures.append(title)
                continue
            if c_saved_at is not None and "host.c" in text:
                c_saved_at = None  # built by this block
            command = ["bash", "-e", "-o", "pipefail", "-c", text]
            own_device = bool(STARTS_A_DEVICE.search(text))
            if own_device:
                device.stop()
            started = time.monotonic()
            passed, output = run(command, work, env, "until-stopped" in b.markers)
            expected = b.markers.get("expect")
            if passed and expected and expected not in output:
                passed = False
                output += "\n(the output lacks %r)" % expected
            if own_device:
                device.start()
            ran += 1
            print("%s  %s (%.1f s)" % ("PASS" if passed else "FAIL", b.title(),
                                        time.monotonic() - started))
            if not passed or args.verbose:
                print("      " + "\n      ".join(output.rstrip().splitlines()[-40:]))
            if not passed:
                failures.append(b.title())
        if c_saved_at is not None:
            failures.append("no command builds the C quick start (host.c)")
            print("FAIL", failures[-1])
    finally:
        device.stop()
        shutil.rmtree(work, ignore_errors=True)
        shutil.rmtree(scratch, ignore_errors=True)
    print("README test: %d blocks run, %d illustrations, %d failures"
          % (ran, illustrations, len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
