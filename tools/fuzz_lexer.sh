#!/bin/sh
# Fuzzes the lexer entry with libFuzzer (clang) under AddressSanitizer and
# UndefinedBehaviorSanitizer for a bounded time: tools/fuzz_lexer.sh [seconds]
# The fuzzing itself is not part of the CI run; its saved corpus is. Findings land in
# build-fuzz/findings: once fixed, keep them in tests/fuzz/lexer_corpus.
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
cmake --build build-fuzz
LIBS=$(ls build-fuzz/libkel_*.a)
clang++ -std=c++20 -O1 -g -I. -fsanitize=fuzzer $FLAGS tests/fuzz/lexer_fuzz.cpp \
    -Wl,--start-group $LIBS -Wl,--end-group -o build-fuzz/lexer_fuzz
mkdir -p build-fuzz/corpus build-fuzz/findings
# Seeds: the saved corpus (tests/fuzz/lexer_corpus), which every build's tests replay.
cp tests/fuzz/lexer_corpus/* build-fuzz/corpus/
exec build-fuzz/lexer_fuzz -max_total_time="$SECONDS_TO_RUN" -max_len=512 -artifact_prefix=build-fuzz/findings/ build-fuzz/corpus
