// Checksums and the deflate codec over one file, in MB/s of input:
//   bench_deflate FILE ZLIB_STREAM
// ZLIB_STREAM is FILE compressed elsewhere at level 6 (bench/run-deflate.sh makes it), so
// inflate decodes dynamic blocks as other tools write them. Best of five rounds.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <vector>

#include "evaluator/checksum.h"
#include "io/deflate.h"

using namespace kel;

namespace {

std::vector<uint8_t> read_all(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

double best_seconds(const std::function<void()>& work) {
    double best = 1e30;
    for (int round = 0; round < 5; round++) {
        auto start = std::chrono::steady_clock::now();
        work();
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (s < best) best = s;
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_deflate FILE ZLIB_STREAM\n");
        return 2;
    }
    std::vector<uint8_t> data = read_all(argv[1]), packed = read_all(argv[2]);
    std::vector<uint8_t> out(data.size() + data.size() / 8 + 64);
    volatile uint32_t sink = 0;
    size_t size = 0;
    auto report = [&](const char* what, double seconds) {
        std::printf("%-10s %8.4f s\n", what, seconds);
    };
    report("crc32", best_seconds([&] { sink = crc32(data.data(), data.size()); }));
    report("sha256", best_seconds([&] { digest(DIGEST_SHA256, data.data(), data.size(), out.data()); }));
    report("inflate", best_seconds([&] {
        size = out.size();
        if (zlib_uncompress(out.data(), &size, packed.data(), packed.size()) != CODEC_DONE) std::abort();
    }));
    report("compress", best_seconds([&] {
        size = out.size();
        if (zlib_compress(out.data(), &size, data.data(), data.size()) != CODEC_DONE) std::abort();
    }));
    std::printf("sizes: input %zu, ours %zu, level 6 %zu\n", data.size(), size, packed.size());
    return static_cast<int>(sink & 0);
}
