// The imaging component: decoders and encoders of the image containers, converting at the
// boundary to and from our one pixel format (32-bit words 0xAARRGGBB, bytes B, G, R, A,
// A = opacity, rows top down, stride width x 4).
//
// PNG, JPEG, GIF and TIFF go through their Debian libraries, opened on first use; BMP is
// our own. Every failure is a false answer: nothing here prints, throws or jumps.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace kel::imaging {

enum image_format : int32_t { IMAGE_BMP = 0, IMAGE_PNG = 1, IMAGE_GIF = 2, IMAGE_JPEG = 3, IMAGE_TIFF = 4 };

// Sides above this do not fit the image size.
constexpr uint32_t SIDE_MAX = 65535;

// Pixels from malloc: the receiver frees them.
struct bitmap {
    uint32_t* pixels = nullptr;
    uint32_t width = 0;
    uint32_t height = 0;
};

// Decodes frame 0. Refused: a side of 0 or above SIDE_MAX, pixels of more than `limit`
// bytes, any error of the data or the library (nothing is kept then).
bool decode(image_format format, const uint8_t* bytes, size_t n, size_t limit, bitmap& out);
// Receives an encoder's finished bytes, once; it may throw, and the encoder then frees what
// it holds.
using byte_sink = std::function<void(const uint8_t* bytes, size_t n)>;

// The container's bytes go to `deliver`. Sides must be 1..SIDE_MAX.
bool encode(image_format format, const uint32_t* pixels, uint32_t width, uint32_t height,
            const byte_sink& deliver);

// Our own BMP codec (1 to 32 bits per pixel, RLE, bit fields, both row orders; written as
// 32 bits with an alpha mask).
bool decode_bmp(const uint8_t* bytes, size_t n, size_t limit, bitmap& out);
bool encode_bmp(const uint32_t* pixels, uint32_t width, uint32_t height, std::vector<uint8_t>& out);

// Memory for pixels, released with free(). Large buffers ask for huge pages: fresh memory is
// otherwise faulted in 4 KB at a time, which costs more than decoding into it.
uint32_t* alloc_pixel_memory(size_t bytes, bool zeroed);

// A zeroed pixel buffer for a decoder after the checks on its sides and size; null when refused.
uint32_t* alloc_checked(uint32_t width, uint32_t height, size_t limit);

}  // namespace kel::imaging
