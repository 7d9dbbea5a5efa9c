#!/usr/bin/python3
"""The side-by-side benchmark, run by bench/peer/run.sh.

  peer.py measure SOURCE BUILD RESULTS TOOLS FAPOLICYD_ROOT|-
      inside a private mount namespace (run.sh makes it): every side in turn,
      in batches, on one private tmpfs; writes RESULTS/peer_*.csv
  peer.py report SOURCE RESULTS
      the section of docs/performance.md between the peer markers

Sides: none (no watcher), floor (bench/peer/floor.c), host (acagent host,
permissive), live (the simulator's live mode), fapolicyd at nice 0 (equal
priority) and at its shipped nice_val, and acagent host at that same
priority. Runs, batches, storm rounds, storm
processes and the events of the memory run come from PEER_RUNS, PEER_BATCHES,
PEER_ROUNDS, PEER_PROCS and PEER_MEM_EVENTS.
"""
import csv
import datetime
import hashlib
import os
import signal
import subprocess
import sys
import time

OPS = ["open", "openw", "exec"]
LABEL = {
    "none": "no watcher",
    "floor": "floor (minimal responder)",
    "host": "acagent host",
    "host_nice": "acagent host, fapolicyd's shipped priority",
    "live": "live mode (simulator)",
    "fapolicyd": "fapolicyd, nice 0",
    "fapolicyd_nice": "fapolicyd, shipped nice_val",
}
OP_LABEL = {"open": "open", "openw": "write open", "exec": "exec"}
WATCHER_LIMIT = "1800"  # seconds any one watcher may live, whatever happens here


def env_int(name, default):
    return int(os.environ.get(name, default))


def sh(*cmd, check=True):
    return subprocess.run(cmd, check=check, capture_output=True, text=True, timeout=600).stdout


def percentile(values, q):
    v = sorted(values)
    return v[min(len(v) - 1, int(len(v) * q))]


def proc_stat(pid):
    """(utime + stime in ticks, nice) of a process."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12]), int(fields[16])


def proc_io(pid):
    """Read-like plus write-like system calls of a process so far."""
    io = {}
    with open(f"/proc/{pid}/io") as f:
        for line in f:
            k, v = line.split(":")
            io[k] = int(v)
    return io["syscr"] + io["syscw"]


def vm_rss_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def fanotify_marks(pid):
    n = 0
    for fd in os.listdir(f"/proc/{pid}/fdinfo"):
        try:
            with open(f"/proc/{pid}/fdinfo/{fd}") as f:
                n += sum(1 for line in f if line.startswith("fanotify "))
        except OSError:
            pass
    return n


class Watcher:
    """One side's daemon, started under timeout; pid is the daemon itself."""

    def __init__(self, side, cmd, env=None, stop_file=None):
        self.side, self.stop_file, self.cleanup = side, stop_file, None
        self.log = open(os.path.join(LOGDIR, f"{side}.log"), "a")
        self.proc = subprocess.Popen(["timeout", "-k", "10", WATCHER_LIMIT] + cmd, env=env,
                                     stdout=self.log, stderr=subprocess.STDOUT)
        self.pid = None
        deadline = time.time() + 30
        while time.time() < deadline and self.proc.poll() is None:
            try:
                with open(f"/proc/{self.proc.pid}/task/{self.proc.pid}/children") as f:
                    kids = f.read().split()
            except OSError:
                kids = []
            if kids:
                self.pid = int(kids[0])
                break
            time.sleep(0.01)
        if self.pid is None:
            raise RuntimeError(f"{side}: did not start (see {self.log.name})")
        # Ready once its fanotify marks are in place and stay put for 300 ms.
        last, stable_since = -1, time.time()
        while time.time() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError(f"{side}: exited at start (see {self.log.name})")
            n = fanotify_marks(self.pid)
            if n != last:
                last, stable_since = n, time.time()
            elif n > 0 and time.time() - stable_since > 0.3:
                return
            time.sleep(0.05)
        self.stop()
        raise RuntimeError(f"{side}: no fanotify mark after 30 s (see {self.log.name})")

    def stop(self):
        if self.stop_file:
            open(self.stop_file, "w").close()
        else:
            os.kill(self.pid, signal.SIGTERM)
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            os.kill(self.pid, signal.SIGKILL)
            self.proc.wait(timeout=10)
        if self.stop_file:
            os.remove(self.stop_file)
        if os.path.exists(f"/proc/{self.pid}"):
            raise RuntimeError(f"{self.side}: pid {self.pid} still there after stop")
        self.log.close()
        if self.cleanup:
            self.cleanup()


def live_ops(op, path, n):
    out = sh(OPS_BIN, op, path, str(n), "all")
    lines = out.split("\n")
    if not lines[0].startswith("ok "):
        raise RuntimeError(f"live_ops {op}: {lines[0]}")
    return [float(x) for x in lines[1:n + 1]]


def storm(op, path, seconds, procs):
    out = sh(STORM_BIN, op, path, str(seconds), str(procs)).split()
    if out[0] != "ok":
        raise RuntimeError(f"storm {op}: {' '.join(out)}")
    return int(out[1]), float(out[2])


def fapolicyd_config(root, etc, dirs, program, nice):
    """A private configuration: permissive, tmpfs only, mount marks only,
    the benchmark's program in the trust list."""
    os.makedirs(os.path.join(etc, "rules.d"), exist_ok=True)
    os.makedirs(os.path.join(etc, "trust.d"), exist_ok=True)
    for d in dirs:
        os.makedirs(d, exist_ok=True)
    conf = {
        "permissive": 1, "nice_val": nice, "q_size": 640, "uid": 0, "gid": 0,
        "do_stat_report": 0, "detailed_report": 0, "db_max_size": 4,
        "subj_cache_size": 1549, "obj_cache_size": 8191, "watch_fs": "tmpfs",
        "trust": "file", "integrity": "none", "rpm_sha256_only": 0, "allow_filesystem_mark": 0,
        "syslog_format": "rule,dec,perm,auid,pid,exe,:,path,ftype,trust",
    }
    with open(os.path.join(etc, "fapolicyd.conf"), "w") as f:
        f.writelines(f"{k} = {v}\n" for k, v in conf.items())
    with open(program, "rb") as p:
        digest = hashlib.sha256(p.read()).hexdigest()
    with open(os.path.join(etc, "fapolicyd.trust"), "w") as f:
        f.write(f"{program} {os.path.getsize(program)} {digest}\n")
    rules = "allow perm=execute all : trust=1\nallow perm=open all : all\ndeny_audit perm=execute all : all\n"
    for name in ("compiled.rules", "rules.d/50-peer.rules"):
        with open(os.path.join(etc, name), "w") as f:
            f.write(rules)


def overlay(scratch, target):
    """A writable view of a folder of this namespace; the machine's stays untouched."""
    base = os.path.join(scratch, "overlay", target.strip("/").replace("/", "_"))
    up, work = os.path.join(base, "upper"), os.path.join(base, "work")
    os.makedirs(up, exist_ok=True)
    os.makedirs(work, exist_ok=True)
    sh("mount", "-t", "overlay", "peer", "-o", f"lowerdir={target},upperdir={up},workdir={work}", target)


def bind(src, dst):
    os.makedirs(dst, exist_ok=True)
    sh("mount", "--bind", src, dst)


def shipped_nice(root):
    """The nice_val of the package's own configuration, and whether its unit file sets Nice=."""
    nice = None
    with open(os.path.join(root, "etc/fapolicyd/fapolicyd.conf")) as f:
        for line in f:
            k, _, v = line.partition("=")
            if k.strip() == "nice_val":
                nice = int(v)
    unit = ""
    for u in ("lib/systemd/system/fapolicyd.service", "usr/lib/systemd/system/fapolicyd.service"):
        if os.path.exists(os.path.join(root, u)):
            with open(os.path.join(root, u)) as f:
                unit = "".join(line for line in f if line.startswith("Nice="))
    return nice, unit.strip()


def measure(source, build, results, tools, fap_root):
    global LOGDIR, OPS_BIN, STORM_BIN
    if os.readlink("/proc/self/ns/mnt") == os.readlink(f"/proc/{os.getppid()}/ns/mnt"):
        sys.exit("peer.py: run me through bench/peer/run.sh (a private mount namespace)")
    runs, batches = env_int("PEER_RUNS", 200), env_int("PEER_BATCHES", 5)
    rounds, procs, mem_events = env_int("PEER_ROUNDS", 3), env_int("PEER_PROCS", 4), env_int("PEER_MEM_EVENTS", 1000000)
    per_batch = max(1, runs // batches)
    scratch = os.path.join(build, "peer", "run")
    LOGDIR = os.path.join(scratch, "logs")
    os.makedirs(LOGDIR, exist_ok=True)
    OPS_BIN, STORM_BIN = os.path.join(build, "live_ops"), os.path.join(tools, "peer_storm")
    floor_bin = os.path.join(tools, "peer_floor")

    tmp = os.path.join(scratch, "tmpfs")
    os.makedirs(tmp, exist_ok=True)
    sh("mount", "-t", "tmpfs", "-o", "size=64m", "peerbench", tmp)
    os.makedirs(os.path.join(tmp, "bin"))
    program, data = os.path.join(tmp, "bin", "tiny"), os.path.join(tmp, "data.txt")
    sh("cp", "/usr/bin/true", program)
    with open(data, "w") as f:
        f.write("data\n")
    paths = {"open": data, "openw": data, "exec": program}

    env = dict(os.environ, PEER_SOURCE_DIR=source, PEER_PROGRAM_DIR=os.path.join(tmp, "bin") + "/")
    env.pop("LD_PRELOAD", None)
    host_cmd = [os.path.join(build, "acagent"), "host", "--mode", "permissive", "--mount", tmp,
                "--policy", os.path.join(source, "bench/peer/policy.lua")]
    sides = {
        "none": None,
        "floor": lambda: Watcher("floor", [floor_bin, tmp], env),
        "host": lambda: Watcher("host", host_cmd, env),
        "live": lambda: Watcher("live", ["lua5.2", os.path.join(source, "bench/peer/live_server.lua"), source, tmp,
                                         env["PEER_PROGRAM_DIR"], os.path.join(scratch, "live.stop")],
                                dict(env, LD_PRELOAD=os.path.join(build, "libvavasim.so"),
                                     LUA_CPATH_5_2=os.path.join(build, "?.so")),
                                stop_file=os.path.join(scratch, "live.stop")),
    }
    notes = {}
    nice_seen = {}
    if fap_root != "-":
        fap = os.path.join(fap_root, "usr/sbin/fapolicyd")
        shipped, unit_nice = shipped_nice(fap_root)
        notes["fapolicyd_unit_nice"] = unit_nice or "none"
        notes["fapolicyd_shipped_nice_val"] = str(shipped)
        try:
            # Its folders exist only in this namespace: writable overlays of
            # /etc, /var, /run and /usr/share, with private copies bound over
            # the daemon's own folders.
            for target in ("/etc", "/var", "/run", "/usr/share"):
                overlay(scratch, target)
            bind(os.path.join(fap_root, "usr/share/fapolicyd"), "/usr/share/fapolicyd")
            for side, nice in (("fapolicyd", 0), ("fapolicyd_nice", shipped)):
                etc = os.path.join(scratch, side, "etc")
                lib, run = os.path.join(scratch, side, "lib"), os.path.join(scratch, side, "run")
                fapolicyd_config(fap_root, etc, (lib, run), program, nice)

                def start(side=side, etc=etc, lib=lib, run=run):
                    for src, dst in ((etc, "/etc/fapolicyd"), (lib, "/var/lib/fapolicyd"), (run, "/run/fapolicyd")):
                        bind(src, dst)

                    def unbind():
                        for dst in ("/run/fapolicyd", "/var/lib/fapolicyd", "/etc/fapolicyd"):
                            sh("umount", "-l", dst)
                    try:
                        w = Watcher(side, [fap, "--debug-deny", "--permissive"], env)
                    except RuntimeError:
                        unbind()
                        raise
                    w.cleanup = unbind
                    return w
                if nice is not None:
                    sides[side] = start
            if shipped:
                # The agent at the priority fapolicyd gives itself.
                sides["host_nice"] = lambda: Watcher("host_nice", ["nice", "-n", str(-shipped)] + host_cmd, env)
            # One start to see that it runs here at all.
            w = sides["fapolicyd"]()
            w.stop()
        except (RuntimeError, subprocess.CalledProcessError, OSError) as e:
            notes["fapolicyd_skipped"] = str(e).replace("\n", " ")
            print(f"peer: fapolicyd skipped: {e}", file=sys.stderr)
            sides.pop("fapolicyd", None)
            sides.pop("fapolicyd_nice", None)
            sides.pop("host_nice", None)
    else:
        notes["fapolicyd_skipped"] = os.environ.get("PEER_FAPOLICYD_SKIPPED", "not available")

    names = list(sides)
    samples = {(s, op): [] for s in names for op in OPS}
    storms = []
    cost = {(s, op): [0, 0, 0] for s in names for op in OPS}  # ops, ticks, read/write calls
    rss = {}
    raw = []
    for b in range(batches):
        order = names[b % len(names):] + names[:b % len(names)]
        for side in order:
            w = sides[side]() if sides[side] else None
            if w:
                nice_seen[side] = proc_stat(w.pid)[1]
            live_ops("exec", program, 1)  # the first exec puts the program in the caches
            live_ops("open", data, 1)
            for op in OPS:
                got = live_ops(op, paths[op], per_batch)
                samples[(side, op)] += got
                raw += [(side, op, b + 1, x) for x in got]
            if b < rounds:
                for op in OPS:
                    before = (proc_stat(w.pid)[0], proc_io(w.pid)) if w else (0, 0)
                    n, rate = storm(op, paths[op], 1, procs)
                    after = (proc_stat(w.pid)[0], proc_io(w.pid)) if w else (0, 0)
                    storms.append((side, op, b + 1, n, rate))
                    c = cost[(side, op)]
                    c[0] += n
                    c[1] += after[0] - before[0]
                    c[2] += after[1] - before[1]
            if w:
                rss[side] = vm_rss_kb(w.pid)
                w.stop()
            print(f"peer: batch {b + 1}/{batches} {side} done", file=sys.stderr)

    # Memory after 10 000 and after mem_events answered opens.
    memory = []
    for side in [s for s in ("host", "live", "fapolicyd") if s in sides]:
        w = sides[side]()
        live_ops("open", data, 10000)
        at_10k = vm_rss_kb(w.pid)
        rest = max(0, mem_events - 10000)
        workers = [subprocess.Popen([OPS_BIN, "open", data, str(rest // procs)], stdout=subprocess.DEVNULL)
                   for _ in range(procs)]
        for p in workers:
            p.wait(timeout=900)
        at_end = vm_rss_kb(w.pid)
        w.stop()
        memory.append((side, 10000 + (rest // procs) * procs, at_10k, at_end))
        print(f"peer: memory {side}: {at_10k} kB -> {at_end} kB", file=sys.stderr)

    tick_us = 1e6 / os.sysconf("SC_CLK_TCK")
    os.makedirs(results, exist_ok=True)

    def write(name, header, rows):
        with open(os.path.join(results, name), "w", newline="") as f:
            out = csv.writer(f)
            out.writerow(header)
            out.writerows(rows)

    rows = []
    for side in names:
        for op in OPS:
            v, base = samples[(side, op)], samples[("none", op)]
            row = [side, op, len(v)] + [round(percentile(v, q), 2) for q in (0.5, 0.9, 0.99)]
            row += [round(percentile(v, q) - percentile(base, q), 2) for q in (0.5, 0.9, 0.99)]
            rows.append(row)
    write("peer_latency.csv", ["side", "op", "runs", "p50_us", "p90_us", "p99_us",
                               "added_p50_us", "added_p90_us", "added_p99_us"], rows)
    write("peer_samples.csv", ["side", "op", "batch", "us"], raw)
    write("peer_storm.csv", ["side", "op", "round", "ops", "ops_per_s"], storms)
    rows = []
    for side in names:
        for op in OPS:
            n, ticks, calls = cost[(side, op)]
            if side != "none" and n:
                rows.append([side, op, n, ticks, round(ticks * tick_us / n, 3), round(calls / n, 3)])
    write("peer_cpu.csv", ["side", "op", "ops", "cpu_ticks", "cpu_us_per_op", "rw_syscalls_per_op"], rows)
    write("peer_memory.csv", ["side", "events", "rss_kb_after_10k", "rss_kb_after_all"], memory)
    write("peer_rss.csv", ["side", "vmrss_kb_after_runs", "nice"],
          [(s, rss[s], nice_seen.get(s, "")) for s in names if s in rss])
    with open("/proc/loadavg") as f:
        load = f.read().split()[:3]
    env_rows = [
        ("date", datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")),
        ("nproc", str(os.cpu_count())),
        ("loadavg_after", " ".join(load)),
        ("loadavg_before", os.environ.get("PEER_LOAD_BEFORE", "")),
        ("kernel", os.uname().release),
        ("runs_per_side_per_op", str(per_batch * batches)),
        ("batches", str(batches)),
        ("storm_rounds", str(rounds)),
        ("storm_processes", str(procs)),
    ] + sorted(notes.items())
    write("peer_environment.csv", ["key", "value"], env_rows)


def read_csv(results, name):
    path = os.path.join(results, name)
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return list(csv.DictReader(f))


def grouped(n):
    return f"{int(n):,}".replace(",", " ")


BEGIN, END = "<!-- peer:begin (bench/peer/run.sh writes this section) -->", "<!-- peer:end -->"


def report(source, results):
    env = {r["key"]: r["value"] for r in read_csv(results, "peer_environment.csv")}
    lat = {(r["side"], r["op"]): r for r in read_csv(results, "peer_latency.csv")}
    rates = {}
    for r in read_csv(results, "peer_storm.csv"):
        rates.setdefault((r["side"], r["op"]), []).append(float(r["ops_per_s"]))
    storm = {k: sorted(v)[len(v) // 2] for k, v in rates.items()}  # median round
    cpu = {(r["side"], r["op"]): r for r in read_csv(results, "peer_cpu.csv")}
    rss = {r["side"]: r for r in read_csv(results, "peer_rss.csv")}
    mem = {r["side"]: r for r in read_csv(results, "peer_memory.csv")}
    sides = [s for s in LABEL if any(k[0] == s for k in lat)]

    out = ["## Side by side with fapolicyd", ""]
    out.append(f"Measured {env.get('date', '?')} on {env.get('nproc', '?')} CPUs, kernel {env.get('kernel', '?')}; "
               f"load average {env.get('loadavg_before', '?')} before and {env.get('loadavg_after', '?')} after the run "
               f"(other work shared the machine). {env.get('runs_per_side_per_op', '?')} runs per side and operation in "
               f"{env.get('batches', '?')} interleaved batches, storms of {env.get('storm_processes', '?')} processes "
               f"in {env.get('storm_rounds', '?')} rounds of 1 s (median round shown), all on one private tmpfs in a "
               "private mount namespace. Rerun with `bench/peer/run.sh` (root); figures in "
               "`bench/results/peer_*.csv`, plot in `docs/performance_peer.png`.")
    out.append("")
    out.append("Sides: no watcher; the floor, a minimal fanotify responder that allows every event at once "
               "(`bench/peer/floor.c`); `acagent host --mode permissive` with the sample policy trusting the "
               "tmpfs's program folder and the rule program it uploads to its driver (an open by a program that is no "
               "script interpreter answered in the driver, every other event by the engine's fast path); "
               "the simulator's live mode (no rule program); "
               "fapolicyd 1.1.7 (Debian package, extracted, run in the foreground with `--debug-deny "
               "--permissive`, private configuration: `watch_fs = tmpfs`, trust file listing the program, "
               "`integrity = none`, rules `allow perm=execute all : trust=1`, `allow perm=open all : all`).")
    if "fapolicyd_skipped" in env:
        out += ["", f"fapolicyd was not measured: {env['fapolicyd_skipped']}."]
    else:
        unit = env.get("fapolicyd_unit_nice", "none")
        out += ["", "Priority: its unit file sets " + ("no `Nice=`" if unit == "none" else f"`{unit}`") +
                f"; its shipped configuration sets `nice_val = {env.get('fapolicyd_shipped_nice_val', '?')}`, "
                "which the daemon applies to itself (observed nice "
                f"{rss.get('fapolicyd_nice', {}).get('nice', '?')}). So it runs once with `nice_val = 0` and once "
                "with the shipped value, and the agent once at nice 0 and once at that same priority "
                f"(observed nice {rss.get('host_nice', {}).get('nice', '?')}; its own unit file sets `Nice=-14`)."]
    out += ["", "Latency per operation (µs: the median, and what the watcher adds to the median, p90 and p99 of no watcher), storms (operations per "
            "second, all processes together) and the daemon's cost per operation during the storms "
            "(CPU µs from utime + stime, read- and write-like system calls from `/proc/PID/io`):", ""]
    out.append("| side | op | p50 | added p50 | added p90 | added p99 | storm ops/s | CPU µs/op | r/w calls/op |")
    out.append("| --- | --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: |")
    for s in sides:
        for op in OPS:
            r = lat.get((s, op))
            if not r:
                continue
            c = cpu.get((s, op), {})
            added = ("—", "—", "—") if s == "none" else (r["added_p50_us"], r["added_p90_us"], r["added_p99_us"])
            out.append(f"| {LABEL[s]} | {OP_LABEL[op]} | {r['p50_us']} | {added[0]} | {added[1]} | {added[2]} | "
                       f"{storm.get((s, op), 0):.0f} | {c.get('cpu_us_per_op', '—')} | "
                       f"{c.get('rw_syscalls_per_op', '—')} |")
    base = lat.get(("none", "exec"))
    if base:
        out += ["", f"An exec (fork, exec, wait) takes {float(base['p50_us']) / 1000:.1f} ms here without a "
                f"watcher, with a p99 of {float(base['p99_us']) / 1000:.1f} ms under the machine's load: exec "
                "differences smaller than about a millisecond, negative ones included, are noise."]
    out += ["", "Resident memory of each daemon after its last batch: " +
            ", ".join(f"{LABEL[s]} {int(r['vmrss_kb_after_runs']) / 1024:.1f} MB" for s, r in rss.items()) + "."]
    if mem:
        out += ["", "Resident memory over answered opens: " + "; ".join(
            f"{LABEL[s]} {int(r['rss_kb_after_10k']) / 1024:.1f} MB after 10 000, "
            f"{int(r['rss_kb_after_all']) / 1024:.1f} MB after {grouped(r['events'])}"
            for s, r in mem.items()) + "."]

    out += ["", "![Side by side: added median latency and storms per side](performance_peer.png)"]
    out += ["", "### The targets", ""]

    def verdict(ok):
        return "yes" if ok else "**no**"

    for agent, peer, title in (("host", "fapolicyd", "At equal priority, nice 0"),
                               ("host_nice", "fapolicyd_nice", "At fapolicyd's shipped priority, both")):
        if not lat.get((agent, "open")) or not lat.get((peer, "open")):
            continue
        out += [f"{title}, for `acagent host` (the product's path):", "", "| target | figure | met |",
                "| --- | --- | --- |"]
        for op in OPS:
            a, p = lat.get((agent, op)), lat.get((peer, op))
            if a and p:
                x, y = float(a["added_p50_us"]), float(p["added_p50_us"])
                if y <= 0:
                    out.append(f"| added median {OP_LABEL[op]} ≤ 0.7 × fapolicyd's | {x:.1f} µs vs {y:.1f} µs: "
                               "fapolicyd's is within the noise of the run | not judged |")
                    continue
                out.append(f"| added median {OP_LABEL[op]} ≤ 0.7 × fapolicyd's | {x:.1f} µs vs {y:.1f} µs "
                           f"(limit {0.7 * y:.1f}) | {verdict(x <= 0.7 * y)} |")
        for op, factor in (("open", 1.5), ("openw", 1.5), ("exec", 1.1)):
            a, p = storm.get((agent, op)), storm.get((peer, op))
            if a and p:
                out.append(f"| {OP_LABEL[op]} storm ≥ {factor} × fapolicyd's ops/s | {a:.0f} vs {p:.0f} "
                           f"({a / p:.2f}x) | {verdict(a >= factor * p)} |")
        a, p = cpu.get((agent, "open")), cpu.get((peer, "open"))
        if a and p:
            x, y = float(a["cpu_us_per_op"]), float(p["cpu_us_per_op"])
            out.append(f"| CPU per open below fapolicyd's | {x:.2f} µs vs {y:.2f} µs | {verdict(x < y)} |")
        out.append("")
    out += ["Memory, `acagent host`:", "", "| target | figure | met |", "| --- | --- | --- |"]
    m = mem.get("host")
    if m:
        d = (int(m["rss_kb_after_all"]) - int(m["rss_kb_after_10k"])) / 1024
        out.append(f"| memory flat: after {grouped(m['events'])} answered events within 2 MB of the level after "
                   f"10 000 | {d:+.2f} MB | {verdict(abs(d) <= 2)} |")
    if not lat.get(("fapolicyd", "open")):
        out.append("| latency, storms, CPU against fapolicyd | not measured | — |")
    section = "\n".join(out) + "\n"

    doc = os.path.join(source, "docs", "performance.md")
    with open(doc) as f:
        text = f.read()
    if BEGIN in text and END in text:
        head, rest = text.split(BEGIN, 1)
        tail = rest.split(END, 1)[1]
    else:
        head, tail = text.rstrip("\n") + "\n\n", "\n"
    with open(doc, "w") as f:
        f.write(head + BEGIN + "\n" + section + END + tail)
    print(section)


if __name__ == "__main__":
    if len(sys.argv) == 7 and sys.argv[1] == "measure":
        measure(*[os.path.abspath(a) if a != "-" else a for a in sys.argv[2:7]])
    elif len(sys.argv) == 4 and sys.argv[1] == "report":
        report(os.path.abspath(sys.argv[2]), os.path.abspath(sys.argv[3]))
    else:
        sys.exit(__doc__)
