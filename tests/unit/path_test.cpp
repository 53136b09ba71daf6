// Paren and path datatypes: their text forms, construction and the actions they refuse.
#include "runtime/error_catalog.h"
#include "tests/unit/series_fixture.h"

namespace kel::testing {
namespace {

using PathTypes = SeriesTest;

constexpr uint32_t code(script_error e) { return error_code(ERR_SCRIPT, static_cast<uint32_t>(e)); }

TEST_F(PathTypes, MoldAndFormOfEachVariant) {
    cell* elements = load("[a b c]");
    struct row {
        uint32_t type;
        const char* mold;
    } rows[] = {
        {TYPE_PATH, "a/b/c"},
        {TYPE_SET_PATH, "a/b/c:"},
        {TYPE_GET_PATH, ":a/b/c"},
        {TYPE_LIT_PATH, "'a/b/c"},
    };
    for (const row& r : rows) {
        cell proto{TYPE_DATATYPE, r.type, 0, 0};
        cell* p = push(*to_dispatch(&proto, elements, r.type));
        EXPECT_EQ(TYPE_OF(p), r.type);
        EXPECT_EQ(mold(p), r.mold);
        EXPECT_EQ(form(p), "a/b/c");
    }
    cell* path = push(*block::ks_abs_at(load("[x/1]"), 0));
    block::ks_append(path, block::ks_abs_at(load("[(y z)]"), 0));
    EXPECT_EQ(mold(path), "x/1/(y z)");
}

TEST_F(PathTypes, MakePath) {
    cell proto{TYPE_DATATYPE, TYPE_PATH, 0, 0};
    struct row {
        cell spec;
        const char* mold;
    } rows[] = {{integer_value(0), ""}, {integer_value(-3), ""}, {integer_value(8), ""}};
    for (const row& r : rows) {
        cell* spec = push(r.spec);
        cell* p = push(*make_dispatch(&proto, spec, TYPE_PATH));
        EXPECT_EQ(mold(p), r.mold);
        block::ks_append(p, word("q"));
        EXPECT_EQ(mold(p), "q");
    }
    cell* text = string::make_at(stack::push_cell(), 4);
    string::concat_cstr(text, "x");
    EXPECT_EQ(raised_code([&] { make_dispatch(&proto, text, TYPE_PATH); }), code(script_error::bad_make_arg));
    cell* made = push(*make_dispatch(&proto, load("[a b]"), TYPE_SET_PATH));
    EXPECT_EQ(mold(made), "a/b:");
}

TEST_F(PathTypes, ParenMoldsLikeABlockInParentheses) {
    cell* p = push(*block::ks_abs_at(load("[(a b)]"), 0));
    EXPECT_EQ(mold(p), "(a b)");
    EXPECT_EQ(mold(p, true), "a b");
    cell* lines = push(*block::ks_abs_at(load("[(\n a\n b)]"), 0));
    EXPECT_EQ(mold(lines), "(\n    a\n    b\n)");
    // A paren that contains itself shows the cycle text.
    block::ks_append(p, p);
    EXPECT_EQ(mold(p), "(a b (...))");
}

TEST_F(PathTypes, PathRefusesRandomAndSortWhileParenTakesThem) {
    cell* path = push(*block::ks_abs_at(load("[c/b/a]"), 0));
    EXPECT_EQ(raised_code([&] { act<ACT_SORT>(path, false, nullptr, nullptr, nullptr, false, false, false); }),
              code(script_error::expect_arg));
    EXPECT_EQ(raised_code([&] { act<ACT_RANDOM>(path, false, false, false); }), code(script_error::expect_arg));
    cell* paren = push(*block::ks_abs_at(load("[(c b a)]"), 0));
    act<ACT_SORT>(paren, false, nullptr, nullptr, nullptr, false, false, false);
    EXPECT_EQ(mold(paren), "(a b c)");

    // Inherited series actions keep the path's own type.
    cell* base = frame({path});
    cell* result = stack::push(&unset_value);
    act<ACT_COPY>(base, result, nullptr, true, nullptr);
    EXPECT_EQ(mold(result), "c/b/a");
    cell* next = frame({path});
    series::next();
    EXPECT_EQ(mold(next), "b/a");
}

}  // namespace
}  // namespace kel::testing
