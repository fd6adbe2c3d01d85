"""How often one run of a program executed each of its own instructions,
split at its readings of the clock.

valgrind's callgrind counts natively built programs; programs for other
architectures run under qemu-user with the plugin in qemu-icount.cpp.
"""

import collections
import os
import re
import subprocess
import tempfile

# The functions or system calls that read the clock. Every phase of a run
# ends at one of them, or at the end of the program.
CLOCK = re.compile(r"gettimeofday|clock_gettime")
# The probe's own functions, by name as callgrind (demangled) or qemu
# (mangled) gives it, clones included. A static probe holds the C library
# too, so the file an instruction comes from would not do.
OWN = re.compile(r"(main|delay|_Z5delayi)\b")
Phase = collections.namedtuple("Phase", "counts total end")
Phase.__doc__ = """counts: executions of each instruction of the probe's own
functions, by address; total: all instructions executed, libraries included;
end: what ended the phase, a clock reading or None for the end of the program."""

# Every setting the reader relies on, so that none comes from VALGRIND_OPTS
# or a .valgrindrc: command-line options override both.
CALLGRIND = ["--tool=callgrind", "--dump-instr=yes", "--dump-line=no",
             "--collect-jumps=no", "--cache-sim=no", "--branch-sim=no",
             "--collect-systime=no", "--collect-bus=no", "--separate-threads=no",
             "--compress-strings=no", "--compress-pos=no", "--combine-dumps=yes",
             "--dump-before=*gettimeofday*", "--dump-before=*clock_gettime*"]


def phases(program, args=(), valgrind="valgrind", qemu=None, plugin=None):
    """Run program once and return its phases, in order: under callgrind, or
    under qemu, the emulator command, with plugin, the counting plugin."""
    with tempfile.TemporaryDirectory() as tmp:
        log = os.path.join(tmp, "counts")
        if qemu:
            command = [*qemu, "-plugin", plugin, "-d", "plugin", "-strace", "-D", log]
        else:
            command = [valgrind, *CALLGRIND, "--callgrind-out-file=" + log]
        subprocess.run([*command, program, *args], cwd=tmp, capture_output=True, check=True)
        with open(log, encoding="utf-8", errors="surrogateescape") as lines:
            return merge(parse_qemu(lines) if qemu else parse(lines))


def timed(phases):
    """All instructions executed between the first two clock readings, the
    libraries' included: the loop and little else, which needs no symbol
    of the probe's own, so that a stripped probe is counted too. A reading
    may end two phases (the C library's function, then the vDSO's), so the
    largest phase between two readings is the loop's. None when the run did
    not read the clock twice."""
    between = [p.total for before, p in zip(phases, phases[1:]) if before.end and p.end]
    return max(between, default=None)


def total(phases):
    """The counts of all phases together."""
    return sum((p.counts for p in phases), collections.Counter())


def merge(parts):
    """Join each part that does not end at a clock reading to the next."""
    joined, counts, total = [], collections.Counter(), 0
    for part in parts:
        counts.update(part.counts)
        total += part.total
        if part.end and CLOCK.search(part.end):
            joined.append(Phase(counts, total, part.end))
            counts, total = collections.Counter(), 0
    return joined + [Phase(counts, total, None)]


def parse_qemu(lines):
    """Read the plugin's counts, each part followed by the system call that
    ended it, as -strace logs it: a process id, then the call's name and
    its arguments."""
    parts, counts, total = [], collections.Counter(), 0
    for line in lines:
        fields = line.split()
        if fields[:1] == ["icount"]:
            if fields[1] == "total":
                counts, total = collections.Counter(), int(fields[2])
            elif fields[1] == "end":
                parts.append(Phase(counts, total, None))
            elif OWN.match(fields[3]):
                counts[int(fields[1])] += int(fields[2])
        elif parts and parts[-1].end is None and fields[:1] and fields[0].isdigit():
            parts[-1] = parts[-1]._replace(end=fields[1].partition("(")[0])
    return parts


def parse(lines):
    """Read a callgrind profile made with the options above: header lines
    name the position and event columns, a cost line after calls= is the
    callee's, and each part names the call that ended it."""
    parts, counts, total, end = [], collections.Counter(), 0, None
    npos, ir, fn, callee = 1, 0, "", False
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
        if line.startswith("fn="):
            fn = line[3:]
        elif line.startswith("calls="):
            callee = True
        elif line[:1].isdigit():
            fields = line.split()
            cost = fields[npos:]
            n = int(cost[ir]) if ir < len(cost) else 0
            if not callee:
                total += n
                if OWN.match(fn):
                    counts[int(fields[0], 0)] += n
            callee = False
    parts.append(Phase(counts, total, end))
    return parts
