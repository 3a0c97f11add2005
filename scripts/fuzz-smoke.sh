#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer + ASan + UBSan) and runs each for a bounded time.
# Usage: scripts/fuzz-smoke.sh [seconds per target, default 10] [extra libFuzzer flags...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-10}"
shift || true

scripts/setup.sh build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DKV_FUZZ=ON -DKV_SANITIZE=ON \
  -DKV_BUILD_TESTS=OFF -DKV_BUILD_BENCH=OFF >/dev/null

# Seeds written by the messaging tests, when they have run.
mkdir -p build-fuzz/corpus/message build-fuzz/corpus/transport_file
for seeds in build/fuzz-corpus build-asan/fuzz-corpus; do
  [ -d "$seeds" ] && cp -n "$seeds"/* build-fuzz/corpus/message/ 2>/dev/null || true
done
for target in message transport_file; do
  echo "Fuzzing ${target} for ${seconds} s"
  ASAN_OPTIONS=detect_leaks=1 "build-fuzz/fuzz/kvfakeshm_${target}_fuzz" "build-fuzz/corpus/${target}" \
    -max_total_time="$seconds" -print_final_stats=1 "$@" 2>&1 | tail -n 12
done
