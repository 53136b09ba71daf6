#include "runtime/lz.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "runtime/heap.h"

namespace kel {

namespace {

constexpr uint32_t HASH3_BITS = 19;
constexpr uint32_t HASH4_BITS = 20;
constexpr uint32_t CHAIN_MASK = LZ_MAX_DISTANCE - 1;
constexpr int CHAIN_STEPS = 256;
// A length-3 match this far away is dropped: it saves next to nothing over literals.
constexpr uint32_t FAR_MIN3_DISTANCE = 65536;
// The densest token is a 566-byte match coded in 22 bits, so a genuine record can never
// expand beyond this many bytes per compressed byte; a header claiming more is refused
// before anything is allocated.
constexpr uint64_t MAX_EXPANSION = (8 * LZ_MAX_LENGTH + 21) / 22;

uint32_t read_u32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void write_u32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// ---- Decoding ----

// Reads least-significant-bit first from [next, end). Reading past the end yields zero
// bits and sets overrun, which the caller checks once per token.
struct bit_reader {
    const uint8_t* next;
    const uint8_t* end;
    uint64_t bits = 0;
    unsigned count = 0;
    bool overrun = false;

    uint32_t get_bits(unsigned n) {
        if (count < n) {
            while (count <= 56 && next < end) {
                bits |= static_cast<uint64_t>(*next++) << count;
                count += 8;
            }
            if (count < n) {
                overrun = true;
                count = n;
            }
        }
        uint32_t v = static_cast<uint32_t>(bits & ((uint64_t{1} << n) - 1));
        bits >>= n;
        count -= n;
        return v;
    }

    // A block ends on a byte boundary: drop its padding, give back the bytes read ahead.
    const uint8_t* block_end() const { return next - count / 8; }
};

inline uint32_t get_length(bit_reader& in) {
    if (in.get_bits(1)) return 3 + in.get_bits(2);
    if (in.get_bits(1)) return 7 + in.get_bits(2);
    if (in.get_bits(1)) return 11 + in.get_bits(2);
    if (in.get_bits(1)) return 15 + in.get_bits(3);
    if (in.get_bits(1)) return 23 + in.get_bits(5);
    return 55 + in.get_bits(9);
}

inline uint32_t get_distance(bit_reader& in) {
    unsigned j = in.get_bits(4) + 2;
    if (j == 2) return in.get_bits(3) + 1;
    return (1u << j) + in.get_bits(j) + 1;
}

// Decodes exactly size bytes into out; false on a token that leaves the input, reaches
// before the block's start or runs past its size.
bool decode_block(bit_reader& in, uint8_t* out, uint32_t size) {
    uint32_t done = 0;
    while (done < size) {
        if (!in.get_bits(1)) {
            out[done++] = static_cast<uint8_t>(in.get_bits(8));
            if (in.overrun) return false;
            continue;
        }
        uint32_t length = get_length(in);
        uint32_t distance = get_distance(in);
        if (in.overrun || distance > done || length > size - done) return false;
        uint8_t* to = out + done;
        const uint8_t* from = to - distance;
        if (distance >= length) {
            std::memcpy(to, from, length);
        } else {
            for (uint32_t i = 0; i < length; i++) to[i] = from[i];  // overlaps its own output
        }
        done += length;
    }
    return true;
}

// ---- Encoding ----

// Writes least-significant-bit first into [next, end); running out sets overflow.
struct bitstream {
    uint8_t* next;
    uint8_t* end;
    uint64_t bits = 0;
    unsigned count = 0;
    bool overflow = false;

    uint8_t* reserve(size_t n) {
        if (static_cast<size_t>(end - next) < n) {
            overflow = true;
            return nullptr;
        }
        uint8_t* at = next;
        next += n;
        return at;
    }

    void put_bits(unsigned n, uint32_t value) {
        bits |= static_cast<uint64_t>(value) << count;
        count += n;
        while (count >= 8) {
            if (next == end) {
                overflow = true;
                bits = 0;
                count = 0;
                return;
            }
            *next++ = static_cast<uint8_t>(bits);
            bits >>= 8;
            count -= 8;
        }
    }

    // Ends a block: zero bits up to the byte boundary, and a clean writer for the next one.
    void pad() {
        if (count) put_bits(8 - count, 0);
        bits = 0;
        count = 0;
    }
};

void put_literal(bitstream& out, uint8_t byte) { out.put_bits(9, static_cast<uint32_t>(byte) << 1); }

// Match flag and length code as one field: the prefix bits come first, then the value.
void put_length(bitstream& out, uint32_t length) {
    uint32_t n = length - LZ_MIN_LENGTH;
    if (n < 4) out.put_bits(4, 0b11 | n << 2);
    else if (n < 8) out.put_bits(5, 0b101 | (n - 4) << 3);
    else if (n < 12) out.put_bits(6, 0b1001 | (n - 8) << 4);
    else if (n < 20) out.put_bits(8, 0b10001 | (n - 12) << 5);
    else if (n < 52) out.put_bits(11, 0b100001 | (n - 20) << 6);
    else out.put_bits(15, 0b000001 | (n - 52) << 6);
}

void put_distance(bitstream& out, uint32_t distance) {
    uint32_t d = distance - 1;
    if (d < 8) {
        out.put_bits(7, d << 4);
        return;
    }
    unsigned j = std::bit_width(d) - 1;  // d in [2^j, 2^(j+1))
    out.put_bits(4, j - 2);
    out.put_bits(j, d - (1u << j));
}

inline uint32_t lz_hash3(uint32_t hash, uint8_t byte) { return (hash * 128 + byte) & ((1u << HASH3_BITS) - 1); }
inline uint32_t lz_hash4(uint32_t hash, uint8_t byte) { return (hash * 32 + byte) & ((1u << HASH4_BITS) - 1); }

// The number of 3-bit right shifts that bring a down to b or below.
inline uint32_t count_shifts(uint32_t a, uint32_t b) {
    uint32_t n = 0;
    for (; a > b; a >>= 3) n++;
    return n;
}

inline uint32_t match_length(const uint8_t* a, const uint8_t* b, uint32_t max) {
    uint32_t n = 0;
    while (n < max && a[n] == b[n]) n++;
    return n;
}

struct match {
    uint32_t length;
    uint32_t distance;
};

// Heads of the 3- and 4-byte hashes and the chain of earlier positions with the same
// 4-byte hash; one block at a time, so matches never reach into an earlier block.
struct lz_tables {
    std::vector<int32_t> head3 = std::vector<int32_t>(size_t{1} << HASH3_BITS);
    std::vector<int32_t> head4 = std::vector<int32_t>(size_t{1} << HASH4_BITS);
    std::vector<int32_t> chain = std::vector<int32_t>(LZ_MAX_DISTANCE);
    // The block, plus zero bytes for the rolling hashes that look 4 bytes ahead of the end.
    std::vector<uint8_t> work = std::vector<uint8_t>(LZ_BLOCK_SIZE + 4);
    const uint8_t* w = nullptr;
    uint32_t size = 0;
    uint32_t hash3 = 0;  // hashes of the bytes at the next position to insert
    uint32_t hash4 = 0;

    void start_block(const uint8_t* source, uint32_t n) {
        std::memcpy(work.data(), source, n);
        std::memset(work.data() + n, 0, 4);
        std::fill(head3.begin(), head3.end(), -1);
        std::fill(head4.begin(), head4.end(), -1);
        w = work.data();
        size = n;
        hash3 = lz_hash3(lz_hash3(w[0], w[1]), w[2]);
        hash4 = lz_hash4(lz_hash4(lz_hash4(w[0], w[1]), w[2]), w[3]);
    }

    // Enters position p (the next one in order) and rolls the hashes on to p + 1.
    void insert(int32_t p) {
        head3[hash3] = p;
        chain[p & CHAIN_MASK] = head4[hash4];
        head4[hash4] = p;
        hash3 = lz_hash3(hash3, w[p + 3]);
        hash4 = lz_hash4(hash4, w[p + 4]);
    }

    // The best match at p (whose hashes are current): the 3-byte head, then a bounded walk
    // of the 4-byte chain where a farther candidate must be longer to win.
    match find(int32_t p) const {
        match best{LZ_MIN_LENGTH - 1, 0};
        uint32_t max = std::min(LZ_MAX_LENGTH, size - p);
        if (max < LZ_MIN_LENGTH) return best;
        const uint8_t* here = w + p;
        int32_t limit = p - static_cast<int32_t>(LZ_MAX_DISTANCE);
        int32_t c = head3[hash3];
        if (c >= 0 && c >= limit && w[c] == here[0]) {
            uint32_t n = match_length(w + c, here, max);
            if (n > best.length) best = {n, static_cast<uint32_t>(p - c)};
        }
        c = head4[hash4];
        for (int steps = CHAIN_STEPS; best.length < max && steps > 0 && c >= 0 && c >= limit; steps--) {
            if (w[c + best.length] == here[best.length]) {
                uint32_t n = match_length(w + c, here, max);
                uint32_t distance = static_cast<uint32_t>(p - c);
                uint32_t penalty = best.distance ? count_shifts(distance / 16, best.distance) : 0;
                if (n > best.length + penalty) best = {n, distance};
            }
            c = chain[c & CHAIN_MASK];
        }
        if (best.length == LZ_MIN_LENGTH && best.distance > FAR_MIN3_DISTANCE) best.length = 0;
        return best;
    }
};

void compress_block(lz_tables& t, const uint8_t* source, uint32_t size, bitstream& out) {
    uint8_t* header = out.reserve(4);
    if (!header) return;
    write_u32(header, size);
    t.start_block(source, size);
    const uint8_t* w = t.w;
    int32_t p = 0;
    int32_t end = static_cast<int32_t>(size);
    match m = t.find(0);
    while (p < end && !out.overflow) {
        if (m.length < LZ_MIN_LENGTH) {
            put_literal(out, w[p]);
            t.insert(p++);
            m = t.find(p);
            continue;
        }
        // One position of look-ahead: a longer match there is worth a literal here.
        t.insert(p);
        match ahead = t.find(p + 1);
        if (ahead.length > m.length) {
            put_literal(out, w[p++]);
            m = ahead;
            continue;
        }
        put_length(out, m.length);
        put_distance(out, m.distance);
        for (int32_t stop = p + static_cast<int32_t>(m.length); ++p < stop;) t.insert(p);
        m = t.find(p);
    }
    out.pad();
}

}  // namespace

void bitstream_free(uint8_t* buffer) { heap_free(buffer); }

int64_t lz_compress(const uint8_t* source, size_t n, uint8_t* destination) {
    if (n < LZ_MIN_INPUT || n > INT32_MAX) return -1;
    // The record must come out smaller than the input.
    bitstream out{destination + LZ_HEADER_SIZE, destination + n - 1};
    lz_tables tables;
    for (size_t at = 0; at < n && !out.overflow; at += LZ_BLOCK_SIZE) {
        compress_block(tables, source + at, static_cast<uint32_t>(std::min<size_t>(LZ_BLOCK_SIZE, n - at)), out);
    }
    if (out.overflow) return -1;
    size_t packed = static_cast<size_t>(out.next - (destination + LZ_HEADER_SIZE));
    write_u32(destination, static_cast<uint32_t>(packed));
    write_u32(destination + 4, static_cast<uint32_t>(n));
    return static_cast<int64_t>(packed + LZ_HEADER_SIZE);
}

lz_buffer lz_decompress(const uint8_t* record, size_t record_size, size_t& expanded_size) {
    if (record_size < LZ_HEADER_SIZE) return nullptr;
    uint32_t packed = read_u32(record);
    uint32_t expanded = read_u32(record + 4);
    if (packed > record_size - LZ_HEADER_SIZE || expanded > INT32_MAX || expanded > packed * MAX_EXPANSION) {
        return nullptr;
    }
    lz_buffer out(static_cast<uint8_t*>(heap_alloc(size_t{expanded} + 8)));
    uint32_t done = 0;
    const uint8_t* in = record + LZ_HEADER_SIZE;
    const uint8_t* end = in + packed;
    while (in < end) {
        if (end - in < 4) return nullptr;
        uint32_t size = read_u32(in);
        if (size == 0 || size > LZ_BLOCK_SIZE || size > expanded - done) return nullptr;
        bit_reader bits{in + 4, end};
        if (!decode_block(bits, out.get() + done, size)) return nullptr;
        done += size;
        in = bits.block_end();
    }
    if (done != expanded) return nullptr;
    std::memset(out.get() + expanded, 0, 8);
    expanded_size = expanded;
    return out;
}

}  // namespace kel
