#!/usr/bin/env bash
# Times the restore against cp, cp + sync, a minimal durable replace (the
# reference) and a no-op program, and measures peak memory, all in one run so
# the ratios hold on a noisy machine.
#   bench/run.sh [--small SIZE] [--large SIZE] [--runs N] [--large-runs N]
#                [--memory-runs N] [--json DIR] [--dir DIR]
# Sizes as head -c takes them (10K, 256M). Run by hand, never by the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
small=10K large=256M runs=300 large_runs=10 memory_runs=5 json='' work=''
while [ $# -gt 0 ]; do
    case $1 in
    --small) small=$2; shift 2 ;;
    --large) large=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --large-runs) large_runs=$2; shift 2 ;;
    --memory-runs) memory_runs=$2; shift 2 ;;
    --json) json=$2; shift 2 ;;
    --dir) work=$2; shift 2 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
    esac
done
tools/install-deps bench

cmake --preset bench >/dev/null
cmake --build --preset bench >/dev/null
# Quoted, as hyperfine and sh split a command at spaces, also in the path.
restore=$(printf %q "$PWD/build/bench/cfgrestore")
noop=$(printf %q "$PWD/build/bench/bench/noop")
reference=$(printf %q "$PWD/build/bench/bench/reference")
# On the disk the build is on, not a tmpfs, so flushes cost what they cost.
work=${work:-$PWD/build/bench/work}
rm -rf "$work"
mkdir -p "$work"
out=$(mktemp -d)
trap 'rm -rf "$out" "$work"' EXIT

# bench LABEL SIZE RUNS SHELL COMMAND... : a directory with a stored copy
# and a live file, every command timed there (SHELL "none" or "sh"), then
# each one's peak memory.
bench() {
    local label=$1 size=$2 n=$3 shell=$4
    shift 4
    local dir=$work/$label
    mkdir -p "$dir"
    head -c "$size" /dev/urandom >"$dir/idapi32.cf_"
    head -c "$size" /dev/urandom >"$dir/idapi32.cfg"
    (cd "$dir" && hyperfine --style none --warmup 3 --runs "$n" --export-json "$out/$label.json" \
        --shell "$shell" "$@" >/dev/null)
    : >"$out/$label.mem"
    for cmd in "$@"; do
        peak=0
        for _ in $(seq "$memory_runs"); do
            # Straight, so a shell's own memory is not counted; a command
            # list needs one, and its figure is the larger of sh and its parts.
            case $cmd in
            *'&&'*) kib=$(cd "$dir" && /usr/bin/time -f %M sh -c "$cmd" 2>&1 >/dev/null | tail -n 1) ;;
            *) kib=$(cd "$dir" && eval "/usr/bin/time -f %M $cmd" 2>&1 >/dev/null | tail -n 1) ;;
            esac
            if [ "$kib" -gt "$peak" ]; then peak=$kib; fi
        done
        printf '%s\t%s\n' "$cmd" "$peak" >>"$out/$label.mem"
    done
}

# The small restore starts so quickly that a shell would dominate: no shell.
bench small "$small" "$runs" none "$restore" "cp idapi32.cf_ idapi32.cfg" "$reference" "$noop"
bench large "$large" "$large_runs" sh "$restore" "cp idapi32.cf_ idapi32.cfg" \
    "cp idapi32.cf_ idapi32.cfg && sync idapi32.cfg" "$reference" "$noop"
if [ -n "$json" ]; then
    mkdir -p "$json"
    cp "$out"/*.json "$json"/
fi

python3 - "$out" "$restore" "$noop" "$reference" "$small" "$large" <<'PY'
import json, statistics, sys
out, restore, noop, reference, small, large = sys.argv[1:]
names = {restore: "cfgrestore", noop: "no-op", reference: "reference (durable replace)"}
for label, size in (("small", small), ("large", large)):
    results = json.load(open(f"{out}/{label}.json"))["results"]
    mem = dict(line.rstrip("\n").split("\t") for line in open(f"{out}/{label}.mem"))
    med = {r["command"]: statistics.median(r["times"]) for r in results}
    base = med[restore]
    print(f"\n{label} ({size}):")
    print(f"  {'command':<48} {'median':>10} {'restore/x':>10} {'peak RSS':>10}")
    for r in results:
        cmd = r["command"]
        shown = names.get(cmd, cmd)
        print(f"  {shown:<48} {med[cmd] * 1000:>8.3f}ms {base / med[cmd]:>10.2f} {int(mem[cmd]) / 1024:>7.2f}MiB")
PY
