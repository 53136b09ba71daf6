#!/bin/sh
# Fuzzes the lexer entry with libFuzzer (clang) under AddressSanitizer and
# UndefinedBehaviorSanitizer for a bounded time: tools/fuzz_lexer.sh [seconds]
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
cmake --build build-fuzz
LIBS=$(ls build-fuzz/libkel_*.a)
clang++ -std=c++20 -O1 -g -I. -fsanitize=fuzzer $FLAGS tests/fuzz/lexer_fuzz.cpp \
    -Wl,--start-group $LIBS -Wl,--end-group -o build-fuzz/lexer_fuzz
mkdir -p build-fuzz/corpus build-fuzz/findings
# Seeds: one of each literal kind.
printf '[a b: :c '"'"'d /e #f] (1 + 2)' > build-fuzz/corpus/words
printf '1 -2 1'"'"'000 FFh 1.5e3 1.#INF 50%% 1.2.3 1x2 (1, 2) (1, 2, 3)' > build-fuzz/corpus/numbers
printf '10:20:30.5 1-Jan-2000/10:20+2:00 2020-W01-1 20000101T102030Z $1.20 USD$3' > build-fuzz/corpus/times
printf '"a^(tab)^/b" {x{y}z} %%{raw}%% #"^(3b1)" #{00FF} 2#{00001111} 64#{AAEC} %%file %%"q f"' > build-fuzz/corpus/texts
printf 'http://x.y/z a@b.c @ref <tag a="1"> #[a 1 b 2] #(none) #(integer!) a/b/(c)/d: ; note\n' > build-fuzz/corpus/other
exec build-fuzz/lexer_fuzz -max_total_time="$SECONDS_TO_RUN" -max_len=512 -artifact_prefix=build-fuzz/findings/ build-fuzz/corpus
