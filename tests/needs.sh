#!/usr/bin/env bash
# A test whose tool is missing says so and skips (77), or fails under CI.
#   needs.sh WHAT          as a test of its own
#   . needs.sh; needs WHAT  from a test script
needs() {
    echo "missing: $1"
    [ "${CI:-}" = true ] && exit 1
    exit 77
}

# x86_32 COMMAND...: how this machine runs 32-bit x86 code, natively or
# emulated (a binfmt_misc entry for qemu-i386 takes precedence over the
# kernel), set in x86_32_way and said; tried on a harmless 32-bit COMMAND.
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
if [ "${BASH_SOURCE[0]}" = "$0" ]; then needs "$1"; fi
