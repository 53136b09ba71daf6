#include <string>

#include "tests/unit/text_fixture.h"

namespace kel::testing {
namespace {

using TextCompare = TextTest;
using TextFind = TextTest;
using TextSort = TextTest;
using TextSets = TextTest;

TEST_F(TextCompare, Operations) {
    struct row {
        std::string a;
        std::string b;
        int32_t op;
        int32_t result;
    } rows[] = {
        {"abc", "ABC", COMP_EQUAL, 0},
        {"abc", "ABC", COMP_STRICT_EQUAL, 1},
        {"abc", "abd", COMP_LESSER, -1},
        {"abc", "ab", COMP_EQUAL, 1},
        {"ab", "abc", COMP_LESSER, -1},
        {"abc", "ab", COMP_GREATER, 1},
        {"abc", "", COMP_LESSER, 1},
        {"Ab", "aB", COMP_SORT, 0},
        {"B", "a", COMP_SORT, 1},
        {"B", "a", COMP_CASE_SORT, -1},
        {"é", "É", COMP_EQUAL, 0},
        {"😀", "€", COMP_GREATER, 1},
        {"x€", "x€", COMP_STRICT_EQUAL, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.a + " / " + r.b);
        EXPECT_EQ(string::compare(str(r.a), str(r.b), r.op), r.result);
    }
}

TEST_F(TextCompare, TypesAndIdentity) {
    cell* s = str("abc");
    cell* f = str("ABC", TYPE_FILE);
    EXPECT_EQ(string::compare(f, s, COMP_EQUAL), 0);
    EXPECT_EQ(string::compare(f, s, COMP_STRICT_EQUAL), INCOMPARABLE);
    EXPECT_EQ(string::compare(s, num(1), COMP_EQUAL), INCOMPARABLE);
    cell* copy = stack::push(s);
    EXPECT_EQ(string::compare(s, copy, COMP_SAME), 0);
    EXPECT_EQ(string::compare(s, str("abc"), COMP_SAME), -1);
}

TEST_F(TextCompare, MatchMode) {
    EXPECT_EQ(string::compare_text(str("abcdef"), str("ABC"), COMP_EQUAL, true), 0);
    EXPECT_EQ(string::compare_text(str("ab"), str("abc"), COMP_EQUAL, true), 1);
    EXPECT_EQ(string::compare_text(str("ab"), str(""), COMP_EQUAL, true), 0);
    EXPECT_EQ(string::compare_text(str("ab"), str(""), COMP_FIND, true), 1);
    EXPECT_TRUE(string::match_value(str("Abc"), str("ab"), COMP_EQUAL));
    EXPECT_FALSE(string::match_value(str("Abc"), str("ab"), COMP_STRICT_EQUAL));
    EXPECT_TRUE(string::match_value(str("Abc"), chr('a'), COMP_EQUAL));
    EXPECT_FALSE(string::match_value(str("Abc"), chr('a'), COMP_STRICT_EQUAL));
    EXPECT_TRUE(string::match_value(str("<b>x"), str("B", TYPE_TAG), COMP_EQUAL));
    EXPECT_FALSE(string::match_value(str("<bx"), str("b", TYPE_TAG), COMP_EQUAL));
    EXPECT_FALSE(string::match_value(str("1"), num(1), COMP_EQUAL));
}

// Refinements of find as flags; part and skip are arguments when not 0.
enum : unsigned { CASE = 1, LAST = 2, REVERSE = 4, TAIL = 8, MATCH = 16 };

TEST_F(TextFind, Refinements) {
    struct row {
        const char* text;
        uint32_t head;
        cell* value;
        unsigned flags;
        int32_t part;
        int32_t skip;
        int32_t index;  // result head, -1 for none
    } rows[] = {
        {"abc", 0, chr('B'), 0, 0, 0, 1},
        {"abc", 0, chr('B'), CASE, 0, 0, -1},
        {"abcabc", 0, str("bc"), 0, 0, 0, 1},
        {"abcabc", 0, str("bc"), LAST, 0, 0, 4},
        {"abcabc", 6, str("bc"), REVERSE, 0, 0, 4},
        {"abcabc", 4, str("bc"), REVERSE, 0, 0, 1},
        {"abcabc", 6, str("bc"), REVERSE | MATCH, 0, 0, -1},
        {"abcabc", 0, str("BC"), TAIL, 0, 0, 3},
        {"abcabc", 0, chr('c'), TAIL, 0, 0, 3},
        {"abcabc", 0, str("ab"), MATCH, 0, 0, 0},
        {"abcabc", 0, str("bc"), MATCH, 0, 0, -1},
        {"abcabc", 0, str("bc"), 0, 2, 0, -1},
        {"abcabc", 0, str("bc"), 0, 3, 0, 1},
        {"abcabc", 0, str("bc"), 0, -1, 0, -1},
        {"abcabc", 0, chr('c'), LAST, 4, 0, 2},
        {"a1b2c3", 0, chr('2'), 0, 0, 2, -1},
        {"a1b2c3", 0, chr('c'), 0, 0, 2, 4},
        {"a12b", 0, num(12), 0, 0, 0, 1},
        {"xÉé", 0, chr(0xE9), 0, 0, 0, 1},
        {"xÉé", 0, chr(0xE9), CASE, 0, 0, 2},
        {"x€😀", 0, str("😀"), 0, 0, 0, 2},
        {"abc", 3, chr('a'), 0, 0, 0, -1},
        {"", 0, chr('a'), REVERSE, 0, 0, -1},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(std::string(r.text) + " " + std::to_string(r.index));
        cell* s = str(r.text);
        s->w1 = r.head;
        cell* part = r.part ? num(r.part) : nullptr;
        cell* skip = r.skip ? num(r.skip) : nullptr;
        const cell* found = string::find(s, r.value, part, false, r.flags & CASE, false, false, nullptr,
                                         skip, r.flags & LAST, r.flags & REVERSE, r.flags & TAIL,
                                         r.flags & MATCH);
        if (r.index < 0) {
            EXPECT_EQ(TYPE_OF(found), TYPE_NONE);
        } else {
            ASSERT_EQ(TYPE_OF(found), TYPE_STRING);
            EXPECT_EQ(series_head(found), static_cast<uint32_t>(r.index));
        }
    }
}

TEST_F(TextFind, PartAsPositionAndErrors) {
    cell* s = str("abcabc");
    cell* end = stack::push(s);
    end->w1 = 3;
    EXPECT_EQ(TYPE_OF(string::find(s, chr('a'), end, false, false, false, false, nullptr, nullptr, true,
                                   false, false, false)),
              TYPE_STRING);
    EXPECT_EQ(raised_code([&] {
                  string::find(s, chr('a'), str("abc"), false, false, false, false, nullptr, nullptr,
                               false, false, false, false);
              }),
              code_of(script_error::invalid_refine_arg));
    EXPECT_EQ(raised_code([&] {
                  string::find(s, chr('a'), nullptr, false, false, false, false, nullptr, num(0), false,
                               false, false, false);
              }),
              code_of(script_error::out_of_range));
    EXPECT_EQ(raised_code([&] {
                  string::find(s, chr('a'), nullptr, false, false, false, true, nullptr, nullptr, false,
                               false, false, false);
              }),
              code_of(internal_error::not_done));
    cell* binary = stack::push_cell();
    set_series_value(binary, TYPE_BINARY, alloc_bytes(4), 0);
    EXPECT_EQ(raised_code([&] {
                  string::find(s, binary, nullptr, false, false, false, false, nullptr, nullptr, false,
                               false, false, false);
              }),
              code_of(script_error::invalid_arg));
}

TEST_F(TextFind, Select) {
    struct row {
        const char* text;
        cell* key;
        bool last;
        int32_t result;  // -1: none
    } rows[] = {
        {"abcd", str("bc"), false, 'd'},
        {"abcd", chr('B'), false, 'c'},
        {"abcd", str("cd"), false, -1},
        {"abab", chr('a'), true, 'b'},
        {"a€b", chr(0x20AC), false, 'b'},
        {"abc", chr('x'), false, -1},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        const cell* v = string::select(str(r.text), r.key, nullptr, false, false, false, false, nullptr,
                                       nullptr, r.last, false);
        if (r.result < 0) {
            EXPECT_EQ(TYPE_OF(v), TYPE_NONE);
        } else {
            EXPECT_EQ(TYPE_OF(v), TYPE_CHAR);
            EXPECT_EQ(v->w2, static_cast<uint32_t>(r.result));
        }
    }
}

TEST_F(TextSort, Orders) {
    struct row {
        const char* text;
        bool case_q;
        int32_t skip;
        int32_t compare;  // offset within a record, 0 for none
        bool all;
        bool reverse;
        bool stable;
        const char* result;
    } rows[] = {
        {"cBa", false, 0, 0, false, false, false, "aBc"},
        {"cBa", true, 0, 0, false, false, false, "Bac"},
        {"cBa", false, 0, 0, false, true, false, "cBa"},
        {"cBa", false, 0, 0, false, false, true, "aBc"},
        {"éÉa€", false, 0, 0, false, false, true, "aéÉ€"},
        {"b2a1A0", false, 2, 0, false, false, true, "a1A0b2"},
        {"b2a1A0", true, 2, 0, false, false, true, "A0a1b2"},
        {"b2a1a0", false, 2, 0, true, false, false, "a0a1b2"},
        {"b2a1c0", false, 2, 2, false, false, false, "c0a1b2"},
        {"😀b€a", false, 0, 0, false, false, false, "ab€😀"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        cell* s = str(r.text);
        cell* skip = r.skip ? num(r.skip) : nullptr;
        cell* compare = r.compare ? num(r.compare) : nullptr;
        string::sort(s, r.case_q, skip, compare, nullptr, r.all, r.reverse, r.stable);
        EXPECT_EQ(utf8(s), r.result);
    }
}

TEST_F(TextSort, PartAndErrors) {
    cell* s = str("dcba");
    s->w1 = 2;
    string::sort(s, false, nullptr, nullptr, num(-2), false, false, false);
    EXPECT_EQ(series_head(s), 0u);
    EXPECT_EQ(utf8(s), "cdba");
    auto sort_with = [&](cell* skip, cell* compare, bool all) {
        return raised_code([&] { string::sort(str("abcd"), false, skip, compare, nullptr, all, false, false); });
    };
    EXPECT_EQ(sort_with(num(3), nullptr, false), code_of(script_error::invalid_refine_arg));
    EXPECT_EQ(sort_with(num(0), nullptr, false), code_of(script_error::invalid_refine_arg));
    EXPECT_EQ(sort_with(nullptr, nullptr, true), code_of(script_error::bad_refines));
    EXPECT_EQ(sort_with(nullptr, num(1), false), code_of(script_error::bad_refines));
    EXPECT_EQ(sort_with(num(2), num(3), false), code_of(script_error::out_of_range));
}

TEST_F(TextSets, Operations) {
    using series::SET_UNIQUE, series::SET_UNION, series::SET_INTERSECT, series::SET_EXCLUDE,
        series::SET_DIFFERENCE;
    struct row {
        int32_t op;
        const char* first;
        const char* second;
        int32_t skip;
        bool case_q;
        const char* result;
    } rows[] = {
        {SET_UNIQUE, "abcab", "", 0, false, "abc"},
        {SET_UNIQUE, "aAbB", "", 0, false, "ab"},
        {SET_UNIQUE, "aAbB", "", 0, true, "aAbB"},
        {SET_UNIQUE, "a1a2b3", "", 2, false, "a1b3"},
        {SET_UNION, "ab", "bc", 0, false, "abc"},
        {SET_UNION, "a1b2", "A3c4", 2, false, "a1b2c4"},
        {SET_UNION, "é", "€xé", 0, false, "é€x"},
        {SET_INTERSECT, "abcb", "cBx", 0, false, "bc"},
        {SET_INTERSECT, "abc", "cBx", 0, true, "c"},
        {SET_EXCLUDE, "abc", "B", 0, false, "ac"},
        {SET_EXCLUDE, "abc", "B", 0, true, "abc"},
        {SET_EXCLUDE, "a1b2c", "b", 2, false, "a1c"},  // a short last record is kept whole
        {SET_DIFFERENCE, "ab", "bc", 0, false, "ac"},
        {SET_DIFFERENCE, "a1b2", "b3c4", 2, false, "a1c4"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(std::string(r.first) + " " + std::to_string(r.op) + " " + r.second);
        cell* first = str(r.first, TYPE_FILE);
        cell* second = str(r.second, TYPE_FILE);
        cell* base = stack::push(first);
        stack::push(second);
        cell* skip = r.skip ? num(r.skip) : nullptr;
        const cell* result = string::set_operation(base, r.case_q, skip, r.op);
        EXPECT_EQ(result, base);
        EXPECT_EQ(TYPE_OF(result), TYPE_STRING);
        EXPECT_EQ(series_head(result), 0u);
        EXPECT_EQ(utf8(result), r.result);
        EXPECT_NE(series_node(result), series_node(first));
        EXPECT_EQ(utf8(first), r.first);
    }
}

TEST_F(TextSets, HeadsAndRecordSize) {
    cell* first = str("xaba");
    first->w1 = 1;
    cell* base = stack::push(first);
    stack::push(str("b"));
    string::set_operation(base, false, nullptr, series::SET_EXCLUDE);
    EXPECT_EQ(utf8(base), "a");
    for (cell* skip : {num(0), num(-2), str("2")}) {
        cell* again = stack::push(first);
        stack::push(first);
        EXPECT_EQ(raised_code([&] { string::set_operation(again, false, skip, series::SET_UNION); }),
                  code_of(script_error::invalid_refine_arg));
    }
}

}  // namespace
}  // namespace kel::testing
