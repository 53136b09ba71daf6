#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "geometry_fixture.h"
#include "runtime/hashtable.h"
#include "runtime/random.h"

using namespace kel;
using namespace kel::testing;

namespace {

class Point : public GeometryTest {};

const double inf = std::numeric_limits<double>::infinity();
const double nan_ = std::numeric_limits<double>::quiet_NaN();

// The first draw after seeding the generator with seed.
uint32_t first_draw(uint32_t seed) {
    random_seed(seed);
    return random_next();
}

// The float a few units in the last place above f.
float ulps_above(float f, uint32_t n) {
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    bits += n;
    std::memcpy(&f, &bits, 4);
    return f;
}

}  // namespace

TEST_F(Point, Arithmetic) {
    struct { uint32_t slot; cell left, right; std::string result; } cases[] = {
        {ACT_ADD, point_of(1, 2), pair_of(1, 1), "(2, 3)"},
        {ACT_ADD, point_of(1, 2, 3), pair_of(1, 1), error_text(script_error::invalid_type)},
        {ACT_ADD, point_of(1, 2, 3), point_of(1, 1), error_text(script_error::invalid_type)},
        {ACT_ADD, point_of(1, 2), point_of(1, 1, 1), error_text(script_error::invalid_type)},
        {ACT_ADD, point_of(1, 2), none_value, error_text(script_error::invalid_type)},
        {ACT_ADD, point_of(1, 2, 3), point_of(1, 1, 1), "(2, 3, 4)"},
        {ACT_MULTIPLY, point_of(1, 2), integer_cell(2), "(2, 4)"},
        {ACT_MULTIPLY, point_of(1, 2), float_cell(TYPE_PERCENT, 0.5), "(0.5, 1)"},
        {ACT_SUBTRACT, point_of(1, 2, 3), float_cell(TYPE_FLOAT, 0.5), "(0.5, 1.5, 2.5)"},
        {ACT_DIVIDE, point_of(1, 2), integer_cell(0), "(1.#INF, 1.#INF)"},
        {ACT_DIVIDE, point_of(-1, 0), float_cell(TYPE_FLOAT, 0), "(-1.#INF, 1.#NaN)"},
        {ACT_DIVIDE, point_of(1, 3), integer_cell(2), "(0.5, 1.5)"},
        {ACT_REMAINDER, point_of(5, -7), integer_cell(2), "(1, -1)"},
        {ACT_ADD, pair_of(1, 2), point_of(0.5, 0.5), "(1.5, 2.5)"},
    };
    for (auto& c : cases)
        EXPECT_EQ(outcome([&] { return math(c.slot, c.left, c.right); }), c.result)
            << form_of(c.left) << " slot " << c.slot << " type " << TYPE_OF(&c.right);
}

TEST_F(Point, ComponentsAreRoundedToSinglePrecision) {
    math(ACT_ADD, point_of(0.1, 0), float_cell(TYPE_FLOAT, 0.2));
    EXPECT_EQ(point_component(stack::arguments, 0), static_cast<float>(0.1f + double(0.2f)));
    EXPECT_EQ(TYPE_OF(stack::arguments), uint32_t(TYPE_POINT2D));
}

TEST_F(Point, BitwiseOperationsAreRefused) {
    for (int32_t op : {OP_OR, OP_AND, OP_XOR}) {
        frame({point_of(1, 2), point_of(1, 2)});
        EXPECT_EQ(raised_code([&] { point2D_do_math(op); }),
                  error_code(ERR_SCRIPT, uint32_t(script_error::cannot_use)));
    }
    EXPECT_EQ(type_action(TYPE_POINT2D, ACT_AND), nullptr);
    EXPECT_EQ(type_action(TYPE_POINT3D, ACT_XOR), nullptr);
}

TEST_F(Point, MakeAndTo) {
    cell* text = new_buffer();
    string::concat_cstr(text, "a");
    struct { uint32_t type; const cell* spec; std::string result; } cases[] = {
        {TYPE_POINT2D, pushed(integer_cell(3)), "(3, 3)"},
        {TYPE_POINT3D, pushed(float_cell(TYPE_FLOAT, 1.5)), "(1.5, 1.5, 1.5)"},
        {TYPE_POINT3D, pushed(pair_of(1, 2)), "(1, 2, 0)"},
        {TYPE_POINT2D, pushed(pair_of(1, 2)), "(1, 2)"},
        {TYPE_POINT2D, block_of({integer_cell(1), float_cell(TYPE_FLOAT, 2.5)}), "(1, 2.5)"},
        {TYPE_POINT3D, block_of({integer_cell(1), integer_cell(2), integer_cell(3)}), "(1, 2, 3)"},
        {TYPE_POINT3D, block_of({integer_cell(1), integer_cell(2)}),
         error_text(syntax_error::malconstruct)},
        {TYPE_POINT2D, block_of({integer_cell(1), *text}), error_text(syntax_error::malconstruct)},
        {TYPE_POINT2D, pushed(point_of(1, 2)), "(1, 2)"},
        {TYPE_POINT3D, pushed(point_of(1, 2)), "(1, 2, 0)"},
        {TYPE_POINT2D, pushed(point_of(1, 2, 3)), error_text(script_error::bad_to_arg)},
        {TYPE_POINT3D, pushed(point_of(1, 2, 3)), "(1, 2, 3)"},
        {TYPE_POINT2D, pushed(float_cell(TYPE_PERCENT, 0.5)), error_text(script_error::bad_to_arg)},
        {TYPE_POINT3D, text, error_text(script_error::bad_to_arg)},  // loading needs the lexer
    };
    for (auto& c : cases) {
        for (bool make : {true, false}) {
            cell proto{TYPE_DATATYPE, c.type, 0, 0}, spec = *c.spec;
            EXPECT_EQ(outcome([&] {
                          const cell* r = make ? make_dispatch(&proto, &spec, c.type)
                                               : to_dispatch(&proto, &spec, c.type);
                          return form_of(*r);
                      }),
                      c.result)
                << c.type << (make ? " make " : " to ") << TYPE_OF(c.spec);
        }
    }
}

TEST_F(Point, FormAndMold) {
    struct { cell value; const char* text; } cases[] = {
        {point_of(1.5, 2), "(1.5, 2)"},
        {point_of(1.5, -2.25), "(1.5, -2.25)"},
        {point_of(0, 0, 1), "(0, 0, 1)"},
        {point_of(0.1, 0.2), "(0.1, 0.2)"},  // seven digits hide the single-precision error
        {point_of(inf, -inf, nan_), "(1.#INF, -1.#INF, 1.#NaN)"},
        {point_of(1e10, 1.234567e-5), "(1e10, 1.234567e-5)"},
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

TEST_F(Point, Comparisons) {
    float near = ulps_above(0.1f, 3);
    cell text = *new_buffer();  // not read: the comparison stops at its type
    struct { cell a, b; int32_t op; bool truth; } cases[] = {
        {point_of(0.1, 0.2), point_of(0.1, 0.2), COMP_EQUAL, true},
        {point_of(0.1, 0.2), point_of(near, 0.2), COMP_EQUAL, true},
        {point_of(0.1, 0.2), point_of(near, 0.2), COMP_STRICT_EQUAL, false},
        {point_of(0.1, 0.2), point_of(ulps_above(0.1f, 11), 0.2), COMP_EQUAL, false},
        {point_of(0.0, 1), point_of(-0.0, 1), COMP_STRICT_EQUAL, true},
        {point_of(0.0, 1), point_of(-0.0, 1), COMP_SAME, false},  // bit patterns differ
        {point_of(nan_, 1), point_of(nan_, 1), COMP_EQUAL, false},
        {point_of(1, 5), point_of(2, 0), COMP_LESSER, true},  // x decides first
        {point_of(1, 5), point_of(1, 0), COMP_GREATER, true},
        {point_of(1, 2, 3), point_of(1, 2, 4), COMP_LESSER, true},
        {point_of(1, 2), pair_of(1, 2), COMP_EQUAL, true},
        {point_of(1, 2), pair_of(1, 3), COMP_LESSER, true},
        {point_of(1, 2, 0), point_of(1, 2), COMP_EQUAL, false},
        {point_of(1, 2, 0), pair_of(1, 2), COMP_NOT_EQUAL, true},
        {point_of(1, 2), text, COMP_EQUAL, false},
    };
    for (auto& c : cases)
        EXPECT_EQ(actions::compare(&c.a, &c.b, c.op), c.truth)
            << form_of(c.a) << " op " << c.op << " type " << TYPE_OF(&c.b);
    cell a = point_of(1, 2, 3), b = point_of(1, 2);
    EXPECT_EQ(raised_code([&] { actions::compare(&a, &b, COMP_LESSER); }),
              error_code(ERR_SCRIPT, uint32_t(script_error::invalid_compare)));
}

TEST_F(Point, PathAccess) {
    cell x = word_of("x"), z = word_of("z"), capital_y = word_of("Y");
    struct { cell value, element; std::string result; } reads[] = {
        {point_of(1.5, 2), integer_cell(1), "1.5"},
        {point_of(1.5, 2), capital_y, "2.0"},
        {point_of(1, 2, 3), z, "3.0"},
        {point_of(1, 2, 3), integer_cell(3), "3.0"},
        {point_of(1.5, 2), z, error_text(script_error::invalid_path)},
        {point_of(1.5, 2), integer_cell(3), error_text(script_error::invalid_path)},
        {point_of(1, 2, 3), integer_cell(4), error_text(script_error::invalid_path)},
        {point_of(1, 2, 3), none_value, error_text(script_error::invalid_path)},
    };
    for (auto& c : reads) {
        cell* p = frame({c.value});
        eval_path_fn path =
            reinterpret_cast<eval_path_fn>(type_action(TYPE_OF(p), ACT_EVAL_PATH));
        EXPECT_EQ(outcome([&] {
                      const cell* r = path(p, &c.element, nullptr, nullptr, nullptr, nullptr, 0,
                                           false, false, true, false);
                      EXPECT_EQ(TYPE_OF(r), uint32_t(TYPE_FLOAT));
                      return form_of(*r);
                  }),
                  c.result)
            << form_of(c.value) << " " << form_of(c.element);
    }

    cell* p = frame({point_of(1, 2), integer_cell(2), float_cell(TYPE_FLOAT, 0.1), none_value});
    eval_path_fn path = reinterpret_cast<eval_path_fn>(type_action(TYPE_POINT2D, ACT_EVAL_PATH));
    EXPECT_EQ(path(p, &x, p + 1, nullptr, nullptr, nullptr, 0, false, false, true, false), p + 1);
    EXPECT_EQ(point_component(p, 0), 2.0f);
    path(p, &capital_y, p + 2, nullptr, nullptr, nullptr, 0, false, false, true, false);
    EXPECT_EQ(point_component(p, 1), 0.1f);
    EXPECT_EQ(raised_code([&] {
                  path(p, &x, p + 3, nullptr, nullptr, nullptr, 0, false, false, true, false);
              }),
              error_code(ERR_SCRIPT, uint32_t(script_error::invalid_type)));
}

TEST_F(Point, Pick) {
    cell y = word_of("y"), z = word_of("z");
    struct { cell value; int32_t index; cell index_cell; std::string result; } cases[] = {
        {point_of(1, 2, 3), 3, integer_cell(3), "3.0"},
        {point_of(1, 2), 0, y, "2.0"},
        {point_of(1, 2), 3, integer_cell(3), error_text(script_error::out_of_range)},
        {point_of(1, 2), 0, z, error_text(script_error::cannot_use)},
        {point_of(1, 2, 3), 0, integer_cell(0), error_text(script_error::out_of_range)},
    };
    for (auto& c : cases) {
        cell* p = frame({c.value});
        pick_fn pick = reinterpret_cast<pick_fn>(type_action(TYPE_OF(p), ACT_PICK));
        EXPECT_EQ(outcome([&] { return form_of(*pick(p, c.index, &c.index_cell)); }), c.result)
            << form_of(c.value) << " " << c.index;
    }
}

TEST_F(Point, UnaryActions) {
    struct { const char* action; cell value; std::string result; } cases[] = {
        {"reverse", point_of(1, 2, 3), "(3, 2, 1)"},
        {"reverse", point_of(1, 2), "(2, 1)"},
        {"negate", point_of(1, -2, 0), "(-1, 2, 0)"},
        {"absolute", point_of(-1.5, 2), "(1.5, 2)"},
    };
    for (auto& c : cases) {
        cell* v = frame({c.value});
        uint32_t type = TYPE_OF(v);
        std::string a = c.action;
        if (a == "reverse")
            reinterpret_cast<reverse_fn>(type_action(type, ACT_REVERSE))(v, nullptr, nullptr);
        else if (a == "negate")
            reinterpret_cast<unary_fn>(type_action(type, ACT_NEGATE))(v);
        else
            reinterpret_cast<frame_fn>(type_action(type, ACT_ABSOLUTE))();
        EXPECT_EQ(form_of(*v), c.result) << c.action;
    }
    // Neither result keeps a negative zero.
    cell* v = frame({point_of(0, -0.0)});
    point2D::negate(v);
    EXPECT_EQ(v->w1 | v->w2, 0u);
    v = frame({point_of(-0.0, 0)});
    point2D::absolute();
    EXPECT_EQ(v->w1 | v->w2, 0u);
}

TEST_F(Point, Round) {
    struct { cell value, scale; bool to; std::string result; } cases[] = {
        {point_of(1.4, 2.6), none_value, false, "(1, 3)"},
        {point_of(1.26, 3.14), float_cell(TYPE_FLOAT, 0.5), true, "(1.5, 3)"},
        {point_of(7, 7), integer_cell(2), true, "(8, 8)"},
        {point_of(7, 7), point_of(2, 5), true, "(8, 5)"},
        {point_of(7, 7), pair_of(2, 5), true, "(8, 5)"},
        {point_of(7, 7, 7), point_of(2, 5), true, "(8, 5, 7)"},  // z gets the scale 0
        {point_of(7, 7, 7), point_of(2, 5, 4), true, "(8, 5, 8)"},
        {point_of(7, 7, 7), pair_of(2, 5), true, error_text(script_error::invalid_type)},
        {point_of(7, 7), money_of(), true, error_text(script_error::not_related)},
    };
    for (auto& c : cases) {
        EXPECT_EQ(outcome([&] {
                      cell* v = frame({c.value, c.scale});
                      reinterpret_cast<round_fn>(type_action(TYPE_OF(v), ACT_ROUND))(
                          v, c.to ? v + 1 : nullptr, false, false, false, false, false, false);
                      return form_of(*v);
                  }),
                  c.result)
            << form_of(c.value) << " " << TYPE_OF(&c.scale);
    }
}

TEST_F(Point, Random) {
    cell* v = frame({point_of(1, 2, 3)});
    uint32_t expected = first_draw(murmur3_32(&v->w1, 12, hash_seed));
    EXPECT_EQ(TYPE_OF(point3D::random(v, true, false, false)), uint32_t(TYPE_UNSET));
    EXPECT_EQ(random_next(), expected);
    for (int i = 0; i < 20; i++) {
        v = frame({point_of(0, 10)});
        point2D::random(v, false, i % 2, false);
        EXPECT_EQ(point_component(v, 0), 0.0f);
        EXPECT_GE(point_component(v, 1), 0.0f);
        EXPECT_LE(point_component(v, 1), 10.0f);
    }
}

TEST_F(Point, Registration) {
    EXPECT_STREQ(type_names[TYPE_POINT2D].name, "point2D!");
    EXPECT_STREQ(type_names[TYPE_POINT3D].name, "point3D!");
    for (uint32_t type : {uint32_t(TYPE_POINT2D), uint32_t(TYPE_POINT3D)}) {
        for (uint32_t slot : {ACT_MAKE, ACT_RANDOM, ACT_TO, ACT_FORM, ACT_MOLD, ACT_EVAL_PATH,
                              ACT_COMPARE, ACT_ABSOLUTE, ACT_ADD, ACT_DIVIDE, ACT_MULTIPLY,
                              ACT_NEGATE, ACT_REMAINDER, ACT_ROUND, ACT_SUBTRACT, ACT_PICK,
                              ACT_REVERSE})
            EXPECT_NE(type_action(type, slot), nullptr) << type << " " << slot;
        for (uint32_t slot : {ACT_POWER, ACT_AND, ACT_OR, ACT_XOR, ACT_POKE, ACT_COMPLEMENT})
            EXPECT_EQ(type_action(type, slot), nullptr) << type << " " << slot;
    }
}

TEST_F(Point, Constructors) {
    cell c{TYPE_INTEGER | CELL_NEW_LINE, 0, 0, 7};
    point2D::set(&c, 1.5, 2);
    EXPECT_EQ(c.header, TYPE_POINT2D | CELL_NEW_LINE);
    EXPECT_EQ(form_of(c), "(1.5, 2)");
    point3D::make_at(&c, 1, 2, 3);
    EXPECT_EQ(c.header, TYPE_POINT3D | CELL_NEW_LINE);
    cell* block = block_of({});
    point2D::make_in(block, 0.5, 1);
    point3D::make_in(block, 1, 2, 3);
    cell* cells = node_buffer(series_node(block))->cells();
    EXPECT_EQ(form_of(cells[0]), "(0.5, 1)");
    cells = node_buffer(series_node(block))->cells();  // form_of may have moved the buffer
    EXPECT_EQ(form_of(cells[1]), "(1, 2, 3)");
    EXPECT_EQ(form_of(*point3D::push(4, 5, 6)), "(4, 5, 6)");
}
