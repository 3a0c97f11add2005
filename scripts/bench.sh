#!/usr/bin/env bash
# Builds and runs the benchmarks; each pairs a measurement with a baseline from the same run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build >/dev/null
for b in build/bench/kvfakeshm_bench build/bench/kvcoreshm_bench build/bench/kvframe_bench; do
  "$b" --benchmark_color=false --benchmark_repetitions=3 --benchmark_report_aggregates_only=true "$@"
done
