#!/usr/bin/env python3
"""Tests of a built delayprobe, run from outside.

usage: probe_test.py PROBE [unittest arguments, such as a test class]
"""

import collections
import errno
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import icount

PROBE = ""
LINE = rb"\Athedifference is -?[0-9]+\n\Z"


class Contract(unittest.TestCase):
    def test_one_line_on_stdout_and_status_0_whatever_the_arguments(self):
        for args in ([], ["-h", "--version", "1"], ["", " ", "-", "--", "a\nb", b"\xff", "x" * 100000]):
            with self.subTest(args=args):
                run = subprocess.run([PROBE, *args], capture_output=True, check=False)
                self.assertEqual(run.returncode, 0)
                self.assertRegex(run.stdout, LINE)
                self.assertEqual(run.stderr, b"")


@unittest.skipUnless(shutil.which("faketime"), "needs faketime")
class Clock(unittest.TestCase):
    # Each read of the faked clock steps it by the amount after "i".
    def test_figure_is_the_difference_of_the_two_readings(self):
        for clock, figure in [
            ("@2026-01-01 00:00:00.99995 i0.0001", 100),  # across a second
            ("@2026-01-01 00:00:00 i0", 0),
            ("@2026-01-01 00:00:01 i-0.25", -250000),  # clock set back
            ("@2026-01-01 00:00:00 i3600", 3600000000),  # past 32 bits
        ]:
            with self.subTest(clock=clock):
                # A probe that read a monotonic clock would see the real one.
                run = subprocess.run(["faketime", "-f", clock, PROBE], capture_output=True,
                                     check=True, env={**os.environ,
                                                      "FAKETIME_DONT_FAKE_MONOTONIC": "1"})
                self.assertEqual(run.stdout, b"thedifference is %d\n" % figure)


class WriteError(unittest.TestCase):
    def check(self, command, error, **redirect):
        run = subprocess.run([*command, PROBE], stderr=subprocess.PIPE, check=False, **redirect)
        self.assertEqual(run.returncode, 1)
        self.assertEqual(run.stderr.decode(), f"delayprobe: write error: {os.strerror(error)}\n")

    def test_lost_figure_is_reported_with_status_1(self):
        # Unbuffered and line-buffered, the failed write happens in printf
        # and only the stream's error flag remembers it.
        with open("/dev/full", "wb") as full:
            for buffering in ([], ["stdbuf", "-o0"], ["stdbuf", "-oL"]):
                with self.subTest(buffering=buffering):
                    self.check(buffering, errno.ENOSPC, stdout=full)
        with self.subTest("stdout closed"):
            self.check([], errno.EBADF, stdout=subprocess.DEVNULL,
                       preexec_fn=lambda: os.close(1))

    @unittest.skipUnless(shutil.which("strace"), "needs strace")
    def test_failed_close_is_reported(self):
        with tempfile.NamedTemporaryFile() as out:
            self.check(["strace", "-o", "/dev/null", "-P", out.name, "-e", "trace=close",
                        "-e", "inject=close:error=EIO"], errno.EIO, stdout=out)


def total(phases):
    return sum((p.counts for p in phases), collections.Counter())


class Loop(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.valgrind = shutil.which(os.environ.get("VALGRIND", "valgrind"))
        if not cls.valgrind:
            raise unittest.SkipTest("needs valgrind, which cannot run a sanitized build")
        cls.phases = icount.phases(PROBE, valgrind=cls.valgrind)

    def test_each_of_1000_passes_runs_5000_iterations(self):
        counts = total(self.phases)
        self.assertIn(1000, counts.values(), "no instruction runs once a pass")
        self.assertIn(1000 * 5000, counts.values(), "no instruction runs once an iteration")
        # Unoptimised code tests each bound once more than it iterates.
        for n in set(counts.values()):
            self.assertTrue(n <= 1001 or 1000 * 5000 <= n <= 1000 * 5001,
                            f"an instruction runs {n} times")
        hot = sorted(a for a, n in counts.items() if n >= 1000 * 5000)
        self.assertTrue(all(counts[a] >= 1000 * 5000 for a in counts if hot[0] <= a <= hot[-1]),
                        "the iterations run in more than one loop")

    def test_loop_runs_between_the_clock_readings_and_nothing_else_does(self):
        hot = [i for i, p in enumerate(self.phases) if any(n >= 1000 for n in p.counts.values())]
        self.assertEqual(len(hot), 1, "the loop is split by a clock reading")
        (i,) = hot
        self.assertTrue(i > 0 and self.phases[i - 1].end, "no clock reading before the loop")
        self.assertTrue(self.phases[i].end, "no clock reading after the loop")
        loop = sum(n for n in self.phases[i].counts.values() if n >= 1000)
        self.assertLess(self.phases[i].total - loop, 100, "other work between the readings")

    def test_arguments_change_no_instruction_count(self):
        self.assertEqual(total(icount.phases(PROBE, ["-n", "1", "x" * 1000], self.valgrind)),
                         total(self.phases))


if __name__ == "__main__":
    PROBE = sys.argv.pop(1)
    unittest.main()
