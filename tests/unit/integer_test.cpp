#include <gtest/gtest.h>

#include <climits>
#include <cmath>

#include "number_fixture.h"
#include "runtime/exits.h"
#include "runtime/random.h"

using namespace kel;
using namespace kel::testing;

namespace {

class Integer : public NumberTest {};

// The cell as integer or double, for table comparisons.
void expect_number(const cell& got, uint32_t type, double value, const char* what) {
    ASSERT_EQ(TYPE_OF(&got), type) << what;
    if (type == TYPE_INTEGER) EXPECT_EQ(integer::get(&got), static_cast<int32_t>(value)) << what;
    else EXPECT_EQ(cell_float(&got), value) << what;
}

}  // namespace

TEST_F(Integer, Arithmetic) {
    struct { uint32_t slot; cell left, right; uint32_t type; double value; const char* what; } cases[] = {
        {ACT_ADD, int_cell(1), int_cell(2), TYPE_INTEGER, 3, "1 + 2"},
        {ACT_ADD, int_cell(INT32_MAX), int_cell(1), TYPE_FLOAT, 2147483648.0, "max + 1"},
        {ACT_SUBTRACT, int_cell(INT32_MIN), int_cell(1), TYPE_FLOAT, -2147483649.0, "min - 1"},
        {ACT_MULTIPLY, int_cell(65536), int_cell(65536), TYPE_FLOAT, 4294967296.0, "65536 * 65536"},
        {ACT_MULTIPLY, int_cell(-46341), int_cell(46340), TYPE_INTEGER, -2147441940, "no overflow"},
        {ACT_DIVIDE, int_cell(7), int_cell(2), TYPE_FLOAT, 3.5, "7 / 2"},
        {ACT_DIVIDE, int_cell(-7), int_cell(2), TYPE_FLOAT, -3.5, "-7 / 2"},
        {ACT_DIVIDE, int_cell(8), int_cell(2), TYPE_INTEGER, 4, "8 / 2"},
        {ACT_DIVIDE, int_cell(INT32_MIN), int_cell(1), TYPE_INTEGER, INT32_MIN, "min / 1"},
        {ACT_REMAINDER, int_cell(-7), int_cell(2), TYPE_INTEGER, -1, "-7 // 2"},
        {ACT_REMAINDER, int_cell(7), int_cell(-2), TYPE_INTEGER, 1, "7 // -2"},
        {ACT_AND, int_cell(12), int_cell(10), TYPE_INTEGER, 8, "and"},
        {ACT_OR, int_cell(12), int_cell(10), TYPE_INTEGER, 14, "or"},
        {ACT_XOR, int_cell(12), int_cell(10), TYPE_INTEGER, 6, "xor"},
        {ACT_ADD, int_cell(1), char_cell('A'), TYPE_INTEGER, 66, "1 + char"},
        {ACT_ADD, int_cell(1), dec(2.5), TYPE_FLOAT, 3.5, "1 + 2.5"},
        {ACT_MULTIPLY, int_cell(2), pct(0.5), TYPE_FLOAT, 1.0, "2 * 50%"},
        {ACT_DIVIDE, int_cell(1), dec(0.0), TYPE_FLOAT, INFINITY, "1 / 0.0"},
        {ACT_REMAINDER, int_cell(7), dec(2.5), TYPE_FLOAT, 2.0, "7 // 2.5"},
    };
    for (auto& c : cases) expect_number(run(c.slot, c.left, c.right), c.type, c.value, c.what);
}

TEST_F(Integer, ArithmeticErrors) {
    cell none = none_value;
    struct { uint32_t slot; cell left, right; uint32_t code; } cases[] = {
        {ACT_DIVIDE, int_cell(5), int_cell(0), code_of(math_error::zero_divide)},
        {ACT_REMAINDER, int_cell(5), int_cell(0), code_of(math_error::zero_divide)},
        {ACT_DIVIDE, int_cell(INT32_MIN), int_cell(-1), code_of(math_error::overflow)},
        {ACT_REMAINDER, int_cell(INT32_MIN), int_cell(-1), code_of(math_error::overflow)},
        {ACT_ADD, int_cell(1), none, code_of(script_error::invalid_type)},
        {ACT_OR, int_cell(1), dec(2.5), code_of(script_error::cannot_use)},
    };
    for (auto& c : cases) {
        EXPECT_EQ(raised_code([&] { run(c.slot, c.left, c.right); }), c.code) << c.slot;
        // The operands stand as they were.
        EXPECT_EQ(integer::get(stack::arguments), integer::get(&c.left));
    }
    EXPECT_EQ(last_raised_error().args[1].w1, uint32_t(TYPE_FLOAT));  // cannot use on float!
}

TEST_F(Integer, OperationWithoutResultCell) {
    EXPECT_EQ(integer::do_math_op(7, 2, OP_DIVIDE, nullptr), 3);  // truncates
    EXPECT_EQ(integer::do_math_op(-7, 2, OP_DIVIDE, nullptr), -3);
    EXPECT_EQ(raised_code([] { integer::do_math_op(INT32_MAX, 1, OP_ADD, nullptr); }),
              code_of(math_error::overflow));
}

TEST_F(Integer, Power) {
    struct { cell base, exponent; uint32_t type; double value; const char* what; } cases[] = {
        {int_cell(2), int_cell(10), TYPE_INTEGER, 1024, "2 ** 10"},
        {int_cell(2), int_cell(30), TYPE_INTEGER, 1073741824, "2 ** 30"},
        {int_cell(2), int_cell(31), TYPE_FLOAT, 2147483648.0, "2 ** 31"},
        {int_cell(-2), int_cell(31), TYPE_INTEGER, INT32_MIN, "-2 ** 31"},
        {int_cell(65536), int_cell(3), TYPE_FLOAT, 281474976710656.0, "base squared overflows"},
        {int_cell(2), int_cell(-2), TYPE_FLOAT, 0.25, "2 ** -2"},
        {int_cell(2), int_cell(-1), TYPE_FLOAT, 0.5, "2 ** -1"},
        {int_cell(2), dec(0.5), TYPE_FLOAT, std::sqrt(2.0), "2 ** 0.5"},
        {int_cell(0), int_cell(0), TYPE_INTEGER, 1, "0 ** 0"},
        {int_cell(-3), int_cell(3), TYPE_INTEGER, -27, "-3 ** 3"},
    };
    for (auto& c : cases) expect_number(run(ACT_POWER, c.base, c.exponent), c.type, c.value, c.what);

    int32_t result = 0;
    EXPECT_EQ(integer::power_int(2, 31, result), THROW_POWER_OVERFLOW);
    EXPECT_EQ(raised_code([] { run(ACT_POWER, int_cell(2), pct(0.5)); }),
              code_of(script_error::expect_arg));
    EXPECT_EQ(last_raised_error().args[1].w1, uint32_t(TYPE_PERCENT));
}

TEST_F(Integer, Round) {
    cell no_scale = unset_value;
    struct { int32_t value; cell scale; round_mode mode; int32_t expected; } cases[] = {
        {17, int_cell(5), PLAIN, 15},
        {18, int_cell(5), PLAIN, 20},
        {-17, int_cell(5), PLAIN, -15},
        {-18, int_cell(5), PLAIN, -20},
        {-17, int_cell(5), FLOOR, -20},
        {17, int_cell(5), FLOOR, 15},
        {-17, int_cell(5), CEILING, -15},
        {17, int_cell(5), CEILING, 20},
        {-18, int_cell(5), DOWN, -15},
        {15, int_cell(10), PLAIN, 20},
        {-15, int_cell(10), PLAIN, -20},
        {15, int_cell(10), EVEN, 20},
        {25, int_cell(10), EVEN, 20},
        {15, int_cell(10), HALF_DOWN, 10},
        {-15, int_cell(10), HALF_CEILING, -10},
        {15, int_cell(10), HALF_CEILING, 20},
        {17, int_cell(-5), PLAIN, 15},  // the scale's sign does not count
        {17, int_cell(0), PLAIN, 17},
        {20, int_cell(5), PLAIN, 20},
        {7, no_scale, PLAIN, 7},
        {INT32_MIN, int_cell(10), PLAIN, INT32_MIN},
        {INT32_MIN, int_cell(INT32_MIN), PLAIN, INT32_MIN},
    };
    for (auto& c : cases) {
        cell r = round_value(int_cell(c.value), c.scale, c.mode);
        EXPECT_EQ(TYPE_OF(&r), uint32_t(TYPE_INTEGER));
        EXPECT_EQ(integer::get(&r), c.expected) << c.value << " mode " << c.mode;
    }
}

TEST_F(Integer, RoundByAFloatScaleGivesAFloat) {
    cell r = round_value(int_cell(7), dec(0.5), PLAIN);
    EXPECT_EQ(TYPE_OF(&r), uint32_t(TYPE_FLOAT));
    EXPECT_EQ(cell_float(&r), 7.0);
    r = round_value(int_cell(7), dec(2.0), HALF_DOWN);
    EXPECT_EQ(cell_float(&r), 6.0);
}

TEST_F(Integer, RoundErrors) {
    uint32_t overflow = code_of(math_error::overflow);
    EXPECT_EQ(raised_code([] { round_value(int_cell(INT32_MAX), int_cell(10), PLAIN); }), overflow);
    EXPECT_EQ(raised_code([] { round_value(int_cell(INT32_MAX), int_cell(10), CEILING); }), overflow);
    EXPECT_EQ(raised_code([] { round_value(int_cell(5), int_cell(INT32_MIN), PLAIN); }), overflow);
    cell money{TYPE_MONEY, 0, 0, 0};
    EXPECT_EQ(raised_code([&] { round_value(int_cell(5), money, PLAIN); }),
              code_of(script_error::not_related));
}

TEST_F(Integer, MakeAndTo) {
    struct { bool make; cell spec; int32_t expected; } cases[] = {
        {false, int_cell(5), 5},
        {false, char_cell('A'), 65},
        {false, dec(2.7), 2},
        {false, dec(-2.7), -2},
        {false, dec(-2147483648.0), INT32_MIN},
        {false, pct(1.5), 1},
        {false, float_cell(TYPE_TIME, 59.5), 60},
        {true, true_value, 1},
        {true, false_value, 0},
        {true, dec(3.9), 3},
    };
    cell proto{TYPE_DATATYPE, TYPE_INTEGER, 0, 0};
    for (auto& c : cases) {
        cell p = proto;
        const cell* r = c.make ? make_dispatch(&p, &c.spec, TYPE_INTEGER)
                               : to_dispatch(&p, &c.spec, TYPE_INTEGER);
        EXPECT_EQ(TYPE_OF(r), uint32_t(TYPE_INTEGER));
        EXPECT_EQ(integer::get(r), c.expected) << TYPE_OF(&c.spec);
    }
}

TEST_F(Integer, ToFromText) {
    struct { const char* text; int32_t expected; uint32_t code; } cases[] = {
        {"12", 12, 0},
        {"1'000", 1000, 0},
        {"-2147483648", INT32_MIN, 0},
        {"+0", 0, 0},
        {"12a", 0, code_of(script_error::bad_to_arg)},
        {"2147483648", 0, code_of(script_error::bad_to_arg)},
        {"", 0, code_of(script_error::bad_to_arg)},
        {"1.5", 0, code_of(script_error::bad_to_arg)},
    };
    for (auto& c : cases) {
        cell* proto = datatype::push(TYPE_INTEGER);
        cell* text = text_value(c.text);
        text->w1 = 0;
        uint32_t code = raised_code([&] {
            const cell* r = to_dispatch(proto, text, TYPE_INTEGER);
            EXPECT_EQ(integer::get(r), c.expected) << c.text;
        });
        EXPECT_EQ(code, c.code) << c.text;
    }
    cell* proto = datatype::push(TYPE_INTEGER);
    cell* text = text_value("x12");
    text->w1 = 1;  // from the value's position
    EXPECT_EQ(integer::get(to_dispatch(proto, text, TYPE_INTEGER)), 12);
}

TEST_F(Integer, ConversionErrors) {
    cell proto{TYPE_DATATYPE, TYPE_INTEGER, 0, 0};
    struct { bool make; cell spec; uint32_t code; } cases[] = {
        {false, dec(2147483648.0), code_of(script_error::type_limit)},
        {false, dec(-2147483649.0), code_of(script_error::type_limit)},
        {false, dec(NAN), code_of(script_error::type_limit)},
        {false, true_value, code_of(script_error::bad_to_arg)},
        {true, none_value, code_of(script_error::bad_to_arg)},
    };
    for (auto& c : cases) {
        cell p = proto;
        EXPECT_EQ(raised_code([&] {
                      c.make ? make_dispatch(&p, &c.spec, TYPE_INTEGER)
                             : to_dispatch(&p, &c.spec, TYPE_INTEGER);
                  }),
                  c.code);
        EXPECT_EQ(last_raised_error().args[0].w1, uint32_t(TYPE_INTEGER));
    }
}

TEST_F(Integer, FormAndMold) {
    struct { int32_t n; const char* text; } cases[] = {
        {0, "0"}, {-2147483648, "-2147483648"}, {2147483647, "2147483647"}, {-5, "-5"}, {120, "120"},
    };
    for (auto& c : cases) {
        EXPECT_EQ(formed(int_cell(c.n)), c.text);
        EXPECT_EQ(molded(int_cell(c.n)), c.text);
    }
    cell v = int_cell(-42);
    EXPECT_EQ(form_dispatch(&v, new_buffer(), nullptr, 10), 7);  // the budget less 3
}

TEST_F(Integer, Comparisons) {
    cell text = none_value;
    struct { cell a, b; int32_t op; bool expected; } cases[] = {
        {int_cell(1), int_cell(1), COMP_EQUAL, true},
        {int_cell(-1), int_cell(1), COMP_LESSER, true},
        {int_cell(INT32_MIN), int_cell(INT32_MAX), COMP_LESSER, true},
        {int_cell(65), dec(65.0), COMP_EQUAL, true},
        {int_cell(1), pct(1.0), COMP_EQUAL, true},
        {int_cell(65), char_cell('A'), COMP_EQUAL, true},
        {int_cell(65), char_cell('A'), COMP_STRICT_EQUAL, false},
        {int_cell(1), dec(1.0), COMP_STRICT_EQUAL, false},
        {int_cell(1), dec(1.0), COMP_SAME, false},
        {int_cell(2), dec(1.5), COMP_GREATER, true},
        {int_cell(1), text, COMP_EQUAL, false},
        {int_cell(1), text, COMP_NOT_EQUAL, true},
    };
    for (auto& c : cases)
        EXPECT_EQ(actions::compare(&c.a, &c.b, c.op), c.expected)
            << integer::get(&c.a) << " op " << c.op << " type " << TYPE_OF(&c.b);
    cell a = int_cell(1);
    EXPECT_EQ(raised_code([&] { actions::compare(&a, &text, COMP_LESSER); }),
              code_of(script_error::invalid_compare));
}

TEST_F(Integer, UnaryActions) {
    cell v = int_cell(-5);
    EXPECT_EQ(integer::get(get_action_ptr_by_type<ACT_NEGATE>(TYPE_INTEGER)(&v)), 5);
    EXPECT_EQ(integer::get(get_action_ptr_by_type<ACT_COMPLEMENT>(TYPE_INTEGER)(&v)), -6);
    EXPECT_TRUE(get_action_ptr_by_type<ACT_EVEN_Q>(TYPE_INTEGER)(&v));
    EXPECT_FALSE(get_action_ptr_by_type<ACT_ODD_Q>(TYPE_INTEGER)(&v));
    EXPECT_EQ(integer::get(&(v = run(ACT_ABSOLUTE, int_cell(-7), none_value))), 7);

    cell min = int_cell(INT32_MIN);
    uint32_t overflow = code_of(math_error::overflow);
    EXPECT_EQ(raised_code([&] { get_action_ptr_by_type<ACT_NEGATE>(TYPE_INTEGER)(&min); }), overflow);
    EXPECT_EQ(raised_code([&] { run(ACT_ABSOLUTE, min, none_value); }), overflow);
}

TEST_F(Integer, Random) {
    random_fn random = get_action_ptr_by_type<ACT_RANDOM>(TYPE_INTEGER);
    random_seed(uint32_t(-9));
    uint32_t first = random_next();
    cell v = int_cell(-9);
    EXPECT_EQ(random(&v, true, false, false), &unset_value);
    EXPECT_EQ(random_next(), first);

    struct { int32_t bound, low, high; } cases[] = {
        {1, 1, 1}, {3, 1, 3}, {-3, -3, -1}, {0, 0, 0}, {INT32_MIN, INT32_MIN, -1},
    };
    for (auto& c : cases) {
        for (bool secure : {false, true}) {
            v = int_cell(c.bound);
            random(&v, false, secure, false);
            EXPECT_GE(integer::get(&v), c.low) << c.bound;
            EXPECT_LE(integer::get(&v), c.high) << c.bound;
        }
    }
}

TEST_F(Integer, Registration) {
    EXPECT_STREQ(type_names[TYPE_INTEGER].name, "integer!");
    for (uint32_t slot : {ACT_REFLECT, ACT_EVAL_PATH, ACT_APPEND, ACT_LENGTH_Q, ACT_WRITE})
        EXPECT_EQ(type_action(TYPE_INTEGER, slot), nullptr) << slot;
    cell v = int_cell(1), s = int_cell(2);
    EXPECT_EQ(raised_code([&] { get_action_ptr_by_type<ACT_APPEND>(TYPE_INTEGER)(&v, &s, -1, false, 1, true); }),
              code_of(script_error::expect_arg));
}

TEST_F(Integer, CellHelpersSurviveCollections) {
    cell* block = stack::push_cell();
    set_series_value(block, TYPE_BLOCK, alloc_cells(1), 0);
    for (int32_t i = 0; i < 40; i++) integer::make_in(block, i * 3);
    float_::make_in(block, 0.5);
    series_buffer* b = node_buffer(series_node(block));
    ASSERT_EQ(b->used_bytes() / sizeof(cell), 41u);
    EXPECT_EQ(integer::get(b->cells() + 39), 117);
    EXPECT_EQ(float_::get(b->cells() + 40), 0.5);
}

TEST_F(Integer, WithMoney) {
    struct { uint32_t slot; cell left, right; double expected; } cases[] = {
        {ACT_ADD, int_cell(1), cash(1.5), 2.5},
        {ACT_MULTIPLY, int_cell(2), cash(3), 6.0},
        {ACT_SUBTRACT, int_cell(1), cash(0.25), 0.75},
    };
    for (auto& c : cases) {
        cell r = run(c.slot, c.left, c.right);
        ASSERT_EQ(TYPE_OF(&r), uint32_t(TYPE_MONEY)) << c.slot;
        EXPECT_EQ(money_to_float(&r), c.expected) << c.slot;
    }
    EXPECT_EQ(raised_code([] { run(ACT_DIVIDE, int_cell(1), cash(2)); }),
              code_of(script_error::invalid_type));
    EXPECT_EQ(last_raised_error().args[0].w1, uint32_t(TYPE_INTEGER));

    cell two = int_cell(2), two_dollars = cash(2), three_dollars = cash(3);
    EXPECT_TRUE(actions::compare(&two, &two_dollars, COMP_EQUAL));
    EXPECT_FALSE(actions::compare(&two, &two_dollars, COMP_STRICT_EQUAL));
    EXPECT_TRUE(actions::compare(&two, &three_dollars, COMP_LESSER));

    cell proto{TYPE_DATATYPE, TYPE_INTEGER, 0, 0}, amount = cash(-12.75);
    EXPECT_EQ(integer::get(to_dispatch(&proto, &amount, TYPE_INTEGER)), -12);
}
