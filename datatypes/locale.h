// Locale data and options read by the datatypes: the currency list behind every money!
// currency index, the month names of date text and the number of decimals money text shows. The system object is built
// from these values.
#pragma once
#include <cstddef>
#include <cstdint>

#include "runtime/cell.h"
#include "runtime/memory.h"

namespace kel {

namespace locale {

// The list holds at most this many codes, so an index fits the cell's currency byte.
constexpr uint32_t CURRENCIES_MAX = 256;
constexpr uint32_t CURRENCY_CODE_LENGTH = 3;

// system/locale/currencies/list, in order; a money! currency index is a 1-based position.
uint32_t currency_count();
// The upper-case code at a 1-based position, or null outside the list.
const char* currency_code(uint32_t index);
// The 1-based position of a code, compared without regard to letter case, or -1.
int32_t currency_index(const char* code, size_t length);

constexpr uint32_t MONTHS_COUNT = 12;

// From the system object on, the currencies are system/locale/currencies/list (appended
// codes included) and the money decimals system/options/money-digits.
void adopt(const cell* system);

// system/locale/months: the full name of a month 1..12, or null for any other number.
const char* month_name(uint32_t month);

}  // namespace locale

namespace options {

// system/options/money-digits: any value may be stored; money text reads an integer! only.
extern cell money_digits;

// Where the setting lives once the system object holds it: field index of context ctx.
void adopt_money_digits(node_id ctx, uint32_t index);
// The setting's cell: money_digits until the system object holds it.
const cell* money_digits_setting();

// Decimals money text shows: the setting when it is an integer!, else 2 (not clamped).
inline int32_t money_decimals() {
    const cell* digits = money_digits_setting();
    return TYPE_OF(digits) == TYPE_INTEGER ? static_cast<int32_t>(digits->w2) : 2;
}

}  // namespace options
}  // namespace kel
