#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "words_fixture.h"

using namespace kel;
using namespace kel::testing;

namespace {

class Contexts : public WordsTest {
protected:
    // A word cell of the symbol, bound to nothing yet.
    static cell loose(const char* name, uint32_t type = TYPE_WORD) {
        return cell{type, global_context, sym(name), static_cast<uint32_t>(-1)};
    }
    static cell* block_cell(const cell* block, uint32_t i) { return series_cell(series_node(block), series_head(block) + i); }
    static uint32_t values_length(node_id ctx) {
        return static_cast<uint32_t>(node_buffer(ctx_cell(ctx)->w2)->used_bytes() / sizeof(cell));
    }
};

TEST_F(Contexts, SpecBlocksGiveOneSlotPerNameIgnoringCase) {
    cell* spec = push_block({loose("a"), loose("A"), loose("b", TYPE_REFINEMENT), loose("c", TYPE_SET_WORD),
                             loose("d", TYPE_GET_WORD), integer_cell(5), loose("e", TYPE_LIT_WORD)});
    root_node ctx(_context::make_from_spec(spec, false, false, CTX_OBJECT));
    EXPECT_EQ(ctx_slot_count(ctx_cell(ctx.node)), 4u);  // a b d e
    EXPECT_EQ(values_length(ctx.node), 5u);             // a repeated name still counts
    for (const char* name : {"a", "A", "b", "d", "e"})
        EXPECT_GE(_context::find_word(ctx.node, sym(name), true), 0) << name;
    EXPECT_EQ(_context::find_word(ctx.node, sym("c"), true), -1);
    EXPECT_EQ(_context::find_word(ctx.node, sym("A"), false), -1);  // exact lookups see one spelling
}

TEST_F(Contexts, BindReachesNestedWordsAndLeavesIssuesAlone) {
    cell* spec = push_block({loose("foo"), loose("self")});
    root_node ctx(_context::make_from_spec(spec, false, true, CTX_OBJECT));
    cell* inner = push_block({loose("Foo", TYPE_GET_WORD), loose("bar")});
    cell* block = push_block({loose("Foo"), loose("foo", TYPE_ISSUE), *inner, loose("self"),
                              loose("self", TYPE_SET_WORD), loose("foo", TYPE_REFINEMENT)});
    _context::bind(block, ctx.node, true);

    struct Case {
        cell* word;
        bool bound;
        int32_t index;
    };
    const Case cases[] = {
        {block_cell(block, 0), true, 0},    // case-insensitive match
        {block_cell(block, 1), false, -1},  // issue!
        {block_cell(inner, 0), true, 0},    // nested
        {block_cell(inner, 1), false, -1},  // not in the context
        {block_cell(block, 3), true, -1},   // self: the context itself
        {block_cell(block, 4), true, 1},    // self: binds like any word
        {block_cell(block, 5), true, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.word->w1 == ctx.node, c.bound) << &c - cases;
        EXPECT_EQ(static_cast<int32_t>(c.word->w3), c.index) << &c - cases;
    }
    // self reads the owner value.
    *series_cell(ctx.node, 1) = integer_cell(77);
    EXPECT_EQ(_context::get(block_cell(block, 3))->w2, 77u);
}

TEST_F(Contexts, BindingABlockThatHoldsItselfEnds) {
    cell* spec = push_block({loose("x")});
    root_node ctx(_context::make_from_spec(spec, false, false, CTX_OBJECT));
    cell* block = push_block({loose("x"), integer_cell(0)});
    *block_cell(block, 1) = *block;  // the block holds itself
    _context::bind(block, ctx.node, false);
    EXPECT_EQ(block_cell(block, 0)->w1, ctx.node);
    EXPECT_EQ(cycles_depth(), 0u);
}

TEST_F(Contexts, ReadingAndWritingSlots) {
    cell* spec = push_block({loose("a")});
    root_node ctx(_context::make_from_spec(spec, false, false, CTX_OBJECT));
    cell* word = stack::push_cell();
    *word = cell{TYPE_WORD, ctx.node, sym("a"), static_cast<uint32_t>(-1)};
    cell* value = stack::push(&none_value);
    *value = integer_cell(5);

    _context::set(word, value);  // finds its slot first
    EXPECT_EQ(word->w3, 0u);
    EXPECT_EQ(_context::get(word)->w2, 5u);
    EXPECT_TRUE(field_set_q(ctx_cell(ctx.node), 0));

    *word = cell{TYPE_WORD, ctx.node, sym("new"), static_cast<uint32_t>(-1)};
    _context::set(word, value);  // adds the word
    EXPECT_EQ(word->w3, 1u);
    EXPECT_EQ(ctx_slot_count(ctx_cell(ctx.node)), 2u);
    EXPECT_EQ(_context::get(word)->w2, 5u);

    *word = cell{TYPE_WORD, ctx.node, sym("missing"), static_cast<uint32_t>(-1)};
    EXPECT_EQ(raised_code([&] { _context::get(word); }), script_code(script_error::no_value));
}

TEST_F(Contexts, FunctionValuesLiveOnTheStackOnlyDuringTheCall) {
    cell* spec = push_block({loose("x"), loose("y")});
    root_node ctx(_context::make_from_spec(spec, true, false, CTX_FUNCTION));
    cell* word = stack::push_cell();
    *word = cell{TYPE_WORD, ctx.node, sym("y"), 1};
    stack::mark_function(word);
    cell* frame = stack::push_cell();
    *frame = integer_cell(10);
    *stack::push_cell() = integer_cell(20);
    stack::point_context(ctx.node);
    EXPECT_EQ(_context::get(word)->w2, 20u);
    cell v21 = integer_cell(21);
    _context::set(word, &v21);
    EXPECT_EQ(frame[1].w2, 21u);
    EXPECT_EQ(ctx_cell(ctx.node)->w2, static_cast<uint32_t>(frame - stack::bottom));
    stack::unwind_func();
    EXPECT_EQ(raised_code([&] { _context::get(word); }), script_code(script_error::not_in_context));
    cell v = integer_cell(1);
    EXPECT_EQ(raised_code([&] { _context::set(word, &v); }), script_code(script_error::not_defined));
}

std::vector<std::pair<uint32_t, uint32_t>> changes;
void record_change(cell*, cell*, cell* old_value, cell* new_value) { changes.push_back({old_value->w2, new_value->w2}); }

TEST_F(Contexts, SettingAFieldOfAnObjectWithHandlersFiresOnce) {
    _context::fire_on_set = record_change;
    changes.clear();
    cell* spec = push_block({loose("f")});
    root_node object(_context::make_from_spec(spec, false, false, CTX_OBJECT));
    root_node function(_context::make_from_spec(spec, false, false, CTX_FUNCTION));
    *series_cell(object.node, 1) = cell{TYPE_OBJECT, object.node, 0, 1};  // an events record
    *series_cell(function.node, 1) = cell{TYPE_OBJECT, function.node, 0, 1};
    cell* word = stack::push_cell();
    cell* value = stack::push_cell();
    cell* top = stack::top;

    *word = cell{TYPE_WORD, object.node, sym("f"), 0};
    *value = integer_cell(1);
    _context::set(word, value);
    *value = integer_cell(2);
    _context::set(word, value);
    _context::set_in(word, value, object.node, false);  // fire flag off
    *word = cell{TYPE_WORD, function.node, sym("f"), 0};
    _context::set(word, value);  // never through a function context

    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[1], std::make_pair(1u, 2u));
    EXPECT_EQ(stack::top, top);
}

TEST_F(Contexts, GlobalSpellingsShareOneValue) {
    cell abc = global_word("abc");
    cell upper = _context::global_word_for_symbol(sym("ABC"));  // exact: a key of its own
    EXPECT_EQ(upper.w3, abc.w3);
    EXPECT_EQ(name_of(upper.w2), "ABC");
    cell loaded = global_word("Abc");  // case-insensitive: the key of abc, spelled as asked
    EXPECT_EQ(loaded.w3, abc.w3);
    EXPECT_EQ(name_of(loaded.w2), "Abc");
    cell* buffer = new_buffer();
    EXPECT_EQ((word::form(&loaded, buffer, nullptr, 100), text_of(buffer)), "Abc");
}

TEST_F(Contexts, TheGlobalContextGrowsAndKeepsItsSlots) {
    uint32_t first = global_word("first-word").w3;
    uint32_t start = ctx_slot_count(ctx_cell(global_context));
    for (int i = 0; i < 4200; i++) word::push_global(sym(("g" + std::to_string(i)).c_str()));
    collector_collect();
    EXPECT_EQ(ctx_slot_count(ctx_cell(global_context)), start + 4200);
    EXPECT_EQ(values_length(global_context), start + 4200);
    EXPECT_EQ(global_word("first-word").w3, first);
    for (int i = 0; i < 4200; i += 97)
        EXPECT_EQ(stack::bottom[i].w3, static_cast<uint32_t>(_context::find_word(global_context, stack::bottom[i].w2, true)));
}

TEST_F(Contexts, ClonesShareKeysUntilOneGetsAWord) {
    cell* spec = push_block({loose("a"), loose("b")});
    root_node ctx(_context::make_from_spec(spec, false, true, CTX_OBJECT));
    *_context::values(ctx_cell(ctx.node)) = integer_cell(3);
    mark_field_set(ctx_cell(ctx.node), 1);
    cell* object = stack::push_cell();
    *object = cell{TYPE_OBJECT, ctx.node, 0, 0};
    node_id clone = _context::clone_for_object(object, CTX_OBJECT);
    EXPECT_EQ(object->w1, clone);
    EXPECT_NE(clone, ctx.node);
    EXPECT_TRUE(ctx_cell(clone)->header & CTX_SELF);
    EXPECT_EQ(ctx_cell(clone)->w1, ctx_cell(ctx.node)->w1);
    EXPECT_EQ(_context::key_word(clone, 1).w1, clone);
    EXPECT_EQ(_context::find_word(clone, sym("B"), true), 1);
    EXPECT_EQ(TYPE_OF(_context::values(ctx_cell(clone))), TYPE_UNSET);
    EXPECT_EQ(_context::values(ctx_cell(ctx.node))->w2, 3u);
    // Marks are the copy's own from then on.
    EXPECT_TRUE(field_set_q(ctx_cell(clone), 1));
    _context::clear_field_marks(clone);
    EXPECT_TRUE(field_set_q(ctx_cell(ctx.node), 1));

    EXPECT_EQ(_context::add_word(clone, sym("c")), 2);
    EXPECT_NE(ctx_cell(clone)->w1, ctx_cell(ctx.node)->w1);
    EXPECT_EQ(ctx_key_word(ctx_cell(clone), 0)->w1, clone);
    EXPECT_EQ(ctx_slot_count(ctx_cell(ctx.node)), 2u);
    EXPECT_EQ(_context::find_word(ctx.node, sym("c"), true), -1);
    EXPECT_EQ(_context::add_word(ctx.node, sym("d")), 2);
    EXPECT_EQ(_context::find_word(clone, sym("d"), true), -1);
}

TEST_F(Contexts, CollectingSetWords) {
    cell* spec = push_block({loose("a")});
    root_node ctx(_context::make_from_spec(spec, false, false, CTX_OBJECT));
    cell* body = push_block({loose("a", TYPE_SET_WORD), loose("b"), loose("B", TYPE_SET_WORD), loose("c", TYPE_SET_WORD)});
    EXPECT_TRUE(_context::collect_set_words(ctx.node, body));
    EXPECT_EQ(ctx_slot_count(ctx_cell(ctx.node)), 3u);  // a B c
    EXPECT_FALSE(_context::collect_set_words(ctx.node, body));
    cell v = integer_cell(9);
    EXPECT_EQ(_context::add_with_value(ctx.node, sym("C"), &v), nullptr);
    EXPECT_EQ(_context::put_value(ctx.node, sym("C"), &v)->w2, 9u);
    EXPECT_EQ(_context::value_of_symbol(ctx.node, sym("c"))->w2, 9u);
}

}  // namespace
