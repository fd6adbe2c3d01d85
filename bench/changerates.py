"""How often delayprobe-history's search finds a change in a steady series
(its false-change rate, per series), and how often it finds, places and
names a step of a given size (its power): bench/rates --history.

A series is a bench run a week of 5 sessions. Each session's median is
3500 µs times exp of the week's effect (normal, sd WEEK, shared by the
sessions of a run: another neighbour, another day), of the session's own
(normal, sd 2%, as bench/rates takes it), and of its runs' noise (sd 3% in
each of 50 runs, so 1.2533 x 3% / sqrt(50) in their median); from a
chosen run on, times the step."""

import pathlib
import sys

import numpy

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tools"))
from delayprobe_tools import changes, store  # noqa: E402

WEEK_US = 7 * 86400 * 1000000
SESSION_SD = 0.02
MEDIAN_SD = 1.2533 * 0.03 / 50 ** 0.5


def series(rng, runs, step=1.0, at=7, week=0.01, sessions=5, apart_us=60000000):
    """A made-up store.Series: runs weekly runs, the step from run at (from
    0) on; sessions apart_us apart within a run."""
    starts, medians = [], []
    for r in range(runs):
        effect = rng.normal(0, week)
        for k in range(sessions):
            starts.append(r * WEEK_US + k * apart_us)
            medians.append(float(round(3500 * (step if r >= at else 1) * numpy.exp(
                effect + rng.normal(0, SESSION_SD) + rng.normal(0, MEDIAN_SD)))))
    n = len(starts)
    return store.Series("host", "./delayprobe", starts, [s + 30000000 for s in starts],
                        medians, [0] * n, [""] * n, [""] * n, [0] * n)


def found(rng, trials, margin, **shape):
    """The shares of trials with any change, and with the change placed at
    the step's run and called slower."""
    at = shape.get("at", 7)
    hits = placed = 0
    for _ in range(trials):
        s = series(rng, **shape)
        result = changes.series_changes(s, 0.05, margin / 100)
        hits += bool(result.changes)
        placed += any(result.firsts[c.run] == at * shape.get("sessions", 5) and
                      c.comparison.verdict == "slower" for c in result.changes)
    return hits / trials, placed / trials


def rows(rng, trials):
    """Each scenario: what it says, its margin, what is counted, the bound
    it must meet, and the share measured."""
    for week in (0.0, 0.01, 0.02):
        for margin in (1, 0):
            yield (f"steady, 12 runs, week sd {100 * week:g}%", margin, "any change",
                   "<= 10%", found(rng, trials, margin, runs=12, step=1.0, week=week)[0])
    yield "steady, 52 runs (a year), week sd 1%", 1, "any change", "<= 10%", \
        found(rng, trials, 1, runs=52, week=0.01)[0]
    # Were each session taken as a run of its own (an hour apart), the
    # week's effect, shared by 5 sessions, would pass for a change.
    for week in (0.01, 0.02):
        for margin in (1, 0):
            yield (f"steady, 12 runs, week sd {100 * week:g}%, each session taken as a run "
                   "of its own", margin, "any change", "(why runs are the unit)",
                   found(rng, trials, margin, runs=12, week=week, apart_us=3600000000)[0])
    for step in (1.02, 1.04, 1.08):
        for margin in (1, 0):
            hit, placed = found(rng, trials, margin, runs=12, step=step, week=0.01)
            yield (f"{100 * (step - 1):.0f}% slower from run 8 of 12, week sd 1%", margin,
                   "found at run 8, slower", ">= 90%" if step >= 1.08 else "–", placed)
    hit, placed = found(rng, trials, 1, runs=52, step=1.04, at=40, week=0.01)
    yield "4% slower from run 41 of 52, week sd 1%", 1, "found at run 41, slower", "–", placed


def main(trials, seed):
    rng = numpy.random.default_rng(seed)
    print(f"| series ({trials} trials each; 5 sessions a run, session sd 2%) | margin | "
          "counted | must be | measured |")
    print("|---|--:|---|---|--:|")
    for name, margin, counted, bound, share in rows(rng, trials):
        print(f"| {name} | {margin}% | {counted} | {bound} | {100 * share:.1f}% |", flush=True)
