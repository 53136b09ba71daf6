#include <gtest/gtest.h>

#include "number_fixture.h"

using namespace kel;
using namespace kel::testing;

namespace {

class Percent : public NumberTest {};

}  // namespace

TEST_F(Percent, FormsAndMolds) {
    cell third = run(ACT_DIVIDE, pct(0.01), int_cell(3));
    struct { cell value; bool pretty; const char* text; } cases[] = {
        {pct(0.5), false, "50%"},
        {pct(0.125), false, "12.5%"},
        {third, false, "0.3333333333333%"},
        {pct(-1.0), false, "-100%"},
        {pct(1e18), false, "1e20%"},
        {pct(0.0), false, "0%"},
        {pct(1e-20), true, "0%"},
    };
    for (auto& c : cases) {
        float_::pretty_print_q = c.pretty;
        EXPECT_EQ(formed(c.value), c.text);
        EXPECT_EQ(molded(c.value), c.text);
    }
}

TEST_F(Percent, InheritsAllButItsTextForms) {
    EXPECT_STREQ(type_names[TYPE_PERCENT].name, "percent!");
    for (uint32_t slot = ACT_MAKE; slot <= ACT_ODD_Q; slot++) {
        bool own = slot == ACT_FORM || slot == ACT_MOLD;
        if (own || slot == ACT_REFLECT || slot == ACT_EVAL_PATH || slot == 8) continue;
        EXPECT_EQ(type_action(TYPE_PERCENT, slot), type_action(TYPE_FLOAT, slot)) << slot;
    }
    EXPECT_NE(type_action(TYPE_PERCENT, ACT_FORM), type_action(TYPE_FLOAT, ACT_FORM));
    for (uint32_t slot : {ACT_REFLECT, ACT_AND, ACT_APPEND, ACT_WRITE})
        EXPECT_EQ(type_action(TYPE_PERCENT, slot), nullptr) << slot;
}

TEST_F(Percent, RoundsToWholePercents) {
    struct { cell value, scale; uint32_t type; double expected; } cases[] = {
        {pct(0.126), unset_value, TYPE_PERCENT, 0.13},
        {pct(-0.125), unset_value, TYPE_PERCENT, -0.13},
        {pct(0.12345), dec(0.1), TYPE_FLOAT, 0.123},  // a /to scale in percent points
        {pct(0.12345), pct(0.01), TYPE_PERCENT, 0.1235},
    };
    for (auto& c : cases) {
        cell r = round_value(c.value, c.scale, PLAIN);
        ASSERT_EQ(TYPE_OF(&r), c.type) << cell_float(&c.value);
        if (c.type == TYPE_INTEGER) EXPECT_EQ(integer::get(&r), c.expected);
        else EXPECT_DOUBLE_EQ(cell_float(&r), c.expected);
    }
}

TEST_F(Percent, ComparesAsItsFraction) {
    cell half = pct(0.5), point_five = dec(0.5), fifty = int_cell(50);
    EXPECT_TRUE(actions::compare(&half, &point_five, COMP_EQUAL));
    EXPECT_FALSE(actions::compare(&half, &point_five, COMP_STRICT_EQUAL));
    EXPECT_TRUE(actions::compare(&half, &fifty, COMP_LESSER));
}
