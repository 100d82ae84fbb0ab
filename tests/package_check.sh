#!/usr/bin/env bash
# package_check.sh BUILD_DIR VERSION: makes the Debian package with cpack, checks its name and what it
# holds, unpacks it into a scratch root and runs the unpacked zor-host on the unpacked tour.
set -euo pipefail
source=$(cd "$(dirname "$0")/.." && pwd)

# check_named DOCDIR ZOR_HOST: every page and program the installed README, language guide and
# `help` name is installed (tests/installed_docs.sh).
source "$source/tests/installed_docs.sh"
build=$1
version=$2
scratch=$(mktemp -d /tmp/zor-package-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out" >/dev/null
deb=$scratch/out/zor_${version}_$(dpkg --print-architecture).deb
test -f "$deb"
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./||' > "$scratch/contents"
for f in usr/bin/zor-host usr/lib/libzor.so usr/lib/libzorhost.so usr/lib/libzor.rsrc usr/lib/pkgconfig/zor.pc \
         usr/include/zor/zor.h usr/include/zor/host_toolbox.h usr/include/zor/host_files.h \
         usr/share/doc/zor/README.md usr/share/doc/zor/examples/host.c usr/share/doc/zor/examples/tour.zor; do
    grep -qx "$f" "$scratch/contents" || { echo "package_check: $f is not in the package" >&2; exit 1; }
done
dpkg-deb -f "$deb" Package Version Architecture
# The plug-in loads libssl.so.3 at its first TLS command rather than linking it: the package must still
# require it, and the plug-in must not bring it in at every start.
dpkg-deb -f "$deb" Depends | grep -qw libssl3 || { echo "package_check: the package does not depend on libssl3" >&2; exit 1; }

dpkg-deb -x "$deb" "$scratch/root"
if readelf -d "$scratch/root/usr/lib/libzor.so" | grep NEEDED | grep -Eq 'libssl|libcrypto'; then
    echo "package_check: libzor.so links OpenSSL" >&2
    exit 1
fi
check_named "$scratch/root/usr/share/doc/zor" "$scratch/root/usr/bin/zor-host"
cd "$scratch/root/usr/share/doc/zor"
"$scratch/root/usr/bin/zor-host" examples/tour.zor > "$scratch/tour.out"
tail -n 1 "$scratch/tour.out" | grep -qx 'too wide, no GIF:.0'
