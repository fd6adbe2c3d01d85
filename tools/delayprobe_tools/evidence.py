"""What the runs recorded beside their figures, as delayprobe-compare uses
it: each set's evidence (the clock its figures prove, its CPU and steal
shares, the clock and the preemptions the system told, the machine's
state), the groups of sets that share a field, what differs in state
between sets compared, and the causes that may explain a verdict."""

import collections
import dataclasses
import math
import re
import typing

import numpy as np

from . import machine, runfile, stats
from .text import listed, shown

# The loop's 5,000,000 iterations each wait for the previous increment, so
# each costs a cycle or more: F µs prove at least 5e6 / F MHz, 5000 / F GHz.
CLOCK = 5000
# What is warned of when it differs between sets compared.
WARNED = ("cpu", "governor", "boost", "kernel", "virtualization", "python")
# The state that may explain a verdict: each changes the clock, the CPU time
# a run gets, or how the hypervisor schedules it. The Python version is left
# out: it times the process, not the loop.
CAUSES = ("cpu", "governor", "boost", "kernel", "virtualization", "cpu_max")
NAMES = {"cpu": "CPU model", "cpu_max": "CPU quota", "sha256": "binary"}
# A measured cause is named when it could lengthen the slower side's runs by
# half the difference or more, and by this much at the least: idle sessions
# of one machine move by 1 to 2%; and only when the evidence shows it with
# 95% confidence, one-sided: its bound Z standard errors below its estimate
# reaches that much.
HALF = 0.5
MATERIAL = 0.02
Z = 1.6448536269514722
# The measures whose standard errors the evidence keeps.
MEASURED = ("ghz", "cpu_share", "steal_share", "mhz")
# The state that can tell two groups of a pool apart: what a machine keeps
# from one session to the next, not the load or the throttling counts.
SEPARATING = ("cpu", "sha256") + tuple(
    f for f in machine.FIELDS
    if f not in ("nr_throttled", "throttled_us", "load_start", "load_end"))
NOTHING = "nothing recorded explains it"
UNSHOWN = "nothing shown to explain it"
UNKNOWN = "?"


@dataclasses.dataclass
class Evidence:
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
                values[:, k] = [number(v) for v in column]
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


def number(text):
    try:
        return float(text) if text else np.nan
    except ValueError:
        return np.nan


def median(xs):
    xs = xs[~np.isnan(xs)]
    return float(np.median(xs)) if xs.size else None


def of(runset, figures):
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
    return Evidence(median(ghz), median(cpu), steal,
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


def value(runset, evidence, field):
    """A set's value of a field as text: its sessions' values joined by
    " / " where they differ, UNKNOWN where none recorded one. Fields joined
    by ", " give their values joined by a space."""
    if ", " in field:
        return " ".join(value(runset, evidence, f) for f in field.split(", "))
    if field in ("cpu", "host", "sha256"):
        return getattr(runset, field)
    return " / ".join(evidence.state[field]) or UNKNOWN


@dataclasses.dataclass
class Group:
    value: str  # of the field the sets share
    members: typing.List[int]  # the sets' indices, in order


# Below the table when the sets ran on more than one architecture.
ARCHES = ("architectures differ: each set is compared only with sets of its own, as the loop "
          "runs other instructions on each")


def grouping(field, runsets, evidences):
    """What the sets are compared within: field (None: all together), and
    their architecture too when they ran on more than one, as a figure of
    one instruction set says nothing of another's."""
    arches = {value(s, e, "arch") for s, e in zip(runsets, evidences)} - {UNKNOWN}
    if len(arches) < 2 or field == "arch":
        return field
    return "arch" if field is None else f"arch, {field}"


def groups(field, runsets, evidences):
    """The sets by their value of field, in the order of their first set;
    all of them in one group without a field."""
    if field is None:
        return [Group("", list(range(len(runsets))))]
    found = {}
    for i, (s, e) in enumerate(zip(runsets, evidences)):
        found.setdefault(value(s, e, field), []).append(i)
    return [Group(v, members) for v, members in found.items()]


def compare(find, judge, grouped, samples, baseline, field, warn):
    """The comparisons within each group, against its first set or its
    pool, by find(samples, baseline, warn), then judged by judge(found) as
    one family, so that more groups bring no more false alarms; their sets,
    and the sets that warnings name, renumbered as in the whole table. And
    the splits of the pools, each with its group's value."""
    found, splits = [], []
    for g in grouped:
        def told(message, g=g):
            message = re.sub(r"#([0-9]+)", lambda m: f"#{g.members[int(m[1]) - 1] + 1}",
                             message)
            warn(f"{field} {shown(g.value)}: {message}" if field else message)

        def whole(indices, g=g):
            return [g.members[j] for j in indices]
        local = baseline if field is None or baseline == "pooled" else \
            g.members.index(baseline) if baseline in g.members else 0
        some, split = find([samples[i] for i in g.members], local, told)
        for c, t, reason in some:
            c.set = g.members[c.set]
            if c.baseline != "pooled":
                c.baseline = g.members[c.baseline]
            if c.pool is not None:
                c.pool = whole(c.pool)
            found.append((c, t, reason))
        if split:
            split.slower, split.faster = whole(split.slower), whole(split.faster)
            splits.append((g.value if field else None, split))
    return judge(found), splits


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


def side(members, runsets, evidences):
    """The side of these sets: a set's own, or for several, the median of
    their measures and the most common of their values."""
    def pooled(name):
        known = [getattr(evidences[i], name) for i in members]
        known = [x for x in known if x is not None]
        return float(np.median(known)) if known else None

    return Side(*(pooled(n) for n in ("ghz", "cpu_share", "steal_share", "mhz", "throttled")),
                {f: common([value(runsets[i], evidences[i], f) for i in members])
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


def common(values):
    """The most common of the values known, or UNKNOWN where two tie."""
    top = collections.Counter(v for v in values if v != UNKNOWN).most_common(2)
    return top[0][0] if top and (len(top) == 1 or top[0][1] > top[1][1]) else UNKNOWN


def sides(c, grouped, runsets, evidences):
    """The set's side and its baseline's: for the pool, the sets its
    reference was drawn from, or the other sets of its group."""
    if c.baseline == "pooled":
        group = next(g.members for g in grouped if c.set in g.members)
        theirs = c.pool if c.pool is not None else [i for i in group if i != c.set]
    else:
        theirs = [c.baseline]
    return side([c.set], runsets, evidences), side(theirs, runsets, evidences)


def why(c, mine, theirs):
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
    found += differing(mine, theirs)
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
        f"≥ {s.ghz * 1000:.0f} MHz proven" if s.ghz else "–"


def share(x):
    return "–" if x is None else f"{100 * x:.1f}%"


def differing(mine, theirs):
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


def causes(comparisons, grouped, runsets, evidences):
    """Each compared set's why, by its index."""
    return {c.set: why(c, *sides(c, grouped, runsets, evidences)) for c in comparisons
            if c.verdict in ("slower", "faster")}


def warnings(grouped, runsets, evidences, pooled, field=None):
    """A line for each field of WARNED that differs between sets compared:
    within each group, against its first set or the most common value."""
    lines = []
    for g in grouped:
        where = f" in {field} {shown(g.value)}" if field else ""
        for f in WARNED:
            values = [value(runsets[i], evidences[i], f) for i in g.members]
            line = differ(f, values, [f"#{i + 1}" for i in g.members], pooled, where)
            if line:
                lines.append(line)
    return lines


def differ(field, values, names, pooled, where="", shown_values=5):
    """The warning for one field in one group (where says which), or None.
    In a pool whose most common values tie, each value is named."""
    known = [v for v in values if v != UNKNOWN]
    if len(set(known)) < 2:
        return None
    ref = common(values) if pooled else values[0]
    if ref == UNKNOWN and not pooled:
        return None
    by_value = {}
    for name, v in zip(names, values):
        if v not in (ref, UNKNOWN):
            by_value.setdefault(v, []).append(name)
    parts = [f"{listed(n)} {shown(v)}" for v, n in list(by_value.items())[:shown_values]]
    if len(by_value) > shown_values:
        parts.append(f"and {len(by_value) - shown_values} more values")
    first = "" if ref == UNKNOWN else f"{'most sets' if pooled else names[0]} {shown(ref)}; "
    if pooled and field == "cpu":
        return (f"the pool{where} mixes CPU models: {first}{'; '.join(parts)}: "
                "each set is measured against machines of other models; --group-by cpu "
                "compares like with like")
    return f"{NAMES.get(field, field)} differs{where}: {first}{'; '.join(parts)}"


def separating(split, runsets, evidences):
    """The state fields whose values never meet between the groups of a
    Split, where every set recorded one: each as the field and the sorted
    values of the slower group and of the faster."""
    found = []
    for f in SEPARATING:
        values = [{value(runsets[i], evidences[i], f) for i in members}
                  for members in (split.slower, split.faster)]
        if not (UNKNOWN in values[0] | values[1] or values[0] & values[1]):
            found.append((f, sorted(values[0]), sorted(values[1])))
    return found


def separation(split, fields, shown_values=3):
    """What separating found, as words: "kernel: the slower 10 run ..., the
    faster 10 run ...", or that nothing recorded separates the groups."""
    def values(f, vs):
        told = [shown(v[:12] if f == "sha256" else v) for v in vs[:shown_values]]
        more = len(vs) - shown_values
        return " or ".join(told + ([f"{more} more"] if more > 0 else []))

    return "; ".join(f"{NAMES.get(f, f)}: the slower {len(split.slower)} run {values(f, a)}, "
                     f"the faster {len(split.faster)} run {values(f, b)}"
                     for f, a, b in fields) or "nothing recorded separates them"
