#!/usr/bin/env bash
# Builds everything with clang, AddressSanitizer and UndefinedBehaviorSanitizer
# under build/clang and runs every test there: the ./test.sh build with the other
# compiler. Extra arguments go to ctest (e.g. -R Fuzz). Exits non-zero on any failure.
set -euo pipefail
root="$(cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/.." && pwd)"
build="$root/build/clang"
cd "$root"

scripts/install-deps.sh --clang

launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKXDD_SANITIZE=ON "${launcher[@]}" >/dev/null

cmake --build "$build" -j3
ctest --test-dir "$build" --output-on-failure -j4 "$@"
