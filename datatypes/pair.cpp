#include "datatypes/pair.h"

#include <cmath>
#include <cstdio>

#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/point.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/time.h"
#include "datatypes/transcode.h"
#include "runtime/error_catalog.h"
#include "runtime/memory.h"
#include "runtime/random.h"
#include "runtime/stack.h"

namespace kel {

namespace {

// A float that has no 32-bit integer value: NaN and infinities are refused as arguments,
// finite values outside the range as an overflow, so that no component wraps silently.
int32_t truncate_to_int(double d, const cell* source) {
    if (!std::isfinite(d)) fire(script_error::invalid_arg, source);
    if (!(d < 2147483648.0 && d > -2147483649.0)) fire(math_error::overflow);
    return static_cast<int32_t>(d);
}

inline cell* point_of(cell* c) {
    return point2D::set(c, static_cast<float>(pair::x_of(c)), static_cast<float>(pair::y_of(c)));
}

}  // namespace

uint32_t axis_index(const cell* word, uint32_t count) {
    size_t length;
    const uint8_t* name = symbol::name_bytes(symbol::resolve(word->w2), &length);
    if (length != 1) return 0;
    uint32_t i = static_cast<uint32_t>((name[0] | 0x20) - 'x');  // X and x alike
    return i < count ? i + 1 : 0;
}

uint32_t path_axis(cell* element, cell* path, uint32_t count) {
    uint32_t i = 0;
    if (TYPE_OF(element) == TYPE_INTEGER) {
        int32_t n = integer::get(element);
        if (n >= 1 && n <= static_cast<int32_t>(count)) i = static_cast<uint32_t>(n);
    } else if (TYPE_OF(element) == TYPE_WORD) {
        i = axis_index(element, count);
    }
    if (i == 0) fire(script_error::invalid_path, path, element);
    return i;
}

uint32_t pick_axis(cell* value, int32_t index, cell* index_cell, uint32_t count) {
    if (index_cell && TYPE_OF(index_cell) == TYPE_WORD) {
        uint32_t i = axis_index(index_cell, count);
        if (i == 0) fire(script_error::cannot_use, index_cell, value);
        return i;
    }
    if (index < 1 || index > static_cast<int32_t>(count)) {
        cell n{TYPE_INTEGER, 0, static_cast<uint32_t>(index), 0};
        fire(script_error::out_of_range, index_cell ? index_cell : &n);
    }
    return static_cast<uint32_t>(index);
}

bool block_numbers(const cell* block, double* numbers, uint32_t n) {
    series_buffer* b = node_buffer(series_node(block));
    size_t cells = b->used_bytes() / sizeof(cell);
    size_t head = series_head(block);
    if (head > cells || cells - head < n) return false;
    const cell* c = b->cells() + head;
    for (uint32_t i = 0; i < n; i++, c++) {
        if (TYPE_OF(c) == TYPE_INTEGER) numbers[i] = integer::get(c);
        else if (TYPE_OF(c) == TYPE_FLOAT) numbers[i] = cell_float(c);
        else return false;
    }
    return true;
}

namespace pair {

void init() {
    register_datatype(TYPE_PAIR, 0, "pair!", {
        entry<ACT_MAKE>(make), entry<ACT_RANDOM>(random), 0, entry<ACT_TO>(make),
        entry<ACT_FORM>(form), entry<ACT_MOLD>(mold), entry<ACT_EVAL_PATH>(eval_path), 0,
        entry<ACT_COMPARE>(compare), entry<ACT_ABSOLUTE>(absolute),
        entry<ACT_ADD>(add), entry<ACT_DIVIDE>(divide), entry<ACT_MULTIPLY>(multiply),
        entry<ACT_NEGATE>(negate), 0, entry<ACT_REMAINDER>(remainder), entry<ACT_ROUND>(round),
        entry<ACT_SUBTRACT>(subtract), 0, 0,
        entry<ACT_AND>(and_), 0, entry<ACT_OR>(or_), entry<ACT_XOR>(xor_), 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, entry<ACT_PICK>(pick), 0,
        0, 0, entry<ACT_REVERSE>(reverse), 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0,
    });
}

cell* make_in(const cell* block, int32_t x, int32_t y) {
    cell* c = kel::alloc_tail(block);
    *c = cell{TYPE_PAIR, 0, static_cast<uint32_t>(x), static_cast<uint32_t>(y)};
    return c;
}

void do_math(int32_t op) {
    cell* left = stack::arguments;
    cell* right = left + 1;
    int32_t x2, y2;
    switch (TYPE_OF(right)) {
        case TYPE_PAIR:
            x2 = x_of(right);
            y2 = y_of(right);
            break;
        case TYPE_INTEGER:
            x2 = y2 = integer::get(right);
            break;
        case TYPE_POINT2D:
            point_of(left);
            point2D_do_math(op);
            return;
        case TYPE_FLOAT:
        case TYPE_PERCENT: {
            double v = cell_float(right);
            if (op == OP_DIVIDE ? std::isnan(v) : !std::isfinite(v))
                fire(script_error::invalid_arg, right);
            if (op == OP_MULTIPLY || op == OP_DIVIDE) {
                double x = x_of(left), y = y_of(left);
                point2D::set(left, op == OP_MULTIPLY ? x * v : x / v,
                             op == OP_MULTIPLY ? y * v : y / v);
                return;
            }
            x2 = y2 = truncate_to_int(v, right);
            break;
        }
        default:
            raise_invalid_type(TYPE_OF(right));
    }
    cell scratch{TYPE_INTEGER, 0, 0, 0};
    int32_t x = integer::do_math_op(x_of(left), x2, op, &scratch);
    int32_t y = 0;
    if (TYPE_OF(&scratch) == TYPE_INTEGER) y = integer::do_math_op(y_of(left), y2, op, &scratch);
    if (TYPE_OF(&scratch) != TYPE_INTEGER) {
        // A component left the integers: the whole operation is redone on points.
        pair::make_at(right, x2, y2);
        point_of(left);
        point_of(right);
        point2D_do_math(op);
        return;
    }
    make_at(left, x, y);
}

void add() { do_math(OP_ADD); }
void subtract() { do_math(OP_SUBTRACT); }
void multiply() { do_math(OP_MULTIPLY); }
void divide() { do_math(OP_DIVIDE); }
void remainder() { do_math(OP_REMAINDER); }
void or_() { do_math(OP_OR); }
void and_() { do_math(OP_AND); }
void xor_() { do_math(OP_XOR); }

const cell* make(cell* proto, cell* spec, uint32_t) {
    int32_t x, y;
    switch (TYPE_OF(spec)) {
        case TYPE_INTEGER:
            x = y = integer::get(spec);
            break;
        case TYPE_FLOAT:
            x = y = truncate_to_int(cell_float(spec), spec);
            break;
        case TYPE_BLOCK: {
            double v[2];
            if (!block_numbers(spec, v, 2)) fire(syntax_error::malconstruct, spec);
            x = truncate_to_int(v[0], spec);
            y = truncate_to_int(v[1], spec);
            break;
        }
        case TYPE_POINT2D:
            x = truncate_to_int(point_component(spec, 0), spec);
            y = truncate_to_int(point_component(spec, 1), spec);
            break;
        case TYPE_PAIR:
            return spec;
        case TYPE_STRING:
            return load_first_value(spec, {TYPE_PAIR}, TYPE_PAIR);
        default: raise_bad_to_arg(TYPE_PAIR, spec);
    }
    *proto = cell{TYPE_PAIR, 0, static_cast<uint32_t>(x), static_cast<uint32_t>(y)};
    return proto;
}

const cell* random(cell* value, bool seed, bool secure, bool) {
    if (seed) {
        random_seed(value->w2 ^ value->w3);
        return &unset_value;
    }
    int32_t x = random_int(secure, x_of(value));
    return make_at(value, x, random_int(secure, y_of(value)));
}

int32_t form(cell* value, cell* buffer, cell*, int32_t part) {
    char text[24];
    int n = std::snprintf(text, sizeof text, "%s", form_signed(x_of(value)));
    std::snprintf(text + n, sizeof text - n, "x%s", form_signed(y_of(value)));
    return string::form_text(buffer, text, part);
}

int32_t mold(cell* value, cell* buffer, bool, bool, bool, cell* arg, int32_t part, int32_t) {
    return form(value, buffer, arg, part);
}

const cell* eval_path(cell* parent, cell* element, cell* value, cell* path, cell* prev_value,
                      cell* prev_element, int32_t, bool, bool, bool, bool evt_q) {
    uint32_t i = path_axis(element, path, 2);
    if (!value) return integer::push(i == 1 ? x_of(parent) : y_of(parent));
    if (TYPE_OF(value) != TYPE_INTEGER) raise_invalid_type(TYPE_OF(value));
    cell* old = evt_q ? stack::push(parent) : nullptr;
    (i == 1 ? parent->w2 : parent->w3) = value->w2;
    if (old) notify_owner(prev_value, prev_element, old, parent);
    return value;
}

int32_t compare(cell* value1, cell* value2, int32_t op) {
    if (TYPE_OF(value2) == TYPE_POINT2D) {
        cell point = *value1;
        return point2D::compare(point_of(&point), value2, op);
    }
    if (TYPE_OF(value2) != TYPE_PAIR) return INCOMPARABLE;
    int32_t sign = compare_sign(int64_t{x_of(value1)} - x_of(value2));
    if (sign == 0) sign = compare_sign(int64_t{y_of(value1)} - y_of(value2));
    return sign;
}

void absolute() {
    cell* value = stack::arguments;
    int32_t x = integer::abs(x_of(value));
    make_at(value, x, integer::abs(y_of(value)));
}

const cell* negate(cell* value) {
    return make_at(value, static_cast<int32_t>(0u - value->w2),
                   static_cast<int32_t>(0u - value->w3));
}

const cell* round(cell* value, cell* scale, bool even, bool down, bool half_down, bool floor,
                  bool ceiling, bool half_ceiling) {
    if (refinement_q(scale) && TYPE_OF(scale) == TYPE_MONEY) {
        cell t = datatype_of(TYPE_MONEY);
        fire(script_error::not_related, nullptr, &t);
    }
    bool per_component = refinement_q(scale) && TYPE_OF(scale) == TYPE_PAIR;
    int32_t parts[2] = {x_of(value), y_of(value)};
    int32_t scales[2] = {per_component ? x_of(scale) : 0, per_component ? y_of(scale) : 0};
    for (int i = 0; i < 2; i++) {
        // On the stack: the rounding takes cells above the frame base as given.
        cell* n = integer::push(parts[i]);
        cell* sc = per_component ? integer::push(scales[i]) : scale;
        const cell* r =
            integer::round(n, sc, even, down, half_down, floor, ceiling, half_ceiling);
        parts[i] = TYPE_OF(r) == TYPE_INTEGER ? integer::get(r)
                                              : truncate_to_int(cell_float(r), value);
        stack::pop(per_component ? 2 : 1);
    }
    return make_at(value, parts[0], parts[1]);
}

const cell* pick(cell* value, int32_t index, cell* index_cell) {
    uint32_t i = pick_axis(value, index, index_cell, 2);
    return integer::push(i == 1 ? x_of(value) : y_of(value));
}

const cell* reverse(cell* value, cell*, cell*) {
    return make_at(value, y_of(value), x_of(value));
}

}  // namespace pair
}  // namespace kel
