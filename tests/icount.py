"""How often one run of a program executed each of its own instructions,
split at its readings of the clock.

valgrind's callgrind counts natively built programs; other architectures
run under qemu-user with the counting plugin next to this file.
"""

import collections
import os
import re
import subprocess
import tempfile

# The functions or system calls that read the clock. Every phase of a run
# ends at one of them, or at the end of the program.
CLOCK = re.compile(r"gettimeofday|clock_gettime")
Phase = collections.namedtuple("Phase", "counts total end")
Phase.__doc__ = """counts: executions of each instruction of the program itself,
by address; total: all instructions executed, libraries included; end: what
ended the phase, a clock reading or None for the end of the program."""

# Every setting the reader relies on, so that none comes from VALGRIND_OPTS
# or a .valgrindrc: command-line options override both.
CALLGRIND = ["--tool=callgrind", "--dump-instr=yes", "--dump-line=no",
             "--collect-jumps=no", "--cache-sim=no", "--branch-sim=no",
             "--collect-systime=no", "--collect-bus=no", "--separate-threads=no",
             "--compress-strings=no", "--compress-pos=no", "--combine-dumps=yes",
             "--dump-before=*gettimeofday*", "--dump-before=*clock_gettime*"]


def phases(program, args=(), valgrind="valgrind"):
    """Run program once under callgrind and return its phases, in order."""
    program = os.path.realpath(program)
    with tempfile.TemporaryDirectory() as tmp:
        profile = os.path.join(tmp, "callgrind.out")
        subprocess.run([valgrind, *CALLGRIND, "--callgrind-out-file=" + profile,
                        program, *args], cwd=tmp, capture_output=True, check=True)
        with open(profile, encoding="utf-8", errors="surrogateescape") as lines:
            return parse(lines, program)


def parse(lines, program):
    """Read a callgrind profile made with the options above: header lines
    name the position and event columns, a cost line after calls= is the
    callee's, and each part names the call that ended it."""
    parts, counts, total, end = [], collections.Counter(), 0, None
    npos, ir, obj, callee = 1, 0, None, False
    for line in lines:
        line = line.rstrip("\n")
        key, sep, value = line.partition(":")
        if sep and key in ("part", "positions", "events", "desc", "totals", "summary"):
            if key == "part" and value.strip() != "1":
                parts.append(Phase(counts, total, end))
                counts, total, end = collections.Counter(), 0, None
            elif key == "positions":
                npos = len(value.split())
            elif key == "events":
                ir = value.split().index("Ir")
            elif key == "desc" and value.strip().startswith("Trigger:"):
                trigger = value.split("--dump-before=", 1)
                end = trigger[1].strip() if len(trigger) == 2 else None
            continue
        if line.startswith("ob="):
            obj = line[3:]
        elif line.startswith("calls="):
            callee = True
        elif line[:1].isdigit():
            fields = line.split()
            cost = fields[npos:]
            n = int(cost[ir]) if ir < len(cost) else 0
            if not callee:
                total += n
                if obj == program:
                    counts[int(fields[0], 0)] += n
            callee = False
    parts.append(Phase(counts, total, end))
    return parts
