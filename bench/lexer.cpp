// Lexer speed: transcode of a generated 10 MB source text, in MB/s, loading values (with
// the collector on, then off) and scanning only.
#include <chrono>
#include <cstdio>
#include <string>

#include "boot/init.h"
#include "datatypes/lexer.h"
#include "datatypes/transcode.h"
#include "runtime/collector.h"
#include "runtime/stack.h"

using namespace kel;

namespace {

constexpr size_t SOURCE_BYTES = 10u << 20;
constexpr int ROUNDS = 5;

// Code-like lines of the common literal kinds, nested blocks and comments.
std::string make_source() {
    const char* lines[] = {
        "total: add total item/price * 1'000 ; running sum\n",
        "if any [x > 10 y <= -3.5e2] [print [\"large\" x y 50%]]\n",
        "record: [name \"caf\xC3\xA9 \xE2\x82\xAC\" born 12-Mar-1990/10:20:30+1:00 due 2:30:00 fee $12.50]\n",
        "ratio: 0.75 mask: FFh text: {multi {nested} line\n  string} key: #issue-42\n",
        "data: #{DEADBEEF 0102} at: %dir/file.txt from: http://example.org/a?b=1 to: a@b.org\n",
        "foreach [a b] list [append out reduce [a * 2 to-integer b 'tag :value /refine]]\n",
        "msg: \"tab^-and newline^/ and ^(2603) escapes\" ch: #\"^(tab)\" raw: %{C:\\path}%\n",
    };
    std::string text;
    text.reserve(SOURCE_BYTES + 256);
    size_t i = 0;
    for (; text.size() < SOURCE_BYTES || i % 40 != 0; i++) {
        if (i % 40 == 0) text += "[\n";
        text += lines[i % 7];
        if (i % 40 == 39) text += "]\n";
    }
    return text;
}

template <class F>
void measure(const char* what, size_t bytes, F&& run) {
    double best = 1e30;
    for (int r = 0; r < ROUNDS; r++) {
        auto start = std::chrono::steady_clock::now();
        run();
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        if (took.count() < best) best = took.count();
    }
    std::printf("%-20s %8.1f MB/s  (%.1f ms for %.1f MB)\n", what, bytes / best / 1e6, best * 1e3,
                bytes / 1e6);
}

}  // namespace

int main() {
    runtime_init();
    collector_enabled = true;
    std::string source = make_source();
    const auto* bytes = reinterpret_cast<const uint8_t*>(source.data());
    size_t size = source.size();
    measure("load", size, [&] {
        cell* out = stack::push_cell();
        load_text(out, bytes, size);
        stack::pop(1);
    });
    // The same without collections: the lexer's own share.
    collector_enabled = false;
    measure("load, no collector", size, [&] {
        cell* out = stack::push_cell();
        load_text(out, bytes, size);
        stack::pop(1);
        collector_enabled = true;
        collector_collect();
        collector_enabled = false;
    });
    measure("scan only", size, [&] {
        lexer_scan(nullptr, bytes, size, false, true, false, false, nullptr);
    });
    return 0;
}
