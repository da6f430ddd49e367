#!/usr/bin/env bash
# The restore against a power cut on loop-mounted ext4 (default options and
# noauto_da_alloc) and XFS images: the filesystem shut down without flushing
# its journal (xfs_io -x -c shutdown), then mounted again.
#   power_cut.sh PROGRAM                 the Linux build: asserted
#   power_cut.sh --contrast EXE WINE...  the .exe under Wine: its live file
#                                        reported, the rest asserted
# A finished run, then a cut: the whole new file and nothing else new. A run
# killed before each of its calls in turn, then cut as it stands and just
# after a journal commit (which keeps every name change so far, but no
# unflushed data): the whole old or new live file, the stored copy as it was,
# and a filesystem that checks clean. A cut within a call loses no more.
set -u
# shellcheck source=tests/needs.sh
. "$(dirname "$0")/needs.sh"
[ "$(id -u)" -eq 0 ] || needs "root, to mount images"
# In a mount namespace of its own: another process's new namespace would
# keep a copy of a mount, shut down, for the next mount of that device.
if [ "${POWER_CUT_INSIDE:-}" != 1 ]; then
    POWER_CUT_INSIDE=1 exec unshare -m --propagation private bash "$0" "$@"
fi
contrast=0
if [ "${1:-}" = --contrast ]; then
    contrast=1
    shift
fi
prog=$(realpath "$1")
shift
runner=("$@")

under_strace
for tool in xfs_io mkfs.xfs xfs_repair mkfs.ext4 e2fsck losetup; do
    command -v $tool >/dev/null || needs "$tool (packages xfsprogs, e2fsprogs, strace, util-linux)"
done
losetup -f >/dev/null 2>&1 || needs "a free loop device"

# Each image is attached to a loop device of its own for all its mounts.
work=$(mktemp -d -p "$(scratch)")
mnt=$work/mnt
dev=
trap 'umount "$mnt" 2>/dev/null; [ -n "$dev" ] && losetup -d "$dev"; rm -rf "$work"' EXIT
mkdir "$mnt"
head -c $((256 << 10)) /dev/urandom >"$work/stored"
head -c 5000 /dev/urandom >"$work/old"
export TEST_DIR=$work TEST_DEV=$work QA_CHECK_FS=1 # lets mkfs.xfs make a small test image

# fs NAME: makes its image; sets mkfs, mount options and fsck for it.
fs() {
    image=$work/$1.img
    [ -n "$dev" ] && losetup -d "$dev"
    rm -f "$image"
    truncate -s 128M "$image"
    case $1 in
    ext4) opts=defaults; mkfs.ext4 -q -F "$image" || exit 1; check=(e2fsck -fn "$image") ;;
    ext4-noauto_da_alloc) opts=noauto_da_alloc; mkfs.ext4 -q -F "$image" || exit 1; check=(e2fsck -fn "$image") ;;
    xfs) opts=defaults; mkfs.xfs -q -f "$image" || exit 1; check=(xfs_repair -n "$image") ;;
    esac
    dev=$(losetup --find --show "$image") || { echo "cannot attach $image to a loop device"; exit 1; }
}
up() { mount -o "$opts" "$dev" "$mnt" || { echo "cannot mount $image"; exit 1; }; }
# A busy unmount is retried: a mount left shut down fails every later step.
down() {
    for _ in 1 2 3 4 5 6 7 8 9 10; do umount "$mnt" 2>/dev/null && return; sleep 0.3; done
    echo "cannot unmount $mnt"; exit 1
}
power_off() { # power_off [-f]: the power fails; with -f, just after a journal commit
    xfs_io -x -c "shutdown ${1:-}" "$mnt" || { echo "cannot shut $mnt down"; exit 1; }
    down
}
# Stored copy and old live file, both safely on the device.
prepare() {
    rm -rf "$mnt/d"
    mkdir "$mnt/d"
    cp "$work/stored" "$mnt/d/idapi32.cf_"
    cp "$work/old" "$mnt/d/idapi32.cfg"
    sync -f "$mnt"
}
# What the folder holds after the cut, once mounted again.
after() { # sets live (old|new|torn|absent), left, stored_ok
    up
    left=$(find "$mnt/d" -mindepth 1 -maxdepth 1 ! -name idapi32.cf_ ! -name idapi32.cfg -printf '%f ')
    live=$(holds "$mnt/d/idapi32.cfg" "$work/stored" "$work/old")
    stored_ok=1
    cmp -s "$mnt/d/idapi32.cf_" "$work/stored" || stored_ok=0
    down
}
clean() { "${check[@]}" >/dev/null 2>&1 || not_ok "$1: $image does not check clean"; }

for name in ext4 ext4-noauto_da_alloc xfs; do
    fs $name
    before=$failed
    if [ $contrast -eq 1 ]; then
        up
        prepare
        # A Wine server started outside this namespace would not see the image.
        "$(dirname "$(command -v "${runner[0]}")")/wineserver" -k 2>/dev/null
        (cd "$mnt/d" && "${runner[@]}" "$prog" >/dev/null 2>&1)
        "$(dirname "$(command -v "${runner[0]}")")/wineserver" -k 2>/dev/null
        power_off
        after
        # Wine's copy does not flush: which live file survives is its own
        # business, but the stored copy is only read and the image is sound.
        echo "$name: the .exe under Wine, cut after it returned: live file $live${left:+, also $left}"
        [ $stored_ok -eq 1 ] || not_ok "$name: the .exe under Wine changed the stored copy"
        clean "$name, the .exe under Wine"
        [ "$failed" -eq "$before" ] && ok "$name: the .exe under Wine leaves the stored copy and the image sound"
        continue
    fi

    # Durable on return.
    up
    prepare
    (cd "$mnt/d" && "$prog")
    power_off
    after
    [ "$live" = new ] && [ -z "$left" ] && [ $stored_ok -eq 1 ] ||
        not_ok "$name: cut after the run returned: live file $live${left:+, also $left}"
    clean "$name, durable on return"

    # The cut points: every call of a run's trace from the copy's start.
    up
    prepare
    (cd "$mnt/d" && strace -qq -o "$work/trace" "$prog")
    down
    mapfile -t points < <(calls "$work/trace" | cut -d' ' -f1)
    k=0
    for point in "${points[@]}"; do
        k=$((k + 1))
        for flush in "" -f; do
            at="cut${flush:+ after a commit} before call $k ${point%%:*}"
            up
            prepare
            # In the background, so the shell does not announce the kill.
            (cd "$mnt/d" && exec strace -qq -o /dev/null -e "inject=${point%%:*}:signal=KILL:when=${point##*:}" "$prog") &
            wait $! 2>/dev/null
            power_off $flush
            after
            case $live in old | new) ;; *) not_ok "$name: $at: live file $live" ;; esac
            [ $stored_ok -eq 1 ] || not_ok "$name: $at: stored copy changed"
            case $left in "" | ".idapi32.cfg."????????" ") ;; *) not_ok "$name: $at: left $left" ;; esac
            clean "$name, $at"
        done
    done

    [ "$failed" -eq "$before" ] && ok "$name: every cut (${#points[@]} points, each cut twice)"
done

summary
