#!/usr/bin/env bash
# Checksums and deflate beside Python's zlib and hashlib on the peer benchmarks' blob.bin:
#   bash bench/run-deflate.sh PEER_DIR
# PEER_DIR holds make-data.py; the data is made in a temporary folder. Prints both tables
# and Kel's time divided by Python's (below 1: Kel is faster).
set -euo pipefail
peer_dir=$(cd "$1" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
python3 "$peer_dir/make-data.py" "$tmp" > /dev/null
python3 -c 'import sys, zlib; open(sys.argv[2], "wb").write(zlib.compress(open(sys.argv[1], "rb").read(), 6))' \
    "$tmp/blob.bin" "$tmp/blob.zz"
cmake -S "$root" -B "$root/build-bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKEL_BENCH=ON > /dev/null
cmake --build "$root/build-bench" --target bench_deflate > /dev/null
"$root/build-bench/bench/bench_deflate" "$tmp/blob.bin" "$tmp/blob.zz" > "$tmp/kel.txt"
python3 "$root/bench/deflate_peer.py" "$tmp/blob.bin" "$tmp/blob.zz" > "$tmp/python.txt"
echo "work        kel s    python s  ratio"
join <(sort "$tmp/kel.txt" | grep ' s$') <(sort "$tmp/python.txt") |
    awk '{ printf "%-10s %8.4f %8.4f %6.2f\n", $1, $2, $4, $2 / $4 }'
grep '^sizes' "$tmp/kel.txt"
