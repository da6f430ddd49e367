#!/usr/bin/env bash
# Makes a fresh Wine prefix for this test run: wine_prefix.sh WINE_BIN_DIR
set -eu
rm -rf "$WINEPREFIX"
"$1/wineboot" -i
"$1/wineserver" -w
[ -f "$WINEPREFIX/system.reg" ] || { echo "no prefix made in $WINEPREFIX"; exit 1; }
echo "prefix ready in $WINEPREFIX"
