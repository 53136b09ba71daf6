// Number scanners: the characters of a text value (of any unit) to a number. They never
// raise: failure comes back as an error code and the caller raises its own error.
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel {

// Error codes of the scanners; 0 is success.
constexpr int32_t SCAN_INVALID = -1;
constexpr int32_t SCAN_OVERFLOW = -2;

// Optional sign, digits, apostrophes anywhere as separators. On an invalid character the
// value read so far comes back with SCAN_INVALID; a text without digits is invalid too.
// Overflow gives 0 with SCAN_OVERFLOW.
int32_t scan_integer(const uint8_t* first, uint32_t count, uint32_t unit, int32_t& error);

// The float syntax of literals ("," taken as "."), apostrophes as separators; NaN with
// SCAN_INVALID on failure or when the text is longer than FLOAT_TEXT_MAX.
double scan_float(const uint8_t* first, uint32_t count, uint32_t unit, int32_t& error);

// Digits and dots into a tuple! in destination: at most 12 elements of 0..255, padded with
// zeros to 3. SCAN_INVALID on failure, the destination then untouched.
void scan_tuple(const uint8_t* first, uint32_t count, uint32_t unit, int32_t& error,
                cell* destination);

// [first, end) has the float literal syntax: sign, digits with single apostrophes between
// them, an optional fraction and exponent; a comma must already be a point.
bool float_syntax_q(const char* first, const char* end);

}  // namespace kel
