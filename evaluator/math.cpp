#include "evaluator/math.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "datatypes/float.h"
#include "datatypes/logic.h"
#include "datatypes/money_amount.h"
#include "datatypes/pair.h"
#include "datatypes/point.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/tuple.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/natives.h"
#include "runtime/error_catalog.h"
#include "runtime/os.h"
#include "runtime/stack.h"

namespace kel::natives {

namespace {

constexpr double PI = 3.141592653589793;
constexpr double EPSILON = 2.220446049250313e-16;

inline cell* arg(int32_t i) { return stack::arguments + i; }
inline int32_t int_at(const cell* c) { return static_cast<int32_t>(c->w2); }
inline void answer(bool truth) { *stack::arguments = cell{TYPE_LOGIC, truth, 0, 0}; }
inline void answer_float(double d) { float_::box(d); }

// integer!, float!, percent! (and time!, which holds its seconds the same way).
inline double number_of(const cell* c) { return TYPE_OF(c) == TYPE_INTEGER ? int_at(c) : cell_float(c); }
inline bool float_like_q(uint32_t t) { return t == TYPE_FLOAT || t == TYPE_PERCENT; }
inline bool numeric_q(uint32_t t) { return t == TYPE_INTEGER || float_like_q(t); }

// -1, 0 or 1; a NaN is neither side of zero.
int32_t sign_of(const cell* c) {
    switch (TYPE_OF(c)) {
        case TYPE_MONEY: return money_sign(c);
        case TYPE_INTEGER: return (int_at(c) > 0) - (int_at(c) < 0);
        default: {
            double d = cell_float(c);
            return (d > 0.0) - (d < 0.0);
        }
    }
}

// The float-to-integer step: truncated toward zero; out of range, NaN or infinite raises.
int32_t float_to_integer(double d) {
    if (!(d >= -2147483648.0 && d <= 2147483647.0)) {
        cell type{TYPE_DATATYPE, TYPE_INTEGER, 0, 0};
        fire(script_error::type_limit, &type);
    }
    return static_cast<int32_t>(d);
}

inline bool pick_max(double a, double b, bool max_q) { return max_q ? a < b : b < a; }

// Coordinate by coordinate, the second side's NaN winning.
double point_pick(double a, double b, bool max_q) {
    if (std::isnan(b)) return b;
    return pick_max(a, b, max_q) ? b : a;
}

// The second value as point coordinates, or false when it is not a point's partner.
bool point_partner(const cell* second, uint32_t count, double* xyz) {
    uint32_t t = TYPE_OF(second);
    if (t == TYPE_INTEGER || t == TYPE_FLOAT) {
        double d = static_cast<float>(number_of(second));
        xyz[0] = xyz[1] = xyz[2] = d;
    } else if (t == TYPE_PAIR) {
        xyz[0] = pair::x_of(second);
        xyz[1] = pair::y_of(second);
        xyz[2] = 0;
    } else if ((t == TYPE_POINT2D && count == 2) || (t == TYPE_POINT3D && count == 3)) {
        for (uint32_t i = 0; i < count; i++) xyz[i] = point_component(second, i);
    } else {
        return false;
    }
    return true;
}

// The composite cases, the composite in first; false when the pair falls to the general rule.
bool max_min_composite(cell* first, cell* second, bool max_q) {
    uint32_t t1 = TYPE_OF(first), t2 = TYPE_OF(second);
    if (t1 == TYPE_PAIR) {
        if (t2 == TYPE_FLOAT) {
            double d = cell_float(second);
            if (!(d >= -2147483648.0 && d <= 2147483647.0)) {
                point2D::set(second, d, d);
                t2 = TYPE_POINT2D;
            } else {
                *second = integer_value(static_cast<int32_t>(d));
                t2 = TYPE_INTEGER;
            }
        }
        if (t2 == TYPE_POINT2D) {
            point2D::set(first, pair::x_of(first), pair::y_of(first));
            t1 = TYPE_POINT2D;
        } else if (t2 == TYPE_INTEGER || t2 == TYPE_PAIR) {
            int32_t x = t2 == TYPE_PAIR ? pair::x_of(second) : int_at(second);
            int32_t y = t2 == TYPE_PAIR ? pair::y_of(second) : int_at(second);
            int32_t fx = pair::x_of(first), fy = pair::y_of(first);
            pair::make_at(first, max_q ? std::max(fx, x) : std::min(fx, x), max_q ? std::max(fy, y) : std::min(fy, y));
            return true;
        } else {
            return false;
        }
    }
    if (t1 == TYPE_POINT2D || t1 == TYPE_POINT3D) {
        uint32_t count = t1 == TYPE_POINT2D ? 2 : 3;
        double xyz[3];
        if (!point_partner(second, count, xyz)) return false;
        for (uint32_t i = 0; i < count; i++)
            set_point_component(first, i, point_pick(point_component(first, i), xyz[i], max_q));
        return true;
    }
    if (t1 == TYPE_TUPLE) {
        uint32_t n = tuple::count_of(first);
        uint8_t* bytes = tuple::bytes_of(first);
        if (t2 == TYPE_INTEGER || t2 == TYPE_FLOAT) {
            int32_t v = t2 == TYPE_INTEGER ? int_at(second) : float_to_integer(cell_float(second));
            auto b = static_cast<uint8_t>(std::clamp(v, 0, 255));
            for (uint32_t i = 0; i < n; i++) bytes[i] = max_q ? std::max(bytes[i], b) : std::min(bytes[i], b);
            return true;
        }
        if (t2 == TYPE_TUPLE && tuple::count_of(second) == n) {
            const uint8_t* other = tuple::bytes_of(second);
            for (uint32_t i = 0; i < n; i++)
                bytes[i] = max_q ? std::max(bytes[i], other[i]) : std::min(bytes[i], other[i]);
            return true;
        }
    }
    return false;
}

void max_min(bool max_q) {
    cell* first = arg(0);
    cell* second = arg(1);
    uint32_t t1 = TYPE_OF(first), t2 = TYPE_OF(second);
    if (float_like_q(t1) && std::isnan(cell_float(first)) && numeric_q(t2)) return;
    if (float_like_q(t2) && std::isnan(cell_float(second)) && numeric_q(t1)) {
        *first = *second;
        return;
    }
    bool composite2 = t2 == TYPE_PAIR || t2 == TYPE_POINT2D || t2 == TYPE_POINT3D || t2 == TYPE_TUPLE;
    if (composite2 && (t1 == TYPE_INTEGER || t1 == TYPE_FLOAT)) std::swap(*first, *second);
    if (max_min_composite(first, second, max_q)) return;
    bool lesser = actions::compare(first, second, COMP_LESSER);
    if (lesser == max_q) *first = *second;
}

// integer! exactly, percent! as its value, float! as it is.
double arg_to_float(const cell* c) { return number_of(c); }

inline bool radians_q(const int32_t* refinements) { return refinement_given(refinements, 0); }

}  // namespace

// --- Cores -----------------------------------------------------------------------------

double sine_star(double angle, bool radians) {
    double r = std::sin(radians ? angle : normalize_angle(angle, 2));
    return std::fabs(r) < EPSILON ? 0.0 : r;
}

double cosine_star(double angle, bool radians) {
    double r = std::cos(radians ? angle : normalize_angle(angle, 1));
    return std::fabs(r) < EPSILON ? 0.0 : r;
}

double tangent_star(double angle, bool radians) {
    double x = radians ? angle : normalize_angle(angle, 0);
    if (x == PI / 2.0) return 1.0 / 0.0;
    if (x == PI / -2.0) return -1.0 / 0.0;
    return std::tan(x);
}

double arc_star(double value, int32_t selector, bool radians) {
    double r = selector == 2 ? std::asin(value) : selector == 1 ? std::acos(value) : std::atan(value);
    return radians ? r : r * 180.0 / PI;
}

double arctangent2_star(double y, double x, bool radians) {
    double r = std::atan2(y, x);
    return radians ? r : r * 180.0 / PI;
}

int32_t shift_star(int32_t data, int32_t bits, bool left, bool logical) {
    if (bits < 0) bits = 0;
    if (left) return bits > 31 ? 0 : static_cast<int32_t>(static_cast<uint32_t>(data) << bits);
    if (logical) return bits > 31 ? 0 : static_cast<int32_t>(static_cast<uint32_t>(data) >> bits);
    if (bits > 31) return data < 0 ? -1 : 0;
    return data >> bits;
}

double log_2_star(double x) { return std::log(x) / 0.6931471805599453; }
double exp_star(double x) { return std::pow(2.718281828459045, x); }

// --- Entries ---------------------------------------------------------------------------

int32_t negative_q(bool, const int32_t*) {
    answer(sign_of(arg(0)) < 0);
    return 0;
}

int32_t positive_q(bool, const int32_t*) {
    answer(sign_of(arg(0)) > 0);
    return 0;
}

int32_t sign_q(bool, const int32_t*) {
    *stack::arguments = integer_value(sign_of(arg(0)));
    return 0;
}

int32_t zero_q(bool, const int32_t*) {
    const cell* v = arg(0);
    bool zero = false;
    switch (TYPE_OF(v)) {
        case TYPE_MONEY: zero = money_zero_q(v); break;
        case TYPE_CHAR: case TYPE_INTEGER: zero = v->w2 == 0; break;
        case TYPE_PAIR: zero = v->w2 == 0 && v->w3 == 0; break;
        case TYPE_POINT2D: zero = point_component(v, 0) == 0.0f && point_component(v, 1) == 0.0f; break;
        case TYPE_POINT3D:
            zero = point_component(v, 0) == 0.0f && point_component(v, 1) == 0.0f && point_component(v, 2) == 0.0f;
            break;
        case TYPE_TUPLE: zero = tuple::all_zero_q(v); break;
        default: zero = cell_float(v) == 0.0; break;
    }
    answer(zero);
    return 0;
}

int32_t NaN_q(bool, const int32_t*) {
    answer(TYPE_OF(arg(0)) != TYPE_INTEGER && std::isnan(cell_float(arg(0))));
    return 0;
}

int32_t max(bool, const int32_t*) {
    max_min(true);
    return 0;
}

int32_t min(bool, const int32_t*) {
    max_min(false);
    return 0;
}

int32_t shift(bool, const int32_t* refinements) {
    int32_t r = shift_star(int_at(arg(0)), int_at(arg(1)), refinement_given(refinements, 0),
                           refinement_given(refinements, 1));
    *stack::arguments = integer_value(r);
    return 0;
}

int32_t to_hex(bool, const int32_t* refinements) {
    char digits[9];
    std::snprintf(digits, sizeof digits, "%08X", static_cast<uint32_t>(int_at(arg(0))));
    int32_t keep = 8;
    if (refinement_given(refinements, 0)) {
        cell* length = arg(refinements[0]);
        keep = int_at(length);
        if (keep <= 0) fire(script_error::invalid_arg, length);
        keep = std::min(keep, 8);
    }
    issue::make_at(stack::arguments, digits + 8 - keep);
    return 0;
}

int32_t sine(bool, const int32_t* refinements) {
    answer_float(sine_star(arg_to_float(arg(0)), radians_q(refinements)));
    return 0;
}

int32_t cosine(bool, const int32_t* refinements) {
    answer_float(cosine_star(arg_to_float(arg(0)), radians_q(refinements)));
    return 0;
}

int32_t tangent(bool, const int32_t* refinements) {
    answer_float(tangent_star(arg_to_float(arg(0)), radians_q(refinements)));
    return 0;
}

int32_t arcsine(bool, const int32_t* refinements) {
    answer_float(arc_star(arg_to_float(arg(0)), 2, radians_q(refinements)));
    return 0;
}

int32_t arccosine(bool, const int32_t* refinements) {
    answer_float(arc_star(arg_to_float(arg(0)), 1, radians_q(refinements)));
    return 0;
}

int32_t arctangent(bool, const int32_t* refinements) {
    answer_float(arc_star(arg_to_float(arg(0)), 0, radians_q(refinements)));
    return 0;
}

int32_t arctangent2(bool, const int32_t* refinements) {
    answer_float(arctangent2_star(arg_to_float(arg(0)), arg_to_float(arg(1)), radians_q(refinements)));
    return 0;
}

int32_t log_2(bool, const int32_t*) {
    answer_float(log_2_star(arg_to_float(arg(0))));
    return 0;
}

int32_t log_10(bool, const int32_t*) {
    answer_float(std::log10(arg_to_float(arg(0))));
    return 0;
}

int32_t log_e(bool, const int32_t*) {
    answer_float(std::log(arg_to_float(arg(0))));
    return 0;
}

int32_t exp(bool, const int32_t*) {
    answer_float(exp_star(arg_to_float(arg(0))));
    return 0;
}

int32_t square_root(bool, const int32_t*) {
    answer_float(std::sqrt(arg_to_float(arg(0))));
    return 0;
}

}  // namespace kel::natives
