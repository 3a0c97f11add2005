#!/usr/bin/env bash
# Sets up and builds, starts the bundled Connect peer in the background, runs the dashboard client in the
# foreground against it and stops the peer when the client exits (Ctrl-C included). Arguments go to the
# client (for example -v 9). To run the client alone: build/client/kvfakeshm-core-client.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build >/dev/null

peer_output="build/connect-peer.out"
build/connectpeer/kvfakeshm-connect-peer >"$peer_output" 2>&1 &
peer=$!
stop_peer() {
  kill -TERM "$peer" 2>/dev/null || true
  wait "$peer" 2>/dev/null || true
}
trap stop_peer EXIT

for _ in $(seq 1 100); do
  grep -qx ready "$peer_output" 2>/dev/null && break
  kill -0 "$peer" 2>/dev/null || { cat "$peer_output" >&2; exit 1; }
  sleep 0.05
done
grep -E "^(Connect peer serving|Files in)" "$peer_output" || true

status=0
build/client/kvfakeshm-core-client "$@" || status=$?
exit "$status"
