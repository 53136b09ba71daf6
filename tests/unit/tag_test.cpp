// tag!, email! and ref!: their text forms and email path access.
#include "tests/unit/text_types_fixture.h"

namespace kel::testing {
namespace {

using TagEmailRef = TextTypesTest;

TEST_F(TagEmailRef, FormAndMold) {
    struct row {
        const char* text;
        uint32_t type;
        const char* molded;
        const char* formed;
    } rows[] = {
        {"b", TYPE_TAG, "<b>", "<b>"},
        {"", TYPE_TAG, "<>", "<>"},
        {"a href=\"x\"", TYPE_TAG, "<a href=\"x\">", "<a href=\"x\">"},
        {"name@host.com", TYPE_EMAIL, "name@host.com", "name@host.com"},
        {"a\"b^@é", TYPE_EMAIL, "a\"b^@é", "a\"b^@é"},
        {"abc", TYPE_REF, "@abc", "abc"},
        {"", TYPE_REF, "@", ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.molded);
        EXPECT_EQ(molded(str(r.text, r.type)), r.molded);
        EXPECT_EQ(formed(str(r.text, r.type)), r.formed);
    }
}

TEST_F(TagEmailRef, PartCountsTheDelimiters) {
    struct row {
        uint32_t type;
        int32_t part;
        const char* molded;
        int32_t left;
    } rows[] = {
        {TYPE_TAG, 10, "<abc>", 5},
        {TYPE_TAG, 3, "<ab>", -1},
        {TYPE_REF, 10, "@abc", 6},
        {TYPE_REF, 2, "@a", 0},
        {TYPE_EMAIL, 2, "ab", 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.molded);
        int32_t left = 0;
        EXPECT_EQ(molded_part(str("abc", r.type), r.part, &left), r.molded);
        EXPECT_EQ(left, r.left);
    }
}

TEST_F(TagEmailRef, EmailUserAndHost) {
    struct row {
        const char* email;
        const char* user;
        const char* host;
    } rows[] = {
        {"name@host.org", "name", "host.org"},
        {"name", "name", ""},
        {"@host", "", "host"},
        {"a@b@c", "a", "b@c"},
    };
    cell* user = word_of("user");
    cell* host = word_of("HOST");
    for (const row& r : rows) {
        SCOPED_TRACE(r.email);
        cell* email = str(r.email, TYPE_EMAIL);
        for (cell* part : {user, host}) {
            const cell* got = email::eval_path(email, part, nullptr, nullptr, nullptr, nullptr, 0, false,
                                               false, false, false);
            EXPECT_EQ(TYPE_OF(got), TYPE_STRING);
            EXPECT_EQ(utf8(got), part == user ? r.user : r.host);
        }
    }
}

TEST_F(TagEmailRef, SettingUserOrHostChangesTheEmail) {
    struct row {
        const char* email;
        const char* field;
        const char* value;
        const char* result;
    } rows[] = {
        {"name@host.org", "user", "other", "other@host.org"},
        {"name@host.org", "host", "x.net", "name@x.net"},
        {"name@host.org", "user", "", "@host.org"},
        {"a@", "host", "b", "a@b"},
        {"name", "user", "é", "é"},
        {"name", "host", "h", "name@h"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.result);
        cell* email = str(r.email, TYPE_EMAIL);
        cell* value = str(r.value);
        email::eval_path(email, word_of(r.field), value, nullptr, nullptr, nullptr, 0, false, false, false,
                         false);
        EXPECT_EQ(TYPE_OF(email), TYPE_EMAIL);
        EXPECT_EQ(utf8(email), r.result);
    }
}

TEST_F(TagEmailRef, EmailIndexesAndRefusesOtherSelectors) {
    cell* email = str("name@host", TYPE_EMAIL);
    const cell* first = email::eval_path(email, num(1), nullptr, nullptr, nullptr, nullptr, 0, false, false,
                                         false, false);
    EXPECT_EQ(TYPE_OF(first), TYPE_CHAR);
    EXPECT_EQ(first->w2, uint32_t{'n'});
    email::eval_path(email, num(1), chr('N'), nullptr, nullptr, nullptr, 0, false, false, false, false);
    EXPECT_EQ(utf8(email), "Name@host");
    for (cell* selector : {word_of("domain"), str("user"), word_of("user", TYPE_GET_WORD)}) {
        EXPECT_EQ(raised_code([&] {
                      email::eval_path(email, selector, nullptr, nullptr, nullptr, nullptr, 0, false, false,
                                       false, false);
                  }),
                  code_of(script_error::invalid_path));
    }
}

TEST_F(TagEmailRef, TagAppendedToAStringKeepsItsBrackets) {
    cell* s = str("x");
    act<ACT_APPEND>(s, str("b", TYPE_TAG), -1, false, 0, true);
    EXPECT_EQ(utf8(s), "x<b>");
}

}  // namespace
}  // namespace kel::testing
