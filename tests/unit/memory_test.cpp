#include <gtest/gtest.h>

#include <vector>

#include "datatypes/error.h"
#include "runtime/exits.h"
#include "runtime/memory.h"

using namespace kel;

namespace {

class Memory : public ::testing::Test {
protected:
    void SetUp() override { init_memory(); }
    void TearDown() override { free_all_node_frames(); }
};

uint32_t raised_code(void (*f)()) {
    try {
        f();
    } catch (const kel_exit& e) {
        EXPECT_EQ(e.code, THROW_ERROR);
        return last_raised_error().code;
    }
    return 0;
}

}  // namespace

TEST_F(Memory, SizesRoundToSixteenBytes) {
    struct { size_t count; uint32_t unit; uint32_t size; } cases[] = {
        {0, 1, 16},  // alloc_bytes turns 0 into 16 below
        {1, 1, 16}, {17, 1, 32}, {3, 16, 48}, {5, 4, 32},
    };
    for (auto c : cases) {
        node_id n = c.count == 0 ? alloc_bytes(0) : alloc_series(c.count, c.unit, 0);
        EXPECT_EQ(node_buffer(n)->size, c.size) << c.count << "x" << c.unit;
        EXPECT_EQ(node_buffer(n)->node, n);
        EXPECT_TRUE(node_buffer(n)->flags & SERIES_USED);
        EXPECT_TRUE(node_buffer(n)->flags & SERIES_NEW);
    }
    EXPECT_EQ(node_buffer(alloc_units(0, 1))->size, 16u);
    EXPECT_EQ(node_buffer(alloc_units(0, 2))->size, 16u);
    EXPECT_EQ(node_buffer(alloc_units(0, 4))->size, 16u);
}

TEST_F(Memory, BigBlockThresholdIsTheFrameMaximumLessOverhead) {
    size_t big = SERIES_FRAME_MAX - SERIES_OVERHEAD;
    EXPECT_TRUE(node_buffer(alloc_bytes(big))->flags & SERIES_BIG);
    EXPECT_FALSE(node_buffer(alloc_bytes(big - 16))->flags & SERIES_BIG);
    EXPECT_NE(memory.big_blocks, nullptr);
}

TEST_F(Memory, MiddleOffsetStartsHalfway) {
    series_buffer* b = alloc_series_buffer(10, sizeof(cell), -1);
    EXPECT_EQ(b->offset - b->data(), 80);
    EXPECT_EQ(b->tail, b->offset);
    EXPECT_TRUE(b->flags & SERIES_HEAD_MIDDLE);
}

TEST_F(Memory, SmallBuffersAreCutBackToBackWithNodesInChainOrder) {
    node_id previous = alloc_series(1, 1, 0);
    size_t before = memory.allocated;
    struct { size_t count; uint32_t unit; int64_t offset; uint32_t size; long start; } cases[] = {
        {5, 1, 0, 16, 0}, {4, 16, -1, 64, 32}, {10, 4, 8, 48, 8}, {0, 2, 0, 0, 0}, {17, 1, 0, 32, 0},
    };
    size_t cut = 0;
    for (auto c : cases) {
        node_id n = alloc_series(c.count, c.unit, c.offset);
        series_buffer* b = node_buffer(n);
        series_buffer* p = node_buffer(previous);
        EXPECT_EQ(n, previous + 1) << c.count << "x" << c.unit;
        EXPECT_EQ(reinterpret_cast<uint8_t*>(b), p->data_end() + SERIES_SPARE_SIZE);
        EXPECT_EQ(b->node, n);
        EXPECT_EQ(b->size, c.size);
        EXPECT_EQ(b->unit(), c.unit);
        EXPECT_EQ(b->offset - b->data(), c.start);
        EXPECT_EQ(b->tail, b->offset);
        EXPECT_EQ((b->flags & SERIES_HEAD_MIDDLE) != 0, c.offset == -1);
        cut += c.size + SERIES_OVERHEAD;
        previous = n;
    }
    EXPECT_EQ(memory.allocated - before, cut);
}

TEST_F(Memory, ExpandingKeepsUnitsInOrderFromTheDataStart) {
    node_id n = alloc_series(8, 4, -1);
    series_buffer* b = node_buffer(n);
    for (uint32_t i = 0; i < 4; i++) reinterpret_cast<uint32_t*>(alloc_tail_bytes(b, 4))[0] = i + 1;
    series_buffer* old = b;
    series_buffer* grown = expand_series(b, 0);
    EXPECT_EQ(node_buffer(n), grown);
    EXPECT_EQ(grown->size, 64u);
    EXPECT_EQ(grown->offset, grown->data());
    ASSERT_EQ(grown->used_bytes(), 16u);
    for (uint32_t i = 0; i < 4; i++) EXPECT_EQ(reinterpret_cast<uint32_t*>(grown->offset)[i], i + 1);
    EXPECT_EQ(old->node, 0u);
    EXPECT_FALSE(old->flags & SERIES_USED);
}

TEST_F(Memory, AppendingCellsGrowsByDoubling) {
    node_id n = alloc_cells(2);
    for (uint32_t i = 0; i < 100; i++) {
        cell* c = alloc_tail_buffer(node_buffer(n));
        EXPECT_EQ(c->header, static_cast<uint32_t>(TYPE_UNSET));
        *c = cell{TYPE_INTEGER, 0, i, 0};
    }
    series_buffer* b = node_buffer(n);
    EXPECT_EQ(b->size, 128u * sizeof(cell));
    for (uint32_t i = 0; i < 100; i++) EXPECT_EQ(b->cells()[i].w2, i);
}

TEST_F(Memory, FilledExpansionFillsTheNewRoom) {
    node_id n = alloc_bytes_filled(16, 0xAB);
    alloc_tail_bytes(node_buffer(n), 16);
    series_buffer* b = expand_series_filled(node_buffer(n), 64, 0xCD);
    EXPECT_EQ(b->data()[15], 0xAB);
    EXPECT_EQ(b->data()[16], 0xCD);
    EXPECT_EQ(b->data()[63], 0xCD);
}

TEST_F(Memory, NodeFramesHoldTenThousandNodesOnAFreeChain) {
    std::vector<node_id> nodes;
    for (uint32_t i = 0; i < NODE_FRAME_COUNT + 1; i++) nodes.push_back(alloc_node());
    node_frame* first = memory.first_node_frame;
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->count, static_cast<int32_t>(NODE_FRAME_COUNT));
    EXPECT_EQ(first->used, static_cast<int32_t>(NODE_FRAME_COUNT));
    ASSERT_NE(first->next, nullptr);
    EXPECT_EQ(first->next->used, 1);
    // A freed node is the next one handed out by its frame.
    free_node(find_node_frame(nodes[5]), nodes[5]);
    memory.current_node_frame = first;
    EXPECT_EQ(alloc_node(), nodes[5]);
    // A frame left without used nodes goes back.
    node_frame* second = first->next;
    free_node(second, nodes.back());
    size_t before = memory.total;
    trim_node_frames();
    EXPECT_EQ(memory.first_node_frame->next, nullptr);
    EXPECT_LT(memory.total, before);
    (void)second;
}

TEST_F(Memory, SeriesFramesStaySortedAndCountPages) {
    EXPECT_EQ(memory.total, 0u);
    for (int i = 0; i < 6; i++) alloc_series_frame();
    size_t frames = 0;
    for (series_frame* f = memory.first_series_frame; f; f = f->next, frames++) {
        if (f->next) {
            EXPECT_LT(f, f->next);
        }
        EXPECT_EQ(reinterpret_cast<uintptr_t>(f) % 16, 0u);
    }
    EXPECT_EQ(frames, 6u);
    // 1 MB, then 2 MB frames; each rounded to whole pages with its header.
    EXPECT_GE(memory.total, (1u << 20) + 5 * (2u << 20));
    EXPECT_EQ(memory.total % PAGE_SIZE, 0u);
}

TEST_F(Memory, FullFrameOpensAnotherWhileCollectionIsOff) {
    for (int i = 0; i < 40; i++) alloc_bytes(100000);
    int frames = 0;
    for (series_frame* f = memory.first_series_frame; f; f = f->next) frames++;
    EXPECT_GE(frames, 2);
}

TEST_F(Memory, OversizedRequestsRaiseNoMemory) {
    EXPECT_EQ(raised_code([] { alloc_series(size_t{1} << 31, 16, 0); }), 902u);
    EXPECT_EQ(raised_code([] { alloc_cells(0x10000000); }), 902u);
    EXPECT_EQ(raised_code([] { alloc_series(SIZE_MAX / 2, 4, 0); }), 902u);
}

TEST_F(Memory, CopiesTakeTheUsedUnits) {
    node_id n = alloc_units(8, 2);
    series_buffer* b = node_buffer(n);
    for (uint16_t i = 0; i < 6; i++) *reinterpret_cast<uint16_t*>(alloc_tail_bytes(b, 2)) = i * 3;
    series_set_flags(n, SERIES_OWNED);
    node_id part = copy_series_part(n, 2, 3);
    series_buffer* p = node_buffer(part);
    EXPECT_EQ(p->unit(), 2u);
    EXPECT_FALSE(p->flags & SERIES_OWNED);
    ASSERT_EQ(p->used_bytes(), 6u);
    EXPECT_EQ(reinterpret_cast<uint16_t*>(p->offset)[0], 6);
    EXPECT_EQ(reinterpret_cast<uint16_t*>(p->offset)[2], 12);
    node_id whole = copy_series_buffer(node_buffer(n));
    EXPECT_EQ(node_buffer(whole)->used_bytes(), 12u);
    EXPECT_EQ(reinterpret_cast<uint16_t*>(node_buffer(whole)->offset)[5], 15);
}

TEST(FillRepeat, RepeatsThePattern) {
    uint8_t buf[16] = {1, 2, 3};
    EXPECT_EQ(fill_repeat(buf, 3, 5), buf + 15);
    for (int i = 0; i < 15; i++) EXPECT_EQ(buf[i], i % 3 + 1);
    EXPECT_EQ(buf[15], 0);
    uint8_t one[4] = {9, 0, 0, 0};
    fill_repeat(one, 1, 1);
    EXPECT_EQ(one[1], 0);
}
