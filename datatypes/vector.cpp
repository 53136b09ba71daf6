#include "datatypes/vector.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "runtime/error_catalog.h"
#include "runtime/ownership.h"
#include "runtime/stack.h"

namespace kel::vector {

namespace {

inline series_buffer* buffer_of(const cell* value) { return node_buffer(series_node(value)); }
inline uint32_t unit_of(const cell* value) { return buffer_of(value)->unit(); }
inline uint8_t* element_at(const cell* value, int64_t n) {
    return buffer_of(value)->offset + n * unit_of(value);
}
inline uint32_t default_unit(uint32_t type) { return float_family_q(type) ? 8 : 4; }
inline bool block_like_q(uint32_t type) {
    return type == TYPE_BLOCK || type == TYPE_PAREN || type == TYPE_HASH;
}

inline int32_t get_int(const uint8_t* p, uint32_t unit) {
    switch (unit) {
        case 1: return static_cast<int8_t>(*p);
        case 2: { int16_t v; std::memcpy(&v, p, 2); return v; }
        default: { int32_t v; std::memcpy(&v, p, 4); return v; }
    }
}
// An element of a char vector is a code point: never negative, whatever its size.
inline int32_t get_element_int(uint32_t type, const uint8_t* p, uint32_t unit) {
    if (type != TYPE_CHAR || unit == 4) return get_int(p, unit);
    return unit == 1 ? *p : static_cast<int32_t>(static_cast<uint16_t>(get_int(p, 2)));
}
inline double get_float(const uint8_t* p, uint32_t unit) {
    if (unit == 4) { float f; std::memcpy(&f, p, 4); return f; }
    double d;
    std::memcpy(&d, p, 8);
    return d;
}
// The low unit bytes of n, little-endian.
inline void put_int(uint8_t* p, uint32_t unit, int32_t n) { std::memcpy(p, &n, unit); }
inline void put_float(uint8_t* p, uint32_t unit, double d) {
    if (unit == 4) {
        float f = static_cast<float>(d);
        std::memcpy(p, &f, 4);
    } else {
        std::memcpy(p, &d, 8);
    }
}

[[noreturn]] void bad_make_arg(const cell* spec) {
    cell t = datatype_of(TYPE_VECTOR);
    fire(script_error::bad_make_arg, &t, spec);
}

int32_t count_from_head(const cell* value) { return std::max(series::length(const_cast<cell*>(value)), 0); }

// The bytes a value writes into the vector: one element, the elements of a block (at most
// part, negative for all), or those of another vector of the same element type, converted.
void element_bytes(const cell* vector, const cell* value, int32_t part, std::vector<uint8_t>& out) {
    uint32_t type = element_type(vector), unit = unit_of(vector);
    uint32_t vt = TYPE_OF(value);
    auto put = [&](const cell* element) {
        check_value(vector, element);
        out.resize(out.size() + unit);
        set_value(vector, out.data() + out.size() - unit, element);
    };
    if (vt == TYPE_VECTOR) {
        if (element_type(value) != type) fire(script_error::not_same_type);
        int64_t n = count_from_head(value);
        if (part >= 0) n = std::min<int64_t>(n, part);
        uint32_t from = unit_of(value);
        out.resize(out.size() + n * unit);
        uint8_t* to = out.data() + out.size() - n * unit;
        const uint8_t* p = element_at(value, series_head(value));
        for (int64_t i = 0; i < n; i++, p += from, to += unit) {
            if (float_family_q(type)) put_float(to, unit, get_float(p, from));
            else put_int(to, unit, get_element_int(type, p, from));
        }
    } else if (block_like_q(vt)) {
        series_buffer* b = series::buffer_of(value);
        int64_t n = std::max<int64_t>(b->cells_tail() - (b->cells() + series_head(value)), 0);
        if (part >= 0) n = std::min<int64_t>(n, part);
        for (int64_t i = 0; i < n; i++) put(b->cells() + series_head(value) + i);
    } else {
        put(value);
    }
}

// --- Arithmetic --------------------------------------------------------------------------

// Add, subtract and multiply wrap in 32 bits; the element size then truncates.
template <class T>
void int_scalar_kernel(uint8_t* p, int64_t n, int32_t s, int32_t op, bool first) {
    uint32_t u = static_cast<uint32_t>(s);
    auto each = [&](auto f) {
        for (int64_t i = 0; i < n; i++) {
            T a;
            std::memcpy(&a, p + i * sizeof(T), sizeof(T));
            T r = static_cast<T>(f(static_cast<uint32_t>(static_cast<int32_t>(a))));
            std::memcpy(p + i * sizeof(T), &r, sizeof(T));
        }
    };
    switch (op) {
        case OP_ADD: each([u](uint32_t a) { return a + u; }); return;
        case OP_SUBTRACT:
            if (first) each([u](uint32_t a) { return u - a; });
            else each([u](uint32_t a) { return a - u; });
            return;
        case OP_MULTIPLY: each([u](uint32_t a) { return a * u; }); return;
        default:
            // Divide, remainder and the bitwise operations keep the integer rules and errors.
            each([&](uint32_t a) {
                int32_t x = static_cast<int32_t>(a);
                return static_cast<uint32_t>(first ? integer::do_math_op(s, x, op, nullptr)
                                                   : integer::do_math_op(x, s, op, nullptr));
            });
    }
}

template <class T>
void float_scalar_kernel(uint8_t* p, int64_t n, double s, int32_t op, bool first) {
    auto each = [&](auto f) {
        for (int64_t i = 0; i < n; i++) {
            T a;
            std::memcpy(&a, p + i * sizeof(T), sizeof(T));
            T r = static_cast<T>(f(static_cast<double>(a)));
            std::memcpy(p + i * sizeof(T), &r, sizeof(T));
        }
    };
    switch (op) {
        case OP_ADD: each([s](double a) { return a + s; }); return;
        case OP_SUBTRACT:
            if (first) each([s](double a) { return s - a; });
            else each([s](double a) { return a - s; });
            return;
        case OP_MULTIPLY: each([s](double a) { return a * s; }); return;
        case OP_DIVIDE:
            if (first) each([s](double a) { return s / a; });
            else each([s](double a) { return a / s; });
            return;
        default:
            each([&](double a) { return first ? float_::do_math_op(s, a, op) : float_::do_math_op(a, s, op); });
    }
}

// The float arithmetic has no bitwise operations: its error, before any element changes.
void check_float_op(uint32_t type, int32_t op) {
    if (float_family_q(type) && op >= OP_OR) float_::do_math_op(0.0, 0.0, op);
}

// vector op scalar (scalar op vector when first) in place.
void do_math_scalar(cell* vector, const cell* scalar, int32_t op, bool first) {
    uint32_t type = element_type(vector), unit = unit_of(vector), st = TYPE_OF(scalar);
    if (st != TYPE_INTEGER && st != TYPE_CHAR && st != TYPE_FLOAT && st != TYPE_PERCENT)
        fire(internal_error::not_done);
    check_float_op(type, op);
    double d = st == TYPE_INTEGER || st == TYPE_CHAR ? static_cast<double>(int_of(scalar)) : cell_float(scalar);
    bool identity = (d == 0 && (op == OP_ADD || op == OP_SUBTRACT)) || (d == 1 && (op == OP_MULTIPLY || op == OP_DIVIDE));
    if (identity && !first) return;
    int64_t n = count_from_head(vector);
    uint8_t* p = element_at(vector, series_head(vector));
    if (float_family_q(type)) {
        if (unit == 4) float_scalar_kernel<float>(p, n, d, op, first);
        else float_scalar_kernel<double>(p, n, d, op, first);
        return;
    }
    double t = std::trunc(d);
    if (!(t >= -2147483648.0 && t <= 2147483647.0)) fire(math_error::overflow);
    int32_t s = static_cast<int32_t>(t);
    bool chars = type == TYPE_CHAR;
    if (unit == 1) chars ? int_scalar_kernel<uint8_t>(p, n, s, op, first) : int_scalar_kernel<int8_t>(p, n, s, op, first);
    else if (unit == 2) chars ? int_scalar_kernel<uint16_t>(p, n, s, op, first) : int_scalar_kernel<int16_t>(p, n, s, op, first);
    else int_scalar_kernel<int32_t>(p, n, s, op, first);
}

template <class T>
void int_zip_kernel(uint8_t* r, const uint8_t* a, const uint8_t* b, int64_t n, int32_t op) {
    auto each = [&](auto f) {
        for (int64_t i = 0; i < n; i++) {
            T x, y;
            std::memcpy(&x, a + i * sizeof(T), sizeof(T));
            std::memcpy(&y, b + i * sizeof(T), sizeof(T));
            T z = static_cast<T>(f(static_cast<uint32_t>(static_cast<int32_t>(x)),
                                   static_cast<uint32_t>(static_cast<int32_t>(y))));
            std::memcpy(r + i * sizeof(T), &z, sizeof(T));
        }
    };
    switch (op) {
        case OP_ADD: each([](uint32_t x, uint32_t y) { return x + y; }); return;
        case OP_SUBTRACT: each([](uint32_t x, uint32_t y) { return x - y; }); return;
        case OP_MULTIPLY: each([](uint32_t x, uint32_t y) { return x * y; }); return;
        default:
            each([op](uint32_t x, uint32_t y) {
                return static_cast<uint32_t>(
                    integer::do_math_op(static_cast<int32_t>(x), static_cast<int32_t>(y), op, nullptr));
            });
    }
}

template <class T>
void float_zip_kernel(uint8_t* r, const uint8_t* a, const uint8_t* b, int64_t n, int32_t op) {
    for (int64_t i = 0; i < n; i++) {
        T x, y;
        std::memcpy(&x, a + i * sizeof(T), sizeof(T));
        std::memcpy(&y, b + i * sizeof(T), sizeof(T));
        T z = static_cast<T>(float_::do_math_op(x, y, op));
        std::memcpy(r + i * sizeof(T), &z, sizeof(T));
    }
}

// A new vector of the larger element size and the shorter length replaces slot 0.
void do_math_vectors(cell* left, cell* right, int32_t op) {
    uint32_t type = element_type(left);
    if (element_type(right) != type) fire(script_error::not_same_type);
    check_float_op(type, op);
    int64_t n = std::min(count_from_head(left), count_from_head(right));
    uint32_t ul = unit_of(left), ur = unit_of(right), unit = std::max(ul, ur);
    cell* result = make_at(stack::push_cell(), type, unit, n);
    series_buffer* rb = buffer_of(result);
    rb->tail = rb->offset + n * unit;
    uint8_t* r = rb->offset;
    const uint8_t* a = element_at(left, series_head(left));
    const uint8_t* b = element_at(right, series_head(right));
    bool floats = float_family_q(type);
    if (ul == ur) {
        if (floats) {
            if (unit == 4) float_zip_kernel<float>(r, a, b, n, op);
            else float_zip_kernel<double>(r, a, b, n, op);
        } else if (unit == 1) {
            type == TYPE_CHAR ? int_zip_kernel<uint8_t>(r, a, b, n, op) : int_zip_kernel<int8_t>(r, a, b, n, op);
        } else if (unit == 2) {
            type == TYPE_CHAR ? int_zip_kernel<uint16_t>(r, a, b, n, op) : int_zip_kernel<int16_t>(r, a, b, n, op);
        } else {
            int_zip_kernel<int32_t>(r, a, b, n, op);
        }
    } else {
        for (int64_t i = 0; i < n; i++) {
            if (floats) {
                put_float(r + i * unit, unit, float_::do_math_op(get_float(a + i * ul, ul), get_float(b + i * ur, ur), op));
                continue;
            }
            int32_t x = get_element_int(type, a + i * ul, ul), y = get_element_int(type, b + i * ur, ur);
            int32_t z = op == OP_ADD        ? static_cast<int32_t>(static_cast<uint32_t>(x) + static_cast<uint32_t>(y))
                        : op == OP_SUBTRACT ? static_cast<int32_t>(static_cast<uint32_t>(x) - static_cast<uint32_t>(y))
                        : op == OP_MULTIPLY ? static_cast<int32_t>(static_cast<uint32_t>(x) * static_cast<uint32_t>(y))
                                            : integer::do_math_op(x, y, op, nullptr);
            put_int(r + i * unit, unit, z);
        }
    }
    *left = *result;
    stack::pop(1);
}

void do_math(int32_t op) {
    cell* left = stack::arguments;
    cell* right = left + 1;
    if (TYPE_OF(right) == TYPE_VECTOR) do_math_vectors(left, right, op);
    else do_math_scalar(left, right, op, false);
}

void add() { do_math(OP_ADD); }
void subtract() { do_math(OP_SUBTRACT); }
void multiply() { do_math(OP_MULTIPLY); }
void divide() { do_math(OP_DIVIDE); }
void remainder() { do_math(OP_REMAINDER); }
void or_() { do_math(OP_OR); }
void and_() { do_math(OP_AND); }
void xor_() { do_math(OP_XOR); }

// --- Construction ------------------------------------------------------------------------

// The element type a make spec's first word names, 0 for none.
uint32_t named_element_type(const cell* word) {
    if (TYPE_OF(word) != TYPE_WORD) return 0;
    for (uint32_t t : {TYPE_CHAR, TYPE_INTEGER, TYPE_FLOAT, TYPE_PERCENT})
        if (symbol::resolve(word->w2) == symbol::resolve(type_names[t].word.w2)) return t;
    return 0;
}

const cell* make(cell*, cell* spec, uint32_t) {
    uint32_t st = TYPE_OF(spec);
    if (st == TYPE_INTEGER || st == TYPE_FLOAT) {
        double d = st == TYPE_INTEGER ? int_of(spec) : std::trunc(cell_float(spec));
        int64_t n = d < 1 ? 0 : d > INT32_MAX ? INT32_MAX : static_cast<int64_t>(d);
        cell* result = make_at(stack::push_cell(), TYPE_INTEGER, 4, n);
        series_buffer* b = buffer_of(result);
        std::memset(b->offset, 0, n * 4);
        b->tail = b->offset + n * 4;
        return result;
    }
    if (st != TYPE_BLOCK) fire(internal_error::not_done);
    int32_t length = count_from_head(spec);
    const cell* items = series::buffer_of(spec)->cells() + series_head(spec);
    uint32_t type, unit;
    int64_t count = 0;
    cell* values = stack::push(&none_value);
    if (length > 0 && any_word_q(TYPE_OF(items))) {
        type = named_element_type(items);
        if (!type || length < 2) bad_make_arg(spec);
        int32_t i = 1;
        if (TYPE_OF(items + 1) == TYPE_INTEGER) {
            int32_t bits = int_of(items + 1);
            bool fits = type == TYPE_PERCENT || (float_family_q(type) ? bits == 32 || bits == 64
                                                                     : bits == 8 || bits == 16 || bits == 32);
            if (!fits) bad_make_arg(spec);
            unit = type == TYPE_PERCENT ? 8 : static_cast<uint32_t>(bits / 8);
            i = 2;
        } else if (type == TYPE_PERCENT) {
            unit = 8;
        } else {
            fire(script_error::invalid_spec_field, items + 1);
        }
        if (i < length && TYPE_OF(items + i) == TYPE_INTEGER) {
            count = std::max(int_of(items + i), 0);
            i++;
            if (i < length && TYPE_OF(items + i) == TYPE_BLOCK) *values = items[i];
            else if (i < length) fire(script_error::invalid_spec_field, items + i);
        } else if (i < length && TYPE_OF(items + i) == TYPE_BLOCK) {
            *values = items[i];
        } else {
            fire(script_error::invalid_spec_field, i < length ? items + i : items + length - 1);
        }
    } else {
        type = length > 0 ? TYPE_OF(items) : uint32_t{TYPE_NONE};
        if (type != TYPE_CHAR && type != TYPE_INTEGER && !float_family_q(type)) raise_invalid_type(type);
        unit = default_unit(type);
        *values = *spec;
    }
    int64_t given = TYPE_OF(values) == TYPE_NONE ? 0 : count_from_head(values);
    cell* result = make_at(stack::push_cell(), type, unit, std::max(count, given));
    series_buffer* vb = series::buffer_of(values);
    series_buffer* b = buffer_of(result);
    for (int64_t i = 0; i < given; i++) {
        const cell* v = vb->cells() + series_head(values) + i;
        if (TYPE_OF(v) != type) fire(script_error::invalid_arg, v);
        set_value(result, b->offset + i * unit, v);
    }
    int64_t total = std::max(count, given);
    std::memset(b->offset + given * unit, 0, (total - given) * unit);
    b->tail = b->offset + total * unit;
    return result;
}

// --- Text forms --------------------------------------------------------------------------

// The elements from the head, one space apart; mold writes chars as literals. Stops when a
// /part budget runs out.
void form_values(const cell* value, cell* buffer, bool mold, bool limited, int32_t budget) {
    uint32_t type = element_type(value), unit = unit_of(value);
    int64_t n = count_from_head(value);
    for (int64_t i = 0; i < n && !(limited && budget <= 0); i++) {
        uint32_t before = string::ks_buffer_length(buffer);
        if (i > 0) string::concat_cstr(buffer, " ");
        const uint8_t* p = element_at(value, series_head(value) + i);
        if (type == TYPE_CHAR) {
            uint32_t cp = static_cast<uint32_t>(get_element_int(type, p, unit));
            if (mold) {
                string::concat_cstr(buffer, "#\"");
                string::mold_char(string::buffer_of(buffer), cp, false, false);
                string::concat_cstr(buffer, "\"");
            } else {
                string::append_char(string::buffer_of(buffer), cp);
            }
        } else if (type == TYPE_INTEGER) {
            string::concat_cstr(buffer, form_signed(get_int(p, unit)));
        } else if (type == TYPE_FLOAT) {
            string::concat_cstr(buffer, float_::form_float(get_float(p, unit), unit == 4 ? FORM_FLOAT32 : FORM_FLOAT));
        } else {
            string::concat_cstr(buffer,
                                float_::form_float(get_float(p, unit) * 100, unit == 4 ? FORM_PERCENT32 : FORM_PERCENT));
        }
        budget -= static_cast<int32_t>(string::ks_buffer_length(buffer) - before);
    }
}

int32_t mold(cell* value, cell* buffer, bool only, bool, bool, cell* arg, int32_t part, int32_t) {
    uint32_t before = string::ks_buffer_length(buffer);
    uint32_t type = element_type(value), unit = unit_of(value);
    bool long_form = count_from_head(value) == 0 || unit != default_unit(type);
    if (!only) {
        string::concat_cstr(buffer, "make vector! [");
        if (long_form) {
            string::concat_cstr(buffer, type_names[type].name);
            string::concat_cstr(buffer, " ");
            string::concat_cstr(buffer, form_signed(static_cast<int32_t>(unit * 8)));
            string::concat_cstr(buffer, " [");
        }
    }
    form_values(value, buffer, true, refinement_q(arg), part - 14);
    if (!only) string::concat_cstr(buffer, long_form ? "]]" : "]");
    return part - static_cast<int32_t>(string::ks_buffer_length(buffer) - before);
}

int32_t form(cell* value, cell* buffer, cell* arg, int32_t part) {
    uint32_t before = string::ks_buffer_length(buffer);
    form_values(value, buffer, false, refinement_q(arg), part);
    return part - static_cast<int32_t>(string::ks_buffer_length(buffer) - before);
}

int32_t compare(cell* value1, cell* value2, int32_t op) {
    if (TYPE_OF(value2) != TYPE_VECTOR) return INCOMPARABLE;
    uint32_t type = element_type(value1);
    if (element_type(value2) != type) fire(script_error::not_same_type);
    if (series_node(value1) == series_node(value2) && series_head(value1) == series_head(value2)) return 0;
    if (op == COMP_SAME) return 1;
    int64_t n1 = count_from_head(value1), n2 = count_from_head(value2);
    if (n1 != n2 && (op == COMP_EQUAL || op == COMP_NOT_EQUAL || op == COMP_STRICT_EQUAL || op == COMP_FIND))
        return 1;
    uint32_t u1 = unit_of(value1), u2 = unit_of(value2);
    const uint8_t* a = element_at(value1, series_head(value1));
    const uint8_t* b = element_at(value2, series_head(value2));
    for (int64_t i = 0, n = std::min(n1, n2); i < n; i++) {
        double x = float_family_q(type) ? get_float(a + i * u1, u1) : get_element_int(type, a + i * u1, u1);
        double y = float_family_q(type) ? get_float(b + i * u2, u2) : get_element_int(type, b + i * u2, u2);
        if (x != y) return x < y ? -1 : 1;
    }
    return compare_sign(n1 - n2);
}

// --- Search ------------------------------------------------------------------------------

// The element index of the first (or, with last or reverse, the nearest backward) element
// equal to a scalar of the vector's family, -1 when none. Every step-th element is
// compared; match compares the head element only.
int32_t find_element(cell* series, const cell* value, cell* part, cell* skip, bool last, bool reverse,
                     bool match) {
    uint32_t type = element_type(series), vt = TYPE_OF(value);
    bool numeric = vt == TYPE_CHAR || vt == TYPE_INTEGER || float_family_q(vt);
    if (!numeric || float_family_q(vt) != float_family_q(type)) return -1;
    int32_t step = 1;
    if (refinement_q(skip)) {
        if (TYPE_OF(skip) != TYPE_INTEGER || int_of(skip) < 1) series::refine_arg_error(skip);
        step = int_of(skip);
    }
    int32_t head = static_cast<int32_t>(std::min<uint32_t>(series_head(series), series::buffer_length(series)));
    int32_t end = series::buffer_length(series);
    if (refinement_q(part)) end = static_cast<int32_t>(std::clamp<int64_t>(int64_t{head} + series::part_count(series, part), head, end));
    uint32_t unit = unit_of(series);
    double wanted = float_family_q(type) ? cell_float(value) : int_of(value);
    auto equal = [&](int32_t i) {
        const uint8_t* p = element_at(series, i);
        return (float_family_q(type) ? get_float(p, unit) : get_element_int(type, p, unit)) == wanted;
    };
    if (match) return head < end && equal(head) ? head : -1;
    if (last || reverse) {
        for (int32_t i = last ? end - 1 : head - 1; i >= (last ? head : 0); i -= step)
            if (equal(i)) return i;
        return -1;
    }
    for (int32_t i = head; i < end; i += step)
        if (equal(i)) return i;
    return -1;
}

const cell* find(cell* series, cell* value, cell* part, bool, bool, bool, bool, cell*, cell* skip, bool last,
                 bool reverse, bool tail, bool match) {
    int32_t at = find_element(series, value, part, skip, last, reverse, match);
    if (at < 0) return &none_value;
    series->w1 = static_cast<uint32_t>(tail ? at + 1 : at);
    return series;
}

const cell* select(cell* series, cell* value, cell* part, bool, bool, bool, bool, cell*, cell* skip, bool last,
                   bool reverse) {
    int32_t at = find_element(series, value, part, skip, last, reverse, false);
    if (at < 0 || at + 1 >= series::buffer_length(series)) return &none_value;
    return get_value(series, at + 1);
}

// --- Series changes ----------------------------------------------------------------------

inline void clamp_head(cell* value) {
    uint32_t n = static_cast<uint32_t>(series::buffer_length(value));
    if (value->w1 > n) value->w1 = n;
}

const cell* append(cell* series, cell* value, int32_t part, bool, int32_t dup, bool append_q) {
    size_t copies = dup >= 2 ? static_cast<size_t>(dup) : 1;
    uint32_t unit = unit_of(series);
    std::vector<uint8_t> bytes;
    element_bytes(series, value, part, bytes);
    clamp_head(series);
    auto at = [&] { return append_q ? series::buffer_length(series) : series::head_of(series); };
    int32_t count = static_cast<int32_t>(std::min<size_t>(bytes.size() / unit * copies, INT32_MAX));
    bool owned = ownership::check(series, owner_action::append, at(), count);
    if (owned) {
        // The owner's handler may have changed either value.
        bytes.clear();
        element_bytes(series, value, part, bytes);
        clamp_head(series);
    }
    int32_t start = at();
    size_t total = binary::splice(series, size_t(start) * unit, 0, bytes, copies) / unit;
    if (owned) ownership::check(series, owner_action::appended, start, static_cast<int32_t>(total));
    if (!append_q)
        series->w1 = static_cast<uint32_t>(std::min<int64_t>(start + total, series::buffer_length(series)));
    clamp_head(series);
    return series;
}

const cell* change(cell* series, cell* value, int32_t part, bool, int32_t dup) {
    size_t copies = dup >= 2 ? static_cast<size_t>(dup) : 1;
    uint32_t unit = unit_of(series);
    std::vector<uint8_t> bytes;
    element_bytes(series, value, -1, bytes);
    clamp_head(series);
    int32_t count = static_cast<int32_t>(std::min<size_t>(bytes.size() / unit * copies, INT32_MAX));
    bool owned = ownership::check(series, owner_action::change, series::head_of(series), count);
    if (owned) {
        bytes.clear();
        element_bytes(series, value, -1, bytes);
        clamp_head(series);
    }
    size_t at = series_head(series);
    size_t rest = static_cast<size_t>(series::buffer_length(series)) - at;
    size_t written = bytes.size() / unit * copies;
    size_t removed = std::min(part >= 0 ? static_cast<size_t>(part) : written, rest);
    size_t total = binary::splice(series, at * unit, removed * unit, bytes, copies) / unit;
    if (owned) ownership::check(series, owner_action::changed, static_cast<int32_t>(at), static_cast<int32_t>(total));
    series->w1 = static_cast<uint32_t>(std::min<int64_t>(at + total, series::buffer_length(series)));
    return series;
}

const cell* take(cell* series, cell* part, bool deep, bool last) {
    const cell* taken = series::take(series, part, deep, last);
    if (refinement_q(part) || TYPE_OF(taken) == TYPE_NONE) return taken;
    cell* result = const_cast<cell*>(taken);
    *result = *get_value(result, 0);
    return result;
}

}  // namespace

void init() {
    const action_entry I = INHERIT;
    register_datatype(TYPE_VECTOR, TYPE_STRING, "vector!", {
        entry<ACT_MAKE>(make), I, I, 0, entry<ACT_FORM>(form), entry<ACT_MOLD>(mold), I, 0,
        entry<ACT_COMPARE>(compare), 0,
        entry<ACT_ADD>(add), entry<ACT_DIVIDE>(divide), entry<ACT_MULTIPLY>(multiply), 0, 0,
        entry<ACT_REMAINDER>(remainder), 0, entry<ACT_SUBTRACT>(subtract), 0, 0,
        entry<ACT_AND>(and_), 0, entry<ACT_OR>(or_), entry<ACT_XOR>(xor_), entry<ACT_APPEND>(append),
        I, I, entry<ACT_CHANGE>(change), I, I,
        entry<ACT_FIND>(find), I, I, I, entry<ACT_INSERT>(append), I, I, I, I, I,
        0, I, I, entry<ACT_SELECT>(select), I, I, 0, I, I, entry<ACT_TAKE>(take),
        0, 0, 0, 0, I, 0, 0, 0, 0, 0, 0, 0,
    });
}

cell* make_at(cell* value, uint32_t type, uint32_t unit, int64_t capacity) {
    if (capacity * unit > INT32_MAX) fire(internal_error::no_memory);
    node_id node = alloc_series(static_cast<size_t>(std::max<int64_t>(capacity, 1)), unit, 0);
    *value = cell{TYPE_VECTOR, 0, node, type};
    return value;
}

void ks_append_int(cell* value, int32_t n) {
    std::memcpy(alloc_tail_bytes(buffer_of(value), 4), &n, 4);
}

const cell* get_value(const cell* value, int32_t n) {
    static cell scratch;
    uint32_t type = element_type(value), unit = unit_of(value);
    const uint8_t* p = element_at(value, n);
    if (float_family_q(type)) {
        scratch = cell{type, 0, 0, 0};
        set_cell_float(&scratch, get_float(p, unit));
    } else {
        scratch = cell{type, 0, static_cast<uint32_t>(get_element_int(type, p, unit)), 0};
    }
    return &scratch;
}

void check_value(const cell* value, const cell* element) {
    uint32_t et = TYPE_OF(element);
    bool numeric = et == TYPE_CHAR || et == TYPE_INTEGER || float_family_q(et);
    if (!numeric) raise_invalid_type(et);
    if (float_family_q(et) != float_family_q(element_type(value))) fire(script_error::invalid_arg, element);
}

void set_value(const cell* value, uint8_t* at, const cell* element) {
    uint32_t unit = unit_of(value);
    if (float_family_q(element_type(value))) put_float(at, unit, cell_float(element));
    else put_int(at, unit, int_of(element));
}

cell* to_block(const cell* value) {
    int32_t n = count_from_head(value);
    cell* result = block::push_only(n);
    for (int32_t i = 0; i < n; i++) block::ks_append(result, get_value(value, series_head(value) + i));
    return result;
}

void do_math_scalar_first(int32_t op) {
    cell* left = stack::arguments;
    std::swap(left[0], left[1]);
    do_math_scalar(left, left + 1, op, true);
}

}  // namespace kel::vector
