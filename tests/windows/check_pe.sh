#!/usr/bin/env bash
# Checks a cross-built smfstream.exe: its PE format and machine, the console
# subsystem, and that it imports only the system's own DLLs (no libstdc++,
# libgcc or winpthread DLL beside it).
#   check_pe.sh OBJDUMP EXE FORMAT ARCHITECTURE MAGIC
#   e.g. check_pe.sh i686-w64-mingw32-objdump smfstream.exe pei-i386 i386 'Magic 010b (PE32)'
set -euo pipefail
objdump=$1 exe=$2 format=$3 architecture=$4 magic=$5
allowed="kernel32.dll msvcrt.dll winmm.dll"

fail() { echo "FAIL: $exe: $*" >&2; exit 1; }
[[ -f "$exe" ]] || fail "missing"
headers=$("$objdump" -p "$exe") || fail "$objdump cannot read it"
squeezed=$(tr -s ' \t' ' ' <<<"$headers")

grep -q "file format $format\$" <<<"$squeezed" || fail "not $format: $(grep -m1 'file format' <<<"$squeezed")"
grep -q "^architecture: $architecture," < <("$objdump" -f "$exe") || fail "machine is not $architecture"
grep -q "^$magic\$" <<<"$squeezed" || fail "not '$magic': $(grep -m1 '^Magic' <<<"$squeezed")"
grep -q '^Subsystem 00000003 (Windows CUI)$' <<<"$squeezed" || fail "not a console program: $(grep -m1 '^Subsystem' <<<"$squeezed")"

dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | tr 'A-Z' 'a-z' | sort -u)
[[ -n "$dlls" ]] || fail "no imports found"
for dll in $dlls; do
  [[ " $allowed " == *" $dll "* ]] || fail "imports $dll (only $allowed are allowed)"
done
echo "ok: $exe: $format, $architecture, $magic, console, imports: $(echo $dlls)"
