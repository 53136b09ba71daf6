#!/usr/bin/env bash
# KELBIN beside Python's pickle (protocol 5) in one run:
#   bash bench/run-kelbin.sh
# Prints each form's encode and decode times and pickle's dumps and loads, each form's
# encode + decode divided by pickle's dumps + loads (below 1: Kel is faster), and the sizes.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cmake -S "$root" -B "$root/build-bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKEL_BENCH=ON > /dev/null
cmake --build "$root/build-bench" --target bench_kelbin > /dev/null
"$root/build-bench/bench/bench_kelbin" > "$tmp/kel.txt"
python3 "$root/bench/kelbin_peer.py" > "$tmp/python.txt"
grep ' s$' "$tmp/kel.txt" "$tmp/python.txt" --no-filename
awk '/ s$/ { t[$1] = $2 }
     END {
         p = t["pickle-dumps"] + t["pickle-loads"]
         printf "compact / pickle %6.2f\nfixed / pickle   %6.2f\n",
             (t["compact-encode"] + t["compact-decode"]) / p, (t["fixed-encode"] + t["fixed-decode"]) / p
     }' "$tmp/kel.txt" "$tmp/python.txt"
grep -h '^sizes' "$tmp/kel.txt" "$tmp/python.txt"
