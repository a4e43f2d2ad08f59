#!/usr/bin/python3
"""Plots of the dataset tables (matplotlib, no display needed).

  plots.py categories CATEGORIES_CSV PNG [--title T]   F-measure per category
  plots.py frames PER_FRAME_CSV PNG [--title T]        F-measure and FP per frame
  plots.py sweep SWEEP_CSV PNG [--title T]             F-measure per set and category
"""
import argparse
import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

from outputs import failed, output, start  # noqa: E402
from tables import read_rows  # noqa: E402


def number(text):
    return float(text) if text != "" else float("nan")


def save(fig, path):
    try:
        with output(path, binary=True) as f:
            fig.savefig(f, format="png", dpi=100)
    except OSError as e:
        failed(path, e)
    plt.close(fig)


def categories(rows, title):
    names = [r["category"] for r in rows]
    values = [number(r["F-measure"]) for r in rows]
    fig, ax = plt.subplots(figsize=(max(4, 0.6 * len(names) + 2), 4), layout="constrained")
    colours = ["tab:gray" if n == "overall" else "tab:blue" for n in names]
    bars = ax.bar(names, values, color=colours)
    ax.bar_label(bars, labels=[f"{v:.3f}" if v == v else "n/a" for v in values], fontsize=8)
    ax.set_ylim(0, 1.05)
    ax.set_ylabel("F-measure")
    ax.set_title(title or "F-measure per category")
    ax.tick_params(axis="x", labelrotation=45)
    return fig


def frames(rows, title):
    x = [int(r["frame"]) for r in rows]
    fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(8, 5), layout="constrained")
    # Frames without ground-truth foreground have no F-measure: gaps, not zeros.
    top.plot(x, [number(r["F-measure"]) for r in rows], ".", markersize=3, color="tab:blue")
    top.set_ylim(0, 1.05)
    top.set_ylabel("F-measure")
    top.set_title(title or "per frame")
    bottom.plot(x, [int(r["FP"]) for r in rows], linewidth=0.8, color="tab:red")
    bottom.set_ylabel("false positives (pixels)")
    bottom.set_xlabel("frame")
    return fig


def sweep(rows, title):
    sets = [r["set"] for r in rows]
    columns = [c for c in rows[0] if c != "set"] if rows else []
    fig, ax = plt.subplots(figsize=(max(5, 0.8 * len(sets) + 3), 4), layout="constrained")
    for c in columns:
        overall = c == "overall"
        ax.plot(sets, [number(r[c]) for r in rows], "o-", label=c,
                linewidth=2.5 if overall else 1, color="black" if overall else None)
    ax.set_ylim(0, 1.05)
    ax.set_ylabel("F-measure")
    ax.set_xlabel("switch set")
    ax.set_title(title or "F-measure per switch set")
    ax.legend(fontsize=7, loc="lower left", ncol=2)
    ax.tick_params(axis="x", labelrotation=30)
    return fig


def main(argv):
    p = argparse.ArgumentParser(prog="plots.py")
    p.add_argument("kind", choices=["categories", "frames", "sweep"])
    p.add_argument("csv")
    p.add_argument("png")
    p.add_argument("--title", default="")
    a = p.parse_args(argv)
    start(os.path.dirname(a.png))
    draw = {"categories": categories, "frames": frames, "sweep": sweep}[a.kind]
    save(draw(read_rows(a.csv), a.title), a.png)


if __name__ == "__main__":
    main(sys.argv[1:])
