#!/usr/bin/env bash
# Runs the file and process benchmarks of bench/io/ once each in Kel and in Python and prints
# the wall seconds of both, Kel's divided by Python's (below 1: Kel is faster) and whether
# both printed the same line.
#
#   bash bench/run-io.sh [WORKLOAD...]      workloads: binary text call saveload (the default: all)
# Environment: KEL (default: build it in Release into build-bench/), PYTHON (python3).
set -u
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
PYTHON=${PYTHON:-python3}
if [ -z "${KEL:-}" ]; then
    cmake -S "$root" -B "$root/build-bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKEL_TESTS=OFF > /dev/null &&
        cmake --build "$root/build-bench" --target kel -j3 > /dev/null || exit 1
    KEL=$root/build-bench/kel
fi
export BENCH_DIR=$(mktemp -d)
trap 'rm -rf "$BENCH_DIR"' EXIT
head -c 100000000 /dev/urandom > "$BENCH_DIR/data.bin"
# 100 MB of text with one- to four-byte characters and line ends.
"$PYTHON" -c '
import sys
line = "plain ascii text, é à ü, € ∑ ≈, 😀 🚀\n"
sys.stdout.write(line * (100000000 // len(line.encode())))' > "$BENCH_DIR/data.txt"

seconds() { local s=$(date +%s.%N); "$@" > "$BENCH_DIR/out" 2>&1; echo "$(date +%s.%N) - $s" | bc; }
printf "%-8s %8s %8s %7s  %s\n" workload kel python ratio same
for w in ${*:-binary text call saveload}; do
    k=$(seconds "$KEL" "$here/io/$w.kel"); kout=$(cat "$BENCH_DIR/out")
    p=$(seconds "$PYTHON" "$here/io/$w.py"); pout=$(cat "$BENCH_DIR/out")
    same=$([ "$kout" = "$pout" ] && echo ok || echo "DIFF: $kout / $pout")
    printf "%-8s %8.2f %8.2f %7.2f  %s\n" "$w" "$k" "$p" "$(echo "$k / $p" | bc -l)" "$same"
done
