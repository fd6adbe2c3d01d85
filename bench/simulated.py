"""Run files as delayprobe-bench writes them, of simulated figures, for the
benchmarks of delayprobe-compare."""

import csv
import pathlib
import sys
import uuid

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tools"))
from delayprobe_tools import runfile  # noqa: E402

CPU = "AMD EPYC 7B13 64-Core Processor"
# A session's machine state, as a KVM guest's bench writes it.
STATE = {"kernel": "6.1.0-28-cloud-amd64", "os": "Debian GNU/Linux 12 (bookworm)",
         "python": "3.11.2", "virtualization": "kvm", "cpus": "2", "governor": "", "boost": "",
         "smt": "notsupported", "cgroup": "/user.slice", "cpu_max": "max 100000",
         "nr_throttled": "0", "throttled_us": "0", "load_start": "0.08",
         "microcode": "0xa0011d1", "mitigations": "1 vulnerable (retbleed), 9 mitigated, "
         "8 not affected"}


def write(path, sessions, rng, binary="./delayprobe", host="vm", sha="5" * 64,
          start=1796790000000000):
    """A file of the figures of each session, each run followed by a
    /bin/true row, as the bench writes them, from start (µs since 1970)."""
    with open(path, "w", newline="", encoding="utf-8") as f:
        rows = csv.writer(f, lineterminator="\n")
        rows.writerow(runfile.COLUMNS)
        for figures in sessions:
            session = uuid.UUID(int=int(rng.integers(1 << 62))).hex
            same = {"cpu": CPU, "host": host, "session": session}
            for i, x in enumerate(figures):
                start += 10000
                rows.writerow(runfile.row_values(
                    run=i, binary=binary, figure_us=int(x), wall_us=f"{x + 900:.1f}",
                    sha256=sha, order=1, start_us=start, cpu_us=int(x + 800), nivcsw=1,
                    steal_us=0, **same, **(STATE if i == 0 else {})))
                rows.writerow(runfile.row_values(
                    run=i, binary=runfile.BASELINE, wall_us=f"{780 + i % 50:.1f}",
                    sha256="0" * 64, order=0, start_us=start + 5000, cpu_us=700, nivcsw=1,
                    steal_us=0, **same))
