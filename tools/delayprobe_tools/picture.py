"""delayprobe-compare's picture: every set on one axis."""

import os

import matplotlib
import numpy as np

from . import output
from .verdicts import MARKS

COLOURS = {"slower": "tab:red", "faster": "tab:blue", "same": "tab:green",
           "within margin": "tab:olive", "inconclusive": "tab:gray", "baseline": "black"}
# Past this many sets, boxes would be too thin to read.
BOXES = 40


def picture(path, samples, summaries, verdicts, reference):
    """Every set on one axis, sorted by median and coloured by verdict: box
    plots, or past 40 sets, each set's median on its middle half, with only
    the sets that differ named, so that a thousand stay readable."""
    matplotlib.use("Agg")
    from matplotlib import pyplot
    matplotlib.rcParams["svg.hashsalt"] = "delayprobe"
    runs = [s.runs for s in samples]
    order = sorted(range(len(samples)), key=lambda i: np.median(runs[i]))
    fig, ax = pyplot.subplots(figsize=(min(18, 6 + 0.3 * len(samples)), 6))
    if len(samples) <= BOXES:
        boxes(ax, runs, order, summaries, verdicts)
    else:
        dots(ax, runs, order, summaries, verdicts)
    ax.axhline(reference[1], color="black", linestyle="--", linewidth=1, label=reference[0])
    for verdict in COLOURS:
        if verdict in verdicts:
            ax.plot([], [], "s", color=COLOURS[verdict],
                    label="inconclusive (~)" if verdict == "inconclusive" else verdict)
    ax.set_ylabel("figure, µs")
    many = ": middle half and median; only those that differ are named"
    ax.set_xlabel(f"{len(samples)} sets, by median" + (many if len(samples) > BOXES else ""))
    ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1), fontsize="small")
    fig.tight_layout()
    kind = os.path.splitext(path)[1][1:].lower()
    output.save(path, lambda f: fig.savefig(
        f, format=kind, metadata={"Date": None} if kind == "svg" else None))
    pyplot.close(fig)


def boxes(ax, runs, order, summaries, verdicts):
    from matplotlib import cbook
    labels = [f"{summaries[i].set}\n{MARKS.get(verdicts[i], verdicts[i])}" for i in order]
    stats = cbook.boxplot_stats([runs[i] for i in order], labels=labels)
    drawn = ax.bxp(stats, patch_artist=True, widths=0.6)
    for box, i in zip(drawn["boxes"], order):
        box.set_facecolor(COLOURS[verdicts[i]])
        box.set_alpha(0.6)
    # As in the text plot, one slow run must not squash every box: the
    # axis ends a little past the whiskers, and a count at the edge
    # stands for the runs beyond it.
    low = min(st["whislo"] for st in stats)
    high = max(st["whishi"] for st in stats)
    pad = 0.15 * (high - low) or 1
    ax.set_ylim(low - pad, high + pad)
    for x, i in enumerate(order, start=1):
        for beyond, edge, va in ((runs[i] > high + pad, high + pad, "top"),
                                 (runs[i] < low - pad, low - pad, "bottom")):
            if beyond.any():
                ax.annotate(f"{int(beyond.sum())} beyond", (x, edge), ha="center",
                            va=va, fontsize="x-small")


def dots(ax, runs, order, summaries, verdicts):
    colours = [COLOURS[verdicts[i]] for i in order]
    q1, med, q3 = np.array([np.percentile(runs[i], [25, 50, 75]) for i in order]).T
    x = np.arange(1, len(order) + 1)
    ax.vlines(x, q1, q3, colors=colours, linewidth=1, alpha=0.6)
    ax.scatter(x, med, c=colours, s=8, zorder=3)
    named = [(rank, i) for rank, i in enumerate(order) if verdicts[i] in ("slower", "faster")]
    for k, (rank, i) in enumerate(named):
        # Sets that differ sit side by side at the ends: stagger their names.
        ax.annotate(f"{summaries[i].set} {summaries[i].host}", (rank + 1, q3[rank]),
                    textcoords="offset points", xytext=(0, 4 + 40 * (k % 3)),
                    ha="center", fontsize="x-small", rotation=90)
    ax.set_xticks([])
