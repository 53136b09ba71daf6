#include "datatypes/time.h"

#include <cmath>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "datatypes/context.h"
#include "time_fixture.h"

using namespace kel;
using namespace kel::testing;

namespace {

using Time = TimeTest;

constexpr uint32_t BAD_TO_ARG = code_of(script_error::bad_to_arg);
constexpr uint32_t NOT_RELATED = code_of(script_error::not_related);
constexpr uint32_t INVALID_PATH = code_of(script_error::invalid_path);
constexpr uint32_t INVALID_ARG = code_of(script_error::invalid_arg);
constexpr uint32_t CANNOT_USE = code_of(script_error::cannot_use);
constexpr uint32_t OUT_OF_RANGE = code_of(script_error::out_of_range);

double scanned(const char* text) {
    double seconds = 0;
    EXPECT_TRUE(scan_time(reinterpret_cast<const uint8_t*>(text), std::strlen(text), &seconds))
        << text;
    return seconds;
}

bool refused(const char* text) {
    double seconds;
    return !scan_time(reinterpret_cast<const uint8_t*>(text), std::strlen(text), &seconds);
}

TEST_F(Time, FormAndMold) {
    struct {
        double seconds;
        const char* text;
    } cases[] = {
        {0, "0:00:00"},
        {3661.5, "1:01:01.5"},
        {-90, "-0:01:30"},
        {1e-7, "0:00:00"},
        {5, "0:00:05"},
        {0.25, "0:00:00.25"},
        {12.75, "0:00:12.75"},
        {12.3456789, "0:00:12.3457"},
        {360000, "100:00:00"},
        {5400, "1:30:00"},
        // Seconds that show as 60 carry instead of reading 0:00:60.
        {59.9999999, "0:01:00"},
        {3599.9999999, "1:00:00"},
        {-3599.9999999, "-1:00:00"},
    };
    for (auto& c : cases) {
        EXPECT_EQ(formed(duration(c.seconds)), c.text) << c.seconds;
        EXPECT_EQ(molded(duration(c.seconds)), c.text) << c.seconds;
    }
}

TEST_F(Time, MakeAndTo) {
    struct {
        cell spec;
        const char* text;
    } cases[] = {
        {dec(3661.5), "1:01:01.5"},
        {int_cell(90), "0:01:30"},
        {pct(0.5), "0:00:00.5"},
        {duration(60), "0:01:00"},
        {*block({}), "0:00:00"},
        {*block({int_cell(1), int_cell(2), int_cell(3)}), "1:02:03"},
        {*block({int_cell(-1), int_cell(30)}), "-1:30:00"},
        {*block({int_cell(0), int_cell(1), dec(2.5)}), "0:01:02.5"},
        {*text_value(" 1:30 "), "1:30:00"},
        {*text_value("-0:00:01.5"), "-0:00:01.5"},
        {*text_value("1:30 x"), "1:30:00"},  // the first value the text loads
    };
    for (auto& c : cases) {
        for (uint32_t slot : {ACT_MAKE, ACT_TO}) {
            cell t = convert(slot, TYPE_TIME, c.spec);
            EXPECT_EQ(TYPE_OF(&t), TYPE_TIME);
            EXPECT_EQ(formed(t), c.text);
        }
    }
    cell refusals[] = {
        *block({int_cell(1), int_cell(2), int_cell(3), int_cell(4)}),
        *block({int_cell(1), int_cell(-2)}),
        *block({int_cell(1), int_cell(2), int_cell(-3)}),
        *block({dec(1.5)}),
        *text_value("3600"),
        *text_value("1:30x"),
        cell{TYPE_LOGIC, 1, 0, 0},
    };
    for (auto& spec : refusals)
        EXPECT_EQ(raised_code([&] { convert(ACT_TO, TYPE_TIME, spec); }), BAD_TO_ARG)
            << TYPE_OF(&spec);
}

TEST_F(Time, Arithmetic) {
    cell r = run(ACT_DIVIDE, duration(3600), duration(1800));
    EXPECT_EQ(r.header, uint32_t{TYPE_FLOAT});
    EXPECT_EQ(cell_float(&r), 2.0);

    struct {
        uint32_t slot;
        cell left, right;
        const char* text;
    } cases[] = {
        {ACT_MULTIPLY, duration(3600), int_cell(2), "2:00:00"},
        {ACT_MULTIPLY, int_cell(2), duration(3600), "2:00:00"},
        {ACT_DIVIDE, duration(3600), int_cell(4), "0:15:00"},
        {ACT_ADD, duration(3600), duration(1800), "1:30:00"},
        {ACT_ADD, duration(3600), int_cell(1), "1:00:01"},
        {ACT_ADD, int_cell(1), duration(3600), "1:00:01"},
        {ACT_SUBTRACT, duration(60), duration(90), "-0:00:30"},
        {ACT_REMAINDER, duration(3700), duration(3600), "0:01:40"},
        {ACT_ADD, duration(3600), dt("1-Jan-2000"), "1-Jan-2000/1:00:00"},
    };
    for (auto& c : cases) EXPECT_EQ(formed(run(c.slot, c.left, c.right)), c.text);

    EXPECT_EQ(raised_code([] { run(ACT_MULTIPLY, duration(3600), duration(3600)); }), NOT_RELATED);
    EXPECT_EQ(raised_code([] { run(ACT_SUBTRACT, duration(3600), dt("1-Jan-2000")); }), NOT_RELATED);
    EXPECT_EQ(raised_code([] { run(ACT_ADD, duration(3600), char_cell('a')); }),
              code_of(script_error::invalid_type));
    // Power and the bitwise actions do not apply to times.
    EXPECT_EQ(type_action(TYPE_TIME, ACT_POWER), nullptr);
    EXPECT_NE(type_action(TYPE_TIME, ACT_NEGATE), nullptr);
}

TEST_F(Time, ComparesAsFloat) {
    cell hour = duration(3600), seconds = int_cell(3600), a = duration(60), b = duration(61);
    EXPECT_TRUE(actions::compare(&hour, &seconds, COMP_EQUAL));
    EXPECT_TRUE(actions::compare(&seconds, &hour, COMP_EQUAL));
    EXPECT_TRUE(actions::compare(&a, &b, COMP_LESSER));
}

TEST_F(Time, FieldsByPathAndPick) {
    cell t = duration(1 * 3600 + 30 * 60 + 45);
    cell r = path(t, word("hour"));
    EXPECT_EQ(TYPE_OF(&r), TYPE_INTEGER);
    EXPECT_EQ(integer::get(&r), 1);
    r = path(t, word("minute"));
    EXPECT_EQ(integer::get(&r), 30);
    r = path(t, word("Second"));
    EXPECT_EQ(TYPE_OF(&r), TYPE_FLOAT);
    EXPECT_EQ(cell_float(&r), 45.0);
    r = path(t, int_cell(2));
    EXPECT_EQ(integer::get(&r), 30);

    cell five = int_cell(5);
    r = path(t, word("minute"), &five);
    EXPECT_EQ(integer::get(&r), 5);
    EXPECT_EQ(formed(t), "1:05:45");

    EXPECT_EQ(raised_code([&] { path(t, int_cell(4)); }), INVALID_PATH);
    EXPECT_EQ(raised_code([&] { path(t, word("foo")); }), INVALID_PATH);
    EXPECT_EQ(raised_code([&] { path(t, dec(1)); }), INVALID_PATH);
    cell text = *text_value("x");
    EXPECT_EQ(raised_code([&] { path(t, word("hour"), &text); }), INVALID_ARG);
    cell half = dec(1.5);
    EXPECT_EQ(raised_code([&] { path(t, word("minute"), &half); }), INVALID_ARG);

    r = pick(t, word("hour"));
    EXPECT_EQ(integer::get(&r), 1);
    r = pick(t, int_cell(3));
    EXPECT_EQ(cell_float(&r), 45.0);
    EXPECT_EQ(raised_code([&] { pick(t, word("foo")); }), CANNOT_USE);
    EXPECT_EQ(raised_code([] { pick(duration(5400), int_cell(0)); }), OUT_OF_RANGE);
    EXPECT_EQ(raised_code([] { pick(duration(5400), int_cell(4)); }), OUT_OF_RANGE);
}

// Reading and setting agree on the sign: setting a field to what it reads changes nothing,
// and a negative hour makes the whole time negative.
TEST_F(Time, NegativeTimesReadAndSetAlike) {
    for (double seconds : {-5445.25, -1800.0, -59.5, -90061.0, 5445.25}) {
        for (const char* field : {"hour", "minute", "second"}) {
            cell t = duration(seconds);
            cell v = path(t, word(field));
            path(t, word(field), &v);
            EXPECT_EQ(cell_float(&t), seconds) << field << " " << seconds;
        }
    }
    struct {
        double seconds;
        const char* field;
        cell value;
        const char* text;
    } cases[] = {
        {5400, "hour", int_cell(-2), "-2:30:00"},
        {-5400, "hour", int_cell(2), "2:30:00"},
        {-1800, "hour", int_cell(0), "-0:30:00"},
        {-5400, "minute", int_cell(15), "-1:15:00"},
        {-5400, "minute", int_cell(75), "-2:15:00"},
        {-5415, "second", dec(-20), "-1:30:20"},
        {5415, "second", int_cell(75), "1:31:15"},
    };
    for (auto& c : cases) {
        cell t = duration(c.seconds);
        path(t, word(c.field), &c.value);
        EXPECT_EQ(formed(t), c.text) << c.field << " " << c.seconds;
        cell h = path(t, word("hour"));
        EXPECT_EQ(integer::get(&h), time::hours(cell_float(&t)));
    }
}

// A tracked set through an object's field tells the object, with the old and the new value.
TEST_F(Time, TrackedSetsNotifyTheOwningObject) {
    static std::vector<std::pair<std::string, std::string>> seen;
    seen.clear();
    _context::fire_on_set = [](cell*, cell*, cell* old_value, cell* new_value) {
        seen.emplace_back(formed(*old_value), formed(*new_value));
    };
    cell owner{TYPE_OBJECT, 0, 0, 0};
    cell field = word("t");
    auto set = [&](cell target, const char* element, cell value, bool tracked) {
        cell e = word(element);
        get_action_ptr_by_type<ACT_EVAL_PATH>(TYPE_OF(&target))(
            &target, &e, &value, nullptr, &owner, &field, 2, false, false, true, tracked);
    };
    set(duration(5400), "hour", int_cell(2), true);
    set(dt("1-Jan-2026"), "day", int_cell(2), true);
    set(duration(5400), "hour", int_cell(3), false);
    _context::fire_on_set = nullptr;
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], std::make_pair(std::string("1:30:00"), std::string("2:30:00")));
    EXPECT_EQ(seen[1], std::make_pair(std::string("1-Jan-2026"), std::string("2-Jan-2026")));
}

TEST_F(Time, RoundAndParity) {
    EXPECT_EQ(formed(round_value(duration(3601.6), cell{TYPE_UNSET, 0, 0, 0}, PLAIN)), "1:00:02");
    cell r = round_value(duration(3629), int_cell(60), PLAIN);
    EXPECT_EQ(TYPE_OF(&r), TYPE_TIME);
    EXPECT_EQ(formed(r), "1:00:00");
    EXPECT_EQ(formed(round_value(duration(1.26), dec(0.5), PLAIN)), "0:00:01.5");
    EXPECT_EQ(raised_code([] { round_value(duration(1), cash(1), PLAIN); }), NOT_RELATED);

    struct {
        double seconds;
        bool even;
    } cases[] = {{3, false}, {2.9999999, false}, {62, true}, {-2, true}, {-3.0000001, false}};
    for (auto& c : cases) {
        cell t = duration(c.seconds);
        EXPECT_EQ(time::even_q(&t), c.even) << c.seconds;
        EXPECT_EQ(time::odd_q(&t), !c.even) << c.seconds;
    }
}

TEST(TimeText, Scanner) {
    struct {
        const char* text;
        double seconds;
    } cases[] = {
        {"1:30", 5400},       {"1:30:15", 5415},       {"1:30:15.5", 5415.5},
        {"1:30:15,25", 5415.25}, {"1:30.5", 90.5},     {"-1:30", -5400},
        {"+0:01", 60},        {"1'000:00", 3600000},  {"0:00:00.000001", 1e-6},
        {"-0:00:01.5", -1.5}, {"1:75", 8100},
    };
    for (auto& c : cases) EXPECT_EQ(scanned(c.text), c.seconds) << c.text;
    for (const char* text : {"", "1", "1:", "1:30:", "1:-30", "1:30:-1", "1:30:1e2", "1::30",
                             "1:30:15:00", "1''0:00", "'1:00", "1:00x", "99999999999:00"})
        EXPECT_TRUE(refused(text)) << text;
}

}  // namespace
