#!/usr/bin/env bash
# The .exe must run when copied alone onto an old Windows machine: it may
# import only KERNEL32.dll and msvcrt.dll, as a console program.
#   imports.sh OBJDUMP EXE
set -u
dump=$("$1" -p "$2") || exit 1
dlls=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort | tr '\n' ' ')
echo "imports: $dlls"
subsystem=$(printf '%s\n' "$dump" | sed -n 's/^Subsystem[[:space:]]*//p')
major=$(printf '%s\n' "$dump" | sed -n 's/^MajorSubsystemVersion[[:space:]]*//p')
echo "subsystem: $subsystem, version $major"
ok=1
[ "$dlls" = "KERNEL32.dll msvcrt.dll " ] || { echo "unexpected imports"; ok=0; }
case $subsystem in *"Windows CUI"*) ;; *) echo "not a console program"; ok=0 ;; esac
[ "${major:-99}" -le 5 ] || { echo "subsystem version too new for old Windows"; ok=0; }
[ $ok -eq 1 ]
