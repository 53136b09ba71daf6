#include <gtest/gtest.h>

#include <vector>

#include "runtime/collector.h"
#include "runtime/memory.h"

using namespace kel;

namespace {

class Collector : public ::testing::Test {
protected:
    void SetUp() override {
        init_memory();
        collector_init_stats();
    }
    void TearDown() override {
        collector_enabled = false;
        free_all_node_frames();
    }
};

bool node_is_free(node_id n) { return node_is_free_slot(node_table[n]); }

// A block holding the integers 0..n-1.
node_id make_int_block(uint32_t n) {
    node_id b = alloc_cells(n);
    for (uint32_t i = 0; i < n; i++) *alloc_tail_buffer(node_buffer(b)) = cell{TYPE_INTEGER, 0, i, 0};
    return b;
}

void expect_ints(node_id b, uint32_t n) {
    series_buffer* buf = node_buffer(b);
    ASSERT_EQ(buf->used_bytes(), n * sizeof(cell));
    for (uint32_t i = 0; i < n; i++) EXPECT_EQ(buf->cells()[i].w2, i);
}

}  // namespace

TEST_F(Collector, DroppedSeriesIsReclaimedAndItsNodeFreed) {
    node_id dropped = alloc_bytes(100);
    root_node kept(alloc_bytes(100), false);
    collector_collect();
    EXPECT_TRUE(node_is_free(dropped));
    EXPECT_FALSE(node_is_free(kept.node));
    EXPECT_EQ(collector_last_stats().freed_buffers, 1u);
    EXPECT_EQ(series_cycles, 1u);
}

TEST_F(Collector, GuardedValueSurvivesAndSeesItsMovedBuffer) {
    for (int i = 0; i < 50; i++) alloc_bytes(1000);  // garbage below the survivor
    root_cell block(cell{TYPE_BLOCK, 0, make_int_block(10), 0});
    series_buffer* before = node_buffer(block.value.w2);
    collector_collect();
    series_buffer* after = node_buffer(block.value.w2);
    EXPECT_LT(after, before);
    expect_ints(block.value.w2, 10);
}

TEST_F(Collector, ValuesReachedThroughBlocksAndStringsSurvive) {
    node_id inner = make_int_block(3);
    node_id text = alloc_bytes(10);
    std::memcpy(alloc_tail_bytes(node_buffer(text), 5), "hello", 5);
    node_id outer = alloc_cells(2);
    *alloc_tail_buffer(node_buffer(outer)) = cell{TYPE_BLOCK, 0, inner, 0};
    *alloc_tail_buffer(node_buffer(outer)) = cell{TYPE_STRING, 0, text, 0};
    node_id garbage = make_int_block(4);
    root_cell root(cell{TYPE_BLOCK, 0, outer, 0});
    collector_collect();
    EXPECT_TRUE(node_is_free(garbage));
    expect_ints(inner, 3);
    EXPECT_EQ(std::memcmp(node_buffer(text)->offset, "hello", 5), 0);
}

TEST_F(Collector, InteriorPointerFollowsItsBuffer) {
    alloc_bytes(5000);
    root_node text(alloc_bytes(64), false);
    std::memcpy(alloc_tail_bytes(node_buffer(text.node), 6), "abcdef", 6);
    uint8_t* at = node_buffer(text.node)->offset + 3;
    interior_pointer guard(&at);
    collector_collect();
    EXPECT_EQ(at, node_buffer(text.node)->offset + 3);
    EXPECT_EQ(*at, 'd');
}

// A frame with a small dead share is swept where it stands: nothing live moves.
TEST_F(Collector, BuffersOfAMostlyLiveFrameStayInPlace) {
    root_node strings(alloc_cells(20));
    node_id dead = alloc_bytes(100);
    for (uint32_t i = 0; i < 20; i++) {
        node_id text = alloc_bytes(100);
        std::memcpy(alloc_tail_bytes(node_buffer(text), 5), "kept!", 5);
        *alloc_tail_buffer(node_buffer(strings.node)) = cell{TYPE_STRING, 0, text, 0};
    }
    node_id last = node_buffer(strings.node)->cells()[19].w2;
    series_buffer* before = node_buffer(last);
    uint8_t* at = before->offset + 4;
    interior_pointer guard(&at);
    collector_collect();
    EXPECT_TRUE(node_is_free(dead));
    EXPECT_EQ(node_buffer(last), before);
    EXPECT_EQ(at, before->offset + 4);
    EXPECT_EQ(*at, '!');
    EXPECT_EQ(std::memcmp(before->offset, "kept!", 5), 0);
}

// The dead buffer's node goes back at once; the buffer stays behind as a hole, which a
// later collection must not release again, since its node may be someone else's by then.
TEST_F(Collector, HoleLeftInPlaceReleasesItsNodeOnce) {
    root_node strings(alloc_cells(20));
    node_id dead = alloc_bytes(100);
    for (uint32_t i = 0; i < 20; i++)
        *alloc_tail_buffer(node_buffer(strings.node)) = cell{TYPE_STRING, 0, alloc_bytes(100), 0};
    series_buffer* hole = node_buffer(dead);
    collector_collect();
    root_node reused(alloc_bytes(100), false);
    ASSERT_EQ(reused.node, dead);
    ASSERT_NE(node_buffer(reused.node), hole);
    collector_collect();
    EXPECT_FALSE(node_is_free(reused.node));
    EXPECT_EQ(node_buffer(reused.node)->node, reused.node);
}

// Dead buffers after the last live one are free room again in a frame swept in place.
TEST_F(Collector, DeadTailOfASweptFrameIsReused) {
    root_node strings(alloc_cells(20));
    for (uint32_t i = 0; i < 20; i++)
        *alloc_tail_buffer(node_buffer(strings.node)) = cell{TYPE_STRING, 0, alloc_bytes(100), 0};
    series_buffer* first_dead = node_buffer(alloc_bytes(100));
    alloc_bytes(100);
    collector_collect();
    EXPECT_EQ(memory.current_series_frame->heap, reinterpret_cast<uint8_t*>(first_dead));
    EXPECT_EQ(node_buffer(alloc_bytes(100)), first_dead);
}

TEST_F(Collector, RetiredBuffersOfExpansionsAreDropped) {
    root_node block(make_int_block(1));
    for (uint32_t i = 1; i < 300; i++) *alloc_tail_buffer(node_buffer(block.node)) = cell{TYPE_INTEGER, 0, i, 0};
    collector_collect();
    expect_ints(block.node, 300);
    EXPECT_EQ(collector_last_stats().live_buffers, 1u);
}

TEST_F(Collector, UnreachableBigBlockIsFreed) {
    // Larger than the budget: too big to keep as a spare.
    node_id big = alloc_bytes(64u << 20);
    root_node kept(alloc_bytes(SERIES_FRAME_MAX), false);
    ASSERT_TRUE(node_buffer(big)->flags & SERIES_BIG);
    size_t before = memory.total;
    collector_collect();
    EXPECT_TRUE(node_is_free(big));
    EXPECT_LT(memory.total, before);
    EXPECT_FALSE(node_buffer(kept.node)->flags & SERIES_MARK);
    EXPECT_EQ(memory.big_blocks->next, nullptr);
}

TEST_F(Collector, DeadBigBlocksAreReusedWithinTheBudget) {
    series_buffer* pages = node_buffer(alloc_bytes(6u << 20));
    collector_collect();
    EXPECT_EQ(memory.big_blocks, nullptr);
    ASSERT_NE(memory.spare_big_blocks, nullptr);
    // A much smaller buffer leaves the spare alone; one of about its size takes its pages.
    size_t total = memory.total;
    root_node small(alloc_bytes(SERIES_FRAME_MAX), false);
    EXPECT_GT(memory.total, total);
    total = memory.total;
    root_node again(alloc_bytes((6u << 20) - 4096), false);
    EXPECT_EQ(memory.total, total);
    EXPECT_EQ(node_buffer(again.node), pages);
    EXPECT_EQ(memory.spare_big_blocks, nullptr);
    // A spare nobody took by the next collection goes back.
    alloc_bytes(6u << 20);
    collector_collect();
    ASSERT_NE(memory.spare_big_blocks, nullptr);
    total = memory.total;
    collector_collect();
    EXPECT_EQ(memory.spare_big_blocks, nullptr);
    EXPECT_LT(memory.total, total);
    EXPECT_FALSE(node_is_free(again.node));
}

TEST_F(Collector, EmptiedFramesAreKeptUpToTwiceTheBudget) {
    for (int i = 0; i < 400; i++) alloc_bytes(100000);  // about 40 MB of frames, all garbage
    root_node kept(alloc_bytes(100), false);
    size_t before = memory.total;
    collector_collect();
    EXPECT_LT(memory.total, before);  // beyond the kept room the frames went back
    size_t room = 0;
    int frames = 0;
    for (series_frame* f = memory.first_series_frame; f; f = f->next, frames++) room += f->size;
    // The next allocations reuse these instead of faulting in fresh pages; the budget is
    // 8 MB while so little is live.
    EXPECT_GT(frames, 2);
    EXPECT_LE(room, 10 * (SERIES_FRAME_MAX + PAGE_SIZE));
    EXPECT_FALSE(node_is_free(kept.node));
}

TEST_F(Collector, DeepNestingDoesNotRecurse) {
    root_node outer(alloc_cells(1));
    node_id current = outer.node;
    for (int i = 0; i < 1000000; i++) {
        node_id inner = alloc_cells(1);
        *alloc_tail_buffer(node_buffer(current)) = cell{TYPE_BLOCK, 0, inner, 0};
        current = inner;
    }
    collector_collect();
    EXPECT_EQ(collector_last_stats().live_buffers, 1000001u);
}

TEST_F(Collector, SparseStableNodeFramesAreEvacuatedAndReferencesForwarded) {
    // Three node frames, each left with a few live nodes once the garbage is collected.
    auto garbage = [](uint32_t n) { for (uint32_t i = 0; i < n; i++) alloc_bytes(8); };
    root_node first(alloc_bytes(8), false);
    garbage(NODE_FRAME_COUNT - 1);
    root_node second(alloc_bytes(8), false);
    garbage(NODE_FRAME_COUNT - 1);
    root_cell block(cell{TYPE_BLOCK, 0, make_int_block(5), 0});
    root_node text(alloc_bytes(8), false);
    std::memcpy(alloc_tail_bytes(node_buffer(text.node), 3), "xyz", 3);
    garbage(NODE_FRAME_COUNT - 2);
    node_id old_block = block.value.w2;
    ASSERT_EQ(find_node_frame(old_block), memory.last_node_frame);
    // Stable over six collections, sparse, and with plenty of room elsewhere.
    for (int i = 0; i < 10 && nodes_cycles == 0; i++) collector_collect();
    EXPECT_EQ(nodes_cycles, 1u);
    EXPECT_NE(block.value.w2, old_block);
    EXPECT_EQ(find_node_frame(block.value.w2), memory.first_node_frame);
    expect_ints(block.value.w2, 5);
    EXPECT_EQ(node_buffer(block.value.w2)->node, block.value.w2);
    EXPECT_EQ(std::memcmp(node_buffer(text.node)->offset, "xyz", 3), 0);
    EXPECT_EQ(memory.first_node_frame->next, nullptr);
}

namespace {
int callback_calls = 0;
void count_call() { callback_calls++; }
void other_call() {}
}  // namespace

TEST_F(Collector, RemovedMarkCallbackIsNotCalled) {
    callback_calls = 0;
    collector_add_mark_callback(count_call);
    collector_collect();
    EXPECT_EQ(callback_calls, 1);
    collector_remove_mark_callback(count_call);
    collector_add_mark_callback(other_call);
    collector_collect();
    EXPECT_EQ(callback_calls, 1);
    collector_remove_mark_callback(other_call);
}

TEST_F(Collector, MarkCallbackAddedTwiceRunsOnce) {
    callback_calls = 0;
    collector_add_mark_callback(count_call);
    collector_add_mark_callback(count_call);
    collector_collect();
    EXPECT_EQ(callback_calls, 1);
    collector_remove_mark_callback(count_call);
}

TEST_F(Collector, DisabledCollectorNeverRunsFromTheAllocator) {
    for (int i = 0; i < 100; i++) alloc_bytes(100000);
    EXPECT_EQ(series_cycles, 0u);
    collector_enabled = true;
    for (int i = 0; i < 100; i++) alloc_bytes(100000);
    EXPECT_GT(series_cycles, 0u);
}
