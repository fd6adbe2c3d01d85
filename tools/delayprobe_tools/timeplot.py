"""delayprobe-compare's time plot: every run's figure against the time it
started, so that drift, warm-up and a busy neighbour show at a glance."""

import os

import matplotlib
import numpy as np

from . import output, picture
from .text import listed, shown

# A marker for each session of a set, in turn; a colour for each set.
MARKERS = "os^vDP*Xph<>"
# Past this many sets the colours repeat, and the legend names no more.
NAMED = 20
# Past this ratio of the slowest run to the fastest, the axis is logarithmic,
# so that runs of a busy machine and of an idle one both keep their spread.
SPAN = 4


def draw(path, samples, summaries, starts, warn):
    """Each set's runs at their start_us (starts, by set, NaN where none),
    from the set's first run on; sets without any are left out."""
    every = [points(sample, start) for sample, start in zip(samples, starts)]
    kept = [i for i, r in enumerate(every) if r[0].size]
    left = [summaries[i].set for i, r in enumerate(every) if not r[0].size]
    if left:
        warn(f"--plot-time: {listed(left)}: no start times (files of an earlier "
             "delayprobe-bench) or no figure above 0; left out")
    if not kept:
        warn(f"--plot-time: no set has start times; {shown(path)} not written")
        return
    matplotlib.use("Agg")
    from matplotlib import lines, pyplot
    matplotlib.rcParams["svg.hashsalt"] = "delayprobe"
    named = [f"{s.set} {n}" for s, n in zip(summaries, picture.names(summaries, 28))]
    runs = [every[i] for i in kept]
    span = max(r[0].max() for r in runs)
    unit, scale = ("h", 3600) if span > 36000 else ("min", 60) if span > 1800 else ("s", 1)
    palette = pyplot.get_cmap("tab10" if len(kept) <= 10 else "tab20").colors
    fig, ax = pyplot.subplots(figsize=(11, 6))
    x, y, session, colour = (np.concatenate(parts) for parts in zip(*(
        (r[0] / scale, r[1], r[2], np.full(r[1].size, k % len(palette)))
        for k, r in enumerate(runs))))
    colours = np.array(palette)[colour]
    # One call a marker and one for every median line: a fleet has thousands.
    for m in range(len(MARKERS)):
        at = session % len(MARKERS) == m
        if at.any():
            ax.scatter(x[at], y[at], s=9, c=colours[at], marker=MARKERS[m], linewidths=0.5)
    ax.hlines(*medians(runs, scale), colors=[palette[k % len(palette)] for k, r in
                                             enumerate(runs) for _ in np.unique(r[2])],
              linewidth=1.5, alpha=0.8, zorder=3)
    handles = [lines.Line2D([], [], linestyle="", marker="o", color=palette[k % len(palette)],
                            label=picture.plain(named[i]))
               for k, i in enumerate(kept[:NAMED])]
    finish(ax, handles, runs, unit, len(kept))
    fig.tight_layout()
    kind = os.path.splitext(path)[1][1:].lower()
    output.save(path, lambda f: fig.savefig(
        f, format=kind, metadata={"Date": None} if kind == "svg" else None))
    pyplot.close(fig)


def points(sample, start):
    """A set's runs with a start and a figure above 0: seconds since its
    first run, the figure, and the session's index."""
    session = np.repeat(np.arange(len(sample.sessions)), [len(s) for s in sample.sessions])
    keep = np.isfinite(start) & (sample.runs > 0)
    x = (start[keep] - start[keep].min()) / 1e6 if keep.any() else start[keep]
    return x, sample.runs[keep], session[keep]


def medians(runs, scale):
    """Each session's median, and where on the time axis it begins and ends."""
    found = []
    for x, y, session in runs:
        for m in np.unique(session):
            at = session == m
            found.append((np.median(y[at]), x[at].min() / scale, x[at].max() / scale))
    return tuple(np.array(column) for column in zip(*found))


def finish(ax, handles, runs, unit, count):
    """The axes, their names and the legend: handles name the sets."""
    from matplotlib import lines, ticker
    figures = np.concatenate([y for _, y, _ in runs])
    if figures.max() > SPAN * figures.min():
        ax.set_yscale("log")
        # Figures in µs as the tables print them, never as powers of ten.
        ax.yaxis.set_major_formatter(ticker.ScalarFormatter())
        ax.yaxis.set_minor_formatter(ticker.ScalarFormatter())
    ax.set_xlabel(f"time since the set's first run, {unit}")
    ax.set_ylabel("figure, µs")
    if count > NAMED:
        handles.append(lines.Line2D([], [], linestyle="", label=f"(the first {NAMED} of "
                                    f"{count} sets; colours repeat)"))
    sessions = max(int(s.max()) + 1 for _, _, s in runs)
    handles += [lines.Line2D([], [], linestyle="", marker=MARKERS[m], color="0.3",
                             label=f"session {m + 1}") for m in range(min(sessions, 6))]
    handles.append(lines.Line2D([], [], color="0.3", label="a session's median"))
    ax.legend(handles=handles, loc="upper left", bbox_to_anchor=(1.01, 1), fontsize="small")
