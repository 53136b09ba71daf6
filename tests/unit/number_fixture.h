// The runtime fixture with integer!, float! and percent! registered, and small builders for
// the cells and frames that their tests need.
#pragma once
#include <string>

#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/money.h"
#include "datatypes/percent.h"
#include "evaluator/actions.h"
#include "runtime/error_catalog.h"
#include "runtime_fixture.h"

namespace kel::testing {

class NumberTest : public RuntimeTest {
protected:
    void SetUp() override {
        RuntimeTest::SetUp();
        integer::init();
        float_::init();
        percent::init();
        money::init();
    }
    void TearDown() override {
        float_::pretty_print_q = false;
        RuntimeTest::TearDown();
    }

    // A new frame of two arguments; returns slot 0.
    static cell* frame(const cell& left, const cell& right) {
        stack::arguments = stack::top;
        stack::push(&left);
        stack::push(&right);
        return stack::arguments;
    }

    // Runs the frame action of the slot for the left operand's type; returns slot 0.
    static cell run(uint32_t slot, const cell& left, const cell& right) {
        cell* result = frame(left, right);
        reinterpret_cast<frame_fn>(type_action(TYPE_OF(&left), slot))();
        return *result;
    }

    static std::string formed(cell value) {
        cell* out = new_buffer();
        form_dispatch(&value, out, nullptr, 1000);
        return text_of(out);
    }
    static std::string molded(cell value) {
        cell* out = new_buffer();
        mold_dispatch(&value, out, false, false, false, nullptr, 1000, 0);
        return text_of(out);
    }

    // A string! on the stack holding the text.
    static cell* text_value(const char* text) {
        cell* s = string::make_at(stack::push_cell(), 16);
        string::concat_cstr(s, text);
        return s;
    }
};

inline cell int_cell(int32_t n) { return cell{TYPE_INTEGER, 0, static_cast<uint32_t>(n), 0}; }
inline cell char_cell(uint32_t cp) { return cell{TYPE_CHAR, 0, cp, 0}; }
inline cell dec(double d) { return float_cell(TYPE_FLOAT, d); }
inline cell pct(double d) { return float_cell(TYPE_PERCENT, d); }
inline cell cash(double d) {
    cell m;
    float_to_money(&m, d, true);
    return m;
}

constexpr uint32_t code_of(script_error e) { return error_code(ERR_SCRIPT, uint32_t(e)); }
constexpr uint32_t code_of(math_error e) { return error_code(ERR_MATH, uint32_t(e)); }

// Refinements of round, as flags.
enum round_mode { PLAIN, EVEN, DOWN, HALF_DOWN, FLOOR, CEILING, HALF_CEILING };

// Rounds slot 0 of a new frame, with slot 1 as the /to scale unless the scale is unset.
inline cell round_value(const cell& value, const cell& scale, round_mode mode) {
    stack::arguments = stack::top;
    cell* v = stack::push(&value);
    cell* s = stack::push(&scale);
    if (TYPE_OF(&scale) == TYPE_UNSET) s = stack::arguments - 1;
    get_action_ptr_by_type<ACT_ROUND>(TYPE_OF(&value))(v, s, mode == EVEN, mode == DOWN,
                                                       mode == HALF_DOWN, mode == FLOOR,
                                                       mode == CEILING, mode == HALF_CEILING);
    return *v;
}

}  // namespace kel::testing
