"""What delayprobe-compare prints and saves: each set's summary, the table,
the notes below it, the text plot and the JSON results."""

import dataclasses
import fractions
import json
import math
import typing

import numpy as np

from . import stats, verdicts
from .evidence import share
from .text import cell, code, listed, number, raw

WIDTH = 64


@dataclasses.dataclass
class Summary:
    """One set as the table and the JSON show it."""
    set: str  # its name in the table, #1 on
    file: str
    binary: str
    sha256: str
    cpu: str
    host: str
    runs: int
    sessions: int
    median: float  # of the sessions' medians, or of the runs for a set of one session
    ci: typing.Optional[typing.Tuple[float, float]]
    outliers: int  # runs more than 3 IQR beyond the quartiles
    median_of: str  # "sessions" or "runs"

    def fields(self):
        found = dataclasses.asdict(self)
        found["ci"] = list(self.ci) if self.ci else None
        return found


def summary(name, runset, sample, alpha):
    """Of two or more sessions, the median of their medians, with the
    interval of the t test the verdicts take; of one, the median of its
    runs, with the interval that needs no assumption."""
    several = len(sample.sessions) > 1
    obs = sample.unit("session" if several else "run")
    _, _, _, low, high = fences(sample.runs, 3)
    ci = stats.log_interval(obs, alpha) if several else stats.median_ci(obs, alpha)
    return Summary(name, runset.file, runset.binary, runset.sha256, runset.cpu, runset.host,
                   len(sample.runs), len(sample.sessions), median(runset.sessions, several), ci,
                   int(((sample.runs < low) | (sample.runs > high)).sum()),
                   "sessions" if several else "runs")


def median(sessions, several):
    """The median of the sessions' medians, or of the runs: exact, in whole
    numbers and halves, where a float would round figures past 2**53."""
    if several:
        values = [exact(s) for s in sessions]
    else:
        values = [fractions.Fraction(x) for s in sessions for x in s]
    m = exact(values)
    return int(m) if m.denominator == 1 and abs(m) >= 1 << 53 else float(m)


def exact(values):
    values = sorted(values)
    half = len(values) // 2
    return fractions.Fraction(values[half]) if len(values) % 2 else \
        fractions.Fraction(values[half - 1] + values[half], 2)


def outliers(summaries):
    """The warning for sets with runs far beyond the others, or None."""
    found = [f"{s.set} ({s.outliers} of {s.runs})" for s in summaries if s.outliers]
    if found:
        return (f"runs far beyond the others (3 IQR) in {listed(found)}: other work on the "
                "machine or a changing clock speed may have disturbed them; measure on a "
                "quiet machine")
    return None


def table(summaries, comparisons, alpha, against, why=None, groups=None):
    """The table: a row a set, its ratio to against ("pool" or a set's name),
    and why (by set) it is slower or faster; with groups (by set), the
    group of each."""
    level = f"{100 * (1 - alpha):g}%"
    kinds = {s.median_of for s in summaries}
    median = f"median of {kinds.pop()}" if len(kinds) == 1 else "median"
    group = ["group"] if groups else []
    lines = ["| " + " | ".join(["set"] + group + [
                 "file", "binary", "sha256", "host", "sessions", "runs", f"{median} µs",
                 f"{level} CI", f"ratio to {against}", "CI", "verdict", "why", "p"]) + " |",
             "|---|" + "---|" * len(group) + "---|---|---|---|--:|--:|--:|---|--:|---|---|---|--:|"]
    by_set = {c.set: c for c in comparisons}
    for i, s in enumerate(summaries):
        cells = [s.set] + ([cell(groups[i])] if groups else []) + [
            cell(s.file), code(s.binary), cell(s.sha256[:12]), cell(s.host),
            str(s.sessions), str(s.runs), number(s.median),
            f"[{number(s.ci[0])}, {number(s.ci[1])}]" if s.ci else "–"]
        c = by_set.get(i)
        cells += ratio_cells(c) if c else ["–"] * 4
        reason = (why or {}).get(i)
        cells.insert(len(cells) - 1, cell(reason) if reason else "–")
        lines.append("| " + " | ".join(cells) + " |")
    return lines


def ratio_cells(c):
    p = c.p_adjusted
    return [f"{c.ratio:.3f}" if c.ratio else "–",
            "[" + ", ".join("–" if v is None else f"{v:.3f}" for v in c.ci) + "]"
            if c.ci else "–",
            verdicts.MARKS[c.verdict],
            "–" if p is None else "<1e-300" if p < 1e-300 else f"{p:.3g}"]


def evidence_table(summaries, evidences):
    """The second table: a row a set, its evidence. The clock is a bound, and
    says so in its cell. Its rows begin with no pipe, as Markdown allows, so
    that what picks the main table's rows out by "| #" finds them alone."""
    lines = ["set | clock GHz | CPU share | steal share | MHz | nivcsw",
             "---|--:|--:|--:|--:|--:"]
    for s, e in zip(summaries, evidences):
        cells = [s.set, "–" if e.ghz is None else f"≥ {e.ghz:.2f}", share(e.cpu_share),
                 share(e.steal_share), "–" if e.mhz is None else f"{e.mhz:.0f}",
                 "–" if e.nivcsw is None else number(e.nivcsw, 1)]
        lines.append(" | ".join(cells))
    return lines


def notes(summaries, comparisons, field=None, grouped=None):
    """The lines below the table: what the medians are, the CPUs, the sets
    that ran one binary, the groups by field, why some give no verdict, and
    the correction."""
    lines = []
    if len({s.median_of for s in summaries}) > 1:
        lines.append("median: of the sessions' medians; of the runs for a set of one session")
    if any(s.ci is None for s in summaries):
        lines.append("CI –: one session of fewer than 6 runs, too few for an interval")
    for cpu in sorted({s.cpu for s in summaries}):
        lines.append(f"{', '.join(s.set for s in summaries if s.cpu == cpu)}: {cell(cpu)}")
    same = {}
    for s in summaries:
        same.setdefault(s.sha256, []).append(s.set)
    for digest, group in same.items():
        if len(group) > 1 and digest != "?":
            lines.append(f"{', '.join(group)}: the same binary")
    if field:
        lines += group_notes(summaries, comparisons, field, grouped)
    why = {}
    for c in comparisons:
        if c.reason:
            why.setdefault(c.reason, []).append(summaries[c.set].set)
    lines += [f"{listed(names)}: no verdict: {reason}" for reason, names in why.items()]
    family = sum(c.p is not None and not c.reason for c in comparisons)
    info = sum(c.p is not None and bool(c.reason) for c in comparisons)
    if field and len(grouped) > 1 and family + info:
        lines.append(f"p and intervals are corrected within each group by {field} (Holm; "
                     "Bonferroni for those without a verdict), not across groups; each "
                     "interval holds its own ratio at its level, not all at once")
    elif family > 1 or info and family + info > 1:
        lines.append(f"p and intervals are corrected for {family} comparisons (Holm)" + (
            f", and the {info} without a verdict for {family + info} (Bonferroni)" if info
            else "") + "; each interval holds its own ratio at its level, not all at once")
    return lines


def group_notes(summaries, comparisons, field, grouped):
    """A line a group: its sets, and what they are compared with."""
    against = {c.set: c.baseline for c in comparisons}
    lines = []
    for g in grouped:
        names = [summaries[i].set for i in g.members]
        base = {against[i] for i in g.members if i in against}
        if len(names) == 1:
            compared = "alone, not compared"
        elif base == {"pooled"}:
            compared = "each against the others"
        else:
            compared = f"against {summaries[base.pop()].set}"
        lines.append(f"{field} {cell(g.value)}: {listed(names)} {compared}")
    return lines


def fences(xs, k=1.5):
    """Quartiles and Tukey's fences k IQR beyond them: 1.5 for the plots,
    3 for the warning, which a normal sample of a million runs rarely passes."""
    q1, med, q3 = np.percentile(xs, [25, 50, 75])
    return q1, med, q3, q1 - k * (q3 - q1), q3 + k * (q3 - q1)


def plot(runs, names):
    """ministat-style: one line per set on an axis shared by all, clipped at
    the outlier fences, so that one slow run does not squash the rest."""
    stats_ = [fences(r) for r in runs]
    lo = min(max(f[3], r.min()) for f, r in zip(stats_, runs))
    hi = max(min(f[4], r.max()) for f, r in zip(stats_, runs))
    scale = (WIDTH - 1) / (hi - lo) if hi > lo else 0

    def col(v):
        return min(WIDTH - 1, max(0, round((v - lo) * scale)))

    lines = []
    for name, (q1, med, q3, low, high), r in zip(names, stats_, runs):
        inside = r[(r >= low) & (r <= high)]
        row = [" "] * WIDTH
        for c in range(col(inside.min()), col(inside.max()) + 1):
            row[c] = "-"
        for c in range(col(q1), col(q3) + 1):
            row[c] = "="
        row[col(inside.min())], row[col(inside.max())] = "|", "|"
        row[col(q1)], row[col(q3)] = "[", "]"
        row[col(med)] = "M"
        for v in r[(r < low) | (r > high)]:
            row[col(v)] = "<" if v < lo else ">" if v > hi else "o"
        lines.append(f"{name:>5} {''.join(row)}".rstrip())
    axis = f"{number(round(lo))} µs"
    lines.append(" " * 6 + axis + f"{number(round(hi))} µs".rjust(WIDTH - len(axis)))
    return lines


# The shape of the JSON file: a changed meaning gets a new version.
VERSION = 2


def results(summaries, comparisons, alpha, margin, baseline, evidences, why,
            field=None, groups=None):
    """The JSON file's text: with each set its evidence and state, with each
    comparison its why, and with --group-by, each one's group."""
    sets = [{**s.fields(), **e.fields()} for s, e in zip(summaries, evidences)]
    found = [{**c.fields(), "why": why.get(c.set)} for c in comparisons]
    if field:
        for s, g in zip(sets, groups):
            s["group"] = g
        for c, d in zip(comparisons, found):
            d["group"] = groups[c.set]
    return json.dumps(finite({"version": VERSION, "alpha": alpha, "margin": margin,
                              "baseline": baseline, "group_by": field,
                              "sets": sets, "comparisons": found}),
                      indent=2, allow_nan=False) + "\n"


def finite(value):
    """value with every number that JSON cannot hold (inf, nan) as null, and
    every text as the bytes it came from, decoded as UTF-8 with escapes:
    the same file name gives the same text in any locale."""
    if isinstance(value, dict):
        return {k: finite(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [finite(v) for v in value]
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, str):
        return raw(value).decode("utf-8", "backslashreplace")
    return value
