#!/usr/bin/env bash
# Makes a fresh Wine prefix for this test run, with the loader MAKER:
#   wine_prefix.sh WINE MAKER
# With X86_32=1 the tests run 32-bit Wine: it says how that runs here first.
set -eu
. "$(dirname "$0")/needs.sh"
[ "${X86_32:-}" = 1 ] && x86_32 "$1" --version
rm -rf "$WINEPREFIX"
"$2" wineboot -i
"$(dirname "$2")/wineserver" -w
[ -f "$WINEPREFIX/system.reg" ] || { echo "no prefix made in $WINEPREFIX"; exit 1; }
echo "prefix ready in $WINEPREFIX"
