#!/usr/bin/env bash
# Installs the Debian packages the project needs (only those missing), then
# configures and builds. Usage: [BUILD_TARGET=target] scripts/bootstrap.sh [build-dir] [extra cmake args...]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
shift || true

packages=(build-essential cmake pkg-config liblua5.2-dev lua5.2 libssl-dev openssl
          zlib1g-dev libwxgtk3.2-dev libgtest-dev unzip python3
          util-linux mount)  # unshare and mount: the live-mode tests and demo
packages+=(libbenchmark-dev python3-matplotlib)  # the benchmarks (bench/) and their plot
packages+=(clang libclang-rt-14-dev)  # the fuzz targets (fuzz/): clang and its libFuzzer runtime
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "bootstrap: installing ${missing[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
# BUILD_TARGET=name builds that target only (fuzz/run.sh: the fuzzers).
cmake --build "$build" -j"$(nproc)" ${BUILD_TARGET:+--target "$BUILD_TARGET"}
