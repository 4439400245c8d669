#!/usr/bin/env bash
# The Windows Installer package as it ships, under Wine:
# - its tables (msiinfo): the service, the event source, the file, the
#   properties that keep every package action from restarting the machine,
#   and the version, which is the one corvel-service.exe -v prints;
# - a failed installation rolls back: a copy of the package with one more
#   action that fails after the service is registered (a deferred command that
#   exits 7) leaves no service, no event source and no file;
# - msiexec /i /qn in a fresh prefix: the registration the package made, the
#   service started over the stand-ins for terminal services and ADO as the
#   end-to-end run does, its process ended without a stop (a stop restarts
#   the machine);
# - msiexec /x /qn, with the service's process ended: no service, no event
#   source and no file are left.
# tests/windows/service_lifecycle.cpp (phases package and absent) checks the
# prefix. Usage: scripts/wine-package.sh <build dir of the mingw-i686 preset>
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: wine-package.sh <build-dir>}
msi=$(realpath "$build/corvel-service.msi")
driver="$(realpath "$build/tests/service_lifecycle.exe")"

work=$(mktemp -d)
prefix=$work/prefix
trace=$work/trace
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;wtsapi32=n,b"
trap 'wineserver -k 2>/dev/null; rm -rf "$work"' EXIT
failed=0
check() {  # condition-status description
  if (($1 == 0)); then echo "ok: $2"; else echo "FAILED: $2"; failed=1; fi
}
row() {  # table expected-row: the row is in msiinfo's export of the table
  msiinfo export "$msi" "$1" | tr -d '\r' | grep -qxF -- "$2"
}
has_row() {  # table awk-condition: a row of the table meets the condition (fields $1, $2, ...)
  msiinfo export "$msi" "$1" | tr -d '\r' | awk -F'\t' "$2 { found = 1 } END { exit !found }"
}

# The tables.
row ServiceInstall $'CorvelService\tCorvel Service\tCorvel Service\t16\t2\t1\t\t\t\t\t\tServiceProgram\t'
check $? "ServiceInstall: own process (16), automatic (2), normal errors (1), LocalSystem (no account)"
row ServiceControl $'CorvelService\tCorvel Service\t128\t\t0\tServiceProgram'
check $? "ServiceControl: deleted at uninstall (128), never stopped or started"
event_key='SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Corvel Service\\'
has_row Registry "\$2 == 2 && \$3 == \"$event_key\" && \$4 == \"EventMessageFile\" && \$5 == \"#%[#CorvelServiceExe]\" && \$6 == \"ServiceProgram\""
check $? "Registry: EventMessageFile, REG_EXPAND_SZ (#%) of the installed program"
has_row Registry "\$2 == 2 && \$3 == \"$event_key\" && \$4 == \"TypesSupported\" && \$5 == \"#7\" && \$6 == \"ServiceProgram\""
check $? "Registry: TypesSupported, REG_DWORD 7"
has_row File '$1 == "CorvelServiceExe" && $2 == "ServiceProgram" && $3 == "corvel-service.exe"'
check $? "File: corvel-service.exe in the service's component"
row Directory $'INSTALLDIR\tProgramFilesFolder\tCorvel Service'
check $? "Directory: Corvel Service under the 32-bit Program Files folder"
row Property $'REBOOT\tReallySuppress'
check $? "Property: REBOOT=ReallySuppress (msiexec never restarts the machine itself)"
row Property $'MSIRESTARTMANAGERCONTROL\tDisable'
check $? "Property: MSIRESTARTMANAGERCONTROL=Disable (the Restart Manager never stops the service)"
msiinfo suminfo "$msi" | grep -q '^Template: Intel;1033'
check $? "32-bit package (Template Intel)"
package_version=$(msiinfo export "$msi" Property | tr -d '\r' | awk -F'\t' '$1 == "ProductVersion" { print $2 }')

# A fresh prefix with the ADO stand-in registered.
if ! tests/windows/ado/register.sh "$prefix" "$(realpath "$build/tests/windows/ado/ado_standin.dll")"; then
  echo "wine package: the ADO stand-in could not be registered"
  exit 1
fi
wineserver -w
installed='C:\Program Files (x86)\Corvel Service\corvel-service.exe'
installed_dir="$prefix/drive_c/Program Files (x86)/Corvel Service"

# A failed installation rolls back.
broken=$work/broken.msi
cp "$msi" "$broken"
msibuild "$broken" \
  -q "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES ('FailAfterServices', 3106, 'INSTALLDIR', 'C:\\windows\\system32\\cmd.exe /c exit 7')" \
  -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('FailAfterServices', 5850)"
wine msiexec /i "Z:${broken//\//\\}" /qn
status=$?
wineserver -w
echo "msiexec /i of the failing package: exit status $status"
((status != 0 && status != 3010 % 256))
check $? "the failing installation fails"
wine "$driver" absent "$installed"
check $? "the failed installation rolled back"
wineserver -w

# Install, run, uninstall.
wine msiexec /i "Z:${msi//\//\\}" /qn
status=$?
wineserver -w
check $(((status == 0 || status == 3010 % 256) ? 0 : 1)) "msiexec /i /qn installs (exit status $status)"
printed=$(wine "$installed_dir/corvel-service.exe" -v | tr -d '\r' | sed -n 's/^Corvel Service Version //p')
check $([[ "$printed.0" == "$package_version" ]]; echo $?) \
  "the package's version $package_version is the one -v prints ($printed)"
wineserver -w  # the driver starts the next session, so that the service's debug output reaches it
cp "$build/tests/wtsapi32.dll" "$installed_dir/"
# The driver uninstalls within its own Wine session (see its package phase).
WINEDEBUG=-all,+debugstr,fixme+advapi timeout 300 wine "$driver" package "$installed" "Z:${trace//\//\\}" \
  "Z:${msi//\//\\}" 2>>"$trace"
check $? "the installed service runs; msiexec /x /qn removes it"
wineserver -w
# A new session, like the next start of the machine, brings nothing back.
wine "$driver" absent "$installed"
check $? "nothing of the package is left"
# The folder holds at most what the test put there itself.
left=$(ls -A "$installed_dir" 2>/dev/null | grep -vx -e wtsapi32.dll -e sessions -e terminal.mdb)
check $([[ -z $left ]]; echo $?) "no file of the package is left in its folder${left:+: $left}"
if ((failed)); then
  echo "--- the last trace lines and events"
  grep -a 'debugstr\|ReportEvent\|err:' "$trace" | tail -40
fi
exit $failed
