// UTF-8 decoding speed in MB/s, on ASCII and on mixed text: the automaton the lexer uses,
// character counting, and the checked import into a string buffer.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "runtime/memory.h"
#include "runtime/unicode.h"

using namespace kel;

namespace {

constexpr size_t TEXT_BYTES = 32u << 20;
constexpr int ROUNDS = 5;

std::vector<uint8_t> make_text(bool mixed) {
    // Words of Latin-1, Cyrillic, symbols, CJK and emoji between plain ASCII.
    const char* pieces[] = {"the quick brown fox ", "jumps over ", "caf\xC3\xA9 ", "\xD0\xBF\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 ",
                            "12 \xE2\x82\xAC ", "\xE6\x96\x87\xE5\xAD\x97 ", "\xF0\x9F\x98\x80 ", "lazy dog\n"};
    std::vector<uint8_t> text;
    text.reserve(TEXT_BYTES + 64);
    for (size_t i = 0; text.size() < TEXT_BYTES; i++) {
        const char* piece = mixed ? pieces[i % 8] : pieces[i % 3 == 2 ? 7 : i % 3];
        text.insert(text.end(), piece, piece + std::char_traits<char>::length(piece));
    }
    text.push_back(0);  // the automaton stops on it, as on the lexer's terminator
    return text;
}

template <class F>
void measure(const char* what, const char* kind, size_t bytes, F&& run) {
    double best = 1e30;
    uint64_t sink = 0;
    for (int r = 0; r < ROUNDS; r++) {
        auto start = std::chrono::steady_clock::now();
        sink += run();
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        if (took.count() < best) best = took.count();
    }
    std::printf("%-22s %-6s %9.0f MB/s   (%llu)\n", what, kind, bytes / best / 1e6,
                static_cast<unsigned long long>(sink % 1000));
}

}  // namespace

int main() {
    init_memory();
    for (bool mixed : {false, true}) {
        std::vector<uint8_t> text = make_text(mixed);
        const uint8_t* begin = text.data();
        const uint8_t* end = begin + text.size() - 1;
        size_t bytes = text.size() - 1;
        const char* kind = mixed ? "mixed" : "ASCII";
        measure("automaton decode", kind, bytes, [&] {
            uint64_t sum = 0;
            int32_t cp;
            for (const uint8_t* p = begin; p < end;) {
                p = unicode::fast_decode_utf8_char(p, cp);
                sum += static_cast<uint32_t>(cp);
            }
            return sum;
        });
        measure("count characters", kind, bytes, [&] { return utf8_count_chars(begin, end); });
        measure("checked import", kind, bytes, [&] {
            node_id node = load_utf8(byte_source::memory(begin), bytes, 0, nullptr, false);
            uint64_t used = node_buffer(node)->used_bytes();
            free_all_node_frames();
            return used;
        });
    }
    return 0;
}
