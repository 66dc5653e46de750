#!/usr/bin/env bash
# Installs what is missing, builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every test. Exits non-zero on any failure.
set -euo pipefail
root="$(cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")" && pwd)"
build="$root/build/asan"
cd "$root"

scripts/install-deps.sh

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKXDD_SANITIZE=ON >/dev/null
cmake --build "$build"
jobs=$(nproc 2>/dev/null || echo 2)
ctest --test-dir "$build" --output-on-failure -j "$jobs" "$@"
