#!/usr/bin/env bash
# A test whose tool is missing says so and skips (77), or fails under CI.
#   needs.sh WHAT          as a test of its own
#   . needs.sh; needs WHAT  from a test script
needs() {
    echo "missing: $1"
    [ "${CI:-}" = true ] && exit 1
    exit 77
}
[ "${BASH_SOURCE[0]}" = "$0" ] && needs "$1"
