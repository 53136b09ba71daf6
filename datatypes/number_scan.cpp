#include "datatypes/number_scan.h"

#include <cstring>
#include <limits>

#include "runtime/float_text.h"

namespace kel {

namespace {

inline uint32_t get_char(const uint8_t* p, uint32_t unit) {
    switch (unit) {
        case 1:
            return *p;
        case 2: {
            uint16_t c;
            std::memcpy(&c, p, 2);
            return c;
        }
        default: {
            uint32_t c;
            std::memcpy(&c, p, 4);
            return c;
        }
    }
}

inline bool digit_q(uint32_t c) { return c - '0' <= 9; }

constexpr uint32_t TUPLE_MAX = 12;
constexpr uint32_t TUPLE_COUNT_SHIFT = 19;

}  // namespace

int32_t scan_integer(const uint8_t* first, uint32_t count, uint32_t unit, int32_t& error) {
    error = 0;
    const uint8_t* p = first;
    const uint8_t* end = first + size_t{count} * unit;
    bool negative = false;
    if (p < end) {
        uint32_t c = get_char(p, unit);
        if (c == '+' || c == '-') {
            negative = c == '-';
            p += unit;
        }
    }
    // Only a negative text reaches -2147483648, and only with nothing but separators after.
    uint32_t limit = negative ? 2147483648u : 2147483647u;
    uint32_t value = 0;
    bool digits = false;
    for (; p < end; p += unit) {
        uint32_t c = get_char(p, unit);
        if (c == '\'') continue;
        if (!digit_q(c)) {
            error = SCAN_INVALID;
            break;
        }
        uint32_t d = c - '0';
        if (value > (limit - d) / 10) {
            error = SCAN_OVERFLOW;
            return 0;
        }
        value = value * 10 + d;
        digits = true;
    }
    if (!digits) error = SCAN_INVALID;
    return static_cast<int32_t>(negative ? 0u - value : value);
}

bool float_syntax_q(const char* first, const char* end) {
    enum : uint8_t { OTHER, SIGN, DIGIT, EXP, POINT, QUOTE, END };
    constexpr uint8_t ACCEPT = 9, REJECT = 10;
    static constexpr uint8_t next[9][7] = {
        //  other   sign    digit   exp     point   quote   end
        {REJECT, 0, 1, REJECT, 4, REJECT, REJECT},
        {REJECT, REJECT, 1, 6, 5, 2, ACCEPT},
        {REJECT, REJECT, 1, REJECT, REJECT, REJECT, ACCEPT},
        {REJECT, REJECT, 3, 6, REJECT, 4, ACCEPT},
        {REJECT, REJECT, 3, REJECT, REJECT, REJECT, ACCEPT},
        {REJECT, REJECT, 3, REJECT, REJECT, REJECT, ACCEPT},
        {REJECT, 7, 8, REJECT, REJECT, REJECT, REJECT},
        {REJECT, REJECT, 8, REJECT, REJECT, REJECT, REJECT},
        {REJECT, REJECT, 8, REJECT, REJECT, REJECT, ACCEPT},
    };
    if (end - first > FLOAT_TEXT_MAX) return false;
    uint8_t state = 0;
    for (const char* p = first; p < end; ++p) {
        char c = *p;
        uint8_t cls = c == '+' || c == '-'   ? SIGN
                      : c >= '0' && c <= '9' ? DIGIT
                      : c == 'e' || c == 'E' ? EXP
                      : c == '.'             ? POINT
                      : c == '\''            ? QUOTE
                                             : OTHER;
        state = next[state][cls];
        if (state == REJECT) return false;
    }
    return next[state][END] == ACCEPT;
}

double scan_float(const uint8_t* first, uint32_t count, uint32_t unit, int32_t& error) {
    constexpr double failed = std::numeric_limits<double>::quiet_NaN();
    error = SCAN_INVALID;
    if (count == 0 || count > static_cast<uint32_t>(FLOAT_TEXT_MAX)) return failed;
    // Sized for the longest text accepted, so no copy can overrun it.
    char text[FLOAT_TEXT_MAX];
    for (uint32_t i = 0; i < count; i++) {
        uint32_t c = get_char(first + size_t{i} * unit, unit);
        if (c > 0x7F) return failed;
        text[i] = c == ',' ? '.' : static_cast<char>(c);
    }
    if (!float_syntax_q(text, text + count)) return failed;
    uint32_t n = 0;
    for (uint32_t i = 0; i < count; i++)
        if (text[i] != '\'') text[n++] = text[i];
    std::ptrdiff_t unread = 0;
    double value = parse_float_text(text, text + n, 0, unread);
    // The syntax allows repeated signs, which the reader stops at: not a number.
    if (unread != 0) return failed;
    error = 0;
    return value;
}

void scan_tuple(const uint8_t* first, uint32_t count, uint32_t unit, int32_t& error,
                cell* destination) {
    error = SCAN_INVALID;
    uint8_t bytes[TUPLE_MAX] = {};
    uint32_t n = 0;
    uint32_t element = 0;
    for (uint32_t i = 0; i <= count; i++) {
        uint32_t c = i < count ? get_char(first + size_t{i} * unit, unit) : '.';
        if (c == '.') {
            if (n == TUPLE_MAX) return;
            bytes[n++] = static_cast<uint8_t>(element);
            element = 0;
        } else if (digit_q(c)) {
            element = element * 10 + (c - '0');
            if (element > 255) return;
        } else {
            return;
        }
    }
    if (n < 3) n = 3;
    destination->header = TYPE_TUPLE | n << TUPLE_COUNT_SHIFT;
    std::memcpy(&destination->w1, bytes, sizeof bytes);
    error = 0;
}

}  // namespace kel
