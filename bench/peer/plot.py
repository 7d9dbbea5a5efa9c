#!/usr/bin/python3
"""Draws the figures of the side-by-side benchmark (bench/peer/run.sh):
added median latency per operation and storm throughput, per side.

usage: plot.py RESULTS_DIR OUTPUT_PNG
"""
import csv
import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

OPS = [("open", "open"), ("openw", "write open"), ("exec", "exec")]
SIDES = [("floor", "floor"), ("host", "acagent host"), ("live", "live mode"),
         ("fapolicyd", "fapolicyd nice 0"), ("host_nice", "acagent host\nat its nice"),
         ("fapolicyd_nice", "fapolicyd shipped nice")]


def rows(results, name):
    with open(os.path.join(results, name)) as f:
        return list(csv.DictReader(f))


def main(results, png):
    lat = {(r["side"], r["op"]): float(r["added_p50_us"]) for r in rows(results, "peer_latency.csv")}
    rates = {}
    for r in rows(results, "peer_storm.csv"):
        rates.setdefault((r["side"], r["op"]), []).append(float(r["ops_per_s"]))
    storm = {k: sorted(v)[len(v) // 2] for k, v in rates.items()}
    sides = [(s, name) for s, name in SIDES if any(k[0] == s for k in lat)]
    fig, axes = plt.subplots(2, len(OPS), figsize=(12, 6.5))
    for col, (op, title) in enumerate(OPS):
        names = [name for _, name in sides]
        top = axes[0][col]
        top.bar(names, [lat.get((s, op), 0) for s, _ in sides], color="tab:blue")
        top.set_title(f"{title}: added median latency (µs)")
        bottom = axes[1][col]
        base = storm.get(("none", op))
        bottom.bar(names, [storm.get((s, op), 0) for s, _ in sides], color="tab:green")
        if base:
            bottom.axhline(base, color="grey", linestyle="--", label="no watcher")
            bottom.legend(fontsize=8)
        bottom.set_yscale("log")
        bottom.set_title(f"{title}: storm ops/s (4 processes, log scale)")
        for ax in (top, bottom):
            ax.tick_params(axis="x", labelrotation=30, labelsize=8)
    fig.tight_layout()
    fig.savefig(png, dpi=90)
    print(f"wrote {png}")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
