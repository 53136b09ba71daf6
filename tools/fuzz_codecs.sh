#!/bin/sh
# Fuzzes debase (every base) and dehex with libFuzzer (clang) under AddressSanitizer and
# UndefinedBehaviorSanitizer for a bounded time: tools/fuzz_codecs.sh [seconds]
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
clang++ -std=c++20 -O1 -g -I. -fsanitize=fuzzer $FLAGS tests/fuzz/codec_fuzz.cpp \
    -Wl,--start-group $LIBS -Wl,--end-group -o build-fuzz/codec_fuzz
mkdir -p build-fuzz/codec-corpus build-fuzz/findings
cp tests/fuzz/codec_seeds/* build-fuzz/codec-corpus/
exec build-fuzz/codec_fuzz -max_total_time="$SECONDS_TO_RUN" -max_len=512 -artifact_prefix=build-fuzz/findings/ build-fuzz/codec-corpus
