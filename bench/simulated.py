"""Run files as delayprobe-bench writes them, of simulated figures, for the
benchmarks of delayprobe-compare."""

import csv
import pathlib
import sys
import uuid

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tools"))
from delayprobe_tools import runfile  # noqa: E402

CPU = "AMD EPYC 7B13 64-Core Processor"


def write(path, sessions, rng, binary="./delayprobe", host="vm", sha="5" * 64):
    """A file of the figures of each session, each run followed by a
    /bin/true row, as the bench writes them."""
    with open(path, "w", newline="", encoding="utf-8") as f:
        rows = csv.writer(f, lineterminator="\n")
        rows.writerow(runfile.COLUMNS)
        for figures in sessions:
            session = uuid.UUID(int=int(rng.integers(1 << 62))).hex
            same = {"cpu": CPU, "host": host, "session": session}
            for i, x in enumerate(figures):
                rows.writerow(runfile.row(run=i, binary=binary, figure_us=int(x),
                                          wall_us=f"{x + 900:.1f}", sha256=sha, **same))
                rows.writerow(runfile.row(run=i, binary=runfile.BASELINE,
                                          wall_us=f"{780 + i % 50:.1f}", sha256="0" * 64,
                                          **same))
