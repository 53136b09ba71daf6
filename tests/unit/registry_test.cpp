#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <utility>

#include "evaluator/actions.h"
#include "runtime_fixture.h"

using namespace kel;
using namespace kel::testing;

namespace {

class Registry : public RuntimeTest {};

int32_t form_marker(cell*, cell* buffer, cell*, int32_t part) {
    return string::form_text(buffer, "marker", part);
}
int32_t mold_marker(cell*, cell* buffer, bool, bool, bool, cell*, int32_t part, int32_t) {
    return string::form_text(buffer, "molded", part);
}

int32_t stub_result;
int32_t compare_stub(cell*, cell*, int32_t) { return stub_result; }

using entries = std::array<action_entry, ACTIONS_COUNT>;

template <size_t... I>
void register_list(uint32_t type, uint32_t parent, const char* name, const action_entry* e,
                   std::index_sequence<I...>) {
    register_datatype(type, parent, name, {e[I]...});
}

// Every slot holds fill except the given ones.
void register_with(uint32_t type, uint32_t parent, const char* name, action_entry fill,
                   std::initializer_list<std::pair<uint32_t, action_entry>> given) {
    entries e;
    e.fill(fill);
    for (auto [slot, fn] : given) e[slot - 1] = fn;
    register_list(type, parent, name, e.data(), std::make_index_sequence<ACTIONS_COUNT>());
}

constexpr uint32_t PARENT = 200, CHILD = 201, ORPHAN = 202, STUB = 203;

}  // namespace

TEST_F(Registry, InheritanceIsResolvedAtRegistration) {
    register_with(PARENT, 0, "parent!", nullptr,
                  {{ACT_FORM, entry<ACT_FORM>(form_marker)}, {ACT_MOLD, entry<ACT_MOLD>(mold_marker)}});
    register_with(CHILD, PARENT, "child!", INHERIT, {{ACT_MOLD, nullptr}});
    register_with(ORPHAN, 0, "orphan!", INHERIT, {});

    struct { uint32_t type, slot; action_entry expected; } cases[] = {
        {CHILD, ACT_FORM, entry<ACT_FORM>(form_marker)},  // -1 takes the parent's entry
        {CHILD, ACT_COMPARE, nullptr},                    // -1 over the parent's 0 stays 0
        {CHILD, ACT_MOLD, nullptr},                       // an own 0 is not inherited
        {ORPHAN, ACT_FORM, nullptr},                      // -1 without a parent is empty
        {ORPHAN, ACT_WRITE, nullptr},
    };
    for (auto c : cases) EXPECT_EQ(type_action(c.type, c.slot), c.expected) << c.type << "/" << c.slot;

    // A later change to the parent does not reach the child.
    register_with(PARENT, 0, "parent!", nullptr, {});
    EXPECT_EQ(type_action(CHILD, ACT_FORM), entry<ACT_FORM>(form_marker));

    EXPECT_STREQ(type_names[CHILD].name, "child!");
    EXPECT_EQ(type_names[CHILD].length, 5u);
    EXPECT_GE(highest_type, ORPHAN);
}

TEST_F(Registry, TheWordLoaderFillsNameWords) {
    register_with(PARENT, 0, "parent!", nullptr, {});
    EXPECT_EQ(type_names[PARENT].word.header, 0u);  // no words yet

    load_type_word = [](const char* name, cell* word) { *word = cell{TYPE_WORD, uint32_t(name[0]), 0, 0}; };
    datatype::names_init();
    register_with(CHILD, 0, "child!", nullptr, {});  // registered late: loaded at once
    load_type_word = nullptr;

    EXPECT_EQ(type_names[TYPE_LOGIC].word.w1, uint32_t('l'));
    EXPECT_EQ(type_names[PARENT].word.w1, uint32_t('p'));
    EXPECT_EQ(type_names[CHILD].word.w1, uint32_t('c'));
}

TEST_F(Registry, WrongEntryCountFailsTheProcess) {
    for (size_t count : {61u, 63u}) {
        auto register_count = [count] {
            dup2(STDERR_FILENO, STDOUT_FILENO);  // the report goes to standard output
            action_entry list[63] = {};
            if (count == 61)
                register_list(ORPHAN, 0, "bad!", list, std::make_index_sequence<61>());
            else
                register_list(ORPHAN, 0, "bad!", list, std::make_index_sequence<63>());
        };
        std::string expected = "^\\*\\*\\* Datatype Error: invalid actions count for type: 202\n"
                               "\\*\\*\\* Found: " + std::to_string(count) + "\n"
                               "\\*\\*\\* Expected: 62\n$";
        EXPECT_EXIT(register_count(), ::testing::ExitedWithCode(1), expected);
    }
}

TEST_F(Registry, DispatchGoesThroughTheTable) {
    register_with(PARENT, 0, "parent!", nullptr,
                  {{ACT_FORM, entry<ACT_FORM>(form_marker)}, {ACT_MOLD, entry<ACT_MOLD>(mold_marker)}});
    register_with(CHILD, PARENT, "child!", INHERIT, {});
    cell value{CHILD, 0, 0, 0};
    cell* out = new_buffer();
    EXPECT_EQ(form_dispatch(&value, out, nullptr, 100), 94);
    EXPECT_EQ(mold_dispatch(&value, out, false, false, false, nullptr, 10, 0), 4);
    EXPECT_EQ(text_of(out), "markermolded");
}

TEST_F(Registry, AnEmptySlotRaisesExpectArg) {
    cell proto{TYPE_DATATYPE, TYPE_DATATYPE, 0, 0};
    cell spec = integer_cell(1);
    EXPECT_EQ(raised_code([&] { (void)make_dispatch(&proto, &spec, TYPE_DATATYPE); }), 305u);
    const cell& arg2 = last_raised_error().args[1];
    EXPECT_EQ(TYPE_OF(&arg2), uint32_t(TYPE_DATATYPE));
    EXPECT_EQ(arg2.w1, uint32_t(TYPE_DATATYPE));
}

TEST_F(Registry, DatatypeFormsAndMolds) {
    if (!type_names[TYPE_BLOCK].name) register_with(TYPE_BLOCK, 0, "block!", nullptr, {});
    cell block{TYPE_DATATYPE, TYPE_BLOCK, 0, 0};
    struct { bool mold, all; const char* text; } cases[] = {
        {false, false, "block"},
        {true, false, "block!"},
        {true, true, "#(block!)"},
    };
    for (auto c : cases) {
        cell* out = new_buffer();
        int32_t rest = c.mold ? mold_dispatch(&block, out, false, c.all, false, nullptr, 100, 0)
                              : form_dispatch(&block, out, nullptr, 100);
        EXPECT_EQ(text_of(out), c.text);
        EXPECT_EQ(rest, 100 - int32_t(strlen(c.text))) << c.text;
    }
}

TEST_F(Registry, DatatypesCompareOnlyForEquality) {
    cell block{TYPE_DATATYPE, TYPE_BLOCK, 0, 0};
    cell block2 = block;
    cell string{TYPE_DATATYPE, TYPE_STRING, 0, 0};
    cell five = integer_cell(5);
    EXPECT_TRUE(actions::compare(&block, &block2, COMP_EQUAL));
    EXPECT_FALSE(actions::compare(&block, &string, COMP_EQUAL));
    EXPECT_FALSE(actions::compare(&block, &five, COMP_EQUAL));
    EXPECT_TRUE(actions::compare(&block, &five, COMP_NOT_EQUAL));
    EXPECT_EQ(raised_code([&] { actions::compare(&block, &string, COMP_LESSER); }), 343u);
}

// The truth of an entry's answer for each operation code.
TEST_F(Registry, CompareTruthRule) {
    register_with(STUB, 0, "stub!", nullptr, {{ACT_COMPARE, entry<ACT_COMPARE>(compare_stub)}});
    enum { F, T, RAISES };
    struct { int32_t op, answer; int expected; } cases[] = {
        {COMP_EQUAL, 0, T}, {COMP_EQUAL, 1, F}, {COMP_EQUAL, INCOMPARABLE, F},
        {COMP_NOT_EQUAL, 0, F}, {COMP_NOT_EQUAL, -1, T}, {COMP_NOT_EQUAL, INCOMPARABLE, T},
        {COMP_STRICT_EQUAL, 0, T}, {COMP_STRICT_EQUAL, INCOMPARABLE, F},
        {COMP_LESSER, -1, T}, {COMP_LESSER, 0, F}, {COMP_LESSER, INCOMPARABLE, RAISES},
        {COMP_LESSER_EQUAL, 0, T}, {COMP_LESSER_EQUAL, 1, F}, {COMP_LESSER_EQUAL, INCOMPARABLE, RAISES},
        {COMP_GREATER, 1, T}, {COMP_GREATER, 0, F}, {COMP_GREATER, INCOMPARABLE, RAISES},
        {COMP_GREATER_EQUAL, 0, T}, {COMP_GREATER_EQUAL, -1, F},
        {COMP_GREATER_EQUAL, INCOMPARABLE, RAISES},
        {COMP_SORT, INCOMPARABLE, RAISES}, {COMP_CASE_SORT, INCOMPARABLE, RAISES},
        {COMP_SAME, 0, T}, {COMP_SAME, INCOMPARABLE, F},
        {COMP_STRICT_MATCH, 0, T}, {COMP_MATCH, 1, F}, {COMP_FIND, 0, T}, {COMP_FIND, INCOMPARABLE, F},
    };
    cell a{STUB, 1, 0, 0}, b{STUB, 2, 0, 0};
    for (auto c : cases) {
        stub_result = c.answer;
        if (c.expected == RAISES) {
            EXPECT_EQ(raised_code([&] { actions::compare(&a, &b, c.op); }), 343u) << c.op;
            EXPECT_EQ(last_raised_error().args[0].w1, 1u);
            EXPECT_EQ(last_raised_error().args[1].w1, 2u);
        } else {
            EXPECT_EQ(actions::compare(&a, &b, c.op), c.expected == T) << c.op << " " << c.answer;
        }
    }
}

TEST_F(Registry, StackPushPopAndTop) {
    EXPECT_EQ(stack::top_cell(), stack::bottom);  // empty: the bottom, not below it
    cell one = integer_cell(1);
    cell* pushed = stack::push(&one);
    EXPECT_EQ(stack::top_cell(), pushed);
    EXPECT_EQ(stack::top_cell()->w2, 1u);
    cell two = integer_cell(2);
    EXPECT_EQ(stack::set_last(&two), stack::arguments);
    EXPECT_EQ(stack::arguments->w2, 2u);
    stack::pop(5);
    EXPECT_EQ(stack::top, stack::bottom);
}

TEST_F(Registry, StackOverflowIsACatchableError) {
    cell one = integer_cell(1);
    uint32_t code = raised_code([&] {
        for (;;) stack::push(&one);
    });
    EXPECT_EQ(code, 904u);
    EXPECT_EQ(stack::top, stack::end - 5);
    stack::push(&one);  // usable again
    stack::pop(ARGUMENT_STACK_SIZE);
}
