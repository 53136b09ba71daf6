// Unicode conversion: UTF-8 and UTF-16 decoding, encoding, sizing, import and export.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kel {

// Writes the UTF-8 form of a code point (1 to 4 bytes) and returns its length.
size_t utf8_encode_char(uint32_t cp, uint8_t* out);

}  // namespace kel
