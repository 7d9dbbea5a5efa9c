#!/usr/bin/env bash
# Builds the Debian package (preset package, build-pkg/, cpack -G DEB) and
# checks it: its dependencies, that the unpacked modules and acagent work from
# a scratch root, and that dpkg installs and removes it in another scratch root
# (its own database only: --root, maintainer scripts run outside a chroot with
# ldconfig stubbed, so the machine's root, its dpkg database and its log are
# never touched) leaving nothing behind.
# Environment: JOBS=n parallel build jobs (default: the number of processors).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/bootstrap.sh" package
cd "$top/build-pkg"
rm -f acengine_*.deb
cpack -G DEB >/dev/null
deb=$(echo "$top"/build-pkg/acengine_*.deb)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "check-package: $*" >&2; dpkg-deb -c "$deb" >&2; exit 1; }

dpkg-deb -I "$deb"
depends=$(dpkg-deb -f "$deb" Depends)
for d in liblua5.2-0 libssl3 libwxbase3.2 zlib1g; do
    grep -q "$d" <<<"$depends" || fail "no dependency on $d"
done

x=$tmp/x
dpkg-deb -x "$deb" "$x"
env -u LD_LIBRARY_PATH lua5.2 -e "package.cpath='$x/usr/lib/x86_64-linux-gnu/lua/5.2/?.so'
  package.path='$x/usr/share/lua/5.2/?.lua;'..package.path
  require 'ac' require 'lacdc' require 'vava' require 'acpolicy'" || fail "the modules do not load"
"$x/usr/bin/acagent" --help >/dev/null || fail "acagent --help"
"$x/usr/bin/acagent" host --help >/dev/null || fail "acagent host --help (the driver library)"
"$x/usr/bin/acagent" --version | grep -qF "$(dpkg-deb -f "$deb" Version)" || fail "acagent --version"
for f in usr/share/doc/acengine/{copyright,CHANGELOG.md,reference.md,operations.md} usr/share/acengine/examples/policy.lua \
    usr/share/acengine/trust/policy.lua usr/share/acengine/trust/admin.lua \
    usr/share/acengine/host.lua usr/lib/systemd/system/acagent.service etc/default/acagent etc/logrotate.d/acagent; do
    test -s "$x/$f" || fail "no $f"
done

r=$tmp/root
mkdir -p "$r"/var/lib/dpkg/{info,updates} "$tmp/bin"
touch "$r/var/lib/dpkg/status"
printf '#!/bin/sh\necho "ldconfig $*" >>"%s/ldconfig.log"\n' "$tmp" >"$tmp/bin/ldconfig"
chmod +x "$tmp/bin/ldconfig"
dpkg_root() { PATH="$tmp/bin:$PATH" dpkg --root="$r" --log=/dev/null --force-script-chrootless --force-not-root "$@"; }
dpkg_root --force-depends -i "$deb" >"$tmp/dpkg.out" 2>&1 || { cat "$tmp/dpkg.out" >&2; fail "dpkg -i into a scratch root"; }
dpkg_root -L acengine | grep -q /lua/5.2/ac.so || fail "dpkg lists no ac.so"
test -L "$r/usr/lib/x86_64-linux-gnu/lua/5.2/lacdc.so" || fail "lacdc.so not installed"
dpkg-deb -e "$deb" "$tmp/control"
grep -qx /etc/default/acagent "$tmp/control/conffiles" || fail "the service's options are not a conffile"
dpkg_root --purge acengine >/dev/null
grep -c ldconfig "$tmp/ldconfig.log" | grep -qx 2 || fail "postinst/postrm did not run ldconfig"
left=$(find "$r" -mindepth 1 -not -path "$r/var" -not -path "$r/var/lib" -not -path "$r/var/lib/dpkg*")
[ -z "$left" ] || fail "left behind after removal: $left"
echo "check-package: $(basename "$deb") ($(stat -c %s "$deb") bytes) loads, runs, installs and removes cleanly"
