#!/usr/bin/env bash
# The program on a full disk: a small tmpfs in a private mount namespace.
#   full_disk.sh PROGRAM
# Every scenario runs twice: with unnamed temporary files and, with strace
# refusing those, with named ones (the kind that could be left behind); one
# written in place, with fallocate and, refused, without it.
set -u
prog=$(realpath "$1")
# shellcheck source=tests/needs.sh
. "$(dirname "$0")/needs.sh"
under_strace

# A private mount namespace: as root, or in a user namespace of the caller's.
if [ "${FULL_DISK_INSIDE:-}" != 1 ]; then
    for how in "-m" "-r -m"; do
        # shellcheck disable=SC2086
        if unshare $how --propagation private true 2>/dev/null; then
            FULL_DISK_INSIDE=1 exec unshare $how --propagation private bash "$0" "$@"
        fi
    done
    needs "mount namespaces (unshare -m needs root or user namespaces)"
fi

work=$(mktemp -d)
trap 'umount "$work/disk" "$work/ext4" 2>/dev/null; rm -rf "$work"' EXIT
mkdir "$work/disk" "$work/ref"
ref=$work/ref
disk=$work/disk

mib() { head -c $(($1 * 1024)) /dev/urandom >"$ref/$2"; } # mib KiB NAME
mib 1024 old1
mib 2048 old2
mib 5120 stored5
mib 3072 stored3
mib $((3072 + 4)) stored3p
mib 4096 filler
mib 0 empty
truncate -s 6M "$ref/sparse6"

# A fresh disk holding the scenario's files (its variables, by dynamic scope).
fill() {
    # Root's own (not the 1777 a tmpfs starts with): the other name is root's.
    mount -t tmpfs -o "mode=0755,$opts" tmpfs "$disk" || { echo "cannot mount tmpfs"; exit 1; }
    [ -n "$filler" ] && cp "$ref/$filler" "$disk/filler"
    [ "$old" != - ] && cp "$ref/$old" "$disk/idapi32.cfg"
    [ -n "$linked" ] && ln "$disk/idapi32.cfg" "$disk/other.cfg"
    cp "$ref/$stored" "$disk/idapi32.cf_"
}

# scenario NAME MOUNT-OPTIONS STORED OLD|- EXPECT(old|new|absent) [FILLER] [linked]
# "linked" gives the live file a second name, so it is written in place.
scenario() {
    local name=$1 opts=$2 stored=$3 old=$4 expect=$5 filler=${6:-} linked=${7:-} mode label problems nth live
    for mode in unnamed named; do
        label="$mode temporary"
        fill
        run=()
        if [ $mode = named ] && [ -n "$linked" ]; then
            label="no fallocate"
            run=(strace -qq -o /dev/null -e inject=fallocate:error=EOPNOTSUPP)
        elif [ $mode = named ]; then
            # The openat that makes the unnamed file, from a run's trace, refused.
            (cd "$disk" && strace -qq -o "$work/trace" "$prog")
            nth=$(calls "$work/trace" | grep -m1 '^openat:.*O_TMPFILE' | cut -d' ' -f1 | cut -d: -f2)
            umount "$disk"
            fill
            [ -n "$nth" ] && run=(strace -qq -o /dev/null -e "inject=openat:error=EOPNOTSUPP:when=$nth")
        fi
        (cd "$disk" && timeout 60 "${run[@]}" "$prog" >"$work/out" 2>"$work/err" </dev/null)
        problems=$(noise $? "$work/out" "$work/err")
        cmp -s "$disk/idapi32.cf_" "$ref/$stored" || problems+=" stored copy changed;"
        live=$(holds "$disk/idapi32.cfg" "$ref/$stored" "$ref/${old#-}")
        [ "$live" = "$expect" ] || problems+=" live file $live;"
        want="idapi32.cf_"
        [ "$expect" != absent ] && want+=" idapi32.cfg"
        [ -n "$filler" ] && want="filler $want"
        [ -n "$linked" ] && want+=" other.cfg"
        [ -n "$linked" ] && ! cmp -s "$disk/idapi32.cfg" "$disk/other.cfg" && problems+=" link broken;"
        have=$(ls -A "$disk" | sort | tr '\n' ' ')
        [ "$have" = "$want " ] || problems+=" folder holds '$have';"
        umount "$disk"
        if [ -z "$problems" ]; then ok "$name ($label)"; else not_ok "$name ($label):$problems"; fi
    done
}

# 8 MiB of space; 1 MiB live + 5 MiB stored leaves 2 MiB for a 5 MiB copy.
scenario "stored copy larger than the free space" size=8m stored5 old1 old
# 2 + 3 + 3 MiB: the copy takes the very last page before flush and rename.
scenario "copy fills the disk exactly" size=8m stored3 old2 new
scenario "copy one page larger than the free space" size=8m stored3p old2 old
scenario "no inode left for the temporary file" size=8m,nr_inodes=3 stored3 old1 old
# Written in place: 2 + 5 MiB leaves 1 MiB, too little to grow to 5 MiB;
# 1 + 3 MiB leaves 4, enough to grow to 3.
scenario "in place, no room to grow" size=8m stored5 old2 old "" linked
scenario "in place, room to grow" size=8m stored3 old1 new "" linked
scenario "in place, shrinking" size=8m old1 old2 new "" linked
scenario "in place, shrinking to nothing" size=8m empty old2 new "" linked
# 4 + 3 MiB leaves 1: a 6 MiB file that holds nothing has no room for 3.
scenario "in place, a sparse file's holes are no room" size=8m stored3 sparse6 old filler linked
# 4 MiB taken by another file + 3 MiB stored leaves 1 MiB.
scenario "no room to create a live file" size=8m stored3 - absent filler

# On ext4 a reservation that runs out keeps what it found, unless given back:
# a 2-block file with a second name, a sparse 1 GiB stored copy.
mkdir "$work/ext4"
if truncate -s 64M "$work/ext4.img" && mkfs.ext4 -q -F "$work/ext4.img" 2>/dev/null &&
    mount -o loop "$work/ext4.img" "$work/ext4" 2>/dev/null; then
    head -c 8000 "$ref/old1" >"$ref/small" && cp "$ref/small" "$work/ext4/idapi32.cfg"
    ln "$work/ext4/idapi32.cfg" "$work/ext4/other.cfg"
    truncate -s 1G "$work/ext4/idapi32.cf_"
    free=$(stat -f -c %a "$work/ext4")
    (cd "$work/ext4" && "$prog")
    kept=$((free - $(stat -f -c %a "$work/ext4")))
    if [ "$kept" -le 16 ] && cmp -s "$work/ext4/idapi32.cfg" "$ref/small"; then
        ok "a failed reservation on ext4 is given back"
    else
        not_ok "a failed reservation on ext4 is given back: $kept blocks kept, size $(stat -c %s "$work/ext4/idapi32.cfg")"
    fi
    # A stored copy that fits only in root's reserve: no room without
    # fallocate, even for root; nor for root restoring a user's files.
    half=$(($(stat -f -c '(%a + %f)' "$work/ext4") * $(stat -f -c %S "$work/ext4") / 2))
    truncate -s 0 "$work/ext4/idapi32.cf_" && truncate -s "$half" "$work/ext4/idapi32.cf_"
    (cd "$work/ext4" && strace -qq -o /dev/null -e inject=fallocate:error=EOPNOTSUPP "$prog")
    check "without fallocate, root's reserve is no room" cmp -s "$work/ext4/idapi32.cfg" "$ref/small"
    mkdir "$work/ext4/user" && echo old >"$work/ext4/user/idapi32.cfg"
    truncate -s "$half" "$work/ext4/user/idapi32.cf_"
    chown -R 65534:65534 "$work/ext4/user"
    free=$(stat -f -c %f "$work/ext4")
    (cd "$work/ext4/user" && "$prog")
    reserve_kept() { [ "$(cat "$work/ext4/user/idapi32.cfg")" = old ] && [ "$(stat -f -c %f "$work/ext4")" -ge $((free - 16)) ]; }
    check "a user's copy as root does not take root's reserve" reserve_kept
    umount "$work/ext4"
elif [ "${CI:-}" = true ]; then
    not_ok "a failed reservation on ext4: cannot mount an ext4 image (root, e2fsprogs)"
else
    echo "missing: an ext4 image (root, e2fsprogs), for a failed reservation"
fi

summary
