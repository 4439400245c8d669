#!/usr/bin/env bash
# Builds corvel-service and runs it in the foreground with the default state
# root (the directory of the executable). Stop it with Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build build/release --target corvel-service
exec build/release/src/corvel-service "$@"
