#!/usr/bin/env bash
# Writes a database file for the ADO stand-in (format in terminal_file.h): the
# table Properties with one row per ADDRESS given.
# Usage: create-database.sh FILE [ADDRESS...]
set -euo pipefail
if (($# < 1)); then
  echo "usage: $0 FILE [ADDRESS...]" >&2
  exit 2
fi
file=$1
shift
{
  printf 'Corvel terminal database: Properties(ip)\r\n'
  for address in "$@"; do printf '%s\r\n' "$address"; done
} >"$file"
