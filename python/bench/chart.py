"""A bar chart of time ratios, for the README: one bar per contender, tevora's in blue.

    python3 chart.py FIGURES.json OUT.png

FIGURES.json holds {"xlabel": ..., "rows": [[name, ratio], ...]}. The chart
needs matplotlib, which Debian's python3 has (`make deps bench`); the
benchmarks themselves may run in an interpreter without it, so they write
their figures and this script draws them.
"""

import json
import pathlib
import sys


def draw(rows, path, xlabel):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = [name for name, _ in rows][::-1]
    ratios = [ratio for _, ratio in rows][::-1]
    colours = ["#2a7ab0" if "tevora" in name else "#999999" for name in names]
    fig, ax = plt.subplots(figsize=(8, 0.42 * len(rows) + 1))
    ax.barh(names, ratios, color=colours)
    ax.set_xscale("log")
    ax.set_xlabel(xlabel)
    for y, r in enumerate(ratios):
        ax.text(r * 1.05, y, f"{r:.2f}x", va="center", fontsize=8)
    ax.axvline(1, color="black", linewidth=0.6)
    ax.set_xlim(right=max(ratios) * 1.8)  # room for the last label
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)


def main():
    figures = json.loads(pathlib.Path(sys.argv[1]).read_text(encoding="utf-8"))
    draw(figures["rows"], pathlib.Path(sys.argv[2]), figures["xlabel"])


if __name__ == "__main__":
    main()
