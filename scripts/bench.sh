#!/usr/bin/env bash
# Builds optimised and runs every benchmark in one go (about 8 minutes on 2 cores):
#  - the link benchmark: latency of every sample, throughput, CPU per thread and memory, the Connect peer
#    program against the Core, beside a bare NNG pair0 link in the same run (the baseline of every ratio);
#  - the micro-benchmarks (message handler, block reads, segment read, one dashboard frame), each beside
#    its own baseline.
# Writes build-bench/link/link-bench.csv and build-bench/link/latency-*.png, prints the tables, and ends
# with the `perf:` line. It uses the machine-wide names (IPC endpoint, segments): run no tests meanwhile.
# Usage: scripts/bench.sh [--runs N]   (N runs of each link measurement, medians reported; default 3)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=3
if [ "${1:-}" = "--runs" ]; then
  runs="$2"
fi

KV_EXTRA_PACKAGES="gnuplot-nox" scripts/setup.sh build-bench -DCMAKE_BUILD_TYPE=Release -DKV_BUILD_TESTS=OFF \
  >/dev/null

micro="build-bench/micro-bench.txt"
: >"$micro"
for b in kvfakeshm_bench kvcoreshm_bench kvframe_bench; do
  "build-bench/bench/$b" --benchmark_color=false --benchmark_repetitions=3 \
    --benchmark_report_aggregates_only=true | tee -a "$micro"
done
# One dashboard frame with every peer alive, in microseconds.
frame_us=$(awk '$1 == "BM_DashboardFrame_AllPeersAlive_mean" {
  f = ($3 == "ms") ? 1000 : (($3 == "ns") ? 0.001 : 1); printf "%.1f", $2 * f }' "$micro")

build-bench/bench/kvlink_bench build-bench build-bench/link --runs "$runs" --frame-us "${frame_us:-0}"
