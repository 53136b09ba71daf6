#!/bin/sh
# What the natives and the trace firing points cost, on a shared machine, in one run:
#   fib and loop with the firing points in (build-bench) and compiled out
#   (build-bench-notrace, -DKEL_NO_TRACE=ON): the medians of RUNS runs (5) and their ratio;
#   unique and union of a million integers, then of a million short strings, beside
#   Python's dict.fromkeys (both times include building the input).
set -eu
cd "$(dirname "$0")/.."
RUNS=${RUNS:-5}
for dir in build-bench build-bench-notrace; do
    flag=OFF; [ "$dir" = build-bench-notrace ] && flag=ON
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKEL_TESTS=OFF -DKEL_NO_TRACE=$flag \
        -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >/dev/null
    cmake --build "$dir" -j3 --target kel >/dev/null
done
# Median wall seconds of RUNS runs of a command.
median() {
    for i in $(seq "$RUNS"); do
        /usr/bin/time -f %e "$@" 2>&1 >/dev/null | tail -1
    done | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'
}
for w in fib loop; do
    with=$(median build-bench/kel "bench/kel/$w.kel")
    without=$(median build-bench-notrace/kel "bench/kel/$w.kel")
    echo "$w: firing points in $with s, out $without s, ratio $(echo "$with / $without" | bc -l | cut -c1-5)"
done
cat > /tmp/kel-sets-peer.py <<'PY'
n = 1000000
for kind in ("int", "str"):
    a = [str(i % 500000) if kind == "str" else i % 500000 for i in range(1, n + 1)]
    b = [str(i + 250000) if kind == "str" else i + 250000 for i in range(1, n + 1)]
    u = list(dict.fromkeys(a))
    v = list(dict.fromkeys(a + b))
    print(kind, len(u), len(v))
PY
kel=$(median build-bench/kel bench/kel/sets.kel)
py=$(median python3 /tmp/kel-sets-peer.py)
echo "sets: kel $kel s, python $py s"
