// The call stack: marks, unwinds, names and limits.
#include <gtest/gtest.h>

#include "datatypes/frames.h"
#include "tests/unit/interp_fixture.h"

namespace kel {
namespace {

using testing::InterpTest;

class StackTest : public InterpTest {
protected:
    static cell named(const char* name) { return word::load(name); }
};

TEST_F(StackTest, TopCellOfAnEmptyStackIsTheBottom) {
    stack::top = stack::arguments = stack::bottom;
    EXPECT_EQ(stack::top_cell(), stack::bottom);
}

TEST_F(StackTest, UnwindToStopsAtATryAllFrame) {
    cell w = named("f");
    stack::mark_loop(&w);
    stack::mark_try_all(&w);
    call_frame* try_all = stack::current_frame();
    stack::mark_native(&w);
    stack::mark_native(&w);
    stack::unwind_to(FRAME_LOOP, true);
    EXPECT_EQ(stack::current_frame(), try_all);
}

TEST_F(StackTest, UnwindToLastLeavesTheResultInTheTargetSlot) {
    cell w = named("f");
    stack::mark_func(&w, 0);
    cell* base = stack::arguments;
    stack::push(&none_value);
    stack::mark_native(&w);
    cell seven = integer_value(7);
    stack::push(&seven);
    stack::unwind_to_last(FRAME_FUNCTION);
    EXPECT_EQ(stack::arguments, base);
    EXPECT_EQ(int_of(base), 7);
    EXPECT_EQ(frame_type_of(stack::current_frame()), FRAME_FUNCTION);
}

TEST_F(StackTest, CallerNameSkipsAnonymousFrames) {
    stack::mark_eval(&runtime_words[W_BODY]);
    stack::mark_native(&runtime_words[W_ANON]);
    cell anonymous = stack::caller_name();
    EXPECT_EQ(molded(&anonymous), "<not-found>");
    cell w = named("outer");
    stack::ctop = stack::cbottom;
    stack::mark_native(&w);
    stack::mark_eval(&runtime_words[W_BODY]);
    cell name = stack::caller_name();
    EXPECT_EQ(molded(&name), "outer");
}

TEST_F(StackTest, FunctionFramesPutTheirContextBack) {
    EXPECT_EQ(run("f: make function! [[n] [if n > 0 [try [f n - 1 1 / 0]] n]] f 4"), "4");
    // An error through a frame a runtime caller pushed restores the context too.
    cell w = named("f");
    node_id ctx = _context::get(&w)->w1;
    uint32_t outside = ctx_cell(ctx)->w2;
    stack::mark_func(&w, ctx);
    ctx_cell(ctx)->w2 = stack::index_of(stack::arguments);
    stack::unwind_down_to(stack::cbottom);
    EXPECT_EQ(ctx_cell(ctx)->w2, outside);
}

TEST_F(StackTest, FullStacksRaiseStackOverflow) {
    cell w = named("f");
    uint32_t code = testing::raised_code([&] {
        for (;;) stack::mark_native(&w);
    });
    EXPECT_EQ(code, error_code(ERR_INTERNAL, static_cast<uint32_t>(internal_error::stack_overflow)));
    EXPECT_EQ(stack::ctop, stack::cend);
    stack::ctop = stack::cbottom;
    code = testing::raised_code([&] {
        for (;;) stack::push(&none_value);
    });
    EXPECT_EQ(code, error_code(ERR_INTERNAL, static_cast<uint32_t>(internal_error::stack_overflow)));
    EXPECT_LT(stack::top, stack::end);
}

TEST_F(StackTest, FramesKeepTheirContextsThroughCollections) {
    run("g: make function! [[a] [a]]");
    cell w = named("g");
    cell* g = stack::push(_context::get(&w));
    node_id ctx = g->w1;
    stack::mark_func(&w, ctx);
    *g = none_value;
    set_global("g", &none_value);
    collector_collect();
    EXPECT_EQ(stack::current_frame()->ctx, collector_forward(ctx));
    EXPECT_NE(node_buffer(stack::current_frame()->ctx), nullptr);
    stack::unwind_func();
}

// A slot popped while it held a string keeps those bytes; pushed again, it must not make
// a collection mark a block's node as bytes and so skip the block's contents.
TEST_F(StackTest, APushedCellShowsNothingAnEarlierPushLeft) {
    root_cell outer(cell{TYPE_BLOCK, 0, alloc_cells(1), 0});
    node_id inner = alloc_cells(1);
    *alloc_tail_buffer(node_buffer(outer.value.w2)) = cell{TYPE_BLOCK, 0, inner, 0};
    *stack::push_cell() = cell{TYPE_STRING, 0, outer.value.w2, 0};
    stack::pop(1);
    stack::push_cell();
    collector_collect();
    series_buffer* kept = node_buffer(node_buffer(outer.value.w2)->cells()[0].w2);
    ASSERT_TRUE(kept && !node_is_free_slot(kept));
    EXPECT_EQ(kept->unit(), sizeof(cell));
    stack::pop(1);
}

}  // namespace
}  // namespace kel
