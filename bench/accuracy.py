#!/usr/bin/python3
"""Accuracy of SC-VARDO against OpenCV's background subtractors.

  accuracy.py OUTDIR SEQDIR... [--build DIR] [--set NAME=SWITCHES]... [--sets LIST]
              [--peers LIST] [--jobs N] [--sheets DIR] [--force]

Every SEQDIR (change-detection layout: input/, groundtruth/, ROI.bmp,
temporalROI.txt) is run by every method: the SC-VARDO switch sets (by
default `defaults`, no switch, and `adaptive`, --adaptive; --set adds or
replaces one, --sets picks which run, in order) through build/sc-vardo, and OpenCV's subtractors with their
default parameters (MOG2, KNN and the bgsegm module's MOG, GMG, CNT, GSOC,
LSBP; --peers picks some, --peers none leaves them out), fed the frames
from the first on, with shadows (127) counted as background. Each method's
masks for the temporal ROI go to OUTDIR/<sequence>/<method>/ and are scored
by sc-vardo-eval (eval.json, per-frame.csv beside them). A result already
there is reused unless --force is given or its switches changed.

Standard output gets one markdown table: per sequence and method, F-measure,
recall, precision and false positives, the best F of each sequence in bold.
--sheets DIR writes DIR/<sequence>.png, a small contact sheet of the
sequence's hardest frames (the most wrong pixels for the first SC-VARDO set
and the best peer together): input, ground truth, then each SC-VARDO set and
the best peer, with false positives red and misses blue.

Needs Debian's python3-opencv (cv2 with the bgsegm module), run as
/usr/bin/python3.
"""
import argparse
import concurrent.futures
import csv
import json
import os
import shlex
import subprocess
import sys

import cv2
import numpy as np

PEERS = {
    "MOG2": lambda: cv2.createBackgroundSubtractorMOG2(),
    "KNN": lambda: cv2.createBackgroundSubtractorKNN(),
    "MOG": lambda: cv2.bgsegm.createBackgroundSubtractorMOG(),
    "GMG": lambda: cv2.bgsegm.createBackgroundSubtractorGMG(),
    "CNT": lambda: cv2.bgsegm.createBackgroundSubtractorCNT(),
    "GSOC": lambda: cv2.bgsegm.createBackgroundSubtractorGSOC(),
    "LSBP": lambda: cv2.bgsegm.createBackgroundSubtractorLSBP(),
}
DEFAULT_SETS = {"defaults": [], "adaptive": ["--adaptive"]}


def temporal_roi(seq):
    with open(os.path.join(seq, "temporalROI.txt")) as f:
        first, last = (int(w) for w in f.read().split()[:2])
    return first, last


def frame_path(seq, f):
    return os.path.join(seq, "input", f"in{f:06d}.jpg")


def run_scvardo(build, seq, out, switches):
    _, last = temporal_roi(seq)
    cmd = [os.path.join(build, "sc-vardo"), os.path.join(seq, "input", "in"), "1", str(last)] + switches
    with open(os.path.join(out, "sc-vardo.log"), "w") as log:
        subprocess.run(cmd, cwd=out, stdout=log, stderr=subprocess.STDOUT, check=True)


def run_peer(name, seq, out):
    first, last = temporal_roi(seq)
    subtractor = PEERS[name]()
    for f in range(1, last + 1):
        frame = cv2.imread(frame_path(seq, f), cv2.IMREAD_COLOR)
        if frame is None:
            sys.exit(f"accuracy.py: cannot read {frame_path(seq, f)}")
        mask = subtractor.apply(frame)
        if f >= first:
            binary = np.where(mask == 255, 255, 0).astype(np.uint8)
            if not cv2.imwrite(os.path.join(out, f"bin{f:06d}.png"), binary):
                sys.exit(f"accuracy.py: cannot write a mask into {out}")


def evaluate(build, seq, out):
    result = subprocess.run(
        [os.path.join(build, "tools", "sc-vardo-eval"), out, seq, "--json",
         "--per-frame", os.path.join(out, "per-frame.csv")],
        capture_output=True, text=True)
    if result.returncode not in (0, 3):
        sys.exit(f"accuracy.py: sc-vardo-eval failed on {out}: {result.stderr.strip()}")
    with open(os.path.join(out, "eval.json"), "w") as f:
        f.write(result.stdout)
    return json.loads(result.stdout)


def job(build, seq, out, method, switches, force):
    """Runs one method on one sequence unless an up-to-date result is there."""
    stamp = os.path.join(out, "method.txt")
    what = f"{method} {shlex.join(switches) if switches is not None else 'opencv'}\n"
    if not force and os.path.exists(os.path.join(out, "eval.json")):
        with open(stamp) as f:
            if f.read() == what:
                with open(os.path.join(out, "eval.json")) as g:
                    return json.load(g)
    os.makedirs(out, exist_ok=True)
    for name in os.listdir(out):
        if name.startswith("bin") and name.endswith(".png"):
            os.remove(os.path.join(out, name))
    if switches is None:
        run_peer(method, seq, out)
    else:
        run_scvardo(build, seq, out, switches)
    result = evaluate(build, seq, out)
    with open(stamp, "w") as f:
        f.write(what)
    return result


def per_frame_errors(out):
    errors = {}
    with open(os.path.join(out, "per-frame.csv")) as f:
        for row in csv.DictReader(f):
            errors[int(row["frame"])] = int(row["FP"]) + int(row["FN"])
    return errors


def tinted(seq, out, f):
    """The frame with false positives red and misses blue, as sc-vardo-eval counts them."""
    frame = cv2.imread(frame_path(seq, f), cv2.IMREAD_COLOR)
    gt = cv2.imread(os.path.join(seq, "groundtruth", f"gt{f:06d}.png"), cv2.IMREAD_GRAYSCALE)
    roi = cv2.imread(os.path.join(seq, "ROI.bmp"), cv2.IMREAD_GRAYSCALE)
    mask = cv2.imread(os.path.join(out, f"bin{f:06d}.png"), cv2.IMREAD_GRAYSCALE)
    counted = (roi != 0) & ((gt == 0) | (gt == 50) | (gt == 255))
    fg = mask == 255
    pic = frame.copy()
    for sel, colour in (((gt == 255) & fg, (0, 200, 0)), ((gt != 255) & fg, (0, 0, 255)),
                        ((gt == 255) & ~fg, (255, 0, 0))):
        sel &= counted
        pic[sel] = (0.4 * pic[sel] + 0.6 * np.array(colour)).astype(np.uint8)
    return pic


def contact_sheet(seq, outs, names, path, count=3, width=160):
    """Rows: the `count` hardest frames; columns: input, truth, each method."""
    errors = [per_frame_errors(o) for o in outs]
    scorable = [f for f in errors[0] if all(f in e for e in errors)]
    hardest = sorted(scorable, key=lambda f: -(errors[0][f] + errors[-1][f]))[:count]
    rows = []
    for f in sorted(hardest):
        gt = cv2.imread(os.path.join(seq, "groundtruth", f"gt{f:06d}.png"), cv2.IMREAD_GRAYSCALE)
        tiles = [cv2.imread(frame_path(seq, f), cv2.IMREAD_COLOR), cv2.cvtColor(gt, cv2.COLOR_GRAY2BGR)]
        tiles += [tinted(seq, o, f) for o in outs]
        scale = width / tiles[0].shape[1]
        tiles = [cv2.resize(t, None, fx=scale, fy=scale, interpolation=cv2.INTER_AREA) for t in tiles]
        labels = [f"frame {f}", "truth"] + names
        for t, label in zip(tiles, labels):
            cv2.rectangle(t, (0, 0), (t.shape[1], 12), (0, 0, 0), -1)
            cv2.putText(t, label, (2, 10), cv2.FONT_HERSHEY_PLAIN, 0.8, (255, 255, 255), 1)
        rows.append(np.hstack(tiles))
    if rows and not cv2.imwrite(path, np.vstack(rows), [cv2.IMWRITE_PNG_COMPRESSION, 9]):
        sys.exit(f"accuracy.py: cannot write {path}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("outdir")
    ap.add_argument("sequences", nargs="+")
    ap.add_argument("--build", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build"))
    ap.add_argument("--set", action="append", default=[], metavar="NAME=SWITCHES")
    ap.add_argument("--sets")
    ap.add_argument("--peers", default=",".join(PEERS))
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--sheets")
    ap.add_argument("--force", action="store_true")
    a = ap.parse_args()

    sets = dict(DEFAULT_SETS)
    for s in a.set:
        name, _, switches = s.partition("=")
        sets[name] = shlex.split(switches)
    if a.sets:
        wanted = [n for n in a.sets.split(",") if n]
        for n in wanted:
            if n not in sets:
                sys.exit(f"accuracy.py: unknown set {n}; known: {', '.join(sets)}")
        sets = {n: sets[n] for n in wanted}
    peers = [] if a.peers == "none" else [p for p in a.peers.split(",") if p]
    for p in peers:
        if p not in PEERS:
            sys.exit(f"accuracy.py: unknown peer {p}; known: {', '.join(PEERS)}")
    build = os.path.abspath(a.build)
    methods = [(m, s) for m, s in sets.items()] + [(p, None) for p in peers]

    results = {}
    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, a.jobs)) as pool:
        futures = {}
        for seq in a.sequences:
            seq = os.path.abspath(seq)
            for method, switches in methods:
                out = os.path.join(os.path.abspath(a.outdir), os.path.basename(seq), method)
                futures[seq, method] = pool.submit(job, build, seq, out, method, switches, a.force)
        for key, fut in futures.items():
            results[key] = fut.result()

    print("| sequence | method | F-measure | recall | precision | false positives |")
    print("|---|---|---|---|---|---|")
    for seq in a.sequences:
        seq = os.path.abspath(seq)
        best = max(results[seq, m]["F-measure"] for m, _ in methods)
        for method, _ in methods:
            r = results[seq, method]
            f = f"{r['F-measure']:.3f}"
            if r["F-measure"] == best:
                f = f"**{f}**"
            print(f"| {os.path.basename(seq)} | {method} | {f} | {r['Recall']:.3f} | "
                  f"{r['Precision']:.3f} | {r['FP']} |")

    if a.sheets:
        os.makedirs(a.sheets, exist_ok=True)
        for seq in a.sequences:
            seq = os.path.abspath(seq)
            name = os.path.basename(seq)
            base = os.path.join(os.path.abspath(a.outdir), name)
            shown = list(sets)
            if peers:
                shown.append(max(peers, key=lambda p: results[seq, p]["F-measure"]))
            contact_sheet(seq, [os.path.join(base, m) for m in shown], shown,
                          os.path.join(a.sheets, f"{name}.png"))


if __name__ == "__main__":
    main()
