#!/usr/bin/env bash
# The release zip holds what the person on Windows needs and nothing else:
# the stripped .exe, a plain-text README with CRLF line ends and no build
# instructions, the licence, and checksums that match.
#   release_contents.sh ZIP OBJDUMP
set -u
# shellcheck source=tests/needs.sh
. "$(dirname "$0")/needs.sh"
zip=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 2
python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall()' "$zip" || exit 1
top=$(basename "$zip" .zip)
have=$(cd "$top" && ls -A | sort | tr '\n' ' ')
check "the zip holds LICENSE, README.txt, SHA256SUMS and cfgrestore.exe: $have" \
    [ "$have" = "LICENSE README.txt SHA256SUMS cfgrestore.exe " ]
cd "$top" || exit 1
for f in README.txt LICENSE SHA256SUMS; do
    check "$f has CRLF line ends" [ "$(tr -d '\r' <"$f" | grep -c '')" = "$(grep -c $'\r$' "$f")" ]
done
check "README.txt does not speak of building" [ -z "$(grep -i -E 'cmake|apt-get|debian|build' README.txt)" ]
for topic in 'fc /b idapi32.cf_ idapi32.cfg' 'cd /d' 'Start in' 'VirtualStore' 'certutil -hashfile' \
    'Get-FileHash' 'backup' 'Windows XP' 'Group Policy'; do
    check "README.txt covers: $topic" grep -q -F "$topic" README.txt
done
sections=$("$2" -h cfgrestore.exe | awk '{print $2}' | grep -E '^\.(debug|stab)' | tr '\n' ' ')
check "cfgrestore.exe is stripped" [ -z "$sections" ]
check "the checksums match" sha256sum --quiet -c <(tr -d '\r' <SHA256SUMS)
echo "cfgrestore.exe: $(stat -c %s cfgrestore.exe) bytes; zip: $(stat -c %s "$zip") bytes"
summary
