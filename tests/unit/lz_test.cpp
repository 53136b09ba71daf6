#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "runtime/lz.h"

using namespace kel;
using bytes = std::vector<uint8_t>;

namespace {

uint32_t next_random(uint32_t& state) {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
}

// Words and numbers drawn from a small vocabulary: compressible, but not trivially.
bytes text_like(size_t n, uint32_t seed) {
    static const char* const words[] = {"block", "series", "node ", "cell", "  ", "\n", "value", "(", ")",
                                        "frame", "table", "=", "index", "buffer", ", ", "length"};
    bytes out;
    while (out.size() < n) {
        uint32_t r = next_random(seed);
        std::string piece = r % 5 ? words[r % 16] : std::to_string(r % 1000);
        out.insert(out.end(), piece.begin(), piece.end());
        out.push_back(' ');
    }
    out.resize(n);
    return out;
}

bytes random_bytes(size_t n, uint32_t seed) {
    bytes out(n);
    for (auto& b : out) b = static_cast<uint8_t>(next_random(seed));
    return out;
}

std::optional<bytes> compress(const bytes& data) {
    bytes out(data.size());
    int64_t size = lz_compress(data.data(), data.size(), out.data());
    if (size < 0) return std::nullopt;
    out.resize(static_cast<size_t>(size));
    return out;
}

std::optional<bytes> expand(const bytes& record) {
    size_t size = 0;
    lz_buffer data = lz_decompress(record.data(), record.size(), size);
    if (!data) return std::nullopt;
    return bytes(data.get(), data.get() + size);
}

void put_u32(bytes& out, uint32_t v) {
    for (int i = 0; i < 4; i++) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// Bit fields packed least significant bit first, as the record's bit streams are.
struct bit_packer {
    bytes data;
    unsigned used = 0;  // bits in use in the last byte
    bit_packer& put(unsigned n, uint32_t v) {
        for (unsigned i = 0; i < n; i++) {
            if (used % 8 == 0) data.push_back(0);
            data.back() |= static_cast<uint8_t>(((v >> i) & 1) << (used % 8));
            used++;
        }
        return *this;
    }
    bit_packer& literal(uint8_t byte) { return put(1, 0).put(8, byte); }
    // A match of length 3..6 at distance 1..8: the shortest codes.
    bit_packer& short_match(uint32_t length, uint32_t distance) {
        return put(1, 1).put(1, 1).put(2, length - 3).put(4, 0).put(3, distance - 1);
    }
};

struct block {
    uint32_t size;
    bytes stream;
};

bytes make_record(uint32_t expanded, const std::vector<block>& blocks) {
    bytes body;
    for (const block& b : blocks) {
        put_u32(body, b.size);
        body.insert(body.end(), b.stream.begin(), b.stream.end());
    }
    bytes record;
    put_u32(record, static_cast<uint32_t>(body.size()));
    put_u32(record, expanded);
    record.insert(record.end(), body.begin(), body.end());
    return record;
}

}  // namespace

TEST(Lz, HandBuiltStreamPinsBitOrder) {
    // Literal "a" (flag 0, then 0x61), then a match of length 10 at distance 1 that copies
    // its own output: flag 1, length code 0 1 + v = 3, distance k = 0 + d = 0.
    const bytes record = {7, 0, 0, 0, 11, 0, 0, 0, 11, 0, 0, 0, 0xC2, 0x3A, 0x00};
    EXPECT_EQ(expand(record), bytes(11, 'a'));
}

TEST(Lz, EveryCodeFormDecodes) {
    struct code_case {
        const char* length_prefix;  // bits after the match flag, in reading order
        unsigned length_bits;
        uint32_t length_value;
        uint32_t k;
        unsigned distance_bits;
        uint32_t distance_value;
        uint32_t length;
        uint32_t distance;
    };
    const code_case cases[] = {
        {"1", 2, 0, 0, 3, 0, 3, 1},
        {"01", 2, 0, 0, 3, 7, 7, 8},
        {"001", 2, 3, 1, 3, 0, 14, 9},
        {"0001", 3, 7, 6, 8, 43, 22, 300},
        {"00001", 5, 31, 13, 15, 32767, 54, 65536},
        {"00000", 9, 511, 15, 17, 131071, 566, 262144},
    };
    for (const code_case& c : cases) {
        SCOPED_TRACE(c.distance);
        bytes expected = random_bytes(c.distance, c.length);
        bit_packer bits;
        for (uint8_t b : expected) bits.literal(b);
        bits.put(1, 1);
        for (const char* p = c.length_prefix; *p; p++) bits.put(1, *p == '1');
        bits.put(c.length_bits, c.length_value).put(4, c.k).put(c.distance_bits, c.distance_value);
        for (uint32_t i = 0; i < c.length; i++) expected.push_back(expected[expected.size() - c.distance]);
        auto size = static_cast<uint32_t>(expected.size());
        EXPECT_EQ(expand(make_record(size, {{size, bits.data}})), expected);
    }
}

TEST(Lz, RoundTrips) {
    const bytes inputs[] = {
        bytes(128, 0),
        text_like(5000, 1),
        [] {  // incompressible stretches between compressible ones
            bytes b = text_like(20000, 2);
            bytes r = random_bytes(3000, 3);
            b.insert(b.begin() + 7000, r.begin(), r.end());
            return b;
        }(),
        text_like(LZ_BLOCK_SIZE + 1, 4),  // a last block of one byte
    };
    for (const bytes& input : inputs) {
        SCOPED_TRACE(input.size());
        auto record = compress(input);
        ASSERT_TRUE(record);
        EXPECT_LT(record->size(), input.size());
        EXPECT_EQ(expand(*record), input);
    }
}

TEST(Lz, RefusesWhatDoesNotShrink) {
    bytes out(4096);
    EXPECT_EQ(lz_compress(bytes(127, 0).data(), 127, out.data()), -1);
    // The destination is exactly n bytes: a failed attempt must not write past it.
    for (size_t n : {128, 4096}) {
        bytes input = random_bytes(n, 5);
        bytes exact(n);
        EXPECT_EQ(lz_compress(input.data(), n, exact.data()), -1);
    }
}

TEST(Lz, BlocksAreIndependent) {
    // 2.5 MB make three blocks, each coded as if it stood alone: tables and bit writer start
    // afresh and every block ends on its own byte boundary.
    const bytes input = text_like(LZ_BLOCK_SIZE * 5 / 2, 6);
    auto record = compress(input);
    ASSERT_TRUE(record);
    bytes blocks;
    for (size_t at = 0; at < input.size(); at += LZ_BLOCK_SIZE) {
        bytes part(input.begin() + at, input.begin() + std::min(input.size(), at + LZ_BLOCK_SIZE));
        auto alone = compress(part);
        ASSERT_TRUE(alone);
        blocks.insert(blocks.end(), alone->begin() + LZ_HEADER_SIZE, alone->end());
    }
    bytes expected;
    put_u32(expected, static_cast<uint32_t>(blocks.size()));
    put_u32(expected, static_cast<uint32_t>(input.size()));
    expected.insert(expected.end(), blocks.begin(), blocks.end());
    EXPECT_EQ(*record, expected);
    EXPECT_EQ(expand(*record), input);
}

TEST(Lz, RefusesMalformedRecords) {
    const bytes a4 = bit_packer().literal('a').short_match(3, 1).data;  // "aaaa"
    bytes valid = make_record(4, {{4, a4}});
    ASSERT_EQ(expand(valid), bytes(4, 'a'));
    auto with_header = [&](uint32_t packed, uint32_t expanded) {
        bytes r = valid;
        std::memcpy(r.data(), &packed, 4);
        std::memcpy(r.data() + 4, &expanded, 4);
        return r;
    };
    bytes huge_block = make_record(LZ_BLOCK_SIZE + 1, {{LZ_BLOCK_SIZE + 1, bytes(6000, 0)}});
    const uint32_t packed = static_cast<uint32_t>(valid.size() - LZ_HEADER_SIZE);
    struct malformed {
        const char* name;
        bytes record;
    };
    const malformed cases[] = {
        {"empty", {}},
        {"header only in part", {0, 0, 0, 0, 0, 0}},
        {"block length 0", make_record(0, {{0, {}}})},
        {"block length above 1 MB", huge_block},
        {"distance before the start", make_record(4, {{4, bit_packer().literal('a').short_match(3, 2).data}})},
        {"length past the block", make_record(3, {{3, bit_packer().literal('a').short_match(3, 1).data}})},
        {"match into the previous block",
         make_record(5, {{1, bit_packer().literal('a').data}, {4, bit_packer().literal('b').short_match(3, 2).data}})},
        {"blocks beyond expanded size", make_record(4, {{4, a4}, {4, a4}})},
        {"expanded size too large", with_header(packed, 5)},
        {"expanded size too small", with_header(packed, 3)},
        {"expanded size negative", with_header(packed, 0xFFFFFFFF)},
        {"expanded size beyond any expansion", with_header(packed, 0x7FFFFFFF)},
        {"compressed size past the input", with_header(packed + 1, 4)},
        {"compressed size short of the blocks", with_header(packed - 1, 4)},
        {"stray bytes after the last block", [&] {
             bytes r = with_header(packed + 1, 4);
             r.push_back(0);
             return r;
         }()},
    };
    for (const malformed& c : cases) EXPECT_EQ(expand(c.record), std::nullopt) << c.name;
}

TEST(Lz, RefusesEveryTruncation) {
    const bytes input = text_like(300, 7);
    auto record = compress(input);
    ASSERT_TRUE(record);
    for (size_t cut = 0; cut < record->size(); cut++) {
        bytes part(record->begin(), record->begin() + cut);
        EXPECT_EQ(expand(part), std::nullopt) << "cut at " << cut;
        if (cut < LZ_HEADER_SIZE) continue;
        // Headers mended to the cut: the blocks themselves are short.
        auto packed = static_cast<uint32_t>(cut - LZ_HEADER_SIZE);
        std::memcpy(part.data(), &packed, 4);
        EXPECT_EQ(expand(part), std::nullopt) << "mended cut at " << cut;
    }
}

TEST(Lz, SurvivesCorruption) {
    const bytes input = text_like(2000, 8);
    auto record = compress(input);
    ASSERT_TRUE(record);
    for (size_t i = 0; i < record->size(); i++) {
        for (uint8_t flip : {0x01, 0x10, 0xFF}) {
            bytes bad = *record;
            bad[i] ^= flip;
            auto out = expand(bad);
            uint32_t declared;
            std::memcpy(&declared, bad.data() + 4, 4);
            if (out) {
                EXPECT_EQ(out->size(), declared) << "byte " << i;
            }
        }
    }
}
