#!/bin/sh
# Every #include "dir/..." in src/, sim/ and host/ must point down: a folder may
# include its own headers and those of lower ranks, never a higher or same-rank
# folder. driver/ may include only base/; sim/ base/ and driver/; host/ only
# driver/host_mode.h. src/ac and
# src/lua may also include the host library's own headers (no folder part).
cd "$(dirname "$0")/.." || exit 2
awk '
BEGIN {
    split("base:0 cache:1 json:1 compiler:1 abstraction:2 channel:3 ac:4 lua:5", r, " ")
    for (i in r) { split(r[i], kv, ":"); rank[kv[1]] = kv[2] }
}
/^[ \t]*#[ \t]*include[ \t]*"[^"\/]+\// {
    match($0, /"[^"]+"/); inc = substr($0, RSTART + 1, RLENGTH - 2)
    split(inc, p, "/"); to = p[1]; n = split(FILENAME, f, "/")
    if (f[1] == "src") { from = f[2]; ok = (to == from) || ((to in rank) && rank[to] < rank[from]) }
    else if (f[1] == "driver") ok = (to == "base")
    else if (f[1] == "sim") ok = (to == "base" || to == "driver")
    else if (f[1] == "host") ok = (inc == "driver/host_mode.h")
    else ok = 0
    if (!ok) { printf "%s:%d: %s\n", FILENAME, FNR, $0; bad++ }
}
END { if (bad) exit 1; print "layers: every include points down" }' \
    $(find src driver sim host -name '*.[ch]' -o -name '*.[ch]pp' | sort)
