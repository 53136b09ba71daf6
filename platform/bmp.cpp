// The BMP container, read and written here: every offset and count the file declares is
// checked against the bytes there are before it is used.
#include <cstdlib>
#include <cstring>

#include "platform/imaging.h"

namespace kel::imaging {

namespace {

uint32_t u16(const uint8_t* p) { return uint32_t{p[0]} | uint32_t{p[1]} << 8; }
uint32_t u32(const uint8_t* p) { return u16(p) | u16(p + 2) << 16; }
void put16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
void put32(std::vector<uint8_t>& out, uint32_t v) {
    put16(out, v);
    put16(out, v >> 16);
}

enum compression : uint32_t { BI_RGB = 0, BI_RLE8 = 1, BI_RLE4 = 2, BI_BITFIELDS = 3, BI_ALPHABITFIELDS = 6 };

// One channel of a bit-field pixel, scaled to 8 bits; an empty mask reads as `missing`.
struct channel {
    uint32_t mask = 0;
    uint32_t shift = 0;
    uint32_t bits = 0;
    explicit channel(uint32_t m = 0) : mask(m) {
        if (!m) return;
        while (!(m & 1)) m >>= 1, shift++;
        while (m & 1) m >>= 1, bits++;
    }
    uint32_t read(uint32_t pixel, uint32_t missing) const {
        if (!mask) return missing;
        uint32_t v = (pixel & mask) >> shift;
        if (bits >= 8) return v >> (bits - 8);
        uint32_t max = (1u << bits) - 1;
        return (v * 255 + max / 2) / max;
    }
};

struct bmp_header {
    int64_t width, height;
    uint32_t bits, compression, palette_at, palette_count, palette_entry;
    channel red, green, blue, alpha;
};

// Expands RLE8 or RLE4 data into one palette index per pixel, bottom row first. Runs past
// the end of a row or of the picture are refused.
bool expand_rle(const uint8_t* p, size_t n, uint32_t width, uint32_t height, bool four, std::vector<uint8_t>& out) {
    out.assign(size_t{width} * height, 0);
    size_t at = 0;
    uint32_t x = 0, y = 0;
    auto put = [&](uint8_t index) {
        if (x >= width || y >= height) return false;
        out[size_t{y} * width + x++] = index;
        return true;
    };
    while (at + 2 <= n) {
        uint32_t count = p[at], value = p[at + 1];
        at += 2;
        if (count) {
            for (uint32_t i = 0; i < count; i++)
                if (!put(static_cast<uint8_t>(four ? (i & 1 ? value & 15 : value >> 4) : value))) return false;
        } else if (value == 0) {
            x = 0;
            y++;
        } else if (value == 1) {
            return true;
        } else if (value == 2) {
            if (at + 2 > n) return false;
            x += p[at];
            y += p[at + 1];
            at += 2;
            if (x > width || y > height) return false;
        } else {
            size_t bytes = four ? (value + 1) / 2 : value;
            if (at + bytes > n) return false;
            for (uint32_t i = 0; i < value; i++) {
                uint8_t b = p[at + (four ? i / 2 : i)];
                if (!put(static_cast<uint8_t>(four ? (i & 1 ? b & 15 : b >> 4) : b))) return false;
            }
            at += (bytes + 1) & ~size_t{1};
        }
    }
    return y >= height;  // data that ends without its end mark must have covered every row
}

bool read_header(const uint8_t* p, size_t n, bmp_header& h) {
    if (n < 26 || p[0] != 'B' || p[1] != 'M') return false;
    uint32_t info = u32(p + 14);
    if (info < 12 || 14 + size_t{info} > n) return false;
    if (info == 12) {
        h.width = u16(p + 18);
        h.height = static_cast<int16_t>(u16(p + 20));
        h.bits = u16(p + 24);
        h.compression = BI_RGB;
        h.palette_entry = 3;
        h.palette_count = 0;
    } else {
        if (info < 40) return false;
        h.width = static_cast<int32_t>(u32(p + 18));
        h.height = static_cast<int32_t>(u32(p + 22));
        h.bits = u16(p + 28);
        h.compression = u32(p + 30);
        h.palette_count = u32(p + 46);
        h.palette_entry = 4;
    }
    h.palette_at = 14 + info;
    if (h.compression == BI_BITFIELDS || h.compression == BI_ALPHABITFIELDS) {
        // Masks inside a larger header, or following the basic one.
        size_t masks = h.compression == BI_ALPHABITFIELDS ? 4 : 3;
        size_t at = info >= 52 ? 54 : 14 + size_t{info};
        if (info < 52 && info != 40) return false;
        if (at + 4 * masks > n) return false;
        h.red = channel(u32(p + at));
        h.green = channel(u32(p + at + 4));
        h.blue = channel(u32(p + at + 8));
        if (masks == 4 || info >= 56) h.alpha = channel(u32(p + at + 12));
        if (info < 52) h.palette_at += static_cast<uint32_t>(4 * masks);
        if (h.bits != 16 && h.bits != 32) return false;
    } else if (h.bits == 16) {
        h.red = channel(0x7C00);
        h.green = channel(0x03E0);
        h.blue = channel(0x001F);
    } else if (h.bits == 32) {
        h.red = channel(0xFF0000);
        h.green = channel(0xFF00);
        h.blue = channel(0xFF);
    }
    if (h.compression == BI_RLE8 && h.bits != 8) return false;
    if (h.compression == BI_RLE4 && h.bits != 4) return false;
    if (h.compression > BI_BITFIELDS && h.compression != BI_ALPHABITFIELDS) return false;
    switch (h.bits) {
        case 1: case 4: case 8: case 16: case 24: case 32: break;
        default: return false;
    }
    if (h.bits <= 8) {
        uint32_t most = 1u << h.bits;
        if (h.palette_count == 0 || h.palette_count > most) h.palette_count = most;
        if (h.palette_at + size_t{h.palette_count} * h.palette_entry > n) return false;
    }
    return true;
}

}  // namespace

bool decode_bmp(const uint8_t* p, size_t n, size_t limit, bitmap& out) {
    bmp_header h;
    if (!read_header(p, n, h)) return false;
    bool top_down = h.height < 0;
    int64_t height = top_down ? -h.height : h.height;
    if (h.width <= 0 || h.width > SIDE_MAX || height <= 0 || height > SIDE_MAX) return false;
    uint32_t width = static_cast<uint32_t>(h.width), rows = static_cast<uint32_t>(height);
    bool rle = h.compression == BI_RLE8 || h.compression == BI_RLE4;
    if (rle && top_down) return false;
    size_t offset = u32(p + 10);
    if (offset >= n) return false;
    size_t stride = (size_t{width} * h.bits + 31) / 32 * 4;
    if (!rle && (n - offset) / stride < rows) return false;
    std::vector<uint8_t> indices;
    if (rle && !expand_rle(p + offset, n - offset, width, rows, h.compression == BI_RLE4, indices)) return false;
    uint32_t* pixels = alloc_checked(width, rows, limit);
    if (!pixels) return false;
    uint32_t palette[256] = {};
    for (uint32_t i = 0; i < h.palette_count && h.bits <= 8; i++) {
        const uint8_t* e = p + h.palette_at + size_t{i} * h.palette_entry;
        palette[i] = 0xFF000000 | uint32_t{e[2]} << 16 | uint32_t{e[1]} << 8 | e[0];
    }
    auto colour = [&](uint32_t index) { return index < h.palette_count ? palette[index] : 0xFF000000; };
    for (uint32_t y = 0; y < rows; y++) {
        // The file's row y is picture row y from the top, or from the bottom.
        uint32_t* to = pixels + size_t{top_down ? y : rows - 1 - y} * width;
        if (rle) {
            const uint8_t* row = indices.data() + size_t{y} * width;
            for (uint32_t x = 0; x < width; x++) to[x] = colour(row[x]);
            continue;
        }
        const uint8_t* row = p + offset + y * stride;
        for (uint32_t x = 0; x < width; x++) {
            switch (h.bits) {
                case 1: to[x] = colour(row[x / 8] >> (7 - x % 8) & 1); break;
                case 4: to[x] = colour(row[x / 2] >> (x & 1 ? 0 : 4) & 15); break;
                case 8: to[x] = colour(row[x]); break;
                case 24: {
                    const uint8_t* q = row + size_t{x} * 3;
                    to[x] = 0xFF000000 | uint32_t{q[2]} << 16 | uint32_t{q[1]} << 8 | q[0];
                    break;
                }
                default: {
                    uint32_t v = h.bits == 16 ? u16(row + size_t{x} * 2) : u32(row + size_t{x} * 4);
                    to[x] = h.alpha.read(v, 255) << 24 | h.red.read(v, 0) << 16 | h.green.read(v, 0) << 8 |
                            h.blue.read(v, 0);
                }
            }
        }
    }
    out = bitmap{pixels, width, rows};
    return true;
}

// 32 bits per pixel with bit fields in a 108-byte header, bottom row first.
bool encode_bmp(const uint32_t* pixels, uint32_t width, uint32_t height, std::vector<uint8_t>& out) {
    constexpr uint32_t HEADERS = 14 + 108;
    size_t data = size_t{width} * height * 4;
    if (data > 0xFFFFFFFFu - HEADERS) return false;
    out.clear();
    out.reserve(HEADERS + data);
    out.push_back('B');
    out.push_back('M');
    put32(out, static_cast<uint32_t>(HEADERS + data));
    put32(out, 0);
    put32(out, HEADERS);
    put32(out, 108);
    put32(out, width);
    put32(out, height);
    put16(out, 1);
    put16(out, 32);
    put32(out, BI_BITFIELDS);
    put32(out, static_cast<uint32_t>(data));
    put32(out, 2835);  // 72 dots per inch
    put32(out, 2835);
    put32(out, 0);
    put32(out, 0);
    for (uint32_t mask : {0x00FF0000u, 0x0000FF00u, 0x000000FFu, 0xFF000000u}) put32(out, mask);
    put32(out, 0x73524742);  // colour space: sRGB
    out.resize(HEADERS, 0);  // end points and gammas, unused for sRGB
    out.resize(HEADERS + data);
    uint8_t* to = out.data() + HEADERS;
    for (uint32_t y = 0; y < height; y++, to += size_t{width} * 4)
        std::memcpy(to, pixels + size_t{height - 1 - y} * width, size_t{width} * 4);
    return true;
}

}  // namespace kel::imaging
