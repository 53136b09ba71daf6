#include "datatypes/float.h"

#include <algorithm>
#include <cfloat>
#include <cstdio>
#include <cstring>

#include "datatypes/integer.h"
#include "datatypes/money.h"
#include "datatypes/number_scan.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/transcode.h"
#include "datatypes/vector.h"
#include "runtime/error_catalog.h"
#include "runtime/float_text.h"
#include "runtime/memory.h"
#include "runtime/random.h"

namespace kel {

namespace {

inline uint64_t bits_of(double d) {
    uint64_t u;
    std::memcpy(&u, &d, sizeof u);
    return u;
}

// Bit patterns on one scale that orders like the values: adjacent doubles differ by 1.
inline uint64_t ordered(double d) {
    uint64_t u = bits_of(d);
    return u >> 63 ? 0 - u : u | (uint64_t{1} << 63);
}

inline uint32_t ordered32(float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u >> 31 ? 0 - u : u | (uint32_t{1} << 31);
}

constexpr uint64_t ULP_TOLERANCE = 10;

inline double number_of(const cell* c) {
    uint32_t t = TYPE_OF(c);
    return t == TYPE_INTEGER || t == TYPE_CHAR ? static_cast<int32_t>(c->w2) : cell_float(c);
}

// Digits of the text without the minus sign, before the exponent.
bool noisy_tail(const char* text) {
    const char* e = std::strchr(text, 'e');
    size_t length = e ? static_cast<size_t>(e - text) : std::strlen(text);
    const char* first = text[0] == '-' ? text + 1 : text;
    size_t limit = !e && first[0] == '0' ? 17 : 16;
    if (length <= limit) return false;
    const char* end = text + length;
    return (end[-2] == '0' && end[-1] == '1') || (end[-2] == '9' && end[-1] == '9');
}

// "e+017" becomes "e17" and "e-007" "e-7".
void strip_exponent(char* text) {
    char* e = std::strchr(text, 'e');
    if (!e) return;
    char* from = e + 1;
    char* to = e + 1;
    if (*from == '+') from++;
    else if (*from == '-') *to++ = *from++;
    while (*from == '0' && from[1] != '\0') from++;
    std::memmove(to, from, std::strlen(from) + 1);
}

void print_kind(float_text& text, double d, int kind, bool shorter) {
    if (kind == FORM_TIME && !shorter) {
        kel::form_float(d, 6, false, text);
        return;
    }
    bool single = kind == FORM_FLOAT32 || kind == FORM_PERCENT32 || kind == FORM_TIME ||
                  kind == FORM_POINT;
    const char* format = single ? (shorter ? "%.5g" : "%.7g")
                                : (shorter ? "%.14g" : kind == FORM_PERCENT ? "%.13g" : "%.16g");
    std::snprintf(text, sizeof text, format, d);
}

double round_magnitude(double v, bool even, bool down, bool half_down, bool to_floor,
                       bool to_ceiling, bool half_ceiling) {
    if (down) return std::trunc(v);
    if (to_floor) return std::floor(v);
    if (to_ceiling) return std::ceil(v);
    double a = std::fabs(v);
    double f = std::floor(a);
    if (a == f) return v;
    double h = f + 0.5;
    double m;
    if (a < h) m = f;
    else if (a > h) m = f + 1;
    else if (even) m = std::fmod(a, 2.0) >= 1 ? f + 1 : f;
    else if (half_down) m = f;
    else if (half_ceiling) m = v > 0 ? f + 1 : f;
    else m = f + 1;
    return std::copysign(m, v);
}

double from_text(const cell* text) {
    series_buffer* b = node_buffer(series_node(text));
    uint32_t unit = b->unit();
    int32_t error;
    double d = scan_float(b->offset + size_t{series_head(text)} * unit, string::ks_length(text),
                          unit, error);
    if (error) raise_bad_to_arg(TYPE_FLOAT, text);
    return d;
}

// [m e]: m x 10 ** e, each an integer! or a float!.
double from_block(const cell* block, uint32_t type) {
    series_buffer* b = node_buffer(series_node(block));
    size_t cells = b->used_bytes() / sizeof(cell);
    size_t head = series_head(block);
    const cell* c = b->cells() + head;
    auto number_q = [](const cell* v) {
        return TYPE_OF(v) == TYPE_INTEGER || TYPE_OF(v) == TYPE_FLOAT;
    };
    if (head > cells || cells - head != 2 || !number_q(c) || !number_q(c + 1))
        raise_bad_to_arg(type, block);
    return number_of(c) * std::pow(10.0, std::trunc(number_of(c + 1)));
}

// Up to 8 bytes from the head, big-endian, as the low-order bits of the double's pattern.
double from_binary(const cell* binary) {
    series_buffer* b = node_buffer(series_node(binary));
    size_t n = b->used_bytes();
    size_t head = std::min<size_t>(series_head(binary), n);
    uint64_t bits = 0;
    for (size_t i = head; i < n && i < head + 8; i++) bits = bits << 8 | b->offset[i];
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

}  // namespace

bool float_almost_equal(double x, double y) {
    if (std::isnan(x) || std::isnan(y)) return false;
    if (x == y || std::fabs(x - y) < DBL_EPSILON) return true;
    // An infinity is no number of steps away from the largest finite value.
    if (std::isinf(x) || std::isinf(y)) return false;
    uint64_t a = ordered(x), b = ordered(y);
    return (a > b ? a - b : b - a) <= ULP_TOLERANCE;
}

bool float32_almost_equal(float x, float y) {
    if (x != x || y != y) return false;
    if (x == y) return true;
    if (std::isinf(x) || std::isinf(y)) return false;
    uint32_t a = ordered32(x), b = ordered32(y);
    return (a > b ? a - b : b - a) <= ULP_TOLERANCE;
}

double random_float(double limit, bool secure) {
    if (secure) {
        double r1 = random_secure_int();
        double r2 = random_secure_int();
        return (r2 + r1 / 2147483647.0) / 2147483648.0 * limit;
    }
    // The fraction first: a large limit times the draw would overflow.
    return random_next() / 2147483647.0 * limit;
}

namespace float_ {

bool pretty_print_q = false;
bool full_support_q = false;

void init() {
    register_datatype(TYPE_FLOAT, 0, "float!", {
        entry<ACT_MAKE>(make), entry<ACT_RANDOM>(random), 0, entry<ACT_TO>(make),
        entry<ACT_FORM>(form), entry<ACT_MOLD>(mold), 0, 0, entry<ACT_COMPARE>(compare),
        entry<ACT_ABSOLUTE>(absolute),
        entry<ACT_ADD>(add), entry<ACT_DIVIDE>(divide), entry<ACT_MULTIPLY>(multiply),
        entry<ACT_NEGATE>(negate), entry<ACT_POWER>(power), entry<ACT_REMAINDER>(remainder),
        entry<ACT_ROUND>(round), entry<ACT_SUBTRACT>(subtract), entry<ACT_EVEN_Q>(even_q),
        entry<ACT_ODD_Q>(odd_q),
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0,
    });
}

cell* make_in(const cell* block, double d, uint32_t type) {
    cell* c = kel::alloc_tail(block);
    c->header = type;
    c->w1 = 0;
    set_cell_float(c, d);
    return c;
}

const char* form_float(double d, int kind) {
    static float_text text;
    bool percent = kind == FORM_PERCENT32 || kind == FORM_PERCENT;
    if (std::isnan(d)) return percent ? "1.#NaN%" : "1.#NaN";
    if (std::isinf(d)) return d > 0 ? (percent ? "1.#INF%" : "1.#INF") : (percent ? "-1.#INF%" : "-1.#INF");
    if (pretty_print_q && std::fabs(d) < DBL_EPSILON)
        return percent ? "0%" : kind == FORM_POINT ? "0" : "0.0";
    print_kind(text, d, kind, false);
    if (pretty_print_q && noisy_tail(text)) print_kind(text, d, kind, true);
    strip_exponent(text);
    if (percent) {
        std::strcat(text, "%");
    } else if ((kind == FORM_FLOAT32 || kind == FORM_FLOAT) && !std::strchr(text, '.')) {
        char* e = std::strchr(text, 'e');
        char* at = e ? e : text + std::strlen(text);
        std::memmove(at + 2, at, std::strlen(at) + 1);
        at[0] = '.';
        at[1] = '0';
    }
    return text;
}

double do_math_op(double x, double y, int32_t op) {
    switch (op) {
        case OP_ADD: return x + y;
        case OP_SUBTRACT: return x - y;
        case OP_MULTIPLY: return x * y;
        case OP_DIVIDE: return x / y;
        // fmod gives x for an infinite y and NaN for a NaN one, as wanted.
        case OP_REMAINDER: return std::fmod(x, y);
        default: {
            cell t = datatype_of(TYPE_FLOAT);
            fire(script_error::cannot_use, nullptr, &t);
        }
    }
}

cell* do_math(int32_t op) {
    cell* left = stack::arguments;
    cell* right = left + 1;
    uint32_t lt = TYPE_OF(left), rt = TYPE_OF(right);
    switch (rt) {
        case TYPE_MONEY:
            money::do_math(op);
            return left;
        case TYPE_PAIR:
        case TYPE_POINT2D:
        case TYPE_POINT3D:
        case TYPE_TUPLE:
            if (lt == TYPE_TIME) raise_invalid_type(rt);
            return integer::do_math_spatial(op, true);
        case TYPE_VECTOR:
            if (lt == TYPE_TIME) raise_invalid_type(rt);
            vector::do_math_scalar_first(op);
            return left;
        case TYPE_INTEGER:
        case TYPE_FLOAT:
        case TYPE_PERCENT:
        case TYPE_TIME:
            break;
        case TYPE_CHAR:
            if (lt != TYPE_PERCENT && lt != TYPE_TIME) break;
            [[fallthrough]];
        default:
            raise_invalid_type(rt);
    }
    uint32_t type = lt == TYPE_TIME || rt == TYPE_TIME ? TYPE_TIME
                    : lt == TYPE_PERCENT               ? TYPE_PERCENT
                                                       : TYPE_FLOAT;
    double r = do_math_op(number_of(left), number_of(right), op);
    left->header = type;
    set_cell_float(left, r);
    return left;
}

const cell* make(cell* proto, cell* spec, uint32_t type) {
    double d;
    switch (TYPE_OF(spec)) {
        case TYPE_INTEGER:
        case TYPE_CHAR:
        case TYPE_FLOAT:
        case TYPE_PERCENT:
        case TYPE_TIME:
            d = number_of(spec);
            break;
        case TYPE_MONEY:
            d = money_to_float(spec);
            break;
        case TYPE_BINARY:
            d = from_binary(spec);
            break;
        case TYPE_BLOCK:
        case TYPE_PAREN:
        case TYPE_HASH:
            d = from_block(spec, type);
            break;
        case TYPE_STRING:
        case TYPE_FILE:
        case TYPE_URL:
        case TYPE_TAG:
        case TYPE_EMAIL:
        case TYPE_REF:
            d = type == TYPE_FLOAT ? from_text(spec)
                                   : number_of(load_first_value(
                                         spec, {TYPE_INTEGER, TYPE_FLOAT, TYPE_PERCENT}, type));
            break;
        default:
            raise_bad_to_arg(type, spec);
    }
    proto->header = type;
    proto->w1 = 0;
    set_cell_float(proto, d);
    return proto;
}

const cell* random(cell* value, bool seed, bool secure, bool) {
    if (seed) {
        random_seed(value->w2 ^ value->w3);
        return &unset_value;
    }
    set_cell_float(value, random_float(cell_float(value), secure));
    return value;
}

int32_t form(cell* value, cell* buffer, cell*, int32_t part) {
    return string::form_text(buffer, form_float(cell_float(value), FORM_FLOAT), part);
}

int32_t mold(cell* value, cell* buffer, bool, bool, bool, cell*, int32_t part, int32_t) {
    float_text text;
    kel::form_float(cell_float(value), 0, true, text);
    return string::form_text(buffer, text, part);
}

int32_t compare(cell* value1, cell* value2, int32_t op) {
    uint32_t type = TYPE_OF(value2);
    if ((op == COMP_STRICT_EQUAL || op == COMP_SAME || op == COMP_FIND) && type != TYPE_OF(value1))
        return 1;
    if (type == TYPE_MONEY) {
        // Money orders against a float exactly; the order is only turned round here.
        cell f{TYPE_FLOAT, 0, 0, 0};
        set_cell_float(&f, cell_float(value1));
        int32_t order = money::compare(value2, &f, op);
        return order == INCOMPARABLE ? order : -order;
    }
    if (type != TYPE_INTEGER && type != TYPE_FLOAT && type != TYPE_PERCENT && type != TYPE_TIME)
        return INCOMPARABLE;
    double x = cell_float(value1), y = number_of(value2);
    switch (op) {
        case COMP_EQUAL:
        case COMP_NOT_EQUAL:
            return float_almost_equal(x, y) ? 0 : 1;
        case COMP_STRICT_EQUAL:
            return x == y ? 0 : 1;
        case COMP_SAME:
            return bits_of(x) == bits_of(y) ? 0 : 1;
        default:
            break;
    }
    if (std::isnan(x) || std::isnan(y)) {
        // Every ordering test of a NaN is false.
        if (op == COMP_LESSER || op == COMP_LESSER_EQUAL) return 1;
        if (op == COMP_GREATER || op == COMP_GREATER_EQUAL) return -1;
        return 0;
    }
    return (x > y) - (x < y);
}

const cell* negate(cell* value) {
    set_cell_float(value, 0.0 - cell_float(value));
    return value;
}

const cell* round(cell* value, cell* scale, bool even, bool down, bool half_down, bool floor,
                  bool ceiling, bool half_ceiling) {
    uint32_t value_type = TYPE_OF(value);
    uint32_t result_type = value_type;
    double sc = value_type == TYPE_PERCENT ? 0.01 : 1.0;
    if (refinement_q(scale)) {
        switch (TYPE_OF(scale)) {
            case TYPE_INTEGER:
                sc = std::fabs(number_of(scale));
                break;
            case TYPE_FLOAT:
            case TYPE_PERCENT:
                sc = std::fabs(cell_float(scale));
                break;
            case TYPE_MONEY: {
                cell t = datatype_of(TYPE_MONEY);
                fire(script_error::not_related, nullptr, &t);
            }
            default:
                raise_invalid_type(TYPE_OF(scale));
        }
        result_type = TYPE_OF(scale);
        if (value_type == TYPE_PERCENT) sc /= 100;
    }
    double x = cell_float(value);
    // Values already whole at this scale, infinities and NaN stay; so does everything at a
    // zero scale, which has no multiples to round to.
    if (sc == 0 || !(std::fabs(x) * 0x1p-53 <= sc)) return value;

    double r;
    if (sc >= 1) {
        r = round_magnitude(x / sc, even, down, half_down, floor, ceiling, half_ceiling) * sc;
        if (std::isinf(r)) fire(math_error::overflow);
    } else {
        // Multiplying by the inverse of a fraction stays exact more often than dividing by
        // it; a scale so small that its inverse overflows is taken apart first.
        int e = 0;
        double s = sc;
        if (std::ilogb(sc) < -1021) {
            e = std::ilogb(sc);
            s = std::ldexp(sc, -e);
        }
        double inverse = 1 / s;
        double v = std::ldexp(x, -e) * inverse;
        r = std::ldexp(
            round_magnitude(v, even, down, half_down, floor, ceiling, half_ceiling) / inverse, e);
    }

    if (result_type == TYPE_INTEGER) {
        if (!(r <= 2147483647.0 && r >= -2147483648.0)) fire(math_error::overflow);
        *value = cell{TYPE_INTEGER, 0, static_cast<uint32_t>(static_cast<int32_t>(r)), 0};
    } else {
        value->header = result_type;
        set_cell_float(value, r);
    }
    return value;
}

// Values outside the 32-bit range count as even.
bool even_q(cell* value) {
    double d = cell_float(value);
    if (!(d > -2147483649.0 && d < 2147483648.0)) return true;
    return (static_cast<int32_t>(d) & 1) == 0;
}

bool odd_q(cell* value) { return !even_q(value); }

void absolute() { set_cell_float(stack::arguments, std::fabs(cell_float(stack::arguments))); }

void add() { do_math(OP_ADD); }
void subtract() { do_math(OP_SUBTRACT); }
void multiply() { do_math(OP_MULTIPLY); }
void divide() { do_math(OP_DIVIDE); }
void remainder() { do_math(OP_REMAINDER); }

void power() {
    cell* value = stack::arguments;
    cell* exponent = value + 1;
    uint32_t type = TYPE_OF(exponent);
    if (type != TYPE_INTEGER && type != TYPE_FLOAT) {
        // The caller's word (arg1) and the parameter's word (arg3) join once call frames
        // and words exist.
        cell t = datatype_of(type);
        fire(script_error::expect_arg, nullptr, &t);
    }
    set_cell_float(value, std::pow(cell_float(value), number_of(exponent)));
}

}  // namespace float_
}  // namespace kel
