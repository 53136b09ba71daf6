#include <functional>
#include <unordered_map>

#include "tests/unit/hashed_fixture.h"

namespace kel::testing {
namespace {

class Hash : public HashedTest {
protected:
    // make hash! of the integers
    cell* ints(std::initializer_list<int32_t> values) {
        cell* b = block::push_only(static_cast<int32_t>(values.size()));
        for (int32_t v : values) block::ks_append(b, i(v));
        return make(TYPE_HASH, b);
    }
    cell* range(int32_t n) {
        cell* b = block::push_only(n);
        for (int32_t v = 0; v < n; v++) {
            cell c = integer_cell(v);
            block::ks_append(b, &c);
        }
        return make(TYPE_HASH, b);
    }

    // The table answers, for every cell, the first position holding an equal value, as a
    // scan of the block does; and it holds one entry per cell.
    static void expect_indexed(const cell* h, const std::string& what) {
        ASSERT_EQ(TYPE_OF(h), TYPE_HASH) << what;
        node_id table = h->w3;
        ASSERT_NE(table, 0u) << what;
        int32_t len = series::buffer_length(h);
        EXPECT_EQ(hashtable_of(table)->size, len) << what;
        std::unordered_map<int32_t, int32_t> first_integer;
        for (int32_t p = 0; p < len; p++) {
            cell key = *block::ks_abs_at(h, p);
            int32_t first = 0;
            if (TYPE_OF(&key) == TYPE_INTEGER) {
                first = first_integer.emplace(int_of(&key), p).first->second;
            } else {
                while (TYPE_OF(block::ks_abs_at(h, first)) != TYPE_OF(&key) ||
                       compare_dispatch(&key, block::ks_abs_at(h, first), COMP_EQUAL) != 0)
                    first++;
            }
            ASSERT_EQ(hashtable_find(table, &key, 0, false, false, COMP_EQUAL), first) << what << " at " << p;
        }
        cell absent = integer_cell(-12345);
        EXPECT_EQ(hashtable_find(table, &absent, 0, false, false, COMP_EQUAL), -1) << what;
    }

    static cell* find(cell* h, cell* value, bool case_q = false, cell* part = nullptr, cell* skip = nullptr,
                      bool last = false, bool reverse = false, bool tail = false) {
        return push(act<ACT_FIND>(h, value, part, false, case_q, false, false, nullptr, skip, last, reverse,
                                  tail, false));
    }
    static int32_t index_of(const cell* found) {
        return TYPE_OF(found) == TYPE_NONE ? 0 : series::head_of(found) + 1;
    }
};

TEST_F(Hash, MakeToAndMold) {
    cell* h = ints({1, 2, 3});
    EXPECT_EQ(mold(h), "make hash! [1 2 3]");
    EXPECT_EQ(mold(h, true), "1 2 3");
    EXPECT_EQ(form(h), "1 2 3");
    expect_indexed(h, "make");
    expect_indexed(to(TYPE_HASH, i(5)), "to from one value");
    cell* sized = make(TYPE_HASH, i(0));
    EXPECT_EQ(mold(sized), "make hash! []");
    expect_indexed(make(TYPE_HASH, h), "make from a hash");
    cell* inner = blk({h});
    EXPECT_EQ(mold(inner), "[make hash! [1 2 3]]");
    EXPECT_EQ(raised_code([&] { get_action_ptr_by_type<ACT_RANDOM>(TYPE_HASH); }),
              script_code(script_error::expect_arg));
}

TEST_F(Hash, FindThroughTheTable) {
    cell* h = ints({1, 2, 1, 3, 1, 2});
    struct {
        const char* name;
        int32_t head;
        int32_t value;
        int32_t part;  // 0: none
        int32_t skip;  // 0: none
        bool last, reverse, tail;
        int32_t index;  // 1-based, 0 for none
    } cases[] = {
        {"plain", 0, 1, 0, 0, false, false, false, 1},
        {"from the head", 1, 1, 0, 0, false, false, false, 3},
        {"tail", 0, 3, 0, 0, false, false, true, 5},
        {"last", 0, 1, 0, 0, true, false, false, 5},
        {"last within part", 0, 2, 4, 0, true, false, false, 0},
        {"reverse", 4, 2, 0, 0, false, true, false, 2},
        {"reverse at the head", 0, 1, 0, 0, false, true, false, 0},
        {"skip aligned", 0, 1, 0, 2, false, false, false, 1},
        {"skip misaligned", 1, 1, 0, 2, false, false, false, 0},
        {"part stops", 0, 3, 3, 0, false, false, false, 0},
        {"absent", 0, 9, 0, 0, false, false, false, 0},
    };
    for (auto& c : cases) {
        cell* at = push(h);
        at->w1 = static_cast<uint32_t>(c.head);
        cell* part = c.part ? i(c.part) : nullptr;
        cell* skip = c.skip ? i(c.skip) : nullptr;
        EXPECT_EQ(index_of(find(at, i(c.value), false, part, skip, c.last, c.reverse, c.tail)), c.index) << c.name;
    }
    cell* found = push(act<ACT_SELECT>(h, i(3), nullptr, false, false, false, false, nullptr, nullptr, false, false));
    EXPECT_EQ(int_of(found), 1);
}

TEST_F(Hash, CaseAndMinusZero) {
    cell* h = make(TYPE_HASH, blk({s("abc"), s("ABC"), f(0.0)}));
    EXPECT_EQ(index_of(find(h, s("ABC"))), 1);
    EXPECT_EQ(index_of(find(h, s("ABC"), true)), 2);
    EXPECT_EQ(index_of(find(h, f(-0.0))), 3);
    EXPECT_EQ(index_of(find(h, i(0))), 0);  // the table compares within one type
}

// Lookups answer what a scan comparing with the compare action answers: within one type,
// for each equality a table is asked with, the first (and the last) position found.
TEST_F(Hash, LookupsAgreeWithTheCompareAction) {
    auto head = [&](cell* text, uint32_t at) {
        text->w1 = at;
        return text;
    };
    auto chr = [&](uint32_t cp) {
        cell c{TYPE_CHAR, 0, cp, 0};
        return push(&c);
    };
    cell* values = blk({i(1), chr('a'), chr('A'), i(97), i(1), s("abc"), s("ABC"), head(s("\u03A9aBc"), 1),
                        head(s("zAbc"), 1), s("abc"), w("foo"), w("FOO"), w("foo", TYPE_SET_WORD),
                        w("foo", TYPE_REFINEMENT), f(0.0), f(-0.0), f(1.5)});
    cell* h = make(TYPE_HASH, values);
    cell* m = make(TYPE_MAP, blk({s("abc"), i(1), s("ABC"), i(2), w("foo"), i(3), w("FOO"), i(4), chr('a'),
                                  i(5), f(-0.0), i(6), i(1), i(7)}));
    cell* others = blk({s("Abc"), s("\u03A9ABC"), w("Foo"), w("bar"), chr('b'), i(2), f(0.0)});
    auto scan = [](const cell* series, cell* key, int32_t op, int32_t step, bool last) {
        int32_t found = -1;
        for (int32_t p = 0; p < series::buffer_length(series); p += step) {
            cell* c = block::ks_abs_at(series, p);
            if (TYPE_OF(c) != TYPE_OF(key) || !actions::compare(key, c, op)) continue;
            found = p;
            if (!last) break;
        }
        return found;
    };
    const int32_t ops[] = {COMP_EQUAL, COMP_STRICT_EQUAL, COMP_SAME, COMP_FIND};
    for (const cell* keys : {values, others, m}) {
        for (int32_t k = 0; k < series::buffer_length(keys); k++) {
            cell key = *block::ks_abs_at(keys, k);
            std::string what = mold(&key) + " (key " + std::to_string(k) + ")";
            for (int32_t op : ops) {
                for (bool last : {false, true}) {
                    EXPECT_EQ(hashtable_find(h->w3, &key, 0, last, false, op), scan(h, &key, op, 1, last))
                        << what << " op " << op << (last ? " last" : "");
                }
                cell map_key = key;
                if (any_word_q(TYPE_OF(&map_key))) set_type(&map_key, TYPE_SET_WORD);
                EXPECT_EQ(hashtable_find(m->w3, &map_key, 0, false, false, op), scan(m, &map_key, op, 2, false))
                    << what << " in the map, op " << op;
            }
        }
    }
}

TEST_F(Hash, EveryEditKeepsTheTableInStep) {
    struct {
        const char* name;
        std::function<void(cell*)> edit;
    } cases[] = {
        {"insert at the head", [&](cell* h) { act<ACT_INSERT>(h, i(99), -1, false, 1, false); }},
        {"insert a block inside", [&](cell* h) { h->w1 = 3; act<ACT_INSERT>(h, blk({i(20), i(1)}), -1, false, 1, false); }},
        {"insert with dup", [&](cell* h) { h->w1 = 2; act<ACT_INSERT>(h, i(5), -1, false, 3, false); }},
        {"append", [&](cell* h) { act<ACT_APPEND>(h, blk({i(2), i(50)}), -1, false, 1, true); }},
        {"change to more", [&](cell* h) { h->w1 = 2; act<ACT_CHANGE>(h, blk({i(30), i(31), i(1)}), 1, false, 1); }},
        {"change to fewer", [&](cell* h) { h->w1 = 2; act<ACT_CHANGE>(h, i(40), 3, false, 1); }},
        {"change in place", [&](cell* h) { h->w1 = 1; act<ACT_CHANGE>(h, i(8), -1, false, 1); }},
        {"remove part", [&](cell* h) { h->w1 = 4; act<ACT_REMOVE>(h, i(2), nullptr); }},
        {"remove key", [&](cell* h) { act<ACT_REMOVE>(h, nullptr, i(3)); }},
        {"take", [&](cell* h) { act<ACT_TAKE>(h, nullptr, false, false); }},
        {"take last part", [&](cell* h) { expect_indexed(act<ACT_TAKE>(h, i(3), false, true), "taken"); }},
        {"clear", [&](cell* h) { h->w1 = 5; act<ACT_CLEAR>(h); }},
        {"poke", [&](cell* h) { act<ACT_POKE>(h, 3, i(77), i(3)); }},
        {"reverse", [&](cell* h) { h->w1 = 1; act<ACT_REVERSE>(h, nullptr, nullptr); }},
        {"move within", [&](cell* h) {
             cell* to = push(h);
             to->w1 = 7;
             h->w1 = 1;
             act<ACT_MOVE>(h, to, i(2));
         }},
        {"move back within", [&](cell* h) {
             cell* to = push(h);
             to->w1 = 1;
             h->w1 = 6;
             act<ACT_MOVE>(h, to, i(3));
         }},
        {"move to another hash", [&](cell* h) {
             cell* other = ints({1, 9});
             act<ACT_MOVE>(h, other, i(3));
             expect_indexed(other, "target");
         }},
        {"swap", [&](cell* h) {
             h->w1 = 2;
             act<ACT_SWAP>(h, blk({i(60)}));
         }},
        {"put a new key", [&](cell* h) { act<ACT_PUT>(h, i(70), i(71), false); }},
        {"put an existing key", [&](cell* h) { act<ACT_PUT>(h, i(3), i(1), false); }},
        {"trim", [&](cell* h) {
             act<ACT_APPEND>(h, blk({none(), i(4), none()}), -1, false, 1, true);
             act<ACT_TRIM>(h, false, false, false, false, false, nullptr);
         }},
        {"sort", [&](cell* h) { act<ACT_SORT>(h, false, nullptr, nullptr, nullptr, false, false, false); }},
        {"union", [&](cell* h) {
             cell* other = blk({i(3), i(100)});
             cell* first = push(h);
             push(other);  // the second argument lies just above the first
             block::set_operation(first, false, nullptr, block::SET_UNION);
             expect_indexed(first, "union");
         }},
    };
    for (auto& c : cases) {
        cell* h = ints({1, 2, 3, 4, 5, 6, 7, 8, 1, 2});
        EXPECT_EQ(raised_code([&] { c.edit(h); }), 0u) << c.name;
        h->w1 = 0;
        expect_indexed(h, c.name);
    }
}

// The block set operations look keys up in an index: words by their symbol, so case
// variants meet unless /case, and nested blocks by a scan.
TEST_F(Hash, BlockSetOperations) {
    struct row {
        int32_t op;
        std::function<cell*()> first, second;
        int32_t skip;
        bool case_q;
        const char* expected;
    };
    auto words = [&](std::initializer_list<const char*> names) {
        cell* b = block::push_only(static_cast<int32_t>(names.size()));
        for (const char* name : names) block::ks_append(b, w(name));
        return b;
    };
    row rows[] = {
        {block::SET_UNION, [&] { return words({"a", "b"}); }, [&] { return words({"b", "c"}); }, 0, false, "[a b c]"},
        {block::SET_DIFFERENCE, [&] { return words({"a", "b"}); }, [&] { return words({"b", "c"}); }, 0, false, "[a c]"},
        {block::SET_UNIQUE, [&] { return blk({w("a"), i(1), w("a"), i(2)}); }, [&] { return blk({}); }, 2, false, "[a 1]"},
        {block::SET_UNIQUE, [&] { return words({"a", "A", "b", "a"}); }, [&] { return blk({}); }, 0, false, "[a b]"},
        {block::SET_UNIQUE, [&] { return words({"a", "A", "b", "a"}); }, [&] { return blk({}); }, 0, true, "[a A b]"},
        {block::SET_INTERSECT, [&] { return words({"a", "b", "c"}); }, [&] { return words({"c", "a", "d"}); }, 0, false, "[a c]"},
        {block::SET_EXCLUDE, [&] { return words({"a", "b", "c", "b"}); }, [&] { return words({"b"}); }, 0, false, "[a c]"},
        {block::SET_UNION, [&] { return blk({blk({i(1)}), blk({i(1)}), i(2)}); }, [&] { return blk({i(2), blk({i(3)})}); },
         0, false, "[[1] 2 [3]]"},
    };
    for (const row& r : rows) {
        cell* top = stack::top;
        cell* first = r.first();
        cell* second = r.second();
        cell skip_value = integer_value(r.skip);
        cell* base = push(first);
        push(second);
        cell* skip = r.skip ? push(&skip_value) : nullptr;
        block::set_operation(base, r.case_q, skip, r.op);
        EXPECT_EQ(mold(base), r.expected) << r.op << " " << r.expected;
        stack::top = top;
    }
    cell* base = push(words({"a"}));
    push(words({"b"}));
    cell zero = integer_value(0);
    cell* skip = push(&zero);
    EXPECT_EQ(raised_code([&] { block::set_operation(base, false, skip, block::SET_UNION); }),
              error_code(ERR_SCRIPT, static_cast<uint32_t>(script_error::invalid_refine_arg)));
}

TEST_F(Hash, CopiesHaveTablesOfTheirOwn) {
    cell* h = ints({1, 2, 3, 2});
    cell* whole = push(act<ACT_COPY>(h, none(), nullptr, false, nullptr));
    act<ACT_INSERT>(h, i(9), -1, false, 1, false);
    expect_indexed(whole, "whole copy");
    EXPECT_EQ(mold(whole), "make hash! [1 2 3 2]");
    cell* part = push(act<ACT_COPY>(h, none(), i(3), false, nullptr));
    expect_indexed(part, "part copy");
    cell* nested = blk({h});
    cell* deep = push(act<ACT_COPY>(nested, none(), nullptr, true, nullptr));
    expect_indexed(block::ks_abs_at(deep, 0), "nested deep copy");
}

TEST_F(Hash, LargeEditsInTheMiddleRebuild) {
    const int32_t n = 40000;
    cell* h = range(n);
    struct {
        const char* name;
        std::function<void()> edit;
    } cases[] = {
        {"insert", [&] { h->w1 = n / 2; act<ACT_INSERT>(h, blk({i(-1), i(-2)}), -1, false, 1, false); }},
        {"remove", [&] { h->w1 = n / 3; act<ACT_REMOVE>(h, i(5), nullptr); }},
        {"change", [&] { h->w1 = n / 4; act<ACT_CHANGE>(h, blk({i(-3)}), 4, false, 1); }},
        {"move", [&] {
             cell* to = push(h);
             to->w1 = n - 10;
             h->w1 = 3;
             act<ACT_MOVE>(h, to, i(2));
         }},
    };
    for (auto& c : cases) {
        c.edit();
        h->w1 = 0;
        expect_indexed(h, c.name);
    }
}

}  // namespace
}  // namespace kel::testing
