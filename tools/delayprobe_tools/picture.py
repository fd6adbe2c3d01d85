"""delayprobe-compare's picture: every set on one axis."""

import collections
import os

import matplotlib
import numpy as np

from . import output
from .text import shown
from .words import COLOURS, MARKS

# Light enough that the session medians and the centre line stand out on
# every face, the baseline's black included.
FACE = 0.3
# Past this many sets, boxes would be too thin to read.
BOXES = 40
# Past this many, names and ratios below the boxes no longer fit side by side.
LEVEL = 6
# Characters of a name below a box, or beside a dot past BOXES sets.
LONGEST = {"box": 22, "dot": 28}


def picture(path, samples, summaries, comparisons, baseline):
    """Every set on one axis, sorted by the centre that the table shows and
    coloured by verdict: boxes of the runs with each session's median over
    them, or past 40 sets, each set's centre on the middle half of its runs,
    with only the sets that differ named, so that a thousand stay readable.
    baseline is the index of the set the others are compared with, or
    "pooled"."""
    matplotlib.use("Agg")
    from matplotlib import pyplot
    matplotlib.rcParams["svg.hashsalt"] = "delayprobe"
    many = len(samples) > BOXES
    kinds = kinds_of(len(samples), comparisons, baseline)
    order = sorted(range(len(samples)), key=lambda i: summaries[i].centre)
    named = [f"{s.set} {n}" for s, n in
             zip(summaries, names(summaries, LONGEST["dot" if many else "box"]))]
    line = reference(samples, summaries, named, baseline)
    if many:
        fig, ax = pyplot.subplots(figsize=(min(18, 6 + 0.3 * len(samples)), 6))
        # Less the legend beside it.
        width = fig.get_size_inches()[0] - 4.5
        handles = dots(ax, samples, summaries, order, named, kinds, width)
    else:
        across = 1.1 if len(samples) <= LEVEL else 0.5
        fig, ax = pyplot.subplots(figsize=(min(24, 6 + across * len(samples)), 7))
        labels = [label(named[i], by_set(comparisons, i), kinds[i]) for i in order]
        handles = boxes(ax, samples, [summaries[i].centre for i in order], order, labels,
                        kinds, line[1])
    handles.insert(0, ax.axhline(line[1], color="black", linestyle="--", linewidth=1,
                                 label=line[0]))
    handles += [swatch(kind, many) for kind in COLOURS if kind in kinds]
    ax.set_ylabel("figure, µs")
    ax.set_xlabel(caption(len(samples), many, baseline, named))
    ax.legend(handles=handles, loc="upper left", bbox_to_anchor=(1.01, 1), fontsize="small")
    fig.tight_layout()
    kind = os.path.splitext(path)[1][1:].lower()
    output.save(path, lambda f: fig.savefig(
        f, format=kind, metadata={"Date": None} if kind == "svg" else None))
    pyplot.close(fig)


def kinds_of(count, comparisons, baseline):
    """Each set's verdict, "baseline" for the set the others are compared
    with, and inconclusive for a set that was not compared."""
    kinds = ["baseline" if i == baseline else "inconclusive" for i in range(count)]
    for c in comparisons:
        kinds[c.set] = c.verdict
    return kinds


def by_set(comparisons, i):
    return next((c for c in comparisons if c.set == i), None)


def plain(words):
    """words as matplotlib draws them literally: a name with two $ signs
    would otherwise be set as mathematics."""
    return shown(words).replace("$", r"\$")


def names(summaries, longest):
    """Each set's shortest name that tells it from the others: by whichever
    of file, host and binary tells the most apart (the first of them on a
    tie), with what else tells apart the sets that still share a name; each
    cut in the middle to at most longest characters while they stay
    distinct."""
    files = suffixes([s.file for s in summaries], ".csv")
    fields = [[files[s.file] for s in summaries], [shown(s.host) for s in summaries],
              [shown(s.binary) for s in summaries]]
    first = max(fields, key=lambda f: len(set(f)))
    full = differing(first) if first is fields[2] else list(first)
    for field in fields:
        groups = collections.defaultdict(list)
        for k, name in enumerate(full):
            groups[name].append(k)
        for group in groups.values():
            values = [field[k] for k in group]
            if field is first or len(set(values)) < 2:
                continue
            short = differing(values) if field is fields[2] else values
            for k, value in zip(group, short):
                full[k] += " " + value
    return shorter(full, longest)


def suffixes(paths, ending=""):
    """The fewest last parts of each path (less ending) that tell the
    different paths apart."""
    parts = {}
    for p in set(paths):
        name = shown(p)
        if ending and name.lower().endswith(ending) and len(name) > len(ending):
            name = name[:-len(ending)]
        parts[p] = [w for w in name.split("/") if w] or [name]
    taken = dict.fromkeys(parts, 1)
    while True:
        short = {p: "/".join(parts[p][-taken[p]:]) for p in parts}
        seen = collections.Counter(short.values())
        clash = [p for p in parts if seen[short[p]] > 1 and taken[p] < len(parts[p])]
        if not clash:
            return short
        for p in clash:
            taken[p] += 1


def differing(paths):
    """The parts of paths that differ, without the directories and names at
    either end that they share: build/gcc/delayprobe and build/clang/delayprobe
    are gcc and clang."""
    parts = [p.split("/") for p in paths]
    size = min(len(p) for p in parts)
    head = 0
    while head < size - 1 and len({p[head] for p in parts}) == 1:
        head += 1
    tail = 0
    while tail < size - head - 1 and len({p[-1 - tail] for p in parts}) == 1:
        tail += 1
    return ["/".join(p[head:len(p) - tail]) for p in parts]


def shorter(full, longest):
    """full, each cut in the middle to at most longest characters, and
    longer where that would make two the same."""
    limit = [longest] * len(full)
    while True:
        cut = [middle(name, n) for name, n in zip(full, limit)]
        seen = collections.Counter(cut)
        clash = [k for k, c in enumerate(cut) if seen[c] > 1 and c != full[k]]
        if not clash:
            return cut
        for k in clash:
            limit[k] += 4


def middle(name, longest):
    if len(name) <= longest:
        return name
    head = longest // 2
    return name[:head] + "…" + name[len(name) - (longest - head - 1):]


def label(name, comparison, kind):
    """A box's name, its ratio with the interval, and its verdict marked
    as the table marks it."""
    if kind == "baseline":
        return f"{plain(name)}\nbaseline"
    if comparison is None or comparison.ratio is None:
        return f"{plain(name)}\n–\n{MARKS[kind]}"
    ratio = f"{comparison.ratio:.3f}"
    if comparison.ci:
        ratio += " [" + ", ".join("–" if v is None else f"{v:.3f}"
                                  for v in comparison.ci) + "]"
    return f"{plain(name)}\n{ratio}\n{MARKS[kind]}"


def reference(samples, summaries, named, baseline):
    """The dashed line and its name: what the ratios are taken against. For
    the pool, each set is compared with the median of the others; one line
    stands for them all, the median of the centres of every set with
    figures above 0."""
    if baseline != "pooled":
        of = "centre" if summaries[baseline].sessions > 1 else "median of its runs"
        return f"{plain(named[baseline])}: {of}", summaries[baseline].centre
    centres = [s.centre for s, x in zip(summaries, samples) if x.runs.min() > 0]
    if not centres:
        return "median of all runs", float(np.median(np.concatenate([s.runs for s in samples])))
    return ("pool: median of the sets' centres\n(each set is compared with the\n"
            "others', or those of its group)"), float(np.median(centres))


def caption(count, many, baseline, named):
    against = "the pool" if baseline == "pooled" else plain(named[baseline].split(" ")[0])
    if many:
        return (f"{count} sets, by centre\n"
                "named: those that differ, and any baseline")
    return (f"{count} sets, by centre\n"
            f"under each: ratio to {against} [its interval] and verdict")


def boxes(ax, samples, middles, order, labels, kinds, line):
    """Light boxes of every run, each session's median over them, and at the
    edges the runs beyond the axis counted; the legend's entries for them.
    The line across a box is the centre the table shows (middles), of the
    session medians, so that it agrees with the points and the reference."""
    from matplotlib import cbook, colors, lines, patches, patheffects
    stats = cbook.boxplot_stats([samples[i].runs for i in order], labels=labels)
    for st, middle_ in zip(stats, middles):
        st["med"] = middle_
    outline = [patheffects.withStroke(linewidth=3.5, foreground="black")]
    drawn = ax.bxp(stats, patch_artist=True, widths=0.6,
                   medianprops={"color": "white", "linewidth": 2, "path_effects": outline},
                   flierprops={"marker": "o", "markersize": 3, "markerfacecolor": "none",
                               "markeredgecolor": "0.45"})
    for box, i in zip(drawn["boxes"], order):
        box.set_facecolor(colors.to_rgba(COLOURS[kinds[i]], FACE))
        box.set_edgecolor(COLOURS[kinds[i]])
    if len(order) > LEVEL:
        ax.tick_params(axis="x", labelrotation=90)
    ax.tick_params(axis="x", labelsize="small")
    medians = np.concatenate([samples[i].medians for i in order])
    # As in the text plot, one slow run must not squash every box: the axis
    # ends a little past the whiskers, and a count at the edge stands for
    # the runs beyond it. The session medians, which the verdicts rest on,
    # always show.
    low = min(min(st["whislo"] for st in stats), medians.min(), line)
    high = max(max(st["whishi"] for st in stats), medians.max(), line)
    pad = 0.15 * (high - low) or 1
    ax.set_ylim(low - pad, high + pad)
    sessions(ax, samples, order)
    handles = [patches.Patch(facecolor=colors.to_rgba("0.5", FACE), edgecolor="0.5",
                             label="box: middle half of all runs,\n"
                             "whiskers to 1.5 IQR, ○ runs past them"),
               lines.Line2D([], [], color="white", linewidth=2, path_effects=outline,
                            label="centre: trimmed geometric mean\nof session medians, "
                            "as in the table"),
               lines.Line2D([], [], linestyle="", marker="o", markersize=4.5,
                            markerfacecolor="black", markeredgecolor="white",
                            label="a session's median:\nwhat the verdicts compare")]
    return handles + beyond(ax, samples, order, low - pad, high + pad)


def sessions(ax, samples, order):
    """Each session's median over its set's box, spread a little sideways so
    that equal ones stay apart; the same spread every time the picture is
    drawn."""
    spread = np.random.default_rng(0)
    for x, i in enumerate(order, start=1):
        medians = samples[i].medians
        ax.scatter(x + spread.uniform(-0.14, 0.14, len(medians)), medians, s=18,
                   facecolor="black", edgecolor="white", linewidth=0.7, zorder=4)


def beyond(ax, samples, order, bottom, top):
    """A triangle at the edge and how many runs lie past it, for each set
    with runs beyond the axis; the legend's entries that say so."""
    from matplotlib import lines, transforms
    edge = transforms.blended_transform_factory(ax.transData, ax.transAxes)
    found = []
    for marker, y, past in (("^", 0.985, lambda r: r > top), ("v", 0.015, lambda r: r < bottom)):
        for x, i in enumerate(order, start=1):
            n = int(past(samples[i].runs).sum())
            if n:
                ax.plot([x], [y], marker=marker, color="0.2", markersize=5,
                        transform=edge, clip_on=False)
                ax.annotate(str(n), (x, y), xycoords=edge, xytext=(5, 0),
                            textcoords="offset points", va="center",
                            fontsize="x-small")
                if marker not in found:
                    found.append(marker)
    words = {"^": "n: runs above the axis", "v": "n: runs below the axis"}
    return [lines.Line2D([], [], linestyle="", marker=m, color="0.2", markersize=5,
                         label=words[m]) for m in found]


def dots(ax, samples, summaries, order, named, kinds, width):
    """Each set's centre on the middle half of its runs,
    naming only the sets that differ, and the baseline, above the frame."""
    from matplotlib import lines, transforms
    colours = [COLOURS[kinds[i]] for i in order]
    q1, q3 = np.array([np.percentile(samples[i].runs, [25, 75]) for i in order]).T
    med = np.array([summaries[i].centre for i in order])
    x = np.arange(1, len(order) + 1)
    ax.vlines(x, q1, q3, colors=colours, linewidth=1, alpha=0.6)
    ax.scatter(x, med, c=colours, s=8, zorder=3)
    ax.set_xlim(0, len(order) + 1)
    ax.set_xticks([])
    picked = [(rank + 1, i) for rank, i in enumerate(order)
              if kinds[i] in ("slower", "faster", "baseline")]
    # The sets that differ sit side by side at the ends: their names are
    # spread apart along the top, each led to its set's place.
    gap = len(order) * 11 / 72 / max(1.0, width)
    top = transforms.blended_transform_factory(ax.transData, ax.transAxes)
    for (at, i), to in zip(picked, spread([at for at, _ in picked], gap, 1, len(order))):
        ax.annotate(plain(named[i]), (at, 1), xycoords=top, xytext=(to, 1.08),
                    textcoords=top, ha="center", va="bottom", rotation=90,
                    fontsize="x-small", color=COLOURS[kinds[i]],
                    arrowprops={"arrowstyle": "-", "color": "0.5", "linewidth": 0.5,
                                "shrinkA": 0, "shrinkB": 0})
    return [lines.Line2D([], [], color="0.5", alpha=0.6, label="line: middle half of the runs"),
            lines.Line2D([], [], color="0.5", linestyle="", marker="o", markersize=3,
                         label="dot: centre, as in the table")]


def spread(places, gap, low, high):
    """places (in order) moved apart to at least gap, within low and high,
    or as far apart as there is room for."""
    if not places:
        return []
    gap = min(gap, (high - low) / max(1, len(places) - 1))
    found = list(places)
    for k in range(1, len(found)):
        found[k] = max(found[k], found[k - 1] + gap)
    found[-1] = min(found[-1], high)
    for k in range(len(found) - 2, -1, -1):
        found[k] = min(found[k], found[k + 1] - gap)
    found[0] = max(found[0], low)
    for k in range(1, len(found)):
        found[k] = max(found[k], found[k - 1] + gap)
    return found


def swatch(kind, many):
    """The legend's mark for a verdict, drawn as the sets of that verdict are."""
    from matplotlib import colors, lines, patches
    words = "inconclusive (~)" if kind == "inconclusive" else kind
    if many:
        return lines.Line2D([], [], color=COLOURS[kind], linestyle="", marker="o",
                            markersize=4, label=words)
    return patches.Patch(facecolor=colors.to_rgba(COLOURS[kind], FACE),
                         edgecolor=COLOURS[kind], label=words)
