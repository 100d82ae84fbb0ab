#!/usr/bin/env bash
# install_check.sh BUILD_DIR CC: installs zor into a temporary prefix, builds examples/host.c from there
# with pkg-config alone and runs it, loads the installed plug-in through its own run path, and runs
# the installed zor-host on the installed tour.
set -euo pipefail
source=$(cd "$(dirname "$0")/.." && pwd)

# check_named DOCDIR ZOR_HOST: every page and program the installed README, language guide and
# `help` name is installed (tests/installed_docs.sh).
source "$source/tests/installed_docs.sh"
build=$1
cc=${2:-cc}
prefix=$(mktemp -d /tmp/zor-install-XXXXXX)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name libzor.so)")
docdir=$prefix/share/doc/zor
test -f "$libdir/libzor.rsrc"
check_named "$docdir" "$prefix/bin/zor-host"

export PKG_CONFIG_PATH="$libdir/pkgconfig"
"$cc" -std=c11 -Wall -Wextra -pedantic -Werror -o "$prefix/host" "$docdir/examples/host.c" \
    $(pkg-config --cflags --libs zor)
printf 'GIF89a' > "$prefix/six bytes"
LD_LIBRARY_PATH=$libdir "$prefix/host" "$libdir/libzor.so" "$prefix/six bytes" > "$prefix/host.out"
diff -u - "$prefix/host.out" <<'OUT'
DateToSeconds(9.12.2026; 3600; 0) = 3879622800
TextToHtml = Caf&eacute; &lt;b&gt;&amp;&lt;/b&gt;
FileToPicture = a picture, 6 bytes
OUT

# A host that links nothing of zor: libzor.so finds libzorhost.so beside itself.
python3 -c 'import ctypes, sys; ctypes.CDLL(sys.argv[1]).RozoZIvav' "$libdir/libzor.so"

# zor-host finds the libraries from bin/, and the tour runs from the documentation folder.
cd "$docdir"
"$prefix/bin/zor-host" examples/tour.zor > "$prefix/tour.out"
tail -n 1 "$prefix/tour.out" | grep -qx 'too wide, no GIF:.0'
