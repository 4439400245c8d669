#!/usr/bin/env bash
# Soak: runs corvel-service over the fault-injection setup (hostile stub
# terminals, a registration flood every minute) for the given number of
# minutes and prints RSS, threads and descriptors once a minute, so that
# growth shows. Needs root (the stub terminals listen on port 80). Not run in CI.
# Usage: scripts/soak.sh [minutes]   (default 10)
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=${1:-10}
scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build build/release --target fault_tests corvel-service
CORVEL_SOAK_MINUTES=$minutes build/release/tests/fault_tests --gtest_filter=FaultInjection.Soak
