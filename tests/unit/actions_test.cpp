// Action entries and lookups: dispatch by type, the errors of a missing implementation,
// comparisons as truth values, the pick index.
#include <gtest/gtest.h>

#include "tests/unit/interp_fixture.h"

namespace kel {
namespace {

using testing::InterpTest;

class ActionsTest : public InterpTest {};

TEST_F(ActionsTest, CompareTruthAndIncomparableValues) {
    struct {
        int32_t op;
        bool truth;
    } cases[] = {
        {COMP_EQUAL, false}, {COMP_NOT_EQUAL, true}, {COMP_STRICT_EQUAL, false}, {COMP_FIND, false},
    };
    cell n = integer_value(1);
    cell* one = stack::push(&n);
    cell* text = string::make_at(stack::push_cell(), 4);
    for (const auto& c : cases) EXPECT_EQ(actions::compare(one, text, c.op), c.truth) << c.op;
    for (int32_t op : {COMP_LESSER, COMP_LESSER_EQUAL, COMP_GREATER, COMP_GREATER_EQUAL})
        EXPECT_EQ(testing::raised_code([&] { actions::compare(one, text, op); }),
                  script_code(script_error::invalid_compare))
            << op;
}

TEST_F(ActionsTest, PickIndexOfEachKind) {
    struct {
        cell index;
        int32_t expected;
    } cases[] = {
        {cell{TYPE_LOGIC, 1, 0, 0}, 1},
        {cell{TYPE_LOGIC, 0, 0, 0}, 2},
        {integer_value(-3), -3},
        {cell{TYPE_CHAR, 0, 65, 0}, 65},
        {none_value, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(get_pick_index(&c.index), c.expected);
}

TEST_F(ActionsTest, PathLookupWithoutAPathNamesTheElement) {
    cell five = integer_value(5), one = integer_value(1);
    cell* parent = stack::push(&five);
    cell* element = stack::push(&one);
    EXPECT_EQ(testing::raised_code([&] { get_action_ptr_path(parent, element, nullptr, -1); }),
              script_code(script_error::bad_path_type2));
    EXPECT_NE(error_text().find("path element > 1 < does not apply to integer! type"), std::string::npos)
        << error_text();
}

TEST_F(ActionsTest, EntriesReadRefinementsFromTheFrame) {
    struct {
        const char* script;
        const char* expected;
    } cases[] = {
        {"copy/part [1 2 3] 2", "[1 2]"},
        {"copy/types [1] integer!", "[1]"},
        {"pick [a b c] 2", "b"},
        {"pick [a b c] true", "a"},
        {"length? next [1 2]", "1"},
        {"mold/only [1 [2]]", "\"1 [2]\""},
        {"form [1 [2]]", "\"1 2\""},
        {"make block! [1]", "[1]"},
    };
    for (const auto& c : cases) EXPECT_EQ(run(c.script), c.expected) << c.script;
}

TEST_F(ActionsTest, FastPathsMatchTheFullCalls) {
    cell add = word::load("add"), big = integer_value(2147483647), two = integer_value(2);
    cell* sum = fast_math_value_int(&big, 1, 0, &add);
    ASSERT_EQ(TYPE_OF(sum), TYPE_FLOAT);
    EXPECT_EQ(cell_float(sum), 2147483648.0);
    EXPECT_EQ(int_of(fast_math_value_int(&two, 5, 7, &add)), 7);  // xor
    cell half{TYPE_FLOAT, 0, 0, 0};
    set_cell_float(&half, 0.5);
    EXPECT_EQ(cell_float(fast_math_values(&two, &half, 0, &add)), 2.5);  // the add action
    cell greater = word::load("greater?");
    EXPECT_TRUE(fast_compare_value_int_cond(&two, 1, COMP_GREATER, &greater, false));
    EXPECT_FALSE(fast_compare_values_cond(&half, &two, COMP_GREATER, &greater, false));
    EXPECT_TRUE(fast_compare_values_cond(&half, &two, COMP_GREATER, &greater, true));

    cell* block = load("a b");
    cell pick = word::load("pick");
    for (int32_t index : {0, -1, 3}) EXPECT_EQ(TYPE_OF(fast_pick_block(block, index, &pick)), TYPE_NONE) << index;
    EXPECT_EQ(molded(fast_pick_block(block, 2, &pick)), "b");
    EXPECT_EQ(int_of(fast_series_op(block, 1, &pick)), 2);
    EXPECT_EQ(molded(fast_series_op(block, 5, &pick)), "[b]");
    EXPECT_EQ(fast_series_op(block, 4, &pick)->w1, 0u);
}

}  // namespace
}  // namespace kel
