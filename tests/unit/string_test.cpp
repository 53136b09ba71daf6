#include <vector>

#include "tests/unit/text_fixture.h"

namespace kel::testing {
namespace {

using StringBuffers = TextTest;
using StringMold = TextTest;
using StringActions = TextTest;

enum class writer { append, insert, overwrite };

TEST_F(StringBuffers, WritersWidenAtTheirThresholds) {
    struct row {
        const char* start;
        writer how;
        size_t index;
        uint32_t cp;
        uint32_t unit;
        const char* text;
    } rows[] = {
        {"abc", writer::append, 0, 0x7F, 1, "abc\x7F"},
        {"abc", writer::append, 0, 0xE9, 2, "abcé"},
        {"abc", writer::append, 0, 0x1F600, 4, "abc😀"},
        {"abc", writer::insert, 1, 0xE9, 1, "aébc"},
        {"abc", writer::insert, 0, 0x20AC, 2, "€abc"},
        {"abc", writer::overwrite, 1, 0xE9, 1, "aéc"},
        {"abc", writer::overwrite, 3, 'd', 1, "abcd"},
        {"a€", writer::overwrite, 0, 0x10000, 4, "\U00010000€"},
        {"a€", writer::append, 0, 0xE9, 2, "a€é"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        cell* s = str(r.start);
        series_buffer* b = string::buffer_of(s);
        if (r.how == writer::append) b = string::append_char(b, r.cp);
        if (r.how == writer::insert) b = string::insert_char(b, r.index, r.cp);
        if (r.how == writer::overwrite) b = string::overwrite_char(b, r.index, r.cp);
        EXPECT_EQ(b, string::buffer_of(s));
        EXPECT_EQ(unit_of(s), r.unit);
        EXPECT_EQ(utf8(s), r.text);
    }
}

TEST_F(StringBuffers, ManyAppendsGrowTheBuffer) {
    cell* s = str("");
    std::string expected;
    for (uint32_t i = 0; i < 3000; i++) {
        uint32_t cp = i == 2000 ? 0x1F600 : 'a' + i % 26;
        string::append_char(string::buffer_of(s), cp);
        uint8_t bytes[4];
        expected.append(reinterpret_cast<char*>(bytes), utf8_encode_char(cp, bytes));
    }
    EXPECT_EQ(unit_of(s), 4u);
    EXPECT_EQ(utf8(s), expected);
}

TEST_F(StringBuffers, ConcatenateWidensTheNarrowSide) {
    cell* target = str("x€");
    cell* source = str("abc");
    string::concat_value(target, source);
    EXPECT_EQ(utf8(target), "x€abc");
    EXPECT_EQ(unit_of(source), 2u);  // widened in place, same characters
    EXPECT_EQ(utf8(source), "abc");

    cell* kept = str("déf");
    string::concatenate(target, kept, 2, 1, true, string::CONCAT_INSERT);
    EXPECT_EQ(utf8(target), "xdé€abc");
    EXPECT_EQ(unit_of(kept), 1u);

    cell* wide = str("😀");
    string::concat_change(kept, wide, -1, 1);
    EXPECT_EQ(utf8(kept), "d😀f");
    EXPECT_EQ(unit_of(kept), 4u);
}

TEST_F(StringBuffers, ConcatenateWithItself) {
    cell* s = str("abc");
    cell* at_b = stack::push(s);
    at_b->w1 = 1;
    string::concatenate(s, at_b, -1, 0, false, string::CONCAT_INSERT);
    EXPECT_EQ(utf8(s), "bcabc");
    string::concat_value(s, s);
    EXPECT_EQ(utf8(s), "bcabcbcabc");
}

TEST_F(StringBuffers, HeadPastTheTailIsRepaired) {
    cell* s = str("abcdef");
    cell* far = stack::push(s);
    far->w1 = 5;
    string::remove_chars(s, 2, 3);
    EXPECT_EQ(utf8(s), "abf");
    EXPECT_EQ(string::ks_length(far), 0u);
    EXPECT_EQ(string::ks_head(far), string::ks_tail(far));
    EXPECT_EQ(series_head(far), 3u);
}

TEST_F(StringBuffers, Lookups) {
    cell* s = str("aBc");
    EXPECT_EQ(string::find_char(s, 'c'), 2);
    EXPECT_EQ(string::find_char(s, 'b'), -1);
    EXPECT_TRUE(string::has_char_q(s, 'b', 1, false));
    EXPECT_FALSE(string::has_char_q(s, 'b', 1, true));
    EXPECT_FALSE(string::has_char_q(s, 'B', 2, true));
    EXPECT_TRUE(string::starts_with_cstr_q(s, "aB"));
    EXPECT_FALSE(string::starts_with_cstr_q(s, "aBcd"));
    EXPECT_TRUE(string::tag_delimited_q(str("<b>x"), str("b", TYPE_TAG)));
}

TEST_F(StringBuffers, HexHelpers) {
    EXPECT_STREQ(int_to_hex(30, true), "1E");
    EXPECT_STREQ(int_to_hex(0, true), "00");
    EXPECT_STREQ(int_to_hex(0, false), "00000000");
    EXPECT_STREQ(int_to_hex(-1, false), "FFFFFFFF");
    EXPECT_STREQ(int_to_hex(0x20AC, true), "20AC");
    EXPECT_STREQ(byte_to_hex(0x0A), "0A");
}

TEST_F(StringBuffers, MoveCharsWidensTheTarget) {
    cell* from = str("é€x");
    cell* to = str("ab");
    to->w1 = 1;
    string::move_chars(from, to, 2);
    EXPECT_EQ(utf8(from), "x");
    to->w1 = 0;
    EXPECT_EQ(utf8(to), "aé€b");
}

TEST_F(StringBuffers, LoadStringRefusesAnUnknownEncoding) {
    const uint8_t bytes[] = {'a', 'b'};
    EXPECT_EQ(raised_code([&] { load_string(bytes, 2, nullptr, 7); }), code_of(access_error::no_codec));
    const uint8_t utf16[] = {'h', 0, 0xAC, 0x20};
    EXPECT_EQ(utf8(load_string(utf16, 4, nullptr, -1)), "h€");
    const uint8_t bad[] = {'a', 0xFF};
    EXPECT_EQ(raised_code([&] { load_string(bad, 2, nullptr, 0); }), code_of(access_error::invalid_utf8));
}

TEST_F(StringBuffers, AnotherUnitIsAnAssertionFault) {
    uint8_t bytes[4] = {};
    EXPECT_EXIT(string::get_char(bytes, 3), ::testing::ExitedWithCode(RUNTIME_ASSERTION), "");
}

TEST_F(StringMold, DelimitersAndEscapes) {
    struct row {
        std::string text;
        bool all;
        std::string mold;
    } rows[] = {
        {"abc", false, "\"abc\""},
        {"a\nb\nc", false, "\"a^/b^/c\""},
        {"a\nb\nc\nd", false, "{a^/b^/c^/d}"},
        {std::string(49, 'a'), false, "\"" + std::string(49, 'a') + "\""},
        {std::string(50, 'a'), false, "{" + std::string(50, 'a') + "}"},
        {"say \"hi\"", false, "{say \"hi\"}"},
        {"\"{a}", false, "{\"{a}}"},
        {"\"{a", false, "{\"^{a}"},
        {"\"}a{", false, "{\"^}a^{}"},
        {"\"{a}{b{c}", false, "{\"{a}^{b^{c^}}"},
        {"{a", false, "\"{a\""},
        {"}", false, "\"}\""},
        {std::string("\t\x1E\x7F^\x00\x1B\r", 7), false, "\"^-^(1E)^~^^^@^[^M\""},
        {"\x22", false, "{\"}"},
        {"é€", false, "\"é€\""},
        {"é€", true, "\"^(E9)^(20AC)\""},
        {"\xC2\x85", false, "\"^(85)\""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(molded(str(r.text), r.all), r.mold);
    }
}

TEST_F(StringMold, PartLimitsTheCharactersVisited) {
    cell* s = str("abcdef");
    cell* buffer = new_buffer();
    cell* part = num(3);
    EXPECT_EQ(string::mold(s, buffer, false, false, false, part, 3, 0), -2);
    EXPECT_EQ(utf8(buffer), "\"abc\"");
    cell* formed_into = new_buffer();
    EXPECT_EQ(string::form(s, formed_into, part, 4), 0);
    EXPECT_EQ(utf8(formed_into), "abcd");
}

TEST_F(StringActions, Trim) {
    struct row {
        const char* text;
        const char* mode;
        const char* result;
    } rows[] = {
        {"  a  \n  b  \n\n ", "", "a\nb\n"},
        {"  a b  ", "", "a b"},
        {" \ta\t ", "head", "a\t "},
        {" \ta\t ", "tail", " \ta"},
        {" \ta\t ", "head tail", "a"},
        {" a \n\t b  c\u3000", "lines", "a b c"},
        {" a b\tc\n", "all", "abc"},
        {"\u00A0a\u2003", "", "a"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        std::string mode = r.mode;
        cell* s = str(r.text);
        string::trim(s, mode.find("head") != std::string::npos, mode.find("tail") != std::string::npos,
                     false, mode == "lines", mode == "all", nullptr);
        EXPECT_EQ(utf8(s), r.result);
    }
}

TEST_F(StringActions, TrimWith) {
    struct row {
        cell* with;
        const char* result;
    } rows[] = {
        {str("xy"), "abc"},
        {chr('x'), "abycy"},
        {num('y'), "axbc"},
        {str(""), "axbycy"},
    };
    for (const row& r : rows) {
        cell* s = str("axbycy");
        string::trim(s, false, false, false, false, false, r.with);
        EXPECT_EQ(utf8(s), r.result);
    }
    cell* s = str("a");
    EXPECT_EQ(raised_code([&] { string::trim(s, false, false, true, false, false, nullptr); }),
              code_of(internal_error::not_done));
}

TEST_F(StringActions, AppendAndInsert) {
    cell* block = stack::push_cell();
    set_series_value(block, TYPE_BLOCK, alloc_cells(4), 0);
    *alloc_tail(block) = integer_cell(1);
    *alloc_tail(block) = *str("xé");
    *alloc_tail(block) = cell{TYPE_CHAR, 0, 'y', 0};
    struct row {
        const char* start;
        uint32_t head;
        cell* value;
        int32_t part;
        bool only;
        int32_t dup;
        bool at_tail;
        const char* text;
        uint32_t result_head;
    } rows[] = {
        {"ab", 1, str("cd"), -1, false, 1, true, "abcd", 0},
        {"ab", 0, str("cdef"), 2, false, 1, true, "abcd", 0},
        {"ab", 0, str("x"), -1, false, 3, true, "abxxx", 0},
        {"ab", 0, chr(0xE9), -1, false, 2, true, "abéé", 0},
        {"ab", 0, chr('c'), 0, false, 1, true, "ab", 0},
        {"a", 0, str("b", TYPE_TAG), -1, false, 1, true, "a<b>", 0},
        {"a", 0, str("bc", TYPE_TAG), 3, false, 1, true, "a<bc", 0},
        {"", 0, block, -1, false, 1, true, "1xéy", 0},
        {"", 0, block, 2, false, 1, true, "1xé", 0},
        {"", 0, block, 2, true, 1, true, "1x", 0},
        {"", 0, num(-42), -1, false, 1, true, "-42", 0},
        {"", 0, num(-42), 2, true, 1, true, "-4", 0},
        {"cd", 0, str("ab"), -1, false, 1, false, "abcd", 2},
        {"ad", 1, str("bc"), -1, false, 2, false, "abcbcd", 5},
        {"ad", 1, chr(0x1F600), -1, false, 1, false, "a😀d", 2},
        {"ab", 2, str("cd"), -1, false, 1, false, "abcd", 4},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        cell* s = str(r.start);
        s->w1 = r.head;
        const cell* result = string::insert(s, r.value, r.part, r.only, r.dup, r.at_tail);
        EXPECT_EQ(series_head(result), r.result_head);
        cell whole = *result;
        whole.w1 = 0;
        EXPECT_EQ(utf8(&whole), r.text);
    }
}

TEST_F(StringActions, Change) {
    struct row {
        const char* start;
        uint32_t head;
        cell* value;
        int32_t part;
        int32_t dup;
        const char* text;
        uint32_t result_head;
    } rows[] = {
        {"abcdef", 1, str("XY"), -1, 1, "aXYdef", 3},
        {"abcdef", 1, str("X"), 3, 1, "aXef", 2},
        {"abcdef", 1, str("XYZW"), 1, 1, "aXYZWcdef", 5},
        {"abc", 0, str("x"), -1, 2, "xxc", 2},
        {"abc", 2, str("xyz"), -1, 1, "abxyz", 5},
        {"abc", 3, str("d"), -1, 1, "abcd", 4},
        {"abc", 1, chr(0x20AC), -1, 1, "a€c", 2},
        {"abc", 0, num(7), -1, 1, "7bc", 1},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        cell* s = str(r.start);
        s->w1 = r.head;
        const cell* result = string::change(s, r.value, r.part, false, r.dup);
        EXPECT_EQ(series_head(result), r.result_head);
        cell whole = *result;
        whole.w1 = 0;
        EXPECT_EQ(utf8(&whole), r.text);
    }
}

TEST_F(StringActions, SwapAndTake) {
    cell* a = str("abc");
    cell* b = str("€x");
    string::swap(a, b);
    EXPECT_EQ(utf8(a), "€bc");
    EXPECT_EQ(utf8(b), "ax");
    EXPECT_EQ(raised_code([&] { string::swap(a, num(1)); }), code_of(script_error::invalid_arg));

    cell* s = str("abc");
    const cell* taken = string::take(s, nullptr, false, false);
    EXPECT_EQ(TYPE_OF(taken), TYPE_CHAR);
    EXPECT_EQ(taken->w2, uint32_t{'a'});
    EXPECT_EQ(utf8(s), "bc");
    cell* part = num(2);
    taken = string::take(s, part, false, true);
    EXPECT_EQ(utf8(taken), "bc");
    EXPECT_EQ(TYPE_OF(string::take(s, nullptr, false, false)), TYPE_NONE);
}

TEST_F(StringActions, MakeAndTo) {
    cell* proto = stack::push_cell();
    string::make(proto, num(10), TYPE_STRING);
    EXPECT_EQ(string::ks_length(proto), 0u);
    EXPECT_EQ(raised_code([&] { string::make(proto, num(-1), TYPE_STRING); }),
              code_of(script_error::out_of_range));
    EXPECT_EQ(raised_code([&] { string::to(proto, none(), TYPE_STRING); }),
              code_of(script_error::bad_to_arg));
    string::to(proto, num(-12), TYPE_STRING);
    EXPECT_EQ(utf8(proto), "-12");

    cell* source = str("xé");
    source->w1 = 1;
    string::to(proto, source, TYPE_FILE);
    EXPECT_EQ(TYPE_OF(proto), TYPE_FILE);
    EXPECT_EQ(utf8(proto), "é");
    EXPECT_NE(series_node(proto), series_node(source));

    cell* binary = stack::push_cell();
    set_series_value(binary, TYPE_BINARY, alloc_bytes(4), 0);
    std::memcpy(alloc_tail_bytes(string::buffer_of(binary), 3), "\xE2\x82\xAC", 3);
    string::to(proto, binary, TYPE_STRING);
    EXPECT_EQ(utf8(proto), "€");
    string::buffer_of(binary)->offset[1] = 'x';
    EXPECT_EQ(raised_code([&] { string::to(proto, binary, TYPE_STRING); }),
              code_of(access_error::invalid_utf8));
}

}  // namespace
}  // namespace kel::testing
