"""What delayprobe-history show prints and saves: each series with its
changes, as tables and as JSON."""

import dataclasses
import datetime
import json
import typing

import numpy as np

from . import changes, store, verdicts
from .text import cell, code, number

# The shape of the JSON file: a changed meaning gets a new version.
VERSION = 1


@dataclasses.dataclass
class Reported:
    """A change as the tables and the JSON give it."""
    at_us: int  # the start of the first session after it
    session: str  # that session's id
    before: int  # sessions in the segment before it
    after: int  # and after it
    comparison: verdicts.Comparison  # after against before
    why: str


@dataclasses.dataclass
class Result:
    """A series as the tables and the JSON give it."""
    host: str
    binary: str
    sha256: str  # of its latest session
    sessions: int
    runs: int  # bench runs
    left_out: int  # sessions with figures of 0 or less, not searched
    first_us: int
    last_us: int
    median: typing.Optional[float]  # of its session medians since its last change
    changes: typing.List[Reported]


def result(db, series, found, since_us=None):
    """A store.Series and what changes.of found in it; only the changes at or
    after since_us, when given."""
    kept, firsts = found.kept, found.firsts
    bounds = [firsts[c.run] for c in found.changes]
    reported = []
    for c, first in zip(found.changes, bounds):
        after = kept[first]
        if since_us is not None and series.start_us[after] < since_us:
            continue
        edges = [0] + bounds + [len(kept)]
        k = edges.index(first)
        reported.append(Reported(series.start_us[after], series.session[after],
                                 first - edges[k - 1], edges[k + 1] - first, c.comparison,
                                 explained(db, series, found, c.run)))
    last = [series.median[k] for k in kept[bounds[-1] if bounds else 0:]]
    return Result(series.host, series.binary, series.sha256[-1], len(series.median),
                  len(firsts), len(series.median) - len(kept), series.start_us[0],
                  series.start_us[-1], float(np.median(last)) if last else None, reported)


def explained(db, series, found, run):
    """Why the level changed before bench run run: what changed from the
    session just before to the one just after; where nothing did, what
    changed between two sessions of the runs on either side, as the search
    may place a change a run off."""
    kept, firsts = found.kept, found.firsts
    first = firsts[run]
    # From the start of the run before to the start of the run after.
    after = firsts[run + 1] if run + 1 < len(firsts) else len(kept) - 1
    near = range(max(1, firsts[run - 1]), after + 1)
    for k in [first] + [k for k in near if k != first]:
        why = changes.why(recorded(db, series, kept[k - 1]), recorded(db, series, kept[k]))
        if k == first and why != changes.NOTHING:
            return why
        if why != changes.NOTHING:
            return (f"{changes.NOTHING} at it; a run {'earlier' if k < first else 'later'}, "
                    f"from {minute(series.start_us[kept[k]])}: {why}")
    return changes.NOTHING


def recorded(db, series, k):
    """Session k's binary and state, as changes.why takes them."""
    return {"sha256": series.sha256[k], **store.state(db, series.state[k])}


def utc(us):
    return datetime.datetime.fromtimestamp(us / 1e6, datetime.timezone.utc)


def minute(us):
    """A time in microseconds since 1970, as the tables give it (UTC)."""
    return utc(us).strftime("%Y-%m-%d %H:%M")


def instant(us):
    """A time in microseconds since 1970, as the JSON gives it."""
    return utc(us).strftime("%Y-%m-%dT%H:%M:%SZ")


def ratio_cells(c):
    """The ratio, its interval, the verdict and p as the tables give them."""
    p = c.p_adjusted
    return [f"{c.ratio:.3f}",
            "[" + ", ".join("–" if v is None else f"{v:.3f}" for v in c.ci) + "]",
            verdicts.MARKS[c.verdict], "<1e-300" if p < 1e-300 else f"{p:.3g}"]


def changes_table(results):
    """A row a change, in order of series and time."""
    lines = ["| host | binary | at (UTC) | sessions before | after | ratio after/before | CI "
             "| verdict | why | p |",
             "|---|---|---|--:|--:|--:|---|---|---|--:|"]
    for r in results:
        for c in r.changes:
            ratio, ci, verdict, p = ratio_cells(c.comparison)
            lines.append("| " + " | ".join([
                cell(r.host), code(r.binary), minute(c.at_us), str(c.before), str(c.after),
                ratio, ci, verdict, cell(c.why), p]) + " |")
    return lines


def series_table(results):
    """A row a series."""
    lines = ["| host | binary | sha256 | sessions | bench runs | first (UTC) | last (UTC) "
             "| median µs since the last change | changes |",
             "|---|---|---|--:|--:|---|---|--:|--:|"]
    for r in results:
        lines.append("| " + " | ".join([
            cell(r.host), code(r.binary), cell(r.sha256[:12]), str(r.sessions), str(r.runs),
            minute(r.first_us), minute(r.last_us),
            "–" if r.median is None else number(r.median), str(len(r.changes))]) + " |")
    return lines


def notes(results, alpha, margin, since_us):
    """The lines below the tables: what was searched, and what was not."""
    level = f"{100 * (1 - alpha):g}%"
    lines = [f"changes: where a series' level moved beyond {number(margin)}%, by binary "
             f"segmentation of its bench runs with Welch's t test, at {level} after "
             "Bonferroni's correction for the splits each was chosen from; ratio: of the "
             "geometric means of the runs' levels after and before, between the "
             "changes on either side; its interval and p are corrected likewise"]
    if since_us is not None:
        lines.append(f"changes from {minute(since_us)} UTC on")
    short = sum(r.runs < 2 * changes.FEWEST for r in results)
    if short:
        lines.append(f"{short} of {len(results)} series: fewer than {2 * changes.FEWEST} "
                     "bench runs, too few to find a change in")
    bad = sum(r.left_out for r in results)
    if bad:
        lines.append(f"{bad} sessions with figures of 0 or less (the clock went back or "
                     "stood still) left out")
    return lines


def document(results, alpha, margin, since_us):
    """The JSON file's text."""
    return json.dumps({
        "version": VERSION, "alpha": alpha, "margin": margin,
        "since": None if since_us is None else instant(since_us),
        "series": [{
            "host": r.host, "binary": r.binary, "sha256": r.sha256, "sessions": r.sessions,
            "runs": r.runs, "left_out": r.left_out, "first": instant(r.first_us),
            "last": instant(r.last_us), "median": r.median,
            "changes": [{
                "at": instant(c.at_us), "session": c.session, "before": c.before,
                "after": c.after, "ratio": c.comparison.ratio, "ci": list(c.comparison.ci),
                "ci_level": c.comparison.ci_level, "p": c.comparison.p_adjusted,
                "verdict": verdicts.MARKS[c.comparison.verdict], "why": c.why}
                for c in r.changes]}
            for r in results]}, indent=2, allow_nan=False) + "\n"


def changed(results, kinds):
    """Whether any change is of the kinds asked for: changed, slower, faster."""
    return any(c.comparison.verdict in kinds or "changed" in kinds
               for r in results for c in r.changes)
