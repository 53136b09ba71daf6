#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>

#include "number_fixture.h"
#include "runtime/random.h"

using namespace kel;
using namespace kel::testing;

namespace {

class Float : public NumberTest {};

// The double n steps above d.
double steps_above(double d, int n) {
    while (n-- > 0) d = std::nextafter(d, INFINITY);
    return d;
}

}  // namespace

TEST_F(Float, FormKinds) {
    struct { double value; int kind; bool pretty; const char* text; } cases[] = {
        {1e17, FORM_FLOAT, false, "1.0e17"},
        {100.0, FORM_FLOAT, false, "100.0"},
        {0.1, FORM_FLOAT, false, "0.1"},
        {-2.0, FORM_FLOAT, false, "-2.0"},
        {1.5e-7, FORM_FLOAT, false, "1.5e-7"},
        {1e-7, FORM_FLOAT, false, "1.0e-7"},
        {1.0 / 3, FORM_FLOAT, false, "0.3333333333333333"},
        {0.1 + 0.2, FORM_FLOAT, false, "0.3"},
        {1.234567890123401, FORM_FLOAT, false, "1.234567890123401"},
        {1.234567890123401, FORM_FLOAT, true, "1.2345678901234"},
        {-0.1234567890123401, FORM_FLOAT, true, "-0.12345678901234"},
        {1e-20, FORM_FLOAT, false, "9.999999999999999e-21"},  // sixteen digits show the error
        {2e-20, FORM_FLOAT, false, "2.0e-20"},
        {1e-20, FORM_FLOAT, true, "0.0"},
        {INFINITY, FORM_FLOAT, false, "1.#INF"},
        {-INFINITY, FORM_PERCENT, false, "-1.#INF%"},
        {NAN, FORM_FLOAT32, false, "1.#NaN"},
        {1.0 / 3, FORM_FLOAT32, false, "0.3333333"},
        {2.0, FORM_FLOAT32, false, "2.0"},
        {50.0, FORM_PERCENT32, false, "50%"},
        {1.0 / 3, FORM_PERCENT, false, "0.3333333333333%"},
        {1e20, FORM_PERCENT, false, "1e20%"},
        {1e-20, FORM_PERCENT, true, "0%"},
        {12.3456789, FORM_TIME, false, "12.3457"},
        {5.0, FORM_TIME, false, "5"},
        {1e-20, FORM_TIME, true, "0.0"},
        {2.0, FORM_POINT, false, "2"},
        {1e-20, FORM_POINT, true, "0"},
        {1.5e-9, FORM_POINT, false, "1.5e-9"},
    };
    for (auto& c : cases) {
        float_::pretty_print_q = c.pretty;
        EXPECT_STREQ(float_::form_float(c.value, c.kind), c.text) << c.value << " kind " << c.kind;
    }
}

TEST_F(Float, FormAndMold) {
    struct { double value; const char* form; const char* mold; } cases[] = {
        {0.1, "0.1", "0.1"},
        {3.0, "3.0", "3.0"},
        {1e20, "1.0e20", "1.0e20"},
        {0.1 + 0.2, "0.3", "0.30000000000000004"},
        {-0.0, "-0.0", "-0.0"},
        {NAN, "1.#NaN", "1.#NaN"},
    };
    for (auto& c : cases) {
        EXPECT_EQ(formed(dec(c.value)), c.form) << c.value;
        EXPECT_EQ(molded(dec(c.value)), c.mold) << c.value;
    }
}

TEST_F(Float, Arithmetic) {
    cell time = float_cell(TYPE_TIME, 60.0);
    struct { uint32_t slot; cell left, right; uint32_t type; double value; const char* what; } cases[] = {
        {ACT_ADD, dec(0.1), dec(0.2), TYPE_FLOAT, 0.1 + 0.2, "0.1 + 0.2"},
        {ACT_SUBTRACT, dec(1.5), int_cell(2), TYPE_FLOAT, -0.5, "1.5 - 2"},
        {ACT_MULTIPLY, pct(0.5), int_cell(2), TYPE_PERCENT, 1.0, "50% * 2"},
        {ACT_ADD, pct(0.5), dec(1.0), TYPE_PERCENT, 1.5, "50% + 1.0"},
        {ACT_ADD, pct(0.5), pct(0.25), TYPE_PERCENT, 0.75, "50% + 25%"},
        {ACT_MULTIPLY, dec(2.0), pct(0.5), TYPE_FLOAT, 1.0, "2.0 * 50%"},
        {ACT_ADD, dec(1.5), time, TYPE_TIME, 61.5, "1.5 + time"},
        {ACT_ADD, pct(0.5), time, TYPE_TIME, 60.5, "50% + time"},
        {ACT_ADD, dec(1.0), char_cell('A'), TYPE_FLOAT, 66.0, "1.0 + char"},
        {ACT_DIVIDE, dec(1.0), dec(0.0), TYPE_FLOAT, INFINITY, "1 / 0.0"},
        {ACT_DIVIDE, dec(-1.0), int_cell(0), TYPE_FLOAT, -INFINITY, "-1 / 0"},
        {ACT_REMAINDER, dec(7.5), int_cell(2), TYPE_FLOAT, 1.5, "7.5 // 2"},
        {ACT_REMAINDER, dec(-7.5), int_cell(2), TYPE_FLOAT, -1.5, "-7.5 // 2"},
        {ACT_REMAINDER, dec(1.0), dec(INFINITY), TYPE_FLOAT, 1.0, "1 // inf"},
    };
    for (auto& c : cases) {
        cell r = run(c.slot, c.left, c.right);
        EXPECT_EQ(TYPE_OF(&r), c.type) << c.what;
        EXPECT_EQ(cell_float(&r), c.value) << c.what;
    }
    cell r = run(ACT_DIVIDE, dec(0.0), dec(0.0));
    EXPECT_TRUE(std::isnan(cell_float(&r)));
    r = run(ACT_REMAINDER, dec(INFINITY), dec(2.0));
    EXPECT_TRUE(std::isnan(cell_float(&r)));
}

TEST_F(Float, OperandTypeErrors) {
    cell time = float_cell(TYPE_TIME, 60.0);
    struct { cell left, right; } cases[] = {
        {dec(1.0), none_value},
        {pct(0.5), char_cell('A')},
        {time, char_cell('A')},
        {dec(1.0), true_value},
    };
    for (auto& c : cases) {
        // The shared core, as time! arithmetic reaches it too.
        EXPECT_EQ(raised_code([&] {
                      frame(c.left, c.right);
                      float_::do_math(OP_ADD);
                  }),
                  code_of(script_error::invalid_type));
        EXPECT_EQ(last_raised_error().args[0].w1, TYPE_OF(&c.right));
    }
}

TEST_F(Float, Comparisons) {
    cell time = float_cell(TYPE_TIME, 1.0);
    struct { cell a, b; int32_t op; bool expected; const char* what; } cases[] = {
        {dec(0.1 + 0.2), dec(0.3), COMP_EQUAL, true, "0.1 + 0.2 = 0.3"},
        {dec(0.1 + 0.2), dec(0.3), COMP_STRICT_EQUAL, false, "strict"},
        {dec(0.1 + 0.2), dec(0.3), COMP_NOT_EQUAL, false, "not equal"},
        {dec(0.0), dec(-0.0), COMP_EQUAL, true, "zeros equal"},
        {dec(0.0), dec(-0.0), COMP_SAME, false, "zeros not the same"},
        {dec(NAN), dec(NAN), COMP_EQUAL, false, "NaN = NaN"},
        {dec(NAN), dec(NAN), COMP_STRICT_EQUAL, false, "NaN == NaN"},
        {dec(NAN), dec(1.0), COMP_LESSER, false, "NaN < 1"},
        {dec(NAN), dec(1.0), COMP_GREATER, false, "NaN > 1"},
        {dec(NAN), dec(1.0), COMP_LESSER_EQUAL, false, "NaN <= 1"},
        {dec(1.0), dec(NAN), COMP_GREATER_EQUAL, false, "1 >= NaN"},
        {dec(1.0), dec(2.0), COMP_LESSER, true, "1 < 2"},
        {dec(65.0), int_cell(65), COMP_EQUAL, true, "65.0 = 65"},
        {dec(65.0), int_cell(65), COMP_STRICT_EQUAL, false, "65.0 == 65"},
        {dec(0.5), pct(0.5), COMP_EQUAL, true, "0.5 = 50%"},
        {dec(0.5), pct(0.5), COMP_STRICT_EQUAL, false, "0.5 == 50%"},
        {dec(1.0), time, COMP_EQUAL, true, "1.0 = time"},
        {dec(INFINITY), dec(DBL_MAX), COMP_EQUAL, false, "inf = max"},
        {dec(65.0), char_cell('A'), COMP_EQUAL, false, "chars do not compare"},
    };
    for (auto& c : cases) EXPECT_EQ(actions::compare(&c.a, &c.b, c.op), c.expected) << c.what;
}

TEST_F(Float, AlmostEqualWithinTenSteps) {
    struct { double x, y; bool expected; } cases[] = {
        {1.0, steps_above(1.0, 10), true},
        {1.0, steps_above(1.0, 11), false},
        {-1.0, -steps_above(1.0, 10), true},
        {-1e300, -steps_above(1e300, 11), false},
        {-DBL_MIN, steps_above(-DBL_MIN, 10), true},
        {1e-300, -1e-300, true},  // closer than the epsilon
        {1.0, 1.0 + 4 * DBL_EPSILON, true},
        {INFINITY, INFINITY, true},
        {NAN, NAN, false},
    };
    for (auto& c : cases) EXPECT_EQ(float_almost_equal(c.x, c.y), c.expected) << c.x << " " << c.y;

    struct { float x, y; bool expected; } single[] = {
        {1.0f, std::nextafter(1.0f, 2.0f), true},
        {0.0f, -0.0f, true},
        {INFINITY, INFINITY, true},
        {INFINITY, FLT_MAX, false},
        {NAN, NAN, false},
        {1.0f, 1.001f, false},
    };
    for (auto& c : single) EXPECT_EQ(float32_almost_equal(c.x, c.y), c.expected) << c.x;
    EXPECT_TRUE(float_::NaN32_q(NAN));
}

TEST_F(Float, Round) {
    cell plain = unset_value;
    struct { cell value, scale; round_mode mode; uint32_t type; double expected; } cases[] = {
        {dec(2.5), plain, PLAIN, TYPE_FLOAT, 3.0},
        {dec(2.5), plain, EVEN, TYPE_FLOAT, 2.0},
        {dec(3.5), plain, EVEN, TYPE_FLOAT, 4.0},
        {dec(2.5), plain, HALF_DOWN, TYPE_FLOAT, 2.0},
        {dec(-2.5), plain, PLAIN, TYPE_FLOAT, -3.0},
        {dec(-2.5), plain, HALF_CEILING, TYPE_FLOAT, -2.0},
        {dec(2.5), plain, HALF_CEILING, TYPE_FLOAT, 3.0},
        {dec(-2.5), plain, FLOOR, TYPE_FLOAT, -3.0},
        {dec(-2.4), plain, CEILING, TYPE_FLOAT, -2.0},
        {dec(-2.7), plain, DOWN, TYPE_FLOAT, -2.0},
        {dec(2.4), plain, PLAIN, TYPE_FLOAT, 2.0},
        {dec(3.14159), dec(0.01), PLAIN, TYPE_FLOAT, 3.14},
        {dec(1234.0), int_cell(-100), PLAIN, TYPE_INTEGER, 1200},
        {dec(3.7), int_cell(1), PLAIN, TYPE_INTEGER, 4},
        {dec(3.7), pct(0.5), PLAIN, TYPE_PERCENT, 3.5},
        {dec(1e300), int_cell(1), PLAIN, TYPE_FLOAT, 1e300},  // already whole: unchanged
        {dec(2.5), dec(0.0), PLAIN, TYPE_FLOAT, 2.5},
        {dec(4503599627370496.0), plain, PLAIN, TYPE_FLOAT, 4503599627370496.0},
        {pct(0.126), plain, PLAIN, TYPE_PERCENT, 0.13},
        {pct(0.12345), dec(0.1), PLAIN, TYPE_FLOAT, 0.123},
    };
    for (auto& c : cases) {
        cell r = round_value(c.value, c.scale, c.mode);
        ASSERT_EQ(TYPE_OF(&r), c.type) << cell_float(&c.value) << " mode " << c.mode;
        if (c.type == TYPE_INTEGER) EXPECT_EQ(integer::get(&r), c.expected);
        else EXPECT_DOUBLE_EQ(cell_float(&r), c.expected) << cell_float(&c.value) << " mode " << c.mode;
    }
}

TEST_F(Float, RoundEdges) {
    // A scale whose inverse overflows is taken apart first.
    cell r = round_value(dec(3.3e-310), dec(1e-310), PLAIN);
    EXPECT_TRUE(float_almost_equal(cell_float(&r), 3e-310)) << cell_float(&r);
    r = round_value(dec(NAN), int_cell(1), PLAIN);
    EXPECT_TRUE(std::isnan(cell_float(&r)));

    uint32_t overflow = code_of(math_error::overflow);
    EXPECT_EQ(raised_code([] { round_value(dec(1.7e308), dec(1e308), PLAIN); }), overflow);
    EXPECT_EQ(raised_code([] { round_value(dec(1e10), int_cell(1), PLAIN); }), overflow);
    cell money{TYPE_MONEY, 0, 0, 0};
    EXPECT_EQ(raised_code([&] { round_value(dec(1.5), money, PLAIN); }),
              code_of(script_error::not_related));
}

TEST_F(Float, MakeAndTo) {
    struct { uint32_t target; cell spec; uint32_t type; double expected; } cases[] = {
        {TYPE_FLOAT, int_cell(3), TYPE_FLOAT, 3.0},
        {TYPE_FLOAT, char_cell('A'), TYPE_FLOAT, 65.0},
        {TYPE_PERCENT, dec(0.5), TYPE_PERCENT, 0.5},
        {TYPE_FLOAT, pct(0.5), TYPE_FLOAT, 0.5},
        {TYPE_FLOAT, float_cell(TYPE_TIME, 90.5), TYPE_FLOAT, 90.5},
        {TYPE_PERCENT, int_cell(50), TYPE_PERCENT, 50.0},
    };
    for (auto& c : cases) {
        cell proto{TYPE_DATATYPE, c.target, 0, 0};
        const cell* r = to_dispatch(&proto, &c.spec, c.target);
        EXPECT_EQ(TYPE_OF(r), c.type);
        EXPECT_EQ(cell_float(r), c.expected);
    }
}

TEST_F(Float, MakeFromBlocksAndText) {
    auto block_of = [](std::initializer_list<cell> items) {
        cell* b = stack::push_cell();
        set_series_value(b, TYPE_BLOCK, alloc_cells(4), 0);
        for (const cell& item : items) *kel::alloc_tail(b) = item;
        return b;
    };
    cell* hash = block_of({int_cell(3), int_cell(2)});
    set_type(hash, TYPE_HASH);
    struct { cell* spec; double expected; } good[] = {
        {block_of({int_cell(1), int_cell(3)}), 1000.0},
        {hash, 300.0},
        {block_of({dec(2.5), int_cell(-1)}), 0.25},
        {block_of({int_cell(2), dec(2.9)}), 200.0},  // the exponent is truncated
        {text_value("1,5"), 1.5},
        {text_value("-1'234.5e-1"), -123.45},
    };
    for (auto& c : good) {
        cell* proto = datatype::push(TYPE_FLOAT);
        EXPECT_DOUBLE_EQ(cell_float(make_dispatch(proto, c.spec, TYPE_FLOAT)), c.expected);
    }
    cell none = none_value;
    cell* bad[] = {
        block_of({int_cell(1)}),
        block_of({int_cell(1), int_cell(2), int_cell(3)}),
        block_of({int_cell(1), none_value}),
        text_value(""),
        text_value("1.5x"),
        &none,
    };
    for (cell* spec : bad) {
        cell* proto = datatype::push(TYPE_FLOAT);
        EXPECT_EQ(raised_code([&] { to_dispatch(proto, spec, TYPE_FLOAT); }),
                  code_of(script_error::bad_to_arg));
        EXPECT_EQ(last_raised_error().args[0].w1, uint32_t(TYPE_FLOAT));
    }
}

TEST_F(Float, ToFromBinaryTakesUpToEightBytesAsTheLowBits) {
    auto binary = [](std::initializer_list<uint8_t> bytes, uint32_t head) {
        cell* b = stack::push(&none_value);
        set_series_value(b, TYPE_BINARY, alloc_bytes(16), 0);
        series_buffer* buffer = node_buffer(series_node(b));
        std::copy(bytes.begin(), bytes.end(), alloc_tail_bytes(buffer, bytes.size()));
        b->w1 = head;
        return b;
    };
    struct { cell* spec; uint32_t target; double expected; } cases[] = {
        {binary({0x3F, 0xF0, 0, 0, 0, 0, 0, 0}, 0), TYPE_FLOAT, 1.0},
        {binary({0xC0, 0, 0, 0, 0, 0, 0, 0, 0xFF}, 0), TYPE_FLOAT, -2.0},
        {binary({0xFF, 0x3F, 0xE0, 0, 0, 0, 0, 0, 0}, 1), TYPE_PERCENT, 0.5},
        {binary({0x01}, 0), TYPE_FLOAT, 4.9406564584124654e-324},
        {binary({0x01, 0x00}, 0), TYPE_FLOAT, 256 * 4.9406564584124654e-324},
        {binary({0x3F}, 1), TYPE_FLOAT, 0.0},
        {binary({}, 0), TYPE_FLOAT, 0.0},
    };
    for (auto& c : cases) {
        cell* proto = datatype::push(c.target);
        const cell* r = to_dispatch(proto, c.spec, c.target);
        EXPECT_EQ(TYPE_OF(r), c.target);
        EXPECT_DOUBLE_EQ(cell_float(r), c.expected);
    }
}

TEST_F(Float, PowerAndUnaryActions) {
    cell r = run(ACT_POWER, dec(2.0), int_cell(3));
    EXPECT_EQ(cell_float(&r), 8.0);
    r = run(ACT_POWER, pct(0.5), dec(2.0));
    EXPECT_EQ(TYPE_OF(&r), uint32_t(TYPE_PERCENT));
    EXPECT_EQ(cell_float(&r), 0.25);
    EXPECT_EQ(raised_code([] { run(ACT_POWER, dec(2.0), none_value); }),
              code_of(script_error::expect_arg));

    for (double d : {0.0, -0.0}) {
        cell v = dec(d);
        get_action_ptr_by_type<ACT_NEGATE>(TYPE_FLOAT)(&v);
        EXPECT_EQ(cell_float(&v), 0.0);
        EXPECT_FALSE(std::signbit(cell_float(&v))) << d;
    }
    r = run(ACT_ABSOLUTE, dec(-2.5), none_value);
    EXPECT_EQ(cell_float(&r), 2.5);

    struct { double value; bool even; } parity[] = {
        {2.7, true}, {3.2, false}, {-3.9, false}, {1e10, true}, {-1e10, true}, {NAN, true},
    };
    for (auto& c : parity) {
        cell v = dec(c.value);
        EXPECT_EQ(get_action_ptr_by_type<ACT_EVEN_Q>(TYPE_FLOAT)(&v), c.even) << c.value;
        EXPECT_EQ(get_action_ptr_by_type<ACT_ODD_Q>(TYPE_FLOAT)(&v), !c.even) << c.value;
    }
}

TEST_F(Float, RandomStaysWithinTheLimit) {
    random_fn random = get_action_ptr_by_type<ACT_RANDOM>(TYPE_FLOAT);
    cell v = dec(1.5);
    random_seed(v.w2 ^ v.w3);
    uint32_t first = random_next();
    EXPECT_EQ(random(&v, true, false, false), &unset_value);
    EXPECT_EQ(random_next(), first);

    random_seed(1);
    for (double limit : {1.0, -4.0, 1e300}) {
        for (bool secure : {false, true}) {
            for (int i = 0; i < 200; i++) {
                v = dec(limit);
                random(&v, false, secure, false);
                double d = cell_float(&v);
                EXPECT_TRUE(limit > 0 ? d >= 0 && d <= limit : d <= 0 && d >= limit) << limit;
            }
        }
    }
}

TEST_F(Float, Registration) {
    EXPECT_STREQ(type_names[TYPE_FLOAT].name, "float!");
    EXPECT_EQ(type_action(TYPE_FLOAT, ACT_TO), type_action(TYPE_FLOAT, ACT_MAKE));
    for (uint32_t slot : {ACT_REFLECT, ACT_AND, ACT_COMPLEMENT, ACT_APPEND, ACT_WRITE})
        EXPECT_EQ(type_action(TYPE_FLOAT, slot), nullptr) << slot;
}

TEST_F(Float, WithMoney) {
    struct { uint32_t slot; cell left, right; double expected; } cases[] = {
        {ACT_ADD, dec(1.5), cash(1), 2.5},
        {ACT_MULTIPLY, pct(0.5), cash(10), 5.0},
        {ACT_SUBTRACT, dec(0.123456789), cash(0), 0.12345},  // later decimals are cut
    };
    for (auto& c : cases) {
        cell r = run(c.slot, c.left, c.right);
        ASSERT_EQ(TYPE_OF(&r), uint32_t(TYPE_MONEY)) << c.slot;
        EXPECT_EQ(money_to_float(&r), c.expected) << c.slot;
    }

    // Ordered as money orders itself against the float, whatever the size or sign.
    struct { double x; double amount; int32_t op; bool expected; } order[] = {
        {1.5, 1.5, COMP_EQUAL, true},
        {1.5, 2, COMP_LESSER, true},
        {2.5, 2, COMP_GREATER, true},
        {-1e-6, -5, COMP_GREATER, true},
        {1e-6, 5, COMP_LESSER, true},
        {-1e18, -5, COMP_LESSER, true},
        {0.123456, 0.12345, COMP_EQUAL, false},
        {1.5, 1.5, COMP_STRICT_EQUAL, false},
        {NAN, 1, COMP_EQUAL, false},
    };
    for (auto& c : order) {
        cell x = dec(c.x), m = cash(c.amount);
        EXPECT_EQ(actions::compare(&x, &m, c.op), c.expected) << c.x << " op " << c.op;
    }

    cell proto{TYPE_DATATYPE, TYPE_FLOAT, 0, 0}, amount = cash(-1.25);
    EXPECT_EQ(cell_float(to_dispatch(&proto, &amount, TYPE_FLOAT)), -1.25);
}
