#include <gtest/gtest.h>

#include <string>

#include "words_fixture.h"

using namespace kel;
using namespace kel::testing;

namespace {

class Typesets : public WordsTest {
protected:
    void SetUp() override {
        WordsTest::SetUp();
        name_type(TYPE_INTEGER, "integer!");
        name_type(TYPE_FLOAT, "float!");
        name_type(TYPE_STRING, "string!");
        words_init();
        // What start-up defines: type words hold their datatypes.
        for (uint32_t t : {TYPE_INTEGER, TYPE_FLOAT, TYPE_STRING, TYPE_NONE}) {
            cell* w = stack::push(&type_names[t].word);
            cell* v = stack::push_cell();
            *v = cell{TYPE_DATATYPE, t, 0, 0};
            _context::set(w, v);
        }
        stack::top = stack::bottom;
    }
    static cell dt(uint32_t type) { return cell{TYPE_DATATYPE, type, 0, 0}; }
    static cell of(std::initializer_list<uint32_t> types) {
        cell ts{TYPE_TYPESET, 0, 0, 0};
        for (uint32_t t : types) typeset_add(&ts, t);
        return ts;
    }
    static cell* make(std::initializer_list<cell> elements) {
        cell* block = push_block(elements);
        return const_cast<cell*>(make_dispatch(block, block, TYPE_TYPESET));
    }
    // Runs a frame action on slot 0 and slot 1.
    static cell frame(void (*action)(), cell a, cell b) {
        cell* saved = stack::arguments;
        stack::arguments = stack::push(&a);
        stack::push(&b);
        action();
        cell result = *stack::arguments;
        stack::arguments = saved;
        return result;
    }
};

TEST_F(Typesets, MoldNamesMembersInTypeOrder) {
    struct Case {
        cell value;
        bool only;
        const char* text;
    };
    const Case cases[] = {
        {of({TYPE_FLOAT, TYPE_INTEGER}), false, "make typeset! [integer! float!]"},
        {of({TYPE_FLOAT, TYPE_INTEGER}), true, "integer! float!"},
        {of({}), false, "make typeset! []"},
        {of({TYPE_NONE}), true, "none!"},
    };
    for (const Case& c : cases) {
        cell value = c.value;
        EXPECT_EQ(molded(&value, c.only), c.text);
    }
    cell value = of({TYPE_INTEGER});
    EXPECT_EQ(formed(&value), "make typeset! [integer!]");
    cell* buffer = new_buffer();
    EXPECT_EQ(mold_dispatch(&value, buffer, false, false, false, nullptr, 100, 0), 100 - 24);
}

TEST_F(Typesets, MakeFromBlocksOfDatatypesAndWords) {
    cell* number = stack::push_cell();
    *number = global_word("number!");
    cell set = of({TYPE_INTEGER, TYPE_FLOAT});
    _context::set(number, &set);

    cell* made = make({global_word("string!"), dt(TYPE_NONE), global_word("number!")});
    EXPECT_EQ(TYPE_OF(made), uint32_t(TYPE_TYPESET));
    cell expected = of({TYPE_NONE, TYPE_STRING, TYPE_INTEGER, TYPE_FLOAT});
    EXPECT_EQ(compare_dispatch(made, &expected, COMP_EQUAL), 0);
    EXPECT_EQ(typeset::count(made), 4u);

    cell* again = stack::push(made);
    EXPECT_EQ(make_dispatch(again, again, TYPE_TYPESET), again);  // a typeset answers itself

    EXPECT_EQ(raised_code([&] { make({integer_cell(1)}); }), script_code(script_error::invalid_arg));
    cell* bad = stack::push_cell();
    *bad = integer_cell(1);
    EXPECT_EQ(raised_code([&] { to_dispatch(bad, bad, TYPE_TYPESET); }), script_code(script_error::bad_to_arg));
}

TEST_F(Typesets, BitwiseActions) {
    cell a = of({TYPE_INTEGER, TYPE_FLOAT});
    cell b = of({TYPE_FLOAT, TYPE_STRING});
    struct Case {
        void (*action)();
        cell right;
        cell expected;
    };
    const Case cases[] = {
        {typeset::and_, b, of({TYPE_FLOAT})},
        {typeset::or_, b, of({TYPE_INTEGER, TYPE_FLOAT, TYPE_STRING})},
        {typeset::xor_, b, of({TYPE_INTEGER, TYPE_STRING})},
        {typeset::or_, dt(TYPE_NONE), of({TYPE_INTEGER, TYPE_FLOAT, TYPE_NONE})},
    };
    for (const Case& c : cases) {
        cell result = frame(c.action, a, c.right);
        EXPECT_EQ(compare_dispatch(&result, const_cast<cell*>(&c.expected), COMP_STRICT_EQUAL), 0) << &c - cases;
    }
    cell exclude = frame([] { typeset::do_bitwise(typeset::BITS_EXCLUDE); }, a, b);
    cell integer_only = of({TYPE_INTEGER});
    EXPECT_EQ(compare_dispatch(&exclude, &integer_only, COMP_EQUAL), 0);
    EXPECT_EQ(raised_code([&] { frame(typeset::or_, a, integer_cell(1)); }), script_code(script_error::invalid_arg));

    cell twice = a;
    typeset::complement(&twice);
    typeset::complement(&twice);
    EXPECT_EQ(compare_dispatch(&twice, &a, COMP_EQUAL), 0);
    cell once = a;
    typeset::complement(&once);
    EXPECT_FALSE(typeset_has(&once, TYPE_INTEGER));
    EXPECT_TRUE(typeset_has(&once, TYPE_STRING));
    EXPECT_EQ(once.w3, ~a.w3);  // bits past the types are kept too
}

TEST_F(Typesets, FindAnswersALogic) {
    cell ts = of({TYPE_INTEGER});
    auto find = [&](cell value) {
        return typeset::find(&ts, &value, nullptr, false, false, false, false, nullptr, nullptr, false, false, false,
                             false);
    };
    EXPECT_EQ(find(dt(TYPE_INTEGER)), &true_value);
    EXPECT_EQ(find(dt(TYPE_FLOAT)), &false_value);
    EXPECT_EQ(raised_code([&] { find(integer_cell(11)); }), script_code(script_error::invalid_arg));
}

TEST_F(Typesets, EqualityAndOrderByCount) {
    cell small = of({TYPE_STRING});
    cell large = of({TYPE_INTEGER, TYPE_FLOAT});
    struct Case {
        int32_t op;
        int32_t expected;
    };
    const Case cases[] = {
        {COMP_EQUAL, 1}, {COMP_SAME, 1}, {COMP_SORT, -1}, {COMP_CASE_SORT, -1}, {COMP_LESSER, INCOMPARABLE},
    };
    for (const Case& c : cases) EXPECT_EQ(compare_dispatch(&small, &large, c.op), c.expected) << c.op;
    cell other = dt(TYPE_STRING);
    EXPECT_EQ(compare_dispatch(&small, &other, COMP_EQUAL), INCOMPARABLE);
}

TEST_F(Typesets, RuntimeHelpers) {
    cell* block = push_block({});
    cell* all = typeset::make_in_default(block);
    EXPECT_FALSE(typeset_has(all, TYPE_UNSET));
    for (uint32_t t : {TYPE_DATATYPE, TYPE_NONE, TYPE_INTEGER, TYPE_EVENT}) EXPECT_TRUE(typeset_has(all, t));

    cell* word_value = stack::push_cell();
    *word_value = global_word("a-word");
    cell w = global_word("a");
    _context::set(word_value, &w);
    cell* spec = push_block({global_word("integer!"), *word_value, push_block({})[0]});
    cell* from_spec = typeset::make_in_from_spec(block, spec);
    cell expected = of({TYPE_INTEGER, TYPE_OBJECT});
    EXPECT_EQ(compare_dispatch(from_spec, &expected, COMP_EQUAL), 0);
    cell* bad_spec = push_block({integer_cell(1)});
    EXPECT_EQ(raised_code([&] { typeset::make_in_from_spec(block, bad_spec); }),
              script_code(script_error::invalid_type_spec));

    cell members = of({TYPE_FLOAT, TYPE_NONE});
    cell* listed = typeset::to_block(&members, stack::push_cell());
    series_buffer* b = node_buffer(series_node(listed));
    ASSERT_EQ(b->used_bytes(), 2 * sizeof(cell));
    EXPECT_EQ(b->cells()[0].w1, uint32_t(TYPE_NONE));
    EXPECT_EQ(b->cells()[1].w1, uint32_t(TYPE_FLOAT));
    EXPECT_EQ(typeset::count(typeset::clear(&members)), 0u);
}

}  // namespace
