#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/collector.h"
#include "runtime/case_folding.h"
#include "runtime/hashtable.h"

using namespace kel;

namespace {

class Hashtable : public ::testing::Test {
protected:
    void SetUp() override {
        init_memory();
        case_folding_init();
        nodes_cycles = 0;
        symbol_table = alloc_cells(16);
        names = hashtable_make(0, symbol_table, HASH_KIND_SYMBOL, 1);
        keep_symbols.node = symbol_table;
        keep_names.value = cell{TYPE_MAP, 0, 0, names};
    }
    void TearDown() override { free_all_node_frames(); }

    node_id names = 0;
    // The symbol table is a root of the runtime.
    root_node keep_symbols{0};
    root_cell keep_names;

    static cell integer(int32_t v) { return cell{TYPE_INTEGER, 0, static_cast<uint32_t>(v), 0}; }

    static node_id block_of(std::initializer_list<int32_t> values) {
        node_id block = alloc_cells(values.size() + 4);
        for (int32_t v : values) *alloc_tail_buffer(node_buffer(block)) = integer(v);
        return block;
    }
    static void append(node_id block, const cell& c) { *alloc_tail_buffer(node_buffer(block)) = c; }
    static uint32_t length(node_id block) {
        return static_cast<uint32_t>(node_buffer(block)->used_bytes() / sizeof(cell));
    }
    static node_id block_of_table(node_id table) { return static_cast<node_id>(hashtable_of(table)->block); }

    static int32_t find(node_id table, int32_t v, uint32_t start = 0, bool last = false, bool reverse = false) {
        cell key = integer(v);
        return hashtable_find(table, &key, start, last, reverse, 0);
    }
    static std::vector<int32_t> all(node_id table, int32_t v) {
        cell key = integer(v);
        hashtable_cursor cursor;
        std::vector<int32_t> out;
        for (int32_t at; (at = hashtable_get_map(table, &key, &cursor)) >= 0;) out.push_back(at);
        std::sort(out.begin(), out.end());
        return out;
    }
    static cell text(const std::string& s, uint32_t unit = 1) {
        node_id n = alloc_series(s.size() + 1, unit, 0);
        series_buffer* b = node_buffer(n);
        for (size_t i = 0; i < s.size(); i++) {
            uint32_t cp = static_cast<uint8_t>(s[i]);
            std::memcpy(b->offset + i * unit, &cp, unit);  // little-endian low bytes
        }
        b->tail = b->offset + s.size() * unit;
        cell c{};
        set_series_value(&c, TYPE_STRING, n, 0);
        return c;
    }
    uint32_t intern(const std::string& name, bool insensitive_only = false) {
        return symbol_table_find(names, reinterpret_cast<const uint8_t*>(name.data()), name.size(),
                                 insensitive_only);
    }
};

}  // namespace

TEST_F(Hashtable, MurmurMatchesTheReferenceVectors) {
    struct { const char* text; uint32_t seed; uint32_t hash; } cases[] = {
        {"", 0, 0},
        {"", 1, 0x514E28B7},
        {"", 0xFFFFFFFF, 0x81F16F39},
        {"aaaa", 0x9747B28C, 0x5A97808A},
        {"Hello, world!", 0x9747B28C, 0x24884CBA},
        {"The quick brown fox jumps over the lazy dog", 0x9747B28C, 0x2FA826CD},
    };
    for (auto c : cases) EXPECT_EQ(murmur3_32(c.text, std::strlen(c.text), c.seed), c.hash) << c.text;
    EXPECT_EQ(murmur3_32("\0\0\0\0", 4, 0), 0x2362F9DEu);
}

TEST_F(Hashtable, EqualValuesHashAlike) {
    auto float_cell = [](double d) { cell c{TYPE_FLOAT, 0, 0, 0}; set_cell_float(&c, d); return c; };
    cell zero = float_cell(0.0), minus_zero = float_cell(-0.0);
    cell nan1 = float_cell(std::nan("")), nan2 = float_cell(-std::nan("7"));
    EXPECT_EQ(hash_value(&zero, false), hash_value(&minus_zero, false));
    EXPECT_EQ(hash_value(&nan1, false), hash_value(&nan2, false));
    cell p1{TYPE_POINT2D, 0x80000000u, 0x3F800000u, 0}, p2{TYPE_POINT2D, 0, 0x3F800000u, 0};
    EXPECT_EQ(hash_value(&p1, false), hash_value(&p2, false));

    cell lower = text("abc"), upper = text("ABC"), wide = text("abc", 2);
    EXPECT_EQ(hash_value(&lower, false), hash_value(&upper, false));
    EXPECT_NE(hash_value(&lower, true), hash_value(&upper, true));
    EXPECT_EQ(hash_value(&lower, true), hash_value(&wide, true));

    // Every length around the four-character rounds, Latin-1 letters too: a case variant and
    // every unit width hash alike ignoring case, and only the same spelling under case.
    const char* spellings[][2] = {{"a", "A"}, {"ab", "aB"}, {"abc", "ABC"}, {"abcd", "ABCd"}, {"abcde", "aBCDE"},
                                  {"ab{z`@", "AB{Z`@"}, {"abcdefgh", "ABCDEFGH"}, {"\xE9t\xE9s", "\xC9T\xC9S"},
                                  {"caf\xE9s ok", "CAF\xC9S OK"},
                                  {"abcdefghi", "ABCDEFGHI"}, {"abcdefghijklmnop", "ABCDEFGHIJKLMNOP"},
                                  {"abcdefghijklmnopq", "abcdefghijklmnopQ"}, {"-word", "-WORD"}};
    for (auto& pair : spellings) {
        cell narrow = text(pair[0]), variant = text(pair[1]);
        for (uint32_t unit : {2u, 4u}) {
            cell other = text(pair[1], unit), same = text(pair[0], unit);
            EXPECT_EQ(hash_value(&narrow, false), hash_value(&other, false)) << pair[0] << " " << unit;
            EXPECT_EQ(hash_value(&narrow, true), hash_value(&same, true)) << pair[0] << " " << unit;
        }
        EXPECT_EQ(hash_value(&narrow, false), hash_value(&variant, false)) << pair[0];
        EXPECT_NE(hash_value(&narrow, true), hash_value(&variant, true)) << pair[0];
    }

    // A one-byte letter whose upper case needs two bytes: y with diaeresis.
    cell y = text("x\xFFz"), wide_y = text("X\xFFZ", 2);
    std::memcpy(node_buffer(series_node(&wide_y))->offset + 2, "\x78\x01", 2);
    EXPECT_EQ(hash_value(&y, false), hash_value(&wide_y, false));
    EXPECT_NE(hash_value(&y, true), hash_value(&wide_y, true));
}

TEST_F(Hashtable, BucketCountsFollowTheLoadBound) {
    struct { uint32_t size; int32_t kind; int32_t buckets; int32_t bound; } cases[] = {
        {0, HASH_KIND_MAP, 8, 6},
        {4, HASH_KIND_HASH, 8, 6},
        {100, HASH_KIND_HASH, 256, 197},
        {4000, HASH_KIND_SYMBOL, 16384, 12615},
        {10, HASH_KIND_NODE, 16, 12},
    };
    for (auto c : cases) {
        node_id t = hashtable_make(c.size, 0, c.kind, 1);
        EXPECT_EQ(hashtable_of(t)->buckets, c.buckets) << c.size;
        EXPECT_EQ(hashtable_of(t)->upper_bound, c.bound) << c.size;
    }
}

TEST_F(Hashtable, MapGrowsOnItsSeventhKey) {
    node_id map = hashtable_make(0, 0, HASH_KIND_MAP);
    node_id block = block_of_table(map);
    for (int32_t k = 1; k <= 7; k++) {
        append(block, integer(k));
        append(block, integer(k * 10));
        int status;
        hashtable_put_value(map, length(block) - 2, &status);
        EXPECT_EQ(status, HASH_INSERTED);
        EXPECT_EQ(hashtable_of(map)->buckets, k < 7 ? 8 : 16) << k;
    }
    for (int32_t k = 1; k <= 7; k++) EXPECT_EQ(find(map, k), 2 * (k - 1));
    append(block, integer(3));
    int status;
    EXPECT_EQ(hashtable_put_value(map, length(block) - 1, &status), 4);
    EXPECT_EQ(status, HASH_EXISTED);
}

TEST_F(Hashtable, MapInsertionAfterATextMissReusesADeletedBucketAndMarksCaseVariants) {
    constexpr int32_t EQUAL = 0, STRICT = 2;
    node_id map = hashtable_make(8, 0, HASH_KIND_MAP);
    node_id block = block_of_table(map);
    auto put_text = [&](const std::string& s, int32_t op) {
        cell key = text(s);
        hashtable_hint hint;
        EXPECT_LT(hashtable_find_key(map, &key, op, &hint), 0) << s;
        append(block, key);
        append(block, integer(0));
        int status;
        hashtable_put_value(map, length(block) - 2, &status, op, &hint);
        EXPECT_EQ(status, HASH_INSERTED) << s;
    };
    auto find_folded = [&](const std::string& s) {
        cell key = text(s);
        hashtable_hint hint;
        return hashtable_find_key(map, &key, EQUAL, &hint);
    };
    put_text("alpha", EQUAL);
    put_text("beta", EQUAL);
    hashtable_delete(map, 0);
    int32_t occupied = hashtable_of(map)->occupied;
    put_text("alpha", EQUAL);
    EXPECT_EQ(hashtable_of(map)->occupied, occupied);
    EXPECT_EQ(hashtable_of(map)->size, 2);
    EXPECT_EQ(find_folded("ALPHA"), 4);
    EXPECT_EQ(hashtable_of(map)->duplicates, 0);
    put_text("Beta", STRICT);
    EXPECT_EQ(hashtable_of(map)->duplicates, 1);
    EXPECT_EQ(find_folded("BETA"), 2);
}

TEST_F(Hashtable, FullHashReportsAndPutRebuilds) {
    node_id block = block_of({});
    node_id hash = hashtable_make(0, block, HASH_KIND_HASH);
    for (int32_t v = 0; v < 6; v++) {
        append(block, integer(v));
        hashtable_put(hash, static_cast<uint32_t>(v));
    }
    append(block, integer(6));
    int status;
    hashtable_put_value(hash, 6, &status);
    EXPECT_EQ(status, HASH_FULL);
    hashtable_put(hash, 6);
    for (int32_t v = 0; v <= 6; v++) EXPECT_EQ(find(hash, v), v);
}

TEST_F(Hashtable, MapLoadKeepsTheLastValueAtTheFirstKey) {
    node_id block = block_of({1, 10, 2, 20, 1, 30});
    node_id map = hashtable_make(3, block, HASH_KIND_MAP);
    ASSERT_EQ(length(block), 4u);
    EXPECT_EQ(series_cell(block, 1)->w2, 30u);
    EXPECT_EQ(hashtable_of(map)->size, 2);
}

TEST_F(Hashtable, DuplicatesAreChainedAndDeletedConsistently) {
    node_id block = block_of({1, 2, 1, 3, 1});
    node_id hash = hashtable_make(5, block, HASH_KIND_HASH);
    EXPECT_EQ(all(hash, 1), (std::vector<int32_t>{0, 2, 4}));
    struct { uint32_t start; bool last, reverse; int32_t at; } finds[] = {
        {0, false, false, 0}, {1, false, false, 2}, {0, true, false, 4}, {3, false, true, 2}, {5, false, false, -1},
    };
    for (auto f : finds) EXPECT_EQ(find(hash, 1, f.start, f.last, f.reverse), f.at) << f.start;

    hashtable_delete(hash, 2);
    EXPECT_EQ(all(hash, 1), (std::vector<int32_t>{0, 4}));
    hashtable_delete(hash, 0);
    EXPECT_EQ(all(hash, 1), (std::vector<int32_t>{4}));
    hashtable_delete(hash, 4);
    EXPECT_EQ(find(hash, 1), -1);
    EXPECT_EQ(find(hash, 3), 3);
    hashtable_put(hash, 2);  // the value comes back at one position
    EXPECT_EQ(all(hash, 1), (std::vector<int32_t>{2}));
}

TEST_F(Hashtable, RefreshFollowsInsertionsAndRemovals) {
    // Insertion of 5 at position 1 of [10 1 20 1].
    node_id block = block_of({10, 1, 20, 1});
    node_id hash = hashtable_make(8, block, HASH_KIND_HASH);
    cell* cells = node_buffer(block)->cells();
    std::memmove(cells + 2, cells + 1, 3 * sizeof(cell));
    cells[1] = integer(5);
    node_buffer(block)->tail += sizeof(cell);
    ASSERT_EQ(hashtable_refresh(hash, 1, 1, 3, true), 0);
    hashtable_put(hash, 1);
    EXPECT_EQ(find(hash, 10), 0);
    EXPECT_EQ(find(hash, 5), 1);
    EXPECT_EQ(find(hash, 20), 3);
    EXPECT_EQ(all(hash, 1), (std::vector<int32_t>{2, 4}));

    // Removal of [5 1] at position 1: [10 20 1].
    cells = node_buffer(block)->cells();
    std::memmove(cells + 1, cells + 3, 2 * sizeof(cell));
    node_buffer(block)->tail -= 2 * sizeof(cell);
    ASSERT_EQ(hashtable_refresh(hash, -2, 3, 2, true), 0);
    EXPECT_EQ(find(hash, 5), -1);
    EXPECT_EQ(find(hash, 20), 1);
    EXPECT_EQ(all(hash, 1), (std::vector<int32_t>{2}));
    EXPECT_EQ(hashtable_of(hash)->size, 3);
}

TEST_F(Hashtable, MoveReindexesTheRangeBetween) {
    node_id block = block_of({7, 8, 7, 9});
    node_id hash = hashtable_make(8, block, HASH_KIND_HASH);
    cell* cells = node_buffer(block)->cells();
    std::rotate(cells, cells + 3, cells + 4);  // 9 moves to the front: [9 7 8 7]
    hashtable_move(hash, 3, 1, 0);
    EXPECT_EQ(find(hash, 9), 0);
    EXPECT_EQ(find(hash, 8), 2);
    EXPECT_EQ(all(hash, 7), (std::vector<int32_t>{1, 3}));
}

TEST_F(Hashtable, LargeRefreshGivesUpAndCallersRebuild) {
    std::vector<int32_t> values(HASH_REFRESH_LIMIT + 2);
    node_id block = alloc_cells(values.size());
    for (size_t i = 0; i < values.size(); i++) append(block, integer(static_cast<int32_t>(i)));
    node_id hash = hashtable_make(static_cast<uint32_t>(values.size()), block, HASH_KIND_HASH);
    EXPECT_EQ(hashtable_refresh(hash, -1, 1, HASH_REFRESH_LIMIT + 1, true), 1);
    EXPECT_EQ(find(hash, 0), 0);  // untouched
    EXPECT_EQ(find(hash, 500), 500);

    cell* cells = node_buffer(block)->cells();
    std::memmove(cells, cells + 1, (values.size() - 1) * sizeof(cell));
    node_buffer(block)->tail -= sizeof(cell);
    hashtable_remove_range(hash, 0, 1);
    EXPECT_EQ(find(hash, 0), -1);
    EXPECT_EQ(find(hash, 500), 499);
}

TEST_F(Hashtable, CopyIsIndependent) {
    node_id block = block_of({4, 4, 5});
    node_id hash = hashtable_make(3, block, HASH_KIND_HASH);
    node_id copy = hashtable_copy(hash, copy_series_buffer(node_buffer(block)));
    hashtable_delete(hash, 0);
    EXPECT_EQ(all(copy, 4), (std::vector<int32_t>{0, 1}));
    EXPECT_EQ(all(hash, 4), (std::vector<int32_t>{1}));
}

TEST_F(Hashtable, NodeKeyedTablesSurviveRenumbering) {
    node_id table = hashtable_make(0, 0, HASH_KIND_NODE, 2);
    std::vector<node_id> keys;
    for (int32_t i = 0; i < 20; i++) {
        keys.push_back(alloc_bytes(16));
        cell* values = hashtable_put_key(table, keys.back());
        values[0] = integer(i);
        values[1] = integer(-i);
    }
    EXPECT_EQ(hashtable_of(table)->size, 20);
    hashtable_delete_key(table, keys[3]);
    EXPECT_EQ(hashtable_get_key(table, keys[3]), nullptr);
    EXPECT_EQ(hashtable_get_key(table, keys[4])->w2, 4u);

    // The collector renumbers the key nodes and counts an evacuating cycle.
    std::vector<node_id> renamed;
    series_buffer* b = node_buffer(block_of_table(table));
    for (cell* c = b->cells(); c < b->cells_tail(); c += 3) {
        if (c->header == 0) continue;
        node_id fresh = alloc_node();
        node_table[fresh] = node_buffer(c->w1);
        renamed.push_back(fresh);
        c->w1 = fresh;
    }
    nodes_cycles++;
    EXPECT_EQ(hashtable_get_key(table, renamed[5])->w2, 6u);
    EXPECT_EQ(hashtable_get_key(table, keys[6]), nullptr);
    EXPECT_EQ(hashtable_of(table)->stamp, static_cast<int32_t>(nodes_cycles + 1));
}

node_id swept_table = 0;

TEST_F(Hashtable, CollectionKeepsNodeKeysAndSweepsTheOwnershipTable) {
    node_id strong = hashtable_make(4, 0, HASH_KIND_NODE, 1);
    node_id kept = alloc_bytes(16);
    hashtable_put_key(strong, kept)[0] = integer(1);
    root_cell keep_strong(cell{TYPE_MAP, 0, 0, strong});

    swept_table = hashtable_make(10, 0, HASH_KIND_OWNERSHIP, 3);
    root_node live(alloc_bytes(16), false), owner(alloc_cells(2), false);
    node_id dead = alloc_bytes(16), orphan = alloc_bytes(16), lost_owner = alloc_cells(2);
    root_node keep_orphan(orphan, false);
    for (node_id key : {live.node, dead, orphan}) {
        cell* values = hashtable_put_key(swept_table, key);
        values[1] = cell{TYPE_OBJECT, key == orphan ? lost_owner : owner.node, 0, 0};
    }
    // The ownership table is marked and swept after every other root.
    auto sweep = [] {
        hashtable_mark(&swept_table);
        hashtable_sweep(&swept_table);
    };
    collector_add_mark_callback(sweep);
    collector_collect();
    collector_remove_mark_callback(sweep);

    EXPECT_EQ(hashtable_get_key(strong, kept)->w2, 1u);
    EXPECT_FALSE(node_is_free_slot(node_buffer(kept)));
    EXPECT_NE(hashtable_get_key(swept_table, live.node), nullptr);
    EXPECT_EQ(hashtable_get_key(swept_table, orphan), nullptr);
    EXPECT_TRUE(node_is_free_slot(node_buffer(dead)));
    EXPECT_EQ(hashtable_of(swept_table)->size, 1);
}

TEST_F(Hashtable, SymbolTableInternsAndAliasesCaseVariants) {
    uint32_t foo = intern("foo");
    EXPECT_EQ(intern("foo"), foo);
    uint32_t foo2 = intern("Foo");
    EXPECT_NE(foo2, foo);
    uint32_t foo3 = intern("FOO");
    const cell* record = series_cell(symbol_table, foo2 - 1);
    EXPECT_EQ(TYPE_OF(record), TYPE_SYMBOL);
    EXPECT_EQ(record->w1, foo);
    EXPECT_EQ(series_cell(symbol_table, foo3 - 1)->w1, foo);
    EXPECT_EQ(static_cast<int32_t>(series_cell(symbol_table, foo - 1)->w1), -1);
    EXPECT_EQ(canonical_symbol(foo3), foo);
    EXPECT_EQ(intern("fOo", true), foo);
    EXPECT_EQ(length(symbol_table), 3u);

    const series_buffer* name = node_buffer(record->w3);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(name->offset), name->used_bytes()), "Foo");
    EXPECT_EQ(name->offset[3], 0);

    uint32_t e_acute = intern("\xC3\xA9"), e_acute_upper = intern("\xC3\x89");
    EXPECT_EQ(canonical_symbol(e_acute_upper), e_acute_upper);
    EXPECT_NE(e_acute, e_acute_upper);
    EXPECT_EQ(intern(""), intern(""));
    for (int i = 0; i < 200; i++) intern("w" + std::to_string(i));  // grows
    EXPECT_EQ(intern("FOO"), foo3);
    EXPECT_EQ(intern("w150"), 157u);
}

TEST_F(Hashtable, ContextIndexMatchesExactlyOrByCanonicalSymbol) {
    uint32_t foo = intern("foo"), variant = intern("FOO"), bar = intern("bar");
    node_id index = hashtable_make(1, alloc_cells(4), HASH_KIND_SYMBOL, 1);
    EXPECT_EQ(context_table_put(index, cell{TYPE_WORD, 0, foo, 0}), 0u);
    EXPECT_EQ(context_table_put(index, cell{TYPE_WORD, 0, bar, 0}), 1u);
    for (int i = 0; i < 20; i++) context_table_put(index, cell{TYPE_WORD, 0, intern("k" + std::to_string(i)), 0});
    EXPECT_EQ(context_table_find(index, bar, false), 1);
    EXPECT_EQ(context_table_find(index, variant, false), -1);
    EXPECT_EQ(context_table_find(index, variant, true), 0);
    EXPECT_EQ(context_table_find(index, intern("k17"), false), 19);
}

TEST_F(Hashtable, IntTableGrowsAndFinds) {
    inttable* t = inttable_make(4);
    for (int32_t k = 0; k < 1000; k++) inttable_put(t, k * 7919, k);
    inttable_put(t, 7919, -1);
    EXPECT_EQ(t->size, 1000);
    EXPECT_GE(t->buckets, 1024);
    EXPECT_EQ(*inttable_get(t, 7919), -1);
    EXPECT_EQ(*inttable_get(t, 999 * 7919), 999);
    EXPECT_EQ(inttable_get(t, 5), nullptr);
    EXPECT_EQ(inttable_find(t, 5), -1);
    inttable_free(t);
}
