#include "datatypes/point.h"

#include <cmath>
#include <cstring>

#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/pair.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/time.h"
#include "datatypes/transcode.h"
#include "runtime/error_catalog.h"
#include "runtime/hashtable.h"
#include "runtime/random.h"

namespace kel {

namespace {

// Both point types by their component count n: 2 for point2D!, 3 for point3D!.
inline uint32_t type_of_count(uint32_t n) { return n == 2 ? TYPE_POINT2D : TYPE_POINT3D; }

void store(cell* c, uint32_t n, const double* v) {
    c->header = type_of_count(n);
    c->w3 = 0;
    for (uint32_t i = 0; i < n; i++) set_point_component(c, i, v[i]);
}

void point_do_math(uint32_t n, int32_t op) {
    cell* left = stack::arguments;
    cell* right = left + 1;
    double v[3];
    uint32_t rt = TYPE_OF(right);
    if (rt == type_of_count(n)) {
        for (uint32_t i = 0; i < n; i++) v[i] = point_component(right, i);
    } else if (rt == TYPE_PAIR && n == 2) {
        v[0] = static_cast<float>(pair::x_of(right));
        v[1] = static_cast<float>(pair::y_of(right));
    } else if (rt == TYPE_INTEGER) {
        v[0] = v[1] = v[2] = static_cast<float>(integer::get(right));
    } else if (rt == TYPE_FLOAT || rt == TYPE_PERCENT) {
        v[0] = v[1] = v[2] = static_cast<float>(cell_float(right));
    } else {
        raise_invalid_type(rt);
    }
    double r[3];
    for (uint32_t i = 0; i < n; i++) r[i] = float_::do_math_op(point_component(left, i), v[i], op);
    for (uint32_t i = 0; i < n; i++) set_point_component(left, i, r[i]);
}

const cell* make_point(uint32_t n, cell* proto, cell* spec) {
    double v[3] = {0, 0, 0};
    uint32_t type = type_of_count(n);
    switch (TYPE_OF(spec)) {
        case TYPE_INTEGER:
            v[0] = v[1] = v[2] = integer::get(spec);
            break;
        case TYPE_FLOAT:
            v[0] = v[1] = v[2] = cell_float(spec);
            break;
        case TYPE_BLOCK:
            if (!block_numbers(spec, v, n)) fire(syntax_error::malconstruct, spec);
            break;
        case TYPE_PAIR:
            v[0] = pair::x_of(spec);
            v[1] = pair::y_of(spec);
            break;
        case TYPE_POINT2D:
            if (n == 2) return spec;
            v[0] = point_component(spec, 0);
            v[1] = point_component(spec, 1);
            break;
        case TYPE_POINT3D:
            if (n == 3) return spec;
            raise_bad_to_arg(type, spec);
        case TYPE_STRING:
            return load_first_value(spec, {type}, type);
        default: raise_bad_to_arg(type, spec);
    }
    store(proto, n, v);
    return proto;
}

const cell* random_point(uint32_t n, cell* value, bool seed, bool secure) {
    if (seed) {
        random_seed(murmur3_32(&value->w1, n * sizeof(uint32_t), hash_seed));
        return &unset_value;
    }
    for (uint32_t i = 0; i < n; i++) {
        float f = point_component(value, i);
        if (f != 0.0f) set_point_component(value, i, random_float(f, secure));
    }
    return value;
}

int32_t form_point(uint32_t n, cell* value, cell* buffer, int32_t part) {
    char text[3 * 32 + 8] = "(";
    for (uint32_t i = 0; i < n; i++) {
        if (i) std::strcat(text, ", ");
        std::strcat(text, float_::form_float(point_component(value, i), FORM_POINT));
    }
    std::strcat(text, ")");
    return string::form_text(buffer, text, part);
}

const cell* eval_path_point(uint32_t n, cell* parent, cell* element, cell* value, cell* path,
                            cell* prev_value, cell* prev_element, bool evt_q) {
    uint32_t i = path_axis(element, path, n) - 1;
    if (!value) return float_::push(point_component(parent, i));
    if (TYPE_OF(value) != TYPE_INTEGER && TYPE_OF(value) != TYPE_FLOAT)
        raise_invalid_type(TYPE_OF(value));
    cell* old = evt_q ? stack::push(parent) : nullptr;
    set_point_component(parent, i, TYPE_OF(value) == TYPE_INTEGER ? integer::get(value) : cell_float(value));
    if (old) notify_owner(prev_value, prev_element, old, parent);
    return value;
}

int32_t compare_points(uint32_t n, cell* value1, cell* value2, int32_t op) {
    cell converted;
    if (n == 2 && TYPE_OF(value2) == TYPE_PAIR) {
        converted = *value2;
        value2 = point2D::set(&converted, static_cast<float>(pair::x_of(value2)),
                              static_cast<float>(pair::y_of(value2)));
    }
    if (TYPE_OF(value2) != type_of_count(n)) return INCOMPARABLE;
    switch (op) {
        case COMP_EQUAL:
        case COMP_NOT_EQUAL:
            for (uint32_t i = 0; i < n; i++)
                if (!float32_almost_equal(point_component(value1, i), point_component(value2, i)))
                    return 1;
            return 0;
        case COMP_STRICT_EQUAL:
            for (uint32_t i = 0; i < n; i++)
                if (point_component(value1, i) != point_component(value2, i)) return 1;
            return 0;
        case COMP_SAME:
            return std::memcmp(&value1->w1, &value2->w1, n * sizeof(uint32_t)) != 0;
        default: {
            float d = 0;
            for (uint32_t i = 0; i < n; i++) {
                d = point_component(value1, i) - point_component(value2, i);
                if (!float32_almost_equal(d, 0.0f)) break;
            }
            return d < 0 ? -1 : d > 0 ? 1 : 0;
        }
    }
}

const cell* round_point(uint32_t n, cell* value, cell* scale, bool even, bool down, bool half_down,
                  bool floor, bool ceiling, bool half_ceiling) {
    bool to = refinement_q(scale);
    uint32_t st = to ? TYPE_OF(scale) : uint32_t{TYPE_NONE};
    if (st == TYPE_MONEY) {
        cell t = datatype_of(TYPE_MONEY);
        fire(script_error::not_related, nullptr, &t);
    }
    bool per_component =
        st == TYPE_POINT2D || st == TYPE_POINT3D || (st == TYPE_PAIR && n == 2);
    double r[3];
    for (uint32_t i = 0; i < n; i++) {
        // On the stack: the rounding takes cells above the frame base as given.
        cell* c = float_::push(point_component(value, i));
        cell* sc = scale;
        if (st == TYPE_PAIR && n == 2) sc = integer::push(i == 0 ? pair::x_of(scale)
                                                                 : pair::y_of(scale));
        else if (per_component)
            sc = float_::push(i == 2 && st == TYPE_POINT2D ? 0.0 : point_component(scale, i));
        const cell* v = float_::round(c, sc, even, down, half_down, floor, ceiling, half_ceiling);
        r[i] = TYPE_OF(v) == TYPE_INTEGER ? integer::get(v) : cell_float(v);
        stack::pop(per_component ? 2 : 1);
    }
    for (uint32_t i = 0; i < n; i++) set_point_component(value, i, r[i]);
    return value;
}

const cell* pick_point(uint32_t n, cell* value, int32_t index, cell* index_cell) {
    uint32_t i = pick_axis(value, index, index_cell, n) - 1;
    return float_::push(point_component(value, i));
}

void absolute_point(uint32_t n) {
    cell* value = stack::arguments;
    for (uint32_t i = 0; i < n; i++) (&value->w1)[i] &= 0x7FFFFFFFu;
}

const cell* negate_point(uint32_t n, cell* value) {
    for (uint32_t i = 0; i < n; i++) set_point_component(value, i, 0.0 - point_component(value, i));
    return value;
}

}  // namespace

void point2D_do_math(int32_t op) { point_do_math(2, op); }
void point3D_do_math(int32_t op) { point_do_math(3, op); }

namespace point2D {

void init() {
    register_datatype(TYPE_POINT2D, 0, "point2D!", {
        entry<ACT_MAKE>(make), entry<ACT_RANDOM>(random), 0, entry<ACT_TO>(make),
        entry<ACT_FORM>(form), entry<ACT_MOLD>(mold), entry<ACT_EVAL_PATH>(eval_path), 0,
        entry<ACT_COMPARE>(compare), entry<ACT_ABSOLUTE>(absolute),
        entry<ACT_ADD>(add), entry<ACT_DIVIDE>(divide), entry<ACT_MULTIPLY>(multiply),
        entry<ACT_NEGATE>(negate), 0, entry<ACT_REMAINDER>(remainder), entry<ACT_ROUND>(round),
        entry<ACT_SUBTRACT>(subtract), 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, entry<ACT_PICK>(pick), 0,
        0, 0, entry<ACT_REVERSE>(reverse), 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0,
    });
}

cell* make_in(const cell* block, double x, double y) {
    cell* c = kel::alloc_tail(block);
    c->header = TYPE_POINT2D;
    return set(c, x, y);
}

const cell* make(cell* proto, cell* spec, uint32_t) { return make_point(2, proto, spec); }
const cell* random(cell* value, bool seed, bool secure, bool) {
    return random_point(2, value, seed, secure);
}
int32_t form(cell* value, cell* buffer, cell*, int32_t part) {
    return form_point(2, value, buffer, part);
}
int32_t mold(cell* value, cell* buffer, bool, bool, bool, cell*, int32_t part, int32_t) {
    return form_point(2, value, buffer, part);
}
const cell* eval_path(cell* parent, cell* element, cell* value, cell* path, cell* prev_value,
                      cell* prev_element, int32_t, bool, bool, bool, bool evt_q) {
    return eval_path_point(2, parent, element, value, path, prev_value, prev_element, evt_q);
}
int32_t compare(cell* value1, cell* value2, int32_t op) {
    return compare_points(2, value1, value2, op);
}
const cell* negate(cell* value) { return negate_point(2, value); }
const cell* round(cell* value, cell* scale, bool even, bool down, bool half_down, bool floor,
                  bool ceiling, bool half_ceiling) {
    return round_point(2, value, scale, even, down, half_down, floor, ceiling, half_ceiling);
}
const cell* pick(cell* value, int32_t index, cell* index_cell) {
    return pick_point(2, value, index, index_cell);
}
const cell* reverse(cell* value, cell*, cell*) {
    std::swap(value->w1, value->w2);
    return value;
}
void absolute() { absolute_point(2); }
void add() { point_do_math(2, OP_ADD); }
void subtract() { point_do_math(2, OP_SUBTRACT); }
void multiply() { point_do_math(2, OP_MULTIPLY); }
void divide() { point_do_math(2, OP_DIVIDE); }
void remainder() { point_do_math(2, OP_REMAINDER); }

}  // namespace point2D

namespace point3D {

void init() {
    register_datatype(TYPE_POINT3D, 0, "point3D!", {
        entry<ACT_MAKE>(make), entry<ACT_RANDOM>(random), 0, entry<ACT_TO>(make),
        entry<ACT_FORM>(form), entry<ACT_MOLD>(mold), entry<ACT_EVAL_PATH>(eval_path), 0,
        entry<ACT_COMPARE>(compare), entry<ACT_ABSOLUTE>(absolute),
        entry<ACT_ADD>(add), entry<ACT_DIVIDE>(divide), entry<ACT_MULTIPLY>(multiply),
        entry<ACT_NEGATE>(negate), 0, entry<ACT_REMAINDER>(remainder), entry<ACT_ROUND>(round),
        entry<ACT_SUBTRACT>(subtract), 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, entry<ACT_PICK>(pick), 0,
        0, 0, entry<ACT_REVERSE>(reverse), 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0,
    });
}

cell* make_in(const cell* block, double x, double y, double z) {
    cell* c = kel::alloc_tail(block);
    c->header = TYPE_POINT3D;
    return make_at(c, x, y, z);
}

const cell* make(cell* proto, cell* spec, uint32_t) { return make_point(3, proto, spec); }
const cell* random(cell* value, bool seed, bool secure, bool) {
    return random_point(3, value, seed, secure);
}
int32_t form(cell* value, cell* buffer, cell*, int32_t part) {
    return form_point(3, value, buffer, part);
}
int32_t mold(cell* value, cell* buffer, bool, bool, bool, cell*, int32_t part, int32_t) {
    return form_point(3, value, buffer, part);
}
const cell* eval_path(cell* parent, cell* element, cell* value, cell* path, cell* prev_value,
                      cell* prev_element, int32_t, bool, bool, bool, bool evt_q) {
    return eval_path_point(3, parent, element, value, path, prev_value, prev_element, evt_q);
}
int32_t compare(cell* value1, cell* value2, int32_t op) {
    return compare_points(3, value1, value2, op);
}
const cell* negate(cell* value) { return negate_point(3, value); }
const cell* round(cell* value, cell* scale, bool even, bool down, bool half_down, bool floor,
                  bool ceiling, bool half_ceiling) {
    return round_point(3, value, scale, even, down, half_down, floor, ceiling, half_ceiling);
}
const cell* pick(cell* value, int32_t index, cell* index_cell) {
    return pick_point(3, value, index, index_cell);
}
const cell* reverse(cell* value, cell*, cell*) {
    std::swap(value->w1, value->w3);
    return value;
}
void absolute() { absolute_point(3); }
void add() { point_do_math(3, OP_ADD); }
void subtract() { point_do_math(3, OP_SUBTRACT); }
void multiply() { point_do_math(3, OP_MULTIPLY); }
void divide() { point_do_math(3, OP_DIVIDE); }
void remainder() { point_do_math(3, OP_REMAINDER); }

}  // namespace point3D
}  // namespace kel
