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
from delayprobe_tools import icount  # noqa: E402

PROBE = ""
# The run file's format, as delayprobe-compare and users' scripts read it:
# a changed column is a changed format.
HEADER = ("run,binary,figure_us,wall_us,sha256,cpu,host,session,order,start_us,cpu_us,nivcsw,"
          "steal_us,mhz,kernel,os,python,virtualization,cpus,governor,driver,boost,"
          "scaling_min_mhz,scaling_max_mhz,isolated,nohz_full,smt,cgroup,cpu_max,nr_throttled,"
          "throttled_us,load_start,load_end,microcode,mitigations,arch,known_ratio\n")
COLUMNS = HEADER.strip().split(",")
# What each of a row's first 14 columns holds: the round, the name, the
# figure (none for /bin/true), the wall time in µs with one decimal, the
# digest, the CPU, the host, the session's id, the place among the probes,
# the start in µs since 1970 (16 digits until 2286), then the CPU time,
# preemptions, steal and clock in whole units.
ROW = [r"[0-9]+", r".+", r"-?[0-9]*", r"[0-9]+\.[0-9]", r"[0-9a-f]{64}", r".*", r".*",
       r"[0-9a-f]{32}", r"[0-9]+", r"1[0-9]{15}", r"[0-9]+", r"[0-9]+", r"[0-9]*", r"[0-9]*"]


def bench(args, cwd, env=(), preexec_fn=None, **kwargs):
    """Run the tool in cwd, which is its whole PATH, with the signals it
    stops on at their defaults: it keeps ignoring those it inherits ignored,
    as a test run in the background of a shell would pass SIGINT on."""
    def setup():
        for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(signum, signal.SIG_DFL)
        if preexec_fn:
            preexec_fn()

    return subprocess.Popen([sys.executable, BENCH, *args], cwd=cwd, preexec_fn=setup,
                            env={**os.environ, "PATH": cwd, "LC_ALL": "C", **dict(env)}, **kwargs)


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
    script(tmp, "full", "echo 'delayprobe: write error: No space left on device' >&2; exit 1")
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
    found = list(csv.reader(text.splitlines()[1:]))
    for row in found:
        if len(row) != len(COLUMNS) or not all(map(re.fullmatch, ROW, row)):
            raise AssertionError(f"bad row {row}")
    return [dict(zip(COLUMNS, row)) for row in found]


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
        with open(pidfile) as f:
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
        (["--calibrate", "./probe"], None, 1, r": --calibrate: needs --csv FILE"),
        (["--calibrate", "--csv", "c.csv", "./junk"], None, 1,
         r": --calibrate: no delayprobe-twin-1pct and delayprobe-twin-5pct beside \./junk "),
        (["./full"], None, 1, r": ./full: round 1 of 50: exit status 1: delayprobe: write error: "
                              r"No space left on device; kept no runs$"),
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


def machine_tree(tmp, stat_line="cpu  10 0 10 10 0 0 0 1000 0 0"):
    """A made-up machine of two CPUs, CPU 1 isolated, that nothing else makes
    noisy: its /proc and /sys as the kernel writes them."""
    cpus = "sys/devices/system/cpu"
    files = {"proc/stat": f"{stat_line}\ncpu0 5 0 5 5 0 0 0 500 0 0\nctxt 1\n",
             "proc/loadavg": "0.25 0.20 0.10 1/99 123\n", "proc/cpuinfo": "processor\t: 0\n",
             "proc/self/cgroup": "0::/\n", "sys/fs/cgroup/cpu.max": "max 100000\n",
             f"{cpus}/online": "0-1\n", f"{cpus}/isolated": "1\n", f"{cpus}/nohz_full": "1\n",
             f"{cpus}/smt/control": "notsupported\n"}
    for name, text in files.items():
        os.makedirs(os.path.dirname(os.path.join(tmp, "root", name)), exist_ok=True)
        with open(os.path.join(tmp, "root", name), "w") as f:
            f.write(text)
    return {"DELAYPROBE_SYSROOT": os.path.join(tmp, "root")}


class Bookkeeping(Case):
    def test_each_run_records_its_own_share_in_its_units(self):
        root = machine_tree(self.tmp)
        # Each of its runs adds 3 ticks of steal; the first also burns CPU
        # time and sleeps a third of a second.
        stat = os.path.join(root["DELAYPROBE_SYSROOT"], "proc", "stat")
        script(self.tmp, "acct", f"""n=$(cat n 2>/dev/null || echo 0); echo $((n + 3)) > n
printf 'cpu  10 0 10 10 0 0 0 %d 0 0\\n' $((1000 + n + 3)) > '{stat}'
if [ "$n" = 0 ]; then i=0; while [ $i -lt 100000 ]; do i=$((i + 1)); done; sleep 0.33; fi
echo thedifference is 1000""")
        done = bench(["--runs", "30", "--sessions", "2", "--csv", "out.csv", "./acct", "./probe"],
                     self.tmp, env=root, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        stderr = done.communicate()[1]
        self.assertEqual(done.returncode, 0, stderr)
        found = rows(os.path.join(self.tmp, "out.csv"))
        acct = [r for r in found if r["binary"] == "./acct"]
        # Steal as a difference across each run, in µs at 100 ticks a second.
        self.assertEqual({r["steal_us"] for r in acct}, {"30000"})
        self.assertEqual({r["steal_us"] for r in found if r["binary"] != "./acct"}, {"0"})
        self.assertTrue(330000 <= float(acct[0]["wall_us"]) < 10000000, acct[0]["wall_us"])
        self.assertLess(int(acct[-1]["cpu_us"]) * 2, int(acct[0]["cpu_us"]))
        self.assertEqual({(r["binary"], r["order"]) for r in found},
                         {("./acct", "1"), ("./probe", "2"), ("/bin/true", "0")})
        for session in dict.fromkeys(r["session"] for r in found):
            mine = [r for r in found if r["session"] == session]
            self.assertEqual([(r["load_start"], r["isolated"]) for r in mine[:2]],
                             [("0.25", "1"), ("", "")])
            self.assertEqual([r["load_end"] for r in mine[-2:]], ["", "0.25"])
            orders = {tuple(r["binary"] for r in mine[k:k + 3]) for k in range(0, len(mine), 3)}
            self.assertEqual({frozenset(o) for o in orders}, {frozenset(orders.pop())})
            self.assertGreater(len(orders), 1, "every round ran in the same order")

    def test_a_calibration_runs_the_twins_beside_the_probe(self):
        done = bench(["--calibrate", "--runs", "2", "--sessions", "3", "--csv", "out.csv",
                      "./probe"], self.tmp, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.assertEqual(done.wait(), 0)
        twins = os.path.dirname(os.path.realpath(PROBE))
        self.assertEqual({(r["binary"], r["known_ratio"]) for r in
                          rows(os.path.join(self.tmp, "out.csv"))},
                         {("./probe", "1"), (f"{twins}/delayprobe-twin-1pct", "1.01"),
                          (f"{twins}/delayprobe-twin-5pct", "1.05"), ("/bin/true", "")})
        done.stdout.close()

    def test_check_answers_for_the_cpu_given(self):
        root = machine_tree(self.tmp)
        for args, status, out in [
            (["--cpu", "1"], 0, "nothing found that would make timing noisy here\n"),
            (["--cpu", "0"], 3, "CPU 0 not isolated (isolated: 1): the scheduler puts "),
            ([], 3, "runs not pinned to an isolated CPU (isolated: 1): "),
            (["--cpu", "7"], 1, ""),
        ]:
            with self.subTest(args=args):
                done = bench(["--check", *args], self.tmp, env=root, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
                stdout, stderr = done.communicate()
                self.assertEqual(done.returncode, status, stderr)
                self.assertTrue(stdout.decode().startswith(out), stdout)
                self.assertEqual(stdout.count(b"\n"), status != 1)
                if status == 1:
                    self.assertEqual(stderr, b"delayprobe-bench: --cpu 7: no such CPU here\n")


class Count(unittest.TestCase):
    # callgrind's profile of a run, dumped before each clock reading: the
    # start-up, the C library's call into the vDSO, the loop, the second
    # reading, and the end. The loop is 3 instructions an iteration.
    PROFILE = """version: 1
creator: callgrind-3.19.0
positions: instr
events: Ir
part: 1
desc: Trigger: --dump-before=*gettimeofday*
fn=(below main)
0x401000 150000
part: 2
desc: Trigger: --dump-before=*clock_gettime*
fn=gettimeofday
0x402000 20
part: 3
desc: Trigger: --dump-before=*gettimeofday*
fn=delay(int)
0x401100 5000000
0x401104 5000000
0x401108 5000000
fn=main
0x401200 12
calls=1 0x402000
0x401204 20
part: 4
desc: Trigger: --dump-before=*clock_gettime*
fn=gettimeofday
0x402000 20
part: 5
desc: Trigger: Program termination
fn=main
0x401210 30000
"""

    def test_the_count_is_of_the_loop_between_the_two_readings(self):
        phases = icount.merge(icount.parse(self.PROFILE.splitlines(True)))
        self.assertEqual([(p.total, p.end) for p in phases], [
            (150000, "*gettimeofday*"), (20, "*clock_gettime*"), (15000012, "*gettimeofday*"),
            (20, "*clock_gettime*"), (30000, None)])
        self.assertEqual(icount.timed(phases), 15000012)


class Stop(Case):
    def test_a_signal_stops_a_write_that_blocks(self):
        os.mkfifo(os.path.join(self.tmp, "fifo"))
        done = bench(["--csv", "fifo", "./probe"], self.tmp, stderr=subprocess.PIPE)
        time.sleep(0.5)  # opening a FIFO that no one reads
        done.send_signal(signal.SIGTERM)
        _, stderr = done.communicate(timeout=5)
        self.assertEqual((done.returncode, stderr.decode()), (
            143, "delayprobe-bench: stopped by SIGTERM while opening fifo; kept no runs\n"))

    def test_a_signal_keeps_every_finished_run_and_leaves_nothing_running(self):
        for signum, status in [(signal.SIGINT, 130), (signal.SIGTERM, 143), (signal.SIGHUP, 129)]:
            with self.subTest(signum.name), tempfile.TemporaryDirectory() as tmp:
                fixtures(tmp)
                self.stop_while_measuring(tmp, signum, status)

    def stop_while_measuring(self, tmp, signum, status):
        # Each run spends a while in a child of its own, and leaves another
        # behind, holding none of the tool's pipes.
        script(tmp, "slow", "echo $$ >> pids; sleep 1000 >/dev/null 2>&1 & echo $! >> pids; "
                            f"sleep 0.2 & echo $! >> pids; wait $!; exec {PROBE}")
        out = os.path.join(tmp, "out.csv")
        with open(out, "w") as f:
            f.write("old\n")
        done = bench(["--runs", "1000", "--csv", "out.csv", "./slow"], tmp,
                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        for _ in range(1200):
            with open(out) as f:
                text = f.read()
            # The old contents until the first run is in, never a bare header.
            self.assertRegex(text, r"\Aold\n\Z|\A" + HEADER + r"[^\n]+\n")
            if text.count("\n") > 5:
                break
            time.sleep(0.05)
        done.send_signal(signum)
        stdout, stderr = done.communicate()
        self.assertEqual(done.returncode, status, stderr)
        kept = len(rows(out))
        self.assertRegex(stderr.decode(), f"delayprobe-bench: stopped by {signum.name} in round "
                                          f"[0-9]+ of 1000; kept {kept} runs in out.csv\n\\Z")
        self.assertRegex(stdout.decode(), r"\A\| binary \|.*\n.*\n\| `\./slow` \| ")
        self.assertAllEnded(os.path.join(tmp, "pids"))

    def test_a_reader_that_stopped_reading_keeps_no_stop_waiting(self):
        # stdout a pipe already full, which no one reads: the table after
        # the signal cannot be written.
        reader, writer = os.pipe()
        self.addCleanup(os.close, reader)
        os.set_blocking(writer, False)
        try:
            while True:
                os.write(writer, b"x" * 4096)
        except BlockingIOError:
            os.set_blocking(writer, True)
        done = bench(["--runs", "100000", "--csv", "out.csv", "./probe"], self.tmp,
                     stdout=writer, stderr=subprocess.PIPE)
        self.addCleanup(done.kill)
        os.close(writer)
        out = os.path.join(self.tmp, "out.csv")
        while not os.path.exists(out) or open(out, "rb").read().count(b"\n") < 3:
            time.sleep(0.05)
        done.send_signal(signal.SIGTERM)
        _, stderr = done.communicate(timeout=10)
        self.assertEqual(done.returncode, 143)
        self.assertRegex(stderr.decode(), r"\Adelayprobe-bench: stdout: not read for a second "
                                          r"[^\n]+\ndelayprobe-bench: stopped by SIGTERM in round "
                                          r"[0-9]+ of 100000; kept [0-9]+ runs in out.csv\n\Z")

    def test_timeout_ends_a_hung_probe_and_all_it_started(self):
        script(self.tmp, "hang",
               "echo $$ > pids; sleep 1000 >/dev/null 2>&1 & echo $! >> pids; wait")
        done = bench(["--timeout", "1", "./hang"], self.tmp, stderr=subprocess.PIPE)
        _, stderr = done.communicate()
        self.assertEqual(done.returncode, 1)
        self.assertRegex(stderr.decode(),
                         r"^delayprobe-bench: \./hang: round 1 of 50: no answer in 1 s: killed;")
        self.assertAllEnded(os.path.join(self.tmp, "pids"))


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
