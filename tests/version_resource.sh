#!/usr/bin/env bash
# The .exe's version resource says what it is, with the project's version,
# and no field holds a word that makes Windows treat it as an installer.
#   version_resource.sh EXE VERSION
set -u
strings=$(strings -el "$1")
ok=1
field() { # the value that follows a field name
    printf '%s\n' "$strings" | grep -A1 -x "$1" | sed -n 2p
}
for f in ProductName FileDescription FileVersion ProductVersion OriginalFilename; do
    echo "$f: $(field "$f")"
    [ -n "$(field "$f")" ] || { echo "missing $f"; ok=0; }
done
[ "$(field ProductName)" = cfgrestore ] || { echo "wrong product name"; ok=0; }
[ "$(field FileVersion)" = "$2" ] || { echo "file version is not $2"; ok=0; }
[ "$(field OriginalFilename)" = cfgrestore.exe ] || { echo "wrong original file name"; ok=0; }
if words=$(printf '%s\n' "$strings" | grep -i -E 'install|setup|update|patch'); then
    echo "installer words in the resource: $words"
    ok=0
fi
[ $ok -eq 1 ]
