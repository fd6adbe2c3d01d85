"""Per-instruction execution counts of one run of a program, from callgrind."""

import collections
import os
import subprocess
import tempfile


def executions(binary, valgrind="valgrind"):
    """How often each instruction of binary itself ran, by address."""
    counts = collections.Counter()
    binary = os.path.realpath(binary)
    with tempfile.TemporaryDirectory() as tmp:
        profile = os.path.join(tmp, "callgrind.out")
        subprocess.run([valgrind, "--tool=callgrind", "--dump-instr=yes",
                        "--compress-strings=no", "--compress-pos=no",
                        "--callgrind-out-file=" + profile, binary],
                       capture_output=True, check=True)
        obj, call_cost = None, False
        with open(profile, encoding="utf-8") as lines:
            for line in lines:
                if line.startswith("ob="):
                    obj = line[3:].strip()
                elif line.startswith("calls="):
                    call_cost = True
                elif line.startswith("0x"):
                    # The line after calls= is the callee's cost, not this instruction's.
                    if not call_cost and obj == binary:
                        address, _, count = line.split()
                        counts[address] += int(count)
                    call_cost = False
    return counts
