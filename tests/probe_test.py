#!/usr/bin/env python3
"""Tests of a built delayprobe, run from outside.

usage: probe_test.py PROBE [unittest arguments, such as a test class]
"""

import errno
import os
import shutil
import subprocess
import sys
import unittest

from callgrind import executions

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
                run = subprocess.run(["faketime", "-f", clock, PROBE],
                                     capture_output=True, check=True)
                self.assertEqual(run.stdout, b"thedifference is %d\n" % figure)


class WriteError(unittest.TestCase):
    def test_lost_figure_is_reported_with_status_1(self):
        with open("/dev/full", "wb") as full:
            cases = [({"stdout": full}, errno.ENOSPC),
                     ({"stdout": subprocess.DEVNULL, "preexec_fn": lambda: os.close(1)},
                      errno.EBADF)]
            for redirect, error in cases:
                with self.subTest(error=errno.errorcode[error]):
                    run = subprocess.run([PROBE], stderr=subprocess.PIPE, check=False, **redirect)
                    self.assertEqual(run.returncode, 1)
                    self.assertEqual(run.stderr.decode(),
                                     f"delayprobe: write error: {os.strerror(error)}\n")


class Loop(unittest.TestCase):
    def test_each_of_1000_passes_runs_5000_iterations(self):
        valgrind = shutil.which(os.environ.get("VALGRIND", "valgrind"))
        if not valgrind:
            self.skipTest("needs valgrind, which cannot run a sanitized build")
        counts = set(executions(PROBE, valgrind).values())
        # Unoptimised code tests the bound once more than it iterates, so the
        # hottest instruction may run 1000 * 5001 times, but none more often.
        self.assertIn(1000, counts, "no instruction runs once a pass")
        self.assertIn(1000 * 5000, counts, "no instruction runs once an iteration")
        self.assertLessEqual(max(counts), 1000 * 5001)


if __name__ == "__main__":
    PROBE = sys.argv.pop(1)
    unittest.main()
