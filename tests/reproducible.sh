#!/usr/bin/env bash
# Two release builds of the same sources, in different folders and at
# different times, give the same .exe, zip and checksums byte for byte.
#   reproducible.sh SOURCE_DIR
set -eu
# shellcheck source=tests/needs.sh
. "$(dirname "$0")/needs.sh"
src=$(realpath "$1")
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git -C "$src" log -1 --format=%ct)
fi
export SOURCE_DATE_EPOCH
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

build() { # build DIR: a copy of the tracked sources, built as a release
    mkdir -p "$1"
    git -C "$src" ls-files -z --cached --others --exclude-standard |
        (cd "$src" && xargs -0 tar cf - --ignore-failed-read 2>/dev/null) | tar xf - -C "$1"
    (cd "$1" && cmake --preset release -DBUILD_TESTING=OFF >/dev/null &&
        cmake --build --preset release >/dev/null)
}
build "$work/one"
sleep 2 # a later second, so any time stamp that slipped in would show
build "$work/a/much/longer/second/path"
for f in cfgrestore.exe cfgrestore-*-win32.zip SHA256SUMS; do
    one=$(echo "$work"/one/build/release/$f)
    two=$(echo "$work"/a/much/longer/second/path/build/release/$f)
    check "the same $f twice ($(sha256sum <"$one" | cut -c1-16))" cmp "$one" "$two"
done
summary
