#!/usr/bin/env bash
# Runs the Windows service lifecycle under wine64: install, start, controls,
# stop and removal of corvel-service.exe through Wine's service control manager.
# Usage: scripts/wine-lifecycle.sh <build dir of the mingw-x64 preset>
#
# Stopping the service requests a forced restart; under Wine that ends Wine's
# own session (never the host's), and it may end the driver with it. The
# driver therefore works in two phases and prints each observation as it
# makes it: the first phase may die only after the stop was answered, and the
# second, in a fresh Wine session, checks the stopped state and the removal.
set -uo pipefail
build=${1:?usage: wine-lifecycle.sh <build-dir>}
wine=/usr/lib/wine/wine64
service="$(realpath "$build/src/corvel-service.exe")"
driver="$(realpath "$build/tests/service_lifecycle.exe")"

prefix=$(mktemp -d)
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap '/usr/lib/wine/wineserver -k 2>/dev/null; rm -rf "$prefix"' EXIT

log=$(mktemp)
timeout 120 "$wine" "$driver" run "$service" 2>&1 | tee "$log"
run_status=${PIPESTATUS[0]}
/usr/lib/wine/wineserver -w 2>/dev/null || true

if grep -q '^FAILED' "$log"; then
  echo "wine lifecycle: the run phase failed"
  exit 1
fi
if [[ $run_status -ne 0 ]] && ! grep -q '^stop answered' "$log"; then
  echo "wine lifecycle: the driver ended ($run_status) before the stop was answered"
  exit 1
fi

timeout 120 "$wine" "$driver" finish "$service"
finish_status=$?
rm -f "$log"
exit $finish_status
