#!/usr/bin/env bash
# Sets up, builds and starts the dashboard client. Arguments go to the client (for example -v 9).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build >/dev/null
exec build/client/kvfakeshm-core-client "$@"
