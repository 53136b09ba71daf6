#include "datatypes/money_amount.h"

#include <cmath>

#include "datatypes/locale.h"
#include "runtime/error_catalog.h"
#include "runtime/float_text.h"

namespace kel {

namespace {

constexpr uint64_t TEN_12 = 1000000000000ull;
constexpr uint64_t SCALE_FACTOR = 100000;  // 10^MONEY_SCALE
// The signed amount; |value| < 10^22 leaves room for products up to 10^28.
__extension__ typedef __int128 money_value;

money_value signed_amount(const cell* c) {
    money_value m = static_cast<money_value>(money_get_magnitude(c));
    return money_get_sign(c) ? -m : m;
}

void set_signed_amount(cell* c, money_value v) {
    if (v <= -static_cast<money_value>(MONEY_LIMIT) || v >= static_cast<money_value>(MONEY_LIMIT))
        money_overflow();
    money_set_sign(c, v < 0);
    money_set_magnitude(c, static_cast<money_magnitude>(v < 0 ? -v : v));
}

inline bool is_digit(uint8_t c) { return c >= '0' && c <= '9'; }
inline bool is_letter(uint8_t c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }

}  // namespace

void money_overflow() {
    cell money_type{TYPE_DATATYPE, TYPE_MONEY, 0, 0};
    fire(script_error::type_limit, &money_type);
}

int money_digit_count(const cell* c) {
    const uint8_t* amount = money_amount(c);
    for (int p = 1; p < MONEY_DIGITS; p++)
        if (money_digit(amount, p)) return MONEY_DIGITS + 1 - p;
    return 1;
}

money_magnitude money_get_magnitude(const cell* c) {
    const uint8_t* a = money_amount(c);
    uint64_t high = 0, low = 0;  // digits 1-10 and 11-22
    for (int i = 0; i < 5; i++) high = high * 100 + (a[i] >> 4) * 10 + (a[i] & 0x0F);
    for (int i = 5; i < MONEY_AMOUNT_BYTES; i++) low = low * 100 + (a[i] >> 4) * 10 + (a[i] & 0x0F);
    return money_magnitude{high} * TEN_12 + low;
}

void money_set_magnitude(cell* c, money_magnitude m) {
    uint8_t* a = money_amount(c);
    uint64_t low = static_cast<uint64_t>(m % TEN_12), high = static_cast<uint64_t>(m / TEN_12);
    for (int i = MONEY_AMOUNT_BYTES - 1; i >= 5; i--, low /= 100)
        a[i] = static_cast<uint8_t>(((low / 10) % 10) << 4 | (low % 10));
    for (int i = 4; i >= 0; i--, high /= 100)
        a[i] = static_cast<uint8_t>(((high / 10) % 10) << 4 | (high % 10));
    if (m == 0) money_abs(c);
}

int32_t money_compare(const cell* a, const cell* b) {
    money_value x = signed_amount(a), y = signed_amount(b);
    return (x > y) - (x < y);
}

cell* money_from_parts(cell* out, uint32_t sign, uint32_t currency, const uint8_t* amount) {
    *out = cell{TYPE_MONEY, 0, 0, 0};
    money_set_currency(out, currency);
    std::memcpy(money_amount(out), amount, MONEY_AMOUNT_BYTES);
    if (!money_zero_q(out)) money_set_sign(out, sign);
    return out;
}

bool make_money(cell* out, bool negative, uint32_t currency, std::string_view integer_digits,
                std::string_view fraction_digits) {
    size_t first = integer_digits.find_first_not_of('0');
    if (first == std::string_view::npos) first = integer_digits.size();
    size_t count = integer_digits.size() - first;
    if (count > MONEY_INTEGER_DIGITS) return false;
    uint8_t amount[MONEY_AMOUNT_BYTES] = {};
    int position = MONEY_INTEGER_DIGITS - static_cast<int>(count) + 1;
    for (size_t i = first; i < integer_digits.size(); i++)
        money_set_digit(amount, position++, integer_digits[i] - '0');
    for (size_t i = 0; i < fraction_digits.size() && i < MONEY_SCALE; i++)
        money_set_digit(amount, position++, fraction_digits[i] - '0');
    money_from_parts(out, negative, currency, amount);
    return true;
}

cell* integer_to_money(cell* out, int32_t n) {
    *out = cell{TYPE_MONEY, 0, 0, 0};
    int64_t wide = n;
    money_set_magnitude(out, money_magnitude(wide < 0 ? -wide : wide) * SCALE_FACTOR);
    money_set_sign(out, n < 0);
    return out;
}

cell* float_to_money(cell* out, double x, bool strict) {
    double magnitude = std::fabs(x);
    auto refuse = [x] {
        cell money_type{TYPE_DATATYPE, TYPE_MONEY, 0, 0};
        cell value{TYPE_FLOAT, 0, 0, 0};
        set_cell_float(&value, x);
        fire(script_error::bad_make_arg, &money_type, &value);
    };
    if (!std::isfinite(x) || magnitude >= 1e17 || (magnitude != 0 && magnitude < 1e-5)) refuse();
    *out = cell{TYPE_MONEY, 0, 0, 0};
    if (magnitude == 0) return out;

    // Shortest round-trip digits: the binary expansion of 0.1 must not reach the amount.
    float_text buffer;
    float_digits d = float_to_digits(x, 0, false, buffer);
    if (strict && d.count - d.point > MONEY_SCALE) refuse();
    // 0.d1d2... x 10^point: digit i has position 18 - point + i (1 <= 18 - point).
    uint8_t* amount = money_amount(out);
    for (int i = 0; i < d.count; i++) {
        int position = MONEY_INTEGER_DIGITS + 1 - d.point + i;
        if (position > MONEY_DIGITS) break;
        money_set_digit(amount, position, d.text[i] - '0');
    }
    if (!money_zero_q(out)) money_set_sign(out, d.negative);
    return out;
}

double money_to_float(const cell* c) {
    char text[MONEY_DIGITS + 1];
    const uint8_t* amount = money_amount(c);
    int n = 0;
    if (money_negative_q(c)) text[n++] = '-';
    for (int p = 1; p <= MONEY_DIGITS; p++) text[n++] = static_cast<char>('0' + money_digit(amount, p));
    std::ptrdiff_t unread;
    return parse_float_text(text, text + n, -MONEY_SCALE, unread);
}

void money_add(cell* a, const cell* b) { set_signed_amount(a, signed_amount(a) + signed_amount(b)); }

void money_subtract(cell* a, const cell* b) {
    set_signed_amount(a, signed_amount(a) - signed_amount(b));
}

void money_multiply(cell* a, const cell* b) {
    if (money_zero_q(a) || money_zero_q(b)) {
        money_set_magnitude(a, 0);
        return;
    }
    // Beyond 28 significant digits the product cannot fit; below, it fits 128 bits.
    if (money_digit_count(a) + money_digit_count(b) > 28) money_overflow();
    money_value product = static_cast<money_value>(money_get_magnitude(a) * money_get_magnitude(b) /
                                                   SCALE_FACTOR);
    set_signed_amount(a, money_get_sign(a) != money_get_sign(b) ? -product : product);
}

void money_divide(cell* a, const cell* b, bool remainder) {
    if (money_zero_q(b)) fire(math_error::zero_divide);
    if (money_zero_q(a)) return;
    money_magnitude x = money_get_magnitude(a), y = money_get_magnitude(b);
    if (remainder) {
        money_value r = static_cast<money_value>(x % y);
        set_signed_amount(a, money_get_sign(a) ? -r : r);
        return;
    }
    money_value q = static_cast<money_value>(x * SCALE_FACTOR / y);
    set_signed_amount(a, money_get_sign(a) != money_get_sign(b) ? -q : q);
}

bool scan_money(const uint8_t* text, size_t length, cell* out) {
    size_t i = 0;
    bool negative = false;
    if (i < length && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    uint32_t currency = 0;
    if (i < length && is_letter(text[i])) {
        if (length - i < 5 || !is_letter(text[i + 1]) || !is_letter(text[i + 2]) || text[i + 3] != '$')
            return false;
        int32_t index = locale::currency_index(reinterpret_cast<const char*>(text + i), 3);
        if (index < 0) return false;
        currency = static_cast<uint32_t>(index);
        i += 4;
    } else if (i < length && text[i] == '$') {
        if (++i == length) return false;
    }
    if (i == length) return false;

    // Leading integer zeros are skipped; a sixth decimal or an eighteenth significant integer
    // digit refuses the text.
    char integer_digits[MONEY_INTEGER_DIGITS], fraction_digits[MONEY_SCALE];
    size_t integers = 0, fractions = 0;
    bool point = false;
    uint8_t previous = 0;
    for (; i < length; i++) {
        uint8_t c = text[i];
        if (is_digit(c)) {
            if (point) {
                if (fractions == MONEY_SCALE) return false;
                fraction_digits[fractions++] = static_cast<char>(c);
            } else if (integers > 0 || c != '0') {
                if (integers == MONEY_INTEGER_DIGITS) return false;
                integer_digits[integers++] = static_cast<char>(c);
            }
        } else if (c == '\'' || c == '.') {
            if (previous == 0 || previous == '\'' || previous == '.' || point) return false;
            point = c == '.';
        } else {
            return false;
        }
        previous = c;
    }
    if (previous == '\'' || previous == '.') return false;
    return make_money(out, negative, currency, {integer_digits, integers},
                      {fraction_digits, fractions});
}

namespace integer {

int32_t from_money(const cell* value) {
    money_magnitude whole = money_get_magnitude(value) / SCALE_FACTOR;
    if (whole > 2147483647) {
        cell integer_type{TYPE_DATATYPE, TYPE_INTEGER, 0, 0};
        fire(script_error::type_limit, &integer_type);
    }
    int32_t n = static_cast<int32_t>(whole);
    return money_negative_q(value) ? -n : n;
}

}  // namespace integer
}  // namespace kel
