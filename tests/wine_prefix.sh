#!/usr/bin/env bash
# The Wine prefix of a test run:
#   wine_prefix.sh WINE MAKER      makes it with the loader MAKER, or takes the
#                                  one tools/test-all made for the whole run
#   wine_prefix.sh --remove WINE   stops its server and removes it, unless it
#                                  is the whole run's
# With X86_32=1 the tests run 32-bit Wine: it says how that runs here first.
set -eu
# shellcheck source=tests/needs.sh
. "$(dirname "$0")/needs.sh"
if [ "$1" = --remove ]; then
    "$(dirname "$2")/wineserver" -k 2>/dev/null || true
    [ "$WINEPREFIX" = "${CFGRESTORE_WINEPREFIX:-}" ] || rm -rf "$WINEPREFIX"
    exit 0
fi
[ "${X86_32:-}" = 1 ] && x86_32 "$1" --version
# The run's prefix, once an earlier workflow made it whole; else made anew.
if [ "$WINEPREFIX" = "${CFGRESTORE_WINEPREFIX:-}" ] && [ -f "$WINEPREFIX/.made" ]; then
    echo "the run's prefix, made by an earlier workflow: $WINEPREFIX"
    exit 0
fi
rm -rf "$WINEPREFIX"
# Internet Explorer not registered: two Wine starts fewer, a minute emulated.
WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-};iexplore.exe=d" "$2" wineboot -i
"$(dirname "$2")/wineserver" -w
[ -f "$WINEPREFIX/system.reg" ] || { echo "no prefix made in $WINEPREFIX"; exit 1; }
touch "$WINEPREFIX/.made"
echo "prefix ready in $WINEPREFIX"
