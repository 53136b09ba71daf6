#include "io/deflate.h"

#include <array>
#include <cstring>

#include "evaluator/checksum.h"

namespace kel {

namespace {

inline uint64_t load64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

constexpr uint32_t reverse_bits(uint32_t code, uint32_t n) {
    uint32_t r = 0;
    for (uint32_t i = 0; i < n; i++, code >>= 1) r = r << 1 | (code & 1);
    return r;
}

// The bases and extra-bit counts of the length symbols 257-285 and distance symbols 0-29.
constexpr uint16_t LENGTH_BASE[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t LENGTH_EXTRA[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t DIST_BASE[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t DIST_EXTRA[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6,
                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// Encoder ------------------------------------------------------------------------------

// A fixed-code symbol ready for the bit writer: the reversed code and its extra bits in one
// value, with the total bit count.
struct code_bits {
    uint32_t value;
    uint32_t count;
};

constexpr code_bits fixed_literal_code(uint32_t sym) {
    if (sym < 144) return {reverse_bits(0x30 + sym, 8), 8};
    if (sym < 256) return {reverse_bits(0x190 + sym - 144, 9), 9};
    if (sym < 280) return {reverse_bits(sym - 256, 7), 7};
    return {reverse_bits(0xC0 + sym - 280, 8), 8};
}

struct encoder_tables {
    code_bits literal[256];
    code_bits length[259];  // by match length 3..258, extra bits included
    uint8_t dist_code_low[256];   // distance - 1 below 256
    uint8_t dist_code_high[256];  // (distance - 1) >> 7 otherwise
};

constexpr encoder_tables make_encoder_tables() {
    encoder_tables t{};
    for (uint32_t i = 0; i < 256; i++) t.literal[i] = fixed_literal_code(i);
    for (uint32_t s = 0; s < 29; s++) {
        uint32_t span = s == 28 ? 1 : 1u << LENGTH_EXTRA[s];
        for (uint32_t k = 0; k < span; k++) {
            uint32_t len = LENGTH_BASE[s] + k;
            if (len > 258 || (s == 27 && len == 258)) continue;
            code_bits c = fixed_literal_code(257 + s);
            t.length[len] = {c.value | k << c.count, c.count + LENGTH_EXTRA[s]};
        }
    }
    for (uint32_t s = 0; s < 30; s++) {
        for (uint32_t d = DIST_BASE[s]; d < DIST_BASE[s] + (1u << DIST_EXTRA[s]) && d <= 32768; d++) {
            uint32_t i = d - 1;
            if (i < 256) t.dist_code_low[i] = static_cast<uint8_t>(s);
            else t.dist_code_high[i >> 7] = static_cast<uint8_t>(s);
        }
    }
    return t;
}

constexpr encoder_tables ENCODER = make_encoder_tables();

// Least significant bit first. Bytes past the capacity are counted, not written, so that an
// overflowing run still measures the size a full run needs.
struct bit_writer {
    uint8_t* out;
    size_t capacity;
    size_t pos = 0;
    uint64_t acc = 0;
    uint32_t count = 0;

    void put(uint32_t value, uint32_t n) {
        acc |= static_cast<uint64_t>(value) << count;
        count += n;
        if (count >= 32) flush_bytes();
    }
    void flush_bytes() {
        uint32_t bytes = count >> 3;
        if (pos + 8 <= capacity) {
            std::memcpy(out + pos, &acc, 8);
        } else {
            for (uint32_t i = 0; i < bytes; i++)
                if (pos + i < capacity) out[pos + i] = static_cast<uint8_t>(acc >> (8 * i));
        }
        pos += bytes;
        acc = bytes == 8 ? 0 : acc >> (8 * bytes);
        count &= 7;
    }
    void finish() {
        count = (count + 7) & ~7u;
        flush_bytes();
    }
};

inline uint32_t three_bytes(const uint8_t* p) { return static_cast<uint32_t>(p[0]) << 16 | p[1] << 8 | p[2]; }

inline uint32_t bucket_of(const uint8_t* p) {
    uint32_t x = three_bytes(p);
    x ^= x >> 16;
    x *= 0x7FEB352Du;
    x ^= x >> 15;
    x *= 0x846CA68Bu;
    x ^= x >> 16;
    return x & 0x3FF;
}

inline uint32_t slot_of(const uint8_t* p) {
    uint32_t y = three_bytes(p);
    return ((y >> 14) - y) & 3;
}

// Decoder ------------------------------------------------------------------------------

// A table entry: bits 0-7 the code bits taken at this level, bits 8-15 the operation,
// bits 16-31 the value (literal, base, symbol or subtable offset).
enum : uint32_t {
    OP_LITERAL = 0x00,
    OP_BASE = 0x10,      // | extra bits: a length or distance base
    OP_END = 0x20,
    OP_SUBTABLE = 0x40,  // | index bits of the subtable
    OP_INVALID = 0x80,
};

constexpr uint32_t entry(uint32_t bits, uint32_t op, uint32_t value) { return bits | op << 8 | value << 16; }
inline uint32_t entry_bits(uint32_t e) { return e & 0xFF; }
inline uint32_t entry_op(uint32_t e) { return (e >> 8) & 0xFF; }
inline uint32_t entry_value(uint32_t e) { return e >> 16; }

enum code_kind { LITLEN_CODE, DIST_CODE, CODELEN_CODE };

constexpr uint32_t LITLEN_ROOT = 10, DIST_ROOT = 8, CODELEN_ROOT = 7;
// Room for the root table and every subtable the longest codes can ask for.
constexpr uint32_t LITLEN_TABLE_SIZE = (1u << LITLEN_ROOT) + 288 * (1u << (15 - LITLEN_ROOT));
constexpr uint32_t DIST_TABLE_SIZE = (1u << DIST_ROOT) + 32 * (1u << (15 - DIST_ROOT));

uint32_t symbol_entry(code_kind kind, uint32_t sym, uint32_t bits) {
    switch (kind) {
        case CODELEN_CODE: return entry(bits, OP_LITERAL, sym);
        case DIST_CODE:
            return sym < 30 ? entry(bits, OP_BASE | DIST_EXTRA[sym], DIST_BASE[sym]) : entry(bits, OP_INVALID, 0);
        case LITLEN_CODE:
            if (sym < 256) return entry(bits, OP_LITERAL, sym);
            if (sym == 256) return entry(bits, OP_END, 0);
            if (sym < 286) return entry(bits, OP_BASE | LENGTH_EXTRA[sym - 257], LENGTH_BASE[sym - 257]);
            return entry(bits, OP_INVALID, 0);
    }
    return 0;
}

// Builds the canonical code of the lengths into a root table of `root` bits with
// subtables for longer codes. False for an over-subscribed code, or an incomplete one
// other than a lone code of length 1 (literal/length and distance codes only). A code
// with no lengths at all is valid: every entry is invalid.
bool build_table(const uint8_t* lengths, uint32_t n, code_kind kind, uint32_t root, uint32_t* table) {
    uint32_t count[16] = {};
    for (uint32_t i = 0; i < n; i++) count[lengths[i]]++;
    uint32_t used = n - count[0];
    int32_t left = 1;
    for (uint32_t len = 1; len <= 15; len++) {
        left = left * 2 - static_cast<int32_t>(count[len]);
        if (left < 0) return false;
    }
    bool lone = used == 1 && count[1] == 1;
    if (left > 0 && used > 0 && !(lone && kind != CODELEN_CODE)) return false;
    if (used == 0 && kind == CODELEN_CODE) return false;

    // The first code of each length, most significant bit first.
    uint32_t next_code[16] = {};
    for (uint32_t len = 1, code = 0; len <= 15; len++) {
        code = (code + (len > 1 ? count[len - 1] : 0)) << 1;
        next_code[len] = code;
    }

    const uint32_t root_size = 1u << root, root_mask = root_size - 1;
    const uint32_t invalid = entry(0, OP_INVALID, 0);
    for (uint32_t i = 0; i < root_size; i++) table[i] = invalid;
    if (used == 0) return true;

    uint32_t codes[288];
    uint8_t longest[1u << 10] = {};  // per root index: the longest code below it
    {
        uint32_t nc[16];
        std::memcpy(nc, next_code, sizeof nc);
        for (uint32_t s = 0; s < n; s++) {
            uint32_t len = lengths[s];
            if (!len) continue;
            codes[s] = reverse_bits(nc[len]++, len);
            if (len > root) {
                uint32_t r = codes[s] & root_mask;
                if (len > longest[r]) longest[r] = static_cast<uint8_t>(len);
            }
        }
    }
    uint32_t fill = root_size;
    for (uint32_t r = 0; r < root_size; r++) {
        if (!longest[r]) continue;
        uint32_t sub_bits = longest[r] - root;
        table[r] = entry(root, OP_SUBTABLE | sub_bits, fill);
        for (uint32_t k = 0; k < (1u << sub_bits); k++) table[fill + k] = invalid;
        fill += 1u << sub_bits;
    }
    for (uint32_t s = 0; s < n; s++) {
        uint32_t len = lengths[s];
        if (!len) continue;
        if (len <= root) {
            uint32_t e = symbol_entry(kind, s, len);
            for (uint32_t k = codes[s]; k < root_size; k += 1u << len) table[k] = e;
        } else {
            uint32_t link = table[codes[s] & root_mask];
            uint32_t sub_bits = entry_op(link) & 0x3F, base = entry_value(link);
            uint32_t e = symbol_entry(kind, s, len - root);
            for (uint32_t k = codes[s] >> root; k < (1u << sub_bits); k += 1u << (len - root)) table[base + k] = e;
        }
    }
    return true;
}

struct fixed_tables {
    uint32_t litlen[LITLEN_TABLE_SIZE];
    uint32_t dist[DIST_TABLE_SIZE];
};

const fixed_tables& fixed_code() {
    static const fixed_tables* tables = [] {
        static fixed_tables t;
        uint8_t lengths[288];
        for (uint32_t i = 0; i < 288; i++) lengths[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
        build_table(lengths, 288, LITLEN_CODE, LITLEN_ROOT, t.litlen);
        // Distance symbols 30 and 31 have codes but no meaning: they decode as invalid.
        uint8_t dist[32];
        std::memset(dist, 5, sizeof dist);
        build_table(dist, 32, DIST_CODE, DIST_ROOT, t.dist);
        return &t;
    }();
    return *tables;
}

struct bit_reader {
    const uint8_t* p;
    const uint8_t* end;
    uint64_t buf = 0;
    uint32_t count = 0;

    void refill() {
        if (end - p >= 8) {
            buf |= load64(p) << count;
            p += (63 - count) >> 3;
            count |= 56;
        } else {
            while (count <= 56 && p < end) {
                buf |= static_cast<uint64_t>(*p++) << count;
                count += 8;
            }
        }
    }
    // False when the input ends first.
    bool take(uint32_t n, uint32_t& value) {
        if (count < n) {
            refill();
            if (count < n) return false;
        }
        value = static_cast<uint32_t>(buf & ((1ull << n) - 1));
        buf >>= n;
        count -= n;
        return true;
    }
    // Decodes one symbol's entry; OP_INVALID when the code is unused or the input ends.
    uint32_t decode(const uint32_t* table, uint32_t root) {
        if (count < 15) refill();
        uint32_t e = table[buf & ((1u << root) - 1)];
        uint32_t bits = entry_bits(e);
        if (entry_op(e) & OP_SUBTABLE) {
            uint32_t sub_bits = entry_op(e) & 0x3F;
            e = table[entry_value(e) + ((buf >> root) & ((1u << sub_bits) - 1))];
            bits = root + entry_bits(e);
        }
        if (bits > count || entry_op(e) == OP_INVALID) return entry(0, OP_INVALID, 0);
        buf >>= bits;
        count -= bits;
        return e;
    }
    void align() {
        uint32_t drop = count & 7;
        buf >>= drop;
        count -= drop;
    }
    // Gives back the whole bytes already in the buffer (after align).
    void unread() {
        p -= count >> 3;
        buf = 0;
        count = 0;
    }
};

// Output past the capacity is counted, not written.
struct inflate_output {
    uint8_t* dst;
    size_t capacity;
    size_t pos = 0;

    void literal(uint8_t b) {
        if (pos < capacity) dst[pos] = b;
        pos++;
    }
    // False for a distance reaching before the start.
    bool copy(uint32_t distance, uint32_t length) {
        if (distance > pos) return false;
        if (pos + length + 8 <= capacity) {
            uint8_t* to = dst + pos;
            const uint8_t* from = to - distance;
            if (distance >= 8) {
                for (uint32_t i = 0; i < length; i += 8) std::memcpy(to + i, from + i, 8);
            } else {
                for (uint32_t i = 0; i < length; i++) to[i] = from[i];
            }
            pos += length;
            return true;
        }
        for (uint32_t i = 0; i < length; i++, pos++)
            if (pos < capacity) dst[pos] = dst[pos - distance];
        return true;
    }
};

int32_t inflate_block(bit_reader& in, inflate_output& out, const uint32_t* litlen, const uint32_t* dist) {
    for (;;) {
        uint32_t e = in.decode(litlen, LITLEN_ROOT);
        uint32_t op = entry_op(e);
        if (op == OP_LITERAL) {
            out.literal(static_cast<uint8_t>(entry_value(e)));
            continue;
        }
        if (op == OP_END) return CODEC_DONE;
        if (!(op & OP_BASE)) return CODEC_BAD_DATA;
        uint32_t extra = 0, length = entry_value(e);
        if (!in.take(op & 0x0F, extra)) return CODEC_BAD_DATA;
        length += extra;
        e = in.decode(dist, DIST_ROOT);
        op = entry_op(e);
        if (!(op & OP_BASE)) return CODEC_BAD_DATA;
        if (!in.take(op & 0x0F, extra)) return CODEC_BAD_DATA;
        if (!out.copy(entry_value(e) + extra, length)) return CODEC_BAD_DATA;
    }
}

constexpr uint8_t CODELEN_ORDER[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

int32_t inflate_dynamic(bit_reader& in, inflate_output& out) {
    uint32_t hlit, hdist, hclen;
    if (!in.take(5, hlit) || !in.take(5, hdist) || !in.take(4, hclen)) return CODEC_BAD_DATA;
    hlit += 257;
    hdist += 1;
    hclen += 4;
    if (hlit > 286 || hdist > 30) return CODEC_BAD_DATA;
    uint8_t codelen_lengths[19] = {};
    for (uint32_t i = 0; i < hclen; i++) {
        uint32_t v;
        if (!in.take(3, v)) return CODEC_BAD_DATA;
        codelen_lengths[CODELEN_ORDER[i]] = static_cast<uint8_t>(v);
    }
    uint32_t codelen_table[1u << CODELEN_ROOT];
    if (!build_table(codelen_lengths, 19, CODELEN_CODE, CODELEN_ROOT, codelen_table)) return CODEC_BAD_DATA;

    uint8_t lengths[286 + 30] = {};
    uint32_t total = hlit + hdist;
    for (uint32_t i = 0; i < total;) {
        uint32_t e = in.decode(codelen_table, CODELEN_ROOT);
        if (entry_op(e) == OP_INVALID) return CODEC_BAD_DATA;
        uint32_t sym = entry_value(e), repeat = 0, value = 0, extra = 0;
        if (sym < 16) {
            lengths[i++] = static_cast<uint8_t>(sym);
            continue;
        }
        if (sym == 16) {
            if (i == 0 || !in.take(2, extra)) return CODEC_BAD_DATA;
            value = lengths[i - 1];
            repeat = 3 + extra;
        } else if (sym == 17) {
            if (!in.take(3, extra)) return CODEC_BAD_DATA;
            repeat = 3 + extra;
        } else {
            if (!in.take(7, extra)) return CODEC_BAD_DATA;
            repeat = 11 + extra;
        }
        if (i + repeat > total) return CODEC_BAD_DATA;
        while (repeat--) lengths[i++] = static_cast<uint8_t>(value);
    }
    if (lengths[256] == 0) return CODEC_BAD_DATA;
    uint32_t litlen[LITLEN_TABLE_SIZE];
    uint32_t dist[DIST_TABLE_SIZE];
    if (!build_table(lengths, hlit, LITLEN_CODE, LITLEN_ROOT, litlen)) return CODEC_BAD_DATA;
    if (!build_table(lengths + hlit, hdist, DIST_CODE, DIST_ROOT, dist)) return CODEC_BAD_DATA;
    return inflate_block(in, out, litlen, dist);
}

int32_t inflate_stored(bit_reader& in, inflate_output& out) {
    in.align();
    in.unread();
    if (in.end - in.p < 4) return CODEC_STORED_CUT;
    uint32_t len = in.p[0] | in.p[1] << 8, nlen = in.p[2] | in.p[3] << 8;
    in.p += 4;
    if ((len ^ 0xFFFF) != nlen) return CODEC_BAD_DATA;
    if (static_cast<size_t>(in.end - in.p) < len) return CODEC_STORED_CUT;
    if (out.pos < out.capacity) {
        size_t room = out.capacity - out.pos;
        std::memcpy(out.dst + out.pos, in.p, len < room ? len : room);
    }
    out.pos += len;
    in.p += len;
    return CODEC_DONE;
}

inline void put_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void put_be32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
inline uint32_t get_le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
inline uint32_t get_be32(const uint8_t* p) { return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

}  // namespace

int32_t deflate_fixed(uint8_t* dst, size_t* size, const uint8_t* src, size_t len) {
    uint32_t slots[1024 * 4] = {};
    bit_writer w{dst, *size};
    w.put(3, 3);  // final block, fixed code
    size_t p = 0;
    while (p < len) {
        size_t start = p;
        bool hashed = p + 3 <= len;
        uint32_t bucket = hashed ? bucket_of(src + p) * 4 : 0;
        bool matched = false;
        if (hashed && p >= 3) {
            for (uint32_t s = 0; s < 4; s++) {
                uint32_t e = slots[bucket + s];
                if (!e) continue;
                size_t c = e - 1;
                if (c >= p || p >= c + 32768 || std::memcmp(src + c, src + p, 3) != 0) continue;
                size_t length = 3;
                while (length < 258 && p + length < len && src[c + length] == src[p + length]) length++;
                uint32_t d = static_cast<uint32_t>(p - c) - 1;
                uint32_t dcode = d < 256 ? ENCODER.dist_code_low[d] : ENCODER.dist_code_high[d >> 7];
                code_bits lc = ENCODER.length[length];
                uint32_t dist_value = reverse_bits(dcode, 5) | (d + 1 - DIST_BASE[dcode]) << 5;
                w.put(lc.value, lc.count);
                w.put(dist_value, 5 + DIST_EXTRA[dcode]);
                p += length;
                matched = true;
                break;
            }
        }
        if (!matched) {
            code_bits lit = ENCODER.literal[src[p]];
            w.put(lit.value, lit.count);
            p++;
        }
        if (hashed && p + 3 <= len) slots[bucket + slot_of(src + p)] = static_cast<uint32_t>(start + 1);
    }
    w.put(0, 7);  // end of block
    w.finish();
    int32_t result = w.pos > *size ? CODEC_TOO_SMALL : CODEC_DONE;
    *size = w.pos;
    return result;
}

int32_t inflate_raw(uint8_t* dst, size_t* size, const uint8_t* src, size_t len) {
    bit_reader in{src, src + len};
    inflate_output out{dst, *size};
    int32_t result = CODEC_DONE;
    for (uint32_t final = 0; !final;) {
        uint32_t type;
        if (!in.take(1, final) || !in.take(2, type)) {
            result = CODEC_BAD_DATA;
            break;
        }
        if (type == 0) result = inflate_stored(in, out);
        else if (type == 1) result = inflate_block(in, out, fixed_code().litlen, fixed_code().dist);
        else if (type == 2) result = inflate_dynamic(in, out);
        else result = CODEC_RESERVED_BLOCK;
        if (result != CODEC_DONE) break;
    }
    *size = out.pos;
    if (result != CODEC_DONE) return result;
    // Bits of the last byte may be padding; a whole byte left over is not.
    in.align();
    if (in.count || in.p != in.end) return CODEC_BAD_DATA;
    return out.pos > out.capacity ? CODEC_TOO_SMALL : CODEC_DONE;
}

int32_t zlib_compress(uint8_t* dst, size_t* size, const uint8_t* src, size_t len) {
    if (*size < 6) {
        *size = len + 6;
        return CODEC_BAD_DATA;
    }
    size_t room = *size - 6;
    int32_t result = deflate_fixed(dst + 2, &room, src, len);
    *size = room + 6;
    if (result != CODEC_DONE) return result;
    dst[0] = 0x78;
    dst[1] = 0x01;
    put_be32(dst + 2 + room, adler32(src, len));
    return CODEC_DONE;
}

int32_t zlib_uncompress(uint8_t* dst, size_t* size, const uint8_t* src, size_t len) {
    if (len < 6) return CODEC_BAD_DATA;
    uint32_t cmf = src[0], flg = src[1];
    if ((cmf * 256 + flg) % 31 != 0 || (cmf & 0x0F) != 8 || (cmf & 0x80) || (flg & 0x20)) return CODEC_BAD_DATA;
    int32_t result = inflate_raw(dst, size, src + 2, len - 6);
    if (result != CODEC_DONE) return result;
    return adler32(dst, *size) == get_be32(src + len - 4) ? CODEC_DONE : CODEC_BAD_DATA;
}

int32_t gzip_compress(uint8_t* dst, size_t* size, const uint8_t* src, size_t len) {
    if (*size < 18) {
        *size = len + 18;
        return CODEC_BAD_DATA;
    }
    size_t room = *size - 18;
    int32_t result = deflate_fixed(dst + 10, &room, src, len);
    *size = room + 18;
    if (result != CODEC_DONE) return result;
    static constexpr uint8_t header[10] = {0x1F, 0x8B, 0x08, 0, 0, 0, 0, 0, 0x04, 0x04};
    std::memcpy(dst, header, 10);
    put_le32(dst + 10 + room, crc32(src, len));
    put_le32(dst + 14 + room, static_cast<uint32_t>(len));
    return CODEC_DONE;
}

int32_t gzip_uncompress(uint8_t* dst, size_t* size, const uint8_t* src, size_t len) {
    if (len < 18 || src[0] != 0x1F || src[1] != 0x8B || src[2] != 0x08 || src[3] >= 32) return CODEC_BAD_DATA;
    uint32_t flags = src[3];
    size_t p = 10;
    const size_t body_end = len - 8;
    if (flags & 0x04) {
        if (p + 2 > body_end) return CODEC_BAD_DATA;
        size_t extra = src[p] | src[p + 1] << 8;
        p += 2;
        if (extra > body_end - p) return CODEC_BAD_DATA;
        p += extra;
    }
    for (uint32_t flag : {0x08u, 0x10u}) {
        if (!(flags & flag)) continue;
        while (p < body_end && src[p]) p++;
        if (p >= body_end) return CODEC_BAD_DATA;
        p++;
    }
    if (flags & 0x02) {
        if (p + 2 > body_end) return CODEC_BAD_DATA;
        if ((crc32(src, p) & 0xFFFF) != static_cast<uint32_t>(src[p] | src[p + 1] << 8)) return CODEC_BAD_DATA;
        p += 2;
    }
    uint32_t isize = get_le32(src + len - 4);
    // A length no deflate stream of this input can reach is a lie, not a size to allocate.
    if (isize > len * INFLATE_MAX_RATIO) return CODEC_BAD_DATA;
    if (isize > *size) {
        *size = isize;
        return CODEC_TOO_SMALL;
    }
    int32_t result = inflate_raw(dst, size, src + p, body_end - p);
    if (result != CODEC_DONE) return result;
    if (*size != isize || crc32(dst, *size) != get_le32(src + len - 8)) return CODEC_BAD_DATA;
    return CODEC_DONE;
}

}  // namespace kel
