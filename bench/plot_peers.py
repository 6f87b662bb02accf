"""Plot wall time and peak memory against depth from a saved bench/peers.py run.

One column per shape; time above, memory below, both on log scales; one line
per tool at the chosen thread count (peers that do not thread appear at 1).

    .venv/bin/python bench/peers.py --json results.json
    .venv/bin/python bench/plot_peers.py results.json [more.json ...] [-o docs/bench/peers.png] [--threads 1]

Several files are drawn together (say, one run of every tool and one of our
tools alone at a depth the peers cannot afford); the first names the machine.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from peers import TOOLS, describe  # noqa: E402


def series(rows: list[dict], shape: str, tool: str, threads: int) -> tuple[list[int], list[float], list[float]]:
    """Depths, median wall seconds and largest peak MB of one tool's successful runs."""
    points = []
    for row in rows:
        wanted = threads if TOOLS[tool].threaded else 1
        runs = row["runs"]
        if (row["shape"], row["tool"], row["threads"]) != (shape, tool, wanted) or not runs:
            continue
        if any("error" in r for r in runs):
            continue
        points.append((row["depth"], statistics.median(r["wall"] for r in runs),
                       max(r["peak_kb"] for r in runs) / 1024))
    points.sort()
    return [p[0] for p in points], [p[1] for p in points], [p[2] for p in points]


def plot(results: dict, threads: int, out: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = results["rows"]
    shapes = list(dict.fromkeys(r["shape"] for r in rows))
    tools = list(dict.fromkeys(r["tool"] for r in rows))
    fig, axes = plt.subplots(2, len(shapes), figsize=(4.2 * len(shapes), 7), sharex=True, squeeze=False)
    for col, shape in enumerate(shapes):
        time_ax, memory_ax = axes[0][col], axes[1][col]
        for tool in tools:
            depths, walls, peaks = series(rows, shape, tool, threads)
            style = dict(marker="o", label=TOOLS[tool].label, linestyle="--" if TOOLS[tool].peer else "-")
            time_ax.plot(depths, walls, **style)
            memory_ax.plot(depths, peaks, **style)
        time_ax.set_title(shape)
        memory_ax.set_xlabel("depth")
        for ax in (time_ax, memory_ax):
            ax.set_xticks(sorted({r["depth"] for r in rows}))
            ax.set_yscale("log")
            ax.grid(True, which="both", alpha=0.3)
    axes[0][0].set_ylabel(f"wall seconds ({threads} thread{'s' if threads > 1 else ''})")
    axes[1][0].set_ylabel("peak resident MB")
    axes[0][-1].legend(fontsize="small")
    fig.suptitle(describe(results["meta"]).split("\n")[0], fontsize="small")
    fig.tight_layout()
    os.makedirs(os.path.dirname(out) or ".", exist_ok=True)
    fig.savefig(out, dpi=110)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("results", nargs="+", help="JSON files written by peers.py --json")
    parser.add_argument("-o", "--output", default=os.path.join(HERE, "..", "docs", "bench", "peers.png"))
    parser.add_argument("--threads", type=int, default=1, help="the thread count of the threaded tools to show")
    args = parser.parse_args()
    runs = []
    for path in args.results:
        with open(path) as f:
            runs.append(json.load(f))
    merged = {"meta": runs[0]["meta"], "rows": [row for run in runs for row in run["rows"]]}
    plot(merged, args.threads, args.output)
    print(os.path.normpath(args.output))


if __name__ == "__main__":
    main()
