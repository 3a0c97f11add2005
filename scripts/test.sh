#!/usr/bin/env bash
# Sets up, builds and runs every test: once with the release build, once under AddressSanitizer and
# UndefinedBehaviorSanitizer (clang), once under ThreadSanitizer (clang), then the fuzz smoke runs.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs="$(nproc)"

scripts/setup.sh build
(cd build && ctest --output-on-failure -j "$jobs")

scripts/setup.sh build-asan -DCMAKE_CXX_COMPILER=clang++ -DKV_SANITIZE=ON -DKV_BUILD_BENCH=OFF
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j "$jobs")

scripts/setup.sh build-tsan -DCMAKE_CXX_COMPILER=clang++ -DKV_TSAN=ON -DKV_BUILD_BENCH=OFF
(cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --output-on-failure -j "$jobs")

if [ -x scripts/fuzz-smoke.sh ]; then
  scripts/fuzz-smoke.sh
fi
echo "All tests passed."
