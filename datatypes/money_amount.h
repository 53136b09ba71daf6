// money! amounts: exact decimals, never binary floats.
//
// Cell: the sign in header bit 14 (set = negative); payload byte 0 the currency index
// (0 none, else a 1-based position in the currency list); payload bytes 1-11 hold 22
// decimal digits packed two per byte, most significant first: 17 integer digits, then 5
// decimals. A zero amount counts as positive whatever its sign bit; the routines here never
// make a negative zero.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "runtime/cell.h"

namespace kel {

constexpr uint32_t MONEY_SIGN = 0x4000;
constexpr uint32_t MONEY_SIGN_SHIFT = 14;
constexpr int MONEY_DIGITS = 22;
constexpr int MONEY_INTEGER_DIGITS = 17;
constexpr int MONEY_SCALE = 5;
constexpr int MONEY_AMOUNT_BYTES = 11;

// The amount as a whole number of 10^-5 units, below 10^22.
__extension__ typedef unsigned __int128 money_magnitude;
constexpr money_magnitude MONEY_LIMIT = money_magnitude{10000000000ull} * 1000000000000ull;

// Raises script type-limit (money!): a result beyond 17 integer digits.
[[noreturn]] void money_overflow();

inline uint8_t* money_payload(cell* c) { return reinterpret_cast<uint8_t*>(&c->w1); }
inline const uint8_t* money_payload(const cell* c) {
    return reinterpret_cast<const uint8_t*>(&c->w1);
}
inline uint8_t* money_amount(cell* c) { return money_payload(c) + 1; }
inline const uint8_t* money_amount(const cell* c) { return money_payload(c) + 1; }

inline uint32_t money_get_sign(const cell* c) { return (c->header & MONEY_SIGN) >> MONEY_SIGN_SHIFT; }
inline void money_set_sign(cell* c, uint32_t sign) {
    c->header = (c->header & ~MONEY_SIGN) | ((sign & 1) << MONEY_SIGN_SHIFT);
}
inline void money_abs(cell* c) { c->header &= ~MONEY_SIGN; }

inline uint32_t money_currency(const cell* c) { return money_payload(c)[0]; }
inline void money_set_currency(cell* c, uint32_t index) {
    money_payload(c)[0] = static_cast<uint8_t>(index);
}
// Strict: the indexes are equal; lenient: also when either value has no currency.
inline bool money_same_currency_q(const cell* a, const cell* b, bool strict) {
    uint32_t x = money_currency(a), y = money_currency(b);
    return x == y || (!strict && (x == 0 || y == 0));
}

// Digit positions run 1..22; 17 is the units digit.
inline uint32_t money_digit(const uint8_t* amount, int position) {
    uint8_t byte = amount[(position - 1) >> 1];
    return position & 1 ? byte >> 4 : byte & 0x0F;
}
inline void money_set_digit(uint8_t* amount, int position, uint32_t digit) {
    uint8_t& byte = amount[(position - 1) >> 1];
    byte = position & 1 ? static_cast<uint8_t>((byte & 0x0F) | (digit << 4))
                        : static_cast<uint8_t>((byte & 0xF0) | digit);
}

inline bool money_zero_q(const cell* c) {
    static constexpr uint8_t zeros[MONEY_AMOUNT_BYTES] = {};
    return std::memcmp(money_amount(c), zeros, MONEY_AMOUNT_BYTES) == 0;
}
inline int32_t money_sign(const cell* c) {
    return money_zero_q(c) ? 0 : (money_get_sign(c) ? -1 : 1);
}
inline bool money_negative_q(const cell* c) { return money_sign(c) < 0; }
inline bool money_positive_q(const cell* c) { return money_sign(c) > 0; }

// Inverts the sign; a zero stays positive.
inline void money_flip_sign(cell* c) {
    if (!money_zero_q(c)) c->header ^= MONEY_SIGN;
}

// Significant digits: 22 less the leading zeros, at least 1.
int money_digit_count(const cell* c);

money_magnitude money_get_magnitude(const cell* c);
// Writes the digits (m below 10^22) and clears the sign of a zero.
void money_set_magnitude(cell* c, money_magnitude m);

// The signed amounts ordered: -1, 0 or 1 (currencies not looked at).
int32_t money_compare(const cell* a, const cell* b);

// Constructors write the whole cell: header money! with the sign, currency, digits.
cell* money_from_parts(cell* out, uint32_t sign, uint32_t currency, const uint8_t* amount);
// Digit texts (ASCII digits only): the integer digits end at the units digit, the fraction
// digits start at the first decimal and those after the fifth are dropped. False, with out
// untouched, when more than 17 significant integer digits are given.
bool make_money(cell* out, bool negative, uint32_t currency, std::string_view integer_digits,
                std::string_view fraction_digits);
cell* integer_to_money(cell* out, int32_t n);
// From the float's shortest round-trip digits. Raises script bad-make-arg for an infinity or
// NaN, 0 < |x| < 1e-5, |x| >= 1e17, and with strict for more than five decimals; without
// strict the later decimals are dropped.
cell* float_to_money(cell* out, double x, bool strict);
// The amount with its five decimals read back as the nearest double.
double money_to_float(const cell* c);

// Amount arithmetic: the result replaces a's sign and digits; a's currency stays.
// Results beyond 17 integer digits raise script type-limit (money!); divide and remainder
// by zero raise math zero-divide. Nothing is rounded: digits past the fifth decimal are cut.
void money_add(cell* a, const cell* b);
void money_subtract(cell* a, const cell* b);
void money_multiply(cell* a, const cell* b);
// The quotient, or with remainder the remainder, which takes the dividend's sign.
void money_divide(cell* a, const cell* b, bool remainder);

// Money text on ASCII bytes: [+|-][CCC$ | $]amount, the amount digits with at most one "."
// and "'" group separators; a currency code must be in the currency list (any letter case).
// False when the text is not money text.
bool scan_money(const uint8_t* text, size_t length, cell* out);

namespace integer {

// The whole part, the fraction dropped; one beyond 2147483647 in magnitude raises script
// type-limit (integer!).
int32_t from_money(const cell* value);

}  // namespace integer
}  // namespace kel
