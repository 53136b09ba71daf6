#include <gtest/gtest.h>

#include <limits>

#include "geometry_fixture.h"
#include "runtime/random.h"

using namespace kel;
using namespace kel::testing;

namespace {

class Tuple : public GeometryTest {
protected:
    static cell issue_of(const char* name) { return cell{TYPE_ISSUE, 0, symbol::make(name), ~0u}; }
};

const double inf = std::numeric_limits<double>::infinity();
const double nan_ = std::numeric_limits<double>::quiet_NaN();

// The first draw after seeding the generator with seed.
uint32_t first_draw(uint32_t seed) {
    random_seed(seed);
    return random_next();
}

}  // namespace

TEST_F(Tuple, Arithmetic) {
    struct { uint32_t slot; cell left, right; std::string result; } cases[] = {
        {ACT_ADD, tuple_of({255, 255, 255}), integer_cell(1), "255.255.255"},
        {ACT_SUBTRACT, tuple_of({0, 0, 0}), integer_cell(1), "0.0.0"},
        {ACT_SUBTRACT, tuple_of({1, 2, 3}), integer_cell(10), "0.0.0"},
        {ACT_MULTIPLY, tuple_of({1, 2, 3}), float_cell(TYPE_FLOAT, 1e10), "255.255.255"},
        {ACT_MULTIPLY, tuple_of({100, 1, 0}), integer_cell(1000000000), "255.255.0"},  // overflow
        {ACT_MULTIPLY, tuple_of({1, 2, 3}), float_cell(TYPE_FLOAT, 1.5), "1.3.4"},
        {ACT_MULTIPLY, tuple_of({10, 20, 30}), float_cell(TYPE_PERCENT, 0.5), "5.10.15"},
        {ACT_DIVIDE, tuple_of({7, 7, 7}), integer_cell(2), "3.3.3"},
        {ACT_DIVIDE, tuple_of({1, 0, 3}), float_cell(TYPE_FLOAT, 0), "255.0.255"},  // NaN low
        {ACT_ADD, tuple_of({1, 2, 3}), float_cell(TYPE_FLOAT, -inf), "0.0.0"},
        {ACT_ADD, tuple_of({1, 2, 3}), float_cell(TYPE_FLOAT, nan_), "0.0.0"},
        {ACT_DIVIDE, tuple_of({1, 2, 3}), integer_cell(0), error_text(math_error::zero_divide)},
        {ACT_REMAINDER, tuple_of({7, 8, 9}), integer_cell(4), "3.0.1"},
        {ACT_REMAINDER, tuple_of({7, 8, 9}), tuple_of({4, 0, 1}),
         error_text(math_error::zero_divide)},
        {ACT_ADD, tuple_of({1, 2, 3, 4}), tuple_of({1, 1, 1}), "2.3.4.4"},
        {ACT_ADD, tuple_of({1, 2, 3}), tuple_of({1, 1, 1, 1}), "2.3.4.1"},
        {ACT_DIVIDE, tuple_of({1, 2, 3, 4}), tuple_of({1, 1, 1}),
         error_text(math_error::zero_divide)},  // the missing fourth byte reads as 0
        {ACT_AND, tuple_of({1, 2, 3}), integer_cell(255), "1.2.3"},
        {ACT_OR, tuple_of({200, 0, 0}), integer_cell(1), "201.1.1"},
        {ACT_XOR, tuple_of({5, 5, 5}), integer_cell(-1), "0.0.0"},  // clamped
        {ACT_XOR, tuple_of({5, 5, 5}), tuple_of({1, 2, 3}), "4.7.6"},
        {ACT_AND, tuple_of({1, 2, 3}), float_cell(TYPE_FLOAT, 1), error_text(script_error::cannot_use)},
        {ACT_ADD, tuple_of({1, 2, 3}), pair_of(1, 1), error_text(script_error::invalid_type)},
        {ACT_ADD, tuple_of({1, 2, 3}), cell{TYPE_CHAR, 0, 65, 0}, error_text(script_error::invalid_type)},
    };
    for (auto& c : cases)
        EXPECT_EQ(outcome([&] { return math(c.slot, c.left, c.right); }), c.result)
            << form_of(c.left) << " slot " << c.slot << " type " << TYPE_OF(&c.right);
}

TEST_F(Tuple, NumberOnTheLeftChangesPlaces) {
    struct { int32_t op; cell left; std::string result; } cases[] = {
        {OP_ADD, integer_cell(200), "201.202.203"},
        {OP_MULTIPLY, float_cell(TYPE_FLOAT, 2.5), "2.5.7"},
        {OP_SUBTRACT, integer_cell(10), error_text(script_error::not_related)},
        {OP_DIVIDE, integer_cell(10), error_text(script_error::not_related)},
        {OP_DIVIDE, float_cell(TYPE_FLOAT, 10), error_text(script_error::not_related)},
    };
    for (auto& c : cases) {
        EXPECT_EQ(outcome([&] {
                      frame({c.left, tuple_of({1, 2, 3})});
                      tuple::do_math(c.op);
                      return form_of(*stack::arguments);
                  }),
                  c.result)
            << c.op;
    }
}

TEST_F(Tuple, MakeAndTo) {
    cell* thirteen = block_of({});
    for (int i = 0; i < 13; i++) *kel::alloc_tail(thirteen) = integer_cell(i);
    cell* binary = stack::push_cell();
    set_series_value(binary, TYPE_BINARY, alloc_bytes(16), 0);
    const uint8_t raw[14] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14};
    std::memcpy(alloc_tail_bytes(node_buffer(series_node(binary)), 2), raw, 2);
    cell* long_binary = stack::push_cell();
    set_series_value(long_binary, TYPE_BINARY, alloc_bytes(16), 0);
    std::memcpy(alloc_tail_bytes(node_buffer(series_node(long_binary)), 14), raw, 14);
    cell* paren = block_of({integer_cell(9)});
    set_type(paren, TYPE_PAREN);

    struct { const cell* spec; std::string result; } cases[] = {
        {block_of({integer_cell(1), integer_cell(2)}), "1.2.0"},
        {block_of({}), "0.0.0"},
        {block_of({float_cell(TYPE_FLOAT, 1.9), cell{TYPE_CHAR, 0, 65, 0}, integer_cell(255)}),
         "1.65.255"},
        {paren, "9.0.0"},
        {block_of({integer_cell(256)}), error_text(script_error::bad_to_arg)},
        {block_of({integer_cell(-1)}), error_text(script_error::bad_to_arg)},
        {block_of({none_value}), error_text(script_error::bad_to_arg)},
        {thirteen, error_text(script_error::bad_to_arg)},
        {binary, "1.2.0"},
        {long_binary, "1.2.3.4.5.6.7.8.9.10.11.12"},
        {pushed(tuple_of({1, 2, 3, 4})), "1.2.3.4"},
        {pushed(integer_cell(1)), error_text(script_error::bad_to_arg)},
        {pushed(issue_of("F80")), "255.136.0"},
        {pushed(issue_of("fff")), "255.255.255"},
        {pushed(issue_of("FF8800")), "255.136.0"},
        {pushed(issue_of("ff880040")), "255.136.0.64"},
        {pushed(issue_of("12345")), error_text(script_error::invalid_data)},
        {pushed(issue_of("FG0")), error_text(script_error::invalid_data)},
        {new_buffer(), error_text(script_error::bad_to_arg)},  // loading text needs the lexer
    };
    for (auto& c : cases) {
        for (bool make : {true, false}) {
            cell proto{TYPE_DATATYPE, TYPE_TUPLE, 0, 0}, spec = *c.spec;
            EXPECT_EQ(outcome([&] {
                          const cell* r = make ? make_dispatch(&proto, &spec, TYPE_TUPLE)
                                               : to_dispatch(&proto, &spec, TYPE_TUPLE);
                          EXPECT_EQ(r->header & ~(0xFu << tuple::COUNT_SHIFT), uint32_t(TYPE_TUPLE));
                          return form_of(*r);
                      }),
                      c.result)
                << (make ? "make " : "to ") << TYPE_OF(c.spec);
        }
    }
}

TEST_F(Tuple, FormAndMold) {
    struct { cell value; const char* text; } cases[] = {
        {tuple_of({1, 2, 3}), "1.2.3"},
        {tuple_of({255, 0, 0, 128}), "255.0.0.128"},
        {tuple_of({0, 0, 0}), "0.0.0"},
        {tuple_of({255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255}),
         "255.255.255.255.255.255.255.255.255.255.255.255"},
    };
    for (auto& c : cases) {
        for (bool mold : {false, true}) {
            cell* v = stack::push(&c.value);
            cell* out = new_buffer();
            int32_t rest = mold ? mold_dispatch(v, out, false, false, false, nullptr, 100, 0)
                                : form_dispatch(v, out, nullptr, 100);
            EXPECT_EQ(text_of(out), c.text);
            EXPECT_EQ(100 - rest, int32_t(strlen(c.text)));
        }
    }
}

TEST_F(Tuple, Comparisons) {
    struct { cell a, b; int32_t op; bool truth; } cases[] = {
        {tuple_of({1, 2, 3}), tuple_of({1, 2, 3, 0}), COMP_EQUAL, true},
        {tuple_of({1, 2, 3}), tuple_of({1, 2, 3, 0}), COMP_STRICT_EQUAL, true},
        {tuple_of({1, 2, 3}), tuple_of({1, 2, 3, 1}), COMP_LESSER, true},
        {tuple_of({1, 2, 4}), tuple_of({1, 2, 3, 9}), COMP_GREATER, true},
        {tuple_of({1, 2, 3}), tuple_of({1, 2, 4}), COMP_EQUAL, false},
        {tuple_of({1, 2, 3}), integer_cell(1), COMP_EQUAL, false},
        {tuple_of({1, 2, 3}), integer_cell(1), COMP_NOT_EQUAL, true},
    };
    for (auto& c : cases)
        EXPECT_EQ(actions::compare(&c.a, &c.b, c.op), c.truth)
            << form_of(c.a) << " op " << c.op << " " << form_of(c.b);
    cell a = tuple_of({1, 2, 3}), one = integer_cell(1);
    EXPECT_EQ(raised_code([&] { actions::compare(&a, &one, COMP_LESSER); }),
              error_code(ERR_SCRIPT, uint32_t(script_error::invalid_compare)));
}

TEST_F(Tuple, PathAccess) {
    cell x = word_of("x");
    eval_path_fn path = reinterpret_cast<eval_path_fn>(type_action(TYPE_TUPLE, ACT_EVAL_PATH));
    struct { cell value, element; const cell* set; std::string result, after; } cases[] = {
        {tuple_of({1, 2, 3}), integer_cell(2), nullptr, "2", "1.2.3"},
        {tuple_of({1, 2, 3}), integer_cell(0), nullptr, error_text(script_error::out_of_range), ""},
        {tuple_of({1, 2, 3}), integer_cell(4), nullptr, error_text(script_error::out_of_range), ""},
        {tuple_of({1, 2, 3}), x, nullptr, error_text(script_error::invalid_type), ""},
        {tuple_of({1, 2, 3}), integer_cell(2), pushed(integer_cell(300)), "300", "1.255.3"},
        {tuple_of({1, 2, 3}), integer_cell(2), pushed(integer_cell(-5)), "-5", "1.0.3"},
        {tuple_of({1, 2, 3, 4}), integer_cell(4), &none_value, "none", "1.2.3"},
        {tuple_of({1, 2, 3, 4}), integer_cell(2), &none_value, "none", "1.0.0"},
        {tuple_of({1, 2, 3, 4, 5}), integer_cell(5), &none_value, "none", "1.2.3.4"},
        {tuple_of({1, 2, 3}), integer_cell(4), pushed(integer_cell(1)),
         error_text(script_error::out_of_range), ""},
        {tuple_of({1, 2, 3}), integer_cell(1), pushed(float_cell(TYPE_FLOAT, 1)),
         error_text(script_error::invalid_type), ""},
    };
    for (auto& c : cases) {
        cell* t = stack::push(&c.value);
        cell* set = c.set ? stack::push(c.set) : nullptr;
        std::string result = outcome([&] {
            return form_of(*path(t, &c.element, set, nullptr, nullptr, nullptr, 0, false, false,
                                 true, false));
        });
        EXPECT_EQ(result, c.result) << form_of(c.value) << " " << form_of(c.element);
        if (!c.after.empty()) {
            EXPECT_EQ(form_of(*t), c.after) << form_of(c.value);
        }
    }
}

TEST_F(Tuple, PickLengthComplement) {
    cell* t = frame({tuple_of({1, 2, 3})});
    EXPECT_EQ(form_of(*get_action_ptr_by_type<ACT_PICK>(TYPE_TUPLE)(t, 3, nullptr)), "3");
    for (int32_t index : {0, 4, -1})
        EXPECT_EQ(raised_code([&] { get_action_ptr_by_type<ACT_PICK>(TYPE_TUPLE)(t, index, nullptr); }),
                  error_code(ERR_SCRIPT, uint32_t(script_error::out_of_range)))
            << index;

    cell four = tuple_of({1, 2, 3, 4});
    EXPECT_EQ(get_action_ptr_by_type<ACT_LENGTH_Q>(TYPE_TUPLE)(&four), 4);

    cell bytes = tuple_of({0, 255, 16});
    get_action_ptr_by_type<ACT_COMPLEMENT>(TYPE_TUPLE)(&bytes);
    EXPECT_EQ(form_of(bytes), "255.0.239");

    cell zero = tuple_of({0, 0, 0, 0}), one = tuple_of({0, 0, 0, 1});
    EXPECT_TRUE(tuple::all_zero_q(&zero));
    EXPECT_FALSE(tuple::all_zero_q(&one));
}

TEST_F(Tuple, Reverse) {
    struct { cell value, part, skip; std::string result; } cases[] = {
        {tuple_of({1, 2, 3}), none_value, none_value, "3.2.1"},
        {tuple_of({1, 2, 3, 4, 5, 6}), none_value, integer_cell(2), "5.6.3.4.1.2"},
        {tuple_of({1, 2, 3, 4}), integer_cell(2), none_value, "2.1.3.4"},
        {tuple_of({1, 2, 3}), integer_cell(10), none_value, "3.2.1"},
        {tuple_of({1, 2, 3, 4, 5, 6}), none_value, integer_cell(6), "1.2.3.4.5.6"},
        {tuple_of({1, 2, 3, 4, 5, 6}), integer_cell(4), integer_cell(2), "3.4.1.2.5.6"},
        {tuple_of({1, 2, 3}), integer_cell(-1), none_value, error_text(script_error::out_of_range)},
        {tuple_of({1, 2, 3}), pair_of(1, 1), none_value,
         error_text(script_error::invalid_refine_arg)},
        {tuple_of({1, 2, 3, 4, 5, 6}), none_value, integer_cell(0),
         error_text(script_error::out_of_range)},
        {tuple_of({1, 2, 3, 4, 5, 6}), none_value, integer_cell(4),
         error_text(script_error::invalid_refine_arg)},
        {tuple_of({1, 2, 3, 4, 5, 6}), none_value, integer_cell(7),
         error_text(script_error::invalid_refine_arg)},
        {tuple_of({1, 2, 3}), none_value, float_cell(TYPE_FLOAT, 1),
         error_text(script_error::invalid_refine_arg)},
    };
    for (auto& c : cases) {
        EXPECT_EQ(outcome([&] {
                      cell* v = frame({c.value, c.part, c.skip});
                      cell* part = TYPE_OF(&c.part) == TYPE_NONE ? nullptr : v + 1;
                      cell* skip = TYPE_OF(&c.skip) == TYPE_NONE ? nullptr : v + 2;
                      get_action_ptr_by_type<ACT_REVERSE>(TYPE_TUPLE)(v, part, skip);
                      return form_of(*v);
                  }),
                  c.result)
            << form_of(c.value) << " " << form_of(c.part) << " " << form_of(c.skip);
    }
    // Arguments are checked before the tuple changes.
    cell* v = frame({tuple_of({1, 2, 3, 4, 5, 6}), integer_cell(4)});
    raised_code([&] { tuple::reverse(v, nullptr, v + 1); });
    EXPECT_EQ(form_of(*v), "1.2.3.4.5.6");
}

TEST_F(Tuple, Random) {
    cell* v = frame({tuple_of({1, 2, 3})});
    uint32_t expected = first_draw(v->w1 ^ v->w2 ^ v->w3);
    EXPECT_EQ(TYPE_OF(tuple::random(v, true, false, false)), uint32_t(TYPE_UNSET));
    EXPECT_EQ(random_next(), expected);
    for (int i = 0; i < 20; i++) {
        v = frame({tuple_of({0, 10, 255, 7})});
        tuple::random(v, false, i % 2, false);
        const uint8_t* b = tuple::bytes_of(v);
        EXPECT_EQ(b[0], 0);
        EXPECT_LE(b[1], 10);
        EXPECT_LE(b[3], 7);
        EXPECT_EQ(tuple::count_of(v), 4u);
    }
}

TEST_F(Tuple, Constructors) {
    const int32_t values[13] = {1, 258, -1, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13};
    EXPECT_EQ(form_of(*tuple::push_bytes(2, values)), "1.2.0");
    EXPECT_EQ(form_of(*tuple::push_bytes(3, values)), "1.2.255");
    EXPECT_EQ(form_of(*tuple::push_bytes(13, values)), "1.2.255.4.5.6.7.8.9.10.11.12");
    EXPECT_EQ(form_of(*tuple::push(4, 0x04030201, 0, 0)), "1.2.3.4");
}

TEST_F(Tuple, Registration) {
    EXPECT_STREQ(type_names[TYPE_TUPLE].name, "tuple!");
    for (uint32_t slot : {ACT_MAKE, ACT_RANDOM, ACT_TO, ACT_FORM, ACT_MOLD, ACT_EVAL_PATH,
                          ACT_COMPARE, ACT_ADD, ACT_DIVIDE, ACT_MULTIPLY, ACT_REMAINDER,
                          ACT_SUBTRACT, ACT_AND, ACT_COMPLEMENT, ACT_OR, ACT_XOR, ACT_LENGTH_Q,
                          ACT_PICK, ACT_REVERSE})
        EXPECT_NE(type_action(TYPE_TUPLE, slot), nullptr) << slot;
    for (uint32_t slot : {ACT_REFLECT, ACT_ABSOLUTE, ACT_NEGATE, ACT_POWER, ACT_ROUND, ACT_EVEN_Q,
                          ACT_ODD_Q, ACT_POKE, ACT_APPEND})
        EXPECT_EQ(type_action(TYPE_TUPLE, slot), nullptr) << slot;
}
