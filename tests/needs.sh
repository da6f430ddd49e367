#!/usr/bin/env bash
# A test whose tool is missing says so and skips (77), or fails under CI.
#   needs.sh WHAT          as a test of its own
#   . needs.sh; needs WHAT  from a test script
needs() {
    echo "missing: $1"
    [ "${CI:-}" = true ] && exit 1
    exit 77
}

# x86_32 COMMAND...: how this machine runs 32-bit x86 code, tried on a
# harmless 32-bit COMMAND; says which way ("natively" or "emulated", set in
# x86_32_way), or needs what it lacks. A binfmt_misc entry for qemu-i386
# takes precedence over the kernel's own loader.
x86_32() {
    local entry
    x86_32_way=natively
    if [ "$(cat /proc/sys/fs/binfmt_misc/status 2>/dev/null)" = enabled ]; then
        for entry in /proc/sys/fs/binfmt_misc/*; do
            [ "$(head -n 1 "$entry" 2>/dev/null)" = enabled ] && grep -qs '^interpreter .*qemu-i386' "$entry" && x86_32_way=emulated
        done
    fi
    "$@" >/dev/null 2>&1 </dev/null ||
        needs "a kernel that runs 32-bit x86 programs, or qemu-i386 registered with binfmt_misc (tools/install-deps does that)"
    if [ $x86_32_way = emulated ]; then
        echo "32-bit x86 code runs emulated here (qemu-i386 through binfmt_misc)"
    else
        echo "32-bit x86 code runs natively here"
    fi
}
if [ "${BASH_SOURCE[0]}" = "$0" ]; then needs "$1"; fi
