#!/usr/bin/python3
"""Dataset tables from sc-vardo-eval results.

  tables.py videos OUTDIR JSON...        JSON = .../<category>/<video>/eval.json
      writes OUTDIR/videos.csv, OUTDIR/categories.csv and OUTDIR/table.md
  tables.py sweep OUTDIR NAME=CSV...     CSV = a set's categories.csv
      writes OUTDIR/sweep.csv and OUTDIR/sweep.md

A category's metric is the mean over its videos, the `overall` row the mean
over categories. sc-vardo-eval prints a ratio with a zero denominator as 0;
here it is undefined: left empty and out of the means, and the videos with
any undefined metric are counted in the `undefined` column.
"""
import csv
import json
import os
import sys

import outputs
from outputs import failed, output

COUNTS = ["TP", "FP", "FN", "TN"]
METRICS = ["Recall", "Specificity", "FPR", "FNR", "PWC", "Precision", "F-measure"]


def defined(k):
    """Which metrics of counts k have a nonzero denominator."""
    pos, neg, det = k["TP"] + k["FN"], k["TN"] + k["FP"], k["TP"] + k["FP"]
    return {"Recall": pos > 0, "Specificity": neg > 0, "FPR": neg > 0, "FNR": pos > 0,
            "PWC": pos + neg > 0, "Precision": det > 0, "F-measure": pos > 0 and det > 0}


def fmt(v):
    return "" if v is None else f"{v:.6f}"


def mean(values):
    values = [v for v in values if v is not None]
    return sum(values) / len(values) if values else None


def read_video(path):
    parts = os.path.normpath(os.path.abspath(path)).split(os.sep)
    if len(parts) < 3:
        sys.exit(f"tables.py: {path}: expected .../<category>/<video>/eval.json")
    try:
        with open(path) as f:
            j = json.load(f)
        row = {"category": parts[-3], "video": parts[-2]}
        row.update({c: int(j[c]) for c in COUNTS})
        ok = defined(row)
        row.update({m: float(j[m]) if ok[m] else None for m in METRICS})
    except (OSError, ValueError, KeyError, TypeError) as e:
        sys.exit(f"tables.py: cannot read {path}: {e}")
    return row


def summarise(name, rows, videos, undefined):
    # Rounded as printed, so that the overall row is the mean of the rows shown.
    out = {"category": name, "videos": videos, "undefined": undefined}
    for m in METRICS:
        v = mean(r[m] for r in rows)
        out[m] = None if v is None else float(fmt(v))
    return out


def read_rows(path):
    """A CSV file's rows as dicts; a missing file ends the calling script."""
    try:
        with open(path, newline="") as f:
            return list(csv.DictReader(f))
    except OSError as e:
        sys.exit(f"{os.path.basename(sys.argv[0])}: cannot read {path}: {e}")


def write_csv(path, header, rows):
    try:
        with output(path) as f:
            w = csv.writer(f, lineterminator="\n")
            w.writerow(header)
            w.writerows(rows)
    except OSError as e:
        failed(path, e)


def write_text(path, text):
    try:
        outputs.write_text(path, text)
    except OSError as e:
        failed(path, e)


def md_table(header, rows, right_from):
    lines = ["| " + " | ".join(header) + " |",
             "|" + "|".join("---" if i < right_from else "---:" for i in range(len(header))) + "|"]
    lines += ["| " + " | ".join(str(c) for c in r) + " |" for r in rows]
    return "\n".join(lines) + "\n"


def videos(outdir, paths):
    rows = sorted((read_video(p) for p in paths), key=lambda r: (r["category"], r["video"]))
    if not rows:
        sys.exit("tables.py: no eval.json given")
    vheader = ["category", "video"] + COUNTS + METRICS
    vrows = [[r["category"], r["video"]] + [r[c] for c in COUNTS] + [fmt(r[m]) for m in METRICS]
             for r in rows]
    cats = []
    for name in sorted({r["category"] for r in rows}):
        mine = [r for r in rows if r["category"] == name]
        undefined = sum(1 for r in mine if any(r[m] is None for m in METRICS))
        cats.append(summarise(name, mine, len(mine), undefined))
    cats.append(summarise("overall", cats, sum(c["videos"] for c in cats),
                          sum(c["undefined"] for c in cats)))
    cheader = ["category", "videos"] + METRICS + ["undefined"]
    crows = [[c["category"], c["videos"]] + [fmt(c[m]) for m in METRICS] + [c["undefined"]]
             for c in cats]
    os.makedirs(outdir, exist_ok=True)
    outputs.start(outdir)
    write_csv(os.path.join(outdir, "videos.csv"), vheader, vrows)
    write_csv(os.path.join(outdir, "categories.csv"), cheader, crows)
    md = ("# Results per category\n\n"
          "Each metric is the mean over the category's videos; `overall` is the mean over\n"
          "categories. A video whose metric is undefined (no ground-truth foreground:\n"
          "Recall, FNR, F-measure; no detection: Precision, F-measure) is left out of\n"
          "that metric's mean and counted under `undefined`.\n\n")
    md += md_table(cheader, crows, 1)
    md += "\n# Results per video\n\n" + md_table(vheader, vrows, 2)
    write_text(os.path.join(outdir, "table.md"), md)


def sweep(outdir, pairs):
    sets, table = [], {}
    for pair in pairs:
        name, sep, path = pair.partition("=")
        if not sep or not name:
            sys.exit(f"tables.py: expected NAME=CATEGORIES_CSV, got {pair}")
        try:
            with open(path, newline="") as f:
                table[name] = {r["category"]: r["F-measure"] for r in csv.DictReader(f)}
        except (OSError, KeyError) as e:
            sys.exit(f"tables.py: cannot read {path}: {e}")
        sets.append(name)
    columns = sorted({c for s in sets for c in table[s]} - {"overall"}) + ["overall"]
    rows = [[s] + [table[s].get(c, "") for c in columns] for s in sets]
    os.makedirs(outdir, exist_ok=True)
    outputs.start(outdir)
    write_csv(os.path.join(outdir, "sweep.csv"), ["set"] + columns, rows)

    best = {}
    for i, c in enumerate(columns, 1):
        values = [float(r[i]) for r in rows if r[i] != ""]
        best[c] = max(values) if values else None
    marked = [[r[0]] + [f"**{v}**" if v != "" and float(v) == best[c] else v
                        for c, v in zip(columns, r[1:])] for r in rows]
    md = ("# F-measure per switch set\n\n"
          "Mean F-measure of each category's videos under each set; `overall` is the mean\n"
          "over categories. The best set of each column is in bold.\n\n")
    md += md_table(["set"] + columns, marked, 1)
    md += "\n" + "".join(
        f"- best for {c}: {', '.join(r[0] for r in rows if r[i] != '' and float(r[i]) == best[c])}"
        f" ({best[c]:.6f})\n" for i, c in enumerate(columns, 1) if best[c] is not None)
    write_text(os.path.join(outdir, "sweep.md"), md)


def main(argv):
    if len(argv) < 3 or argv[0] not in ("videos", "sweep"):
        sys.exit("usage: tables.py videos OUTDIR JSON... | tables.py sweep OUTDIR NAME=CSV...")
    (videos if argv[0] == "videos" else sweep)(argv[1], argv[2:])


if __name__ == "__main__":
    main(sys.argv[1:])
