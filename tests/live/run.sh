#!/bin/sh
# Runs one live-mode test command in a private mount namespace of its own,
# where it mounts (and unmounts) the tmpfs it watches. Without root, or where
# the kernel refuses a new mount namespace, the test is skipped (exit 77).
# The checks run without the test's LD_PRELOAD (sanitizer runtimes, the
# simulated driver); the test command gets it back.
preload=${LD_PRELOAD:-}
[ "$(LD_PRELOAD= id -u)" = 0 ] || { echo "SKIP: the live-mode tests need root"; exit 77; }
if ! err=$(LD_PRELOAD= unshare -m --propagation private true 2>&1); then
    echo "SKIP: no private mount namespace here: $err"
    exit 77
fi
exec env LD_PRELOAD= unshare -m --propagation private env LD_PRELOAD="$preload" "$@"
