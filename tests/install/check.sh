#!/bin/sh
# Installs the build (both components) under a prefix and, with DESTDIR, under
# a staging root, and loads the installed modules from each.
# Usage: check.sh <build dir> <lua interpreter> <C-module dir relative to the prefix>
set -e
build=$1 lua=$2 cmod=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# AC_PRELOAD: the sanitizer runtimes a sanitizer build's modules need in the interpreter.
load() { env -u LD_LIBRARY_PATH LD_PRELOAD="$AC_PRELOAD" "$lua" -e "package.cpath='$1/?.so' require 'ac' require 'lacdc' require 'vava'"; }
for c in "" "--component host"; do cmake --install "$build" --prefix "$tmp/p" $c >/dev/null; done
load "$tmp/p/$cmod"
test -x "$tmp/p/bin/acagent"
for c in "" "--component host"; do DESTDIR="$tmp/d" cmake --install "$build" --prefix /opt/ac $c >/dev/null; done
load "$tmp/d/opt/ac/$cmod"
echo "install: modules load from $tmp/p and from DESTDIR"
