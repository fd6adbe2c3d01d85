"""What delayprobe-compare prints and saves: each set's summary, the table,
the notes below it, the text plot and the JSON results."""

import dataclasses
import fractions
import json
import math
import typing

import numpy as np

from . import stats, verdicts
from .causes import share
from .groups import separation_lines
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
    ci: typing.Optional[typing.Tuple[float, float]]  # the median's, that needs no assumption
    outliers: int  # runs more than 3 IQR beyond the quartiles
    median_of: str  # "sessions" or "runs"
    # The level the verdicts compare: the trimmed geometric mean of the
    # sessions' medians, with its trimmed t interval; of one session, the
    # median and its interval.
    centre: float
    centre_ci: typing.Optional[typing.Tuple[float, float]]

    def fields(self):
        found = dataclasses.asdict(self)
        for name in ("ci", "centre_ci"):
            found[name] = list(found[name]) if found[name] else None
        return found


def summary(name, runset, sample, alpha):
    """Of two or more sessions, the median of their medians, and the level
    the verdicts compare with its interval; of one, the median of its runs,
    with the interval that needs no assumption, for both."""
    several = len(sample.sessions) > 1
    obs = sample.unit("session" if several else "run")
    _, _, _, low, high = fences(sample.runs, 3)
    m = median(runset.sessions, several)
    ci = stats.median_ci(obs, alpha)
    centre, centre_ci = stats.centre(obs, alpha) if several and obs.min() > 0 else (m, ci)
    return Summary(name, runset.file, runset.binary, runset.sha256, runset.cpu, runset.host,
                   len(sample.runs), len(sample.sessions), m, ci,
                   int(((sample.runs < low) | (sample.runs > high)).sum()),
                   "sessions" if several else "runs", centre, centre_ci)


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
    why (by set) it is slower or faster, and the test; with groups (by
    set), the group of each."""
    level = f"{100 * (1 - alpha):g}%"
    group = ["group"] if groups else []
    lines = ["| " + " | ".join(["set"] + group + [
                 "file", "binary", "sha256", "host", "sessions", "runs", "centre µs",
                 f"{level} CI", f"ratio to {against}", "CI", "verdict", "why", "test", "p"]) +
             " |",
             "|---|" + "---|" * len(group) +
             "---|---|---|---|--:|--:|--:|---|--:|---|---|---|---|--:|"]
    by_set = {c.set: c for c in comparisons}
    for i, s in enumerate(summaries):
        cells = [s.set] + ([cell(groups[i])] if groups else []) + [
            cell(s.file), code(s.binary), cell(s.sha256[:12]), cell(s.host),
            str(s.sessions), str(s.runs), number(s.centre),
            f"[{number(s.centre_ci[0])}, {number(s.centre_ci[1])}]" if s.centre_ci else "–"]
        c = by_set.get(i)
        cells += ratio_cells(c) if c else ["–"] * 5
        reason = (why or {}).get(i)
        cells.insert(len(cells) - 2, cell(reason) if reason else "–")
        lines.append("| " + " | ".join(cells) + " |")
    return lines


def ratio_cells(c):
    p = c.p_adjusted
    return [f"{c.ratio:.3f}" if c.ratio else "–",
            "[" + ", ".join("–" if v is None else f"{v:.3f}" for v in c.ci) + "]"
            if c.ci else "–",
            verdicts.MARKS[c.verdict], c.test or "–",
            "–" if p is None else "<1e-300" if p < 1e-300 else f"{p:.3g}"]


def evidence_table(summaries, evidences):
    """The second table: a row a set, its evidence. The clock is a bound, and
    says so in its cell. Its rows begin with no pipe, as Markdown allows, so
    that what picks the main table's rows out by "| #" finds them alone."""
    lines = ["set | GHz at 1 cycle | CPU share | steal share | MHz | nivcsw",
             "---|--:|--:|--:|--:|--:"]
    for s, e in zip(summaries, evidences):
        cells = [s.set, "–" if e.ghz is None else f"{e.ghz:.2f}", share(e.cpu_share),
                 share(e.steal_share), "–" if e.mhz is None else f"{e.mhz:.0f}",
                 "–" if e.nivcsw is None else number(e.nivcsw, 1)]
        lines.append(" | ".join(cells))
    return lines


def notes(summaries, comparisons, field=None, grouped=None, splits=()):
    """The lines below the table: what the centres are, the CPUs, the sets
    that ran one binary, the groups by field, the pools split in two (each
    as its group's value, the Split, and the state fields that separate its
    groups), why some give no verdict, and the correction."""
    kinds = {s.median_of for s in summaries}
    lines = [
        "centre: " + "; ".join(
            ([f"the {round(100 * stats.TRIM)}% trimmed geometric mean of the sessions' "
              "medians, with its trimmed t interval"] if "sessions" in kinds else []) +
            (["of a set of one session, the median of its runs"] if "runs" in kinds else []))]
    if any(s.centre_ci is None for s in summaries):
        lines.append("CI –: one session of fewer than 6 runs, or no spread, too few for an "
                     "interval")
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
    lines += [split_note(summaries, field, *s) for s in splits]
    why = {}
    for c in comparisons:
        if c.reason:
            why.setdefault(c.reason, []).append(summaries[c.set].set)
    lines += [f"{listed(names)}: no verdict: {reason}" for reason, names in why.items()]
    family = sum(c.p is not None and not c.reason for c in comparisons)
    info = sum(c.p is not None and bool(c.reason) for c in comparisons)
    if family > 1 or info and family + info > 1:
        lines.append(f"p and intervals are corrected for {family} comparisons (Holm)" + (
            f", and the {info} without a verdict for {family + info} (Bonferroni)" if info
            else "") + "; each interval holds its own ratio at its level, not all at once")
    return lines


def split_note(summaries, field, value, split, fields):
    """The line of a pool split in two, in the group of value of field if
    any: its groups, their levels and ratio, what separates them, and what
    each set is judged against."""
    def group(word, members, level):
        return f"the {word} {len(members)} at {number(level)} µs " \
               f"({listed([summaries[i].set for i in members])})"

    where = f"{field} {cell(value)}: " if field else ""
    judged = "each set judged against the others of its group" if split.within else \
        "the smaller group holds less than a third, so each set is judged against the whole pool"
    return (f"{where}the pool falls into two groups (p = {split.p:.2g}): "
            f"{group('slower', split.slower, split.levels[0])}, "
            f"{group('faster', split.faster, split.levels[1])}, ratio {split.ratio:.3f}; "
            f"{separation_lines(split, fields)}; {judged}")


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
VERSION = 3


def results(summaries, comparisons, alpha, margin, baseline, evidences, why,
            field=None, groups=None, splits=(), twins=()):
    """The JSON file's text: with each set its evidence and state, and the
    split of its pool; with each comparison its why; with --group-by,
    each one's group; and what the twins of a calibration found."""
    sets = [{**s.fields(), **e.fields(), "split": None} for s, e in zip(summaries, evidences)]
    found = [{**c.fields(), "why": why.get(c.set)} for c in comparisons]
    for _, split, fields in splits:
        for word, members, other in (("slower", split.slower, split.faster),
                                     ("faster", split.faster, split.slower)):
            mine = 1 if word == "faster" else 0
            for i in members:
                sets[i]["split"] = {
                    "group": word, "sets": len(members), "other_sets": len(other),
                    "level": split.levels[mine], "other_level": split.levels[1 - mine],
                    "ratio": split.ratio, "p": split.p, "within": split.within,
                    "separated_by": {f: values[mine] for f, *values in fields}}
    if field:
        for s, g in zip(sets, groups):
            s["group"] = g
        for c, d in zip(comparisons, found):
            d["group"] = groups[c.set]
    return json.dumps(finite({"version": VERSION, "alpha": alpha, "margin": margin,
                              "baseline": baseline, "group_by": field,
                              "sets": sets, "comparisons": found,
                              "calibration": [t.fields() for t in twins]}),
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
