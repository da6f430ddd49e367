#!/usr/bin/env bash
# Files over 4 GiB keep every byte in place, for a 32-bit build, where offsets
# and sizes are the first thing to go wrong. On a tmpfs, so nothing of it is
# written to disk: a sparse stored copy with marks around the 2 GiB and 4 GiB
# lines and at its end, restored once in the kernel and once by hand (strace
# refusing the kernel copy).
#   large_file.sh PROGRAM
set -u
prog=$(realpath "$1")
# shellcheck source=tests/needs.sh
. "$(dirname "$0")/needs.sh"
under_strace
shm=$(scratch)
[ "$(stat -f -c %T "$shm")" = tmpfs ] || needs "a tmpfs at /dev/shm"
[ "$(($(stat -f -c '%a * %S' "$shm")))" -gt $((5 << 30)) ] || needs "5 GiB free in $shm"
work=$(mktemp -d "$shm/cfgrestore-large.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 2

marks="0 $(((1 << 31) - 1)) $((1 << 32)) $(((1 << 32) + 65537))"
size=$(((1 << 32) + 65541))
truncate -s $size idapi32.cf_
for at in $marks; do printf MARK | dd of=idapi32.cf_ bs=1 seek="$at" conv=notrunc status=none; done
marks_ok() { # the live file has the size and every mark
    [ "$(stat -c %s idapi32.cfg)" = $size ] || { echo "    size $(stat -c %s idapi32.cfg), expected $size"; return 1; }
    for at in $marks; do
        [ "$(dd if=idapi32.cfg bs=1 skip="$at" count=4 status=none)" = MARK ] || { echo "    no mark at offset $at"; return 1; }
    done
}
for how in "in the kernel" "by hand"; do
    rm -f idapi32.cfg
    run=()
    [ "$how" = "by hand" ] && run=(strace -qq -o /dev/null -e inject=copy_file_range:error=EXDEV)
    if "${run[@]}" "$prog" && marks_ok; then ok "restored $how"; else not_ok "restored $how"; fi
done
summary
