"""Where a host's series of sessions changed its level, by how much, and what
recorded changed with it.

The sessions of one bench run share that run's conditions (other work on
the host, its load, what the hypervisor gives it that day), which may move
from one run to the next: sessions of one run are not independent
observations of the host. So the unit is the bench run: the sessions that
each start within GAP_US of the end of the one before; its value is the
mean of its sessions' log medians.

Binary segmentation (A. J. Scott and M. Knott, Biometrics 30(3), 1974;
L. Y. Vostrikova, Soviet Math. Dokl. 24, 1981): of every split of a
segment into two of FEWEST runs or more, take the one whose sides' means lie
furthest apart for their sizes. It is a change when its test's p times the
number of splits it was chosen from (Bonferroni) is below alpha and the
interval of its ratio, at that level, lies beyond 1 +- margin: slower or
faster, as delayprobe-compare decides them. Each side is then searched
again. At the end every change's ratio, interval and p are taken again
between the segments on either side of it, with the same correction; one
that no longer passes is dropped and its neighbours joined, until all
pass."""

import dataclasses
import math
import typing

import numpy as np

from . import stats, store, verdicts

# Runs on either side of a change, at the least: Welch's test is liberal on
# two a side.
FEWEST = verdicts.FEWEST
# Sessions that start more than this after the previous one ended belong
# to another bench run: longer than the pauses between sessions, shorter
# than the time between runs of a cron job.
GAP_US = 30 * 60 * 1000000
NOTHING = "nothing recorded changed"
NAMES = {"sha256": "binary", "cpu": "CPU model", "cpu_max": "CPU quota"}


def test(before, after):
    """Welch's t of after against before, on the bench runs' levels: Yuen's
    test untrimmed. Each run's level is already a trimmed mean of its
    sessions, and trimming a handful of runs again costs most of the power
    to find a step (bench/rates --history)."""
    return stats.yuen(before, after, trim=0)


@dataclasses.dataclass
class Change:
    """A change between two bench runs."""
    run: int  # the first run after it
    before: int  # runs in the segment before it
    after: int  # and after it
    comparison: verdicts.Comparison  # after against before


@dataclasses.dataclass
class Found:
    """A series as the search took it, and its changes."""
    kept: typing.List[int]  # the sessions searched, by index: those with figures above 0
    firsts: typing.List[int]  # where each run begins, as an index into kept
    levels: np.ndarray  # each run's trimmed mean log median
    changes: typing.List[Change]


def runs(starts, ends, gap=GAP_US):
    """Where each bench run begins, by the index of its first session."""
    firsts, end = [0] if starts else [], None
    for k, (start, stop) in enumerate(zip(starts, ends)):
        if end is not None and start - end > gap:
            firsts.append(k)
        end = stop if end is None else max(end, stop)
    return firsts


def comparison_of(t, factor, alpha, margin):
    """The comparison a test gives at Bonferroni's factor, with its verdict;
    margin is a share."""
    c = verdicts.Comparison(0, 0, "run", t.name)
    if not t.usable:
        return c
    c.p, c.tost_p = t.p(), t.tost(margin)
    c.p_adjusted, c.tost_p_adjusted = min(1.0, c.p * factor), min(1.0, c.tost_p * factor)
    c.ci_level, c.ratio, c.ci = 1 - alpha / factor, t.ratio, t.interval(alpha, factor)
    c.significant = c.p_adjusted < alpha
    c.verdict = verdicts.decide(c, c.significant, alpha, margin)
    return c


def changed(c):
    return c.verdict in ("slower", "faster")


def search(levels, lo, hi, alpha, margin):
    """The split of levels[lo:hi] that is a change, and the number of splits
    it was chosen from; or None. The split is placed where the two sides'
    means lie furthest apart for their sizes (the largest sum of squares
    between them, as Scott and Knott), which the test, at the level of its
    own p, would not place as well: it favours a side that happens to be
    tight."""
    splits = range(lo + FEWEST, hi - FEWEST + 1)
    if not splits:
        return None
    k = max(splits, key=lambda k: (k - lo) * (hi - k) * (levels[lo:k].mean() -
                                                         levels[k:hi].mean()) ** 2)
    c = comparison_of(test(levels[lo:k], levels[k:hi]), len(splits), alpha, margin)
    return (k, len(splits)) if changed(c) else None


def segments(levels, alpha, margin):
    """The changes of levels: each split found, with the number of splits
    tried when it was found."""
    found, todo = {}, [(0, len(levels))]
    while todo:
        lo, hi = todo.pop()
        split = search(levels, lo, hi, alpha, margin)
        if split:
            found[split[0]] = split[1]
            todo += [(lo, split[0]), (split[0], hi)]
    return found


def refit(levels, found, alpha, margin):
    """Each change taken again between its neighbours, the weakest dropped
    until all pass."""
    while True:
        edges = [0] + sorted(found) + [len(levels)]
        judged = [Change(k, k - a, b - k, comparison_of(test(levels[a:k], levels[k:b]),
                                                        found[k], alpha, margin))
                  for a, k, b in zip(edges, edges[1:-1], edges[2:])]
        weak = [(c.comparison.p_adjusted or math.inf, c.run) for c in judged
                if not changed(c.comparison)]
        if not weak:
            return judged
        del found[max(weak)[1]]


def series_changes(series, alpha, margin):
    """The changes of a store.Series; margin is a share."""
    kept = [k for k, (m, bad) in enumerate(zip(series.median, series.nonpositive))
            if m > 0 and not bad]
    firsts = runs([series.start_us[k] for k in kept], [series.end_us[k] for k in kept])
    logs = np.log([series.median[k] for k in kept])
    # Each run's level as a set's in the comparisons: one disturbed session
    # of five moves it little.
    levels = np.array([stats.trimmed(logs[a:b])[0]
                       for a, b in zip(firsts, firsts[1:] + [len(kept)])])
    found = segments(levels, alpha, margin)
    return Found(kept, firsts, levels, refit(levels, found, alpha, margin) if found else [])


def why(before, after):
    """What recorded changed from the session just before a change to the one
    just after, each given as a dict of sha256 and the state's fields: each
    that both recorded and that differs, as "name old -> new"."""
    found = []
    for field in ("sha256",) + store.STATE:
        old, new = before.get(field), after.get(field)
        if old and new and old != new and "?" not in (old, new):
            if field == "sha256":
                old, new = old[:12], new[:12]
            found.append(f"{NAMES.get(field, field)} {old} -> {new}")
    return "; ".join(found) or NOTHING
