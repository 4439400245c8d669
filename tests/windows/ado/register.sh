#!/usr/bin/env bash
# Registers the ADO stand-in (ado_standin.dll) in a Wine prefix under ADO's
# Connection and Recordset class ids, in place of Wine's own ADO, and checks
# that the registry view of the DLL's own bitness names it: a 32-bit program
# in a 64-bit prefix reads the 32-bit view (Wow6432Node).
# Usage: register.sh WINEPREFIX DLLPATH      (DLLPATH: a Unix path)
set -euo pipefail
if (($# != 2)); then
  echo "usage: $0 WINEPREFIX DLLPATH" >&2
  exit 2
fi
export WINEPREFIX=$1
export WINEDEBUG=${WINEDEBUG:--all}
dll=$(realpath "$2")

# A PE32 DLL is the 32-bit view's; a PE32+ DLL the native one.
view=/reg:64
if file -b "$dll" | grep -q '^PE32 '; then view=/reg:32; fi

windows_path=$(wine winepath -w "$dll" 2>/dev/null | tr -d '\r')
# regsvr32 loads the DLL in a process of its own bitness and calls DllRegisterServer.
wine regsvr32 /s "$windows_path"

for class in '{00000514-0000-0010-8000-00AA006D2EA4}' '{00000535-0000-0010-8000-00AA006D2EA4}'; do
  key="HKLM\\Software\\Classes\\CLSID\\$class\\InprocServer32"
  if ! wine reg query "$key" /ve "$view" 2>/dev/null | tr -d '\r' | grep -qiF "$windows_path"; then
    echo "register.sh: $class is not served by $windows_path in the $view registry view" >&2
    exit 1
  fi
done
