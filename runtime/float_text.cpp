#include "runtime/float_text.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace kel {

namespace {

float_digits special(float_text& buffer, const char* text, int marker, bool negative) {
    int count = static_cast<int>(std::strlen(text));
    std::memcpy(buffer, text, count + 1);
    return {buffer, marker, count, negative};
}

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Every tie between two doubles is decided within 767 significant digits; later digits only
// matter as "some non-zero digit follows", kept as one extra digit.
constexpr int KEPT_DIGITS = 800;
// Decimal exponents beyond these overflow or underflow whatever the digits are.
constexpr int64_t POINT_OVERFLOW = 309;
constexpr int64_t POINT_UNDERFLOW = -324;
constexpr int64_t EXPONENT_CAP = int64_t{1} << 40;

}  // namespace

float_digits float_to_digits(double value, int n, bool keep_zero, float_text& buffer) {
    bool negative = std::signbit(value);
    if (std::isnan(value)) return special(buffer, "1.#NaN", POINT_INF_NAN, false);
    if (std::isinf(value)) return special(buffer, negative ? "-1.#INF" : "1.#INF", POINT_INF_NAN, negative);
    if (value == 0) {
        const char* text = negative ? (keep_zero ? "-0.0" : "-0") : (keep_zero ? "0.0" : "0");
        return special(buffer, text, POINT_ZERO, negative);
    }

    // Scientific text "d.ddde-xx" after the sign position, then squeezed to bare digits in place.
    char* digits = buffer + 1;
    char* last = buffer + FLOAT_TEXT_SIZE;
    double magnitude = std::fabs(value);
    std::to_chars_result r =
        n <= 0 ? std::to_chars(digits, last, magnitude, std::chars_format::scientific)
               : std::to_chars(digits, last, magnitude, std::chars_format::scientific,
                               (n < FLOAT_DIGITS_MAX ? n : FLOAT_DIGITS_MAX) - 1);
    const char* p = digits;
    int count = 0;
    for (; *p != 'e'; ++p)
        if (*p != '.') digits[count++] = *p;
    while (digits[count - 1] == '0') --count;  // the first digit is never 0
    digits[count] = '\0';

    bool exp_negative = p[1] == '-';
    int exponent = 0;
    std::from_chars(p + 2, r.ptr, exponent);
    return {digits, (exp_negative ? -exponent : exponent) + 1, count, negative};
}

int form_float(double value, int n, bool keep_zero, float_text& out) {
    float_text buffer;
    float_digits d = float_to_digits(value, n, keep_zero, buffer);
    if (d.point >= POINT_ZERO) {
        std::memcpy(out, d.text, d.count + 1);
        return d.count;
    }

    const char* s = d.text;
    int count = d.count;
    int k = d.point;
    char* o = out;
    if (d.negative) *o++ = '-';
    if (k >= 18 || k < -6) {
        *o++ = s[0];
        if (count > 1) {
            *o++ = '.';
            std::memcpy(o, s + 1, count - 1);
            o += count - 1;
        } else if (keep_zero) {
            *o++ = '.';
            *o++ = '0';
        }
        *o++ = 'e';
        o = std::to_chars(o, out + FLOAT_TEXT_SIZE, k - 1).ptr;
    } else if (k <= 0) {
        *o++ = '0';
        *o++ = '.';
        std::memset(o, '0', -k);
        o += -k;
        std::memcpy(o, s, count);
        o += count;
    } else if (count <= k) {
        std::memcpy(o, s, count);
        std::memset(o + count, '0', k - count);
        o += k;
        if (keep_zero) {
            *o++ = '.';
            *o++ = '0';
        }
    } else {
        std::memcpy(o, s, k);
        o += k;
        *o++ = '.';
        std::memcpy(o, s + k, count - k);
        o += count - k;
    }
    *o = '\0';
    return static_cast<int>(o - out);
}

double parse_float_text(const char* first, const char* end, int shift, std::ptrdiff_t& unread) {
    const char* p = first;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';

    if (end - p >= 4 && is_digit(p[0]) && p[1] == '.' && p[2] == '#') {
        char letter = static_cast<char>(p[3] | 0x20);
        if (letter == 'i' || letter == 'n') {
            unread = end - (p + 4);
            if (letter == 'n') return std::numeric_limits<double>::quiet_NaN();
            double inf = std::numeric_limits<double>::infinity();
            return negative ? -inf : inf;
        }
    }

    // Significant digits (leading zeros dropped) and the point: value = 0.digits x 10^point.
    char digits[KEPT_DIGITS + 16];
    int count = 0;
    bool dropped_non_zero = false;
    int64_t point = 0;
    auto keep = [&](char c) {
        if (count < KEPT_DIGITS) digits[count++] = c;
        else if (c != '0') dropped_non_zero = true;
    };
    while (p < end && *p == '0') ++p;
    for (; p < end && is_digit(*p); ++p) {
        keep(*p);
        ++point;
    }
    if (p < end && *p == '.') {
        ++p;
        if (count == 0)
            for (; p < end && *p == '0'; ++p) --point;
        for (; p < end && is_digit(*p); ++p) keep(*p);
    }
    if (end - p >= 2 && (*p == 'e' || *p == 'E')) {
        ++p;
        bool exp_negative = false;
        if (*p == '+' || *p == '-') exp_negative = *p++ == '-';
        int64_t exponent = 0;
        for (; p < end && is_digit(*p); ++p)
            if (exponent < EXPONENT_CAP) exponent = exponent * 10 + (*p - '0');
        point += exp_negative ? -exponent : exponent;
    }
    unread = end - p;

    point += shift;
    double value;
    if (count == 0 || point < POINT_UNDERFLOW) {
        value = 0.0;
    } else if (point > POINT_OVERFLOW) {
        value = std::numeric_limits<double>::infinity();
    } else {
        if (dropped_non_zero) digits[count++] = '1';
        digits[count] = 'e';
        char* tail = std::to_chars(digits + count + 1, digits + sizeof digits, point - count).ptr;
        if (std::from_chars(digits, tail, value).ec == std::errc::result_out_of_range)
            value = point > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    }
    return negative ? -value : value;
}

}  // namespace kel
