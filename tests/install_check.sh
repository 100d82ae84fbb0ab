#!/usr/bin/env bash
# install_check.sh BUILD_DIR: installs zor into a temporary prefix and builds a small host against it
# with pkg-config alone, then runs it: start-up, StreamList (0), shutdown.
set -euo pipefail
build=$1
prefix=$(mktemp -d /tmp/zor-install-XXXXXX)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(find "$prefix" -name libzor.so -printf '%h\n' | head -n 1)
test -f "$libdir/libzor.rsrc"
cat > "$prefix/host.cpp" <<'CPP'
#include <dlfcn.h>
#include <stdio.h>
#include <zor/zor.h>
#include <zor/host_toolbox.h>
int main(int, char** argv) {
    void* library = dlopen(argv[1], RTLD_NOW);
    if (!library) { puts(dlerror()); return 1; }
    auto entry = reinterpret_cast<RozoZIvavFunction>(dlsym(library, "RozoZIvav"));
    HostHandle globals = nullptr;
    entry(ZorSelectorStartUp, nullptr, &globals, nullptr);
    int32_t n = 0;
    void* params[] = {&n};
    int64_t slot = 77;
    entry(52, params, &globals, &slot);
    entry(ZorSelectorShutDown, nullptr, &globals, nullptr);
    printf("%s has %zu commands; StreamList(0) = %d\n", zor::FindCommand(52)->name, zor::kCommandCount, (int)slot);
    return slot == 0 ? 0 : 1;
}
CPP
export PKG_CONFIG_PATH="$libdir/pkgconfig"
g++ -std=c++20 -o "$prefix/host" "$prefix/host.cpp" $(pkg-config --cflags --libs zor) -Wl,-rpath,"$libdir"
"$prefix/host" "$libdir/libzor.so"
