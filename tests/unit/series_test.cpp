// Series base actions, driven through the action table on blocks.
#include <functional>

#include "runtime/error_catalog.h"
#include "tests/unit/series_fixture.h"

namespace kel::testing {
namespace {

using SeriesActions = SeriesTest;

constexpr uint32_t code(script_error e) { return error_code(ERR_SCRIPT, static_cast<uint32_t>(e)); }

cell at_head(const cell* s, int32_t head) {
    cell c = *s;
    c.w1 = static_cast<uint32_t>(head);
    return c;
}

TEST_F(SeriesActions, NavigationMovesTheHeadAndClamps) {
    struct row {
        uint32_t slot;
        int32_t head;
        int32_t arg;
        int32_t expected;
    } rows[] = {
        {ACT_AT, 1, 0, 1},    {ACT_AT, 1, 1, 1},   {ACT_AT, 1, -1, 0},  {ACT_AT, 1, 2, 2},
        {ACT_AT, 1, 10, 4},   {ACT_AT, 1, -9, 0},  {ACT_SKIP, 1, 0, 1}, {ACT_SKIP, 1, 2, 3},
        {ACT_SKIP, 1, -5, 0}, {ACT_NEXT, 4, 0, 4}, {ACT_NEXT, 3, 0, 4}, {ACT_BACK, 0, 0, 0},
        {ACT_BACK, 2, 0, 1},  {ACT_HEAD, 3, 0, 0}, {ACT_TAIL, 1, 0, 4},
    };
    cell* s = load("[1 2 3 4]");
    for (const row& r : rows) {
        cell start = at_head(s, r.head);
        cell arg = integer_value(r.arg);
        cell* base = frame({&start, &arg});
        reinterpret_cast<frame_fn>(type_action(TYPE_BLOCK, r.slot))();
        EXPECT_EQ(series::head_of(base), r.expected) << "slot " << r.slot << " from " << r.head;
        stack::top = base;
    }
    cell start = at_head(s, 1);
    cell word{TYPE_WORD, symbol("x"), 0, 0};
    frame({&start, &word});
    EXPECT_EQ(raised_code([] { series::at(); }), code(script_error::invalid_arg));
}

TEST_F(SeriesActions, QueriesAndLengthPullsAHeadPastTheTailBack) {
    cell* s = load("[1 2 3]");
    cell past = at_head(s, 3);
    cell* base = frame({&past});
    series::tail_q();
    EXPECT_EQ(base->w1, 1u);
    *base = at_head(s, 0);
    series::head_q();
    EXPECT_EQ(base->w1, 1u);
    *base = at_head(s, 1);
    series::index_q();
    EXPECT_EQ(int_of(base), 2);

    cell* shortened = push(at_head(s, 3));
    block::ks_set_tail(s, 1);
    EXPECT_EQ(act<ACT_LENGTH_Q>(shortened), 0);
    EXPECT_EQ(series::head_of(shortened), 1);
}

TEST_F(SeriesActions, PickReachesBeforeTheHeadAndPokeRefusesIndexZero) {
    cell* s = load("[a b c d]");
    s->w1 = 2;
    struct row {
        int32_t index;
        const char* expected;
    } rows[] = {{0, "none"}, {1, "c"}, {2, "d"}, {3, "none"}, {-1, "b"}, {-2, "a"}, {-3, "none"}};
    for (const row& r : rows) {
        cell index = integer_value(r.index);
        EXPECT_EQ(mold(act<ACT_PICK>(s, r.index, &index)), r.expected) << r.index;
    }
    cell* value = word("z");
    cell* index = integer(0);
    EXPECT_EQ(raised_code([&] { act<ACT_POKE>(s, 0, value, index); }), code(script_error::out_of_range));
    *index = integer_value(3);
    EXPECT_EQ(raised_code([&] { act<ACT_POKE>(s, 3, value, index); }), code(script_error::out_of_range));
    *index = integer_value(-1);
    EXPECT_EQ(mold(act<ACT_POKE>(s, -1, value, index)), "z");
    EXPECT_EQ(whole(s), "[a z c d]");
}

TEST_F(SeriesActions, Remove) {
    struct row {
        const char* series;
        int32_t head;
        const char* part;  // integer count, "@n" for a position at n, or null
        const char* key;
        const char* expected;
        bool none;
    } rows[] = {
        {"[1 2 3]", 0, nullptr, nullptr, "[2 3]", false},
        {"[1 2 3]", 1, "2", nullptr, "[1]", false},
        {"[1 2 3]", 0, "0", nullptr, "[1 2 3]", false},
        {"[1 2 3]", 0, "-1", nullptr, "[1 2 3]", false},
        {"[1 2 3]", 3, nullptr, nullptr, "[1 2 3]", false},
        {"[1 2 3 4]", 1, "@3", nullptr, "[1 4]", false},
        {"[a 1 b 2]", 0, nullptr, "b", "[a 1]", false},
        {"[a 1 b 2 c 3]", 0, "2", "b", "[a 1 3]", false},
        {"[a 1 b 2]", 0, nullptr, "q", "[a 1 b 2]", true},
    };
    for (const row& r : rows) {
        cell* s = load(r.series);
        s->w1 = static_cast<uint32_t>(r.head);
        cell* base = frame({s});
        cell* part = nullptr;
        if (r.part) part = refine(r.part[0] == '@' ? at_head(s, r.part[1] - '0') : integer_value(std::atoi(r.part)));
        cell* key = r.key ? refine(cell{TYPE_WORD, 0, symbol(r.key), static_cast<uint32_t>(-1)}) : nullptr;
        const cell* result = act<ACT_REMOVE>(base, part, key);
        EXPECT_EQ(whole(base), r.expected) << r.series;
        EXPECT_EQ(TYPE_OF(result) == TYPE_NONE, r.none) << r.series;
    }
}

TEST_F(SeriesActions, Reverse) {
    struct row {
        const char* series;
        int32_t part;  // 0: no /part
        int32_t skip;  // 0: no /skip
        const char* expected;
        uint32_t error;
    } rows[] = {
        {"[1 2 3 4 5 6]", 0, 0, "[6 5 4 3 2 1]", 0},
        {"[1 2 3 4 5 6]", 0, 2, "[5 6 3 4 1 2]", 0},
        {"[1 2 3 4 5 6]", 0, 3, "[4 5 6 1 2 3]", 0},
        {"[1 2 3 4 5 6]", 3, 0, "[3 2 1 4 5 6]", 0},
        {"[1 2 3 4 5 6]", 99, 0, "[6 5 4 3 2 1]", 0},
        {"[1 2 3 4 5 6]", 0, 6, "[1 2 3 4 5 6]", 0},
        {"[1 2 3 4 5 6]", 0, 4, "[1 2 3 4 5 6]", code(script_error::invalid_refine_arg)},
        {"[1 2 3 4 5 6]", 0, 7, "[1 2 3 4 5 6]", code(script_error::invalid_refine_arg)},
        {"[1 2 3 4 5 6]", 0, -1, "[1 2 3 4 5 6]", code(script_error::out_of_range)},
        {"[]", 0, 2, "[]", 0},
    };
    for (const row& r : rows) {
        cell* base = frame({load(r.series)});
        cell* part = r.part ? refine(integer_value(r.part)) : nullptr;
        cell* skip = r.skip ? refine(integer_value(r.skip)) : nullptr;
        EXPECT_EQ(raised_code([&] { act<ACT_REVERSE>(base, part, skip); }), r.error) << r.skip;
        EXPECT_EQ(whole(base), r.expected) << r.series << " part " << r.part << " skip " << r.skip;
    }
}

TEST_F(SeriesActions, TakeCountsPartsLastAndNegatives) {
    struct row {
        int32_t head;
        const char* part;  // integer, "@n" position, or null
        bool last;
        const char* taken;
        const char* rest;
        int32_t rest_head;
    } rows[] = {
        {0, nullptr, false, "1", "[2 3 4]", 0},
        {0, nullptr, true, "4", "[1 2 3]", 0},
        {0, "2", false, "[1 2]", "[3 4]", 0},
        {0, "2", true, "[3 4]", "[1 2]", 0},
        {0, "9", false, "[1 2 3 4]", "[]", 0},
        {0, "0", false, "[]", "[1 2 3 4]", 0},
        {2, "0", false, "[2]", "[1 3 4]", 1},
        {2, "-2", false, "[1 2]", "[3 4]", 0},
        {1, "-2", false, "[1]", "[2 3 4]", 0},
        {2, "-2", true, "[]", "[1 2 3 4]", 2},
        {1, "@3", false, "[2 3]", "[1 4]", 1},
        {1, "@2", true, "[3 4]", "[1 2]", 1},
    };
    for (const row& r : rows) {
        cell* s = load("[1 2 3 4]");
        s->w1 = static_cast<uint32_t>(r.head);
        cell* base = frame({s});
        cell* part = nullptr;
        if (r.part) part = refine(r.part[0] == '@' ? at_head(s, r.part[1] - '0') : integer_value(std::atoi(r.part)));
        cell* result = push(*act<ACT_TAKE>(base, part, false, r.last));
        EXPECT_EQ(mold(result), r.taken) << r.head << " " << (r.part ? r.part : "-") << " " << r.last;
        EXPECT_EQ(whole(base), r.rest) << r.head << " " << (r.part ? r.part : "-");
        EXPECT_EQ(series::head_of(base), r.rest_head);
    }
    cell* empty = load("[]");
    EXPECT_EQ(TYPE_OF(act<ACT_TAKE>(empty, nullptr, false, false)), uint32_t(TYPE_NONE));
}

TEST_F(SeriesActions, CopyPartWithPairsAndNegativeCounts) {
    struct row {
        cell part;
        bool has_part;
        const char* expected;
    } rows[] = {
        {{}, false, "[3 4 5]"},
        {integer_value(2), true, "[3 4]"},
        {integer_value(10), true, "[3 4 5]"},
        {integer_value(-2), true, "[1 2]"},
        {integer_value(-5), true, "[1 2]"},
        {cell{TYPE_PAIR, 0, 1, 3}, true, "[3 4]"},
        {cell{TYPE_PAIR, 0, uint32_t(-1), 1}, true, "[2 3]"},
        {cell{TYPE_PAIR, 0, 3, 1}, true, "[]"},
        {cell{TYPE_PAIR, 0, 9, 12}, true, "[]"},
    };
    cell* s = load("[1 2 3 4 5]");
    s->w1 = 2;
    for (const row& r : rows) {
        cell* base = frame({s});
        cell* result = stack::push(&unset_value);
        cell* part = r.has_part ? refine(r.part) : nullptr;
        EXPECT_EQ(mold(act<ACT_COPY>(base, result, part, false, nullptr)), r.expected);
        stack::top = base;
    }
    cell* base = frame({s});
    cell* result = stack::push(&unset_value);
    cell* position = refine(at_head(s, 3));
    EXPECT_EQ(mold(act<ACT_COPY>(base, result, position, false, nullptr)), "[3]");
    cell* foreign = refine(at_head(load("[1 2 3 4 5]"), 3));
    EXPECT_EQ(raised_code([&] { act<ACT_COPY>(base, result, foreign, false, nullptr); }),
              code(script_error::invalid_refine_arg));
}

TEST_F(SeriesActions, RandomShufflesInPlaceAndOnlyPicks) {
    cell* s = load("[1 2 3 4 5 6 7 8]");
    s->w1 = 2;
    act<ACT_RANDOM>(s, false, false, false);
    std::string shuffled = whole(s);
    EXPECT_EQ(shuffled.substr(0, 5), "[1 2 ");
    EXPECT_NE(shuffled, "[1 2 3 4 5 6 7 8]");
    cell* sorted = load(shuffled);
    act<ACT_SORT>(sorted, false, nullptr, nullptr, nullptr, false, false, false);
    EXPECT_EQ(whole(sorted), "[1 2 3 4 5 6 7 8]");

    std::string picked = mold(act<ACT_RANDOM>(s, false, false, true));
    EXPECT_NE(std::string("12"), picked);
    s->w1 = 8;
    EXPECT_EQ(TYPE_OF(act<ACT_RANDOM>(s, false, false, true)), uint32_t(TYPE_NONE));
}

TEST_F(SeriesActions, MoveWithinOneSeriesAndBetweenTwo) {
    struct row {
        int32_t from;
        int32_t to;
        int32_t part;
        const char* expected;
    } rows[] = {
        {0, 2, 1, "[b c a d e]"},
        {0, 5, 1, "[b c d e a]"},
        {0, 1, 2, "[c a b d e]"},   // target inside the moved range
        {3, 0, 1, "[d a b c e]"},
        {3, 0, 2, "[d e a b c]"},
        {1, 1, 1, "[a b c d e]"},
        {0, 4, 2, "[a b c d e]"},   // too few elements after the target
        {0, 3, 2, "[c d e a b]"},
    };
    for (const row& r : rows) {
        cell* s = load("[a b c d e]");
        cell* origin = push(at_head(s, r.from));
        cell* target = push(at_head(s, r.to));
        cell* base = frame({origin, target});
        cell* part = refine(integer_value(r.part));
        act<ACT_MOVE>(base, base + 1, part);
        EXPECT_EQ(whole(s), r.expected) << r.from << "->" << r.to << " /" << r.part;
    }
    cell* source = load("[1 2 3]");
    cell* target = load("[x y]");
    target->w1 = 1;
    cell* base = frame({source, target});
    act<ACT_MOVE>(base, base + 1, refine(integer_value(2)));
    EXPECT_EQ(whole(base), "[3]");
    EXPECT_EQ(whole(base + 1), "[x 1 2 y]");

    cell* text = stack::push_cell();
    string::make_at(text, 4);
    string::concat_cstr(text, "ab");
    base = frame({load("[1 2]"), text});
    EXPECT_EQ(raised_code([&] { act<ACT_MOVE>(base, base + 1, refine(integer_value(2))); }),
              code(script_error::move_bad));
    base = frame({load("[1 2]"), word("w")});
    EXPECT_EQ(raised_code([&] { act<ACT_MOVE>(base, base + 1, nullptr); }), code(script_error::expect_arg));
}

TEST_F(SeriesActions, ClearCutsAtTheHead) {
    cell* s = load("[1 2 3]");
    s->w1 = 1;
    act<ACT_CLEAR>(s);
    EXPECT_EQ(whole(s), "[1]");
}

// Each changing action tells an owned series' owner before and after, with the same words
// the owner's hook expects.
TEST_F(SeriesActions, OwnersAreToldBeforeAndAfterEveryChange) {
    struct row {
        const char* name;
        std::function<void(cell*)> run;
        owner_action before;
        owner_action after;
    };
    auto value = [] { return word("v"); };
    row rows[] = {
        {"clear", [](cell* s) { act<ACT_CLEAR>(s); }, owner_action::clear, owner_action::cleared},
        {"poke", [&](cell* s) { act<ACT_POKE>(s, 1, value(), integer(1)); }, owner_action::poke, owner_action::poked},
        {"remove", [](cell* s) { act<ACT_REMOVE>(s, nullptr, nullptr); }, owner_action::remove, owner_action::removed},
        {"reverse", [](cell* s) { act<ACT_REVERSE>(s, nullptr, nullptr); }, owner_action::reverse, owner_action::reversed},
        {"take", [](cell* s) { act<ACT_TAKE>(s, nullptr, false, false); }, owner_action::take, owner_action::taken},
        {"random", [](cell* s) { act<ACT_RANDOM>(s, false, false, false); }, owner_action::random, owner_action::randomized},
        {"append", [&](cell* s) { act<ACT_APPEND>(s, value(), -1, false, 1, true); }, owner_action::append, owner_action::appended},
        {"insert", [&](cell* s) { act<ACT_INSERT>(s, value(), -1, false, 1, false); }, owner_action::insert, owner_action::inserted},
        {"change", [&](cell* s) { act<ACT_CHANGE>(s, value(), -1, false, 1); }, owner_action::change, owner_action::changed},
        {"put", [&](cell* s) { act<ACT_PUT>(s, value(), value(), false); }, owner_action::put, owner_action::put_ed},
        {"sort", [](cell* s) { act<ACT_SORT>(s, false, nullptr, nullptr, nullptr, false, false, false); }, owner_action::sort, owner_action::sorted},
        {"trim", [](cell* s) { act<ACT_TRIM>(s, false, false, false, false, false, nullptr); }, owner_action::trim, owner_action::trimmed},
        {"swap", [](cell* s) { act<ACT_SWAP>(s, load("[q]")); }, owner_action::swap, owner_action::swaped},
        {"move", [](cell* s) { cell* t = push(at_head(s, 3)); act<ACT_MOVE>(s, t, nullptr); }, owner_action::move, owner_action::moved},
    };
    for (const row& r : rows) {
        cell* s = load("[3 1 2]");
        own(s);
        cell* base = frame({s});
        owner_calls.clear();
        r.run(base);
        ASSERT_EQ(owner_calls.size(), 2u) << r.name;
        EXPECT_EQ(owner_calls[0].action, r.before) << r.name;
        EXPECT_EQ(owner_calls[1].action, r.after) << r.name;
    }
    // No owner, no notification.
    cell* free = load("[1 2]");
    owner_calls.clear();
    act<ACT_CLEAR>(free);
    EXPECT_TRUE(owner_calls.empty());
}

}  // namespace
}  // namespace kel::testing
