#include "runtime/ownership.h"

#include <vector>

#include "runtime/collector.h"
#include "runtime/cycles.h"
#include "runtime/memory.h"
#include "runtime_fixture.h"

using namespace kel;
using namespace kel::testing;

namespace {

struct call {
    owner_action action;
    int32_t index;
    int32_t count;
    uint32_t word;
};
std::vector<call> calls;

class Ownership : public RuntimeTest {
protected:
    void SetUp() override {
        RuntimeTest::SetUp();
        ownership::init();
        calls.clear();
        ownership::on_deep_change = [](const cell*, const cell* word, const cell*, owner_action action,
                                       const cell*, int32_t index, int32_t count) {
            calls.push_back({action, index, count, word->w2});
        };
    }
    void TearDown() override {
        ownership::on_deep_change = nullptr;
        ownership_table = 0;
        RuntimeTest::TearDown();
    }
    // A block value on the stack holding the given cells.
    static cell* block_of(std::initializer_list<cell> items) {
        cell* b = stack::push_cell();
        set_series_value(b, TYPE_BLOCK, alloc_cells(items.size() + 1), 0);
        for (const cell& item : items) *alloc_tail(b) = item;
        return b;
    }
    static cell* owner_object() {
        cell* o = stack::push_cell();
        *o = cell{TYPE_OBJECT, 0, 0, alloc_cells(1)};
        return o;
    }
    static bool owned(const cell* series) { return node_buffer(series_node(series))->flags & SERIES_OWNED; }
};

cell field(uint32_t id) { return cell{TYPE_WORD, 0, id, 0}; }

}  // namespace

TEST_F(Ownership, OwnedSeriesAndWhatTheyHoldAreTold) {
    cell* inner = block_of({integer_cell(1)});
    cell* outer = block_of({*inner, integer_cell(2)});
    cell* owner = owner_object();
    cell word = field(7);
    ownership::mark_owned(outer, owner, &word);
    EXPECT_TRUE(owned(outer));
    EXPECT_TRUE(owned(inner));
    EXPECT_TRUE(ownership::check(inner, owner_action::appended, 1, 1));
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].action, owner_action::appended);
    EXPECT_EQ(calls[0].word, 7u);
    EXPECT_EQ(ownership::find(series_node(outer))->w3, owner->w3);
}

TEST_F(Ownership, ASelfContainingBlockIsMarkedOnce) {
    cell* b = block_of({integer_cell(1)});
    *alloc_tail(b) = *b;
    cell word = field(1);
    ownership::mark_owned(b, owner_object(), &word);
    EXPECT_TRUE(owned(b));
    EXPECT_EQ(cycles_depth(), 0u);
}

TEST_F(Ownership, TheFirstOwnerWins) {
    cell* b = block_of({});
    cell* first = owner_object();
    cell* second = owner_object();
    cell word = field(1);
    ownership::mark_owned(b, first, &word);
    ownership::mark_owned(b, second, &word);
    EXPECT_EQ(ownership::find(series_node(b))->w3, first->w3);
}

TEST_F(Ownership, UnownedOrHandlerlessSeriesAreNotTold) {
    cell* free = block_of({});
    EXPECT_FALSE(ownership::check(free, owner_action::cleared, 0, 0));
    cell* quiet = block_of({});
    cell silent{TYPE_OBJECT, 0, 0, 0};
    cell word = field(1);
    ownership::mark_owned(quiet, &silent, &word);
    EXPECT_FALSE(ownership::check(quiet, owner_action::cleared, 0, 0));
    EXPECT_TRUE(calls.empty());
}

TEST_F(Ownership, UnbindClearsMarksAndEntries) {
    cell* inner = block_of({});
    cell* outer = block_of({*inner});
    cell word = field(1);
    ownership::mark_owned(outer, owner_object(), &word);
    ownership::unbind(outer);
    EXPECT_FALSE(owned(outer));
    EXPECT_FALSE(owned(inner));
    EXPECT_EQ(ownership::find(series_node(inner)), nullptr);
}

TEST_F(Ownership, EntriesOfDeadSeriesAreSwept) {
    cell* kept = block_of({});
    cell word = field(1);
    ownership::mark_owned(kept, owner_object(), &word);
    node_id dropped;
    {
        cell* gone = block_of({});
        dropped = series_node(gone);
        ownership::mark_owned(gone, owner_object(), &word);
        stack::pop(2);  // the block and its owner
    }
    collector_collect();
    EXPECT_NE(ownership::find(series_node(kept)), nullptr);
    EXPECT_TRUE(node_is_free_slot(node_table[dropped]));
}
