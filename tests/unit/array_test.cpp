#include <gtest/gtest.h>

#include <vector>

#include "runtime/array.h"

using namespace kel;

namespace {

class Array : public ::testing::Test {
protected:
    void SetUp() override { init_memory(); }
    void TearDown() override { free_all_node_frames(); }

    static std::vector<uint32_t> words(node_id a) {
        std::vector<uint32_t> out;
        for (size_t i = 1; i <= array_length(a); i++) out.push_back(array_pick_int(a, i));
        return out;
    }
    static node_id of(std::initializer_list<uint32_t> ws) {
        node_id a = array_make(2, 4);
        for (uint32_t w : ws) array_append_int(a, w);
        return a;
    }
};

}  // namespace

TEST_F(Array, InsertAtAnyIndexGrowingWhenFull) {
    struct { std::initializer_list<uint32_t> start; size_t index; std::vector<uint32_t> want; } cases[] = {
        {{1, 2, 3}, 0, {9, 1, 2, 3}},
        {{1, 2, 3}, 3, {1, 2, 3, 9}},
        {{1, 2, 3}, 1, {1, 9, 2, 3}},
        {{1, 2, 3, 4}, 2, {1, 2, 9, 3, 4}},
    };
    for (auto& c : cases) {
        node_id a = of(c.start);
        array_insert_int(a, 9, c.index);
        EXPECT_EQ(words(a), c.want);
    }
}

TEST_F(Array, FindAndRemove) {
    node_id a = of({});
    EXPECT_EQ(array_find_int(a, 7), -1);
    a = of({5, 7, 8, 7});
    EXPECT_EQ(array_find_int(a, 7), 4);
    array_remove_ptr(a, 7);
    EXPECT_EQ(words(a), (std::vector<uint32_t>{5, 8, 7}));
    array_remove_ptr(a, 42);
    EXPECT_EQ(array_length(a), 3u);
    array_set_int(a, 2, 6);
    EXPECT_EQ(array_get_int(a, 2), 6u);
}

TEST_F(Array, SetTailKeepsTheFirstElements) {
    node_id a = of({1, 2, 3});
    array_set_tail(a, 3);
    EXPECT_EQ(words(a), (std::vector<uint32_t>{1, 2}));
    array_set_tail(a, 1);
    EXPECT_EQ(array_length(a), 0u);
}

TEST_F(Array, BytesAppendPickAndCopy) {
    node_id a = array_make(1, 1);
    for (int i = 0; i < 40; i++) array_append_byte(a, static_cast<uint8_t>(i));
    array_append_bytes(a, "xyz", 3);
    EXPECT_EQ(array_length(a), 43u);
    EXPECT_EQ(array_pick_byte(a, 1), 0);
    EXPECT_EQ(array_pick_byte(a, 43), 'z');
    node_id b = array_copy(a);
    EXPECT_EQ(array_length(b), 43u);
    EXPECT_EQ(array_head(b)[41], 'y');
    array_clear(a);
    EXPECT_EQ(array_length(a), 0u);
}
