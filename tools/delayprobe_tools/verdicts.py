"""Which test each comparison takes, and the verdict it gives: slower,
faster, the same within a margin, a difference within the margin, or
inconclusive."""

import dataclasses
import math
import typing

import numpy as np

from . import stats, words
from .text import listed

# The words of the verdicts, and the marks the table gives them.
MARKS = words.MARKS
# Welch's test is liberal on two sessions a side, and the interval of the
# variance of two is too wide to say anything: no verdict below three.
FEWEST = 3
# A pool is split in two only when the split's test gives p below SPLIT and
# the groups' levels differ by more than the margin and FLOOR at least: idle
# sessions of one machine move by 1 to 2%.
SPLIT = 0.01
FLOOR = 0.02
# Why a comparison gives no verdict, and the warning that says so.
WHY = {
    "clock": ("figures of 0 or less",
              "figures of 0 or less: the clock went back or stood still during those runs; "
              "no verdict is built on them, and they are left out of any pool"),
    "one session": ("one session on a side: the run-level test is information only",
                    "one session on a side: compared run by run for information only, with "
                    "no verdict, as the runs of one session drift together (the same machine "
                    "is called different by them in 78% of simulated trials with a session "
                    "sd of 2%); take 5 or more sessions (delayprobe-bench --sessions 5)"),
    "few": (f"fewer than {FEWEST} sessions on a side",
            f"fewer than {FEWEST} sessions on a side: no verdict, as the test is not to be "
            "trusted on so few; take 5 or more sessions"),
    "few pairs": (f"fewer than {FEWEST} sessions shared",
                  f"fewer than {FEWEST} sessions shared with the baseline: sets measured in "
                  "the same sessions are compared session by session, and so few give no "
                  "verdict; take 5 or more sessions"),
    "no spread": ("no spread: every session's median is the same",
                  "no spread: every session's median is the same on both sides, so nothing "
                  "says how sure a difference is; no verdict"),
    "small pool": ("fewer than two other sets to pool",
                   "--baseline pooled needs three or more sets with figures above 0, so that "
                   "each is compared with two or more others: no verdict; compare two sets "
                   "with --baseline first"),
    "no pool spread": ("too few sets of 2 or more sessions to learn the pool's spread from",
                       "--baseline pooled: too few sets of 2 or more sessions to learn the "
                       "pool's spread from: no verdict for the sets of 2 or more"),
}


@dataclasses.dataclass
class Sample:
    """A set's figures as the tests take them: by session, each session's
    id where known, each session's median, and every run."""
    sessions: typing.List[np.ndarray]
    ids: typing.Optional[typing.List[str]] = None
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
    """A set against its baseline: the test, its p before and after the
    correction for the number of comparisons, the ratio with its interval
    at the level the correction gives, and the equivalence test's p."""
    set: int  # the set's index
    baseline: typing.Union[int, str]  # the index of the baseline set, or "pooled"
    unit: str  # "session" or "run"
    # "Yuen t", "paired t", "moderated t", "U", or None for none
    test: typing.Optional[str] = None
    p: typing.Optional[float] = None
    p_adjusted: typing.Optional[float] = None
    ci_level: typing.Optional[float] = None
    ratio: typing.Optional[float] = None
    ci: typing.Optional[typing.Tuple[typing.Optional[float], typing.Optional[float]]] = None
    verdict: str = "inconclusive"
    tost_p: typing.Optional[float] = None  # that the ratio lies within the margin
    tost_p_adjusted: typing.Optional[float] = None
    reason: typing.Optional[str] = None  # why there is no verdict, if that is the cause
    significant: typing.Optional[bool] = None  # p_adjusted below alpha; None without a test
    # Against a pool: the sets its reference is the median of, and which:
    # "all", or the "slower" or "faster" group of a pool split in two.
    pool: typing.Optional[typing.List[int]] = None
    pool_name: typing.Optional[str] = None

    def fields(self):
        """The comparison as the JSON file holds it: sets by their names in
        the table, #1 on, and the verdict by its mark there."""
        return {"set": f"#{self.set + 1}",
                "baseline": self.baseline if self.baseline == "pooled" else f"#{self.baseline + 1}",
                "test": self.test, "unit": self.unit, "p": self.p, "p_adjusted": self.p_adjusted,
                "significant": self.significant, "ci_level": self.ci_level, "ratio": self.ratio,
                "ci": list(self.ci) if self.ci else None, "verdict": MARKS[self.verdict],
                "tost_p": self.tost_p, "tost_p_adjusted": self.tost_p_adjusted,
                "reason": self.reason, "pool": self.pool_name}


@dataclasses.dataclass
class Split:
    """A pool whose sets fall into two groups, by their indices; their levels,
    each the median of its sets' centres, the slower first; the p of the
    split; and whether each set is judged against the others of its own
    group, as when the smaller group holds a third of the sets or more."""
    slower: typing.List[int]
    faster: typing.List[int]
    levels: typing.Tuple[float, float]
    p: float
    within: bool

    @property
    def ratio(self):
        return self.levels[0] / self.levels[1]


def compare(samples, baseline="first", alpha=0.05, margin=0.0, warn=lambda message: None):
    """Every comparison that baseline ("first", "pooled", or the index of a
    set) asks for, with its verdict, and the Split of a pool, or None;
    margin is in percent."""
    found, split = pending_comparisons(samples, baseline, margin, warn)
    return judged(found, alpha, margin), split


def pending_comparisons(samples, baseline="first", margin=0.0, warn=lambda message: None):
    """The comparisons that baseline asks for, each with its test and why it
    gives no verdict, if it gives none, before they are judged; and the
    Split of a pool, or None. warn is told why some give no verdict."""
    clock = [int((s.runs <= 0).sum()) for s in samples]
    split = None
    if baseline == "pooled":
        found, split = pooled(samples, [not n for n in clock], margin / 100, warn)
    else:
        b = 0 if baseline == "first" else baseline
        found = [against(samples, b, i, clock[b] or clock[i])
                 for i in range(len(samples)) if i != b]
    bad = [f"#{i + 1} ({n} of {len(s.runs)})" for i, (n, s) in enumerate(zip(clock, samples))
           if n]
    if bad:
        warn(f"{listed(bad)}: {WHY['clock'][1]}")
    told = {}
    for c, _, why in found:
        if why and why != "clock":
            told.setdefault(why, []).append(f"#{c.set + 1}")
    for why, names in told.items():
        warn(WHY[why][1] if why == "small pool" else f"{listed(names)}: {WHY[why][1]}")
    return found, split


def judged(found, alpha=0.05, margin=0.0):
    """The comparisons of found, of one family however many groups they come
    from, with their verdicts; margin is in percent."""
    judge_all([c for c, _, _ in found], [t for _, t, _ in found], [w for _, _, w in found],
              alpha, margin / 100)
    return [c for c, _, _ in found]


def against(samples, b, i, clock):
    """Set i against set b: its comparison, its test, and why it gives no
    verdict, if it gives none. Sets measured in the same sessions are
    compared session by session, so that the load each session shares
    cancels."""
    x, y = samples[b], samples[i]
    if clock:
        return Comparison(i, b, "session"), None, "clock"
    if min(len(x.sessions), len(y.sessions)) < 2:
        return Comparison(i, b, "run"), runs_test(x.runs, y.runs), "one session"
    pairs = shared(x, y)
    if pairs:
        t = stats.trimmed_t(np.log([y.medians[k] / x.medians[j] for j, k in pairs]))
        return Comparison(i, b, "session"), t, "few pairs" if len(pairs) < FEWEST else spread(t)
    t = stats.yuen(np.log(x.medians), np.log(y.medians))
    return Comparison(i, b, "session"), t, spread(t)


def shared(x, y):
    """The sessions of x and y that share an id, as pairs of their indices."""
    if not x.ids or not y.ids:
        return []
    mine = {s: k for k, s in enumerate(y.ids)}
    return [(j, mine[s]) for j, s in enumerate(x.ids) if s in mine]


def spread(t):
    """Why the t test t gives no verdict, or None."""
    return "no spread" if not t.se > 0 else "few" if min(t.sizes) < FEWEST else None


def pooled(samples, fine, margin, warn):
    """Each set against the median of the others: the t test of sessions,
    or for a set of one session, the U test of its runs against those of
    the others, for information; and the Split of the pool, or None. Where
    the pool splits with a third of its sets or more on each side, each set
    of several sessions is judged against its own group. Sets with figures
    of 0 or less are left out of the pool."""
    valid = [i for i, ok in enumerate(fine) if ok]
    by_set, split = {}, None
    several = [i for i in valid if len(samples[i].sessions) > 1]
    if len(valid) >= 3 and len(several) >= 2:
        p = stats.pool([np.log(samples[i].medians) for i in valid])
        if p is not None:
            if p.spread_p < stats.SPREAD:
                warn(f"the sets' spreads of session medians differ (Bartlett's p = "
                     f"{p.spread_p:.2g}): each set is judged by its own spread, not drawn "
                     "toward the pool's, and needs more sessions to be told apart")
            at = {i: k for k, i in enumerate(valid)}
            split = split_of(p, [at[i] for i in several], several, margin)
            groups = [split.slower, split.faster] if split and split.within else [valid]
            for members, name in zip(groups, ["slower", "faster"] if len(groups) > 1
                                     else ["all"]):
                tests = stats.against(p, [at[i] for i in members])
                by_set.update((i, (t, [j for j in members if j != i], name))
                              for i, t in zip(members, tests))
    found, whole = [], None
    for i, s in enumerate(samples):
        unit = "session" if len(s.sessions) > 1 else "run"
        c = Comparison(i, "pooled", unit)
        if not fine[i] or len(valid) < 3:
            found.append((c, None, "small pool" if fine[i] else "clock"))
        elif unit == "run":
            if whole is None:
                every = np.concatenate([samples[j].runs for j in valid])
                whole = every, stats.tally(every)
            c.pool, c.pool_name = [j for j in valid if j != i], "all"
            found.append((c, runs_test(whole[0], s.runs, whole[1]), "one session"))
        elif i not in by_set:
            found.append((c, None, "no pool spread"))
        else:
            t, c.pool, c.pool_name = by_set[i]
            found.append((c, t, spread(t)))
    return found, split


def split_of(p, at, several, margin):
    """The Split of the sets several, at those places in the Pool p, or
    None where they form one group. A group is a tenth of them or more,
    and two sets at least."""
    at = np.array(at)
    if len(at) < 4:
        return None
    lower, upper, _, pv = stats.two_groups(p.levels[at], np.sqrt(p.tau2[at]),
                                           max(2, len(at) // 10))
    levels = (math.exp(float(np.median(p.levels[at[upper]]))),
              math.exp(float(np.median(p.levels[at[lower]]))))
    if not (pv < SPLIT and levels[0] / levels[1] > 1 + max(margin, FLOOR)):
        return None
    within = min(len(lower), len(upper)) >= max(3, len(at) / 3)
    return Split([several[k] for k in sorted(upper)], [several[k] for k in sorted(lower)],
                 levels, pv, within)


def judge_all(found, tests, why, alpha, margin):
    """Fill in every comparison. Those that can give a verdict are one
    family for Holm's correction, and their tests of equivalence another;
    the rest, shown for information, are corrected by Bonferroni for every
    comparison with a test."""
    live = [k for k, t in enumerate(tests) if t is not None and t.usable]
    family = [k for k in live if why[k] is None]
    factors = dict(zip(family, stats.holm([tests[k].p() for k in family])))
    tost = np.array([tests[k].tost(margin) for k in family])
    same = dict(zip(family, np.minimum(1.0, tost * stats.holm(tost))))
    for k, (c, t) in enumerate(zip(found, tests)):
        c.reason = WHY[why[k]][0] if why[k] else None
        if t is not None:
            c.test, c.ratio = t.name, t.ratio
        if k in live:
            factor = factors.get(k, len(live))
            c.p, c.tost_p = t.p(), t.tost(margin)
            c.p_adjusted, c.ci_level = min(1.0, c.p * factor), 1 - alpha / factor
            c.significant = bool(c.p_adjusted < alpha)
            c.ci = t.interval(alpha, factor)
        if k in factors:
            c.tost_p_adjusted = float(same[k])
            c.verdict = decide(c, c.p * factors[k] < alpha, alpha, margin)


def decide(c, significant, alpha, margin):
    """slower or faster only when the whole interval lies beyond the margin;
    same by the equivalence test; within margin when a difference is shown
    but is not shown to pass the margin, and its estimate lies inside it."""
    lo, hi = c.ci
    if significant and (lo > 1 + margin or hi < 1 - margin):
        return "slower" if lo > 1 else "faster"
    if c.tost_p_adjusted < alpha:
        return "same"
    if significant and 1 - margin <= c.ratio <= 1 + margin:
        return "within margin"
    return "inconclusive"


def runs_test(base, obs, whole=None):
    """The U test of the runs obs against base, or given whole, the tally of
    every set's runs, against all the others: the counts against every set,
    less those against itself, and the ties of all sets together."""
    positive = base.min() > 0 and obs.min() > 0
    span = (math.log(obs.min() / base.max()) - 1, math.log(obs.max() / base.min()) + 1) \
        if positive else None
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
