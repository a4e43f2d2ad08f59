#!/usr/bin/python3
"""RESULTS/index.html: the workflow's tables, charts and contact sheets on one page.

  page.py RESULTS --dataset ROOT [--sweep] [--frame-plots] NAME=SWITCHES...

Without --sweep there is one set, named "" (the argument "=SWITCHES"), whose
results are in RESULTS; with it, set NAME's are in RESULTS/NAME and the
sweep table RESULTS/sweep.csv leads. Pictures are linked as files relative
to RESULTS, so the folder can be moved or copied as a whole; the page loads
nothing from the network.
"""
import argparse
import html
import os
import sys

from outputs import start
from tables import read_rows, write_text

STYLE = """
body { font: 14px/1.45 system-ui, sans-serif; margin: 2em auto; max-width: 1300px; padding: 0 1em; color: #222; }
h1, h2, h3 { font-weight: 600; } h2 { border-bottom: 1px solid #ccc; margin-top: 2em; }
table { border-collapse: collapse; margin: .8em 0; }
th, td { border: 1px solid #ccc; padding: 2px 8px; } th { background: #f0f0f0; }
td.n { text-align: right; font-variant-numeric: tabular-nums; }
tr.overall td { font-weight: 600; background: #fafafa; }
img { max-width: 100%; height: auto; display: block; margin: .5em 0; }
.video { display: flex; flex-wrap: wrap; gap: 1em; align-items: flex-start; }
.video figure { margin: 0; flex: 1 1 560px; } .video img { width: 100%; } figcaption { color: #555; font-size: 90%; }
code { background: #f4f4f4; padding: 0 3px; }
"""


def esc(text):
    return html.escape(str(text), quote=True)


def cell(value, numeric):
    if value == "":
        return '<td class="n" title="undefined">n/a</td>'
    return f'<td class="n">{esc(value)}</td>' if numeric else f"<td>{value}</td>"


def table(header, rows, text_columns, bold=(), row_class=None):
    """rows: lists of cell texts (already escaped in the text columns);
    bold: (row, column) pairs to set in bold."""
    out = ["<table><tr>" + "".join(f"<th>{esc(h)}</th>" for h in header) + "</tr>"]
    for i, r in enumerate(rows):
        cls = f' class="{row_class(r)}"' if row_class and row_class(r) else ""
        cells = []
        for j, v in enumerate(r):
            c = cell(v, j >= text_columns)
            if (i, j) in bold:
                c = c.replace(">", "><b>", 1).replace("</td>", "</b></td>")
            cells.append(c)
        out.append(f"<tr{cls}>" + "".join(cells) + "</tr>")
    return "\n".join(out) + "</table>"


def picture(results, rel, alt, caption):
    if not os.path.isfile(os.path.join(results, rel)):
        return f"<p><i>{esc(alt)}: not made ({esc(rel)} is missing)</i></p>"
    return (f'<figure><a href="{esc(rel)}"><img src="{esc(rel)}" alt="{esc(alt)}"></a>'
            f"<figcaption>{esc(caption)}</figcaption></figure>")


def anchor(prefix, category, video):
    return esc("-".join(p for p in (prefix, category, video) if p))


def set_section(results, name, switches, frame_plots):
    base = f"{name}/" if name else ""
    top = os.path.join(results, name) if name else results
    cats = read_rows(os.path.join(top, "categories.csv"))
    videos = read_rows(os.path.join(top, "videos.csv"))
    out = [f'<h2 id="{esc(name or "results")}">{"Set " + esc(name) if name else "Results"}</h2>',
           "<p>sc-vardo switches: " + (f"<code>{esc(switches)}</code>" if switches else
                                       "the defaults") + "</p>",
           "<h3>Per category</h3>",
           "<p>Each metric is the mean over the category's videos; <b>overall</b> is the mean "
           "over categories. n/a: undefined (no ground-truth foreground or no detection), "
           "left out of the means and counted under <i>undefined</i>.</p>"]
    header = list(cats[0].keys()) if cats else []
    out.append(table(header, [[esc(r[h]) if i == 0 else r[h] for i, h in enumerate(header)]
                              for r in cats], 1,
                     row_class=lambda r: "overall" if r[0] == "overall" else ""))
    out.append(picture(results, base + "f-measure.png", "F-measure per category",
                       "F-measure per category"))
    out.append("<h3>Per video</h3>")
    header = list(videos[0].keys()) if videos else []
    rows = [[esc(r["category"]),
             f'<a href="#{anchor(name, r["category"], r["video"])}">{esc(r["video"])}</a>'] +
            [r[h] for h in header[2:]] for r in videos]
    out.append(table(header, rows, 2))
    out.append("<h3>Videos</h3><p>Contact sheets: each frame with true positives tinted "
               "green, false positives red and misses blue, beside the mask.</p>")
    for r in videos:
        c, v = r["category"], r["video"]
        f = r["F-measure"] or "n/a"
        out.append(f'<h4 id="{anchor(name, c, v)}">{esc(c)}/{esc(v)} &mdash; F-measure {esc(f)}</h4>'
                   '<div class="video">')
        if frame_plots:
            out.append(picture(results, f"{base}frames_{c}_{v}.png", f"{c}/{v} per frame",
                               "F-measure and false positives per frame"))
        out.append(picture(results, f"{base}{c}/{v}/pictures/contact-sheet.png",
                           f"{c}/{v} contact sheet", "contact sheet (overlays in "
                           f"{base}{c}/{v}/pictures)"))
        out.append("</div>")
    return "\n".join(out)


def sweep_section(results, sets):
    rows = read_rows(os.path.join(results, "sweep.csv"))
    header = list(rows[0].keys()) if rows else ["set"]
    cells = [[r[h] for h in header] for r in rows]
    bold = set()
    for j in range(1, len(header)):
        values = [float(r[j]) for r in cells if r[j] != ""]
        bold |= {(i, j) for i, r in enumerate(cells) if values and r[j] != "" and
                 float(r[j]) == max(values)}
    for r in cells:
        r[0] = f'<a href="#{esc(r[0])}">{esc(r[0])}</a>'
    out = ["<h2>Switch sets</h2>",
           "<p>Mean F-measure of each category's videos under each set; <b>overall</b> is the "
           "mean over categories. The best set of each column is in bold.</p>",
           table(header, cells, 1, bold),
           "<ul>" + "".join(f"<li><b>{esc(s)}</b>: <code>{esc(w) or 'the defaults'}</code></li>"
                            for s, w in sets) + "</ul>",
           picture(results, "sweep.png", "F-measure per switch set", "F-measure per switch set")]
    return "\n".join(out)


def main(argv):
    p = argparse.ArgumentParser(prog="page.py")
    p.add_argument("results")
    p.add_argument("--dataset", required=True)
    p.add_argument("--sweep", action="store_true")
    p.add_argument("--frame-plots", action="store_true")
    p.add_argument("sets", nargs="+", metavar="NAME=SWITCHES")
    a = p.parse_args(argv)
    start(a.results)
    sets = [tuple(s.split("=", 1)) if "=" in s else (s, "") for s in a.sets]
    parts = [f"<h1>SC-VARDO results</h1><p>Dataset <code>{esc(a.dataset)}</code>.</p>"]
    if a.sweep:
        parts.append(sweep_section(a.results, sets))
    parts += [set_section(a.results, name, switches, a.frame_plots) for name, switches in sets]
    page = ('<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">'
            '<meta name="viewport" content="width=device-width, initial-scale=1">'
            f"<title>SC-VARDO results</title><style>{STYLE}</style></head><body>\n"
            + "\n".join(parts) + "\n</body></html>\n")
    write_text(os.path.join(a.results, "index.html"), page)


if __name__ == "__main__":
    main(sys.argv[1:])
