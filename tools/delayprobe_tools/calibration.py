"""What a calibration says of the machine it ran on: each twin of the probe,
whose loop is a known share longer, compared with the probe it was
measured beside (delayprobe-bench --calibrate), found at its ratio, or not
found, with the smallest difference the machine resolves now."""

import dataclasses
import math
import typing

from . import verdicts

# With the test's critical value, this many more standard errors give a
# difference found 9 times in 10: (1.96 + 1.28) / 1.96.
POWER = 1.65


@dataclasses.dataclass
class Twin:
    """A twin compared with its probe."""
    set: int  # the twin's index among the sets
    probe: int  # the probe's
    known: float  # how much longer its loop is: 1.01
    comparison: verdicts.Comparison

    @property
    def found(self):
        return self.comparison.verdict == "slower"

    @property
    def resolves(self):
        """The smallest difference, as a share, that this machine tells
        apart 9 times in 10 with as many sessions; None without an interval."""
        ci = self.comparison.ci
        if not ci or None in ci:
            return None
        return math.exp(math.log(ci[1] / ci[0]) / 2 * POWER) - 1

    def line(self):
        longer = f"the twin {100 * (self.known - 1):.1f}% longer (#{self.set + 1})"
        c = self.comparison
        if c.ratio is None or not c.ci:
            return f"calibration: {longer}: no verdict, {c.reason or 'no interval'}"
        at = f"{c.ratio:.3f} [{c.ci[0]:.3f}, {c.ci[1]:.3f}]"
        if self.found:
            missed = "" if c.ci[0] <= self.known <= c.ci[1] else (
                f"; its interval misses the known {self.known:.3f}: verdicts here may be off "
                "by more than their intervals say")
            return f"calibration: {longer} was found at {at}{missed}"
        return (f"calibration: {longer} was not found ({at}): differences under about "
                f"{100 * self.resolves:.1f}% cannot be told here now")

    def fields(self):
        return {"twin": f"#{self.set + 1}", "probe": f"#{self.probe + 1}",
                "known_ratio": self.known, "ratio": self.comparison.ratio,
                "ci": list(self.comparison.ci) if self.comparison.ci else None,
                "test": self.comparison.test, "found": self.found,
                "resolves": self.resolves}


def twins(runsets, samples, alpha):
    """Each twin compared alone with the probe of its own file, by the test
    the sets call for: session by session, as the bench interleaved them."""
    found = []
    for i, twin in enumerate(runsets):
        if twin.known_ratio is None or twin.known_ratio == 1:
            continue
        probe = next((j for j, s in enumerate(runsets)
                      if s.file == twin.file and s.known_ratio == 1), None)
        if probe is None:
            continue
        (c,), _ = verdicts.compare([samples[probe], samples[i]], "first", alpha, 0.0)
        c.set, c.baseline = i, probe
        found.append(Twin(i, probe, twin.known_ratio, c))
    return found


def lines(found: typing.List[Twin]):
    return [t.line() for t in found]
