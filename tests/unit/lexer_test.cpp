// The lexer's tables, its scan loop in scan-only mode, the output buffer and syntax errors.
#include <random>
#include <string>
#include <vector>

#include "datatypes/error.h"
#include "datatypes/lexer.h"
#include "runtime/error_catalog.h"
#include "runtime_fixture.h"

namespace kel {
namespace {

using testing::raised_code;

class LexerTest : public testing::RuntimeTest {
protected:
    void SetUp() override {
        RuntimeTest::SetUp();
        lexer_init();
    }

    struct scanned {
        int32_t type;
        size_t consumed;
    };

    // The first token as the scan-only mode reports it.
    static scanned scan(const std::string& text) {
        // An exact-size copy, so that a read past the end is caught by the sanitizer.
        std::vector<uint8_t> bytes(text.begin(), text.end());
        size_t consumed = 0;
        int32_t type = lexer_scan(nullptr, bytes.data(), bytes.size(), true, true, false, false,
                                  &consumed);
        return {type, consumed};
    }

    static cell load(const std::string& text) {
        cell* out = stack::push_cell();
        lexer_scan(out, reinterpret_cast<const uint8_t*>(text.data()), text.size(), false, true,
                   true, false, nullptr);
        return *out;
    }

    static std::string arg_text(uint32_t n) {
        return text_of(&last_raised_error().args[n]);
    }
};

TEST_F(LexerTest, TablesHaveTheAutomatonsShape) {
    for (uint32_t state = 0; state < LEXER_STATES; state++) {
        for (uint32_t cls = 0; cls < LEXER_CLASSES; cls++) {
            uint32_t next = lexer_transitions[state * LEXER_CLASSES + cls];
            EXPECT_TRUE(next < LEXER_STATES || (next >= LEXER_FINAL && next < LEXER_FINAL + TOKEN_CLASSES))
                << state << "," << cls;
            EXPECT_NE(next, static_cast<uint32_t>(STATE_PATH)) << "the path state is only entered by scanners";
        }
        EXPECT_EQ(lexer_transitions[state * LEXER_CLASSES + CHAR_INVALID], LEXER_FINAL + TOKEN_BAD) << state;
        EXPECT_GE(lexer_transitions[state * LEXER_CLASSES + CHAR_END], LEXER_FINAL) << state;
    }
    std::vector<bool> reached(TOKEN_CLASSES);
    for (uint8_t next : lexer_transitions)
        if (next >= LEXER_FINAL) reached[next - LEXER_FINAL] = true;
    for (uint32_t k = 0; k < TOKEN_CLASSES; k++) EXPECT_TRUE(reached[k]) << "token class " << k;

    for (uint32_t s = 0; s < LEXER_TABLE_STATES; s++) EXPECT_EQ(lexer_skip_table[s], s == 0 ? 1 : 0);
    for (uint32_t c = 0; c < LEXER_CLASSES; c++) EXPECT_EQ(lexer_line_table[c], c == CHAR_NEWLINE ? 1 : 0);
}

TEST_F(LexerTest, TransitionsAsWritten) {
    struct row {
        uint32_t state, cls, next;
    };
    const row rows[] = {
        {0, CHAR_SPACE, 0},          {0, CHAR_CONTROL, 0},           {0, CHAR_DIGIT19, 23},
        {0, CHAR_LBRACKET, 68},      {0, CHAR_RBRACE, 67},           {0, CHAR_END, 66},
        {0, CHAR_OTHER, 52},         {0, CHAR_SEMICOLON, 1},         {0, CHAR_COMMA_SIGN, 78},
        {0, CHAR_UPPER_HEXLETTER, 40}, {1, CHAR_NEWLINE, 77},       {1, CHAR_OTHER, 1},
        {2, CHAR_DQUOTE, 79},        {2, CHAR_NEWLINE, 67},          {2, CHAR_CIRCUMFLEX, 3},
        {4, CHAR_RBRACE, 73},        {4, CHAR_NEWLINE, 4},           {6, CHAR_LBRACE, 10},
        {7, CHAR_DQUOTE, 67},        {12, CHAR_PERCENT_SIGN, 12},    {12, CHAR_SPACE, 100},
        {12, CHAR_OTHER, 67},        {16, CHAR_LBRACKET, 74},        {16, CHAR_LPAREN, 21},
        {17, CHAR_SEMICOLON, 18},    {18, CHAR_NEWLINE, 17},         {21, CHAR_RPAREN, 76},
        {23, CHAR_PERIOD, 24},       {23, CHAR_PERCENT_SIGN, 87},    {23, CHAR_LETTER_X, 33},
        {23, CHAR_HASH, 16},         {23, CHAR_COLON_SIGN, 31},      {25, CHAR_PERIOD, 29},
        {28, CHAR_DIGIT19, 88},      {28, CHAR_OTHER, 28},           {35, CHAR_RPAREN, 93},
        {35, CHAR_RBRACKET, 35},     {37, CHAR_COMMA_SIGN, 67},      {40, CHAR_LETTER_H, 41},
        {40, CHAR_DOLLAR, 37},       {44, CHAR_GREATER_THAN, 96},    {47, CHAR_DIGIT0, 23},
        {52, CHAR_SLASH_SIGN, 75},   {52, CHAR_COLON_SIGN, 53},      {53, CHAR_OTHER, 55},
        {56, CHAR_SPACE, 98},        {57, CHAR_SPACE, 101},          {59, CHAR_LPAREN, 70},
        {59, CHAR_SPACE, 67},        {62, CHAR_SLASH_SIGN, 80},      {63, CHAR_LBRACKET, 21},
        {64, CHAR_DIGIT0, 60},       {64, CHAR_END, 80},             {26, CHAR_PERCENT_SIGN, 87},
        {58, CHAR_COLON_SIGN, 53},
    };
    for (const row& r : rows)
        EXPECT_EQ(lexer_transitions[r.state * LEXER_CLASSES + r.cls], r.next) << r.state << "," << r.cls;
}

TEST_F(LexerTest, CharacterClassesAndFlags) {
    struct row {
        uint8_t byte;
        uint32_t entry;
    };
    const row rows[] = {
        {0x00, CHAR_INVALID},              {'\t', CHAR_SPACE},      {'\r', CHAR_SPACE},
        {'\n', CHAR_NEWLINE},              {0x0B, CHAR_CONTROL},    {0x1F, CHAR_CONTROL},
        {'0', CHAR_DIGIT0},                {'9', CHAR_DIGIT19},     {'x', CHAR_LETTER_X},
        {'X', CHAR_LETTER_X},              {'t', CHAR_OTHER},       {'T', CHAR_LETTER_T},
        {'H', CHAR_OTHER},                 {'e', CHAR_LETTER_E | CHARFLAG_EXPONENT},
        {'E', CHAR_LETTER_UPPER_E | CHARFLAG_EXPONENT},             {'f', CHAR_HEXLETTER},
        {'F', CHAR_UPPER_HEXLETTER},       {'g', CHAR_OTHER},       {'_', CHAR_OTHER},
        {'#', CHAR_HASH | CHARFLAG_HASH},  {'\'', CHAR_APOSTROPHE | CHARFLAG_APOSTROPHE},
        {':', CHAR_COLON_SIGN | CHARFLAG_COLON}, {',', CHAR_COMMA_SIGN | CHARFLAG_COMMA},
        {'.', CHAR_PERIOD | CHARFLAG_PERIOD}, {'^', CHAR_CIRCUMFLEX | CHARFLAG_CIRCUMFLEX},
        {'+', CHAR_PLUS_SIGN | CHARFLAG_SIGN}, {'-', CHAR_MINUS_SIGN | CHARFLAG_SIGN},
        {'%', CHAR_PERCENT_SIGN | CHARFLAG_PERCENT}, {'<', CHAR_LESS_THAN | CHARFLAG_LESS_THAN},
        {'>', CHAR_GREATER_THAN | CHARFLAG_GREATER_THAN}, {0x7F, CHAR_CONTINUATION},
        {0x80, CHAR_CONTINUATION},         {0xBF, CHAR_CONTINUATION}, {0xC0, CHAR_INVALID},
        {0xC1, CHAR_INVALID},              {0xC2, CHAR_OTHER | CHARFLAG_WIDE2},
        {0xEF, CHAR_OTHER | CHARFLAG_WIDE2}, {0xF0, CHAR_OTHER | CHARFLAG_WIDE4},
        {0xF7, CHAR_OTHER | CHARFLAG_WIDE4}, {0xF8, CHAR_INVALID}, {0xFF, CHAR_INVALID},
    };
    for (const row& r : rows) EXPECT_EQ(lexer_char_classes[r.byte], r.entry) << int(r.byte);
}

TEST_F(LexerTest, TypeTableNamesStatesAndTokens) {
    struct row {
        uint32_t state, type;
    };
    const row rows[] = {
        {0, 0},                {1, 0},              {4, TYPE_STRING},     {9, TYPE_FILE},
        {14, TYPE_REFINEMENT}, {17, TYPE_BINARY},   {18, 0},              {21, 0},
        {28, TYPE_FLOAT},      {35, TYPE_POINT2D},  {42, TYPE_INTEGER},   {53, TYPE_SET_WORD},
        {59, TYPE_PATH},       {63, TYPE_ISSUE},    {65, 0},              {66, 0},
        {67, TYPE_ERROR},      {73, TYPE_STRING},   {78, 0},              {82, TYPE_INTEGER},
        {89, TYPE_FLOAT},      {93, TYPE_POINT2D},  {99, TYPE_INTEGER},   {100, TYPE_STRING},
        {101, TYPE_REF},       {103, 0},
    };
    for (const row& r : rows) EXPECT_EQ(lexer_type_table[r.state], r.type) << r.state;
    uint32_t delimiters = 0;
    for (uint8_t d : lexer_path_delimiters) delimiters += d;
    EXPECT_EQ(delimiters, 14u);
    EXPECT_TRUE(lexer_path_delimiters[CHAR_OTHER] && !lexer_path_delimiters[CHAR_SLASH_SIGN]);
    EXPECT_TRUE(lexer_point_chars['n'] && lexer_point_chars['#'] && !lexer_point_chars[',']);
    EXPECT_TRUE(unicode_blank_q(0x00A0) && unicode_blank_q(0x200B) && unicode_blank_q(0x3000));
    EXPECT_FALSE(unicode_blank_q(0x200C) || unicode_blank_q(' '));
}

TEST_F(LexerTest, ScanReportsTheFirstTokensTypeAndExtent) {
    struct row {
        std::string text;
        int32_t type;
        size_t consumed;
    };
    const row rows[] = {
        {"", 0, 0},
        {"  \t\r\n ", 0, 6},
        {"abc", TYPE_WORD, 3},
        {"  abc def", TYPE_WORD, 5},
        {"a: 1", TYPE_SET_WORD, 2},
        {":a", TYPE_GET_WORD, 2},
        {"'a", TYPE_LIT_WORD, 2},
        {"/", TYPE_WORD, 1},
        {"/ref x", TYPE_REFINEMENT, 4},
        {"#iss", TYPE_ISSUE, 4},
        {"123 4", TYPE_INTEGER, 3},
        {"-12]", TYPE_INTEGER, 3},
        {"1.5", TYPE_FLOAT, 3},
        {"1.", TYPE_FLOAT, 2},
        {"-1.#inf", TYPE_FLOAT, 7},
        {"1.2.3", TYPE_TUPLE, 5},
        {"1x2", TYPE_PAIR, 3},
        {"50%", TYPE_PERCENT, 3},
        {"12:30:15", TYPE_TIME, 8},
        {"1-Jan-2000", TYPE_DATE, 10},
        {"$1.20", TYPE_MONEY, 5},
        {"-$1", TYPE_MONEY, 3},
        {"FFh", TYPE_INTEGER, 3},
        {"#\"a\" b", TYPE_CHAR, 4},
        {"%dir/file.txt", TYPE_FILE, 13},
        {"%\"a b\" c", TYPE_FILE, 6},
        {"#{00FF} x", TYPE_BINARY, 7},
        {"2#{00000000}", TYPE_BINARY, 12},
        {"<tag a=1>x", TYPE_TAG, 9},
        {"http://x.org/a b", TYPE_URL, 14},
        {"a@b.c", TYPE_EMAIL, 5},
        {"@ref", TYPE_REF, 4},
        {"\"str\" x", TYPE_STRING, 5},
        {"{a{b}\nc} x", TYPE_STRING, 8},
        {"%{a}b}%", TYPE_STRING, 7},
        {"%%{x}% y}%% z", TYPE_STRING, 11},
        {"[a [b] c] d", TYPE_BLOCK, 9},
        {"[a ; ]\n]", TYPE_BLOCK, 8},
        {"(a) b", TYPE_PAREN, 3},
        {"#[a 1] b", TYPE_MAP, 6},
        {"a/b/c d", TYPE_PATH, 5},
        {"'a/b", TYPE_LIT_PATH, 4},
        {":a/b", TYPE_GET_PATH, 4},
        {"a/b: 1", TYPE_SET_PATH, 4},
        {"a/(b c)/1 x", TYPE_PATH, 9},
        {"[a/b]", TYPE_BLOCK, 5},
        {"(1, 2) x", TYPE_POINT2D, 6},
        {"( 1.5 , -2 , 3 )", TYPE_POINT3D, 16},
        {"(b + c , d) x", TYPE_POINT2D, 11},
        {"(x + 1, y)", TYPE_POINT2D, 10},
        {"#(none) x", TYPE_NONE, 7},
        {"#(TRUE)", TYPE_LOGIC, 7},
        {"#(logic!)", TYPE_DATATYPE, 9},
        {"#(logic)", TYPE_DATATYPE, 8},
        {"; note\nabc", TYPE_WORD, 10},
        {"\xC2\xA0\xC2\xA0", 0, 4},
        {"\xC2\xA0 abc", TYPE_WORD, 6},
        {"abc\xE2\x80\x83""def", TYPE_WORD, 3},
        {std::string("a\0b", 3), TYPE_ERROR, 1},
    };
    for (const row& r : rows) {
        scanned got = scan(r.text);
        EXPECT_EQ(got.type, r.type) << r.text;
        EXPECT_EQ(got.consumed, r.consumed) << r.text;
    }
}

TEST_F(LexerTest, ScanOnlyErrorsReportErrorWithoutRaising) {
    const std::string bad[] = {
        "\"abc",  "\"a\nb\"", "\xC0",    "\"a\xF8\"", "[a",          "]",        "(a]",
        "{a",     "{a{b}",    "#",       "'a:",       "a/",          "'a/b:",    "a/b:/c",
        ":",      "%%{x}% y", "#(nonsense)", "#(none x)", "}",       "a,",       "[(1, 2]",
        "\xC2\xA0:", "\xC2\xA0'",
    };
    for (const std::string& text : bad) {
        EXPECT_EQ(raised_code([&] { EXPECT_EQ(scan(text).type, TYPE_ERROR) << text; }), 0u) << text;
    }
}

// Prescan gives the automaton's guess for a top-level token; inside a series every token
// still ends where it should.
TEST_F(LexerTest, PrescanGuessesTheFirstType) {
    struct row {
        std::string text;
        int32_t type;
    };
    const row rows[] = {
        {"1''0", TYPE_INTEGER},       {"a: 1", TYPE_WORD},          {"{a}", TYPE_STRING},
        {"[(1, 2) #\"]\" x]", TYPE_BLOCK}, {"[%\"]\" <]> 5%]", TYPE_BLOCK}, {"a/#\"x\"/b", TYPE_PATH},
        {"[a", TYPE_ERROR},           {"\"a", TYPE_ERROR},         {"", 0},
    };
    for (const row& r : rows) {
        size_t consumed = 0;
        EXPECT_EQ(lexer_scan(nullptr, reinterpret_cast<const uint8_t*>(r.text.data()), r.text.size(),
                             false, false, false, false, &consumed),
                  r.type)
            << r.text;
    }
}

// A NUL is not the end of the text: what follows it is not lost silently.
TEST_F(LexerTest, NulIsAnInvalidCharacter) {
    for (const std::string& text : {std::string("\0", 1), std::string("[a\0]", 5)})
        EXPECT_EQ(scan(text).type, TYPE_ERROR) << text.size();
    for (const std::string& text : {std::string("#(none) \0 1", 11), std::string("; x\0\n#(none)\0", 13)}) {
        EXPECT_EQ(raised_code([&] { load(text); }), error_code(ERR_SYNTAX, static_cast<uint32_t>(syntax_error::bad_char)))
            << text.size();
    }
}

TEST_F(LexerTest, LoadBuildsNestedSeriesWithLineMarks) {
    cell block = load("[] (\n[#(none)] #(true))\n#(logic!)");
    ASSERT_EQ(TYPE_OF(&block), TYPE_BLOCK);
    series_buffer* b = node_buffer(series_node(&block));
    ASSERT_EQ(b->used_bytes(), 3 * sizeof(cell));
    cell* top = b->cells();
    EXPECT_EQ(TYPE_OF(&top[0]), TYPE_BLOCK);
    EXPECT_EQ(TYPE_OF(&top[1]), TYPE_PAREN);
    EXPECT_EQ(TYPE_OF(&top[2]), TYPE_DATATYPE);
    EXPECT_EQ(top[2].w1, TYPE_LOGIC);
    EXPECT_FALSE(top[1].header & CELL_NEW_LINE);
    EXPECT_TRUE(top[2].header & CELL_NEW_LINE);
    EXPECT_EQ(node_buffer(series_node(&top[0]))->used_bytes(), 0u);
    cell* inner = node_buffer(series_node(&top[1]))->cells();
    EXPECT_TRUE(inner[0].header & CELL_NEW_LINE);
    EXPECT_EQ(TYPE_OF(&inner[1]), TYPE_LOGIC);
    EXPECT_EQ(inner[1].w1, 1u);
    EXPECT_EQ(TYPE_OF(node_buffer(series_node(&inner[0]))->cells()), TYPE_NONE);
}

TEST_F(LexerTest, OneValueComesAloneUnlessWrapped) {
    const std::string text = "#(none) #(true)";
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(text.data());
    cell* out = stack::push_cell();
    size_t consumed = 0;
    EXPECT_EQ(lexer_scan(out, bytes, text.size(), true, true, true, false, &consumed), TYPE_NONE);
    EXPECT_EQ(TYPE_OF(out), TYPE_NONE);
    EXPECT_EQ(consumed, 7u);
    lexer_scan(out, bytes, text.size(), true, true, true, true, &consumed);
    ASSERT_EQ(TYPE_OF(out), TYPE_BLOCK);
    EXPECT_EQ(node_buffer(series_node(out))->used_bytes(), sizeof(cell));
}

// A handler may scan again (as a callback will): the inner scan's cells follow the outer
// ones, and growth of the shared buffer during it keeps the outer values.
TEST_F(LexerTest, NestedScanKeepsTheOuterValues) {
    static cell inner;
    inner = cell{};
    lexer_scanners[TOKEN_COMMENT] = [](lexer_state*, const uint8_t*, const uint8_t*, uint32_t, bool) {
        std::string deep = std::string(1500, '[') + std::string(1500, ']');
        lexer_scan(stack::push_cell(), reinterpret_cast<const uint8_t*>(deep.data()), deep.size(),
                   false, true, true, false, nullptr);
        inner = *stack::top_cell();
        // The outer scan runs on; the inner one is unlinked again.
        EXPECT_TRUE(lexer_current_state && !lexer_current_state->nested_state);
    };
    cell outer = load("[#(none) #(true) ; nested\n #(false)]");
    lexer_init();  // the own comment scanner again
    EXPECT_EQ(lexer_current_state, nullptr);
    ASSERT_EQ(TYPE_OF(&outer), TYPE_BLOCK);
    cell* block = node_buffer(series_node(&outer))->cells();
    ASSERT_EQ(TYPE_OF(block), TYPE_BLOCK);
    cell* items = node_buffer(series_node(block))->cells();
    ASSERT_EQ(node_buffer(series_node(block))->used_bytes(), 3 * sizeof(cell));
    EXPECT_EQ(TYPE_OF(&items[0]), TYPE_NONE);
    EXPECT_EQ(items[1].w1, 1u);
    EXPECT_EQ(items[2].w1, 0u);
    EXPECT_TRUE(items[2].header & CELL_NEW_LINE);
    EXPECT_EQ(TYPE_OF(&inner), TYPE_BLOCK);
}

TEST_F(LexerTest, OutputBufferGrowsUnderDeepNesting) {
    constexpr int depth = 2500;
    std::string text = std::string(depth, '[') + std::string(depth, ']');
    cell block = load(text);
    for (int i = 0; i < depth; i++) {
        series_buffer* b = node_buffer(series_node(&block));
        ASSERT_EQ(b->used_bytes(), sizeof(cell)) << i;
        block = *b->cells();
    }
    EXPECT_EQ(node_buffer(series_node(&block))->used_bytes(), 0u);
    EXPECT_GE(lexer_cells_capacity, static_cast<uint32_t>(depth));
}

TEST_F(LexerTest, SyntaxErrorsNameLineAndExcerpt) {
    struct row {
        std::string text;
        syntax_error id;
        std::string line;
        std::string excerpt;
    };
    const std::string long_line = "[#(none) #(none) #(none) #(none) #(none) #(none)";
    const row rows[] = {
        {"[#(none)", syntax_error::missing, "(line 1)", "[#(none)"},
        {"#(none)\n]", syntax_error::missing, "(line 2)", "]"},
        {"(#(none)]", syntax_error::missing, "(line 1)", "]"},
        {"#(none)\n\n\"abc\nd", syntax_error::invalid, "(line 3)", "\"abc"},
        {"#(nonsense) x", syntax_error::malconstruct, "(line 1)", "#(nonsense) x"},
        {"#(none) \xC0 b", syntax_error::bad_char, "(line 1)", "\xC0 b"},
        {"#(none) {a{b}\nc", syntax_error::invalid, "(line 2)", "{a{b}"},
        {long_line, syntax_error::missing, "(line 1)", long_line.substr(0, 30)},
    };
    for (const row& r : rows) {
        EXPECT_EQ(raised_code([&] { load(r.text); }),
                  error_code(ERR_SYNTAX, static_cast<uint32_t>(r.id)))
            << r.text;
        EXPECT_EQ(arg_text(0), r.line) << r.text;
        uint32_t excerpt_arg = r.id == syntax_error::bad_char || r.id == syntax_error::malconstruct ? 1 : 2;
        EXPECT_EQ(arg_text(excerpt_arg), r.excerpt) << r.text;
    }
}

TEST_F(LexerTest, MissingNamesTheCharacterThatIsNeeded) {
    struct row {
        std::string text;
        uint32_t missing;
    };
    const row rows[] = {
        {"[#(none)", ']'}, {"#(none)]", '['},  {"(#(none)", ')'},
        {"#(none))", '('}, {"[#(none))", ']'}, {"#[#(none)", ']'},
    };
    for (const row& r : rows) {
        EXPECT_EQ(raised_code([&] { load(r.text); }),
                  error_code(ERR_SYNTAX, static_cast<uint32_t>(syntax_error::missing)))
            << r.text;
        EXPECT_EQ(last_raised_error().args[1].w2, r.missing) << r.text;
    }
    EXPECT_EQ(raised_code([&] { load("\"abc"); }), error_code(ERR_SYNTAX, 0));
    EXPECT_EQ(last_raised_error().args[1].w1, static_cast<uint32_t>(TYPE_STRING));
}

// Whatever the bytes, every mode ends without reading outside the input.
TEST_F(LexerTest, ArbitraryBytesStayInBounds) {
    const char alphabet[] = "[](){}\"#'%:/;^,.<>@$+-xeEh0 1\n\xC0\xC2\xA0\xE2\x80\x83\xF0\xFF\x7F";
    std::mt19937 random(7);
    for (int round = 0; round < 3000; round++) {
        std::vector<uint8_t> bytes(random() % 24);
        for (uint8_t& b : bytes)
            b = random() % 4 ? static_cast<uint8_t>(alphabet[random() % (sizeof alphabet - 1)])
                             : static_cast<uint8_t>(random());
        for (int mode = 0; mode < 3; mode++) {
            size_t consumed = 0;
            uint32_t code = raised_code([&] {
                lexer_scan(nullptr, bytes.data(), bytes.size(), mode != 2, mode != 1, false, false,
                           &consumed);
            });
            EXPECT_EQ(code, 0u);
            EXPECT_LE(consumed, bytes.size());
        }
    }
    EXPECT_EQ(lexer_current_state, nullptr);
}

}  // namespace
}  // namespace kel
