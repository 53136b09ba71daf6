// Loading values from text: every literal, round trips through mold, syntax errors.
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/char.h"
#include "datatypes/context.h"
#include "datatypes/date.h"
#include "datatypes/file.h"
#include "datatypes/float.h"
#include "datatypes/hash.h"
#include "datatypes/integer.h"
#include "datatypes/lexer.h"
#include "datatypes/map.h"
#include "datatypes/money.h"
#include "datatypes/pair.h"
#include "datatypes/paren.h"
#include "datatypes/path.h"
#include "datatypes/percent.h"
#include "datatypes/point.h"
#include "datatypes/series.h"
#include "datatypes/symbol.h"
#include "datatypes/tag.h"
#include "datatypes/time.h"
#include "datatypes/transcode.h"
#include "datatypes/tuple.h"
#include "datatypes/typeset.h"
#include "datatypes/url.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "runtime/case_folding.h"
#include "runtime/cycles.h"
#include "runtime/error_catalog.h"
#include "runtime/ownership.h"
#include "runtime/unicode.h"
#include "runtime_fixture.h"

namespace kel {
namespace {

using testing::raised_code;

class LexerLoadTest : public testing::RuntimeTest {
protected:
    void SetUp() override {
        RuntimeTest::SetUp();
        series::init();
        block::init();
        string::init();
        binary::init();
        integer::init();
        symbol::init();
        _context::init();
        word::init();
        char_::init();
        path::init();
        paren::init();
        issue::init();
        url::init();
        file::init();
        float_::init();
        typeset::init();
        map::init();
        hash::init();
        pair::init();
        percent::init();
        tuple::init();
        time::init();
        tag::init();
        email::init();
        date::init();
        money::init();
        ref::init();
        point2D::init();
        point3D::init();
        cycles_init();
        case_folding_init();
        ownership::init();
        symbol::table_init();
        _context::global_init();
        words_init();
        refinements_init();
        lexer_init();
    }
    void TearDown() override {
        collector_enabled = false;
        lexer_event_hook = nullptr;
        global_context = 0;
        ownership_table = 0;
        symbol_index = 0;
        symbol_table = 0;
        load_type_word = nullptr;
        _context::fire_on_set = nullptr;
        for (auto& record : type_names) record.word = cell{};
        RuntimeTest::TearDown();
    }

    // The text loaded as a block! on the stack.
    static cell* load(const std::string& text) {
        cell* out = stack::push_cell();
        load_text(out, reinterpret_cast<const uint8_t*>(text.data()), text.size());
        return out;
    }

    static std::string utf8_of(cell* text) {
        size_t size = 0;
        const char* bytes = to_utf8(text, -1, &size);
        return std::string(bytes, size);
    }

    static std::string mold(const cell* value) {
        cell* top = stack::top;
        cell* v = stack::push(value);
        cell* buffer = new_buffer();
        mold_dispatch(v, buffer, false, false, false, nullptr, INT32_MAX, 0);
        std::string text = utf8_of(buffer);
        stack::top = top;
        return text;
    }

    // The loaded values molded without the outer brackets.
    static std::string reload(const std::string& text) {
        cell* top = stack::top;
        cell* v = load(text);
        cell* buffer = new_buffer();
        mold_dispatch(v, buffer, true, false, false, nullptr, INT32_MAX, 0);
        std::string out = utf8_of(buffer);
        stack::top = top;
        return out;
    }

    static cell first(const std::string& text) { return *series_cell(series_node(load(text)), 0); }

    // The raised error's arguments: all are rooted on the stack before any is read, since
    // reading one allocates.
    static std::string arg_text(uint32_t n) {
        cell* top = stack::top;
        for (const cell& arg : last_raised_error().args) stack::push(&arg);
        std::string text = utf8_of(top + n);
        stack::top = top;
        return text;
    }
};

TEST_F(LexerLoadTest, LiteralsLoadAsTheirTypes) {
    struct row {
        std::string text;
        uint32_t type;
        std::string molded;
    };
    const row rows[] = {
        {"0", TYPE_INTEGER, "0"},
        {"-7", TYPE_INTEGER, "-7"},
        {"+7", TYPE_INTEGER, "7"},
        {"1'000", TYPE_INTEGER, "1000"},
        {"2147483647", TYPE_INTEGER, "2147483647"},
        {"-2147483648", TYPE_INTEGER, "-2147483648"},
        {"2147483648", TYPE_FLOAT, "2147483648.0"},
        {"12345678901", TYPE_FLOAT, "12345678901.0"},
        {"FFh", TYPE_INTEGER, "255"},
        {"0FFh", TYPE_INTEGER, "255"},
        {"7FFFFFFFh", TYPE_INTEGER, "2147483647"},
        {"1.5e3", TYPE_FLOAT, "1500.0"},
        {"1.", TYPE_FLOAT, "1.0"},
        {".5", TYPE_FLOAT, "0.5"},
        {"-0.25", TYPE_FLOAT, "-0.25"},
        {"1'000.5", TYPE_FLOAT, "1000.5"},
        {"1.#INF", TYPE_FLOAT, "1.#INF"},
        {"-1.#inf", TYPE_FLOAT, "-1.#INF"},
        {"1.#NaN", TYPE_FLOAT, "1.#NaN"},
        {"1e400", TYPE_FLOAT, "1.#INF"},
        {"-1e400", TYPE_FLOAT, "-1.#INF"},
        {"1e-400", TYPE_FLOAT, "0.0"},
        {"50%", TYPE_PERCENT, "50%"},
        {"12.5%", TYPE_PERCENT, "12.5%"},
        {"1.2.3", TYPE_TUPLE, "1.2.3"},
        {"255.255.255.0", TYPE_TUPLE, "255.255.255.0"},
        {"1x2", TYPE_PAIR, "1x2"},
        {"-1X-20", TYPE_PAIR, "-1x-20"},
        {"(1, 2)", TYPE_POINT2D, "(1, 2)"},
        {"(1.5,-2e1)", TYPE_POINT2D, "(1.5, -20)"},
        {"( 1 , 2 , 3 )", TYPE_POINT3D, "(1, 2, 3)"},
        {"(1.#INF, 0)", TYPE_POINT2D, "(1.#INF, 0)"},
        {"(1'000, 2)", TYPE_POINT2D, "(1000, 2)"},
        {"(1'0 , 2 , -3.5)", TYPE_POINT3D, "(10, 2, -3.5)"},
        {"[(1, 2) x]", TYPE_BLOCK, "[(1, 2) x]"},
        {"(a (1, 2))", TYPE_PAREN, "(a (1, 2))"},
        {"10:20", TYPE_TIME, "10:20:00"},
        {"10:20:30", TYPE_TIME, "10:20:30"},
        {"-1:30", TYPE_TIME, "-1:30:00"},
        {"1:02:03.5", TYPE_TIME, "1:02:03.5"},
        {"1-Jan-2000", TYPE_DATE, "1-Jan-2000"},
        {"2000-01-01", TYPE_DATE, "1-Jan-2000"},
        {"1/Jan/2000", TYPE_DATE, "1-Jan-2000"},
        {"15-March-99", TYPE_DATE, "15-Mar-1999"},
        {"1-2-2020", TYPE_DATE, "1-Feb-2020"},
        {"29-Feb-2000", TYPE_DATE, "29-Feb-2000"},
        {"2020-W01-1", TYPE_DATE, "30-Dec-2019"},
        {"2020-032", TYPE_DATE, "1-Feb-2020"},
        {"1-Jan-2000/10:20", TYPE_DATE, "1-Jan-2000/10:20:00"},
        {"1-Jan-2000/10:20:30+2:00", TYPE_DATE, "1-Jan-2000/10:20:30+02:00"},
        {"2000-01-01T10:20Z", TYPE_DATE, "1-Jan-2000/10:20:00"},
        {"20000101T102030", TYPE_DATE, "1-Jan-2000/10:20:30"},
        {"$1.20", TYPE_MONEY, "$1.20"},
        {"-$1", TYPE_MONEY, "-$1.00"},
        {"USD$1'000.5", TYPE_MONEY, "USD$1000.50"},
        {"#\"x\"", TYPE_CHAR, "#\"x\""},
        {"#\"^-\"", TYPE_CHAR, "#\"^-\""},
        {"#\"^(tab)\"", TYPE_CHAR, "#\"^-\""},
        {"#\"^(09)\"", TYPE_CHAR, "#\"^-\""},
        {"#\"^(esc)\"", TYPE_CHAR, "#\"^[\""},
        {"#\"^a\"", TYPE_CHAR, "#\"^A\""},
        {"#\"^(3b1)\"", TYPE_CHAR, "#\"\xCE\xB1\""},
        {"#\"\xE2\x82\xAC\"", TYPE_CHAR, "#\"\xE2\x82\xAC\""},
        {"\"abc\"", TYPE_STRING, "\"abc\""},
        {"\"a^/b^\"c^^\"", TYPE_STRING, "{a^/b\"c^^}"},
        {"\"\xC3\xA9t\xC3\xA9\"", TYPE_STRING, "\"\xC3\xA9t\xC3\xA9\""},
        {"\"^(1F600)\"", TYPE_STRING, "\"\xF0\x9F\x98\x80\""},
        {"{a{b}c}", TYPE_STRING, "\"a{b}c\""},
        {"{say \"hi\"}", TYPE_STRING, "{say \"hi\"}"},
        {"%{a}b}%", TYPE_STRING, "\"a}b\""},
        {"%%{x}% y}%%", TYPE_STRING, "\"x}% y\""},
        {"%{no ^/ escape}%", TYPE_STRING, "\"no ^^/ escape\""},
        {"abc", TYPE_WORD, "abc"},
        {"a:", TYPE_SET_WORD, "a:"},
        {":a", TYPE_GET_WORD, ":a"},
        {"'a", TYPE_LIT_WORD, "'a"},
        {"/ref", TYPE_REFINEMENT, "/ref"},
        {"/", TYPE_WORD, "/"},
        {"+", TYPE_WORD, "+"},
        {"<=", TYPE_WORD, "<="},
        {"#iss-ue", TYPE_ISSUE, "#iss-ue"},
        {"caf\xC3\xA9", TYPE_WORD, "caf\xC3\xA9"},
        {"a/b/c", TYPE_PATH, "a/b/c"},
        {"a/b:", TYPE_SET_PATH, "a/b:"},
        {":a/b", TYPE_GET_PATH, ":a/b"},
        {"'a/b", TYPE_LIT_PATH, "'a/b"},
        {"a/1/(b)", TYPE_PATH, "a/1/(b)"},
        {"#{00FF}", TYPE_BINARY, "#{00FF}"},
        {"#{0 0\n ff ; note\n 1A}", TYPE_BINARY, "#{00FF1A}"},
        {"16#{}", TYPE_BINARY, "#{}"},
        {"2#{00001111 11110000}", TYPE_BINARY, "#{0FF0}"},
        {"64#{AAEC}", TYPE_BINARY, "#{000102}"},
        {"64#{AQ==}", TYPE_BINARY, "#{01}"},
        {"%name.txt", TYPE_FILE, "%name.txt"},
        {"%/dir/sub/", TYPE_FILE, "%/dir/sub/"},
        {"%\"with space\"", TYPE_FILE, "%\"with space\""},
        {"%a%20b", TYPE_FILE, "%\"a b\""},
        {"http://example.org/a?b=1", TYPE_URL, "http://example.org/a?b=1"},
        {"ftp://h/caf%C3%A9", TYPE_URL, "ftp://h/caf%C3%A9"},
        {"mailto:a@b", TYPE_URL, "mailto:a@b"},
        {"user@host.org", TYPE_EMAIL, "user@host.org"},
        {"@ref", TYPE_REF, "@ref"},
        {"<tag attr=\"1\">", TYPE_TAG, "<tag attr=\"1\">"},
        {"</b>", TYPE_TAG, "</b>"},
        {"#[a 1 \"b\" [2]]", TYPE_MAP, "#[\n    a: 1\n    \"b\" [2]\n]"},
        {"#[]", TYPE_MAP, "#[]"},
        {"#(none)", TYPE_NONE, "none"},
        {"#(true)", TYPE_LOGIC, "true"},
        {"#(integer!)", TYPE_DATATYPE, "integer!"},
        {"[a [b (c)] ()]", TYPE_BLOCK, "[a [b (c)] ()]"},
        {"(1 + 2)", TYPE_PAREN, "(1 + 2)"},
    };
    for (const row& r : rows) {
        cell* top = stack::top;
        uint32_t code = raised_code([&] {
            cell* b = load(r.text);
            ASSERT_EQ(block::ks_length_q(b), 1) << r.text;
            cell value = *series_cell(series_node(b), 0);
            EXPECT_EQ(TYPE_OF(&value), r.type) << r.text;
            EXPECT_EQ(mold(&value), r.molded) << r.text;
        });
        EXPECT_EQ(code, 0u) << r.text;
        stack::top = top;
    }
}

TEST_F(LexerLoadTest, MalformedTextsRaiseTheTypesSyntaxError) {
    struct row {
        std::string text;
        uint32_t type;  // 0: invalid character
        std::string excerpt;
    };
    const row rows[] = {
        {"1''0", TYPE_INTEGER, "1''0"},
        {"Fh", TYPE_INTEGER, "Fh"},
        {"100000000000000000000$", TYPE_INTEGER, "100000000000000000000$"},
        {"1.5e", TYPE_FLOAT, "1.5e"},
        {"1.#XYZ", TYPE_FLOAT, "1.#XYZ"},
        {"$1,50", TYPE_MONEY, "$1,50"},
        {"$1.123456", TYPE_MONEY, "$1.123456"},
        {"USDX$1", TYPE_MONEY, "USDX$1"},
        {"$", TYPE_MONEY, "$"},
        {"10:20,5", TYPE_TIME, "10:20,5"},
        {"10:-5", TYPE_TIME, "10:-5"},
        {"29-Feb-2001", TYPE_DATE, "29-Feb-2001"},
        {"1-13-2000", TYPE_DATE, "1-13-2000"},
        {"2020-W54", TYPE_DATE, "2020-W54"},
        {"#\"^(110000)\"", TYPE_CHAR, "#\"^(110000)\""},
        {"#\"\"", TYPE_CHAR, "#\"\""},
        {"#\"ab\"", TYPE_CHAR, "#\"ab\""},
        {"\"a^(zz)\"", TYPE_STRING, "\"a^(zz)\""},
        {"\"\xC3\"", TYPE_STRING, "\"\xC3\x83\""},  // a stray byte stands for itself
        {"{a", TYPE_STRING, "{a"},
        {"%%{x}%", TYPE_STRING, "%%{x}%"},
        {"1.2.300", TYPE_TUPLE, "1.2.300"},
        {"1.2.3.4.5.6.7.8.9.10.11.12.13", TYPE_TUPLE, "1.2.3.4.5.6.7.8.9.10.11.12.13"},
        {"1x2.5", TYPE_PAIR, "1x2.5"},
        {"1x99999999999", TYPE_PAIR, "1x99999999999"},
        {"(1, )", TYPE_POINT2D, "(1, )"},
        {"(1, 2, 3, 4)", TYPE_POINT3D, "(1, 2, 3, 4)"},
        {"(1, 2e)", TYPE_POINT2D, "(1, 2e)"},
        {"(a, b)", TYPE_POINT2D, "(a, b)"},
        {"(x , 2 , y)", TYPE_POINT3D, "(x , 2 , y)"},
        {"(a + 1, b)", TYPE_POINT2D, "(a + 1, b)"},
        {"'a:", TYPE_LIT_WORD, "'a:"},
        {"#", TYPE_ISSUE, "#"},
        {"'a/b:", TYPE_LIT_PATH, "'a/b:"},
        {"a/b/", TYPE_PATH, "a/b/"},
        {"%\"abc", TYPE_FILE, "%\"abc"},
        {"#[a 1 b]", TYPE_MAP, "#[a 1 b]"},
        {"#[[a] 1]", TYPE_MAP, "#[[a] 1]"},
        {"#{ABC}", TYPE_BINARY, "#{ABC}"},
        {"#{0G}", TYPE_BINARY, "G}"},
        {"3#{00}", TYPE_BINARY, "3#{00}"},
        {"2#{0101}", TYPE_BINARY, "2#{0101}"},
        {"64#{A=B=}", TYPE_BINARY, "B=}"},
        {"<a", TYPE_TAG, "<a"},
        {"x \xFF y", 0, "\xC3\xBF y"},
    };
    for (const row& r : rows) {
        uint32_t code = raised_code([&] { load(r.text); });
        if (r.type == 0) {
            EXPECT_EQ(code, error_code(ERR_SYNTAX, static_cast<uint32_t>(syntax_error::bad_char))) << r.text;
            EXPECT_EQ(arg_text(1), r.excerpt) << r.text;
            continue;
        }
        ASSERT_EQ(code, error_code(ERR_SYNTAX, static_cast<uint32_t>(syntax_error::invalid))) << r.text;
        EXPECT_EQ(arg_text(0), "(line 1)") << r.text;
        EXPECT_EQ(last_raised_error().args[1].w1, r.type) << r.text;
        EXPECT_EQ(arg_text(2), r.excerpt) << r.text;
    }
}

TEST_F(LexerLoadTest, ErrorsNameTheLineAndCutTheExcerpt) {
    EXPECT_NE(raised_code([] { load("a\n{b\nc}\n\n  1''0 and more words after it to cut"); }), 0u);
    EXPECT_EQ(arg_text(0), "(line 5)");
    EXPECT_EQ(arg_text(2), "1''0 and more words after it t");
}

// Load, mold, load again: the same values.
TEST_F(LexerLoadTest, MoldedValuesLoadBackEqual) {
    const char* texts[] = {
        "1 -2 1'000 2147483648 FFh 1.5 -0.0 1.5e-7 1.#INF 50% 0.5%",
        "10:20 -1:30:15.25 1-Jan-2000 2000-02-29/23:59:59-5:00 $1.20 -EUR$3.5",
        "#\"a\" #\"^/\" #\"^(1F600)\" #\"^@\" \"tab^-quote^\"\" {multi\nline} %{raw ^ text}%",
        "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\" {with \"quotes\" and ^{braces^}}",
        "word set: :get 'lit /ref #issue + - * / // < <= <> >= > = == ** caf\xC3\xA9",
        "a/b/c :a/b 'a/b a/b: a/1/(x)/\"s\" obj/:field",
        "[nested [deep [deeper]] (paren [mix])] ()",
        "1.2.3 255.0.255.0.1.2.3.4.5.6.7.8 1x2 -3x-4 (1, 2) (1.5, -2.25, 3) [(0, 0)]",
        "a ; comment\nb",
        "#{00FF} 2#{10000000} 64#{AQID} %file.txt %\"a b\" %a%20c http://h.org/p?q=1#x",
        "user@host.org @ref <tag a=\"1\"> </tag> #[a 1 \"k\" [v] 2 #{01}]",
    };
    for (const char* text : texts) {
        cell* top = stack::top;
        uint32_t code = raised_code([&] {
            cell* first = load(text);
            std::string molded = reload(text);
            cell* second = load(molded);
            EXPECT_TRUE(actions::compare(first, second, COMP_STRICT_EQUAL))
                << text << "\n -> " << molded << "\n -> " << mold(second);
            EXPECT_EQ(reload(molded), molded) << text;
        });
        EXPECT_EQ(code, 0u) << text;
        stack::top = top;
    }
}

TEST_F(LexerLoadTest, NewLineMarksAndLines) {
    cell* b = load("a\nb c\n\n[d\ne]");
    EXPECT_EQ(reload("a\nb c\n\n[d\ne]"), "a\nb c\n[d\ne]");
    EXPECT_EQ(block::ks_length_q(b), 4);
}

// A string! on the stack from UTF-8 text.
cell* push_string(const std::string& text) {
    return load_string_push(reinterpret_cast<const uint8_t*>(text.data()), text.size(), 0);
}

TEST_F(LexerLoadTest, StringSourcesCountCharacters) {
    cell* src = push_string("\xC3\xA9t\xC3\xA9 [a] rest");
    cell* out = stack::push_cell();
    size_t consumed = 0;
    EXPECT_EQ(transcode_string(out, src, -1, true, true, true, false, &consumed), int32_t{TYPE_WORD});
    EXPECT_EQ(mold(out), "\xC3\xA9t\xC3\xA9");
    EXPECT_EQ(consumed, 3u);  // characters, not bytes
    src->w1 = 4;
    transcode_string(out, src, -1, true, true, true, false, &consumed);
    EXPECT_EQ(mold(out), "[a]");
    src->w1 = 0;
    transcode_string(out, src, 3, false, true, true, true, &consumed);  // /part in characters
    EXPECT_EQ(mold(out), "[\xC3\xA9t\xC3\xA9]");
    cell* into = load("x");
    transcode_string(out, src, -1, false, true, true, false, nullptr, nullptr, 0, into);
    EXPECT_EQ(mold(into), "[x \xC3\xA9t\xC3\xA9 [a] rest]");
}

TEST_F(LexerLoadTest, BinarySourcesSkipTheByteOrderMark) {
    cell* src = push_string("x");
    const std::string text = "\xEF\xBB\xBF" "a 1";
    node_id node = alloc_series(text.size(), 1, 0);
    std::memcpy(node_buffer(node)->offset, text.data(), text.size());
    node_buffer(node)->tail = node_buffer(node)->offset + text.size();
    set_series_value(src, TYPE_BINARY, node, 0);
    cell* out = stack::push_cell();
    size_t consumed = 0;
    transcode_binary(out, src, -1, false, true, true, true, &consumed);
    EXPECT_EQ(mold(out), "[a 1]");
    EXPECT_EQ(consumed, text.size());
}

TEST_F(LexerLoadTest, ToWordAndToBlockGoThroughTheLexer) {
    struct row {
        std::string text;
        uint32_t type;
        std::string molded;  // empty: script invalid-chars for word!
    };
    const row rows[] = {
        {"a b", TYPE_BLOCK, "[a b]"},
        {"1 [2] \"x\"", TYPE_BLOCK, "[1 [2] \"x\"]"},
        {"", TYPE_BLOCK, "[]"},
        {"a (b)", TYPE_PAREN, "(a (b))"},
        {"  'b c", TYPE_WORD, "b"},
        {"x:", TYPE_SET_WORD, "x:"},
        {"caf\xC3\xA9", TYPE_WORD, "caf\xC3\xA9"},
        {"1", TYPE_WORD, ""},
        {"a/b", TYPE_WORD, ""},
        {"ABh", TYPE_WORD, ""},
        {"1''0", TYPE_WORD, ""},
    };
    for (const row& r : rows) {
        cell* top = stack::top;
        stack::arguments = stack::top;
        cell* proto = stack::push_cell();
        *proto = cell{TYPE_DATATYPE, r.type, 0, 0};
        cell* spec = push_string(r.text);
        if (r.molded.empty()) {
            EXPECT_EQ(raised_code([&] { to_dispatch(proto, spec, r.type); }),
                      error_code(ERR_SCRIPT, static_cast<uint32_t>(script_error::invalid_chars)))
                << r.text;
        } else {
            const cell* result = to_dispatch(proto, spec, r.type);
            EXPECT_EQ(TYPE_OF(result), r.type) << r.text;
            EXPECT_EQ(mold(result), r.molded) << r.text;
        }
        stack::top = top;
    }
}

struct event_record {
    uint32_t event;
    int32_t type;
    std::string token;
};
std::vector<event_record> events;
uint32_t refused_event = 0;

bool record_event(lexer_state*, uint32_t event, int32_t type, const cell*, const uint8_t* start,
                  const uint8_t* end) {
    events.push_back({event, type, std::string(start, end)});
    return event != refused_event;
}

TEST_F(LexerLoadTest, CallbackEventsAndTheirResults) {
    lexer_event_hook = record_event;
    cell* callback = stack::push_cell();  // stands for the Kel function the hook calls
    cell* out = stack::push_cell();
    auto run = [&](const std::string& text, uint32_t mask, uint32_t refuse) {
        events.clear();
        refused_event = refuse;
        lexer_scan(out, reinterpret_cast<const uint8_t*>(text.data()), text.size(), false, true,
                   true, true, nullptr, callback, mask);
    };
    run("[a 1]", LEXER_EVENT_OPEN | LEXER_EVENT_CLOSE | LEXER_EVENT_LOAD, 0);
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].event, LEXER_EVENT_OPEN);
    EXPECT_EQ(events[0].type, int32_t{TYPE_BLOCK});
    EXPECT_EQ(events[1].event, LEXER_EVENT_LOAD);
    EXPECT_EQ(events[1].token, "a");
    EXPECT_EQ(events[2].type, int32_t{TYPE_INTEGER});
    EXPECT_EQ(events[3].event, LEXER_EVENT_CLOSE);

    run("a 1 b", LEXER_EVENT_LOAD, LEXER_EVENT_LOAD);  // a false load drops the value
    EXPECT_EQ(mold(out), "[]");
    run("a 1 b", LEXER_EVENT_SCAN, LEXER_EVENT_SCAN);  // a false scan loads nothing
    EXPECT_EQ(mold(out), "[]");
    EXPECT_EQ(events.size(), 3u);
    run("a [b", LEXER_EVENTS_ALL, LEXER_EVENT_OPEN);  // the block is not opened
    EXPECT_EQ(mold(out), "[a b]");
    run("a \"s\" [b] {c} #(none) d", LEXER_EVENT_PRESCAN, LEXER_EVENT_PRESCAN);  // nothing scanned
    EXPECT_EQ(mold(out), "[]");

    // A false error event stops the scan with what was made, open series closed.
    run("a [b (c 1''0 d", LEXER_EVENT_ERROR, LEXER_EVENT_ERROR);
    EXPECT_EQ(mold(out), "[a [b (c)]]");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, int32_t{TYPE_INTEGER});
    EXPECT_EQ(events[0].token, "1''0");
    // A true one lets the error be raised.
    EXPECT_EQ(raised_code([&] { run("1''0", LEXER_EVENT_ERROR, 0); }),
              error_code(ERR_SYNTAX, static_cast<uint32_t>(syntax_error::invalid)));
    run("(1, 2)", LEXER_EVENT_LOAD, 0);  // a point is reported with its "("
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].token, "(1, 2");
    // Without the mask bit, no event.
    run("a", LEXER_EVENT_ERROR, 0);
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(lexer_current_state, nullptr);
}

// Values allocate while the text is scanned: under the stress build every one collects.
TEST_F(LexerLoadTest, LoadingSurvivesCollectionsAtEveryValue) {
    std::string text;
    for (int i = 0; i < 200; i++)
        text += "[w" + std::to_string(i) + " \"s" + std::to_string(i) + "\" {b\xC3\xA9} " +
                std::to_string(i) + " 1.5 $2 10:00 1-Jan-2000 #\"c\" a/b/c]\n";
    cell* b = load(text);
    collector_collect();
    cell* again = load(reload(text));
    EXPECT_TRUE(actions::compare(b, again, COMP_STRICT_EQUAL));
    EXPECT_EQ(block::ks_length_q(b), 200);
}
}  // namespace
}  // namespace kel
