#!/usr/bin/env bash
# Runs the Kel versions of the peer benchmarks (bench/kel/*.kel) beside their Python, Lua
# and Tcl peers in one run, and prints per workload the median wall seconds of each
# interpreter, Kel's time divided by each peer's, and whether Kel printed the expected
# checksum line.
#
#   bash bench/run-peers.sh PEER_DIR [WORKLOAD...]
#
# PEER_DIR is the peer benchmark folder: it holds peers/<workload>.py|.lua|.tcl and
# expected-checksums.txt. Workloads: fib loop strcat series map objects words deflate replace
# split jsonwalk jsonparse csvread (the default: all). words, replace and split read DATA/text.txt,
# deflate DATA/blob.bin, jsonwalk and jsonparse DATA/data.json and csvread DATA/data.csv, DATA written by
# PEER_DIR/make-data.py. The peers of replace and split live in bench/peers/ here; a workload
# without an expected line must print the Python peer's line.
# Environment:
#   DATA     data folder (PEER_DIR/data); Kel scripts find it in KEL_BENCH_DATA
#   RUNS     runs per program (3); the median wall time (GNU time) is reported
#   KEL      kel program to run; default: build it in Release into build-bench/
#   PYTHON   default: the system's python3 (first on `getconf PATH`), not a shim on PATH
#   LUA      default lua5.4        TCLSH  default tclsh8.6 (installed when missing, as root)
set -u

usage() { echo "usage: run-peers.sh PEER_DIR [WORKLOAD...]" >&2; exit 2; }
[ $# -ge 1 ] || usage
[ -d "$1/peers" ] || { echo "no peer programs in $1/peers" >&2; exit 2; }
peer_dir=$(cd "$1" && pwd)
shift
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
runs=${RUNS:-3}
workloads=${*:-fib loop strcat series map objects words deflate replace split jsonwalk jsonparse csvread}
export KEL_BENCH_DATA=${DATA:-$peer_dir/data}

timecmd=$(type -P time) || { echo "needs GNU time (Debian package: time)" >&2; exit 2; }
LUA=${LUA:-lua5.4}
TCLSH=${TCLSH:-tclsh8.6}
if [ -z "${PYTHON:-}" ]; then
    PYTHON=$(PATH=$(getconf PATH) command -v python3 || command -v python3)
fi

missing=()
command -v "$LUA" > /dev/null || missing+=(lua5.4)
command -v "$TCLSH" > /dev/null || missing+=(tcl8.6)
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" = 0 ]; then
        apt-get install -y "${missing[@]}" > /dev/null || exit 1
    else
        echo "missing ${missing[*]}: the peers of those languages are skipped" >&2
    fi
fi

if [ -z "${KEL:-}" ]; then
    cmake -S "$root" -B "$root/build-bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKEL_BENCH=ON \
        > /dev/null || exit 1
    cmake --build "$root/build-bench" --target kel > /dev/null || exit 1
    KEL=$root/build-bench/kel
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

expected() {
    awk -v w="$1" '$1 == w { $1 = ""; sub(/^ /, ""); print; exit }' "$peer_dir/expected-checksums.txt"
}

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR) print v[int((NR + 1) / 2)] }'; }

# Runs "$@" RUNS times under GNU time; prints "seconds|checksum|status".
measure() {
    local i status=ok sums=""
    : > "$tmp/secs"
    for ((i = 0; i < runs; i++)); do
        if ! "$timecmd" -f "%e" -o "$tmp/time" "$@" > "$tmp/out" 2> "$tmp/err"; then
            status=FAIL
            cp "$tmp/err" "$tmp/last-err"
        fi
        tail -1 "$tmp/time" >> "$tmp/secs"
        sums="$sums$(head -1 "$tmp/out")"$'\n'
    done
    if [ "$(printf '%s' "$sums" | sort -u | wc -l)" != 1 ]; then status=UNSTABLE; fi
    echo "$(median < "$tmp/secs")|$(printf '%s' "$sums" | head -1)|$status"
}

# Why Kel's line differs from the expected one, when the reason is known.
diff_reason() { # got want
    if [ "$1" = "$2.0" ]; then
        echo "a sum past 2^31 is a float: its text keeps the .0"
    elif awk -v g="$1" -v w="$2" 'BEGIN { exit !(g + 0 == w + 0 && g ~ /[.eE]/) }'; then
        echo "a sum past 2^31 is a float, formed in another notation"
    else
        echo "want $2"
    fi
}

ratio() { # kel peer
    awk -v k="$1" -v p="$2" 'BEGIN {
        if (k !~ /^[0-9.]+$/ || p !~ /^[0-9.]+$/ || p == 0) print "-"; else printf "%.2f", k / p }'
}

echo "# kel $KEL; python $("$PYTHON" -c 'import sys; print(sys.version.split()[0])')," \
     "lua $("$LUA" -v 2>&1 | awk '{ print $2 }')," \
     "tcl $(echo 'puts [info patchlevel]' | "$TCLSH" 2> /dev/null);" \
     "$(nproc) cores, $runs runs per program, median wall seconds"
fmt='%-8s %8s %8s %8s %8s  %8s %8s %8s  %s\n'
printf "$fmt" workload kel python lua tcl "kel/py" "kel/lua" "kel/tcl" "kel checksum"

for w in $workloads; do
    want=$(expected "$w")
    declare -A secs=()
    args=()
    case $w in
        words | replace | split) args=("$KEL_BENCH_DATA/text.txt") ;;
        deflate) args=("$KEL_BENCH_DATA/blob.bin") ;;
        jsonwalk | jsonparse) args=("$KEL_BENCH_DATA/data.json") ;;
        csvread) args=("$KEL_BENCH_DATA/data.csv") ;;
    esac
    for lang in python lua tcl; do
        case $lang in
            python) interp=$PYTHON ext=py ;;
            lua) interp=$LUA ext=lua ;;
            tcl) interp=$TCLSH ext=tcl ;;
        esac
        secs[$lang]=-
        peer=$peer_dir/peers/$w.$ext
        [ -f "$here/peers/$w.$ext" ] && peer=$here/peers/$w.$ext
        [ -f "$peer" ] && command -v "$interp" > /dev/null || continue
        IFS='|' read -r t sum status <<< "$(measure "$interp" "$peer" "${args[@]}")"
        [ -n "$want" ] || [ "$lang" != python ] || [ "$status" != ok ] || want=$sum
        if [ "$status" != ok ] || [[ "$sum" != $want ]]; then t="$t!"; fi
        secs[$lang]=$t
    done
    IFS='|' read -r t sum status <<< "$(measure "$KEL" "$here/kel/$w.kel")"
    if [ "$status" != ok ] || [[ "$sum" != $want ]]; then t="$t!"; fi
    if [ "$status" = FAIL ]; then
        err=$(grep -m1 . "$tmp/last-err" 2> /dev/null)
        check="FAIL: ${err:-non-zero exit status}"
    elif [ "$status" = UNSTABLE ]; then
        check="UNSTABLE: runs printed different lines"
    elif [[ "$sum" == $want ]]; then
        check="ok $sum"
    else
        check="DIFF $sum ($(diff_reason "$sum" "$want"))"
    fi
    printf "$fmt" "$w" "$t" "${secs[python]}" "${secs[lua]}" "${secs[tcl]}" \
        "$(ratio "$t" "${secs[python]}")" "$(ratio "$t" "${secs[lua]}")" \
        "$(ratio "$t" "${secs[tcl]}")" "$check"
    unset secs
done
# Start-up: a one-line script beside empty peer programs, timed by hyperfine (one run of
# many) when it is there, since start-up lies below GNU time's 10 ms resolution.
if command -v hyperfine > /dev/null; then
    echo 'Kel [] x: 1' > "$tmp/one.kel"
    echo '' > "$tmp/empty.tcl"
    startup() { hyperfine -N -w 3 --export-json "$tmp/h.json" "$@" > /dev/null 2>&1 &&
        "$PYTHON" -c 'import json, sys; print("%.4f" % json.load(open(sys.argv[1]))["results"][0]["median"])' "$tmp/h.json" || echo -; }
    k=$(startup "$KEL $tmp/one.kel") p=$(startup "$PYTHON -c pass") l=$(startup "$LUA -e ''") t=$(startup "$TCLSH $tmp/empty.tcl")
    printf "$fmt" start-up "$k" "$p" "$l" "$t" "$(ratio "$k" "$p")" "$(ratio "$k" "$l")" "$(ratio "$k" "$t")" "median of hyperfine runs"
else
    echo "# start-up row skipped: needs hyperfine (Debian package: hyperfine)"
fi
echo "# a peer time marked ! failed or printed a wrong checksum; ratio < 1: kel is faster"
