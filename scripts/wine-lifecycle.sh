#!/usr/bin/env bash
# The Windows service end to end under Wine: installs corvel-service.exe in a
# fresh prefix, starts it through Wine's service control manager over the
# stand-ins for terminal services and ADO, checks the watchdog, the
# registration listener, events and registry values, the controls, the stop
# and the removal (tests/windows/service_lifecycle.cpp says what and how).
# Then, when the build has one, the Windows Installer package as it ships
# (scripts/wine-package.sh).
# Usage: scripts/wine-lifecycle.sh <build dir of a mingw preset>
#
# The service's trace lines and events reach Wine's debug output, which goes
# to the standard error of the session's first process: the driver is that
# process, and its standard error goes to a file that it reads.
#
# Stopping the service requests a forced restart; under Wine that ends Wine's
# own session (never the host's), and it may end the driver with it. The
# driver therefore works in two phases and prints each observation as it
# makes it: the first phase may die only after the stop was answered, and the
# second, in a fresh Wine session, checks the stopped state and the removal.
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: wine-lifecycle.sh <build-dir>}
wine=wine
if ! file -b "$build/src/corvel-service.exe" | grep -q '^PE32 '; then wine=/usr/lib/wine/wine64; fi
driver="$(realpath "$build/tests/service_lifecycle.exe")"

prefix=$(mktemp -d)
trace=$(mktemp)
log=$(mktemp)
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;wtsapi32=n,b"
trap 'wineserver -k 2>/dev/null; rm -rf "$prefix" "$trace" "$log"' EXIT
started=$SECONDS

# The prefix, with the ADO stand-in registered; then no Wine process is left.
if ! tests/windows/ado/register.sh "$prefix" "$build/tests/windows/ado/ado_standin.dll"; then
  echo "wine lifecycle: the ADO stand-in could not be registered"
  exit 1
fi
wineserver -w
# The service's directory: the executable, the terminal-services stand-in,
# and later the session table and terminal.mdb that the driver writes.
# The folder's name has a space: -i must register the program's path quoted.
mkdir -p "$prefix/drive_c/corvel test"
cp "$build/src/corvel-service.exe" "$build/tests/wtsapi32.dll" "$prefix/drive_c/corvel test/"
service='C:\corvel test\corvel-service.exe'
trace_windows="Z:${trace//\//\\}"

export WINEDEBUG=-all,+debugstr,fixme+advapi
timeout 240 "$wine" "$driver" run "$service" "$trace_windows" 2>>"$trace" >"$log" &
driver_pid=$!
tail -n +1 -f --pid=$driver_pid "$log" &
# The announcements come from the host: Wine would send a socket's datagrams
# from 127.0.0.1 whatever loopback address the socket is bound to.
announced=0
while kill -0 $driver_pid 2>/dev/null; do
  if ((announced == 0)) && grep -q '^announce' "$log"; then
    perl -MIO::Socket::INET -e '
      for (@ARGV) {
        my ($source, $text) = split /=/, $_, 2;
        my $socket = IO::Socket::INET->new(Proto => "udp", LocalAddr => $source, PeerAddr => "127.0.0.1:8000")
          or die "announce from $source: $!";
        $socket->send($text) or die "announce from $source: $!";
      }' 127.0.5.20=qm47tv47 127.0.5.21=qm47tv47 127.0.5.20=qm47tv47 "127.0.5.22=not the phrase"
    touch "$prefix/drive_c/corvel test/announced"
    announced=1
  fi
  sleep 0.2
done
wait $driver_pid
run_status=$?
sleep 0.5  # the last lines of tail
wineserver -w 2>/dev/null || true

failed=0
if grep -q '^FAILED' "$log"; then
  echo "wine lifecycle: the run phase failed"
  failed=1
elif [[ $run_status -ne 0 ]] && ! grep -q '^stop answered' "$log"; then
  echo "wine lifecycle: the driver ended ($run_status) before the stop was answered"
  failed=1
else
  timeout 120 "$wine" "$driver" finish "$service" "$trace_windows" 2>>"$trace"
  failed=$(($? != 0))
fi
if ((failed)); then
  echo "--- the last trace lines and events"
  grep -a 'debugstr\|ReportEvent\|err:' "$trace" | tail -60
fi
echo "wine lifecycle: $((SECONDS - started)) s"

if [[ -f $build/corvel-service.msi ]]; then
  wineserver -k 2>/dev/null
  echo "== wine package"
  started=$SECONDS
  if ! scripts/wine-package.sh "$build"; then failed=1; fi
  echo "wine package: $((SECONDS - started)) s"
fi
exit $failed
