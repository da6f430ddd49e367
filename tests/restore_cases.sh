#!/usr/bin/env bash
# Black-box cases for the cfgrestore program, native or as the .exe under Wine:
#   restore_cases.sh PROGRAM [RUNNER...]
# Each case runs in a fresh folder and checks exit status 0, empty stdout
# and stderr, both files byte for byte, and that nothing else was left there.
# Under Wine, HOLD_FILE names the test helper that holds a file open. With
# X86_32=1 (a 32-bit build) it says first how 32-bit code runs here.
set -u
# shellcheck source=tests/needs.sh
. "$(dirname "$0")/needs.sh"

prog=$(realpath "$1")
shift
runner=("$@")
kind=native
[ ${#runner[@]} -gt 0 ] && kind=wine && wine_bin=$(dirname "$(command -v "${runner[0]}")")

work=$(mktemp -d)
chmod 755 "$work" # an unprivileged user's case runs in here
user_prog= # an unprivileged user's copy of the program, once made
trap '[ -z "$user_prog" ] || stop_user; chmod -R u+w "$work"; rm -rf "$(readlink -f "$work/user")" "$work"' EXIT
ref=$work/ref
mkdir "$ref"

# Emulated, 32-bit Wine takes a minute or more to start: there the .exe runs
# a short list (a create that makes the one call, a replace with arguments),
# the 64-bit build every case; in tools/test-all, on the shipped .exe only.
list=whole
limit=120
if [ "${X86_32:-}" = 1 ]; then
    if [ "$kind" = wine ]; then x86_32 "${runner[@]}" --version; else x86_32 env -C "$ref" "$prog"; fi
    if [ "$kind" = wine ] && [ "$x86_32_way" = emulated ]; then
        if [ "${CFGRESTORE_RELEASE_IN_RUN:-}" = 1 ] && [ "${SHIPPED:-}" != 1 ]; then
            echo "so this build's Wine cases run on the shipped release .exe instead, in this run's release workflow"
            exit 0
        fi
        list=short
        limit=900
        echo "so the short list runs: a create that makes the one call, a replace with arguments; the 64-bit build runs every case"
    fi
fi

begin() {
    case_name=$1
    case_ok=1
    mkdir -p "$work/$1"
    cd "$work/$1" || exit 2
}

problem() { echo "    $case_name: $*"; case_ok=0; }
end() { if [ $case_ok -eq 1 ]; then ok "$case_name"; else not_ok "$case_name"; fi; }

restore_as() { # restore_as PROGRAM ARGS...: from the current folder
    local rc program=$1
    shift
    timeout $limit "${runner[@]}" "$program" "$@" >"$work/stdout" 2>"$work/stderr" </dev/null
    rc=$(noise $? "$work/stdout" "$work/stderr")
    [ -z "$rc" ] || problem "$rc"
}
restore() { restore_as "$prog" "$@"; }

# As root, a run by the user nobody: the program copied where that user can
# reach it and, under Wine, a copy of the run's prefix (a new one takes
# minutes) less root's server, among the scratch files (it is large).
restore_unprivileged() {
    local home saved=("${runner[@]}")
    home=$(mktemp -d -p "$(scratch)") && ln -s "$home" "$work/user"
    cp "$prog" "$home/"
    [ "$kind" = wine ] && cp -a "$WINEPREFIX" "$home/prefix" && rm -f "$home/prefix/wineserver"
    chown -R 65534:65534 "$home"
    user_prog=$home/$(basename "$prog")
    user_env=(setpriv --reuid=65534 --regid=65534 --clear-groups env HOME="$home" WINEPREFIX="$home/prefix")
    runner=("${user_env[@]}" "${runner[@]}")
    restore_as "$user_prog"
    runner=("${saved[@]}")
}
stop_user() { [ "$kind" != wine ] || "${user_env[@]}" "$wine_bin/wineserver" -k 2>/dev/null; return 0; }

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
        problem "$1 differs from $(basename "$2"): $(stat -c %s "$1") bytes against $(stat -c %s "$2"), $(cmp "$1" "$2" 2>&1 | sed -n 's/.*differ: \(byte [0-9]*\).*/first differing at \1/p; s/.*EOF on \([^ ]*\).*/\1 ends first/p')"
    fi
}

listing() { # listing "NAME..." : exactly these entries, no leftovers
    local have
    have=$(ls -A | sort | tr '\n' ' ')
    [ "$have" = "$1 " ] || problem "folder holds '$have', expected '$1 '"
}

# Test data: every byte value, text with CR LF line ends, a few MiB of noise.
for i in $(seq 0 255); do printf "\\x$(printf %02x "$i")"; done >"$ref/bytes"
printf '[section]\r\ncolour=blue\r\n\r\n; stored\r\n' >"$ref/text"
head -c $((3 << 20)) /dev/urandom >"$ref/large"
head -c 10240 /dev/urandom >"$ref/old"
: >"$ref/empty"

if [ "$kind" = wine ]; then
    # Wine's relay trace shows every call the program makes into kernel32.
    begin one_copy_call_with_the_exact_arguments_and_no_console_write_creating_the_live_file
    cp "$ref/text" idapi32.cf_
    WINEDEBUG=+relay timeout $limit "${runner[@]}" "$prog" >"$work/stdout" 2>"$work/relay" </dev/null
    rc=$(noise $? "$work/stdout" /dev/null) # its stderr is the relay trace
    [ -z "$rc" ] || problem "$rc"
    same idapi32.cfg "$ref/text"
    calls=$(grep -a ':Call KERNEL32\.CopyFileA(' "$work/relay")
    # Pointers vary; the strings, the flag and the caller (the .exe's own image
    # at 0x400000, or 0x140000000 for 64-bit) do not.
    shown=$(printf '%s\n' "$calls" | sed -E 's/^[0-9a-f]+:Call //; s/[0-9a-f]+ "/"/g; s/ ret=(004|1400)[0-9a-f]{5}$/ from the program/')
    [ "$shown" = 'KERNEL32.CopyFileA("idapi32.cf_","idapi32.cfg",00000000) from the program' ] ||
        problem "calls to CopyFileA: $(printf '%s' "$calls" | grep -c '^') ($(printf '%s' "$shown" | head -c 300))"
    echo "    relay: $(printf '%s' "$calls" | head -n 1)"
    same idapi32.cf_ "$ref/text"
    listing "idapi32.cf_ idapi32.cfg"
    # Outside the copy itself, the program's thread writes to no handle at all.
    tid=${calls%%:*}
    writes=$(awk -v t="$tid:" 'index($0, t) == 1 {
            if ($0 ~ /Call KERNEL32\.CopyFileA\(/) inside = 1
            else if ($0 ~ /Ret  KERNEL32\.CopyFileA\(/) inside = 0
            else if (!inside && $0 ~ /Call (KERNEL32\.Write(File|Console[AW])|ntdll\.NtWriteFile)\(/) n++
        } END { print n + 0 }' "$work/relay")
    [ "$writes" = 0 ] || problem "$writes writes outside the copy"
    end
fi

begin replaces_live_ignoring_arguments_twice
cp "$ref/text" idapi32.cf_
cp "$ref/old" idapi32.cfg
restore --help '/?' "two words" '' idapi32.cfg
same idapi32.cfg "$ref/text"
[ $list = short ] || { restore; same idapi32.cfg "$ref/text"; } # the second time
same idapi32.cf_ "$ref/text"
listing "idapi32.cf_ idapi32.cfg"
end

[ $list = short ] && { summary; exit; }

begin creates_missing_live_then_empty_and_large_stored_copies
cp "$ref/bytes" idapi32.cf_
restore
same idapi32.cfg "$ref/bytes"
cp "$ref/empty" idapi32.cf_
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
[ -z "$(ls -A empty)" ] || problem "files appeared in an empty folder"
listing "empty with_live"
end

begin names_resolve_in_working_folder
mkdir home elsewhere
cp "$ref/text" home/idapi32.cf_
cp "$ref/old" home/idapi32.cfg
cp "$prog" home/
in_dir elsewhere restore
in_dir elsewhere restore_as "$work/$case_name/home/$(basename "$prog")"
same home/idapi32.cfg "$ref/old"
[ -z "$(ls -A elsewhere)" ] || problem "files appeared in the working folder"
end

begin folders_under_either_name_are_left_alone
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
# Wine maps the read-only attribute to write bits, which root passes over:
# as root the case runs as an ordinary user who owns the files.
if [ "$(id -u)" -eq 0 ]; then
    chown -R 65534:65534 .
    restore_unprivileged
else
    restore
fi
same idapi32.cfg "$ref/old"
[ -n "$(find idapi32.cfg -perm /222)" ] && problem "live file gained write bits"
listing "idapi32.cf_ idapi32.cfg"
end

begin working_folder_with_spaces_and_non_ascii_letters
dir="Données de l'appli ÄÖ ü 設定"
mkdir "$dir"
cp "$ref/text" "$dir/idapi32.cf_"
cp "$ref/old" "$dir/idapi32.cfg"
cp "$ref/bytes" idapi32.cf_ # a decoy one level up, with no live file beside it
in_dir "$dir" restore
same "$dir/idapi32.cfg" "$ref/text"
same idapi32.cf_ "$ref/bytes"
listing "$dir idapi32.cf_"
in_dir "$dir" listing "idapi32.cf_ idapi32.cfg"
end

if [ "$kind" = wine ]; then
    # hold FILE: another process holds FILE with no sharing, until release.
    hold() {
        rm -f "$work/ready" "$work/release"
        "${runner[@]}" "$HOLD_FILE" "$1" "Z:$work/ready" "Z:$work/release" </dev/null >/dev/null 2>&1 &
        holder=$!
        for _ in $(seq 600); do
            [ -e "$work/ready" ] && return 0
            kill -0 $holder 2>/dev/null || break
            sleep 0.1
        done
        problem "the helper could not hold $1"
        return 1
    }
    release() {
        touch "$work/release"
        wait $holder || problem "the helper failed"
    }

    # Either file held: nothing changes; let go, the next run restores.
    for held in live_file:idapi32.cfg stored_copy:idapi32.cf_; do
        begin "${held%%:*}_held_open_by_another_process"
        cp "$ref/text" idapi32.cf_
        cp "$ref/old" idapi32.cfg
        if hold "${held#*:}"; then
            restore
            same idapi32.cfg "$ref/old"
            release
        fi
        restore
        same idapi32.cfg "$ref/text"
        same idapi32.cf_ "$ref/text"
        listing "idapi32.cf_ idapi32.cfg"
        end
    done
fi

summary
