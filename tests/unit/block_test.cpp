// Block search, set operations and block actions, driven through the action table.
#include "runtime/error_catalog.h"
#include "tests/unit/series_fixture.h"

namespace kel::testing {
namespace {

using BlockActions = SeriesTest;

constexpr uint32_t code(script_error e) { return error_code(ERR_SCRIPT, static_cast<uint32_t>(e)); }
constexpr uint32_t code(internal_error e) { return error_code(ERR_INTERNAL, static_cast<uint32_t>(e)); }

// The first value of the text.
cell* value_of(const std::string& text) { return stack::push(block::ks_abs_at(SeriesTest::load("[" + text + "]"), 0)); }

struct find_row {
    const char* series;
    int32_t head;
    const char* value;
    int32_t part = 0;  // 0: none
    int32_t skip = 0;  // 0: none
    bool only = false, case_q = false, same = false, last = false, reverse = false, tail = false,
         match = false;
    int32_t expected = -1;  // found head, -1 for none
};

TEST_F(BlockActions, FindWithItsRefinements) {
    find_row rows[] = {
        {.series = "[a b c]", .head = 0, .value = "b", .expected = 1},
        {.series = "[a b c]", .head = 0, .value = "b", .tail = true, .expected = 2},
        {.series = "[a b a]", .head = 0, .value = "a", .last = true, .expected = 2},
        {.series = "[a b a]", .head = 0, .value = "a", .last = true, .tail = true, .expected = 3},
        {.series = "[1 2 3 4]", .head = 0, .value = "[2 3]", .expected = 1},
        {.series = "[1 2 3 4]", .head = 0, .value = "[2 3]", .tail = true, .expected = 3},
        {.series = "[1 2 3 4]", .head = 0, .value = "[3 5]"},
        {.series = "[1 2 3 4]", .head = 0, .value = "[3 4]", .last = true, .expected = 2},
        {.series = "[[2 3] 2 3]", .head = 0, .value = "[2 3]", .only = true, .expected = 0},
        {.series = "[a 1 b 2]", .head = 0, .value = "b", .skip = 2, .expected = 2},
        {.series = "[a b b a]", .head = 0, .value = "b", .skip = 2, .expected = 2},
        {.series = "[a 1 b 2]", .head = 0, .value = "b", .skip = 2, .tail = true, .expected = 4},
        {.series = "[a b c]", .head = 0, .value = "c", .part = 2},
        {.series = "[a b c]", .head = 0, .value = "c", .part = 3, .expected = 2},
        {.series = "[a b c]", .head = 0, .value = "c", .part = -1},
        {.series = "[a b a c]", .head = 0, .value = "a", .reverse = true},
        {.series = "[a b a c]", .head = 3, .value = "a", .reverse = true, .expected = 2},
        {.series = "[a b a c]", .head = 3, .value = "a", .reverse = true, .tail = true, .expected = 3},
        {.series = "[a b c]", .head = 0, .value = "a", .match = true, .expected = 0},
        {.series = "[a b c]", .head = 0, .value = "b", .match = true},
        {.series = "[A b]", .head = 0, .value = "a", .expected = 0},
        {.series = "[A b]", .head = 0, .value = "a", .case_q = true},
        {.series = "[a b]", .head = 2, .value = "a"},
        {.series = "[a b c]", .head = 1, .value = "a"},
    };
    for (const find_row& r : rows) {
        cell* series = load(r.series);
        series->w1 = static_cast<uint32_t>(r.head);
        cell* value = value_of(r.value);
        cell* base = frame({series, value});
        cell* part = r.part ? refine(integer_value(r.part)) : nullptr;
        cell* skip = r.skip ? refine(integer_value(r.skip)) : nullptr;
        const cell* found = act<ACT_FIND>(base, base + 1, part, r.only, r.case_q, r.same, false, nullptr,
                                          skip, r.last, r.reverse, r.tail, r.match);
        int32_t at = TYPE_OF(found) == TYPE_NONE ? -1 : series::head_of(found);
        EXPECT_EQ(at, r.expected) << "find " << r.series << " " << r.value;
    }
}

TEST_F(BlockActions, FindByDatatypeTypesetAndSameness) {
    cell* series = load("[1 \"a\" 2.0]");
    cell* base = frame({series, push(cell{TYPE_DATATYPE, TYPE_STRING, 0, 0})});
    auto find = [&](bool only, bool same) {
        const cell* r = act<ACT_FIND>(base, base + 1, nullptr, only, false, same, false, nullptr, nullptr,
                                      false, false, false, false);
        return TYPE_OF(r) == TYPE_NONE ? -1 : series::head_of(r);
    };
    EXPECT_EQ(find(false, false), 1);
    EXPECT_EQ(find(true, false), -1);  // /only looks for the datatype value itself
    cell numbers{TYPE_TYPESET, 0, 0, 0};
    typeset_add(&numbers, TYPE_FLOAT);
    base[1] = numbers;
    EXPECT_EQ(find(false, false), 2);

    cell* inner = load("[x]");
    cell* outer = load("[[x] 1]");
    block::ks_append(outer, inner);
    base = frame({outer, inner});
    EXPECT_EQ(find(true, false), 0);  // equal
    EXPECT_EQ(find(true, true), 2);   // the same series

    base = frame({load("[a b]"), value_of("b")});
    EXPECT_EQ(raised_code([&] {
                  act<ACT_FIND>(base, base + 1, nullptr, false, false, false, false, nullptr,
                                refine(integer_value(0)), false, false, false, false);
              }),
              code(script_error::out_of_range));
}

TEST_F(BlockActions, SelectGivesTheCellAfterTheMatch) {
    struct row {
        const char* series;
        const char* value;
        const char* expected;
    } rows[] = {
        {"[a 1 b 2]", "b", "2"},
        {"[a 1 b]", "b", "none"},
        {"[1 2 3 4]", "[2 3]", "4"},
        {"[a 1 b 2]", "c", "none"},
    };
    for (const row& r : rows) {
        cell* base = frame({load(r.series), value_of(r.value)});
        EXPECT_EQ(mold(act<ACT_SELECT>(base, base + 1, nullptr, false, false, false, false, nullptr,
                                       nullptr, false, false)),
                  r.expected)
            << r.series;
    }
}

TEST_F(BlockActions, InsertAndAppend) {
    struct row {
        const char* series;
        int32_t head;
        const char* value;
        int32_t part, dup;
        bool only, append;
        const char* expected;
        int32_t result_head;
    } rows[] = {
        {"[1]", 0, "[2 3]", -1, 1, false, true, "[1 2 3]", 0},
        {"[1]", 1, "[2 3]", -1, 1, false, true, "[1 2 3]", 0},
        {"[1]", 0, "[2 3]", -1, 1, true, true, "[1 [2 3]]", 0},
        {"[]", 0, "x", -1, 3, false, false, "[x x x]", 3},
        {"[1 2]", 1, "9", -1, 1, false, false, "[1 9 2]", 2},
        {"[]", 0, "[1 2 3]", 2, 1, false, true, "[1 2]", 0},
        {"[a]", 0, "[b c]", -1, 3, false, true, "[a b c b c b c]", 0},
        {"[a]", 0, "[]", -1, 1, false, false, "[a]", 0},
        {"[1 2]", 5, "x", -1, 1, false, false, "[1 2 x]", 3},
    };
    for (const row& r : rows) {
        cell* s = load(r.series);
        s->w1 = static_cast<uint32_t>(r.head);
        cell* base = frame({s, value_of(r.value)});
        act<ACT_INSERT>(base, base + 1, r.part, r.only, r.dup, r.append);
        EXPECT_EQ(whole(base), r.expected) << r.series << " " << r.value;
        EXPECT_EQ(series::head_of(base), r.result_head) << r.series << " " << r.value;
    }
    // A block inserted into itself: the source cells move while the block grows.
    cell* b = load("[1 2]");
    cell* base = frame({b, b});
    act<ACT_INSERT>(base, base + 1, -1, false, 1, false);
    EXPECT_EQ(whole(base), "[1 2 1 2]");
    b->w1 = 1;
    base = frame({b, b});
    act<ACT_APPEND>(base, base + 1, -1, false, 2, true);
    EXPECT_EQ(whole(base), "[1 2 1 2 2 1 2 2 1 2]");
}

TEST_F(BlockActions, ChangeReplacesAndPositionsAfter) {
    struct row {
        const char* series;
        int32_t head;
        const char* value;
        int32_t part, dup;
        bool only;
        const char* expected;
        int32_t result_head;
    } rows[] = {
        {"[1 2 3]", 0, "9", -1, 1, false, "[9 2 3]", 1},
        {"[1 2 3]", 0, "[a b]", 1, 1, false, "[a b 2 3]", 2},
        {"[1 2 3]", 0, "[a b c d]", -1, 1, false, "[a b c d]", 4},
        {"[1 2 3]", 1, "[a b]", -1, 1, true, "[1 [a b] 3]", 2},
        {"[1 2 3 4]", 0, "x", -1, 2, false, "[x x 3 4]", 2},
        {"[1 2 3]", 0, "[]", 2, 1, false, "[3]", 0},
        {"[1 2 3]", 3, "x", -1, 1, false, "[1 2 3 x]", 4},
    };
    for (const row& r : rows) {
        cell* s = load(r.series);
        s->w1 = static_cast<uint32_t>(r.head);
        cell* base = frame({s, value_of(r.value)});
        act<ACT_CHANGE>(base, base + 1, r.part, r.only, r.dup);
        EXPECT_EQ(whole(base), r.expected) << r.series << " " << r.value;
        EXPECT_EQ(series::head_of(base), r.result_head) << r.series << " " << r.value;
    }
    cell* b = load("[1 2 3]");
    cell* tail = push(*b);
    tail->w1 = 1;
    cell* base = frame({b, tail});
    act<ACT_CHANGE>(base, base + 1, -1, false, 1);
    EXPECT_EQ(whole(base), "[2 3 3]");
}

TEST_F(BlockActions, PutSwapAndTrim) {
    struct row {
        const char* series;
        const char* key;
        const char* value;
        const char* expected;
    } rows[] = {
        {"[a 1]", "b", "2", "[a 1 b 2]"},
        {"[a 1]", "a", "5", "[a 5]"},
        {"[a]", "a", "5", "[a 5]"},
    };
    for (const row& r : rows) {
        cell* base = frame({load(r.series), value_of(r.key), value_of(r.value)});
        EXPECT_EQ(mold(act<ACT_PUT>(base, base + 1, base + 2, false)), r.value);
        EXPECT_EQ(whole(base), r.expected) << r.series;
    }

    cell* one = load("[1 2]");
    one->w1 = 1;
    cell* two = load("[a b]");
    act<ACT_SWAP>(one, two);
    EXPECT_EQ(whole(one), "[1 a]");
    EXPECT_EQ(whole(two), "[2 b]");
    EXPECT_EQ(raised_code([&] { act<ACT_SWAP>(one, integer(3)); }), code(script_error::invalid_arg));

    cell* holes = load("[none 1 none none 2 none]");
    act<ACT_TRIM>(holes, false, false, false, false, false, nullptr);
    EXPECT_EQ(whole(holes), "[1 2]");
}

TEST_F(BlockActions, TakeGivesTheCellItselfWithoutPart) {
    cell* s = load("[[1 2] 3]");
    cell* base = frame({s});
    cell* taken = push(*act<ACT_TAKE>(base, nullptr, false, false));
    EXPECT_EQ(mold(taken), "[1 2]");

    // /deep copies the nested series it takes.
    s = load("[[1 2] 3]");
    cell* inner = push(*block::ks_abs_at(s, 0));
    base = frame({s});
    cell* deep = push(*act<ACT_TAKE>(base, refine(integer_value(1)), true, false));
    EXPECT_EQ(mold(deep), "[[1 2]]");
    EXPECT_NE(series_node(block::ks_abs_at(deep, 0)), series_node(inner));
}

TEST_F(BlockActions, CopyDeepAndTypes) {
    cell* s = load("[1 [2 [3]] \"t\"]");
    cell* base = frame({s});
    cell* result = stack::push(&unset_value);
    act<ACT_COPY>(base, result, nullptr, true, nullptr);
    EXPECT_EQ(mold(result), "[1 [2 [3]] \"t\"]");
    cell* copied_inner = block::ks_abs_at(result, 1);
    cell* source_inner = block::ks_abs_at(s, 1);
    EXPECT_NE(series_node(copied_inner), series_node(source_inner));
    EXPECT_NE(series_node(block::ks_abs_at(copied_inner, 1)), series_node(block::ks_abs_at(source_inner, 1)));
    EXPECT_NE(series_node(block::ks_abs_at(result, 2)), series_node(block::ks_abs_at(s, 2)));

    // /types copies only the cells of the given types.
    base = frame({s});
    result = stack::push(&unset_value);
    cell* types = refine(cell{TYPE_DATATYPE, TYPE_STRING, 0, 0});
    act<ACT_COPY>(base, result, nullptr, false, types);
    EXPECT_EQ(series_node(block::ks_abs_at(result, 1)), series_node(block::ks_abs_at(s, 1)));
    EXPECT_NE(series_node(block::ks_abs_at(result, 2)), series_node(block::ks_abs_at(s, 2)));
}

// A block that contains itself.
cell* self_block() {
    cell* b = SeriesTest::load("[1 2]");
    block::ks_append(b, b);
    return b;
}

// Blocks nested depth deep: [[[...]]].
cell* nested(int32_t depth) {
    cell* outer = block::push_only(1);
    cell* current = stack::push(outer);
    for (int32_t i = 1; i < depth; i++) {
        cell* inner = block::push_only(1);
        block::ks_append(current, inner);
        *current = *inner;
        stack::pop(1);
    }
    stack::pop(1);
    return outer;
}

TEST_F(BlockActions, DeepCopiesRefuseCyclesAndNeverOverflowTheMachineStack) {
    cell* b = self_block();
    cell* base = frame({b});
    cell* result = stack::push(&unset_value);
    EXPECT_EQ(raised_code([&] { act<ACT_COPY>(base, result, nullptr, true, nullptr); }),
              code(internal_error::no_cycle));
    EXPECT_EQ(cycles_depth(), 0u);
    EXPECT_EQ(raised_code([&] { block::clone(b, true, false); }), code(internal_error::no_cycle));
    EXPECT_EQ(cycles_depth(), 0u);

    // Shared (not cyclic) sub-blocks are copied each time they are met.
    cell* shared = load("[x]");
    cell* twice = load("[]");
    block::ks_append(twice, shared);
    block::ks_append(twice, shared);
    cell* copy = block::clone(twice, true, false);
    EXPECT_EQ(mold(copy), "[[x] [x]]");

    cell* deep = nested(5000);
    EXPECT_EQ(raised_code([&] { block::clone(deep, true, false); }), code(internal_error::too_deep));
    EXPECT_EQ(cycles_depth(), 0u);
    cell* fine = nested(450);
    cell* cloned = block::clone(fine, true, false);
    EXPECT_EQ(block::compare(cloned, fine, COMP_EQUAL), 0);
    EXPECT_NE(series_node(block::ks_abs_at(cloned, 0)), series_node(block::ks_abs_at(fine, 0)));
}

TEST_F(BlockActions, MoldAndForm) {
    struct row {
        const char* text;
        bool only, flat;
        const char* mold;
    } rows[] = {
        {"[a b]", false, false, "[a b]"},
        {"\n a\n b", false, false, "[\n    a\n    b\n]"},
        {"\n a b\n c", false, false, "[\n    a b\n    c\n]"},
        {"\n a\n b", true, false, "a\nb"},
        {"\n a\n b", false, true, "[a b]"},
        {"[a b]", true, false, "a b"},
        {"[a [\n b\n c]]", false, false, "[a [\n    b\n    c\n]]"},
        {"\n a [\n b]", false, false, "[\n    a [\n        b\n    ]\n]"},
        {"[a (b c) x/y 'w :g s:]", false, false, "[a (b c) x/y 'w :g s:]"},
        {"[]", false, false, "[]"},
    };
    for (const row& r : rows) EXPECT_EQ(mold(load(r.text), r.only, r.flat), r.mold) << r.text;
    EXPECT_EQ(mold(load("[a b c d]"), false, false, 4), "[a b]");
    EXPECT_EQ(form(load("[1 [2 3] \"x\"]")), "1 2 3 x");
    EXPECT_EQ(form(load("[a b c d]"), 3), "a b");

    cell* b = self_block();
    EXPECT_EQ(mold(b), "[1 2 [...]]");
    EXPECT_EQ(form(b), "1 2 ...");
    EXPECT_EQ(raised_code([&] { mold(nested(1000)); }), code(internal_error::too_deep));
    EXPECT_EQ(cycles_depth(), 0u);
}

TEST_F(BlockActions, Compare) {
    struct row {
        const char* a;
        const char* b;
        int32_t op;
        bool expected;
    } rows[] = {
        {"[1 2]", "[1 2.0]", COMP_EQUAL, true},
        {"[a]", "[b c]", COMP_EQUAL, false},
        {"[a]", "[b c]", COMP_NOT_EQUAL, true},
        {"[1 2]", "[1 2 3]", COMP_LESSER, true},
        {"[1 3]", "[1 2 3]", COMP_GREATER, true},
        {"[]", "[1]", COMP_LESSER, true},
        {"[1]", "[]", COMP_GREATER, true},
        {"[1 b]", "[1 2]", COMP_GREATER, true},
        {"[A]", "[a]", COMP_EQUAL, true},
        {"[A]", "[a]", COMP_STRICT_EQUAL, false},
        {"[[1 2]]", "[[1 2]]", COMP_EQUAL, true},
        {"[1 2]", "[1 2]", COMP_SAME, false},
    };
    for (const row& r : rows)
        EXPECT_EQ(actions::compare(load(r.a), load(r.b), r.op), r.expected) << r.a << " op " << r.op << " " << r.b;
    cell* b = self_block();
    EXPECT_TRUE(actions::compare(b, b, COMP_SAME));
    cell* other = self_block();
    EXPECT_TRUE(actions::compare(b, other, COMP_EQUAL));
    EXPECT_EQ(block::compare(load("[a]"), load("(a)"), COMP_EQUAL), INCOMPARABLE);
}

TEST_F(BlockActions, EvalPath) {
    cell* b = load("[a 1 b 2]");
    cell* two = integer(2);
    EXPECT_EQ(mold(act<ACT_EVAL_PATH>(b, two, nullptr, nullptr, nullptr, nullptr, -1, false, false, true, false)), "1");
    cell* key = word("b");
    EXPECT_EQ(mold(act<ACT_EVAL_PATH>(b, key, nullptr, nullptr, nullptr, nullptr, -1, false, false, true, false)), "2");
    cell* value = integer(7);
    act<ACT_EVAL_PATH>(b, key, value, nullptr, nullptr, nullptr, -1, false, false, true, false);
    EXPECT_EQ(whole(b), "[a 1 b 7]");
    cell* missing = word("q");
    EXPECT_EQ(raised_code([&] { act<ACT_EVAL_PATH>(b, missing, value, nullptr, nullptr, nullptr, -1, false, false, true, false); }),
              code(script_error::bad_path_set));
}

TEST_F(BlockActions, MakeAndTo) {
    cell proto{TYPE_DATATYPE, TYPE_BLOCK, 0, 0};
    cell* spec = integer(5);
    cell* made = push(*make_dispatch(&proto, spec, TYPE_BLOCK));
    EXPECT_EQ(mold(made), "[]");
    EXPECT_GE(node_buffer(series_node(made))->size, 5 * sizeof(cell));
    cell* source = load("[a b]");
    made = push(*make_dispatch(&proto, source, TYPE_BLOCK));
    EXPECT_EQ(mold(made), "[a b]");
    EXPECT_NE(series_node(made), series_node(source));
    cell* text = string::make_at(stack::push_cell(), 4);
    EXPECT_EQ(raised_code([&] { make_dispatch(&proto, text, TYPE_BLOCK); }), code(script_error::bad_make_arg));
    EXPECT_EQ(mold(to_dispatch(&proto, spec, TYPE_BLOCK)), "[5]");
    EXPECT_EQ(mold(to_dispatch(&proto, source, TYPE_PAREN)), "(a b)");
}

TEST_F(BlockActions, Sort) {
    struct row {
        const char* series;
        int32_t skip = 0, compare = 0, part = 0, head = 0;
        bool case_q = false, all = false, reverse = false, stable = false;
        const char* expected;
        uint32_t error = 0;
    } rows[] = {
        {.series = "[3 1 2]", .expected = "[1 2 3]"},
        {.series = "[3 1 2]", .reverse = true, .expected = "[3 2 1]"},
        {.series = "[b 2 a 1]", .skip = 2, .compare = 2, .expected = "[a 1 b 2]"},
        {.series = "[b 1 a 1 c 0]", .skip = 2, .compare = 2, .stable = true, .expected = "[c 0 b 1 a 1]"},
        {.series = "[b 1 a 2 a 1]", .skip = 2, .all = true, .expected = "[a 1 a 2 b 1]"},
        {.series = "[b 2 a 1]", .skip = 2, .expected = "[a 1 b 2]"},
        {.series = "[3 1 2]", .part = 2, .expected = "[1 3 2]"},
        {.series = "[3 2 1]", .part = -2, .head = 2, .expected = "[2 3 1]"},
        {.series = "[3 2 1]", .part = -3, .head = 2, .expected = "[3 2 1]"},
        {.series = "[b 2 a 1]", .expected = "[1 2 a b]"},
        {.series = "[b A a]", .case_q = true, .expected = "[A a b]"},
        {.series = "[a b c]", .skip = 2, .expected = "[a b c]", .error = code(script_error::invalid_refine_arg)},
        {.series = "[a b]", .skip = -1, .expected = "[a b]", .error = code(script_error::invalid_refine_arg)},
        {.series = "[a b]", .all = true, .expected = "[a b]", .error = code(script_error::bad_refines)},
        {.series = "[a b]", .compare = 1, .expected = "[a b]", .error = code(script_error::bad_refines)},
        {.series = "[a 1 b 2]", .skip = 2, .compare = 3, .expected = "[a 1 b 2]", .error = code(script_error::out_of_range)},
    };
    for (const row& r : rows) {
        cell* s = load(r.series);
        s->w1 = static_cast<uint32_t>(r.head);
        cell* base = frame({s});
        cell* skip = r.skip ? refine(integer_value(r.skip)) : nullptr;
        cell* compare = r.compare ? refine(integer_value(r.compare)) : nullptr;
        cell* part = r.part ? refine(integer_value(r.part)) : nullptr;
        EXPECT_EQ(raised_code([&] { act<ACT_SORT>(base, r.case_q, skip, compare, part, r.all, r.reverse, r.stable); }),
                  r.error)
            << r.series;
        EXPECT_EQ(whole(base), r.expected) << r.series;
    }
}

// A function comparator is called through the interpreter's hook with (b, a).
TEST_F(BlockActions, SortCompareFunctionGoesThroughTheHook) {
    cell* base = frame({load("[3 1 2]")});
    cell* fn = refine(cell{TYPE_FUNCTION, 0, 0, 0});
    EXPECT_EQ(raised_code([&] { act<ACT_SORT>(base, false, nullptr, fn, nullptr, false, false, false); }),
              code(internal_error::not_done));
    block::call_sort_function = [](cell*, const cell* first, const cell* second) {
        return int_of(first) < int_of(second) ? &true_value : &false_value;
    };
    act<ACT_SORT>(base, false, nullptr, fn, nullptr, false, false, false);
    EXPECT_EQ(whole(base), "[1 2 3]");
}

}  // namespace
}  // namespace kel::testing
