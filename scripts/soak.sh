#!/usr/bin/env bash
# Soak runs of corvel-service (release build) over the fault-injection setup.
# Needs root (the stub terminals listen on port 80 of loopback addresses) and
# UDP port 8000; runs under the port lock. Not run in CI.
#
# Usage: scripts/soak.sh [table]     the memory table: for each of the four
#                                    costliest answers (a 10 MiB Result, a 16 MiB
#                                    body at 2 MB/s, endless trailers, endless
#                                    distinct header names) and N = 10, 50, 200
#                                    sessions that all behave so, a fresh
#                                    service for 45 s; prints each run's peak RSS
#        scripts/soak.sh minutes [M] the hostile-terminal setup for M minutes
#        (or scripts/soak.sh M)
#                                    (default 10), RSS, threads and descriptors
#                                    once a minute
# Environment: CORVEL_SOAK_SECONDS (45), CORVEL_SOAK_SESSIONS (10,50,200),
# CORVEL_RSS_CEILING_MIB (2048: a run whose service passes it is stopped).
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-table}
if [[ $mode =~ ^[0-9]+$ ]]; then  # scripts/soak.sh M, as before: minutes
  set -- minutes "$mode"
  mode=minutes
fi
scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build build/release --target fault_tests corvel-service
case $mode in
  table)
    CORVEL_SOAK_TABLE=1 flock /tmp/corvel-ports.lock \
      build/release/tests/fault_tests --gtest_filter=FaultInjection.MemoryTable
    ;;
  minutes)
    CORVEL_SOAK_MINUTES=${2:-10} flock /tmp/corvel-ports.lock \
      build/release/tests/fault_tests --gtest_filter=FaultInjection.Soak
    ;;
  *)
    echo "usage: scripts/soak.sh [table | minutes [M]]" >&2
    exit 2
    ;;
esac
