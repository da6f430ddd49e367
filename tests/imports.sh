#!/usr/bin/env bash
# The .exe must run when copied alone onto an old Windows machine: it may
# import only KERNEL32.dll and msvcrt.dll, as a console program.
#   imports.sh OBJDUMP EXE
set -u
# shellcheck source=tests/needs.sh
. "$(dirname "$0")/needs.sh"
dump=$("$1" -p "$2") || exit 1
dlls=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort | tr '\n' ' ')
subsystem=$(printf '%s\n' "$dump" | sed -n 's/^Subsystem[[:space:]]*//p')
major=$(printf '%s\n' "$dump" | sed -n 's/^MajorSubsystemVersion[[:space:]]*//p')
check "imports only KERNEL32.dll and msvcrt.dll: $dlls" [ "$dlls" = "KERNEL32.dll msvcrt.dll " ]
check "a console program: $subsystem" grep -q "Windows CUI" <<<"$subsystem"
check "a subsystem version old Windows takes: ${major:-none}" [ "${major:-99}" -le 5 ]
summary
