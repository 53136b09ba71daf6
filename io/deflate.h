// Deflate, inflate, and the zlib and gzip framings around them, between caller buffers.
//
// Every entry takes the output buffer and an in/out size: on entry its capacity, on return
// the bytes written or, with CODEC_TOO_SMALL, the bytes needed. The encoder is built for
// speed: one final block with the fixed Huffman code, the first 3-byte match of four
// candidates per hash bucket.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kel {

enum codec_result : int32_t {
    CODEC_DONE = 0,
    CODEC_TOO_SMALL = 1,     // size: the bytes needed
    CODEC_BAD_DATA = 2,      // also a compressing framing given less room than its frame
    CODEC_STORED_CUT = 3,    // inflate: a stored block runs past the input
    CODEC_RESERVED_BLOCK = 4 // inflate: block type 3
};

int32_t deflate_fixed(uint8_t* dst, size_t* size, const uint8_t* src, size_t len);
int32_t inflate_raw(uint8_t* dst, size_t* size, const uint8_t* src, size_t len);
int32_t zlib_compress(uint8_t* dst, size_t* size, const uint8_t* src, size_t len);
int32_t zlib_uncompress(uint8_t* dst, size_t* size, const uint8_t* src, size_t len);
int32_t gzip_compress(uint8_t* dst, size_t* size, const uint8_t* src, size_t len);
int32_t gzip_uncompress(uint8_t* dst, size_t* size, const uint8_t* src, size_t len);

// Deflate never expands a stream by more than this factor.
constexpr size_t INFLATE_MAX_RATIO = 1032;

}  // namespace kel
