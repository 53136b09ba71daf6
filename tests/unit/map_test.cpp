#include <functional>

#include "evaluator/actions.h"
#include "tests/unit/hashed_fixture.h"

namespace kel::testing {
namespace {

class Map : public HashedTest {
protected:
    // make map! [a 1 b 2]
    cell* ab() { return make(TYPE_MAP, blk({w("a"), i(1), w("b"), i(2)})); }

    static cell* select(cell* m, cell* key, bool case_q = false) {
        return push(act<ACT_SELECT>(m, key, nullptr, false, case_q, false, false, nullptr, nullptr, false, false));
    }
    static cell* find(cell* m, cell* key, bool case_q = false) {
        return push(act<ACT_FIND>(m, key, nullptr, false, case_q, false, false, nullptr, nullptr, false, false,
                                  false, false));
    }
    static cell* path(cell* m, cell* key) {
        return push(act<ACT_EVAL_PATH>(m, key, nullptr, nullptr, nullptr, nullptr, 0, false, false, false, false));
    }
    static void set(cell* m, cell* key, cell* value) {
        act<ACT_EVAL_PATH>(m, key, value, nullptr, nullptr, nullptr, 0, false, false, false, false);
    }
    static int32_t length(cell* m) { return act<ACT_LENGTH_Q>(m); }
    static void remove_key(cell* m, cell* key) { act<ACT_REMOVE>(m, nullptr, push(key)); }
    static cell* reflect(cell* m, const char* field) {
        return push(act<ACT_REFLECT>(m, symbol::make(field)));
    }
};

TEST_F(Map, MakeKeepsTheFirstPlaceAndTheLastValueOfARepeatedKey) {
    cell* m = make(TYPE_MAP, blk({w("a"), i(1), w("b"), i(2), w("a", TYPE_SET_WORD), i(3)}));
    EXPECT_EQ(length(m), 2);
    EXPECT_EQ(mold(m), "#[\n    a: 3\n    b: 2\n]");
    EXPECT_EQ(mold(make(TYPE_MAP, i(10))), "#[]");
}

TEST_F(Map, BadSpecsAndKeysRaise) {
    struct {
        const char* name;
        std::function<void()> run;
        uint32_t code;
    } cases[] = {
        {"odd length", [&] { make(TYPE_MAP, blk({w("a"), i(1), w("b")})); },
         script_code(script_error::invalid_arg)},
        {"to from a size", [&] { to(TYPE_MAP, i(10)); }, script_code(script_error::bad_to_arg)},
        {"negative size", [&] { make(TYPE_MAP, i(-1)); }, script_code(script_error::out_of_range)},
        {"string spec", [&] { make(TYPE_MAP, s("x")); }, script_code(script_error::bad_to_arg)},
        {"block key in the spec", [&] { make(TYPE_MAP, blk({blk({}), i(1)})); },
         script_code(script_error::invalid_path)},
        {"remove without /key", [&] { act<ACT_REMOVE>(ab(), nullptr, nullptr); },
         script_code(script_error::missing_arg)},
    };
    for (auto& c : cases) EXPECT_EQ(raised_code([&] { c.run(); }), c.code) << c.name;
}

TEST_F(Map, ARefusedKeyLeavesTheMapUnchanged) {
    cell* m = ab();
    EXPECT_EQ(raised_code([&] { set(m, blk({i(1)}), i(5)); }), script_code(script_error::invalid_path));
    EXPECT_EQ(raised_code([&] { act<ACT_PUT>(m, none(), i(5), false); }), script_code(script_error::invalid_path));
    EXPECT_EQ(length(m), 2);
    EXPECT_EQ(mold(m), "#[\n    a: 1\n    b: 2\n]");
}

TEST_F(Map, EveryWordFormNamesOneEntry) {
    cell* m = make(TYPE_MAP, i(0));
    set(m, w("a", TYPE_SET_WORD), i(1));
    struct {
        uint32_t type;
        const char* spelling;
        bool case_q;
        bool found;
    } cases[] = {
        {TYPE_WORD, "a", false, true},     {TYPE_LIT_WORD, "a", false, true},
        {TYPE_GET_WORD, "a", false, true}, {TYPE_SET_WORD, "a", true, true},
        {TYPE_WORD, "A", false, true},     {TYPE_WORD, "A", true, false},
    };
    for (auto& c : cases) {
        cell* v = select(m, w(c.spelling, c.type), c.case_q);
        EXPECT_EQ(TYPE_OF(v) == TYPE_INTEGER, c.found) << c.spelling << " " << c.type << " " << c.case_q;
    }
    EXPECT_EQ(int_of(path(m, w("A"))), 1);
    set(m, w("a", TYPE_LIT_WORD), i(2));
    EXPECT_EQ(length(m), 1);
    EXPECT_EQ(TYPE_OF(find(m, w("a"))), TYPE_WORD);
    EXPECT_EQ(mold(reflect(m, "words")), "[a]");
}

TEST_F(Map, TextKeysHashAlikeAndTheOperationDecidesCase) {
    cell* m = make(TYPE_MAP, blk({s("abc"), i(1)}));
    EXPECT_EQ(int_of(select(m, s("ABC"))), 1);
    EXPECT_EQ(TYPE_OF(select(m, s("ABC"), true)), TYPE_NONE);
    act<ACT_PUT>(m, s("ABC"), i(2), true);  // a key of its own under /case
    EXPECT_EQ(length(m), 2);
    act<ACT_PUT>(m, s("aBc"), i(3), false);  // the first that matches ignoring case
    EXPECT_EQ(mold(m), "#[\n    \"abc\" 3\n    \"ABC\" 2\n]");
    // Spec keys that differ only in case stay apart.
    EXPECT_EQ(length(make(TYPE_MAP, blk({s("x"), i(1), s("X"), i(2)}))), 2);
    // Cleared, the map meets its case variants afresh: ignoring case, the first put answers.
    act<ACT_CLEAR>(m);
    act<ACT_PUT>(m, s("xyz"), i(4), true);
    EXPECT_EQ(int_of(select(m, s("XYZ"))), 4);
    act<ACT_PUT>(m, s("ABC"), i(5), true);
    act<ACT_PUT>(m, s("abc"), i(6), true);
    EXPECT_EQ(int_of(select(m, s("aBc"))), 5);
}

TEST_F(Map, AStringKeyIsCopied) {
    cell* key = s("key");
    cell* m = make(TYPE_MAP, i(0));
    act<ACT_PUT>(m, key, i(1), false);
    string::concat_cstr(key, "-changed");
    EXPECT_EQ(mold(m), "#[\n    \"key\" 1\n]");
    EXPECT_EQ(int_of(select(m, s("key"))), 1);
}

TEST_F(Map, MinusZeroFindsZero) {
    cell* m = make(TYPE_MAP, blk({f(0.0), w("x")}));
    EXPECT_EQ(TYPE_OF(select(m, f(-0.0))), TYPE_WORD);
    act<ACT_PUT>(m, f(-0.0), w("y"), false);
    EXPECT_EQ(length(m), 1);
}

TEST_F(Map, ARemovedEntryIsSkippedAndRevivedInPlace) {
    cell* m = ab();
    remove_key(m, w("a"));
    EXPECT_EQ(length(m), 1);
    EXPECT_EQ(TYPE_OF(select(m, w("a"))), TYPE_NONE);
    EXPECT_EQ(TYPE_OF(find(m, w("a"))), TYPE_NONE);
    EXPECT_EQ(mold(m), "#[\n    b: 2\n]");
    EXPECT_EQ(form(m), "b: 2");
    EXPECT_EQ(mold(reflect(m, "values")), "[2]");
    set(m, w("a"), i(5));
    EXPECT_EQ(length(m), 2);
    EXPECT_EQ(mold(m), "#[\n    a: 5\n    b: 2\n]");
    // A none value is a value: the key stays.
    set(m, w("b"), none());
    EXPECT_EQ(length(m), 2);
    EXPECT_EQ(TYPE_OF(find(m, w("b"))), TYPE_WORD);
}

TEST_F(Map, MoldAndFormLayouts) {
    cell* m = ab();
    struct {
        bool only, flat;
        const char* text;
    } cases[] = {
        {false, false, "#[\n    a: 1\n    b: 2\n]"},
        {false, true, "#[a: 1 b: 2]"},
        {true, false, "    a: 1\n    b: 2\n"},
    };
    for (auto& c : cases) EXPECT_EQ(mold(m, c.only, c.flat), c.text) << c.only << c.flat;
    EXPECT_EQ(form(m), "a: 1\nb: 2");
    // A nested map is indented one level further and closes at its own level.
    cell* outer = make(TYPE_MAP, i(0));
    act<ACT_PUT>(outer, w("m"), m, false);
    EXPECT_EQ(mold(outer), "#[\n    m: #[\n        a: 1\n        b: 2\n    ]\n]");
    EXPECT_EQ(mold(reflect(m, "body")), "[\n    a: 1\n    b: 2\n]");
}

TEST_F(Map, AMapInsideItselfMoldsTheCycleText) {
    cell* m = ab();
    act<ACT_PUT>(m, w("self"), m, false);
    EXPECT_EQ(mold(m), "#[\n    a: 1\n    b: 2\n    self: #[...]\n]");
    EXPECT_EQ(cycles_depth(), 0u);
}

TEST_F(Map, Comparison) {
    cell* m = make(TYPE_MAP, blk({s("k"), i(1), w("b"), i(2)}));
    struct {
        cell* other;
        int32_t op;
        bool equal;
    } cases[] = {
        {make(TYPE_MAP, blk({w("b"), i(2), s("k"), i(1)})), COMP_EQUAL, true},
        {make(TYPE_MAP, blk({w("b"), i(2), s("K"), i(1)})), COMP_EQUAL, true},
        {make(TYPE_MAP, blk({w("b"), i(2), s("K"), i(1)})), COMP_STRICT_EQUAL, false},
        {make(TYPE_MAP, blk({w("b"), i(2), s("k"), i(1)})), COMP_STRICT_EQUAL, true},
        {make(TYPE_MAP, blk({w("b"), i(2), s("k"), i(9)})), COMP_EQUAL, false},
        {make(TYPE_MAP, blk({w("b"), i(2)})), COMP_EQUAL, false},
        {make(TYPE_MAP, blk({w("b"), i(2), s("k"), i(1)})), COMP_SAME, false},
        {m, COMP_SAME, true},
    };
    for (size_t n = 0; n < std::size(cases); n++)
        EXPECT_EQ(equal(m, cases[n].other, cases[n].op), cases[n].equal) << n;
    EXPECT_FALSE(equal(m, blk({}), COMP_EQUAL));
}

TEST_F(Map, CopiesAreIndependent) {
    cell* m = make(TYPE_MAP, blk({w("a"), blk({i(1)})}));
    cell* shallow = push(act<ACT_COPY>(m, none(), nullptr, false, nullptr));
    cell* deep = push(act<ACT_COPY>(m, none(), nullptr, true, nullptr));
    act<ACT_PUT>(shallow, w("z"), i(0), false);
    EXPECT_EQ(length(m), 1);
    EXPECT_EQ(length(shallow), 2);
    EXPECT_EQ(int_of(select(shallow, w("z"))), 0);
    cell* inner = select(m, w("a"));
    block::ks_append(inner, i(2));
    EXPECT_EQ(mold(select(shallow, w("a"))), "[1 2]");
    EXPECT_EQ(mold(select(deep, w("a"))), "[1]");
}

TEST_F(Map, PathsWithOtherKeys) {
    cell* m = make(TYPE_MAP, i(0));
    set(m, i(7), s("seven"));
    set(m, s("name"), i(1));
    cell x{TYPE_CHAR, 0, 'x', 0};
    set(m, push(&x), i(2));
    EXPECT_EQ(mold(path(m, i(7))), "\"seven\"");
    EXPECT_EQ(int_of(path(m, s("NAME"))), 1);
    EXPECT_EQ(TYPE_OF(path(m, i(8))), TYPE_NONE);
    EXPECT_EQ(length(m), 3);
}

TEST_F(Map, ExtendAddsAndReplaces) {
    cell* m = ab();
    map::extend(m, blk({w("b"), i(20), s("c"), i(3)}), false);
    EXPECT_EQ(mold(m), "#[\n    a: 1\n    b: 20\n    \"c\" 3\n]");
    EXPECT_EQ(raised_code([&] { map::extend(m, blk({w("x")}), false); }), script_code(script_error::invalid_arg));
}

TEST_F(Map, ForeachStepsSkipDeadPairs) {
    cell* m = make(TYPE_MAP, blk({w("a"), i(1), w("b"), i(2), w("c"), i(3)}));
    remove_key(m, w("b"));
    cell* words = blk({w("k"), w("v")});
    std::string seen;
    for (cell* walk = push(m); map::foreach_next(words, walk, 2); walk->w1 += 2)
        seen += mold(_context::get(block::ks_abs_at(words, 0))) + "=" + mold(_context::get(block::ks_abs_at(words, 1))) + " ";
    EXPECT_EQ(seen, "a=1 c=3 ");
    EXPECT_EQ(raised_code([&] { map::foreach_next(blk({i(1)}), m, 1); }), script_code(script_error::invalid_arg));
}

TEST_F(Map, ManyKeysGrowTheTable) {
    cell* m = make(TYPE_MAP, i(0));
    for (int32_t n = 0; n < 2000; n++) act<ACT_PUT>(m, i(n * 7), i(n), false);
    EXPECT_EQ(length(m), 2000);
    for (int32_t n = 0; n < 2000; n++) ASSERT_EQ(int_of(select(m, i(n * 7))), n) << n;
    act<ACT_CLEAR>(m);
    EXPECT_EQ(length(m), 0);
    EXPECT_EQ(TYPE_OF(select(m, i(7))), TYPE_NONE);
    EXPECT_EQ(mold(m), "#[]");
}

// Text keys of every length class and width, with case variants: counting under /case
// keeps each spelling apart, a lookup ignoring case finds the first spelling put, and the
// entries walk in the order they were put, through the table's growth.
TEST_F(Map, TextKeysCountedByCaseKeepTheirOrder) {
    const char* words[] = {"a", "A", "ab", "Ab", "abc", "aBC", "abcd", "ABCD", "abcde", "Abcde",
                           "\xC3\xA9t\xC3\xA9", "\xC3\x89T\xC3\x89", "\xC3\xBF", "\xC5\xB8",
                           "\xCE\xA9mega", "\xCF\x89MEGA", "z\xE2\x82\xAC", "Z\xE2\x82\xAC", "", "abcdefgh1"};
    cell* m = make(TYPE_MAP, i(0));
    std::string expected = "#[";
    for (int32_t round = 1; round <= 3; round++) {
        for (const char* text : words) {
            cell* key = s(text);
            cell* count = select(m, key, true);
            act<ACT_PUT>(m, key, i(TYPE_OF(count) == TYPE_NONE ? 1 : int_of(count) + 1), true);
        }
        for (int32_t n = 0; n < 300; n++) act<ACT_PUT>(m, s("k" + std::to_string(round * 1000 + n)), i(n), true);
    }
    EXPECT_EQ(length(m), 20 + 900);
    for (const char* text : words) ASSERT_EQ(int_of(select(m, s(text), true)), 3) << text;
    // Ignoring case, the first of each pair answers; ÿ and Ÿ fold alike.
    struct { const char* key; const char* first; } folded[] = {
        {"AB", "ab"}, {"ABCDE", "abcde"}, {"\xC3\x89t\xC3\xA9", "\xC3\xA9t\xC3\xA9"}, {"\xC5\xB8", "\xC3\xBF"},
        {"\xCE\xA9MeGa", "\xCE\xA9mega"}, {"Z\xE2\x82\xAC", "z\xE2\x82\xAC"}, {"ABCDEFGH1", "abcdefgh1"}};
    for (auto c : folded) EXPECT_EQ(mold(find(m, s(c.key))), mold(s(c.first))) << c.first;
    EXPECT_EQ(TYPE_OF(select(m, s("abcdefgh"), true)), TYPE_NONE);
    cell* keys = reflect(m, "words");
    for (int32_t n = 0; n < 20; n++)
        EXPECT_TRUE(actions::compare(block::ks_abs_at(keys, n), s(words[n]), COMP_STRICT_EQUAL)) << words[n];
    EXPECT_TRUE(actions::compare(block::ks_abs_at(keys, 20), s("k1000"), COMP_STRICT_EQUAL));
    EXPECT_EQ(int_of(select(m, s("k1299"))), 299);
    EXPECT_EQ(int_of(select(m, s("K3000"))), 0);
}

TEST_F(Map, RandomIsNotAMapAction) {
    cell* m = ab();
    EXPECT_EQ(raised_code([&] { get_action_ptr_by_type<ACT_RANDOM>(TYPE_OF(m)); }),
              script_code(script_error::expect_arg));
}

}  // namespace
}  // namespace kel::testing
