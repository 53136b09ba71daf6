#!/bin/sh
# Fuzzes PARSE with random rules and input with libFuzzer (clang) under AddressSanitizer and
# UndefinedBehaviorSanitizer for a bounded time: tools/fuzz_parse.sh [seconds]
# Not part of the default build or the CI run. Findings land in build-fuzz/findings.
set -eu
cd "$(dirname "$0")/.."
SECONDS_TO_RUN=${1:-120}
if ! command -v clang++ >/dev/null 2>&1; then
    [ "$(id -u)" = 0 ] && apt-get install -y clang >/dev/null
fi
FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKEL_TESTS=OFF -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link $FLAGS" \
    -DCMAKE_EXE_LINKER_FLAGS="$FLAGS" >/dev/null
cmake --build build-fuzz -j3
LIBS=$(ls build-fuzz/libkel_*.a)
clang++ -std=c++20 -O1 -g -I. -fsanitize=fuzzer $FLAGS tests/fuzz/parse_fuzz.cpp \
    -Wl,--start-group $LIBS -Wl,--end-group -o build-fuzz/parse_fuzz
mkdir -p build-fuzz/parse-corpus build-fuzz/findings
cp tests/fuzz/parse_seeds/* build-fuzz/parse-corpus/
# The keywords as a dictionary, so that mutations form rules rather than noise.
for k in skip any some opt while copy set to thru end remove break reject fail none not ahead \
        into quote if case insert change keep collect only pick after; do
    echo "\"$k \""
done > build-fuzz/parse.dict
# A hang is a run past the step budget: -timeout catches it.
exec build-fuzz/parse_fuzz -max_total_time="$SECONDS_TO_RUN" -max_len=512 -timeout=10 -dict=build-fuzz/parse.dict \
    -artifact_prefix=build-fuzz/findings/ build-fuzz/parse-corpus
