#!/bin/sh
# What the natives and the trace firing points cost, on a shared machine, in one run:
#   fib and loop with the firing points in (build-bench) and compiled out
#   (build-bench-notrace, -DKEL_NO_TRACE=ON): the medians of RUNS runs (5) of CPU seconds
#   (user + system: wall time on a loaded machine is mostly other jobs) and their ratio,
#   then, where valgrind is installed, the instruction counts of smaller runs (fib 25,
#   loop 1M) less an empty script's, which are steady where times are not;
#   unique and union of a million integers, then of a million short strings, beside
#   Python's dict.fromkeys: each side's time less that of the same script with the set
#   operations left out, so that only the operations are compared.
set -eu
cd "$(dirname "$0")/.."
RUNS=${RUNS:-5}
PYTHON=${PYTHON:-/usr/bin/python3}
for dir in build-bench build-bench-notrace; do
    flag=OFF; [ "$dir" = build-bench-notrace ] && flag=ON
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKEL_TESTS=OFF -DKEL_NO_TRACE=$flag \
        -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >/dev/null
    cmake --build "$dir" -j3 --target kel >/dev/null
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Median CPU seconds of RUNS runs of a command.
median() {
    for i in $(seq "$RUNS"); do
        /usr/bin/time -f "%U %S" "$@" 2>&1 >/dev/null | tail -1
    done | awk '{ print $1 + $2 }' | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", (b > 0 ? a / b : 0) }'; }
# Instructions a command retires.
instructions() {
    valgrind --tool=cachegrind --cache-sim=no --cachegrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
        awk '/I +refs/ { gsub(",", "", $4); print $4 }'
}

for w in fib loop; do
    with=$(median build-bench/kel "bench/kel/$w.kel")
    without=$(median build-bench-notrace/kel "bench/kel/$w.kel")
    echo "$w: firing points in $with s, out $without s, ratio $(ratio "$with" "$without")"
done
if command -v valgrind >/dev/null; then
    echo 'Kel []' > "$tmp/empty.kel"
    sed 's/fib 34/fib 25/' bench/kel/fib.kel > "$tmp/fib.kel"
    sed 's/20000000/1000000/' bench/kel/loop.kel > "$tmp/loop.kel"
    for w in fib loop; do
        set --
        for dir in build-bench build-bench-notrace; do
            set -- "$@" $(($(instructions "$dir/kel" "$tmp/$w.kel") - $(instructions "$dir/kel" "$tmp/empty.kel")))
        done
        echo "$w (smaller): firing points in $1 instructions, out $2, ratio $(ratio "$1" "$2")"
    done
fi

# Each kind alone, with and without the set operations.
for kind in int str; do
    sed "s/foreach kind \[int str\]/foreach kind [$kind]/" bench/kel/sets.kel > "$tmp/$kind.kel"
    sed 's/unique a$/a/; s/union a b$/b/' "$tmp/$kind.kel" > "$tmp/$kind-input.kel"
    cat > "$tmp/$kind.py" <<PY
n = 1000000
kind = "$kind"
a = [str(i % 500000) if kind == "str" else i % 500000 for i in range(1, n + 1)]
b = [str(i + 250000) if kind == "str" else i + 250000 for i in range(1, n + 1)]
u = list(dict.fromkeys(a))
v = list(dict.fromkeys(a + b))
print(kind, len(u), len(v))
PY
    sed 's/list(dict.fromkeys(a))$/a/; s/list(dict.fromkeys(a + b))$/b/' "$tmp/$kind.py" > "$tmp/$kind-input.py"
    kel=$(awk -v a="$(median build-bench/kel "$tmp/$kind.kel")" -v b="$(median build-bench/kel "$tmp/$kind-input.kel")" \
        'BEGIN { print a - b }')
    py=$(awk -v a="$(median "$PYTHON" "$tmp/$kind.py")" -v b="$(median "$PYTHON" "$tmp/$kind-input.py")" \
        'BEGIN { print a - b }')
    echo "sets of $kind: unique and union kel $kel s, python $py s, ratio $(ratio "$kel" "$py")"
done
