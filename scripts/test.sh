#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test twice: a normal build and an
# AddressSanitizer + UndefinedBehaviorSanitizer build. Warnings are errors.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

scripts/build.sh build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGH_WERROR=ON
ctest --test-dir build/release --output-on-failure -j2

scripts/build.sh build/asan -DCMAKE_BUILD_TYPE=Debug -DGH_WERROR=ON -DGH_SANITIZE=ON -DGH_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan --output-on-failure -j2
