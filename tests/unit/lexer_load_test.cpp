// Loading values from text: every literal, round trips through mold, syntax errors.
#include <cmath>
#include <string>
#include <vector>

#include "boot/error_catalog.h"
#include "datatypes/block.h"
#include "datatypes/char.h"
#include "datatypes/context.h"
#include "datatypes/date.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/money.h"
#include "datatypes/paren.h"
#include "datatypes/path.h"
#include "datatypes/percent.h"
#include "datatypes/series.h"
#include "datatypes/symbol.h"
#include "datatypes/time.h"
#include "datatypes/typeset.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/lexer.h"
#include "evaluator/transcode.h"
#include "runtime/case_folding.h"
#include "runtime/cycles.h"
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
        integer::init();
        symbol::init();
        _context::init();
        word::init();
        char_::init();
        path::init();
        paren::init();
        issue::init();
        float_::init();
        typeset::init();
        percent::init();
        time::init();
        date::init();
        money::init();
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

    static std::string arg_text(uint32_t n) {
        cell* arg = stack::push(&last_raised_error().args[n]);
        std::string text = utf8_of(arg);
        stack::pop(1);
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
        {"50%", TYPE_PERCENT, "50%"},
        {"12.5%", TYPE_PERCENT, "12.5%"},
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

}  // namespace
}  // namespace kel
