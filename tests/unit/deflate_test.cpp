#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "evaluator/checksum.h"
#include "io/deflate.h"

using namespace kel;
using bytes = std::vector<uint8_t>;

namespace {

using codec = int32_t (*)(uint8_t*, size_t*, const uint8_t*, size_t);

bytes from_hex(const std::string& hex) {
    bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

bytes from_text(const std::string& text) { return bytes(text.begin(), text.end()); }

bytes fixture(const std::string& name) {
    std::ifstream in(std::string(KEL_SOURCE_DIR) + "/tests/fixtures/deflate/" + name, std::ios::binary);
    EXPECT_TRUE(in.good()) << name;
    return bytes(std::istreambuf_iterator<char>(in), {});
}

// Runs a codec at a given capacity; the result code, the size it reports, the output.
struct run_result {
    int32_t code;
    size_t size;
    bytes out;
};

run_result run(codec c, const bytes& in, size_t capacity) {
    bytes out(capacity + 1, 0xEE);  // one guard byte that must stay untouched
    size_t size = capacity;
    int32_t code = c(out.data(), &size, in.data(), in.size());
    EXPECT_EQ(out[capacity], 0xEE) << "wrote past the capacity";
    out.resize(code == CODEC_DONE ? size : 0);
    return {code, size, out};
}

// Grows the output once to the size asked for, as the natives do.
run_result run_sized(codec c, const bytes& in) {
    run_result r = run(c, in, 32);
    if (r.code == CODEC_TOO_SMALL) r = run(c, in, r.size);
    return r;
}

uint32_t lcg(uint32_t& s) { return (s = s * 1664525u + 1013904223u) >> 8; }

}  // namespace

// Exact encoder output: one final fixed-code block, the first 3-byte match of the bucket.
TEST(Deflate, ExactOutputs) {
    struct row {
        bytes input;
        const char* output;
    };
    bytes abc = from_text("abcabcabc");
    const row rows[] = {
        {{}, "0300"},
        {abc, "4B4C4A862000"},  // a b c, then length 6 at distance 3
        // Three literals, then matches capped at 258: at distance 1, then 258 as the slot moves.
        {bytes(1000, 'a'), "4B4C4C1C05A321301A02C33C0400"},
        // Bytes 144-255 take the 9-bit literal codes.
        {{0x90, 0xFF, 0x00}, "9BF09F0100"},
    };
    for (const row& r : rows) {
        run_result got = run_sized(deflate_fixed, r.input);
        ASSERT_EQ(got.code, CODEC_DONE);
        EXPECT_EQ(got.out, from_hex(r.output)) << r.output;
    }
}

TEST(Deflate, FramingBytes) {
    bytes abc = from_text("abc");
    run_result z = run_sized(zlib_compress, abc);
    ASSERT_EQ(z.code, CODEC_DONE);
    EXPECT_EQ(z.out, from_hex("78014B4C4A0600024D0127"));  // header, stream, Adler-32 big-endian
    run_result g = run_sized(gzip_compress, abc);
    ASSERT_EQ(g.code, CODEC_DONE);
    EXPECT_EQ(g.out, from_hex("1F8B080000000000040" "44B4C4A0600C241243503000000"));
    // Input that already looks like gzip is compressed all the same.
    bytes gzip_like = from_hex("1F8B0800");
    run_result again = run_sized(gzip_compress, gzip_like);
    EXPECT_EQ(run_sized(gzip_uncompress, again.out).out, gzip_like);
    // Less room than the frame itself.
    EXPECT_EQ(run(zlib_compress, abc, 5).code, CODEC_BAD_DATA);
    EXPECT_EQ(run(gzip_compress, abc, 17).code, CODEC_BAD_DATA);
}

TEST(Deflate, RoundTripsEveryFraming) {
    uint32_t seed = 5;
    for (size_t n : {0, 1, 2, 3, 4, 100, 258, 259, 32768, 32769, 70000}) {
        bytes text(n), noise(n);
        for (size_t i = 0; i < n; i++) {
            text[i] = "kel deflate "[lcg(seed) % 12];
            noise[i] = static_cast<uint8_t>(lcg(seed));
        }
        for (const bytes* data : {&text, &noise}) {
            for (auto [enc, dec] : {std::pair<codec, codec>{deflate_fixed, inflate_raw},
                                    {zlib_compress, zlib_uncompress},
                                    {gzip_compress, gzip_uncompress}}) {
                run_result packed = run_sized(enc, *data);
                ASSERT_EQ(packed.code, CODEC_DONE) << n;
                run_result back = run_sized(dec, packed.out);
                ASSERT_EQ(back.code, CODEC_DONE) << n;
                EXPECT_EQ(back.out, *data) << n;
            }
        }
    }
}

// Streams made by other tools (tests/fixtures/deflate/make.sh): the three forms of each
// original must agree, and the framings check their own CRC, Adler-32 and length.
TEST(Inflate, OtherToolsStreams) {
    struct row {
        const char* gz;
        const char* zz;
        const char* raw;
    };
    const row rows[] = {{"text-9.gz", "text.zz", "text.raw"},
                        {"text-1.gz", "text-stored.zz", "text.raw"},
                        {"small-fname.gz", "small.zz", "small.raw"},
                        {"empty.gz", "empty.zz", "empty.raw"},
                        {"noise.gz", "noise.zz", "noise.raw"}};
    for (const row& r : rows) {
        run_result g = run_sized(gzip_uncompress, fixture(r.gz));
        run_result z = run_sized(zlib_uncompress, fixture(r.zz));
        run_result d = run_sized(inflate_raw, fixture(r.raw));
        ASSERT_EQ(g.code, CODEC_DONE) << r.gz;
        ASSERT_EQ(z.code, CODEC_DONE) << r.zz;
        ASSERT_EQ(d.code, CODEC_DONE) << r.raw;
        EXPECT_EQ(g.out, z.out) << r.gz;
        EXPECT_EQ(d.out, z.out) << r.raw;
    }
}

TEST(Inflate, TooSmallReportsTheExactSize) {
    bytes text = fixture("text.raw");
    run_result full = run_sized(inflate_raw, text);
    ASSERT_EQ(full.code, CODEC_DONE);
    run_result small = run(inflate_raw, text, 1000);
    EXPECT_EQ(small.code, CODEC_TOO_SMALL);
    EXPECT_EQ(small.size, full.out.size());
    run_result stored = run(zlib_uncompress, fixture("text-stored.zz"), 1000);
    EXPECT_EQ(stored.code, CODEC_TOO_SMALL);
    EXPECT_EQ(stored.size, full.out.size());
}

TEST(Inflate, ResultCodes) {
    auto patched = [](const char* name, size_t at, uint8_t value) {
        bytes b = fixture(name);
        b[at < b.size() ? at : b.size() + at] = value;  // at past the size counts from the end
        return b;
    };
    auto from_end = [](size_t k) { return static_cast<size_t>(0) - k; };
    struct row {
        const char* what;
        codec c;
        bytes input;
        int32_t code;
    };
    const row rows[] = {
        {"gzip flag 0x20", gzip_uncompress, patched("small-fname.gz", 3, 0x20), CODEC_BAD_DATA},
        {"gzip CRC", gzip_uncompress, patched("small-fname.gz", from_end(8), 0), CODEC_BAD_DATA},
        {"gzip ISIZE", gzip_uncompress, patched("small-fname.gz", from_end(4), 27), CODEC_BAD_DATA},
        {"gzip ISIZE past any expansion", gzip_uncompress, patched("empty.gz", from_end(1), 0xFF), CODEC_BAD_DATA},
        {"zlib Adler-32", zlib_uncompress, patched("small.zz", from_end(1), 0), CODEC_BAD_DATA},
        {"zlib dictionary", zlib_uncompress, from_hex("78BB00000000"), CODEC_BAD_DATA},
        {"zlib under 6 bytes", zlib_uncompress, from_hex("7801030000"), CODEC_BAD_DATA},
        {"stored block cut", inflate_raw, from_hex("010A00F5FF616263"), CODEC_STORED_CUT},
        {"stored NLEN", inflate_raw, from_hex("0103000000616263"), CODEC_BAD_DATA},
        {"stored header cut", inflate_raw, from_hex("0103"), CODEC_STORED_CUT},
        {"reserved block", inflate_raw, from_hex("07"), CODEC_RESERVED_BLOCK},
        {"out of input", inflate_raw, from_hex("4B4C"), CODEC_BAD_DATA},
        {"bytes after the end", inflate_raw, from_hex("030000"), CODEC_BAD_DATA},
        {"distance before the start", inflate_raw, from_hex("0302000000"), CODEC_BAD_DATA},
        // Dynamic headers asking for 287 literal/length or 32 distance codes.
        {"HLIT over 286", inflate_raw, from_hex("F5E0010000"), CODEC_BAD_DATA},
        {"HDIST over 30", inflate_raw, from_hex("05FF010000"), CODEC_BAD_DATA},
    };
    for (const row& r : rows) EXPECT_EQ(run(r.c, r.input, 1 << 16).code, r.code) << r.what;
}

// Truncations and bit flips of every fixture end in a result code, never a fault.
TEST(Inflate, DamagedInputIsRefused) {
    uint32_t seed = 11;
    for (const char* name : {"text-9.gz", "small-fname.gz", "empty.gz", "text.zz", "small.raw", "text.raw", "text-stored.zz"}) {
        bytes good = fixture(name);
        codec c = name[std::string(name).size() - 1] == 'z' ? (name[std::string(name).size() - 2] == 'g' ? gzip_uncompress : zlib_uncompress)
                                                           : inflate_raw;
        for (int k = 0; k < 300; k++) {
            bytes bad = good;
            if (k % 3 == 0) bad.resize(lcg(seed) % (good.size() + 1));
            else bad[lcg(seed) % bad.size()] ^= static_cast<uint8_t>(1u << (lcg(seed) % 8));
            run_result r = run(c, bad, lcg(seed) % 4 ? 1 << 18 : lcg(seed) % 512);
            EXPECT_GE(r.code, CODEC_DONE);
            EXPECT_LE(r.code, CODEC_RESERVED_BLOCK);
        }
    }
}

TEST(Checksum, PublishedValues) {
    bytes abc = from_text("abc"), fox = from_text("The quick brown fox jumps over the lazy dog");
    EXPECT_EQ(crc32(nullptr, 0), 0u);
    EXPECT_EQ(crc32(abc.data(), 3), 0x352441C2u);
    EXPECT_EQ(crc32(fox.data(), fox.size()), 0x414FA339u);
    EXPECT_EQ(adler32(nullptr, 0), 1u);
    EXPECT_EQ(adler32(fox.data(), fox.size()), 0x5BDC0FDAu);
    bytes big(100000, 0xFF);  // runs past the reduction interval
    EXPECT_EQ(adler32(big.data(), big.size()), 0x149A302Cu);
    EXPECT_EQ(crc32(big.data(), big.size()), 0x68C6CEC4u);  // folded 16 bytes at a time
    big.push_back(0xFF);
    EXPECT_EQ(crc32(big.data(), big.size()), 0x6361C067u);  // and a byte-wise tail
    // Running values carry across calls.
    EXPECT_EQ(crc32(fox.data() + 10, fox.size() - 10, crc32(fox.data(), 10)), 0x414FA339u);
}
