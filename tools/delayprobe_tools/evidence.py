"""What the runs recorded beside their figures, as delayprobe-compare uses
it: each set's evidence (the clock its figures imply, its CPU and steal
shares, the clock and the preemptions the system told, the machine's
state), and a set's value of a field."""

import collections
import dataclasses
import math
import re
import typing

import numpy as np

from . import machine, runfile, stats

# The loop's 5,000,000 iterations each wait for the previous increment, so
# each costs a cycle or more: F µs prove at least 5e6 / F MHz, 5000 / F GHz.
CLOCK = 5000


# The measures whose standard errors the evidence keeps.
MEASURED = ("ghz", "cpu_share", "steal_share", "mhz")


UNKNOWN = "?"


NAMES = {"cpu": "CPU model", "cpu_max": "CPU quota", "sha256": "binary"}


@dataclasses.dataclass
class SetEvidence:
    """One set's evidence: medians over its runs (the steal share is its
    total over their total wall time), None where no run recorded any."""
    ghz: typing.Optional[float]  # the clock its figures prove, 5000 / figure
    cpu_share: typing.Optional[float]  # cpu_us / wall_us
    steal_share: typing.Optional[float]  # steal_us / wall_us
    mhz: typing.Optional[float]
    nivcsw: typing.Optional[float]
    # Per state field, the distinct values its sessions recorded, in order.
    state: typing.Dict[str, typing.Tuple[str, ...]]
    throttled: typing.Optional[int]  # nr_throttled's growth across its sessions
    start: np.ndarray  # each run's start_us, NaN where none
    # The standard error of each of MEASURED, None where too few runs tell.
    se: typing.Dict[str, typing.Optional[float]] = None

    def fields(self):
        """As the JSON file holds them: a state field is null when unknown,
        its value, or a list of the values its sessions differ in."""
        state = {f: None if not v else v[0] if len(v) == 1 else list(v)
                 for f, v in self.state.items()}
        return {"evidence": {"ghz": self.ghz, "cpu_share": self.cpu_share,
                             "steal_share": self.steal_share, "mhz": self.mhz,
                             "nivcsw": self.nivcsw},
                "state": state}


def numbers(runset, count):
    """Each run's EVIDENCE as floats, a row a run in the set's order, NaN
    where the file has none or not a number."""
    values = np.full((count, len(runfile.EVIDENCE)), np.nan)
    rows = [r for session in runset.evidence or () for r in session]
    if len(rows) != count:
        return values
    # Column by column, skipping the empty ones: a fleet's files may hold
    # a million values, most of them empty in files without evidence.
    for k, column in enumerate(zip(*rows)):
        if any(column):
            try:
                values[:, k] = np.array(column, dtype=float)
            except ValueError:  # some empty, or a file edited by hand
                values[:, k] = [parsed_float(v) for v in column]
    # What no run can record, as a file edited by hand may hold: unknown.
    with np.errstate(invalid="ignore"):
        for k, column in enumerate(runfile.EVIDENCE):
            low, high = BOUNDS[column]
            values[~((values[:, k] >= low) & (values[:, k] <= high)), k] = np.nan
    return values


# The values a run may record, by column: times from 0 (a wall time above
# 0), and a clock from 1 MHz to 1 THz.
BOUNDS = {"wall_us": (1e-9, 1e18), "start_us": (0, 1e18), "cpu_us": (0, 1e18),
          "nivcsw": (0, 1e18), "steal_us": (0, 1e18), "mhz": (1, 1e6)}


def parsed_float(text):
    try:
        return float(text) if text else np.nan
    except ValueError:
        return np.nan


def median(xs):
    xs = xs[~np.isnan(xs)]
    return float(np.median(xs)) if xs.size else None


def set_evidence(runset, figures):
    """The evidence of a set whose runs, in order, are figures."""
    values = numbers(runset, len(figures))
    column = dict(zip(runfile.EVIDENCE, values.T))
    wall = column["wall_us"]
    timed = wall > 0
    with np.errstate(divide="ignore", invalid="ignore"):
        cpu = np.where(timed, column["cpu_us"] / wall, np.nan)
    # Steal moves in steps of a clock tick, 10 ms, longer than most runs:
    # most see none, so their median would hide it; the total does not.
    stolen = timed & ~np.isnan(column["steal_us"])
    steal = float(column["steal_us"][stolen].sum() / wall[stolen].sum()) if stolen.any() \
        else None
    figures = np.asarray(figures, dtype=float)
    ghz = CLOCK / figures[figures > 0]
    se = {"ghz": median_se(ghz), "cpu_share": median_se(cpu), "mhz": median_se(column["mhz"]),
          "steal_share": total_se(column["steal_us"][stolen], wall[stolen], steal)}
    return SetEvidence(median(ghz), median(cpu), steal,
                       median(column["mhz"]), median(column["nivcsw"]),
                       {f: tuple(dict.fromkeys(s[f] for s in runset.states or () if s.get(f)))
                        for f in machine.FIELDS},
                       growth(runset.states or ()), column["start_us"], se)


def median_se(xs):
    """The standard error of the median of xs, from the width of its
    distribution-free 95% interval, whatever their distribution; None below
    6 of them."""
    xs = xs[~np.isnan(xs)]
    ci = stats.median_ci(xs, 0.05) if xs.size else None
    return None if ci is None else (ci[1] - ci[0]) / (2 * 1.959963984540054)


def total_se(part, whole, share):
    """The standard error of share, the sum of part over the sum of whole,
    from the runs' own variance: that of steal in 10 ms ticks is mostly
    their coarseness, which the few runs that catch one show."""
    n = len(part)
    if n < 2:
        return None
    return math.sqrt(float(((part - share * whole) ** 2).sum()) / (n * (n - 1))) \
        / float(whole.mean())


def growth(states):
    """How often the cgroup was throttled from the first of these sessions
    to the last, as each recorded the count at its start."""
    counts = [int(s["nr_throttled"]) for s in states
              if re.fullmatch(r"[0-9]{1,19}", s.get("nr_throttled", ""))]
    return max(counts) - min(counts) if counts else None


def field_value(runset, evidence, field):
    """A set's value of a field as text: its sessions' values joined by
    " / " where they differ, UNKNOWN where none recorded one. Fields joined
    by ", " give their values joined by a space."""
    if ", " in field:
        return " ".join(field_value(runset, evidence, f) for f in field.split(", "))
    if field in ("cpu", "host", "sha256"):
        return getattr(runset, field)
    return " / ".join(evidence.state[field]) or UNKNOWN


def most_common(values):
    """The most common of the values known, or UNKNOWN where two tie."""
    top = collections.Counter(v for v in values if v != UNKNOWN).most_common(2)
    return top[0][0] if top and (len(top) == 1 or top[0][1] > top[1][1]) else UNKNOWN
