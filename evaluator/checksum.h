// Checksums and message digests: CRC-32, Adler-32 and the TCP checksum computed here
// (the zlib and gzip framings share them), MD5 and the SHA family from libcrypto, opened on
// first use, and HMAC over those digests.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kel {

// Reflected CRC-32 (polynomial 0xEDB88320); crc carries a running value across calls.
uint32_t crc32(const uint8_t* bytes, size_t length, uint32_t crc = 0);
uint32_t adler32(const uint8_t* bytes, size_t length, uint32_t adler = 1);
// Big-endian 16-bit words; an odd last byte counts as a low-order byte.
uint16_t tcp_checksum(const uint8_t* bytes, size_t length);

enum digest_method : uint32_t { DIGEST_MD5, DIGEST_SHA1, DIGEST_SHA256, DIGEST_SHA384, DIGEST_SHA512 };
constexpr uint32_t DIGEST_MAX_SIZE = 64;
uint32_t digest_size(digest_method method);
// False when the digest library cannot be had; out receives digest_size bytes.
bool digest(digest_method method, const uint8_t* bytes, size_t length, uint8_t* out);
bool hmac(digest_method method, const uint8_t* key, size_t key_length, const uint8_t* bytes,
          size_t length, uint8_t* out);

void init_checksum_words();

namespace natives {
int32_t checksum(bool check, const int32_t* refinements);
}  // namespace natives

}  // namespace kel
