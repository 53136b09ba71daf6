// Float to decimal text and back: shortest round-trip or fixed-count digits, the system's text
// layout of floats, and a correctly rounded reader. All results go to the caller's buffer.
#pragma once
#include <cstddef>

namespace kel {

// Decimal-point positions that mark a special result of float_to_digits.
constexpr int POINT_INF_NAN = 9999;
constexpr int POINT_ZERO = 9998;

// Most significant digits a fixed-count conversion gives; larger counts are cut to this.
constexpr int FLOAT_DIGITS_MAX = 30;

// The longest text form_float writes: sign, "0.", six zeros, 30 digits and the NUL.
constexpr int FLOAT_TEXT_SIZE = 40;
using float_text = char[FLOAT_TEXT_SIZE];

// Longest float text the scanners and the lexer accept (longer texts are refused by them).
constexpr int FLOAT_TEXT_MAX = 312;

struct float_digits {
    const char* text;  // NUL-terminated, inside the caller's buffer
    int point;         // value = 0.d1d2...dn x 10^point, or POINT_INF_NAN / POINT_ZERO
    int count;         // characters in text
    bool negative;
};

// Digits of |value| without trailing zeros: the shortest that read back to value when n <= 0,
// else at most n significant digits, correctly rounded (ties to even). Infinities, NaN and
// zeros come back as their whole text ("1.#INF", "-0.0", ...) with a marker as point.
float_digits float_to_digits(double value, int n, bool keep_zero, float_text& buffer);

// The float's text: plain decimal, or exponent form when the point is >= 18 or < -6.
// keep_zero keeps a ".0" where no fraction digit remains. Returns the length.
int form_float(double value, int n, bool keep_zero, float_text& out);

// Reads [first, end) as a decimal float, correctly rounded, with shift added to the decimal
// exponent (-2 reads 50 as 0.5). Overflow gives an infinity, underflow a zero, each signed.
// unread receives the count of characters after the last one used.
double parse_float_text(const char* first, const char* end, int shift, std::ptrdiff_t& unread);

}  // namespace kel
