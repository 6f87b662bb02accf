"""Plot wall time and peak memory against depth from saved bench/peers.py runs.

One column per shape; time above, memory below, both on log scales; one line
per tool at the chosen thread count (peers that do not thread appear at 1).
Several files are drawn together (say, a run of every tool and a run of ours
alone at a depth the peers cannot afford); the first names the machine.

    .venv/bin/python bench/peers.py --json results.json
    .venv/bin/python bench/plot_peers.py results.json [more.json ...] [-o docs/bench/peers.png] [--threads 1]
"""

from __future__ import annotations

import argparse
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from peers import TOOLS, Row, describe, load  # noqa: E402


def series(rows: list[Row], shape: str, tool: str, threads: int) -> tuple[list[int], list[float], list[float]]:
    """Depths, median wall seconds and largest peak MB of one tool's successful runs."""
    wanted = threads if TOOLS[tool].threaded else 1
    chosen = sorted((r for r in rows if (r.shape, r.tool, r.threads) == (shape, tool, wanted)
                     and r.runs and not r.error), key=lambda r: r.depth)
    return [r.depth for r in chosen], [r.median("wall") for r in chosen], [r.peak_mb for r in chosen]


def plot(metas: list[dict], rows: list[Row], threads: int, out: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    shapes = list(dict.fromkeys(r.shape for r in rows))
    tools = list(dict.fromkeys(r.tool for r in rows))
    depths = sorted({r.depth for r in rows})
    fig, axes = plt.subplots(2, len(shapes), figsize=(4.2 * len(shapes), 7), sharex=True, squeeze=False)
    for col, shape in enumerate(shapes):
        time_ax, memory_ax = axes[0][col], axes[1][col]
        for tool in tools:
            x, walls, peaks = series(rows, shape, tool, threads)
            style = dict(marker="o", label=TOOLS[tool].label, linestyle="--" if TOOLS[tool].peer else "-")
            time_ax.plot(x, walls, **style)
            memory_ax.plot(x, peaks, **style)
        time_ax.set_title(shape)
        memory_ax.set_xlabel("depth")
        for ax in (time_ax, memory_ax):
            ax.set_xticks(depths)
            ax.set_yscale("log")
            ax.grid(True, which="both", alpha=0.3)
    axes[0][0].set_ylabel(f"wall seconds ({threads} thread{'s' if threads > 1 else ''})")
    axes[1][0].set_ylabel("peak resident MB")
    fig.legend(*axes[0][0].get_legend_handles_labels(), loc="lower center", ncol=len(tools), fontsize="small")
    fig.suptitle(describe(metas).split("\n")[0], fontsize="small")
    fig.tight_layout(rect=(0, 0.04, 1, 1))
    os.makedirs(os.path.dirname(out) or ".", exist_ok=True)
    fig.savefig(out, dpi=110)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("results", nargs="+", help="JSON files written by peers.py --json")
    parser.add_argument("-o", "--output", default=os.path.join(HERE, "..", "docs", "bench", "peers.png"))
    parser.add_argument("--threads", type=int, default=1, help="the thread count of the threaded tools to show")
    args = parser.parse_args()
    plot(*load(args.results), args.threads, args.output)
    print(os.path.normpath(args.output))


if __name__ == "__main__":
    main()
