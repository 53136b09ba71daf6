#include <gtest/gtest.h>

#include <string>

#include "datatypes/error.h"
#include "runtime/error_catalog.h"
#include "runtime/exits.h"

using namespace kel;

namespace {

const std::string abc[3] = {"A", "B", "C"};

std::string word_at(uint32_t code) {
    const char* w = error_id_word(code / 100, code % 100);
    return w ? w : "(none)";
}

}  // namespace

TEST(ErrorCatalog, MessagesByCode) {
    struct {
        uint32_t code;
        const char* id;
        const char* formed;  // arguments formed as A, B, C
    } cases[] = {
        {0, "break", "no loop to break"},
        {2, "throw", "no catch for throw: A"},
        {4, "while-cond", "BREAK/CONTINUE cannot be used in WHILE condition block"},
        {100, "no-load", "cannot load:  A"},  // the text's own space plus the joining one
        {200, "invalid", "A invalid B at C"},
        {206, "bad-char", "A invalid character at B"},
        {300, "no-value", "A has no value"},
        {302, "not-defined", "A word is not bound to a context"},
        {305, "expect-arg", "A does not allow B for its C argument"},
        {315, "bad-op-spec",
         "making an op! requires a function with only 2 arguments and no lit/get-word on left argument"},
        {330, "unset-path", "B is unset in path A"},
        {334, "bad-path-type", "C returned a B value, so A could not be accessed"},
        {341, "out-of-range", "value out of range: A"},
        {353, "bad-make-arg", "cannot MAKE A from: B"},
        {355, "invalid-months", "invalid system/locale/month list"},
        {370, "parse-infinite", "PARSE - infinite recursion at rule: [ A ]"},
        {393, "kb-invalid-record", "KELBIN - invalid record at index A"},
        {400, "zero-divide", "attempt to divide by zero"},
        {402, "positive", "positive number required"},
        {504, "no-connect", "cannot connect: A reason: timeout"},
        {508, "invalid-port", "invalid port object (invalid field values)"},
        {514, "invalid-cmd", "invalid port command: A"},
        {800, "message", "A"},
        {900, "bad-path", "bad path: A"},
        {902, "no-memory", "not enough memory"},
        {911, "routines", "routines require compilation, from OS shell: `kel -r <script.kel>`"},
        {913, "deprecated", "A is DEPRECATED, please use B instead"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(word_at(c.code), c.id);
        EXPECT_EQ(format_error_message(c.code / 100, c.code % 100, abc), c.formed);
    }
}

TEST(ErrorCatalog, CategoriesAndCodeRanges) {
    struct {
        const char* word;
        const char* title;
        uint32_t first_code;
        uint32_t last_code;  // first_code - 1 when the category has no ids
        const char* last_id;
    } cases[] = {
        {"throw", "Throw Error", 0, 4, "while-cond"},
        {"note", "note", 100, 100, "no-load"},
        {"syntax", "Syntax Error", 200, 206, "bad-char"},
        {"script", "Script Error", 300, 393, "kb-invalid-record"},
        {"math", "Math Error", 400, 402, "positive"},
        {"access", "Access Error", 500, 514, "invalid-cmd"},
        {"reserved1", "Reserved1 Error", 600, 599, "(none)"},
        {"reserved2", "Reserved2 Error", 700, 699, "(none)"},
        {"user", "User Error", 800, 800, "message"},
        {"internal", "Internal Error", 900, 913, "deprecated"},
    };
    ASSERT_EQ(error_category_count(), std::size(cases));
    for (uint32_t cat = 0; cat < error_category_count(); cat++) {
        const auto& c = cases[cat];
        SCOPED_TRACE(c.word);
        EXPECT_STREQ(error_category_word(cat), c.word);
        EXPECT_STREQ(error_category_title(cat), c.title);
        EXPECT_EQ(error_code(cat, 0), c.first_code);
        EXPECT_EQ(error_id_count(cat), c.last_code + 1 - c.first_code);
        EXPECT_EQ(word_at(c.last_code), c.last_id);
        EXPECT_EQ(error_id_word(cat, error_id_count(cat)), nullptr);
    }
    EXPECT_EQ(error_category_word(10), nullptr);
    EXPECT_EQ(error_id_count(10), 0u);
    EXPECT_EQ(format_error_message(6, 0, abc), "");
}

// Each id enum ends where its category's ids end, and names the id at its position.
TEST(ErrorCatalog, TypedIdsMatchPositions) {
    struct {
        uint32_t category;
        uint32_t id;
        const char* word;
    } cases[] = {
        {ERR_THROW, uint32_t(throw_error::break_), "break"},
        {ERR_THROW, uint32_t(throw_error::while_cond) + 1, "(none)"},
        {ERR_NOTE, uint32_t(note_error::no_load) + 1, "(none)"},
        {ERR_SYNTAX, uint32_t(syntax_error::bad_char) + 1, "(none)"},
        {ERR_SCRIPT, uint32_t(script_error::no_value), "no-value"},
        {ERR_SCRIPT, uint32_t(script_error::need_value), "need-value"},
        {ERR_SCRIPT, uint32_t(script_error::not_defined), "not-defined"},
        {ERR_SCRIPT, uint32_t(script_error::expect_arg), "expect-arg"},
        {ERR_SCRIPT, uint32_t(script_error::protected_), "protected"},
        {ERR_SCRIPT, uint32_t(script_error::out_of_range), "out-of-range"},
        {ERR_SCRIPT, uint32_t(script_error::bad_make_arg), "bad-make-arg"},
        {ERR_SCRIPT, uint32_t(script_error::kb_invalid_record) + 1, "(none)"},
        {ERR_MATH, uint32_t(math_error::positive) + 1, "(none)"},
        {ERR_ACCESS, uint32_t(access_error::invalid_cmd) + 1, "(none)"},
        {ERR_USER, uint32_t(user_error::message) + 1, "(none)"},
        {ERR_INTERNAL, uint32_t(internal_error::no_memory), "no-memory"},
        {ERR_INTERNAL, uint32_t(internal_error::deprecated) + 1, "(none)"},
    };
    for (const auto& c : cases) EXPECT_EQ(word_at(error_code(c.category, c.id)), c.word) << c.word;

    // Positions the runtime relies on; a catalogue object field sits two further on,
    // after code and type.
    static_assert(uint32_t(script_error::no_value) == 0);
    static_assert(uint32_t(script_error::need_value) == 1);
    static_assert(uint32_t(script_error::not_defined) == 2);
    static_assert(uint32_t(script_error::expect_arg) == 5);
    static_assert(uint32_t(script_error::out_of_range) == 41);
    static_assert(uint32_t(script_error::bad_make_arg) == 53);
    static_assert(uint32_t(internal_error::no_memory) == 2);
}

TEST(ErrorCatalog, MessageForms) {
    EXPECT_EQ(error_message_form(ERR_SCRIPT, uint32_t(script_error::not_same_type)), message_form::string);
    EXPECT_EQ(error_message_form(ERR_USER, 0), message_form::word);
    // Single-text templates stay templates, as the catalogue writes them.
    EXPECT_EQ(error_message_form(ERR_ACCESS, uint32_t(access_error::bad_media)), message_form::block);

    auto expect_arg = error_message_items(ERR_SCRIPT, uint32_t(script_error::expect_arg));
    ASSERT_EQ(expect_arg.size(), 6u);
    EXPECT_EQ(expect_arg[0].text, nullptr);
    EXPECT_EQ(expect_arg[0].arg, 1);
    EXPECT_TRUE(expect_arg[0].get_word);
    EXPECT_STREQ(expect_arg[1].text, "does not allow");
    EXPECT_EQ(expect_arg[4].arg, 3);

    // Three internal entries and the user entry name their arguments with plain words.
    struct {
        uint32_t code;
        size_t index;
        uint8_t arg;
    } plain[] = {{800, 0, 1}, {900, 1, 1}, {901, 0, 1}, {913, 0, 1}, {913, 2, 2}};
    for (const auto& p : plain) {
        auto items = error_message_items(p.code / 100, p.code % 100);
        ASSERT_LT(p.index, items.size()) << p.code;
        EXPECT_EQ(items[p.index].arg, p.arg) << p.code;
        EXPECT_FALSE(items[p.index].get_word) << p.code;
    }
}

TEST(ErrorCatalog, TypedFireRaisesByPosition) {
    cell arg{TYPE_INTEGER, 7, 0, 0};
    uint32_t code = catch_exit(LEVEL_ALL, [&] { fire(script_error::out_of_range, &arg); });
    EXPECT_EQ(code, THROW_ERROR);
    EXPECT_EQ(last_raised_error().code, 341u);
    EXPECT_EQ(last_raised_error().args[0].w1, 7u);
    EXPECT_EQ(TYPE_OF(&last_raised_error().args[1]), uint32_t(TYPE_NONE));

    code = catch_exit(LEVEL_ALL, [] { fire(internal_error::no_memory); });
    EXPECT_EQ(code, THROW_ERROR);
    EXPECT_EQ(last_raised_error().code, 902u);
}
