#!/usr/bin/env python3
"""Tests of a built delayprobe, run from outside.

usage: probe_test.py PROBE [unittest arguments, such as a test class]

The environment names the tools: EMULATOR runs a foreign or static probe
(qemu-user or wine), VALGRIND or, under qemu, the plugin QEMU_ICOUNT counts
instructions, and PRELOAD is the directory of the libraries built to be
preloaded into the probe, where that works.
"""

import errno
import os
import shlex
import shutil
import subprocess
import sys
import tempfile
import unittest

import ctest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from delayprobe_tools import icount  # noqa: E402

PROBE = ""
EMULATOR = shlex.split(os.environ.get("EMULATOR", ""))
QEMU = bool(EMULATOR) and EMULATOR[0].startswith("qemu-")
WINDOWS = EMULATOR[:1] == ["wine"]
# The C runtime writes text with the platform's line ending.
NEWLINE = b"\r\n" if WINDOWS else b"\n"
PRELOAD = os.environ.get("PRELOAD")
# A twin of the probe runs a longer inner loop.
INNER = int(os.environ.get("INNER", "5000"))


def run(args=(), command=(), env=(), **kwargs):
    """Run the probe, under command (a wrapper such as faketime) and env."""
    return subprocess.run([*command, *EMULATOR, PROBE, *args], check=False,
                          env={**os.environ, **dict(env)}, **kwargs)


def own(stderr):
    """What the probe wrote on stderr. Under wine, wine's own threads may
    report a fault of theirs there ("wine: Unhandled page fault ..."),
    which WINEDEBUG does not silence, and which the probe never wrote."""
    text = stderr.decode()
    if WINDOWS:
        text = "".join(line for line in text.splitlines(True) if not line.startswith("wine: "))
    return text


def preload(name):
    """The environment that preloads a library into the probe, not its emulator."""
    library = os.path.join(PRELOAD, f"lib{name}.so")
    return {"QEMU_SET_ENV": "LD_PRELOAD=" + library} if QEMU else {"LD_PRELOAD": library}


class Contract(unittest.TestCase):
    def test_one_line_on_stdout_and_status_0_whatever_the_arguments(self):
        # Windows limits a whole command line to 32767 characters.
        long = "x" * (30000 if WINDOWS else 100000)
        for args in ([], ["-h", "--version", "1"], ["", " ", "-", "--", "a\nb", b"\xff", long]):
            with self.subTest(args=[a[:20] for a in args]):
                done = run(args, capture_output=True)
                self.assertEqual(done.returncode, 0)
                self.assertRegex(done.stdout, rb"\Athedifference is -?[0-9]+" + NEWLINE + rb"\Z")
                self.assertEqual(own(done.stderr), "")


@unittest.skipUnless(shutil.which("faketime"), "needs faketime")
@unittest.skipIf(WINDOWS, "wine's own threads read the faked clock between the probe's readings")
class Clock(unittest.TestCase):
    # A probe that read a monotonic clock would see the real one. The guest
    # of qemu-user must not get the host's libfaketime: qemu reads the host
    # clock for it, and that is faked.
    ENV = {"FAKETIME_DONT_FAKE_MONOTONIC": "1", "QEMU_UNSET_ENV": "LD_PRELOAD"}

    # Each read of the faked clock steps it by the amount after "i", and
    # qemu reads it a few times before the probe does.
    def test_figure_is_the_difference_of_the_two_readings(self):
        for clock, figure in [
            # Each reading lies in a new second, with 100 µs less in it.
            ("@2026-01-01 00:00:00.5 i0.9999", 999900),
            ("@2026-01-01 00:00:00 i0", 0),
            ("@2026-01-01 00:00:01 i-0.25", -250000),  # clock set back
            ("@2026-01-01 00:00:00 i3600", 3600000000),  # past 32 bits
            ("@2040-01-01 00:00:00 i3600", 3600000000),  # past 2038
        ]:
            with self.subTest(clock=clock):
                done = run(command=["faketime", "-f", clock], env=self.ENV, capture_output=True)
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertEqual(done.stdout, b"thedifference is %d%s" % (figure, NEWLINE))

    @unittest.skipUnless(PRELOAD, "a static or Windows probe takes no preloaded library")
    def test_failed_reading_is_reported_not_printed(self):
        for call in ("1", "2"):
            with self.subTest(failing_reading=call):
                env = {**preload("clockfail"), "CLOCKFAIL": call}
                done = run(env=env, capture_output=True)
                self.assertEqual(done.returncode, 1)
                self.assertEqual(done.stdout, b"")
                self.assertEqual(done.stderr.decode(),
                                 f"delayprobe: gettimeofday: {os.strerror(errno.EOVERFLOW)}\n")


class WriteError(unittest.TestCase):
    def check(self, error, command=(), env=(), **redirect):
        done = run(command=command, env=env, stderr=subprocess.PIPE, **redirect)
        self.assertEqual(done.returncode, 1)
        self.assertEqual(own(done.stderr),
                         f"delayprobe: write error: {os.strerror(error)}" + NEWLINE.decode())

    def test_lost_figure_is_reported_with_status_1(self):
        # Unbuffered and line-buffered, the failed write happens in printf
        # and only the stream's error flag remembers it. stdbuf works by a
        # preloaded library, so it reaches neither a static probe nor wine.
        modes = [["stdbuf", "-o0"], ["stdbuf", "-oL"]] if PRELOAD else []
        env = preload("stdbuf") if QEMU and PRELOAD else {}
        with open("/dev/full", "wb") as full:
            for buffering in [[], *modes]:
                with self.subTest(buffering=buffering):
                    self.check(errno.ENOSPC, buffering, env, stdout=full)
        with self.subTest("stdout closed"):
            self.check(errno.EBADF, stdout=subprocess.DEVNULL, preexec_fn=lambda: os.close(1))

    @unittest.skipUnless(shutil.which("strace"), "needs strace")
    @unittest.skipIf(WINDOWS, "wine closes descriptors of its own")
    def test_failed_close_is_reported(self):
        with tempfile.NamedTemporaryFile() as out:
            self.check(errno.EIO, ["strace", "-f", "-o", "/dev/null", "-P", out.name,
                                   "-e", "trace=close", "-e", "inject=close:error=EIO"],
                       stdout=out)


class Loop(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if WINDOWS:
            raise unittest.SkipTest("neither valgrind nor qemu-user runs Windows code")
        if QEMU:
            cls.counter = {"qemu": EMULATOR, "plugin": os.environ["QEMU_ICOUNT"]}
        else:
            valgrind = shutil.which(os.environ.get("VALGRIND", "valgrind"))
            if not valgrind:
                raise unittest.SkipTest("needs valgrind, which cannot run a sanitized build")
            cls.counter = {"valgrind": valgrind}
            # Settings a user may keep, which the counter has to override.
            os.environ.setdefault("VALGRIND_OPTS", "--cache-sim=yes --collect-jumps=yes "
                                  "--dump-line=no --dump-instr=no --compress-pos=yes")
        cls.phases = icount.phases(PROBE, **cls.counter)

    def test_each_of_1000_passes_runs_5000_iterations(self):
        counts = icount.total(self.phases)
        self.assertIn(1000, counts.values(), "no instruction runs once a pass")
        self.assertIn(1000 * INNER, counts.values(), "no instruction runs once an iteration")
        # Unoptimised code tests each bound once more than it iterates.
        for n in set(counts.values()):
            self.assertTrue(n <= 1001 or 1000 * INNER <= n <= 1000 * (INNER + 1),
                            f"an instruction runs {n} times")
        hot = sorted(a for a, n in counts.items() if n >= 1000 * INNER)
        self.assertTrue(all(counts[a] >= 1000 * INNER for a in counts if hot[0] <= a <= hot[-1]),
                        "the iterations run in more than one loop")

    def test_loop_runs_between_the_clock_readings_and_nothing_else_does(self):
        hot = [i for i, p in enumerate(self.phases) if any(n >= 1000 for n in p.counts.values())]
        self.assertEqual(len(hot), 1, "the loop is split by a clock reading")
        (i,) = hot
        self.assertTrue(i > 0 and self.phases[i - 1].end, "no clock reading before the loop")
        self.assertTrue(self.phases[i].end, "no clock reading after the loop")
        # The rest is the two calls of the clock: about 100 instructions at
        # most, where one printf takes thousands.
        loop = sum(n for n in self.phases[i].counts.values() if n >= 1000)
        self.assertLess(self.phases[i].total - loop, 500, "other work between the readings")

    def test_arguments_change_no_instruction_count(self):
        with_arguments = icount.phases(PROBE, ["-n", "1", "x" * 1000], **self.counter)
        self.assertEqual(icount.total(with_arguments), icount.total(self.phases))


if __name__ == "__main__":
    PROBE = sys.argv.pop(1)
    ctest.main()
