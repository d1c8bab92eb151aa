"""Draws build/bench/ratios.png from build/bench/results.json: for parse and for
stringify, each contender's time over dwex's time on every table (collector
on; stringify on fresh strings, with the warm figure as a small tick), with a
dashed line at 1x. Bars above the line are contenders that dwex beats; black
marks are the goals. bench.py runs main() under an interpreter that has
matplotlib (the root's python3)."""

from __future__ import annotations

import json
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import matplotlib.ticker  # noqa: E402

OPS = ("parse", "stringify")
# The figure each panel shows: stringify is judged on fresh strings.
SHOWN = {"parse": "gc_on_ratio", "stringify": "fresh_gc_on_ratio"}


def draw(results: dict, png: Path) -> None:
    names = list(results["tables"])
    meta = results["meta"]
    fig, axes = plt.subplots(1, 2, figsize=(15, 6.4), sharey=True)
    every = [t[key] for n in names for op in OPS for t in results["tables"][n][op].values()
             for key in (SHOWN[op], "gc_on_ratio")]
    low, high = min(every), max(every)
    limits = {(g["table"], *g["bar"][:2]): g["bar"][2] for g in results.get("goals", []) if g.get("bar")}
    colors = plt.get_cmap("tab10").colors
    for ax, op in zip(axes, OPS):
        labels = [k for k in results["tables"][names[0]][op] if not k.startswith("dwex.")]
        width = 0.84 / len(labels)
        marked = warm_marked = False
        for j, label in enumerate(labels):
            xs = [i + (j - (len(labels) - 1) / 2) * width for i in range(len(names))]
            ys = [results["tables"][n][op].get(label, {}).get(SHOWN[op], float("nan")) for n in names]
            hatch = "//" if "floor" in label else None
            # Bars grow from the 1x line, so a contender faster than dwex hangs below it.
            ax.bar(xs, [y - 1 for y in ys], width * 0.92, bottom=1, label=label, color=colors[j % len(colors)],
                   hatch=hatch, edgecolor="white" if hatch else None, linewidth=0)
            for x, n, y in zip(xs, names, ys):
                limit = limits.get((n, op, label))
                if limit is not None:
                    ax.plot([x - width * 0.5, x + width * 0.5], [limit, limit], color="black", linewidth=2,
                            label="goal" if not marked else None)
                    marked = True
                if op == "stringify":
                    warm = results["tables"][n][op].get(label, {}).get("gc_on_ratio")
                    if warm is not None:
                        ax.plot([x], [warm], marker="_", color="#333333", markersize=7,
                                label="warm (same strings each call)" if not warm_marked else None)
                        warm_marked = True
                ax.annotate(f"{y:.2g}", (x, y), ha="center", va="bottom" if y >= 1 else "top", fontsize=6,
                            xytext=(0, 1 if y >= 1 else -1), textcoords="offset points")
        ax.axhline(1.0, color="black", linestyle="--", linewidth=1)
        ax.set_yscale("log")
        ax.set_ylim(min(0.8, low / 1.4), high * 1.5)
        ax.set_xticks(range(len(names)))
        ax.set_xticklabels([f"{n}\n{results['tables'][n]['info']['items']:,} items" for n in names])
        ax.set_title(f"dwex.{op}" + (" (fresh strings)" if op == "stringify" else ""))
        ax.grid(axis="y", which="both", alpha=0.25)
        ax.legend(fontsize=7, loc="upper center", bbox_to_anchor=(0.5, -0.13), ncol=4, frameon=False)
    axes[0].set_ylabel("contender time / dwex time  (log; >1: dwex faster)")
    axes[0].yaxis.set_major_formatter(matplotlib.ticker.FuncFormatter(lambda v, _: f"{v:g}x"))
    fig.suptitle("Time per call relative to dwex, garbage collector on (dashed line: 1x; black marks: goals)",
                 fontsize=12)
    commit = str(meta.get("commit", ""))[:12]
    build = meta.get("module_build", {})
    fig.text(0.01, 0.01, f"{meta['python'].split()[0]}, {meta['cpu']}, {build.get('build_type', '')} "
             f"{build.get('flags', '').split(' -std')[0]}, commit {commit}", fontsize=7, color="#555555")
    fig.tight_layout(rect=(0, 0.03, 1, 0.95))
    fig.savefig(png, dpi=110)


def main(argv: list[str]) -> None:
    """Draws the figure of results.json (argv[0]) into a PNG file (argv[1])."""
    src, png = map(Path, argv)
    draw(json.loads(src.read_text()), png)
