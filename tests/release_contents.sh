#!/usr/bin/env bash
# The release zip holds what the person on Windows needs and nothing else:
# the stripped .exe, a plain-text README with CRLF line ends and no build
# instructions, the licence, and checksums that match.
#   release_contents.sh ZIP OBJDUMP
set -u
zip=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 2
python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall()' "$zip" || exit 1
ok=1
bad() { echo "$*"; ok=0; }
top=$(basename "$zip" .zip)
have=$(cd "$top" && ls -A | sort | tr '\n' ' ')
[ "$have" = "LICENSE README.txt SHA256SUMS cfgrestore.exe " ] || bad "zip holds: $have"
cd "$top" || exit 1
for f in README.txt LICENSE SHA256SUMS; do
    [ "$(tr -d '\r' <"$f" | grep -c '')" = "$(grep -c $'\r$' "$f")" ] || bad "$f has lines without CRLF"
done
grep -q -i -E 'cmake|apt-get|debian|build' README.txt && bad "README.txt speaks of building"
for topic in 'fc /b idapi32.cf_ idapi32.cfg' 'cd /d' 'Start in' 'VirtualStore' 'certutil -hashfile' \
    'Get-FileHash' 'backup' 'Windows XP' 'Group Policy'; do
    grep -q -F "$topic" README.txt || bad "README.txt does not cover: $topic"
done
sections=$("$2" -h cfgrestore.exe | awk '{print $2}' | grep -E '^\.(debug|stab)' | tr '\n' ' ')
[ -z "$sections" ] || bad "cfgrestore.exe is not stripped: $sections"
tr -d '\r' <SHA256SUMS | sha256sum --quiet -c - || bad "checksums do not match"
echo "cfgrestore.exe: $(stat -c %s cfgrestore.exe) bytes; zip: $(stat -c %s "$zip") bytes"
[ $ok -eq 1 ]
