#!/usr/bin/env bash
# The .exe's version resource says what it is, with the project's version,
# and no field holds a word that makes Windows treat it as an installer.
#   version_resource.sh EXE VERSION
set -u
# shellcheck source=tests/needs.sh
. "$(dirname "$0")/needs.sh"
strings=$(strings -el "$1")
field() { # the value that follows a field name
    printf '%s\n' "$strings" | grep -A1 -x "$1" | sed -n 2p
}
for f in ProductName FileDescription FileVersion ProductVersion OriginalFilename; do
    check "$f: $(field "$f")" [ -n "$(field "$f")" ]
done
check "product name cfgrestore" [ "$(field ProductName)" = cfgrestore ]
check "file version $2" [ "$(field FileVersion)" = "$2" ]
check "original file name cfgrestore.exe" [ "$(field OriginalFilename)" = cfgrestore.exe ]
check "no installer words" [ -z "$(printf '%s\n' "$strings" | grep -i -E 'install|setup|update|patch')" ]
summary
