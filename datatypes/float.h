// float!: an IEEE double in w2-w3. Also the float arithmetic core that integer!, percent!
// and time! share, the float text forms of several types and the tolerant float equality.
#pragma once
#include <cmath>
#include <cstdint>
#include <cstring>

#include "runtime/cell.h"
#include "runtime/stack.h"

namespace kel {

// Equal within 10 units in the last place (or closer than the double epsilon); NaN never.
bool float_almost_equal(double x, double y);
bool float32_almost_equal(float x, float y);

// In [0, limit]: from the process generator, or the secure source.
double random_float(double limit, bool secure);

// Text forms of float_::form_float.
enum float_form : int {
    FORM_FLOAT32 = 0,    // "%.7g"
    FORM_FLOAT = 1,      // "%.16g"
    FORM_PERCENT32 = 2,  // "%.7g", then "%" (the caller multiplies by 100)
    FORM_PERCENT = 3,    // "%.13g", then "%" (the caller multiplies by 100)
    FORM_TIME = 4,       // 6 significant digits
    FORM_POINT = 5,      // "%.7g"
};

namespace float_ {

// Set by the change handler of system/options/float.
extern bool pretty_print_q;
extern bool full_support_q;

void init();

inline double get(const cell* c) { return cell_float(c); }
// type: float! or percent!, which holds its value the same way.
// Keeps the header's flag bits.
inline cell* make_at(cell* c, double d, uint32_t type = TYPE_FLOAT) {
    set_type(c, type);
    set_cell_float(c, d);
    return c;
}
inline cell* box(double d, uint32_t type = TYPE_FLOAT) {
    stack::arguments->header = type;
    set_cell_float(stack::arguments, d);
    return stack::arguments;
}
inline cell* push(double d, uint32_t type = TYPE_FLOAT) {
    cell* c = stack::push_cell();
    c->header = type;
    set_cell_float(c, d);
    return c;
}
// Appends at the block's tail.
cell* make_in(const cell* block, double d, uint32_t type = TYPE_FLOAT);

inline bool NaN_q(double d) { return std::isnan(d); }
inline bool NaN_or_inf_q(double d) { return !std::isfinite(d); }
inline bool NaN32_q(float f) { return f != f; }
inline double abs(double d) { return std::fabs(d); }
// Nearest integer for sizes and positions: ties away from zero, no range check.
inline int32_t round_to_int(double d) { return static_cast<int32_t>(d + 0.49999999999999994); }

// The text of d in the given form, in a static buffer valid until the next call.
const char* form_float(double d, int kind);

// IEEE add, subtract, multiply, divide and remainder (OP_ADD .. OP_REMAINDER); another code
// raises script cannot-use.
double do_math_op(double x, double y, int32_t op);

// Slot 0 (integer!, float!, percent! or time!) op slot 1 into slot 0; returns slot 0.
cell* do_math(int32_t op);

// make and to (target float! or percent!).
const cell* make(cell* proto, cell* spec, uint32_t type);
const cell* random(cell* value, bool seed, bool secure, bool only);
int32_t form(cell* value, cell* buffer, cell* arg, int32_t part);
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent);
int32_t compare(cell* value1, cell* value2, int32_t op);
const cell* negate(cell* value);
const cell* round(cell* value, cell* scale, bool even, bool down, bool half_down, bool floor,
                  bool ceiling, bool half_ceiling);
bool even_q(cell* value);
bool odd_q(cell* value);
// Frame actions: slot 0 and slot 1 of the current frame, the result in slot 0.
void absolute();
void add();
void subtract();
void multiply();
void divide();
void remainder();
void power();

}  // namespace float_
}  // namespace kel
