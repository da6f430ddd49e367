#!/usr/bin/env bash
# Black-box cases for the cfgrestore program, native or as the .exe under Wine:
#   restore_cases.sh PROGRAM [RUNNER...]
# Each case runs in a fresh directory and checks exit status 0, empty stdout
# and stderr, both files byte for byte, and that nothing else was left there.
set -u

prog=$(realpath "$1")
shift
runner=("$@")
kind=native
[ ${#runner[@]} -gt 0 ] && kind=wine

work=$(mktemp -d)
trap 'chmod -R u+w "$work"; rm -rf "$work"' EXIT
ref=$work/ref
mkdir "$ref"

passed=0
failed=0
case_name=
case_ok=1

begin() {
    case_name=$1
    case_ok=1
    mkdir -p "$work/$1"
    cd "$work/$1" || exit 2
}

problem() {
    echo "    $case_name: $*"
    case_ok=0
}

end() {
    if [ $case_ok -eq 1 ]; then
        echo "ok - $case_name"
        passed=$((passed + 1))
    else
        echo "not ok - $case_name"
        failed=$((failed + 1))
    fi
}

# Runs a program (the one under test unless given) from the current
# directory with the given arguments.
restore_as() {
    local rc program=$1
    shift
    timeout 120 "${runner[@]}" "$program" "$@" >"$work/stdout" 2>"$work/stderr" </dev/null
    rc=$?
    [ $rc -eq 0 ] || problem "exit status $rc, expected 0"
    [ -s "$work/stdout" ] && problem "wrote to stdout: $(head -c 200 "$work/stdout")"
    [ -s "$work/stderr" ] && problem "wrote to stderr: $(head -c 200 "$work/stderr")"
}
restore() { restore_as "$prog" "$@"; }

in_dir() { # in_dir DIR COMMAND... : without a subshell, so problems count
    cd "$1" || exit 2
    shift
    "$@"
    cd "$work/$case_name" || exit 2
}

same() { # same NAME REF
    if [ ! -f "$1" ]; then
        problem "$1 is missing"
    elif ! cmp -s "$1" "$2"; then
        problem "$1 differs from $(basename "$2")"
    fi
}

listing() { # listing "NAME..." : exactly these entries, no leftovers
    local have
    have=$(ls -A | sort | tr '\n' ' ')
    [ "$have" = "$1 " ] || problem "directory holds '$have', expected '$1 '"
}

# Test data: every byte value, text with CR LF line ends, a few MiB of noise.
for i in $(seq 0 255); do printf "\\x$(printf %02x "$i")"; done >"$ref/bytes"
printf '[engine]\r\nPATH=C:\\DATA\r\n\r\n; stored\r\n' >"$ref/text"
head -c $((3 << 20)) /dev/urandom >"$ref/large"
head -c 10240 /dev/urandom >"$ref/old"
: >"$ref/empty"

begin creates_missing_live
cp "$ref/bytes" idapi32.cf_
restore
same idapi32.cfg "$ref/bytes"
same idapi32.cf_ "$ref/bytes"
listing "idapi32.cf_ idapi32.cfg"
end

begin replaces_live_ignoring_arguments_twice
cp "$ref/text" idapi32.cf_
cp "$ref/old" idapi32.cfg
restore --help '/?' "two words" '' idapi32.cfg
same idapi32.cfg "$ref/text"
restore
same idapi32.cfg "$ref/text"
same idapi32.cf_ "$ref/text"
listing "idapi32.cf_ idapi32.cfg"
end

begin empty_and_large_stored_copies
cp "$ref/empty" idapi32.cf_
cp "$ref/old" idapi32.cfg
restore
same idapi32.cfg "$ref/empty"
cp "$ref/large" idapi32.cf_
restore
same idapi32.cfg "$ref/large"
same idapi32.cf_ "$ref/large"
listing "idapi32.cf_ idapi32.cfg"
end

begin no_stored_copy_changes_nothing
mkdir with_live empty
cp "$ref/old" with_live/idapi32.cfg
in_dir with_live restore
in_dir empty restore
same with_live/idapi32.cfg "$ref/old"
[ -z "$(ls -A empty)" ] || problem "files appeared in an empty directory"
listing "empty with_live"
end

begin names_resolve_in_working_directory
mkdir home elsewhere
cp "$ref/text" home/idapi32.cf_
cp "$ref/old" home/idapi32.cfg
cp "$prog" home/
in_dir elsewhere restore
in_dir elsewhere restore_as "$work/$case_name/home/$(basename "$prog")"
same home/idapi32.cfg "$ref/old"
[ -z "$(ls -A elsewhere)" ] || problem "files appeared in the working directory"
end

begin directories_under_either_name_are_left_alone
mkdir live_dir src_dir
cp "$ref/text" live_dir/idapi32.cf_
mkdir live_dir/idapi32.cfg
cp "$ref/old" live_dir/idapi32.cfg/inside
mkdir src_dir/idapi32.cf_
cp "$ref/old" src_dir/idapi32.cfg
in_dir live_dir restore
in_dir src_dir restore
same live_dir/idapi32.cfg/inside "$ref/old"
same src_dir/idapi32.cfg "$ref/old"
in_dir live_dir listing "idapi32.cf_ idapi32.cfg"
in_dir src_dir listing "idapi32.cf_ idapi32.cfg"
end

begin read_only_live
cp "$ref/text" idapi32.cf_
cp "$ref/old" idapi32.cfg
chmod a-w idapi32.cfg
restore
# The POSIX copy refuses a read-only live file for everyone, as Windows does.
# Wine maps read-only to missing write bits, which root passes over, so under
# Wine as root the file is replaced (and stays read-only).
if [ "$kind" = wine ] && [ "$(id -u)" -eq 0 ]; then
    same idapi32.cfg "$ref/text"
else
    same idapi32.cfg "$ref/old"
fi
[ -w idapi32.cfg ] && [ "$(id -u)" -ne 0 ] && problem "live file became writable"
[ -n "$(find idapi32.cfg -perm /222)" ] && problem "live file gained write bits"
listing "idapi32.cf_ idapi32.cfg"
end

echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
