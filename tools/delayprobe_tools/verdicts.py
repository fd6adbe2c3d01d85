"""Which test each comparison takes, and the verdict it gives: slower,
faster, the same within a margin, or inconclusive."""

import dataclasses
import math
import typing

import numpy as np

from . import stats

# The words of the verdicts, and the marks the table gives them.
MARKS = {"same": "same", "slower": "slower", "faster": "faster", "inconclusive": "~"}


@dataclasses.dataclass
class Sample:
    """A set's figures as the tests take them: by session, each session's
    median, and every run."""
    sessions: typing.List[np.ndarray]
    medians: np.ndarray = None
    runs: np.ndarray = None

    def __post_init__(self):
        self.sessions = [np.asarray(s, dtype=np.int64) for s in self.sessions]
        self.medians = np.array([np.median(s) for s in self.sessions])
        self.runs = np.concatenate(self.sessions)

    def unit(self, unit):
        """Its observations in a unit: each session's median, or each run."""
        return self.medians if unit == "session" else self.runs


@dataclasses.dataclass
class Comparison:
    """A set against its baseline: the test, its p before and after Holm's
    correction, and the ratio with the interval at the level the
    correction gives."""
    set: int  # the set's index
    baseline: typing.Union[int, str]  # the index of the baseline set, or "pooled"
    unit: str  # "session" or "run"
    test: str
    p: float
    p_adjusted: float = None
    ci_level: float = None
    ratio: typing.Optional[float] = None
    ci: typing.Optional[typing.Tuple[typing.Optional[float], typing.Optional[float]]] = None
    verdict: str = None

    def fields(self):
        """The comparison as the JSON file holds it."""
        return {"test": self.test, "set": self.set, "baseline": self.baseline,
                "unit": self.unit, "p": self.p, "p_adjusted": self.p_adjusted,
                "ci_level": self.ci_level, "ratio": self.ratio,
                "ci": list(self.ci) if self.ci else None, "verdict": self.verdict}


def compare(samples, baseline="first", alpha=0.05, margin=0.0, warn=lambda message: None):
    """Every comparison that baseline ("first" or "pooled") asks for, with
    its verdict; margin is in percent."""
    pooled = baseline == "pooled"
    pool = {}
    found, tests = [], []
    for i in range(len(samples)) if pooled else range(1, len(samples)):
        unit, t = test(samples, i, pool if pooled else None)
        found.append(Comparison(i, "pooled" if pooled else 0, unit, t.name, t.p_at(0.0)))
        tests.append(t)
    if not tests:
        return []
    best = min(t.best for t in tests)
    if best * len(tests) >= alpha:
        warn(f"no comparison can be significant: with these counts of runs the smallest p "
             f"is {best:.3g}, and {len(tests)} comparisons need less than "
             f"{alpha / len(tests):.3g}; take more runs")
    for c, t, factor in zip(found, tests, stats.holm([c.p for c in found])):
        judge(c, t, factor, alpha, margin / 100)
    return found


def judge(c, t, factor, alpha, margin):
    """Fill in c from its test t and Holm's factor."""
    c.p_adjusted = min(1.0, c.p * factor)
    c.ci_level = 1 - alpha / factor
    if t.span:
        c.ratio = math.exp(t.estimate)
        c.ci = stats.interval(t.p_at, t.estimate, t.span, alpha, factor)
    if c.ci and None not in c.ci and 1 - margin <= c.ci[0] and c.ci[1] <= 1 + margin:
        c.verdict = "same"
    elif c.p * factor < alpha:
        c.verdict = "slower" if t.slower else "faster"
    else:
        c.verdict = "inconclusive"


def test(samples, i, pool):
    """The unit and the test of set i against the first set, or, given a
    pool (a dict that caches it), against all the others together:
    sessions when both sides hold two or more, else runs."""
    s = samples[i]
    others = [t for j, t in enumerate(samples) if j != i] if pool is not None else [samples[0]]
    unit = "session" if len(s.sessions) > 1 and sum(len(t.sessions) for t in others) > 1 \
        else "run"
    obs = s.unit(unit)
    if pool is not None and unit not in pool:
        every = np.concatenate([t.unit(unit) for t in samples])
        pool[unit] = every, stats.tally(every)
    base = pool[unit][0] if pool is not None else samples[0].unit(unit)
    positive = base.min() > 0 and obs.min() > 0
    if unit == "session" and positive:
        if pool is not None:
            base = np.concatenate([t.unit(unit) for t in others])
        return unit, stats.means(base, obs)
    span = (math.log(obs.min() / base.max()) - 1, math.log(obs.max() / base.min()) + 1) \
        if positive else None
    return unit, ranks(base, obs, span, pool and pool[unit][1])


def ranks(base, obs, span, whole):
    """The U test of obs against base, or, given whole, the tally of every
    set's observations, against all the others: the counts against every
    set, less those against itself, and the ties of all sets together."""
    mine = stats.tally(obs)
    if whole is not None:
        counts, size = whole[2], len(base) - len(obs)

        def u(logr):
            r = math.exp(logr)
            return stats.twice_u(whole, mine, r) - stats.twice_u(mine, mine, r)
    else:
        theirs = stats.tally(base)
        counts = np.unique(np.concatenate((base, obs)), return_counts=True)[1]
        size = len(base)

        def u(logr):
            return stats.twice_u(theirs, mine, math.exp(logr))
    return stats.ranks(u, stats.null(counts, size, len(obs)), span)
