"""The groups delayprobe-compare compares within: by a field the sets share,
and by architecture, never across; the comparisons within each group, the
state fields that tell a split pool's groups apart, and the state that
differs between the sets compared."""

import dataclasses
import re
import typing

from . import machine
from .evidence import NAMES, UNKNOWN, field_value, most_common
from .text import listed, shown

# What is warned of when it differs between sets compared.
WARNED = ("cpu", "governor", "boost", "kernel", "virtualization", "python")


# The state that can tell two groups of a pool apart: what a machine keeps
# from one session to the next, not the load or the throttling counts.
SEPARATING = ("cpu", "sha256") + tuple(
    f for f in machine.FIELDS
    if f not in ("nr_throttled", "throttled_us", "load_start", "load_end"))


@dataclasses.dataclass
class Group:
    value: str  # of the field the sets share
    members: typing.List[int]  # the sets' indices, in order


# Below the table when the sets ran on more than one architecture.
ARCHES = ("architectures differ: each set is compared only with sets of its own, as the loop "
          "runs other instructions on each")


def field_with_arch(field, runsets, evidences):
    """What the sets are compared within: field (None: all together), and
    their architecture too when they ran on more than one, as a figure of
    one instruction set says nothing of another's."""
    arches = {field_value(s, e, "arch") for s, e in zip(runsets, evidences)} - {UNKNOWN}
    if len(arches) < 2 or field == "arch":
        return field
    return "arch" if field is None else f"arch, {field}"


def by_value(field, runsets, evidences):
    """The sets by their value of field, in the order of their first set;
    all of them in one group without a field."""
    if field is None:
        return [Group("", list(range(len(runsets))))]
    found = {}
    for i, (s, e) in enumerate(zip(runsets, evidences)):
        found.setdefault(field_value(s, e, field), []).append(i)
    return [Group(v, members) for v, members in found.items()]


def group_comparisons(find, judge, grouped, samples, baseline, field, warn):
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


def state_warnings(grouped, runsets, evidences, pooled, field=None):
    """A line for each field of WARNED that differs between sets compared:
    within each group, against its first set or the most common value."""
    lines = []
    for g in grouped:
        where = f" in {field} {shown(g.value)}" if field else ""
        for f in WARNED:
            values = [field_value(runsets[i], evidences[i], f) for i in g.members]
            line = differing_warning(f, values, [f"#{i + 1}" for i in g.members], pooled, where)
            if line:
                lines.append(line)
    return lines


def differing_warning(field, values, names, pooled, where="", shown_values=5):
    """The warning for one field in one group (where says which), or None.
    In a pool whose most common values tie, each value is named."""
    known = [v for v in values if v != UNKNOWN]
    if len(set(known)) < 2:
        return None
    ref = most_common(values) if pooled else values[0]
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


def separating_fields(split, runsets, evidences):
    """The state fields whose values never meet between the groups of a
    Split, where every set recorded one: each as the field and the sorted
    values of the slower group and of the faster."""
    found = []
    for f in SEPARATING:
        values = [{field_value(runsets[i], evidences[i], f) for i in members}
                  for members in (split.slower, split.faster)]
        if not (UNKNOWN in values[0] | values[1] or values[0] & values[1]):
            found.append((f, sorted(values[0]), sorted(values[1])))
    return found


def separation_lines(split, fields, shown_values=3):
    """What separating found, as words: "kernel: the slower 10 run ..., the
    faster 10 run ...", or that nothing recorded separates the groups."""
    def values(f, vs):
        told = [shown(v[:12] if f == "sha256" else v) for v in vs[:shown_values]]
        more = len(vs) - shown_values
        return " or ".join(told + ([f"{more} more"] if more > 0 else []))

    return "; ".join(f"{NAMES.get(f, f)}: the slower {len(split.slower)} run {values(f, a)}, "
                     f"the faster {len(split.faster)} run {values(f, b)}"
                     for f, a, b in fields) or "nothing recorded separates them"
