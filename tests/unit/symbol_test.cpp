#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "words_fixture.h"

using namespace kel;
using namespace kel::testing;

namespace {

class Symbols : public WordsTest {
protected:
    static uint32_t table_length() {
        return static_cast<uint32_t>(node_buffer(symbol_table)->used_bytes() / sizeof(cell));
    }
};

TEST_F(Symbols, InterningFindsExactSpellingsAndMakesCaseVariants) {
    uint32_t foo = sym("foo");
    struct Case {
        const char* name;
        bool new_id;       // a new symbol id
        const char* base;  // the canonical spelling it resolves to
    };
    const Case cases[] = {
        {"foo", false, "foo"},
        {"Foo", true, "foo"},
        {"FOO", true, "foo"},
        {"Foo", false, "foo"},
        {"fo", true, "fo"},
        {"\xC3\xA9t\xC3\xA9", true, "\xC3\xA9t\xC3\xA9"},   // été
        {"\xC3\x89t\xC3\x89", true, "\xC3\x89t\xC3\x89"},   // ÉtÉ: non-ASCII case is not folded
    };
    for (const Case& c : cases) {
        uint32_t before = table_length();
        uint32_t id = sym(c.name);
        EXPECT_EQ(table_length() != before, c.new_id) << c.name;
        EXPECT_EQ(name_of(id), c.name);
        EXPECT_EQ(name_of(symbol::resolve(id)), c.base) << c.name;
        EXPECT_EQ(symbol::resolve(id) == id, std::string(c.name) == c.base) << c.name;
    }
    EXPECT_EQ(sym("foo"), foo);
    EXPECT_EQ(symbol::alias_of(sym("Foo")), static_cast<int32_t>(foo));
    EXPECT_EQ(symbol::alias_of(foo), -1);
}

TEST_F(Symbols, TheFirstSpellingInternedIsCanonical) {
    uint32_t upper = sym("QUUX");
    EXPECT_EQ(symbol::resolve(sym("quux")), upper);
    EXPECT_EQ(symbol::resolve(sym("Quux")), upper);
}

TEST_F(Symbols, FindIgnoresCaseAndMakesNoVariant) {
    uint32_t foo = sym("foo");
    uint32_t before = table_length();
    EXPECT_EQ(symbol::find_cstr("FOO"), foo);
    EXPECT_EQ(table_length(), before);
    uint32_t fresh = symbol::find_cstr("Brand-New");
    EXPECT_EQ(table_length(), before + 1);
    EXPECT_EQ(symbol::alias_of(fresh), -1);
}

TEST_F(Symbols, EmptyNameHoldsOnlyItsNul) {
    uint32_t id = sym("");
    size_t length = 99;
    symbol::name_bytes(id, &length);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(symbol::name_c_string(id)[0], '\0');
    EXPECT_EQ(sym(""), id);
}

TEST_F(Symbols, NameStringIsMadeOnceAndKept) {
    uint32_t id = sym("na\xC3\xAFve");  // naïve
    EXPECT_EQ(symbol::record(id)->w2, 0u);
    node_id text = symbol::get(id)->w2;
    ASSERT_NE(text, 0u);
    EXPECT_EQ(node_buffer(text)->used_bytes() / node_buffer(text)->unit(), 5u);
    collector_collect();
    EXPECT_EQ(symbol::get(id)->w2, symbol::record(id)->w2);
}

TEST_F(Symbols, NamesCompareAsText) {
    struct Case {
        const char* a;
        const char* b;
        int32_t op;
        int32_t expected;
    };
    const Case cases[] = {
        {"abc", "ABC", COMP_EQUAL, 0},     {"abc", "ABC", COMP_STRICT_EQUAL, 1},
        {"abc", "abd", COMP_LESSER, -1},   {"b", "ABC", COMP_SORT, 1},
        {"B", "a", COMP_CASE_SORT, -1},    {"ab", "abc", COMP_SORT, -1},
        {"ab", "abc", COMP_EQUAL, 1},      {"abc", "ab", COMP_GREATER, 1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(symbol::compare_names(sym(c.a), sym(c.b), c.op), c.expected) << c.a << " " << c.b << " " << c.op;
    // The action compares records.
    EXPECT_EQ(compare_dispatch(symbol::record(sym("x")), symbol::record(sym("X")), COMP_EQUAL), 0);
    cell other = integer_cell(1);
    EXPECT_EQ(compare_dispatch(symbol::record(sym("x")), &other, COMP_EQUAL), INCOMPARABLE);
}

TEST_F(Symbols, TheTableGrowsAndSurvivesCollections) {
    std::vector<uint32_t> ids;
    for (int i = 0; i < 4100; i++) ids.push_back(sym(("name-" + std::to_string(i)).c_str()));
    collector_collect();
    for (int i = 0; i < 4100; i++) {
        std::string name = "name-" + std::to_string(i);
        ASSERT_EQ(sym(name.c_str()), ids[i]);
        ASSERT_EQ(name_of(ids[i]), name);
    }
}

TEST_F(Symbols, RuntimeNamesAreInternedOnce) {
    for (const char* name : {"spec", "self", "events?", "no-trace", "code", "Windows"})
        EXPECT_EQ(symbol::find_cstr(name), sym(name)) << name;
    EXPECT_EQ(runtime_symbols[SYM_SELF], sym("self"));
    EXPECT_EQ(runtime_symbols[SYM_NO_TRACE], sym("no-trace"));
    EXPECT_EQ(runtime_words[W_ON_CHANGE].w2, sym("on-change*"));
    EXPECT_EQ(runtime_words[W_APPLIED].w2, sym("<applied>"));
    EXPECT_EQ(type_names[TYPE_WORD].word.w2, sym("word!"));
}

}  // namespace
