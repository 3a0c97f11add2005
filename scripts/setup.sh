#!/usr/bin/env bash
# Installs the Debian packages the project needs (only those missing), then configures and builds.
# Usage: [KV_EXTRA_PACKAGES="pkg ..."] scripts/setup.sh [build-dir [extra cmake arguments...]]
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  cmake g++ make clang libclang-rt-14-dev
  libnng-dev libflatbuffers-dev flatbuffers-compiler libboost-dev libfmt-dev libspdlog-dev
  libyaml-cpp-dev libncurses-dev tmux
  libgtest-dev libgmock-dev libbenchmark-dev
)
# Packages only some scripts need (gnuplot for the benchmark's pictures).
read -r -a extra <<<"${KV_EXTRA_PACKAGES:-}"
packages+=("${extra[@]}")
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages need root: run as root or install them first." >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq || true
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

build_dir="${1:-build}"
shift || true
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
cmake --build "$build_dir" -j "$(nproc)"
