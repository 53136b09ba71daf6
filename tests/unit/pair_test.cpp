#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "geometry_fixture.h"
#include "runtime/random.h"

using namespace kel;
using namespace kel::testing;

namespace {

class Pair : public GeometryTest {};

const double inf = std::numeric_limits<double>::infinity();
const double nan_ = std::numeric_limits<double>::quiet_NaN();

// The first draw after seeding the generator with seed.
uint32_t first_draw(uint32_t seed) {
    random_seed(seed);
    return random_next();
}

}  // namespace

TEST_F(Pair, Arithmetic) {
    struct { uint32_t slot; cell left, right; std::string result; } cases[] = {
        {ACT_ADD, pair_of(3, 4), integer_cell(1), "4x5"},
        {ACT_ADD, pair_of(3, 4), float_cell(TYPE_FLOAT, 1.9), "4x5"},  // truncated
        {ACT_ADD, pair_of(3, 4), float_cell(TYPE_PERCENT, 0.5), "3x4"},
        {ACT_SUBTRACT, pair_of(3, 4), pair_of(1, 1), "2x3"},
        {ACT_MULTIPLY, pair_of(3, 4), float_cell(TYPE_FLOAT, 1.5), "(4.5, 6)"},
        {ACT_MULTIPLY, pair_of(3, 4), float_cell(TYPE_PERCENT, 0.5), "(1.5, 2)"},
        {ACT_DIVIDE, pair_of(4, 6), integer_cell(2), "2x3"},
        {ACT_DIVIDE, pair_of(3, 4), integer_cell(2), "(1.5, 2)"},
        {ACT_DIVIDE, pair_of(3, 4), float_cell(TYPE_FLOAT, 0.0), "(1.#INF, 1.#INF)"},
        {ACT_DIVIDE, pair_of(3, 4), float_cell(TYPE_FLOAT, inf), "(0, 0)"},
        {ACT_DIVIDE, pair_of(3, 4), integer_cell(0), error_text(math_error::zero_divide)},
        {ACT_REMAINDER, pair_of(7, -7), integer_cell(2), "1x-1"},
        {ACT_REMAINDER, pair_of(INT32_MIN, 0), integer_cell(-1), error_text(math_error::overflow)},
        // A component leaving the integers moves the whole operation to points: no wrap.
        {ACT_ADD, pair_of(2147483647, 1), pair_of(1, 1), "(2.147484e9, 2)"},
        {ACT_ADD, pair_of(2147483647, 0), float_cell(TYPE_FLOAT, 1.5), "(2.147484e9, 1)"},
        {ACT_MULTIPLY, pair_of(65536, 1), integer_cell(65536), "(4.294967e9, 65536)"},
        {ACT_ADD, pair_of(3, 4), point_of(0.5, 0.5), "(3.5, 4.5)"},
        {ACT_AND, pair_of(3, 4), pair_of(1, 1), "1x0"},
        {ACT_OR, pair_of(3, 4), integer_cell(1), "3x5"},
        {ACT_XOR, pair_of(3, 4), pair_of(1, 1), "2x5"},
        {ACT_AND, pair_of(3, 4), point_of(1, 1), error_text(script_error::cannot_use)},
        {ACT_MULTIPLY, pair_of(3, 4), float_cell(TYPE_FLOAT, inf), error_text(script_error::invalid_arg)},
        {ACT_DIVIDE, pair_of(3, 4), float_cell(TYPE_FLOAT, nan_), error_text(script_error::invalid_arg)},
        {ACT_ADD, pair_of(3, 4), float_cell(TYPE_FLOAT, inf), error_text(script_error::invalid_arg)},
        {ACT_ADD, pair_of(3, 4), float_cell(TYPE_FLOAT, 1e10), error_text(math_error::overflow)},
        {ACT_ADD, pair_of(3, 4), none_value, error_text(script_error::invalid_type)},
        {ACT_ADD, pair_of(3, 4), point_of(1, 1, 1), error_text(script_error::invalid_type)},
    };
    for (auto& c : cases)
        EXPECT_EQ(outcome([&] { return math(c.slot, c.left, c.right); }), c.result)
            << form_of(c.left) << " slot " << c.slot << " " << TYPE_OF(&c.right);
}

TEST_F(Pair, MakeAndTo) {
    cell* text = new_buffer();
    string::concat_cstr(text, "a");
    struct { const cell* spec; std::string result; } cases[] = {
        {pushed(integer_cell(5)), "5x5"},
        {pushed(float_cell(TYPE_FLOAT, 2.9)), "2x2"},
        {pushed(float_cell(TYPE_FLOAT, -2.9)), "-2x-2"},
        {block_of({integer_cell(1), float_cell(TYPE_FLOAT, 2.7)}), "1x2"},
        {block_of({integer_cell(1), integer_cell(2), integer_cell(3)}), "1x2"},
        {block_of({integer_cell(1)}), error_text(syntax_error::malconstruct)},
        {block_of({integer_cell(1), *text}), error_text(syntax_error::malconstruct)},
        {pushed(point_of(1.9, -2.9)), "1x-2"},
        {pushed(point_of(nan_, 1)), error_text(script_error::invalid_arg)},
        {pushed(point_of(1, inf)), error_text(script_error::invalid_arg)},
        {pushed(float_cell(TYPE_FLOAT, 3e9)), error_text(math_error::overflow)},
        {pushed(pair_of(-1, 7)), "-1x7"},
        {pushed(float_cell(TYPE_PERCENT, 0.5)), error_text(script_error::bad_to_arg)},
        {text, error_text(script_error::bad_to_arg)},  // loading text needs the lexer
        {&none_value, error_text(script_error::bad_to_arg)},
    };
    cell proto{TYPE_DATATYPE, TYPE_PAIR, 0, 0};
    for (auto& c : cases) {
        for (bool make : {true, false}) {
            cell spec = *c.spec;
            EXPECT_EQ(outcome([&] {
                          const cell* r = make ? make_dispatch(&proto, &spec, TYPE_PAIR)
                                               : to_dispatch(&proto, &spec, TYPE_PAIR);
                          return form_of(*r);
                      }),
                      c.result)
                << (make ? "make " : "to ") << TYPE_OF(c.spec);
        }
    }
}

TEST_F(Pair, FormAndMoldReduceTheBudget) {
    struct { cell value; const char* text; } cases[] = {
        {pair_of(3, 4), "3x4"},
        {pair_of(-1, -2), "-1x-2"},
        {pair_of(0, 0), "0x0"},
        {pair_of(INT32_MIN, INT32_MAX), "-2147483648x2147483647"},
    };
    for (auto& c : cases) {
        for (bool mold : {false, true}) {
            cell* v = stack::push(&c.value);
            cell* out = new_buffer();
            int32_t rest = mold ? mold_dispatch(v, out, false, false, false, nullptr, 50, 0)
                                : form_dispatch(v, out, nullptr, 50);
            EXPECT_EQ(text_of(out), c.text);
            EXPECT_EQ(50 - rest, int32_t(strlen(c.text)));
        }
    }
}

TEST_F(Pair, Comparisons) {
    cell text = *new_buffer();  // not read: the comparison stops at its type
    struct { cell a, b; int32_t op; bool truth; } cases[] = {
        {pair_of(1, 9), pair_of(2, 0), COMP_LESSER, true},  // x decides first
        {pair_of(1, 2), pair_of(1, 2), COMP_EQUAL, true},
        {pair_of(1, 2), pair_of(1, 2), COMP_STRICT_EQUAL, true},
        {pair_of(1, 2), pair_of(2, 1), COMP_EQUAL, false},
        {pair_of(-5, 0), pair_of(3, 0), COMP_LESSER, true},  // signed
        {pair_of(INT32_MIN, 0), pair_of(INT32_MAX, 0), COMP_LESSER, true},
        {pair_of(1, 3), pair_of(1, 2), COMP_GREATER, true},
        {pair_of(1, 2), point_of(1, 2), COMP_EQUAL, true},
        {pair_of(1, 2), point_of(1.5, 0), COMP_LESSER, true},
        {pair_of(1, 2), text, COMP_EQUAL, false},
        {pair_of(1, 2), text, COMP_NOT_EQUAL, true},
    };
    for (auto& c : cases)
        EXPECT_EQ(actions::compare(&c.a, &c.b, c.op), c.truth)
            << form_of(c.a) << " op " << c.op << " type " << TYPE_OF(&c.b);
    EXPECT_EQ(compare_dispatch(&cases[0].a, &text, COMP_EQUAL), INCOMPARABLE);
    EXPECT_EQ(raised_code([&] { actions::compare(&cases[0].a, &text, COMP_LESSER); }),
              error_code(ERR_SCRIPT, uint32_t(script_error::invalid_compare)));
}

TEST_F(Pair, PathAccess) {
    cell x = word_of("x"), capital_y = word_of("Y"), z = word_of("z");
    cell w = word_of("w");
    struct { cell element; std::string result; } reads[] = {
        {integer_cell(1), "3"},
        {integer_cell(2), "4"},
        {x, "3"},
        {capital_y, "4"},  // a case variant is the same word
        {integer_cell(3), error_text(script_error::invalid_path)},
        {integer_cell(0), error_text(script_error::invalid_path)},
        {z, error_text(script_error::invalid_path)},
        {w, error_text(script_error::invalid_path)},
        {none_value, error_text(script_error::invalid_path)},
    };
    eval_path_fn path = reinterpret_cast<eval_path_fn>(type_action(TYPE_PAIR, ACT_EVAL_PATH));
    for (auto& c : reads) {
        cell* p = frame({pair_of(3, 4)});
        EXPECT_EQ(outcome([&] {
                      return form_of(*path(p, &c.element, nullptr, nullptr, nullptr, nullptr, 0,
                                           false, false, true, false));
                  }),
                  c.result)
            << form_of(c.element);
    }

    cell* p = frame({pair_of(3, 4), integer_cell(7), float_cell(TYPE_FLOAT, 1.5)});
    const cell* r = path(p, &x, p + 1, nullptr, nullptr, nullptr, 0, false, false, true, false);
    EXPECT_EQ(r, p + 1);
    EXPECT_EQ(form_of(*p), "7x4");
    cell two = integer_cell(2);
    EXPECT_EQ(raised_code([&] {
                  path(p, &two, p + 2, nullptr, nullptr, nullptr, 0, false, false, true, false);
              }),
              error_code(ERR_SCRIPT, uint32_t(script_error::invalid_type)));
    EXPECT_EQ(form_of(*p), "7x4");
}

TEST_F(Pair, Pick) {
    cell x = word_of("x"), z = word_of("z"), text = *new_buffer();  // text: not read
    struct { int32_t index; cell index_cell; std::string result; } cases[] = {
        {1, integer_cell(1), "3"},
        {2, integer_cell(2), "4"},
        {0, x, "3"},
        {3, integer_cell(3), error_text(script_error::out_of_range)},
        {0, integer_cell(0), error_text(script_error::out_of_range)},
        {0, text, error_text(script_error::out_of_range)},
        {0, z, error_text(script_error::cannot_use)},
    };
    for (auto& c : cases) {
        cell* p = frame({pair_of(3, 4)});
        EXPECT_EQ(outcome([&] {
                      return form_of(*get_action_ptr_by_type<ACT_PICK>(TYPE_PAIR)(
                          p, c.index, &c.index_cell));
                  }),
                  c.result)
            << c.index;
    }
}

TEST_F(Pair, UnaryActions) {
    struct { const char* action; cell value; std::string result; } cases[] = {
        {"absolute", pair_of(-3, 4), "3x4"},
        {"absolute", pair_of(INT32_MIN, 0), error_text(math_error::overflow)},
        {"negate", pair_of(3, -4), "-3x4"},
        {"negate", pair_of(INT32_MIN, 0), "-2147483648x0"},
        {"reverse", pair_of(3, 4), "4x3"},
    };
    for (auto& c : cases) {
        EXPECT_EQ(outcome([&] {
                      cell* v = frame({c.value});
                      std::string a = c.action;
                      if (a == "absolute")
                          get_action_ptr_by_type<ACT_ABSOLUTE>(TYPE_PAIR)();
                      else if (a == "negate")
                          get_action_ptr_by_type<ACT_NEGATE>(TYPE_PAIR)(v);
                      else
                          get_action_ptr_by_type<ACT_REVERSE>(TYPE_PAIR)(v, nullptr, nullptr);
                      return form_of(*v);
                  }),
                  c.result)
            << c.action << " " << form_of(c.value);
    }
}

TEST_F(Pair, Round) {
    struct { cell value; cell scale; bool to, floor; std::string result; } cases[] = {
        {pair_of(17, 18), integer_cell(5), true, false, "15x20"},
        {pair_of(17, -17), integer_cell(5), true, true, "15x-20"},
        {pair_of(17, 18), pair_of(5, 10), true, false, "15x20"},
        {pair_of(17, 18), float_cell(TYPE_FLOAT, 2.5), true, false, "17x17"},  // 17.5 truncated
        {pair_of(3, 4), none_value, false, false, "3x4"},
        {pair_of(3, 4), money_of(), true, false, error_text(script_error::not_related)},
        {pair_of(2147483647, 0), integer_cell(10), true, false, error_text(math_error::overflow)},
    };
    for (auto& c : cases) {
        EXPECT_EQ(outcome([&] {
                      cell* v = frame({c.value, c.scale});
                      cell* scale = c.to ? v + 1 : nullptr;
                      get_action_ptr_by_type<ACT_ROUND>(TYPE_PAIR)(v, scale, false, false, false,
                                                                   c.floor, false, false);
                      return form_of(*v);
                  }),
                  c.result)
            << form_of(c.value) << " " << form_of(c.scale);
    }
}

TEST_F(Pair, Random) {
    uint32_t expected = first_draw(3);  // seeded with x xor y
    cell* v = frame({pair_of(1, 2)});
    EXPECT_EQ(TYPE_OF(pair::random(v, true, false, false)), uint32_t(TYPE_UNSET));
    EXPECT_EQ(random_next(), expected);
    for (int i = 0; i < 20; i++) {
        v = frame({pair_of(0, -10)});
        pair::random(v, false, i % 2, false);
        EXPECT_EQ(pair::x_of(v), 0);
        EXPECT_LE(pair::y_of(v), -1);
        EXPECT_GE(pair::y_of(v), -10);
    }
}

TEST_F(Pair, Registration) {
    EXPECT_STREQ(type_names[TYPE_PAIR].name, "pair!");
    for (uint32_t slot : {ACT_MAKE, ACT_RANDOM, ACT_TO, ACT_FORM, ACT_MOLD, ACT_EVAL_PATH,
                          ACT_COMPARE, ACT_ABSOLUTE, ACT_ADD, ACT_DIVIDE, ACT_MULTIPLY, ACT_NEGATE,
                          ACT_REMAINDER, ACT_ROUND, ACT_SUBTRACT, ACT_AND, ACT_OR, ACT_XOR,
                          ACT_PICK, ACT_REVERSE})
        EXPECT_NE(type_action(TYPE_PAIR, slot), nullptr) << slot;
    EXPECT_EQ(type_action(TYPE_PAIR, ACT_MAKE), type_action(TYPE_PAIR, ACT_TO));
    for (uint32_t slot : {ACT_REFLECT, ACT_POWER, ACT_EVEN_Q, ACT_ODD_Q, ACT_COMPLEMENT, ACT_POKE,
                          ACT_APPEND, ACT_LENGTH_Q})
        EXPECT_EQ(type_action(TYPE_PAIR, slot), nullptr) << slot;
    EXPECT_EQ(raised_code([&] { get_action_ptr_by_type<ACT_POWER>(TYPE_PAIR); }),
              error_code(ERR_SCRIPT, uint32_t(script_error::expect_arg)));
}

TEST_F(Pair, ConstructorsKeepFlags) {
    cell c{TYPE_INTEGER | CELL_NEW_LINE, 0, 0, 0};
    pair::make_at(&c, -1, 2);
    EXPECT_EQ(c.header, TYPE_PAIR | CELL_NEW_LINE);
    EXPECT_EQ(form_of(c), "-1x2");
    cell* block = block_of({});
    pair::make_in(block, 5, 6);
    EXPECT_EQ(form_of(*node_buffer(series_node(block))->cells()), "5x6");
    EXPECT_EQ(form_of(*pair::push(7, 8)), "7x8");
}

namespace kel::testing {
namespace {

cell int_of(int32_t n) { return cell{TYPE_INTEGER, 0, static_cast<uint32_t>(n), 0}; }
cell float_of(double d) {
    cell c{TYPE_FLOAT, 0, 0, 0};
    set_cell_float(&c, d);
    return c;
}

TEST_F(GeometryTest, NumbersOnTheLeftHandSpatialValuesToTheirOwnRule) {
    struct { uint32_t slot; cell left, right; std::string want; } rows[] = {
        {ACT_SUBTRACT, int_of(10), pair_of(2, 3), "8x7"},
        {ACT_MULTIPLY, int_of(2), pair_of(3, 4), "6x8"},
        {ACT_ADD, int_of(1), point_of(1.5, 2), "(2.5, 3)"},
        {ACT_ADD, float_of(1.5), pair_of(1, 1), "2x2"},  // the float is truncated for add
        {ACT_MULTIPLY, int_of(2), tuple_of({1, 2, 3}), "2.4.6"},
        {ACT_DIVIDE, int_of(10), pair_of(2, 5), error_text(script_error::not_related)},
        {ACT_SUBTRACT, float_of(1.0), pair_of(1, 1), error_text(script_error::not_related)},
    };
    for (auto& r : rows) EXPECT_EQ(outcome([&] { return math(r.slot, r.left, r.right); }), r.want) << r.want;
}

}  // namespace
}  // namespace kel::testing
