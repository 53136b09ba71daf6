#include "datatypes/money.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "datatypes/block.h"
#include "datatypes/integer.h"
#include "datatypes/locale.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/error_catalog.h"
#include "runtime/memory.h"
#include "runtime/random.h"
#include "runtime/stack.h"

namespace kel::money {

namespace {

// An arithmetic operand as money: integers exactly, floats with later decimals dropped.
cell operand(const cell* value) {
    cell m;
    switch (TYPE_OF(value)) {
        case TYPE_MONEY:
            return *value;
        case TYPE_INTEGER:
            integer_to_money(&m, static_cast<int32_t>(value->w2));
            return m;
        case TYPE_FLOAT:
        case TYPE_PERCENT:
            float_to_money(&m, cell_float(value), false);
            return m;
        default:
            raise_invalid_type(TYPE_OF(value));
    }
}

// Text of value: "-", the currency code, "$", the integer digits (with "'" between groups
// of three when separated) and up to five stored decimals, never rounded.
int32_t write_text(const cell* value, cell* buffer, int32_t decimals, bool separated,
                   int32_t part) {
    char text[48];
    int n = 0;
    if (money_negative_q(value)) text[n++] = '-';
    if (const char* code = locale::currency_code(money_currency(value))) {
        std::memcpy(text + n, code, locale::CURRENCY_CODE_LENGTH);
        n += locale::CURRENCY_CODE_LENGTH;
    }
    text[n++] = '$';
    const uint8_t* amount = money_amount(value);
    int first = 1;
    while (first < MONEY_INTEGER_DIGITS && money_digit(amount, first) == 0) first++;
    for (int p = first; p <= MONEY_INTEGER_DIGITS; p++) {
        if (separated && p != first && (MONEY_INTEGER_DIGITS + 1 - p) % 3 == 0) text[n++] = '\'';
        text[n++] = static_cast<char>('0' + money_digit(amount, p));
    }
    if (decimals > MONEY_SCALE) decimals = MONEY_SCALE;
    if (decimals >= 1) {
        text[n++] = '.';
        for (int p = MONEY_INTEGER_DIGITS + 1; p <= MONEY_INTEGER_DIGITS + decimals; p++)
            text[n++] = static_cast<char>('0' + money_digit(amount, p));
    }
    string::concat_bytes(buffer, text, n);
    return part - n;
}

// Money against a float, exactly. A float that no amount can hold is never equal to one.
int32_t compare_float(const cell* m, double x) {
    if (std::isnan(x)) return INCOMPARABLE;
    double magnitude = std::fabs(x);
    int32_t beyond = x > 0 ? -1 : 1;  // m against a float past every amount on its side
    if (magnitude >= 1e17) return beyond;
    if (magnitude != 0 && magnitude < 1e-5) return money_zero_q(m) ? beyond : money_sign(m);
    cell t;
    float_to_money(&t, x, false);
    int32_t order = money_compare(m, &t);
    // t is x cut to five decimals; it reads back as x exactly when nothing was cut.
    if (order != 0 || money_to_float(&t) == x) return order;
    return beyond;
}

[[noreturn]] void raise_bad_make_arg(const cell* spec) {
    cell datatype{TYPE_DATATYPE, TYPE_MONEY, 0, 0};
    fire(script_error::bad_make_arg, &datatype, spec);
}

// The currency index a word names; a word outside the currency list is refused.
uint32_t currency_of_word(const cell* word, const cell* spec) {
    size_t length;
    const uint8_t* name = symbol::name_bytes(word->w2, &length);
    int32_t index = locale::currency_index(reinterpret_cast<const char*>(name), length);
    if (index < 0) raise_bad_make_arg(spec);
    return static_cast<uint32_t>(index);
}

// [currency] amount [fraction]: the fraction, only after an integer amount, is five
// decimal digits taken with the amount's sign.
void from_block(cell* out, const cell* spec) {
    int32_t length = std::max(block::ks_length_q(spec), 0);
    const cell* c = block::ks_abs_at(spec, series::head_of(spec));
    const cell* end = c + length;
    uint32_t currency = 0;
    if (c < end && TYPE_OF(c) == TYPE_WORD) currency = currency_of_word(c++, spec);
    if (length > 3 || c == end) raise_bad_make_arg(spec);
    if (TYPE_OF(c) == TYPE_FLOAT && c + 1 == end) {
        float_to_money(out, cell_float(c), true);
    } else if (TYPE_OF(c) == TYPE_INTEGER) {
        int32_t n = integer::get(c++);
        integer_to_money(out, n);
        if (c < end) {
            if (TYPE_OF(c) != TYPE_INTEGER || integer::get(c) < 0 || integer::get(c) > 99999 ||
                c + 1 != end)
                raise_bad_make_arg(spec);
            money_set_magnitude(out, money_get_magnitude(out) + integer::get(c));
            money_set_sign(out, n < 0);
        }
    } else {
        raise_bad_make_arg(spec);
    }
    money_set_currency(out, currency);
}

// A selector: 1 or code, 2 or amount; 0 for any other.
int32_t selector_index(const cell* element) {
    if (TYPE_OF(element) == TYPE_INTEGER) {
        int32_t n = integer::get(element);
        return n == 1 || n == 2 ? n : 0;
    }
    if (TYPE_OF(element) != TYPE_WORD) return 0;
    uint32_t s = symbol::resolve(element->w2);
    return s == sym(SYM_CODE) ? 1 : s == sym(SYM_AMOUNT) ? 2 : 0;
}

const cell* part_of(const cell* value, int32_t index) {
    if (index == 2) {
        cell* amount = stack::push(value);
        money_set_currency(amount, 0);
        return amount;
    }
    const char* code = locale::currency_code(money_currency(value));
    if (!code) return &none_value;
    cell word = word::load(code);
    return stack::push(&word);
}

}  // namespace

void init() {
    register_datatype(TYPE_MONEY, 0, "money!", {
        entry<ACT_MAKE>(make), entry<ACT_RANDOM>(random), 0, entry<ACT_TO>(to),
        entry<ACT_FORM>(form), entry<ACT_MOLD>(mold), entry<ACT_EVAL_PATH>(eval_path), 0,
        entry<ACT_COMPARE>(compare),
        entry<ACT_ABSOLUTE>(absolute),
        entry<ACT_ADD>(add), entry<ACT_DIVIDE>(divide), entry<ACT_MULTIPLY>(multiply),
        entry<ACT_NEGATE>(negate), 0, entry<ACT_REMAINDER>(remainder), entry<ACT_ROUND>(round),
        entry<ACT_SUBTRACT>(subtract), entry<ACT_EVEN_Q>(even_q), entry<ACT_ODD_Q>(odd_q),
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, entry<ACT_PICK>(pick), 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0,
    });
}

void do_math(int32_t op) {
    cell* left = stack::arguments;
    cell* right = left + 1;
    bool left_money = TYPE_OF(left) == TYPE_MONEY, right_money = TYPE_OF(right) == TYPE_MONEY;
    if (op < OP_ADD || op > OP_REMAINDER || (op == OP_MULTIPLY && left_money && right_money) ||
        (op >= OP_DIVIDE && !left_money && right_money))
        raise_invalid_type(TYPE_OF(left));
    cell a = operand(left), b = operand(right);
    if (!money_same_currency_q(&a, &b, false)) fire(script_error::wrong_denom, left, right);
    uint32_t currency = money_currency(&b) ? money_currency(&b) : money_currency(&a);
    switch (op) {
        case OP_ADD: money_add(&a, &b); break;
        case OP_SUBTRACT: money_subtract(&a, &b); break;
        case OP_MULTIPLY: money_multiply(&a, &b); break;
        default: money_divide(&a, &b, op == OP_REMAINDER); break;
    }
    if (op == OP_DIVIDE && left_money && right_money) {
        *left = cell{TYPE_FLOAT, 0, 0, 0};
        set_cell_float(left, money_to_float(&a));
        return;
    }
    money_set_currency(&a, currency);
    *left = a;
}

const cell* to(cell*, cell* spec, uint32_t) {
    cell result;
    switch (TYPE_OF(spec)) {
        case TYPE_MONEY:
            return spec;
        case TYPE_INTEGER:
            integer_to_money(&result, static_cast<int32_t>(spec->w2));
            break;
        case TYPE_FLOAT:
            float_to_money(&result, cell_float(spec), true);
            break;
        case TYPE_STRING:
        case TYPE_FILE:
        case TYPE_URL:
        case TYPE_TAG:
        case TYPE_EMAIL:
        case TYPE_REF: {
            std::string text = string::ascii_bytes(spec);
            if (scan_money(reinterpret_cast<const uint8_t*>(text.data()), text.size(), &result))
                break;
            [[fallthrough]];
        }
        default: raise_bad_to_arg(TYPE_MONEY, spec);
    }
    *stack::arguments = result;
    return stack::arguments;
}

const cell* make(cell* proto, cell* spec, uint32_t type) {
    cell result{};
    switch (TYPE_OF(spec)) {
        case TYPE_WORD:
            integer_to_money(&result, 0);
            money_set_currency(&result, currency_of_word(spec, spec));
            break;
        case TYPE_BLOCK:
            from_block(&result, spec);
            break;
        default:
            return to(proto, spec, type);
    }
    *stack::arguments = result;
    return stack::arguments;
}

const cell* eval_path(cell* parent, cell* element, cell* value, cell* path, cell*, cell*, int32_t,
                      bool, bool, bool, bool) {
    int32_t index = selector_index(element);
    if (value) fire(script_error::bad_path_set, path, element);
    if (index == 0) fire(script_error::invalid_path, path, element);
    return part_of(parent, index);
}

const cell* pick(cell* value, int32_t index, cell* index_cell) {
    int32_t i = index_cell ? selector_index(index_cell) : index == 1 || index == 2 ? index : 0;
    if (i == 0) {
        cell n{TYPE_INTEGER, 0, static_cast<uint32_t>(index), 0};
        fire(script_error::out_of_range, index_cell ? index_cell : &n);
    }
    return part_of(value, i);
}

const cell* random(cell* value, bool seed, bool, bool) {
    if (seed) {
        random_seed(value->w1 ^ value->w2 ^ value->w3 ^ (value->header & MONEY_SIGN));
        return &unset_value;
    }
    // Each digit is drawn up to the original one until a smaller digit comes; from then on
    // digits are free. Drawing the original digit itself needs a further agreeing pair, so
    // the value is rarely reached.
    uint8_t* amount = money_amount(value);
    bool free = false;
    for (int p = MONEY_DIGITS + 1 - money_digit_count(value); p <= MONEY_DIGITS; p++) {
        uint32_t digit = money_digit(amount, p);
        uint32_t draw;
        if (free) {
            draw = random_next() % 10;
        } else if (digit == 0) {
            continue;
        } else {
            for (;;) {
                draw = random_next() % (digit + 1);
                if (draw < digit) break;
                if (random_next() % 1000 == random_next() % 1000) break;
            }
            free = draw < digit;
        }
        money_set_digit(amount, p, draw);
    }
    if (money_zero_q(value)) money_abs(value);
    return value;
}

int32_t form(cell* value, cell* buffer, cell*, int32_t part) {
    return write_text(value, buffer, options::money_decimals(), true, part);
}

int32_t mold(cell* value, cell* buffer, bool, bool all, bool, cell*, int32_t part, int32_t) {
    return write_text(value, buffer, all ? MONEY_SCALE : options::money_decimals(), false, part);
}

int32_t compare(cell* value1, cell* value2, int32_t op) {
    bool strict = op == COMP_STRICT_EQUAL || op == COMP_SAME || op == COMP_FIND;
    switch (TYPE_OF(value2)) {
        case TYPE_MONEY:
            if (op >= COMP_LESSER && op <= COMP_CASE_SORT) {
                if (!money_same_currency_q(value1, value2, false))
                    fire(script_error::wrong_denom, value1, value2);
            } else if (!money_same_currency_q(value1, value2, strict)) {
                return 1;
            }
            return money_compare(value1, value2);
        case TYPE_INTEGER: {
            if (strict) return 1;
            cell other;
            return money_compare(value1, integer_to_money(&other, static_cast<int32_t>(value2->w2)));
        }
        case TYPE_FLOAT:
            return strict ? 1 : compare_float(value1, cell_float(value2));
        default:
            return strict ? 1 : INCOMPARABLE;
    }
}

void absolute() { money_abs(stack::arguments); }

void add() { do_math(OP_ADD); }
void subtract() { do_math(OP_SUBTRACT); }
void multiply() { do_math(OP_MULTIPLY); }
void divide() { do_math(OP_DIVIDE); }
void remainder() { do_math(OP_REMAINDER); }

const cell* negate(cell* value) {
    money_flip_sign(value);
    return value;
}

const cell* round(cell* value, cell* scale, bool even, bool down, bool half_down, bool floor,
                  bool ceiling, bool half_ceiling) {
    if (money_zero_q(value)) return value;
    cell unit;
    if (!refinement_q(scale)) {
        integer_to_money(&unit, 1);
    } else {
        switch (TYPE_OF(scale)) {
            case TYPE_MONEY: unit = *scale; break;
            case TYPE_INTEGER: integer_to_money(&unit, static_cast<int32_t>(scale->w2)); break;
            case TYPE_FLOAT: float_to_money(&unit, cell_float(scale), true); break;
            default: {
                // arg1, the calling function's name, joins once call frames exist.
                cell datatype{TYPE_DATATYPE, TYPE_OF(scale), 0, 0};
                fire(script_error::not_related, nullptr, &datatype);
            }
        }
    }
    money_magnitude step = money_get_magnitude(&unit);
    if (step == 0) return value;
    money_magnitude magnitude = money_get_magnitude(value);
    money_magnitude multiples = magnitude / step, rest = magnitude % step;
    bool negative = money_get_sign(value);
    bool away;  // from zero
    if (down) away = false;
    else if (floor) away = negative && rest;
    else if (ceiling) away = !negative && rest;
    else if (2 * rest != step) away = 2 * rest > step;
    else if (even) away = multiples & 1;  // ties go to the even multiple
    else if (half_down) away = false;
    else if (half_ceiling) away = !negative;
    else away = true;
    multiples += away;
    money_magnitude result = multiples * step;
    if (result >= MONEY_LIMIT) money_overflow();
    money_set_magnitude(value, result);
    return value;
}

bool even_q(cell* value) { return !odd_q(value); }

bool odd_q(cell* value) { return money_digit(money_amount(value), MONEY_INTEGER_DIGITS) & 1; }

}  // namespace kel::money
