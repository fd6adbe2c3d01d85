#!/usr/bin/env python3
"""Tests of delayprobe-bench, run from outside under this Python.

usage: bench_test.py PROBE [unittest arguments, such as a test class]

Smoke is quick, for every Python the tool supports. The tool finds no
valgrind in the PATH the tests give it: counting takes seconds a binary.
"""

import csv
import fcntl
import os
import re
import resource
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import ctest

TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools")
BENCH = os.path.join(TOOLS, "delayprobe-bench")
sys.path.insert(0, TOOLS)
from delayprobe_tools import runfile  # noqa: E402

PROBE = ""
HEADER = runfile.header().decode()


def bench(args, cwd, **kwargs):
    """Run the tool in cwd, which is its whole PATH."""
    return subprocess.Popen([sys.executable, BENCH, *args], cwd=cwd,
                            env={**os.environ, "PATH": cwd, "LC_ALL": "C"}, **kwargs)


def script(directory, name, body):
    path = os.path.join(directory, name)
    with open(path, "w") as f:
        f.write(f"#!/bin/sh\nPATH=/usr/bin:/bin\n{body}\n")
    os.chmod(path, 0o755)


def fixtures(tmp):
    """Probes and files, good and bad, in tmp."""
    os.symlink(PROBE, os.path.join(tmp, "probe"))
    script(tmp, "junk", "echo thedifference is 1x")
    # Fails on its second run, after a whole round.
    script(tmp, "fail", f"[ -e ran ] && exit 3; touch ran; exec {PROBE}")
    # One figure far from the rest, on its third run.
    script(tmp, "spiky", "echo >> runs; [ $(wc -l < runs) = 3 ] && n=9000 || n=1000; "
                         "echo thedifference is $n")
    script(tmp, "killed", "kill -40 $$")
    open(os.path.join(tmp, "noexec"), "w").close()
    os.mkdir(os.path.join(tmp, "dir"))
    for name, text in [("other.csv", "run,binary,figure_us\n"), ("cut.csv", HEADER + "0,x,1")]:
        with open(os.path.join(tmp, name), "w") as f:
            f.write(text)


def rows(path):
    with open(path, newline="", encoding="utf-8") as f:
        text = f.read()
    if not text.startswith(HEADER) or not text.endswith("\n"):
        raise AssertionError(f"no header or a cut last line: {text[:80]!r}...{text[-80:]!r}")
    found = [dict(zip(runfile.COLUMNS, row)) for row in csv.reader(text.splitlines()[1:])]
    for row in found:
        if len(row) != len(runfile.COLUMNS) or not re.fullmatch(r"-?[0-9]*", row["figure_us"]) \
                or len(row["session"]) != 32:
            raise AssertionError(f"bad row {row}")
    return found


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


class Case(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.tmp = tmp.name
        fixtures(self.tmp)

    def assertAllEnded(self, pidfile):
        with open(os.path.join(self.tmp, pidfile)) as f:
            pids = [int(p) for p in f.read().split()]
        # SIGKILL takes a moment to land on another CPU.
        for _ in range(100):
            if not any(map(alive, pids)):
                return
            time.sleep(0.05)
        self.fail(f"left running: {[p for p in pids if alive(p)]}")


class Smoke(Case):
    def test_sessions_and_append_keep_every_run_under_its_own_id(self):
        # A name that is not UTF-8, nor safe in Markdown.
        os.symlink(PROBE, os.path.join(self.tmp.encode(), b"p\xff|"))
        out = os.path.join(self.tmp, "out.csv")
        before = ""
        for args in (["--sessions", "2", "--pause", "0"], []):
            done = bench([*args, "--append", "--runs", "2", "--csv", "out.csv", b"./p\xff|"],
                         self.tmp,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            stdout, stderr = done.communicate()
            self.assertEqual(done.returncode, 0, stderr)
            self.assertIn("| `./p\\xff\\|` | ", stdout.decode())
            with open(out, encoding="utf-8") as f:
                after = f.read()
            self.assertTrue(after.startswith(before))
            before = after
        found = rows(out)
        sessions = list(dict.fromkeys(r["session"] for r in found))
        self.assertEqual(len(sessions), 3)
        for session in sessions:
            mine = [(r["run"], r["binary"], r["figure_us"]) for r in found
                    if r["session"] == session]
            self.assertCountEqual([r[:2] for r in mine],
                                  [(run, binary) for run in "01"
                                   for binary in ("./p\\xff|", "/bin/true")])
            self.assertTrue(all(bool(figure) == (binary != "/bin/true")
                                for _, binary, figure in mine))
        # What this machine tells of each run and session, whatever it is.
        self.assertTrue(all(r["start_us"].isdigit() and r["cpu_us"].isdigit() for r in found))
        self.assertEqual(sum(bool(r["kernel"]) for r in found), 3)

    def test_check_says_what_it_found_in_lines_and_the_status(self):
        done = bench(["--check"], self.tmp, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        stdout, stderr = done.communicate()
        self.assertIn(done.returncode, (0, 3), stderr)
        lines = stdout.decode().splitlines()
        if done.returncode == 3:
            self.assertTrue(lines and all(": " in line and "Fix: " in line for line in lines))
        else:
            self.assertEqual(lines, ["nothing found that would make timing noisy here"])


class Errors(unittest.TestCase):
    # args, setup, status, a line of stderr. The setup: stdout "closed",
    # "full" or "gone" (its reader has), or a "small" limit on the size of a file.
    CASES = [
        (["--runs", "0", "./probe"], None, 1, r"--runs: '0': must be at least 1$"),
        (["--runs", "x"], None, 1, r"--runs: invalid .*'x'$"),
        (["--pause", "-1"], None, 1, r"--pause: '-1': must be a number of seconds"),
        (["--pause", "inf"], None, 1, r"--pause: must be finite$"),
        (["--timeout", "0"], None, 1, r"--timeout: must be more than 0$"),
        (["--cpu", "100000", "./probe"], None, 1, r"--cpu 100000: no such CPU here$"),
        (["--append", "./probe"], None, 1, r"--append: needs --csv FILE$"),
        (["--csv", "", "./probe"], None, 1, r"--csv: empty file name$"),
        (["--csv", "no/out.csv", "./probe"], None, 1, r"no/out.csv: No such file or directory$"),
        (["--csv", "dir", "./probe"], None, 1, r"dir: Is a directory$"),
        (["--csv", "/dev/full", "./probe"], None, 1, r"/dev/full: No space left on device$"),
        (["--csv", "probe", "./probe"], None, 1,
         r"--csv probe: is \./probe, a probe being measured$"),
        (["--csv", "fail", "./probe"], None, 1, r"--csv fail: is an executable file, not a run"),
        (["--append", "--csv", "other.csv", "./probe"], None, 1,
         r"other.csv: line 1 is not the header"),
        (["--append", "--csv", "cut.csv", "./probe"], None, 1,
         r"cut.csv: its last line lacks a newline"),
        ([], None, 1, r": delayprobe: not found in PATH$"),
        (["./probe", ""], None, 1, r": PROBE: empty name$"),
        (["no\nsuch", "./probe"], None, 1, r": no\\nsuch: not found in PATH$"),
        ([b"\xff"], None, 1, r": \\xff: not found in PATH$"),
        (["./none"], None, 1, r": ./none: no such file$"),
        (["build/x/delayprobe"], None, 1, r"no such file; build it first \(cmake --preset x "),
        (["./dir"], None, 1, r": ./dir: is a directory$"),
        (["./noexec"], None, 1, r": ./noexec: not executable$"),
        (["./junk"], None, 1,
         r": ./junk: round 1 of 50: unexpected output b'thedifference is 1x\\n'; "
         r"kept no runs$"),
        (["./killed"], None, 1, r": ./killed: round 1 of 50: killed by signal 40; kept no runs$"),
        (["--csv", "out.csv", "./fail"], None, 1,
         r": ./fail: round 2 of 50: exit status 3; kept [23] runs in out.csv$"),
        (["--csv", "out.csv", "./probe"], "small", 1,
         r": out.csv: File too large; kept [0-9]+ runs in out.csv$"),
        (["--runs", "2", "./probe", "probe", "./probe"], None, 0,
         r"\./probe is named twice; it runs once$"),
        (["--runs", "5", "./spiky"], None, 0,
         r": warning: \./spiky: 1 of 5 figures are statistical outliers"),
        (["--runs", "2", "./probe"], "closed", 1, r": stdout: Bad file descriptor$"),
        (["--runs", "2", "./probe"], "full", 1, r": stdout: No space left on device$"),
        (["--help"], "full", 1, r": stdout: No space left on device$"),
        # As after `| head -1`: the reader has gone, quietly.
        (["--runs", "2", "--csv", "out.csv", "./probe"], "gone", -signal.SIGPIPE, r"\A\Z"),
    ]
    SETUP = {"closed": lambda: os.close(1),
             "small": lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (1000, 1000))}

    def test_one_line_on_stderr_and_the_status(self):
        for args, setup, status, line in self.CASES:
            with self.subTest(args=args, setup=setup), tempfile.TemporaryDirectory() as tmp:
                fixtures(tmp)
                with open("/dev/full", "w") as full:
                    done = bench(args, tmp, stderr=subprocess.PIPE,
                                 stdout=full if setup == "full" else subprocess.PIPE,
                                 preexec_fn=self.SETUP.get(setup))
                    if setup == "gone":
                        done.stdout.close()
                    _, stderr = done.communicate()
                text = stderr.decode("utf-8", "replace")
                self.assertEqual(done.returncode, status, text)
                self.assertRegex(text, re.compile(line, re.M))
                self.assertNotRegex(text, re.compile(r"^(?!delayprobe-bench: ).", re.M))
                if os.path.exists(os.path.join(tmp, "out.csv")):
                    rows(os.path.join(tmp, "out.csv"))


class Outputs(Case):
    def test_a_name_is_followed_to_what_it_names(self):
        os.symlink("real.csv", os.path.join(self.tmp, "link.csv"))
        with open(os.path.join(self.tmp, "out.txt"), "wb") as stdout:
            for csv_name in ("link.csv", "/dev/stdout"):
                done = bench(["--runs", "2", "--csv", csv_name, "./probe"], self.tmp,
                             stdout=stdout)
                self.assertEqual(done.wait(), 0)
        self.assertTrue(os.path.islink(os.path.join(self.tmp, "link.csv")))
        self.assertEqual(len(rows(os.path.join(self.tmp, "real.csv"))), 4)
        # The first table, then the run file and its table, where the shell
        # sent stdout.
        with open(os.path.join(self.tmp, "out.txt"), encoding="utf-8") as f:
            table, _, runs = f.read().partition(HEADER)
        self.assertIn("| `./probe` |", table)
        self.assertEqual(len(re.findall(r"^[01],", runs, re.M)), 4)
        self.assertIn("| `./probe` |", runs)
        # A second writer is refused, before it runs anything.
        with open(os.path.join(self.tmp, "real.csv")) as f:
            fcntl.flock(f, fcntl.LOCK_EX)
            done = bench(["--csv", "link.csv", "./probe"], self.tmp, stderr=subprocess.PIPE)
            self.assertEqual(done.communicate()[1], b"delayprobe-bench: link.csv: another "
                             b"program is writing it; name another file, or wait\n")


class Stop(Case):
    def test_a_signal_stops_a_write_that_blocks(self):
        os.mkfifo(os.path.join(self.tmp, "fifo"))
        done = bench(["--csv", "fifo", "./probe"], self.tmp, stderr=subprocess.PIPE)
        time.sleep(0.5)  # opening a FIFO that no one reads
        done.send_signal(signal.SIGTERM)
        _, stderr = done.communicate(timeout=5)
        self.assertEqual((done.returncode, stderr.decode()), (
            143, "delayprobe-bench: stopped by SIGTERM while opening fifo; kept no runs\n"))

    def test_sigint_keeps_every_finished_run_and_leaves_nothing_running(self):
        # Each run spends a while in a child of its own, and leaves another
        # behind, holding none of the tool's pipes.
        script(self.tmp, "slow", "echo $$ >> pids; sleep 1000 >/dev/null 2>&1 & echo $! >> pids; "
                                 f"sleep 0.2 & echo $! >> pids; wait $!; exec {PROBE}")
        out = os.path.join(self.tmp, "out.csv")
        with open(out, "w") as f:
            f.write("old\n")
        done = bench(["--runs", "1000", "--csv", "out.csv", "./slow"], self.tmp,
                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        for _ in range(1200):
            with open(out) as f:
                text = f.read()
            # The old contents until the first run is in, never a bare header.
            self.assertRegex(text, r"\Aold\n\Z|\A" + HEADER + r"[^\n]+\n")
            if text.count("\n") > 5:
                break
            time.sleep(0.05)
        done.send_signal(signal.SIGINT)
        stdout, stderr = done.communicate()
        self.assertEqual(done.returncode, 130, stderr)
        kept = len(rows(out))
        self.assertRegex(stderr.decode(), r"delayprobe-bench: stopped by SIGINT in round [0-9]+ "
                                          r"of 1000; "
                                          f"kept {kept} runs in out.csv\n\\Z")
        self.assertRegex(stdout.decode(), r"\A\| binary \|.*\n.*\n\| `\./slow` \| ")
        self.assertAllEnded("pids")

    def test_timeout_ends_a_hung_probe_and_all_it_started(self):
        script(self.tmp, "hang",
               "echo $$ > pids; sleep 1000 >/dev/null 2>&1 & echo $! >> pids; wait")
        done = bench(["--timeout", "1", "./hang"], self.tmp, stderr=subprocess.PIPE)
        _, stderr = done.communicate()
        self.assertEqual(done.returncode, 1)
        self.assertRegex(stderr.decode(),
                         r"^delayprobe-bench: \./hang: round 1 of 50: no answer in 1 s: killed;")
        self.assertAllEnded("pids")


def runs_here(probe):
    try:
        return subprocess.run([probe], stdout=subprocess.DEVNULL).returncode == 0
    except OSError:
        return False


def setUpModule():
    if not runs_here(PROBE):
        raise unittest.SkipTest("the probe does not run on this machine without its emulator")


if __name__ == "__main__":
    PROBE = os.path.abspath(sys.argv.pop(1))
    ctest.main()
