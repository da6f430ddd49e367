#!/usr/bin/env bash
# What the test scripts share, written once:
#   needs.sh WHAT            a test of its own that says what is missing
#   . needs.sh               from a test script, for the functions below
# A test whose tool is missing says so and skips (77), or fails under CI.
needs() {
    echo "missing: $1"
    [ "${CI:-}" = true ] && exit 1
    exit 77
}

# x86_32 COMMAND...: how 32-bit x86 code runs here (x86_32_way: natively, or
# emulated where binfmt_misc has qemu-i386), said; tried on a harmless COMMAND.
x86_32() {
    local entry how=
    x86_32_way=natively
    for entry in /proc/sys/fs/binfmt_misc/*; do
        [ "$(head -n 1 "$entry" 2>/dev/null)" = enabled ] && grep -qs '^interpreter .*qemu-i386' "$entry" &&
            x86_32_way=emulated how=" (qemu-i386 through binfmt_misc)"
    done
    "$@" >/dev/null 2>&1 </dev/null ||
        needs "a kernel that runs 32-bit x86 programs, or qemu-i386 registered with binfmt_misc (tools/install-deps does that)"
    echo "32-bit x86 code runs $x86_32_way here$how"
}

# Counting: ok NAME, not_ok NAME [WHY]; summary, last, fails if anything did.
passed=0
failed=0
ok() { echo "ok - $*"; passed=$((passed + 1)); }
not_ok() { echo "not ok - $*"; failed=$((failed + 1)); }
summary() { echo "$passed passed, $failed failed"; [ "$failed" -eq 0 ]; }
# check NAME COMMAND...: ok or not ok, as COMMAND succeeds.
check() {
    local name=$1
    shift
    if "$@"; then ok "$name"; else not_ok "$name"; fi
}

# noise RC OUT ERR: what a run did besides exiting 0 (RC) and saying nothing
# (in OUT and ERR), or nothing.
noise() {
    [ "$1" -eq 0 ] || printf 'exit status %s; ' "$1"
    [ -s "$2" ] && printf 'wrote %s bytes to stdout; ' "$(wc -c <"$2")"
    [ -s "$3" ] && printf 'wrote %s bytes to stderr; ' "$(wc -c <"$3")"
    return 0
}

# holds FILE NEW OLD: which FILE holds: new, old, absent, or torn (its size).
holds() {
    if [ ! -e "$1" ]; then echo absent
    elif cmp -s "$1" "$2"; then echo new
    elif cmp -s "$1" "$3"; then echo old
    else echo "torn ($(stat -c %s "$1") bytes)"
    fi
}

# calls TRACE: a trace's calls from the first that names the stored copy, a
# line each: "NAME:NTH LINE", NTH as strace's when= counts.
calls() {
    awk -F'(' '/^[a-z0-9_]+\(/ { n[$1]++; if (index($0, "\"idapi32.cf_\"")) on = 1
                                  if (on && $1 != "exit_group") print $1 ":" n[$1] " " $0 }' "$1"
}

# Where scratch files go: a tmpfs where there is one, never the disk.
scratch() {
    if [ -d /dev/shm ] && [ "$(stat -f -c %T /dev/shm)" = tmpfs ]; then echo /dev/shm; else echo "${TMPDIR:-/tmp}"; fi
}

# For runs under strace, where LeakSanitizer cannot work, and says so.
under_strace() {
    command -v strace >/dev/null || needs "strace (package strace)"
    export ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0"
}
if [ "${BASH_SOURCE[0]}" = "$0" ]; then needs "$1"; fi
