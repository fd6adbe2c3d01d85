"""Why a set is slower or faster than its baseline: the measured evidence
that explains at least half of the difference with its uncertainty (steal,
CPU share, clock), and the binary and state that differ."""

import dataclasses
import math
import typing

import numpy as np

from .evidence import MEASURED, NAMES, UNKNOWN, field_value, most_common

# The state that may explain a verdict: each changes the clock, the CPU time
# a run gets, or how the hypervisor schedules it. The Python version is left
# out: it times the process, not the loop.
CAUSES = ("cpu", "governor", "boost", "kernel", "virtualization", "cpu_max")


# A measured cause is named when it could lengthen the slower side's runs by
# half the difference or more, and by this much at the least: idle sessions
# of one machine move by 1 to 2%; and only when the evidence shows it with
# 95% confidence, one-sided: its bound Z standard errors below its estimate
# reaches that much.
HALF = 0.5


MATERIAL = 0.02


Z = 1.6448536269514722


NOTHING = "nothing recorded explains it"


UNSHOWN = "nothing shown to explain it"


@dataclasses.dataclass
class Side:
    """One side of a comparison: a set, or the pool of the others."""
    ghz: typing.Optional[float]
    cpu_share: typing.Optional[float]
    steal_share: typing.Optional[float]
    mhz: typing.Optional[float]
    throttled: typing.Optional[float]
    values: typing.Dict[str, str]  # sha256 and CAUSES, as text; UNKNOWN where none
    se: typing.Dict[str, typing.Optional[float]]  # of MEASURED, None where unknown


def side_of(members, runsets, evidences):
    """The side of these sets: a set's own, or for several, the median of
    their measures and the most common of their values."""
    def pooled(name):
        known = [getattr(evidences[i], name) for i in members]
        known = [x for x in known if x is not None]
        return float(np.median(known)) if known else None

    return Side(*(pooled(n) for n in ("ghz", "cpu_share", "steal_share", "mhz", "throttled")),
                {f: most_common([field_value(runsets[i], evidences[i], f) for i in members])
                 for f in ("sha256",) + CAUSES},
                {n: pooled_se(n, members, evidences) for n in MEASURED})


def pooled_se(name, members, evidences):
    """The standard error of a measure of these sets: a set's own; for the
    median of several, that of the median of as many draws of the larger
    of their spread and their own errors."""
    found = [(getattr(evidences[i], name), (evidences[i].se or {}).get(name))
             for i in members]
    found = [(x, se) for x, se in found if x is not None]
    if len(found) < 2 or any(se is None for _, se in found):
        return found[0][1] if len(found) == 1 else None
    values, errors = np.array(found).T
    spread = max(float(values.std(ddof=1)), float(np.sqrt((errors ** 2).mean())))
    return math.sqrt(math.pi / 2) * spread / math.sqrt(len(found))


def sides_of(c, grouped, runsets, evidences):
    """The set's side and its baseline's: for the pool, the sets its
    reference was drawn from, or the other sets of its group."""
    if c.baseline == "pooled":
        group = next(g.members for g in grouped if c.set in g.members)
        theirs = c.pool if c.pool is not None else [i for i in group if i != c.set]
    else:
        theirs = [c.baseline]
    return side_of([c.set], runsets, evidences), side_of(theirs, runsets, evidences)


def cause_of(c, mine, theirs):
    """What differs between a set (mine) and its baseline (theirs) that may
    explain a slower or faster verdict, each as "mine against theirs"; None
    for any other verdict. A faster set's measured causes are its
    baseline's, and are told from the baseline's side."""
    if c.verdict not in ("slower", "faster") or not c.ratio:
        return None
    slow, fast = (mine, theirs) if c.verdict == "slower" else (theirs, mine)
    need = max(MATERIAL, HALF * (max(c.ratio, 1 / c.ratio) - 1))
    who = None if c.verdict == "slower" else "the pool" if c.baseline == "pooled" \
        else "the baseline"
    found, unsure = [], []
    steal = gap(slow.steal_share, fast.steal_share)
    told = found if shown_beyond(steal, need, slow, fast, "steal_share") else \
        unsure if steal is not None and steal >= need else None
    if told is not None:
        told.append(f"{who} lost {share(theirs.steal_share)} of its time to steal, "
                    f"{share(mine.steal_share)} here" if who else
                    f"steal {share(mine.steal_share)} against {share(theirs.steal_share)}")
    # Stolen time is no CPU time either: what steal explains is not counted twice.
    lost = gap(fast.cpu_share, slow.cpu_share)
    lost = None if lost is None else lost - max(0.0, steal or 0.0)
    told = found if shown_beyond(lost, need, slow, fast, "cpu_share") else \
        unsure if lost is not None and lost >= need else None
    if told is not None:
        told.append(f"{who} lost {share(lost)} of its CPU to other work (CPU share "
                    f"{share(theirs.cpu_share)}, {share(mine.cpu_share)} here)" if who else
                    f"CPU share {share(mine.cpu_share)} against "
                    f"{share(theirs.cpu_share)} (preempted)")
    if clock_beyond(slow, fast, need):
        found.append(f"{who} ran at {mhz(theirs)}, {mhz(mine)} here" if who else
                     f"clock {mhz(mine)} against {mhz(theirs)}")
    found += differing_state(mine, theirs)
    if (slow.throttled or 0) > 0 and fast.throttled == 0:
        found.append(f"{who} was throttled {theirs.throttled:g} times, 0 here" if who else
                     f"throttled {mine.throttled:g} times against {theirs.throttled:g}")
    if found or not unsure:
        return "; ".join(found) or NOTHING
    # Measured as large, but too few runs (or ticks of steal) to be sure.
    return f"{UNSHOWN}; {'; '.join(unsure)}: could, but too few runs to be sure"


def gap(a, b):
    return None if a is None or b is None else a - b


def shown_beyond(difference, need, slow, fast, name):
    """Whether the difference in a measure between the sides reaches need
    at its one-sided 95% bound."""
    errors = (slow.se[name], fast.se[name])
    return difference is not None and None not in errors and \
        difference - Z * math.hypot(*errors) >= need


def clock_beyond(slow, fast, need):
    """Whether the fast side's clock is faster than the slow side's MHz by
    need or more at its one-sided 95% bound: its MHz, or without them, the
    clock its figures prove, which it ran at least at."""
    theirs, se = (fast.mhz, fast.se["mhz"]) if fast.mhz else \
        (fast.ghz * 1000, fast.se["ghz"] and fast.se["ghz"] * 1000) if fast.ghz else (None, None)
    if not (slow.mhz and theirs) or None in (se, slow.se["mhz"]):
        return False
    relative = math.hypot(se / theirs, slow.se["mhz"] / slow.mhz)
    return math.log(theirs / slow.mhz) - Z * relative >= math.log1p(need)


def mhz(s):
    return f"{s.mhz:.0f} MHz" if s.mhz else \
        f"{s.ghz * 1000:.0f} MHz at 1 cycle" if s.ghz else "–"


def share(x):
    return "–" if x is None else f"{100 * x:.1f}%"


def differing_state(mine, theirs):
    """The binary and the state that differ, where both sides recorded them."""
    found = []
    if UNKNOWN not in (mine.values["sha256"], theirs.values["sha256"]) and \
            mine.values["sha256"] != theirs.values["sha256"]:
        found.append("different binary")
    for f in CAUSES:
        a, b = mine.values[f], theirs.values[f]
        if UNKNOWN not in (a, b) and a != b:
            found.append(f"{NAMES.get(f, f)} {a} against {b}")
    return found


def causes_by_set(comparisons, grouped, runsets, evidences):
    """Each compared set's why, by its index."""
    return {c.set: cause_of(c, *sides_of(c, grouped, runsets, evidences)) for c in comparisons
            if c.verdict in ("slower", "faster")}
