"""delayprobe-history's picture: each series over time, its changes marked."""

import math
import os

import matplotlib
import numpy as np

from . import historyreport, output, picture, words


def draw(path, drawn, total, changed, since_us=None):
    """A panel a series of drawn, (store.Series, changes.Found,
    historyreport.Result) each, of total series of which changed have changes
    reported: from since_us on, when given."""
    matplotlib.use("Agg")
    from matplotlib import pyplot
    matplotlib.rcParams["svg.hashsalt"] = "delayprobe"
    columns = 1 if len(drawn) <= 2 else 2 if len(drawn) <= 8 else 3
    rows = math.ceil(len(drawn) / columns)
    fig, axes = pyplot.subplots(rows, columns, figsize=(6.5 * columns, 1.2 + 2.8 * rows),
                                squeeze=False)
    for ax, (series, found, result) in zip(axes.flat, drawn):
        panel(ax, series, found, result)
    for ax in axes.flat[len(drawn):]:
        ax.set_visible(False)
    fig.suptitle(title(len(drawn), total, changed, since_us), fontsize="medium")
    fig.tight_layout()
    kind = os.path.splitext(path)[1][1:].lower()
    output.save(path, lambda f: fig.savefig(
        f, format=kind, metadata={"Date": None} if kind == "svg" else None))
    pyplot.close(fig)


def title(shown, total, changed, since_us):
    words = f"{changed} of {total} series changed"
    if since_us is not None:
        words += f" from {historyreport.minute(since_us)} UTC on (grey: changes before)"
    if shown < total:
        words += f"; {shown} drawn, the largest changes first, {total - shown} left out"
    return words + "\ndots: each session's median; lines: the level between changes"


def panel(ax, series, found, result):
    """One series: its sessions' medians, the level of each segment, and each
    change as a dashed line where it begins, with its ratio."""
    kept = found.kept
    when = [historyreport.utc(series.start_us[k]) for k in kept]
    ax.scatter(when, [series.median[k] for k in kept], s=8, color="0.35", zorder=3)
    edges = [0] + [found.firsts[c.run] for c in found.changes] + [len(kept)]
    runs = [0] + [c.run for c in found.changes] + [len(found.levels)]
    for a, b, r, s in zip(edges, edges[1:], runs, runs[1:]):
        level = float(np.exp(found.levels[r:s].mean()))
        ax.plot([when[a], when[b - 1]], [level, level], color="black", linewidth=1.5)
    shown = {c.at_us for c in result.changes}
    for c, first in zip(found.changes, edges[1:-1]):
        at = series.start_us[kept[first]]
        verdict = c.comparison.verdict
        colour = words.COLOURS[verdict] if at in shown else "0.6"
        ax.axvline(historyreport.utc(at), color=colour, linestyle="--", linewidth=1)
        ax.annotate(f"{c.comparison.ratio:.3f} {verdict}", (historyreport.utc(at), 1),
                    xycoords=("data", "axes fraction"), xytext=(3, -3),
                    textcoords="offset points", va="top", fontsize="x-small", color=colour,
                    bbox={"facecolor": "white", "edgecolor": "none", "alpha": 0.8, "pad": 1})
    ax.set_title(picture.plain(f"{result.host} · {result.binary}"), fontsize="small")
    ax.set_ylabel("figure, µs", fontsize="small")
    ax.tick_params(labelsize="x-small")
    ax.tick_params(axis="x", labelrotation=30)
