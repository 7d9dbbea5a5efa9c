#!/usr/bin/python3
"""Reads the benchmark CSV files of bench/run.sh, prints the figures the
targets of docs/performance.md are judged by, and draws docs/performance.png.

usage: plot.py RESULTS_DIR OUTPUT_PNG
"""
import csv
import os
import sys

KINDS = [
    ("exec_approved_hit", "exec, approved (cache hit)"),
    ("close_untracked", "close, untracked"),
    ("open_post_close_pre_tracked", "open-post + close-pre, tracked"),
    ("script_open_approved", "script open, approved"),
    ("mmap_approved", "mmap, approved"),
]
SERIES = [
    ("AbstractEvent/prefilled/", "AbstractEvent, pre-filled"),
    ("AbstractEvent/live/", "AbstractEvent, live /proc"),
    ("Get/", "get over the driver"),
    ("LuaPolicy/prefilled/", "Lua policy, pre-filled table"),
    ("LuaPolicy/gettest/", "Lua policy, every event via gettest"),
]
UNIT = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def read_benchmarks(results):
    """name -> dict(cpu, real: ns per event; allocs, sim_allocs per event)."""
    out = {}
    for fname in ("floor.csv", "abstract_event.csv", "get.csv", "lua_policy.csv"):
        path = os.path.join(results, fname)
        if not os.path.exists(path):
            continue
        with open(path, newline="") as f:
            lines = f.readlines()
        start = next(i for i, l in enumerate(lines) if l.startswith("name,"))
        for row in csv.DictReader(lines[start:]):
            name = row["name"]
            if row.get("error_occurred") == "true":
                print(f"warning: {name}: {row.get('error_message')}")
                continue
            if any(name.endswith(s) for s in ("_mean", "_stddev", "_cv")):
                continue
            median = name.endswith("_median")
            name = name[: -len("_median")] if median else name
            if name in out and not median:
                continue  # the median wins over single repetitions
            scale = UNIT.get(row["time_unit"], 1.0)
            per = float(row.get("events_per_iter") or 1) or 1.0
            out[name] = {
                "cpu": float(row["cpu_time"]) * scale / per,
                "real": float(row["real_time"]) * scale / per,
                "items_per_second": float(row["items_per_second"]) if row.get("items_per_second") else None,
                "allocs": float(row["allocs_per_event"]) if row.get("allocs_per_event") else None,
                "sim_allocs": float(row["sim_allocs_per_event"]) if row.get("sim_allocs_per_event") else None,
            }
    return out


def read_scaling(results):
    path = os.path.join(results, "scaling.csv")
    if not os.path.exists(path):
        return []
    with open(path, newline="") as f:
        return [
            {k: (v if k == "scenario" else float(v)) for k, v in row.items()}
            for row in csv.DictReader(f)
        ]


def engine_threads(b):
    """series -> [(threads, events per second)] of AbstractEventThreads."""
    out = {}
    for name, r in sorted(b.items()):
        if not name.startswith("AbstractEventThreads/") or not r.get("items_per_second"):
            continue
        parts = name.split("/")
        series = parts[1] + " " + parts[2]
        threads = int(parts[-1].split(":")[1])
        out.setdefault(series, []).append((threads, r["items_per_second"]))
    for points in out.values():
        points.sort()
    return out


def fmt(ns):
    return f"{ns / 1000:.2f} us" if ns >= 1000 else f"{ns:.0f} ns"


def summary(b, scaling):
    lines = []
    say = lines.append
    floor = b.get("Floor/exec_event")
    get_exec = b.get("Get/exec_approved_hit")
    say("Times are CPU time per event (user + system); wall-clock in brackets.")
    if floor and get_exec:
        say("")
        say("1. Fast path through get against the floor (exec, approved):")
        say(f"   floor {fmt(floor['cpu'])} [{fmt(floor['real'])}], get {fmt(get_exec['cpu'])} "
            f"[{fmt(get_exec['real'])}]: {get_exec['cpu'] / floor['cpu']:.2f}x "
            f"[{get_exec['real'] / floor['real']:.2f}x] (target: 1.5x at most)")
        for part in ("readlink_exe", "realpath", "stat", "sha256_path"):
            p = b.get("Floor/" + part)
            if p:
                say(f"   floor part {part}: {fmt(p['cpu'])}")
        for extra in ("getpid", "readlink_root", "poll_read_record"):
            p = b.get("Extra/" + extra)
            if p:
                say(f"   not in the floor, {extra}: {fmt(p['cpu'])}")
        live = b.get("AbstractEvent/live/exec_approved_hit")
        if live:
            say(f"   AbstractEvent alone on the live process: {fmt(live['cpu'])}: "
                f"{live['cpu'] / floor['cpu']:.2f}x the floor")
    say("")
    say("2. Against the Lua alternative, cached verdicts (target: 20x faster):")
    for key, label in KINDS:
        fast, lua = b.get("AbstractEvent/prefilled/" + key), b.get("LuaPolicy/prefilled/" + key)
        get, lua_e2e = b.get("Get/" + key), b.get("LuaPolicy/gettest/" + key)
        parts = []
        if fast and lua:
            parts.append(f"decision {fmt(fast['cpu'])} vs {fmt(lua['cpu'])}: {lua['cpu'] / fast['cpu']:.1f}x")
        if get and lua_e2e:
            parts.append(f"end to end {fmt(get['cpu'])} vs {fmt(lua_e2e['cpu'])}: "
                         f"{lua_e2e['cpu'] / get['cpu']:.1f}x")
        say(f"   {label}: " + "; ".join(parts))
    say("")
    say("3. Untracked close in AbstractEvent (target: below 1 us):")
    for s in ("prefilled", "live"):
        c = b.get(f"AbstractEvent/{s}/close_untracked")
        if c:
            say(f"   {s}: {fmt(c['cpu'])} [{fmt(c['real'])}]")
    say("")
    say("4. Heap allocations per fast-path event (target: zero), counted by the benchmark's allocator:")
    for prefix in ("AbstractEvent/prefilled/", "AbstractEvent/live/", "Get/"):
        for key, _ in KINDS:
            r = b.get(prefix + key)
            if r and r["allocs"] is not None:
                extra = ""
                if r["sim_allocs"] is not None:
                    extra = f" (simulated driver: {r['sim_allocs']:.6f})"
                say(f"   {prefix}{key}: {r['allocs']:.6f}{extra}")
    for key in ("Extra/sha256_evp_new_ctx", "Extra/sha256_evp_reused_ctx", "Extra/sha256_evp_reinit",
                "Floor/sha256_path"):
        r = b.get(key)
        if r and r["allocs"] is not None:
            say(f"   {key}: {r['allocs']:.2f} per digest, {fmt(r['cpu'])}")
    threads = engine_threads(b)
    if threads:
        say("")
        say("5a. AbstractEvent in 1, 2 and 4 threads at once (events per second, all threads):")
        for series, points in threads.items():
            say(f"   {series}: " + ", ".join(f"{t} threads {v:,.0f}" for t, v in points))
    if scaling:
        say("")
        say("5. Scaling under acagent (wall clock; get time measured in each worker):")
        say("   workers scenario            events/s (all)   events/s in get   get ns/event   allocs/event")
        for r in scaling:
            say(f"   {int(r['workers']):7d} {r['scenario']:<19} {r['events_per_s']:15.0f} "
                f"{r['get_events_per_s']:17.0f} {r['get_ns_per_event']:14.0f} {r['allocs_per_event']:14.4f}")
    return "\n".join(lines)


def plot(b, scaling, output):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 3, figsize=(19, 7.5), gridspec_kw={"width_ratios": [2.2, 1.3, 1.2]})

    # Per event kind, every way of deciding it.
    ax = axes[0]
    height = 0.16
    colors = ["#1f77b4", "#6baed6", "#2ca02c", "#d62728", "#ff9896"]
    ys = list(range(len(KINDS)))
    for i, (prefix, label) in enumerate(SERIES):
        vals = [b.get(prefix + k, {}).get("cpu", 0) for k, _ in KINDS]
        pos = [y + (i - 2) * height for y in ys]
        ax.barh(pos, vals, height=height, color=colors[i], label=label)
    floor = b.get("Floor/exec_event")
    if floor:
        ax.axvline(floor["cpu"], color="black", linestyle="--", linewidth=1, label="floor (exec event)")
        ax.axvline(1.5 * floor["cpu"], color="black", linestyle=":", linewidth=1, label="1.5x floor")
    ax.axvline(1000, color="grey", linestyle="-.", linewidth=1, label="1 us")
    ax.set_xscale("log")
    ax.set_yticks(ys)
    ax.set_yticklabels([label for _, label in KINDS])
    ax.invert_yaxis()
    ax.set_xlabel("CPU time per event (ns, log scale)")
    ax.set_title("Per event kind")
    ax.legend(fontsize=8, loc="upper center", bbox_to_anchor=(0.5, -0.1), ncol=3)

    # The exec event against its floor.
    ax = axes[1]
    names = [("Floor/readlink_exe", "readlink exe"), ("Floor/realpath", "realpath"), ("Floor/stat", "stat"),
             ("Floor/sha256_path", "SHA-256"), ("Floor/exec_event", "floor (all four)"),
             ("Extra/readlink_root", "readlink root*"), ("Extra/poll_read_record", "poll + read*"),
             ("AbstractEvent/live/exec_approved_hit", "AbstractEvent live"),
             ("Get/exec_approved_hit", "get"), ("LuaPolicy/gettest/exec_approved_hit", "Lua via gettest")]
    names = [(k, l) for k, l in names if k in b]
    vals = [b[k]["cpu"] for k, _ in names]
    bar_colors = ["#bbbbbb"] * 4 + ["#555555", "#dddddd", "#dddddd", "#6baed6", "#2ca02c", "#ff9896"]
    ax.bar(range(len(vals)), vals, color=bar_colors[: len(vals)])
    if floor:
        ax.axhline(1.5 * floor["cpu"], color="black", linestyle=":", linewidth=1, label="1.5x floor")
        ax.legend(fontsize=8)
    ax.set_xticks(range(len(vals)))
    ax.set_xticklabels([l for _, l in names], rotation=45, ha="right", fontsize=8)
    ax.set_ylabel("CPU time (ns)")
    ax.set_title("Exec event against its floor\n(* not in the floor)")

    # Scaling.
    ax = axes[2]
    for scen, style in (("exec_approved_hit", "o-"), ("mixed", "s-")):
        rows = [r for r in scaling if r["scenario"] == scen]
        if not rows:
            continue
        w = [r["workers"] for r in rows]
        ax.plot(w, [r["get_events_per_s"] / 1000 for r in rows], style, label=f"acagent, {scen}: in get")
        ax.plot(w, [r["events_per_s"] / 1000 for r in rows], style, alpha=0.4,
                label=f"acagent, {scen}: incl. feeding")
    for series, points in engine_threads(b).items():
        ax.plot([t for t, _ in points], [v / 1000 for _, v in points], "^--",
                label=f"AbstractEvent threads, {series.replace('_', ' ')}")
    ax.set_xticks([1, 2, 4])
    ax.set_xlabel("workers / threads")
    ax.set_ylabel("events per second (thousands, log scale)")
    ax.set_yscale("log")
    ax.set_title(f"Scaling ({os.cpu_count()} CPUs)")
    ax.legend(fontsize=7)

    fig.suptitle("Application-control fast path: cost per event (bench/run.sh)")
    fig.tight_layout()
    fig.savefig(output, dpi=110)


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    results, output = sys.argv[1], sys.argv[2]
    b = read_benchmarks(results)
    scaling = read_scaling(results)
    print(summary(b, scaling))
    plot(b, scaling, output)
    print(f"\nplot: {output}")


if __name__ == "__main__":
    main()
