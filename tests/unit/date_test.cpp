#include "datatypes/date.h"

#include "runtime/random.h"
#include "time_fixture.h"

using namespace kel;
using namespace kel::testing;

namespace {

using Date = TimeTest;

constexpr uint32_t BAD_TO_ARG = code_of(script_error::bad_to_arg);
constexpr uint32_t NOT_RELATED = code_of(script_error::not_related);
constexpr uint32_t INVALID_TYPE = code_of(script_error::invalid_type);
constexpr uint32_t INVALID_PATH = code_of(script_error::invalid_path);
constexpr uint32_t INVALID_ARG = code_of(script_error::invalid_arg);
constexpr uint32_t OUT_OF_RANGE = code_of(script_error::out_of_range);

int32_t int_of(const cell& c) {
    EXPECT_EQ(TYPE_OF(&c), TYPE_INTEGER);
    return integer::get(&c);
}

TEST_F(Date, Arithmetic) {
    struct {
        uint32_t slot;
        cell left, right;
        const char* text;
    } cases[] = {
        {ACT_ADD, dt("30-Jan-2026"), int_cell(2), "1-Feb-2026"},
        {ACT_ADD, int_cell(2), dt("30-Jan-2026"), "1-Feb-2026"},
        {ACT_SUBTRACT, dt("1-Mar-2024"), int_cell(1), "29-Feb-2024"},
        {ACT_SUBTRACT, dt("1-Mar-2023"), int_cell(1), "28-Feb-2023"},
        {ACT_SUBTRACT, dt("1-Mar-2000"), int_cell(1), "29-Feb-2000"},
        {ACT_SUBTRACT, dt("1-Mar-1900"), int_cell(1), "28-Feb-1900"},
        {ACT_ADD, dt("31-Dec-2025"), int_cell(1), "1-Jan-2026"},
        {ACT_ADD, dt("1-Jan-2026"), duration(25 * 3600), "2-Jan-2026/1:00:00"},
        {ACT_SUBTRACT, dt("1-Jan-2026"), duration(1), "31-Dec-2025/23:59:59"},
        {ACT_ADD, dt("1-Jan-2026/23:30+01:00"), duration(3600), "2-Jan-2026/0:30:00+01:00"},
        {ACT_ADD, dt("1/Mar/-4"), int_cell(-1), "29/Feb/-4"},
        {ACT_SUBTRACT, dt("1-Jan-2026"), dt("1-Jan-2025"), "365"},
        // The later date's earlier time of day takes a day off.
        {ACT_SUBTRACT, dt("2-Jan-2026/1:00"), dt("1-Jan-2026/23:00"), "0"},
        {ACT_SUBTRACT, dt("1-Jan-2025"), dt("1-Jan-2026"), "-365"},
    };
    for (auto& c : cases) EXPECT_EQ(formed(run(c.slot, c.left, c.right)), c.text) << c.text;

    EXPECT_EQ(raised_code([] { run(ACT_ADD, dt("1-Jan-2000"), dt("1-Jan-2000")); }),
              NOT_RELATED);
    EXPECT_EQ(raised_code([] { run(ACT_SUBTRACT, int_cell(1), dt("1-Jan-2000")); }),
              NOT_RELATED);
    EXPECT_EQ(raised_code([] { run(ACT_ADD, dt("1-Jan-2000"), dec(1.5)); }), INVALID_TYPE);
    EXPECT_EQ(raised_code([] { run(ACT_ADD, dt("1-Jan-2000"), int_cell(2147483647)); }),
              code_of(math_error::overflow));
}

TEST_F(Date, Form) {
    struct {
        const char* literal;
        const char* text;
    } cases[] = {
        {"9-Dec-2026", "9-Dec-2026"},
        {"9-Dec-2026/7:12:26+1:00", "9-Dec-2026/7:12:26+01:00"},
        {"9-Dec-2026/7:12:26.5", "9-Dec-2026/7:12:26.5"},
        {"15-Mar-2026/0:00-5:00", "15-Mar-2026/0:00:00-05:00"},
        {"1-Jan-2026/10:00+5:30", "1-Jan-2026/10:00:00+05:30"},
        {"1-Jan-2026/10:00-0:30", "1-Jan-2026/10:00:00-00:30"},
        {"1-Jan-0099", "1-Jan-0099"},
        {"1-Jan-0100", "1-Jan-100"},
        {"1/Jan/-44", "1/Jan/-44"},
    };
    for (auto& c : cases) {
        EXPECT_EQ(formed(dt(c.literal)), c.text);
        EXPECT_EQ(molded(dt(c.literal)), c.text);
    }
    cell bad = dt("1-Jan-2026");
    bad.w1 = (bad.w1 & ~0xF000u) | 13u << 12;
    EXPECT_EQ(raised_code([&] { formed(bad); }), code_of(script_error::invalid_months));
}

TEST_F(Date, MakeAndTo) {
    struct {
        uint32_t slot;
        cell spec;
        const char* text;
    } cases[] = {
        {ACT_TO, int_cell(0), "1-Jan-1970/0:00:00"},
        {ACT_TO, int_cell(-1), "31-Dec-1969/23:59:59"},
        {ACT_TO, int_cell(86400 * 365 + 3661), "1-Jan-1971/1:01:01"},
        {ACT_TO, *block({int_cell(32), int_cell(1), int_cell(2026)}), "1-Feb-2026"},
        {ACT_TO, *block({int_cell(1), int_cell(13), int_cell(2026)}), "1-Jan-2027"},
        {ACT_TO, *block({int_cell(1), int_cell(1), int_cell(2026), int_cell(24)}),
         "2-Jan-2026/0:00:00"},
        {ACT_MAKE, *block({int_cell(2026), int_cell(12), int_cell(9)}), "9-Dec-2026"},
        {ACT_MAKE, *block({int_cell(9), int_cell(12), int_cell(2026), int_cell(10), int_cell(30)}),
         "9-Dec-2026/10:30:00"},
        {ACT_MAKE,
         *block({int_cell(9), int_cell(12), int_cell(2026), duration(26046), int_cell(1)}),
         "9-Dec-2026/7:14:06+01:00"},
        {ACT_MAKE,
         *block({int_cell(9), int_cell(12), int_cell(2026), int_cell(7), int_cell(0), dec(1.5),
                 int_cell(-5), int_cell(30)}),
         "9-Dec-2026/7:00:01.5-05:30"},
        {ACT_MAKE,
         *block({int_cell(9), int_cell(12), int_cell(2026), duration(0), duration(-1800)}),
         "9-Dec-2026/0:00:00-00:30"},
        {ACT_MAKE, dt("9-Dec-2026"), "9-Dec-2026"},
    };
    for (auto& c : cases) {
        cell d = convert(c.slot, TYPE_DATE, c.spec);
        EXPECT_EQ(formed(d), c.text);
    }
    // A time that lands before the zone's midnight is stored less the offset and normalised.
    cell zoned = convert(ACT_MAKE, TYPE_DATE,
                         *block({int_cell(1), int_cell(1), int_cell(2026), duration(1800),
                                 int_cell(1)}));
    EXPECT_EQ(cell_float(&zoned), -1800.0);

    cell refusals[] = {
        *block({int_cell(32), int_cell(1), int_cell(2026)}),
        *block({int_cell(29), int_cell(2), int_cell(2025)}),
        *block({int_cell(1), int_cell(1), int_cell(2026), int_cell(24)}),
        *block({int_cell(1), int_cell(1), int_cell(2026), int_cell(10), int_cell(60)}),
        *block({int_cell(1), int_cell(1), int_cell(2026), duration(86400)}),
        *block({int_cell(1), int_cell(1)}),
        *block({int_cell(1), int_cell(1), int_cell(2026), dec(1.5)}),
        *block({int_cell(1), int_cell(1), int_cell(2026), int_cell(1), int_cell(2), int_cell(3),
                int_cell(16)}),
        *block({int_cell(1), int_cell(1), int_cell(2026), duration(0), int_cell(1), int_cell(2),
                int_cell(3)}),
        int_cell(0),
        *text_value("1-Jan-2026"),
    };
    for (auto& spec : refusals)
        EXPECT_EQ(raised_code([&] { convert(ACT_MAKE, TYPE_DATE, spec); }), BAD_TO_ARG);
    EXPECT_EQ(raised_code([] { convert(ACT_TO, TYPE_DATE, dec(1)); }), BAD_TO_ARG);

    cell seconds = convert(ACT_TO, TYPE_INTEGER, dt("1-Jan-1970/0:00:01"));
    EXPECT_EQ(int_of(seconds), 1);
    seconds = convert(ACT_TO, TYPE_INTEGER, dt("31-Dec-1969/23:00"));
    EXPECT_EQ(int_of(seconds), -3600);
    EXPECT_EQ(raised_code([] { convert(ACT_TO, TYPE_INTEGER, dt("1-Jan-2039")); }),
              code_of(script_error::type_limit));
}

TEST_F(Date, ReadFields) {
    struct {
        const char* literal;
        const char* field;
        int32_t value;
    } cases[] = {
        {"1-Jan-2000", "weekday", 6},     {"1-Jan-2000", "isoweek", 52},
        {"4-Jan-2021", "isoweek", 1},     {"31-Dec-2024", "isoweek", 1},
        {"1-Jan-2021", "isoweek", 53},    {"1-Jan-2022", "isoweek", 52},
        {"31-Dec-2024", "yearday", 366},  {"31-Dec-2024", "julian", 366},
        {"1-Jan-2026", "week", 1},        {"4-Jan-2026", "week", 2},
        {"3-Jan-2026", "week", 1},        {"9-Dec-2026", "year", 2026},
        {"9-Dec-2026", "month", 12},      {"9-Dec-2026", "day", 9},
        {"9-Dec-2026/7:12:26+1:00", "hour", 7},
        {"9-Dec-2026/7:12:26+1:00", "minute", 12},
        {"1-Jan-2026/0:30+1:00", "hour", 0},
        {"1-Jan-2026/0:30+1:00", "minute", 30},
        {"1-Jan-2026/0:30+1:00", "day", 1},
    };
    for (auto& c : cases) {
        cell d = dt(c.literal);
        EXPECT_EQ(int_of(path(d, word(c.field))), c.value) << c.literal << " " << c.field;
    }
    cell zoned = dt("1-Jan-2026/0:30+1:00");
    EXPECT_EQ(cell_float(&zoned), -1800.0);
    EXPECT_EQ(formed(path(zoned, word("time"))), "0:30:00");
    EXPECT_EQ(formed(path(zoned, word("zone"))), "1:00:00");
    EXPECT_EQ(formed(path(zoned, word("date"))), "1-Jan-2026");
    cell second = path(zoned, int_cell(date::FIELD_SECOND));
    EXPECT_EQ(TYPE_OF(&second), TYPE_FLOAT);
    cell plain = dt("1-Jan-2026");
    cell none = path(plain, word("time"));
    EXPECT_EQ(TYPE_OF(&none), TYPE_NONE);
    none = path(plain, word("zone"));
    EXPECT_EQ(TYPE_OF(&none), TYPE_NONE);

    EXPECT_EQ(int_of(pick(plain, int_cell(2))), 2026);
    EXPECT_EQ(int_of(pick(plain, word("day"))), 1);
    EXPECT_EQ(raised_code([&] { pick(plain, int_cell(15)); }), OUT_OF_RANGE);
    EXPECT_EQ(raised_code([&] { pick(plain, int_cell(0)); }), OUT_OF_RANGE);
    EXPECT_EQ(raised_code([&] { path(plain, int_cell(15)); }), INVALID_PATH);
    EXPECT_EQ(raised_code([&] { path(plain, word("foo")); }), INVALID_PATH);
}

TEST_F(Date, SetFields) {
    struct {
        const char* literal;
        const char* field;
        cell value;
        const char* text;
    } cases[] = {
        {"31-Jan-2026", "month", int_cell(2), "3-Mar-2026"},
        {"31-Jan-2024", "month", int_cell(2), "2-Mar-2024"},
        {"15-Jan-2026", "month", int_cell(0), "15-Dec-2025"},
        {"15-Jan-2026", "month", int_cell(13), "15-Jan-2027"},
        {"31-Jan-2026", "day", int_cell(0), "31-Dec-2025"},
        {"29-Feb-2024", "year", int_cell(2025), "1-Mar-2025"},
        {"9-Dec-2026", "date", dt("1-Feb-2020/10:00"), "1-Feb-2020/0:00:00"},
        {"9-Dec-2026/10:00", "date", dt("1-Feb-2020"), "1-Feb-2020"},
        {"1-Jan-2026/10:00", "zone", int_cell(2), "1-Jan-2026/10:00:00+02:00"},
        {"1-Jan-2026/10:00", "zone", duration(-5.5 * 3600), "1-Jan-2026/10:00:00-05:30"},
        {"1-Jan-2026/10:00", "zone", int_cell(17), "1-Jan-2026/10:00:00+01:00"},
        {"1-Jan-2026/0:30", "timezone", int_cell(-1), "31-Dec-2025/23:30:00-01:00"},
        {"1-Jan-2026/10:00+2:00", "timezone", int_cell(0), "1-Jan-2026/8:00:00"},
        {"1-Jan-2026/10:00+2:00", "time", none_value, "1-Jan-2026"},
        {"1-Jan-2026", "time", duration(3600), "1-Jan-2026/1:00:00"},
        {"1-Jan-2026/23:00", "time", duration(25 * 3600), "2-Jan-2026/1:00:00"},
        {"1-Jan-2026", "hour", int_cell(5), "1-Jan-2026/5:00:00"},
        {"1-Jan-2026/0:30+1:00", "minute", int_cell(45), "1-Jan-2026/0:45:00+01:00"},
        {"1-Jan-2026/0:30+1:00", "hour", int_cell(23), "1-Jan-2026/23:30:00+01:00"},
        {"1-Jan-2026/0:30+1:00", "second", dec(7.5), "1-Jan-2026/0:30:07.5+01:00"},
        {"1-Jan-2026/23:30", "minute", int_cell(90), "2-Jan-2026/0:30:00"},
        {"1-Jan-2026", "weekday", int_cell(1), "29-Dec-2025"},
        {"1-Jan-2026", "weekday", int_cell(7), "4-Jan-2026"},
        {"9-Dec-2026", "yearday", int_cell(32), "1-Feb-2026"},
        {"9-Dec-2026", "julian", int_cell(1), "1-Jan-2026"},
        {"9-Dec-2026", "week", int_cell(1), "1-Jan-2026"},
        {"9-Dec-2026", "week", int_cell(2), "4-Jan-2026"},
        {"9-Dec-2026", "isoweek", int_cell(1), "29-Dec-2025"},
        {"9-Dec-2020", "isoweek", int_cell(53), "28-Dec-2020"},
    };
    for (auto& c : cases) {
        cell d = dt(c.literal);
        cell r = path(d, word(c.field), &c.value);
        EXPECT_EQ(r.header, c.value.header);
        EXPECT_EQ(formed(d), c.text) << c.literal << " " << c.field;
    }
    cell d = dt("1-Jan-2026");
    cell text = *text_value("x");
    for (const char* field : {"year", "month", "day", "weekday", "week", "isoweek", "zone",
                              "time", "hour", "date"})
        EXPECT_EQ(raised_code([&] { path(d, word(field), &text); }), INVALID_ARG) << field;
    cell half = dec(1.5);
    EXPECT_EQ(raised_code([&] { path(d, word("hour"), &half); }), INVALID_ARG);
}

TEST_F(Date, Compare) {
    struct {
        const char* a;
        const char* b;
        int32_t order;
    } cases[] = {
        {"1-Jan-2000", "2-Jan-2000", -1},
        {"2-Jan-2000", "1-Jan-2000", 1},
        {"1-Jan-2000", "1-Jan-2000/0:00", 0},
        {"1-Jan-2000/10:00", "1-Jan-2000/9:59:59", 1},
        // One moment in two zones; and orders by the moment, not by the local date.
        {"1-Jan-2026/0:30+1:00", "31-Dec-2025/23:30", 0},
        {"1-Jan-2026/0:30+1:00", "31-Dec-2025/23:45", -1},
        {"31-Dec-2025/23:00-2:00", "1-Jan-2026/0:30", 1},
    };
    for (auto& c : cases) {
        cell a = dt(c.a), b = dt(c.b);
        EXPECT_EQ(compare_dispatch(&a, &b, COMP_LESSER), c.order) << c.a << " " << c.b;
        EXPECT_EQ(actions::compare(&a, &b, COMP_EQUAL), c.order == 0) << c.a << " " << c.b;
    }
    cell a = dt("1-Jan-2000"), n = int_cell(1);
    EXPECT_EQ(compare_dispatch(&a, &n, COMP_EQUAL), INCOMPARABLE);
    EXPECT_FALSE(actions::compare(&a, &n, COMP_EQUAL));
    cell b = dt("1-Jan-2000");
    EXPECT_EQ(compare_dispatch(&a, &b, COMP_SAME), 0);
}

TEST_F(Date, DifferenceAndRandom) {
    cell a = dt("2-Jan-2026/1:00"), b = dt("1-Jan-2026/23:00");
    date::difference(&a, &b);
    EXPECT_EQ(formed(a), "2:00:00");

    cell d = dt("9-Dec-2026/10:00+1:00");
    random_seed(d.w1 + 32400);
    uint32_t first = random_next();
    EXPECT_EQ(date::random(&d, true, false, false), &unset_value);
    EXPECT_EQ(random_next(), first);
    // A day from day 0 up to the date, a time of day in some zone.
    for (int i = 0; i < 20; i++) {
        cell r = d;
        date::random(&r, false, false, false);
        EXPECT_GE(date::to_days(r.w1), 0);
        EXPECT_LE(date::to_days(r.w1), date::to_days(d.w1) + 1);
        EXPECT_TRUE(date::has_time_q(r.w1));
        double local = cell_float(&r) + date::zone_seconds(date::zone_of(r.w1));
        EXPECT_TRUE(local >= 0 && local < 86400) << local;
    }
    cell plain = dt("9-Dec-2026");
    date::random(&plain, false, false, false);
    EXPECT_FALSE(date::has_time_q(plain.w1));
    EXPECT_LT(date::to_days(plain.w1), date::to_days(d.w1));
}

TEST_F(Date, MakeAtAndFields) {
    cell c{TYPE_NONE | CELL_NEW_LINE, 0, 0, 0};
    date::make_at(&c, 2026, 12, 9, 7 * 3600 + 30 * 60, -5, -30, true);
    EXPECT_EQ(c.header, TYPE_DATE | CELL_NEW_LINE);
    EXPECT_EQ(formed(c), "9-Dec-2026/7:30:00-05:30");
    date::make_at_fields(&c, 2026, 3, 1, 12, 0, 1, 500000000);
    EXPECT_EQ(formed(c), "1-Mar-2026/12:00:01.5");
}

// Day numbers and the calendar agree both ways, before year 0 too.
TEST(DateCalendar, DayNumbersRoundTrip) {
    int64_t previous = date::to_days(date::from_days(-800000, 0, false)) - 1;
    for (int64_t days = -800000; days <= 800000; days += 1) {
        uint32_t d = date::from_days(days, 0, false);
        ASSERT_EQ(date::to_days(d), days);
        ASSERT_EQ(days, previous + 1);
        previous = days;
        int32_t month = date::month_of(d), day = date::day_of(d), year = date::year_of(d);
        if (month == 2 && day == 29) {
            ASSERT_TRUE(date::leap_year_q(year)) << year;
        }
    }
    EXPECT_EQ(date::to_days(date::pack(0, 3, 1, 0, false)), 0);
    EXPECT_EQ(date::weekday(date::to_days(date::pack(1970, 1, 1, 0, false))), 4);
    EXPECT_EQ(date::weekday(date::to_days(date::pack(-1, 12, 31, 0, false))), 5);
}

TEST(DateText, Scanner) {
    struct {
        const char* text;
        const char* same_as;
    } cases[] = {
        {"2000-01-01", "1-Jan-2000"},
        {"1/Jan/2000", "1-Jan-2000"},
        {"1-2-2020", "1-Feb-2020"},
        {"2020-2-1", "1-Feb-2020"},
        {"1-january-2020", "1-Jan-2020"},
        {"1-SEPT-2020", "1-Sep-2020"},
        {"5-Feb-99", "5-Feb-1999"},
        {"5-Feb-49", "5-Feb-2049"},
        {"5-Feb-0049", "5-Feb-0049"},
        {"29-Feb-2000", "29-Feb-2000"},
        {"2020-W01", "30-Dec-2019"},
        {"2020-W05-3", "29-Jan-2020"},
        {"2020-032", "1-Feb-2020"},
        {"2020-366", "31-Dec-2020"},
        {"20200101T1030", "1-Jan-2020/10:30"},
        {"20200101T103015.5+0100", "1-Jan-2020/10:30:15.5+1:00"},
        {"2000-01-01T10:00:00Z", "1-Jan-2000/10:00"},
        {"1-Jan-2000/10:00+05:30", "1-Jan-2000/10:00+5:30"},
        {"1-Jan-2000/10:00-0530", "1-Jan-2000/10:00-5:30"},
    };
    for (auto& c : cases) {
        cell a = dt(c.text), b = dt(c.same_as);
        EXPECT_EQ(a.w1, b.w1) << c.text;
        EXPECT_EQ(cell_float(&a), cell_float(&b)) << c.text;
    }
    cell out;
    for (const char* text :
         {"29-Feb-2001", "0-Jan-2000", "32-Jan-2000", "1-Foo-2000", "1-Ja-2000", "1-Jan/2000",
          "1-13-2000", "1-Jan-2000x", "1-Jan-2000/24:00", "1-Jan-2000/10:60",
          "1-Jan-2000/10:00:60", "1-Jan-2000/10:00+16:00", "1-Jan-2000/10:00+1:20",
          "1-Jan-2000/10", "1-Jan-12345", "2020-W54", "2020-W05-8", "2021-366", "20200101",
          "20200101T10", "1-Jan-", ""})
        EXPECT_FALSE(date_text(text, &out)) << text;
}

}  // namespace
