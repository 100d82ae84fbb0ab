#!/usr/bin/env bash
# headers_check.sh CC CXX INCLUDE_DIR: every public header, alone, compiles without a warning as C11
# (and C99) and as C++20, as hosts written in either language include it.
set -euo pipefail
cc=$1
cxx=$2
include=$3
status=0
for header in "$include"/zor/*.h; do
    line="#include \"zor/$(basename "$header")\""
    for std in c11 c99; do
        echo "$line" | "$cc" -std=$std -Wall -Wextra -pedantic -Werror -I"$include" -x c -fsyntax-only - ||
            { echo "headers_check: $header fails as $std" >&2; status=1; }
    done
    echo "$line" | "$cxx" -std=c++20 -Wall -Wextra -pedantic -Werror -I"$include" -x c++ -fsyntax-only - ||
        { echo "headers_check: $header fails as C++20" >&2; status=1; }
done
exit $status
