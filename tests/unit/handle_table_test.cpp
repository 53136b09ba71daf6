#include <gtest/gtest.h>

#include <vector>

#include "runtime/collector.h"
#include "runtime/handle_table.h"
#include "runtime/memory.h"

using namespace kel;

namespace {

std::vector<uintptr_t> released;
void record_release(uintptr_t object) { released.push_back(object); }

class Handles : public ::testing::Test {
protected:
    void SetUp() override {
        init_memory();
        init_handle_table();
        externals_init();
        released.clear();
        kind = register_handle_kind("test", record_release);
    }
    void TearDown() override {
        externals_node() = 0;
        free_all_node_frames();
    }
    uint32_t kind = 0;
};

}  // namespace

TEST_F(Handles, TakingTheLastFreeSlotDoublesTheTable) {
    std::vector<int32_t> indexes;
    for (uintptr_t i = 0; i < 999; i++) indexes.push_back(handle_new(0x1000 + i, kind));
    EXPECT_EQ(handle_capacity(), 1000u);
    indexes.push_back(handle_new(0x9999, kind));  // slot 999 was the last free one
    EXPECT_EQ(handle_capacity(), 2000u);
    for (uintptr_t i = 0; i < 999; i++) EXPECT_EQ(handle_at(indexes[i]).object, 0x1000 + i);
    EXPECT_EQ(handle_new(1, kind), 1000);
}

TEST_F(Handles, SetObjectReleasesOnlyAReplacedObject) {
    int32_t h = handle_new(10, kind);
    handle_set_object(h, 10);
    EXPECT_TRUE(released.empty());
    handle_set_object(h, 11);
    EXPECT_EQ(released, std::vector<uintptr_t>{10});
    EXPECT_EQ(handle_free(h, true), -1);
    EXPECT_EQ(released, (std::vector<uintptr_t>{10, 11}));
    EXPECT_EQ(handle_new(12, kind), h);  // freed slots are reused first
}

TEST_F(Handles, SweepReleasesUnreachedSlotsOnceAndReusesThem) {
    int32_t kept = handle_new(1, kind);
    int32_t lost = handle_new(2, kind);
    root_cell value(cell{TYPE_HANDLE, 0, 0, static_cast<uint32_t>(kept)});
    collector_collect();
    EXPECT_EQ(released, std::vector<uintptr_t>{2});
    EXPECT_FALSE(handle_at(kept).kind & HANDLE_MARK);
    collector_collect();
    EXPECT_EQ(released, std::vector<uintptr_t>{2});
    EXPECT_EQ(handle_new(3, kind), lost);
}

TEST_F(Handles, ForEachOfKindVisitsUsedSlots) {
    int other = register_handle_kind("other", nullptr);
    handle_new(5, kind);
    handle_new(6, other);
    handle_new(7, kind);
    released.clear();
    handle_for_each_of_kind(kind, record_release);
    EXPECT_EQ(released, (std::vector<uintptr_t>{7, 5}));
}

TEST_F(Handles, ExternalsGrowAndStayAlive) {
    std::vector<uint32_t> numbers;
    for (uint32_t i = 0; i < 100; i++) {
        cell v{TYPE_INTEGER, 0, i, 0};
        numbers.push_back(externals_store(&v));
    }
    EXPECT_EQ(numbers.front(), 1u);
    node_id text = alloc_bytes(4);
    cell s{TYPE_STRING, 0, text, 0};
    EXPECT_EQ(externals_store(&s), 101u);
    EXPECT_EQ(node_buffer(externals_node())->size, 200 * sizeof(cell));
    collector_collect();
    EXPECT_EQ(externals_get(101)->w2, text);
    EXPECT_FALSE(node_is_free_slot(node_table[text]));
    EXPECT_EQ(externals_get(50)->w2, 49u);
    externals_free(50);
    cell v{TYPE_INTEGER, 0, 7, 0};
    EXPECT_EQ(externals_store(&v), 50u);
}
