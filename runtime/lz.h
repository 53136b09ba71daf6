// LZ codec: the runtime's own compressed record (LZ77 with a variable-length bit code),
// used for compressed KELBIN payloads and written by the build tools.
//
// Record: int32 LE compressed size (bytes of blocks after this 8-byte header), int32 LE
// expanded size, then one block per 1 MB of data: int32 LE length L (1..1 MB) and a bit
// stream of tokens, least significant bit first, padded with zero bits to a byte.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

namespace kel {

constexpr size_t LZ_HEADER_SIZE = 8;
constexpr uint32_t LZ_BLOCK_SIZE = 1u << 20;
constexpr uint32_t LZ_MIN_LENGTH = 3;
constexpr uint32_t LZ_MAX_LENGTH = 566;
constexpr uint32_t LZ_MAX_DISTANCE = 1u << 18;
// Smaller inputs are not worth a record.
constexpr size_t LZ_MIN_INPUT = 128;

// Releases a buffer answered by lz_decompress.
void bitstream_free(uint8_t* buffer);

struct bitstream_deleter {
    void operator()(uint8_t* buffer) const { bitstream_free(buffer); }
};
using lz_buffer = std::unique_ptr<uint8_t[], bitstream_deleter>;

// Writes the record of source[0..n) into destination (room for at least n bytes) and
// answers its size, or -1 when n < LZ_MIN_INPUT or the record would not be smaller than n.
int64_t lz_compress(const uint8_t* source, size_t n, uint8_t* destination);

// Expands the record held in record[0..record_size): the data (expanded_size bytes, then
// 8 zero bytes) on the process heap, or null when the record is malformed or truncated.
// Every read stays inside record_size, whatever the headers claim.
lz_buffer lz_decompress(const uint8_t* record, size_t record_size, size_t& expanded_size);

}  // namespace kel
