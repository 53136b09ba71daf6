#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "evaluator/actions.h"
#include "runtime/random.h"
#include "runtime_fixture.h"

using namespace kel;
using namespace kel::testing;

namespace {

class SmallTypes : public RuntimeTest {};

cell logic_cell(uint32_t w1) { return cell{TYPE_LOGIC, w1, 0, 0}; }

}  // namespace

TEST_F(SmallTypes, FormsAndMolds) {
    struct { cell value; bool mold, all; const char* text; } cases[] = {
        {none_value, false, false, "none"},
        {none_value, true, false, "none"},
        {none_value, true, true, "#(none)"},
        {unset_value, false, false, ""},
        {unset_value, true, false, "unset"},
        {unset_value, true, true, "#(unset)"},
        {true_value, false, false, "true"},
        {false_value, false, false, "false"},
        {true_value, true, true, "#(true)"},
        {false_value, true, true, "#(false)"},
    };
    for (auto& c : cases) {
        cell* out = new_buffer();
        int32_t rest = c.mold ? mold_dispatch(&c.value, out, false, c.all, false, nullptr, 20, 0)
                              : form_dispatch(&c.value, out, nullptr, 20);
        EXPECT_EQ(text_of(out), c.text);
        EXPECT_EQ(20 - rest, int32_t(strlen(c.text))) << c.text;  // characters appended
    }
}

TEST_F(SmallTypes, MakeAndToLogic) {
    struct { bool make; cell spec; uint32_t expected; } cases[] = {
        {true, integer_cell(0), 0},
        {true, integer_cell(-3), 1},
        {false, integer_cell(0), 1},  // to: every value but none and false is true
        {true, float_cell(TYPE_FLOAT, 0.0), 0},
        {true, float_cell(TYPE_FLOAT, -0.0), 0},
        {true, float_cell(TYPE_FLOAT, std::nan("")), 1},
        {true, float_cell(TYPE_PERCENT, 0.0), 0},
        {true, none_value, 0},
        {false, none_value, 0},
        {false, false_value, 0},
        {false, unset_value, 1},
    };
    cell proto{TYPE_DATATYPE, TYPE_LOGIC, 0, 0};
    for (auto& c : cases) {
        const cell* r = c.make ? make_dispatch(&proto, &c.spec, TYPE_LOGIC)
                               : to_dispatch(&proto, &c.spec, TYPE_LOGIC);
        EXPECT_EQ(TYPE_OF(r), uint32_t(TYPE_LOGIC));
        EXPECT_EQ(r->w1, c.expected) << (c.make ? "make " : "to ") << TYPE_OF(&c.spec);
    }
}

TEST_F(SmallTypes, MakeOfUnsetAndNoneIgnoresTheSpec) {
    cell spec = integer_cell(7);
    cell unset_type{TYPE_DATATYPE, TYPE_UNSET, 0, 0}, none_type{TYPE_DATATYPE, TYPE_NONE, 0, 0};
    EXPECT_EQ(TYPE_OF(make_dispatch(&unset_type, &spec, TYPE_UNSET)), uint32_t(TYPE_UNSET));
    EXPECT_EQ(TYPE_OF(to_dispatch(&none_type, &spec, TYPE_NONE)), uint32_t(TYPE_NONE));
}

TEST_F(SmallTypes, Comparisons) {
    cell u1 = unset_value, u2 = unset_value, n1 = none_value, n2 = none_value;
    cell t = true_value, f = false_value, one = integer_cell(1);
    EXPECT_TRUE(actions::compare(&u1, &u2, COMP_EQUAL));
    EXPECT_FALSE(actions::compare(&u1, &u2, COMP_NOT_EQUAL));  // two unsets are not unequal
    EXPECT_TRUE(actions::compare(&n1, &n2, COMP_EQUAL));
    EXPECT_FALSE(actions::compare(&n1, &u1, COMP_EQUAL));
    EXPECT_TRUE(actions::compare(&t, &t, COMP_STRICT_EQUAL));
    EXPECT_FALSE(actions::compare(&t, &f, COMP_EQUAL));
    EXPECT_FALSE(actions::compare(&t, &one, COMP_EQUAL));
    EXPECT_EQ(raised_code([&] { actions::compare(&n1, &n2, COMP_LESSER); }), 343u);
    EXPECT_EQ(raised_code([&] { actions::compare(&t, &f, COMP_LESSER); }), 343u);
    // Sorting puts false first; the dispatcher orders logic values by payload.
    EXPECT_EQ(compare_dispatch(&f, &t, COMP_SORT), -1);
    EXPECT_EQ(compare_dispatch(&t, &f, COMP_LESSER), 1);
}

TEST_F(SmallTypes, UnsetAndNoneEqualTheirOwnTypeOnly) {
    cell u = unset_value, n = none_value, one = integer_cell(1);
    struct { cell* a; cell* b; } pairs[] = {{&u, &u}, {&n, &n}};
    for (auto& p : pairs) {
        compare_fn entry = get_action_ptr_by_type<ACT_COMPARE>(TYPE_OF(p.a));
        for (int32_t op = COMP_EQUAL; op <= COMP_FIND; op++) {
            bool alike = op <= COMP_STRICT_EQUAL || op == COMP_SORT || op == COMP_CASE_SORT ||
                         op == COMP_SAME || op == COMP_FIND;
            EXPECT_EQ(entry(p.a, p.b, op), alike ? 0 : INCOMPARABLE) << TYPE_OF(p.a) << " op " << op;
        }
    }
    struct { cell* a; cell* b; } mixed[] = {{&u, &n}, {&n, &u}, {&u, &one}, {&n, &one}};
    for (auto& p : mixed) {
        compare_fn entry = get_action_ptr_by_type<ACT_COMPARE>(TYPE_OF(p.a));
        EXPECT_EQ(entry(p.a, p.b, COMP_EQUAL), INCOMPARABLE);
        EXPECT_EQ(entry(p.a, p.b, COMP_SORT), INCOMPARABLE);
    }
}

TEST_F(SmallTypes, BitwiseOperationsOnTheFrame) {
    struct { uint32_t slot, left, right, expected; } cases[] = {
        {ACT_AND, 1, 1, 1}, {ACT_AND, 1, 0, 0}, {ACT_OR, 0, 1, 1}, {ACT_OR, 0, 0, 0},
        {ACT_XOR, 1, 1, 0}, {ACT_XOR, 0, 1, 1},
    };
    for (auto c : cases) {
        stack::arguments = stack::top;
        logic::push(c.left);
        logic::push(c.right);
        type_action(TYPE_LOGIC, c.slot)();  // frame actions take no arguments
        EXPECT_EQ(stack::arguments->w1, c.expected) << c.slot;
        stack::pop(2);
    }
}

TEST_F(SmallTypes, BitwiseWithANonLogicRaisesExpectArg) {
    stack::arguments = stack::top;
    logic::push(1);
    cell one = integer_cell(1);
    stack::push(&one);
    EXPECT_EQ(raised_code([] { get_action_ptr_by_type<ACT_AND>(TYPE_LOGIC)(); }), 305u);
    const cell& arg2 = last_raised_error().args[1];
    EXPECT_EQ(TYPE_OF(&arg2), uint32_t(TYPE_DATATYPE));
    EXPECT_EQ(arg2.w1, uint32_t(TYPE_INTEGER));
}

TEST_F(SmallTypes, ComplementFlipsInPlace) {
    cell v = true_value;
    const cell* r = get_action_ptr_by_type<ACT_COMPLEMENT>(TYPE_LOGIC)(&v);
    EXPECT_EQ(r, &v);
    EXPECT_EQ(v.w1, 0u);
}

TEST_F(SmallTypes, SeriesActionsOnNoneAnswerNone) {
    cell n = none_value, one = integer_cell(1);
    EXPECT_EQ(get_action_ptr_by_type<ACT_LENGTH_Q>(TYPE_NONE)(&n), -1);
    EXPECT_EQ(get_action_ptr_by_type<ACT_CLEAR>(TYPE_NONE)(&n), &none_value);
    EXPECT_EQ(get_action_ptr_by_type<ACT_TAKE>(TYPE_NONE)(&n, nullptr, false, false), &none_value);
    EXPECT_EQ(get_action_ptr_by_type<ACT_REMOVE>(TYPE_NONE)(&n, nullptr, nullptr), &none_value);
    EXPECT_EQ(get_action_ptr_by_type<ACT_FIND>(TYPE_NONE)(&n, &one, nullptr, false, false, false,
                                                          false, nullptr, nullptr, false, false,
                                                          false, false),
              &none_value);
    EXPECT_EQ(get_action_ptr_by_type<ACT_SELECT>(TYPE_NONE)(&n, &one, nullptr, false, false, false,
                                                            false, nullptr, nullptr, false, false),
              &none_value);
    EXPECT_EQ(raised_code([&] { (void)get_action_ptr_by_type<ACT_APPEND>(TYPE_NONE); }), 305u);
}

TEST_F(SmallTypes, RandomDrawsFromTheGenerator) {
    cell t = true_value;
    random_fn random = get_action_ptr_by_type<ACT_RANDOM>(TYPE_LOGIC);
    random_seed(1);
    std::vector<uint32_t> draws;
    for (int i = 0; i < 40; i++) draws.push_back(random_next());

    random_seed(0);
    EXPECT_EQ(random(&t, true, false, false), &unset_value);  // seeds with 1
    for (uint32_t d : draws) EXPECT_EQ(random(&t, false, false, false), d > 0x3FFFFFFF ? &true_value : &false_value);
    int trues = 0;
    for (int i = 0; i < 200; i++) trues += random(&t, false, true, false) == &true_value;
    EXPECT_GT(trues, 0);  // the secure source gives both
    EXPECT_LT(trues, 200);
}

TEST_F(SmallTypes, TruthOfValues) {
    struct { cell value; bool truth; } cases[] = {
        {none_value, false}, {false_value, false}, {logic_cell(2), false},  // only 1 is true
        {true_value, true}, {integer_cell(0), true}, {unset_value, true},
    };
    for (auto& c : cases) EXPECT_EQ(value_true_q(&c.value, false, nullptr), c.truth) << TYPE_OF(&c.value);

    cell word{TYPE_WORD, 42, 0, 0};
    EXPECT_EQ(raised_code([&] { value_true_q(&unset_value, true, &word); }), 300u);
    EXPECT_EQ(last_raised_error().args[0].w1, 42u);
}

TEST_F(SmallTypes, TruthOfTheFrame) {
    stack::arguments = stack::top;
    none::push();
    EXPECT_TRUE(arg_false_q());
    EXPECT_FALSE(result_true_q());
    logic::box(1);
    EXPECT_TRUE(result_true_q());
    EXPECT_TRUE(top_true_q());
    logic::push(0);
    EXPECT_TRUE(top_false_q());
    stack::pop(2);
    EXPECT_TRUE(top_true_q());  // an empty frame tests slot 0

    unset::set_result();
    EXPECT_EQ(raised_code([] { result_true_q(); }), 348u);
}

TEST_F(SmallTypes, ConstructorsAtABlockTail) {
    cell block{};
    set_series_value(&block, TYPE_BLOCK, alloc_series(1, sizeof(cell), 0), 0);
    cell* held = stack::push(&block);  // rooted while the buffer grows
    none::alloc_tail(held);
    unset::alloc_tail(held);
    logic::alloc_tail(held, 1);
    datatype::alloc_tail(held, TYPE_LOGIC);
    series_buffer* b = node_buffer(series_node(held));
    ASSERT_EQ(b->used_bytes(), 4 * sizeof(cell));
    cell* c = b->cells();
    EXPECT_EQ(TYPE_OF(&c[0]), uint32_t(TYPE_NONE));
    EXPECT_EQ(TYPE_OF(&c[1]), uint32_t(TYPE_UNSET));
    EXPECT_EQ(TYPE_OF(&c[2]), uint32_t(TYPE_LOGIC));
    EXPECT_EQ(c[2].w1, 1u);
    EXPECT_EQ(TYPE_OF(&c[3]), uint32_t(TYPE_DATATYPE));
    EXPECT_EQ(c[3].w1, uint32_t(TYPE_LOGIC));
}
