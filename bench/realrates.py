"""Rates measured on this machine, against answers known by construction:
the probe, a byte-for-byte copy of it and its twins, whose loops are 1% and
5% longer, measured interleaved by delayprobe-bench in repeated runs, each
compared as delayprobe-compare compares the sets of one file."""

import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

import numpy

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tools"))
from delayprobe_tools import runfile, verdicts  # noqa: E402

BENCH = pathlib.Path(__file__).resolve().parent.parent / "tools" / "delayprobe-bench"
# Each case: its name, the file beside the probe, and its known ratio.
CASES = [("a byte-for-byte copy", None, 1.0), ("the twin 1% longer", "delayprobe-twin-1pct", 1.01),
         ("the twin 5% longer", "delayprobe-twin-5pct", 1.05)]


def binaries(probe, tmp):
    """The probe and each case's binary, the copy made in tmp."""
    found = [probe]
    for _, twin, _ in CASES:
        if twin is None:
            copy = os.path.join(tmp, "copy")
            shutil.copy2(probe, copy)
            found.append(copy)
        else:
            found.append(os.path.join(os.path.dirname(probe), twin))
            if not os.access(found[-1], os.X_OK):
                sys.exit(f"rates: {found[-1]}: not found; build the probe's twins first")
    return found


def one_run(paths, sessions, runs, cpu, csv):
    """The comparisons of one bench run of every binary, against the probe."""
    command = [sys.executable, str(BENCH), "--sessions", str(sessions), "--runs", str(runs),
               "--csv", csv, *(["--cpu", str(cpu)] if cpu is not None else []), *paths]
    done = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                          check=False)
    if done.returncode:
        sys.exit(f"rates: delayprobe-bench: {(done.stderr.strip().splitlines() or ['?'])[-1]}")
    sets = runfile.read_sets(csv, lambda message: None)
    return verdicts.compare([verdicts.Sample(s.sessions, s.session_ids) for s in sets],
                            "first", 0.05, 0.0)[0]


def measure(probe, repeats, sessions, runs, cpu):
    """Each case's comparisons over repeats bench runs."""
    found = [[] for _ in CASES]
    with tempfile.TemporaryDirectory() as tmp:
        paths = binaries(os.path.abspath(probe), tmp)
        for k in range(repeats):
            print(f"\rrates: bench run {k + 1} of {repeats}", end="", file=sys.stderr, flush=True)
            for mine, c in zip(found, one_run(paths, sessions, runs, cpu,
                                              os.path.join(tmp, "runs.csv"))):
                mine.append(c)
        print(file=sys.stderr)
    return found


def table(probe, repeats=20, sessions=5, runs=50, cpu=None):
    """Print how often each case is called different, and how far its ratio
    lies from the known one."""
    found = measure(probe, repeats, sessions, runs, cpu)
    print(f"{repeats} bench runs of {sessions} sessions of {runs} rounds, "
          f"{'pinned to CPU ' + str(cpu) if cpu is not None else 'not pinned'}")
    print("| case | known ratio | called slower or faster | called slower | test | "
          "measured ratio: median [5%, 95%] | median error |")
    print("|---|--:|--:|--:|---|---|--:|")
    for (name, _, known), comparisons in zip(CASES, found):
        ratios = numpy.array([c.ratio for c in comparisons if c.ratio])
        differ = numpy.mean([c.verdict in ("slower", "faster") for c in comparisons])
        slower = numpy.mean([c.verdict == "slower" for c in comparisons])
        low, mid, high = numpy.percentile(ratios, [5, 50, 95])
        tests = ", ".join(sorted({c.test for c in comparisons if c.test}))
        print(f"| {name} | {known:.2f} | {100 * differ:.0f}% | {100 * slower:.0f}% | {tests} | "
              f"{mid:.4f} [{low:.4f}, {high:.4f}] | "
              f"{100 * numpy.median(abs(ratios / known - 1)):.2f}% |")
