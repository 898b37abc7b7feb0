#!/bin/bash
# Builds a delay-load import library for a system DLL from MinGW's ordinary
# import library: the DLL is then loaded at its first use, after the program
# has restricted the DLL search path, instead of by the loader at start-up
# (when the program's own folder is searched first).
#   make_delaylib.sh PREFIX IMPORTLIB DLLNAME OUTLIB
set -euo pipefail
prefix="$1" importlib="$2" dll="$3" out="$4"
def="$out.def"
case "$prefix" in
    i686-*) strip='__imp__'; kill=(-k) ;;   # stdcall names carry _ and @N
    *) strip='__imp_'; kill=() ;;
esac
{
    echo "LIBRARY $dll"
    echo "EXPORTS"
    "$prefix-nm" "$importlib" | awk -v s="$strip" '$2 == "I" && index($3, s) == 1 { print substr($3, length(s) + 1) }' | sort -u
} >"$def"
"$prefix-dlltool" "${kill[@]}" -d "$def" -D "$dll" -y "$out"
