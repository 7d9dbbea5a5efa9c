#!/bin/sh
# The side-by-side benchmark: added latency, storms, CPU and memory of the
# agent's host mode and live mode against no watcher, a minimal fanotify
# responder and fapolicyd, on one private tmpfs in a private mount namespace.
# Writes bench/results/peer_*.csv, docs/performance_peer.png and the section
# "Side by side with fapolicyd" of docs/performance.md. Needs root.
#   bench/peer/run.sh [build-dir]
# PEER_RUNS (200), PEER_BATCHES (5), PEER_ROUNDS (3), PEER_PROCS (4) and
# PEER_MEM_EVENTS (1000000) set the run's length.
#
# fapolicyd is never installed and never run as a service: its Debian
# package is downloaded and unpacked under the build folder, only missing
# libraries it links are installed, and the unpacked daemon runs in the
# foreground, permissive, inside the private namespace only.
set -eu
top=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
if [ "$(id -u)" != 0 ]; then
    echo "bench/peer/run.sh: skipped: needs root (fanotify permission events and a private mount namespace)"
    exit 0
fi
for f in acagent live_ops libvavasim.so ac.so; do
    [ -e "$build/$f" ] || { echo "bench/peer/run.sh: $build/$f missing: build first" >&2; exit 1; }
done

# The benchmark's own programs: built with the project, or here with cc.
tools=$build/bench/peer
mkdir -p "$tools"
for t in floor storm; do
    if [ ! -x "$tools/peer_$t" ] || [ -n "$(find "$top/bench/peer/$t.c" -newer "$tools/peer_$t")" ]; then
        cc -O2 -Wall -Wextra -o "$tools/peer_$t" "$top/bench/peer/$t.c"
    fi
done

# fapolicyd, unpacked (never installed).
fap=$build/peer/fapolicyd
fap_root=-
skipped=
if [ ! -x "$fap/root/usr/sbin/fapolicyd" ]; then
    mkdir -p "$fap"
    if (cd "$fap" && timeout 120 apt-get download fapolicyd=1.1.7-5) >"$fap/download.log" 2>&1; then
        dpkg-deb -x "$fap"/fapolicyd_*.deb "$fap/root"
    else
        skipped="download failed: $(tail -n 1 "$fap/download.log")"
    fi
fi
if [ -z "$skipped" ]; then
    for lib in $(ldd "$fap/root/usr/sbin/fapolicyd" | awk '/not found/ {print $1}'); do
        case $lib in
            liblmdb.so.0) pkg=liblmdb0 ;;
            libmagic.so.1) pkg=libmagic1 ;;
            libseccomp.so.2) pkg=libseccomp2 ;;
            libcap-ng.so.0) pkg=libcap-ng0 ;;
            libudev.so.1) pkg=libudev1 ;;
            *) pkg= ;;
        esac
        if [ -z "$pkg" ] || ! timeout 300 apt-get install -y --no-install-recommends "$pkg" >/dev/null 2>&1; then
            skipped="missing library $lib"
            break
        fi
    done
fi
if [ -z "$skipped" ]; then
    fap_root=$fap/root
else
    echo "bench/peer/run.sh: fapolicyd skipped: $skipped" >&2
fi

PEER_LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)
PEER_FAPOLICYD_SKIPPED=$skipped
export PEER_LOAD_BEFORE PEER_FAPOLICYD_SKIPPED
# The system's Python, where python3-matplotlib goes.
py=python3
[ -x /usr/bin/python3 ] && py=/usr/bin/python3
rm -rf "$build/peer/run"
timeout -k 30 2400 unshare -m --propagation private \
    "$py" "$top/bench/peer/peer.py" measure "$top" "$build" "$top/bench/results" "$tools" "$fap_root"
"$py" "$top/bench/peer/peer.py" report "$top" "$top/bench/results" >/dev/null
if "$py" -c "import matplotlib" 2>/dev/null; then
    "$py" "$top/bench/peer/plot.py" "$top/bench/results" "$top/docs/performance_peer.png"
else
    echo "bench/peer/run.sh: no plot: python3-matplotlib is not installed" >&2
fi
# Every daemon was stopped by its pid; say so if one of this run is still there.
if pgrep -f "^$fap/root/usr/sbin/fapolicyd" >/dev/null; then
    echo "bench/peer/run.sh: a fapolicyd started here is still running: $(pgrep -f "^$fap/root/usr/sbin/fapolicyd")" >&2
    exit 1
fi
echo "bench/peer/run.sh: figures in bench/results/peer_*.csv and docs/performance.md (Side by side with fapolicyd)"
