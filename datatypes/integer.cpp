#include "datatypes/integer.h"

#include <algorithm>
#include <cstdint>

#include "datatypes/binary.h"
#include "datatypes/date.h"
#include "datatypes/float.h"
#include "datatypes/money.h"
#include "datatypes/number_scan.h"
#include "datatypes/pair.h"
#include "datatypes/point.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/tuple.h"
#include "datatypes/vector.h"
#include "runtime/error_catalog.h"
#include "runtime/exits.h"
#include "runtime/memory.h"
#include "runtime/random.h"
#include "runtime/unicode.h"

namespace kel {

namespace {

[[noreturn]] void raise_overflow() { fire(math_error::overflow); }

inline void check_divisor(int32_t a, int32_t b) {
    if (b == 0) fire(math_error::zero_divide);
    if (b == -1 && a == INT32_MIN) raise_overflow();
}

inline void set_float(cell* c, double d) {
    c->header = TYPE_FLOAT;
    set_cell_float(c, d);
}

int32_t from_double(double d) {
    if (!(d <= 2147483647.0 && d >= -2147483648.0)) {
        cell t = datatype_of(TYPE_INTEGER);
        fire(script_error::type_limit, &t);
    }
    return static_cast<int32_t>(d);
}

int32_t from_text(const cell* text) {
    series_buffer* b = node_buffer(series_node(text));
    uint32_t unit = b->unit();
    int32_t error;
    int32_t n = scan_integer(b->offset + size_t{series_head(text)} * unit,
                             string::ks_length(text), unit, error);
    if (error) raise_bad_to_arg(TYPE_INTEGER, text);
    return n;
}

// The first bytes (at most 4) from the head, most significant first.
int32_t from_binary(const cell* value) {
    uint32_t n = std::min<uint32_t>(binary::ks_length_q(value), 4);
    const uint8_t* p = binary::ks_head(value);
    uint32_t result = 0;
    for (uint32_t i = 0; i < n; i++) result = result << 8 | p[i];
    return static_cast<int32_t>(result);
}

// The name as 1 to 8 hexadecimal digits: a 32-bit pattern, so #FFFFFFFF is -1.
int32_t from_issue(const cell* issue) {
    size_t length;
    const uint8_t* name = symbol::name_bytes(issue->w2, &length);
    if (length < 1 || length > 8) fire(script_error::invalid_data, issue);
    uint32_t result = 0;
    for (size_t i = 0; i < length; i++) {
        int8_t d = hex_digit_value(name[i]);
        if (d < 0) fire(script_error::invalid_data, issue);
        result = result << 4 | static_cast<uint32_t>(d);
    }
    return static_cast<int32_t>(result);
}

}  // namespace

const char* form_signed(int32_t n) {
    static char buffer[12];
    if (n == INT32_MIN) return "-2147483648";
    char* p = buffer + sizeof buffer - 1;
    *p = '\0';
    uint32_t m = n < 0 ? 0u - static_cast<uint32_t>(n) : static_cast<uint32_t>(n);
    do {
        *--p = static_cast<char>('0' + m % 10);
        m /= 10;
    } while (m);
    if (n < 0) *--p = '-';
    return p;
}

namespace integer {

void init() {
    register_datatype(TYPE_INTEGER, 0, "integer!", {
        entry<ACT_MAKE>(make), entry<ACT_RANDOM>(random), 0, entry<ACT_TO>(to),
        entry<ACT_FORM>(form), entry<ACT_MOLD>(mold), 0, 0, entry<ACT_COMPARE>(compare),
        entry<ACT_ABSOLUTE>(absolute),
        entry<ACT_ADD>(add), entry<ACT_DIVIDE>(divide), entry<ACT_MULTIPLY>(multiply),
        entry<ACT_NEGATE>(negate), entry<ACT_POWER>(power), entry<ACT_REMAINDER>(remainder),
        entry<ACT_ROUND>(round), entry<ACT_SUBTRACT>(subtract), entry<ACT_EVEN_Q>(even_q),
        entry<ACT_ODD_Q>(odd_q),
        entry<ACT_AND>(and_), entry<ACT_COMPLEMENT>(complement), entry<ACT_OR>(or_),
        entry<ACT_XOR>(xor_), 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0,
    });
}

cell* make_in(const cell* block, int32_t value) {
    cell* c = kel::alloc_tail(block);
    *c = cell{TYPE_INTEGER, 0, static_cast<uint32_t>(value), 0};
    return c;
}

int32_t abs(int32_t n) {
    if (n == INT32_MIN) raise_overflow();
    return n < 0 ? -n : n;
}

bool float_out_of_range_q(const cell* value) {
    double d = cell_float(value);
    return !(d <= 2147483647.0 && d >= -2147483648.0);
}

int32_t do_math_op(int32_t left, int32_t right, int32_t op, cell* result) {
    int32_t r;
    switch (op) {
        case OP_ADD:
        case OP_SUBTRACT:
        case OP_MULTIPLY: {
            bool overflow = op == OP_ADD        ? __builtin_add_overflow(left, right, &r)
                            : op == OP_SUBTRACT ? __builtin_sub_overflow(left, right, &r)
                                                : __builtin_mul_overflow(left, right, &r);
            if (overflow) {
                // Without a cell to widen into, a wrapped result would be silently wrong.
                if (!result) raise_overflow();
                double x = left, y = right;
                set_float(result, op == OP_ADD ? x + y : op == OP_SUBTRACT ? x - y : x * y);
                return r;
            }
            break;
        }
        case OP_DIVIDE:
            check_divisor(left, right);
            r = left / right;
            if (result && left % right != 0) {
                set_float(result, static_cast<double>(left) / right);
                return r;
            }
            break;
        case OP_REMAINDER:
            check_divisor(left, right);
            r = left % right;
            break;
        case OP_OR:
            r = left | right;
            break;
        case OP_AND:
            r = left & right;
            break;
        case OP_XOR:
            r = left ^ right;
            break;
        default:
            runtime_error_exit(101, reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
    }
    if (result) result->w2 = static_cast<uint32_t>(r);
    return r;
}

cell* do_math_spatial(int32_t op, bool refuse_subtract) {
    cell* left = stack::arguments;
    cell* right = left + 1;
    uint32_t type = TYPE_OF(right);
    if (type == TYPE_TUPLE) {
        tuple::do_math(op);
        return left;
    }
    if (op == OP_DIVIDE || (refuse_subtract && op == OP_SUBTRACT)) {
        cell t = datatype_of(TYPE_OF(left));
        fire(script_error::not_related, nullptr, &t);
    }
    // The spatial type owns the rule: it computes with the operands swapped.
    std::swap(*left, *right);
    if (op == OP_SUBTRACT) {
        if (type == TYPE_PAIR) pair::negate(left);
        else if (type == TYPE_POINT2D) point2D::negate(left);
        else point3D::negate(left);
        op = OP_ADD;
    }
    if (type == TYPE_PAIR) pair::do_math(op);
    else if (type == TYPE_POINT2D) point2D_do_math(op);
    else point3D_do_math(op);
    return left;
}

cell* do_math(int32_t op) {
    cell* left = stack::arguments;
    cell* right = left + 1;
    switch (TYPE_OF(right)) {
        case TYPE_PAIR:
        case TYPE_POINT2D:
        case TYPE_POINT3D:
        case TYPE_TUPLE:
            return do_math_spatial(op, false);
        case TYPE_INTEGER:
        case TYPE_CHAR:
            do_math_op(get(left), get(right), op, left);
            return left;
        case TYPE_FLOAT:
        case TYPE_PERCENT:
        case TYPE_TIME:
            return float_::do_math(op);
        case TYPE_MONEY:
            // Money refuses an integer divided by it itself.
            money::do_math(op);
            return left;
        case TYPE_DATE: {
            // Days added to a date: the date's arithmetic does it with the operands swapped.
            if (op != OP_ADD) {
                cell t = datatype_of(TYPE_INTEGER);
                fire(script_error::not_related, nullptr, &t);
            }
            cell days = *left;
            *left = *right;
            *right = cell{TYPE_INTEGER, 0, days.w2, 0};
            date::add();
            return left;
        }
        case TYPE_VECTOR:
            vector::do_math_scalar_first(op);
            return left;
        default:
            raise_invalid_type(TYPE_OF(right));
    }
}

uint32_t power_int(int32_t base, int32_t exponent, int32_t& result) {
    int32_t r = 1;
    while (exponent != 0) {
        if ((exponent & 1) && __builtin_mul_overflow(r, base, &r)) return THROW_POWER_OVERFLOW;
        exponent >>= 1;
        if (exponent != 0 && __builtin_mul_overflow(base, base, &base))
            return THROW_POWER_OVERFLOW;
    }
    result = r;
    return 0;
}

const cell* make(cell* proto, cell* spec, uint32_t type) {
    if (TYPE_OF(spec) == TYPE_LOGIC) {
        *proto = cell{TYPE_INTEGER, 0, spec->w1 == 1 ? 1u : 0u, 0};
        return proto;
    }
    return to(proto, spec, type);
}

const cell* to(cell* proto, cell* spec, uint32_t) {
    int32_t n;
    switch (TYPE_OF(spec)) {
        case TYPE_INTEGER:
        case TYPE_CHAR:
            n = get(spec);
            break;
        case TYPE_FLOAT:
        case TYPE_PERCENT:
            n = from_double(cell_float(spec));
            break;
        case TYPE_TIME:
            n = from_double(cell_float(spec) + 0.5);
            break;
        case TYPE_MONEY:
            n = from_money(spec);
            break;
        case TYPE_DATE:
            n = from_date(spec);
            break;
        case TYPE_STRING:
        case TYPE_FILE:
        case TYPE_URL:
        case TYPE_TAG:
        case TYPE_EMAIL:
        case TYPE_REF:
            n = from_text(spec);
            break;
        case TYPE_BINARY:
            n = from_binary(spec);
            break;
        case TYPE_ISSUE:
            n = from_issue(spec);
            break;
        default:
            raise_bad_to_arg(TYPE_INTEGER, spec);
    }
    *proto = cell{TYPE_INTEGER, 0, static_cast<uint32_t>(n), 0};
    return proto;
}

const cell* random(cell* value, bool seed, bool secure, bool) {
    if (seed) {
        random_seed(value->w2);
        return &unset_value;
    }
    value->w2 = static_cast<uint32_t>(random_int(secure, get(value)));
    return value;
}

int32_t form(cell* value, cell* buffer, cell*, int32_t part) {
    return string::form_text(buffer, form_signed(get(value)), part);
}

int32_t mold(cell* value, cell* buffer, bool, bool, bool, cell*, int32_t part, int32_t) {
    return string::form_text(buffer, form_signed(get(value)), part);
}

int32_t compare(cell* value1, cell* value2, int32_t op) {
    uint32_t type = TYPE_OF(value2);
    // Sameness is strict too: 1 is not the same as 1.0, from either side.
    if ((op == COMP_STRICT_EQUAL || op == COMP_FIND || op == COMP_SAME) && type != TYPE_INTEGER)
        return 1;
    switch (type) {
        case TYPE_INTEGER:
        case TYPE_CHAR:
            return compare_sign(int64_t{get(value1)} - get(value2));
        case TYPE_FLOAT:
        case TYPE_PERCENT:
        case TYPE_TIME: {
            cell f{TYPE_FLOAT, 0, 0, 0};
            set_cell_float(&f, get(value1));
            return float_::compare(&f, value2, op);
        }
        case TYPE_MONEY: {
            cell m;
            return money::compare(integer_to_money(&m, get(value1)), value2, op);
        }
        default:
            return INCOMPARABLE;
    }
}

const cell* negate(cell* value) {
    int32_t n = get(value);
    if (n == INT32_MIN) raise_overflow();
    value->w2 = static_cast<uint32_t>(-n);
    return value;
}

const cell* round(cell* value, cell* scale, bool even, bool down, bool half_down, bool floor,
                  bool ceiling, bool half_ceiling) {
    bool to = refinement_q(scale);
    if (to && TYPE_OF(scale) == TYPE_MONEY) {
        cell t = datatype_of(TYPE_MONEY);
        fire(script_error::not_related, nullptr, &t);
    }
    int32_t n = get(value);
    if (n == INT32_MIN) return value;
    int64_t sc = 1;
    if (to) {
        if (TYPE_OF(scale) != TYPE_INTEGER) {
            set_float(value, n);
            return float_::round(value, scale, even, down, half_down, floor, ceiling,
                                 half_ceiling);
        }
        sc = abs(get(scale));
    }
    if (sc == 0) return value;
    int64_t a = n < 0 ? -int64_t{n} : n;
    int64_t r = a % sc;
    if (r == 0) return value;
    int64_t d = sc - r;  // to the next multiple away from zero
    int64_t u = a + d;
    auto toward_zero = [&] { return n > 0 ? a - r : r - a; };
    auto up = [&] {
        if (u > INT32_MAX) raise_overflow();
        return u;
    };
    auto away = [&] { return n > 0 ? up() : -up(); };
    int64_t result;
    if (down) result = toward_zero();
    else if (floor) result = n > 0 ? toward_zero() : -up();
    else if (ceiling) result = n < 0 ? r - a : up();
    else if (r < d) result = toward_zero();
    else if (r > d) result = away();
    else if (even) result = (a / sc) % 2 == 0 ? toward_zero() : away();
    else if (half_down) result = toward_zero();
    else if (half_ceiling) result = n < 0 ? r - a : up();
    else result = away();
    value->w2 = static_cast<uint32_t>(static_cast<int32_t>(result));
    return value;
}

const cell* complement(cell* value) {
    value->w2 = ~value->w2;
    return value;
}

bool even_q(cell* value) { return (value->w2 & 1) == 0; }
bool odd_q(cell* value) { return (value->w2 & 1) != 0; }

void absolute() { stack::arguments->w2 = static_cast<uint32_t>(abs(get_arg())); }

void add() { do_math(OP_ADD); }
void subtract() { do_math(OP_SUBTRACT); }
void multiply() { do_math(OP_MULTIPLY); }
void divide() { do_math(OP_DIVIDE); }
void remainder() { do_math(OP_REMAINDER); }
void or_() { do_math(OP_OR); }
void and_() { do_math(OP_AND); }
void xor_() { do_math(OP_XOR); }

void power() {
    cell* base = stack::arguments;
    cell* exponent = base + 1;
    switch (TYPE_OF(exponent)) {
        case TYPE_INTEGER: {
            int32_t result;
            if (get(exponent) >= 0 && power_int(get(base), get(exponent), result) == 0) {
                base->w2 = static_cast<uint32_t>(result);
                return;
            }
            break;
        }
        case TYPE_FLOAT:
            break;
        default: {
            // The caller's word (arg1) and the parameter's word (arg3) join once call
            // frames and words exist.
            cell t = datatype_of(TYPE_OF(exponent));
            fire(script_error::expect_arg, nullptr, &t);
        }
    }
    set_float(base, get(base));
    float_::power();
}

}  // namespace integer
}  // namespace kel
