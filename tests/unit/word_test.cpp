#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "words_fixture.h"

using namespace kel;
using namespace kel::testing;

namespace {

class Words : public WordsTest {
protected:
    // A global word of the given type on the stack.
    static cell* push_word(const char* name, uint32_t type = TYPE_WORD) {
        return word::retype(word::push_global(sym(name)), type);
    }
    static cell* push_text(const std::string& text) {
        cell* c = stack::push_cell();
        string::make_at(c, static_cast<uint32_t>(text.size()));
        string::concat_bytes(c, text.data(), text.size());
        return c;
    }
    static cell* push_datatype(uint32_t type) {
        cell* c = stack::push_cell();
        *c = cell{TYPE_DATATYPE, type, 0, 0};
        return c;
    }
};

TEST_F(Words, MoldAddsTheSigilFormNever) {
    struct Case {
        uint32_t type;
        const char* mold;
    };
    const Case cases[] = {
        {TYPE_WORD, "abc"},     {TYPE_SET_WORD, "abc:"},    {TYPE_LIT_WORD, "'abc"},
        {TYPE_GET_WORD, ":abc"}, {TYPE_REFINEMENT, "/abc"}, {TYPE_ISSUE, "#abc"},
    };
    for (const Case& c : cases) {
        cell* w = push_word("abc", c.type);
        EXPECT_EQ(molded(w), c.mold);
        EXPECT_EQ(formed(w), "abc");
        cell* buffer = new_buffer();
        EXPECT_EQ(mold_dispatch(w, buffer, false, false, false, nullptr, 10, 0),
                  10 - static_cast<int32_t>(std::strlen(c.mold)));
    }
}

TEST_F(Words, ComparisonCodes) {
    struct Case {
        const char* a;
        uint32_t ta;
        const char* b;
        uint32_t tb;
        int32_t op;
        int32_t expected;
    };
    const Case cases[] = {
        {"a", TYPE_WORD, "a", TYPE_SET_WORD, COMP_EQUAL, 0},
        {"a", TYPE_WORD, "a", TYPE_SET_WORD, COMP_STRICT_EQUAL, 1},
        {"abc", TYPE_WORD, "ABC", TYPE_WORD, COMP_EQUAL, 0},
        {"abc", TYPE_WORD, "ABC", TYPE_WORD, COMP_STRICT_EQUAL, 1},
        {"abc", TYPE_WORD, "abd", TYPE_WORD, COMP_EQUAL, 1},
        {"a", TYPE_WORD, "a", TYPE_ISSUE, COMP_EQUAL, INCOMPARABLE},
        {"a", TYPE_ISSUE, "a", TYPE_WORD, COMP_EQUAL, INCOMPARABLE},
        {"a", TYPE_ISSUE, "A", TYPE_ISSUE, COMP_EQUAL, 0},
        {"a", TYPE_WORD, "A", TYPE_LIT_WORD, COMP_MATCH, 0},
        {"a", TYPE_WORD, "A", TYPE_SET_WORD, COMP_MATCH, 1},
        {"a", TYPE_WORD, "A", TYPE_LIT_WORD, COMP_STRICT_MATCH, 1},
        {"a", TYPE_WORD, "a", TYPE_LIT_WORD, COMP_STRICT_MATCH, 0},
        {"a", TYPE_WORD, "a", TYPE_WORD, COMP_SAME, 0},
        {"a", TYPE_WORD, "a", TYPE_GET_WORD, COMP_SAME, 1},
        {"b", TYPE_WORD, "ABC", TYPE_WORD, COMP_LESSER, 1},
        {"B", TYPE_WORD, "a", TYPE_WORD, COMP_CASE_SORT, -1},
    };
    for (const Case& c : cases) {
        cell* a = push_word(c.a, c.ta);
        cell* b = push_word(c.b, c.tb);
        EXPECT_EQ(compare_dispatch(a, b, c.op), c.expected) << c.a << " " << c.b << " op " << c.op;
    }
    cell* a = push_word("a");
    cell* n = stack::push_cell();
    *n = integer_cell(1);
    EXPECT_EQ(compare_dispatch(a, n, COMP_EQUAL), INCOMPARABLE);
}

TEST_F(Words, SameNeedsTheSameContext) {
    cell* spec = push_block({global_word("a")});
    root_node ctx(_context::make_from_spec(spec, false, false, CTX_OBJECT));
    cell* global = push_word("a");
    cell* local = stack::push(global);
    _context::bind_word(ctx.node, local);
    EXPECT_EQ(compare_dispatch(global, local, COMP_SAME), 1);
    EXPECT_EQ(compare_dispatch(global, local, COMP_EQUAL), 0);
}

TEST_F(Words, MakeAndTo) {
    name_type(TYPE_INTEGER, "integer!");
    words_init();  // the type's name as a word
    struct Case {
        std::function<cell*()> spec;
        uint32_t target;
        const char* mold;  // or null when it raises
        script_error error;
    };
    const Case cases[] = {
        {[] { return push_datatype(TYPE_INTEGER); }, TYPE_WORD, "integer!", {}},
        {[] { cell* c = stack::push(&true_value); return c; }, TYPE_WORD, "true", {}},
        {[] { return push_text("a:"); }, TYPE_WORD, "a", {}},
        {[] { return push_text("  'b c"); }, TYPE_SET_WORD, "b:", {}},
        {[] { return push_text("/r"); }, TYPE_WORD, "r", {}},
        {[] { return push_text("<="); }, TYPE_WORD, "<=", {}},
        {[] { return push_text("1"); }, TYPE_WORD, nullptr, script_error::invalid_chars},
        {[] { return push_text("-1"); }, TYPE_WORD, nullptr, script_error::invalid_chars},
        {[] { return push_text("a/b"); }, TYPE_WORD, nullptr, script_error::invalid_chars},
        {[] { return push_text("ABh"); }, TYPE_WORD, nullptr, script_error::invalid_chars},
        {[] { return push_text(""); }, TYPE_WORD, nullptr, script_error::invalid_chars},
        {[] { cell* c = stack::push_cell(); *c = cell{TYPE_CHAR, 0, 'x', 0}; return c; }, TYPE_LIT_WORD, "'x", {}},
        {[] { return push_word("a", TYPE_REFINEMENT); }, TYPE_WORD, "a", {}},
        {[] { return push_word("123", TYPE_ISSUE); }, TYPE_WORD, nullptr, script_error::bad_to_arg},
        {[] { return push_word("k", TYPE_GET_WORD); }, TYPE_SET_WORD, "k:", {}},
        {[] { return push_text("a b"); }, TYPE_ISSUE, "#a b", {}},
        {[] { return push_word("w"); }, TYPE_ISSUE, "#w", {}},
        {[] { cell* c = stack::push_cell(); *c = integer_cell(3); return c; }, TYPE_WORD, nullptr, script_error::bad_to_arg},
    };
    for (const Case& c : cases) {
        cell* spec = c.spec();
        if (!c.mold) {
            EXPECT_EQ(raised_code([&] { to_dispatch(spec, spec, c.target); }), script_code(c.error)) << &c - cases;
            continue;
        }
        cell* result = stack::push(to_dispatch(spec, spec, c.target));
        EXPECT_EQ(TYPE_OF(result), c.target) << &c - cases;
        EXPECT_EQ(molded(result), c.mold) << &c - cases;
    }
}

TEST_F(Words, ConvertedRefinementsBindGlobally) {
    cell* global = push_word("r");
    cell* block = push_block({});
    cell* refinement = stack::push(refinement::load_in(block, "r"));
    EXPECT_EQ(refinement->w1, 0u);  // loaded unbound
    const cell* w = to_dispatch(refinement, refinement, TYPE_WORD);
    EXPECT_EQ(w->w1, global_context);
    EXPECT_EQ(w->w3, global->w3);
}

TEST_F(Words, IndexOfAWord) {
    cell* global = push_word("indexed");
    uint32_t slot = global->w3;
    struct Case {
        cell value;
        uint32_t type;
        uint32_t payload;
    };
    const Case cases[] = {
        {*global, TYPE_INTEGER, slot + 1},
        {cell{TYPE_WORD, global_context, sym("x"), static_cast<uint32_t>(-1)}, TYPE_NONE, 0},
        {cell{TYPE_SET_WORD, global_context, sym("x"), 4}, TYPE_INTEGER, 5},
    };
    for (const Case& c : cases) {
        cell* saved = stack::arguments;
        stack::arguments = stack::push(&c.value);
        reinterpret_cast<frame_fn>(type_action(TYPE_OF(&c.value), ACT_INDEX_Q))();
        EXPECT_EQ(TYPE_OF(stack::arguments), c.type);
        if (c.type == TYPE_INTEGER) {
            EXPECT_EQ(stack::arguments->w2, c.payload);
        }
        stack::arguments = saved;
    }
    EXPECT_EQ(type_action(TYPE_REFINEMENT, ACT_INDEX_Q), nullptr);
    EXPECT_EQ(type_action(TYPE_ISSUE, ACT_INDEX_Q), nullptr);
}

TEST_F(Words, ReadingAndSettingThroughTheFrame) {
    cell* saved = stack::arguments;
    cell* args = stack::arguments = stack::push(push_word("v", TYPE_SET_WORD));
    *stack::push_cell() = unset_value;
    EXPECT_EQ(raised_code([] { word::set_from_args(); }), script_code(script_error::need_value));
    EXPECT_EQ(raised_code([&] { word::get(args); }), script_code(script_error::no_value));
    EXPECT_EQ(TYPE_OF(get_word::get(args)), TYPE_UNSET);
    args[1] = integer_cell(8);
    set_word::set_from_args();
    EXPECT_EQ(args[0].w2, 8u);
    *args = *push_word("v");
    word::get_from_args();
    EXPECT_EQ(args[0].w2, 8u);
    stack::arguments = saved;

    cell* w = push_word("v");
    EXPECT_EQ(word::get(w)->w2, 8u);
    cell* spelling = word::push_spelling(w);
    EXPECT_EQ(text_of(spelling), "v");
}

TEST_F(Words, SlotAccessByContextAndIndex) {
    cell* spec = push_block({global_word("p"), global_word("q")});
    root_node ctx(_context::make_from_spec(spec, false, false, CTX_OBJECT));
    *stack::push_cell() = integer_cell(4);
    word::set_value_from_stack(ctx.node, 1);
    EXPECT_EQ(word::push_value_at(ctx.node, 1)->w2, 4u);
    EXPECT_TRUE(field_set_q(ctx_cell(ctx.node), 1));
    *stack::push_cell() = integer_cell(6);
    word::set_value_keep_old(ctx.node, 1);
    EXPECT_EQ(stack::top[-1].w2, 4u);  // the old value on top of the new
    EXPECT_EQ(word::value_at_in_node(ctx.node, 1)->w2, 6u);
    EXPECT_EQ(lit_word::push_in(ctx.node, 0)->header, uint32_t(TYPE_LIT_WORD));
    EXPECT_EQ(word::word_for_symbol(ctx.node, sym("q")).w1, ctx.node);
    EXPECT_EQ(word::word_for_symbol(ctx.node, sym("elsewhere")).w1, global_context);

    root_node fn(_context::make_from_spec(spec, true, false, CTX_FUNCTION));
    EXPECT_EQ(raised_code([&] { word::push_value_at(fn.node, 0); }), script_code(script_error::not_defined));
}

TEST_F(Words, AnyTypeWordAndLoadedWordsKeepTheirSpelling) {
    EXPECT_TRUE(word::any_type_word_q(push_word("ANY-TYPE!")));
    EXPECT_FALSE(word::any_type_word_q(push_word("any-string!")));
    cell loaded = set_word::load("Spelled");
    EXPECT_EQ(TYPE_OF(&loaded), uint32_t(TYPE_SET_WORD));
    EXPECT_EQ(name_of(loaded.w2), "Spelled");
}

}  // namespace
