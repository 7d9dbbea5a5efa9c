#!/usr/bin/env bash
# Installs the Debian packages one purpose needs (only those missing), then
# configures and builds its CMake preset (CMakePresets.json).
#
# Usage: scripts/bootstrap.sh PURPOSE [preset]
#   demo   the modules, the host stand-in, the simulated driver and acagent   preset demo (build/)
#   test   adds GoogleTest; preset default (build/), sanitize or tsan         preset default
#   fuzz   adds clang and its libFuzzer runtime                               preset fuzz (build-fuzz/)
#   bench  adds Google Benchmark and matplotlib for the plot                  preset bench (build-bench/)
#   package adds dpkg-dev and file for cpack's DEB generator                  preset package (build-pkg/)
#   all    every package above                                                preset default
# Environment: JOBS=n parallel build jobs (default: the number of processors).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

usage() {
    sed -n '/^# Usage:/,/^# Environment:/p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
}
[ $# -ge 1 ] && [ $# -le 2 ] || usage
purpose=$1

# unshare and mount: the live mode of the demo and of the tests.
# lua-sql-sqlite3: the trust database of host mode's default policy.
demo_packages=(build-essential cmake pkg-config liblua5.2-dev lua5.2 libssl-dev
               zlib1g-dev libwxgtk3.2-dev util-linux mount lua-sql-sqlite3)
test_packages=(libgtest-dev)
fuzz_packages=(clang libclang-rt-14-dev)
bench_packages=(libbenchmark-dev python3-matplotlib openssl)  # openssl: its version goes into the report
package_packages=(dpkg-dev file)  # dpkg-shlibdeps works out the dependencies; cpack finds ELF files with file

case "$purpose" in
demo)  packages=("${demo_packages[@]}"); preset=demo ;;
test)  packages=("${demo_packages[@]}" "${test_packages[@]}"); preset=default ;;
fuzz)  packages=("${demo_packages[@]}" "${fuzz_packages[@]}"); preset=fuzz ;;
bench) packages=("${demo_packages[@]}" "${bench_packages[@]}"); preset=bench ;;
package) packages=("${demo_packages[@]}" "${package_packages[@]}"); preset=package ;;
all)   packages=("${demo_packages[@]}" "${test_packages[@]}" "${fuzz_packages[@]}" "${bench_packages[@]}"
             "${package_packages[@]}")
       preset=default ;;
*)     echo "bootstrap: unknown purpose '$purpose'" >&2; usage ;;
esac
preset=${2:-$preset}

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

cd "$top"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j"${JOBS:-$(nproc)}"
