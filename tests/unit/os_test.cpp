#include <gtest/gtest.h>

#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "platform/command_line.h"
#include "runtime/heap.h"
#include "runtime/os.h"

using namespace kel;

TEST(Os, ZonePacking) {
    struct zone_case {
        int32_t minutes;
        uint32_t hours_field;
        uint32_t quarters;
    };
    const zone_case cases[] = {
        {-210, 0x13, 2},  // UTC-3:30
        {345, 5, 3},      // UTC+5:45
        {0, 0, 0},
        {-600, 0x1A, 0},
        {840, 14, 0},
        {-30, 0x10, 2},  // below an hour west keeps its sign
        {-44, 0x10, 2},
    };
    for (const zone_case& c : cases) {
        uint32_t zone = pack_zone(c.minutes);
        EXPECT_EQ(zone >> 2, c.hours_field) << c.minutes;
        EXPECT_EQ(zone & 3, c.quarters) << c.minutes;
    }
}

namespace {

// Runs f with the local zone set to a POSIX TZ text, restoring the zone after.
template <class F>
void with_zone(const char* tz, F f) {
    const char* old = getenv("TZ");
    std::string saved = old ? old : "";
    setenv("TZ", tz, 1);
    tzset();
    f();
    if (old) setenv("TZ", saved.c_str(), 1);
    else unsetenv("TZ");
    tzset();
}

uint32_t date_of(const tm& parts) {
    return static_cast<uint32_t>(parts.tm_year + 1900) << 17 | static_cast<uint32_t>(parts.tm_mon + 1) << 12 |
           static_cast<uint32_t>(parts.tm_mday) << 7;
}

}  // namespace

TEST(Os, DateCarriesTheLocalZone) {
    struct date_case {
        const char* tz;
        int32_t minutes;
    };
    const date_case cases[] = {{"XST3:30", -210}, {"XST-5:45", 345}, {"UTC0", 0}};
    for (const date_case& c : cases) {
        with_zone(c.tz, [&] {
            // Retried across a change of day between the two readings.
            uint32_t date, expected;
            do {
                time_t now = time(nullptr);
                tm parts{};
                localtime_r(&now, &parts);
                expected = date_of(parts) | pack_zone(c.minutes);
                date = os_get_date(false);
            } while (date != expected && (date & ~0x7Fu) != (expected & ~0x7Fu));
            EXPECT_EQ(date, expected) << c.tz;
            EXPECT_EQ(os_get_date(true) & 0x7F, 0u) << c.tz;
        });
    }
}

TEST(Os, TimeOfDay) {
    double whole = os_get_time(false);
    double precise = os_get_time(true);
    EXPECT_EQ(whole, std::floor(whole));
    EXPECT_GE(whole, 0.0);
    EXPECT_LT(precise, 86400.0);
    double since = precise - whole;
    if (since < 0) since += 86400;  // midnight passed between the calls
    EXPECT_LT(since, 2.0);
}

TEST(Os, SleepMilliseconds) {
    const std::pair<double, uint32_t> cases[] = {
        {0.0001, 1}, {2.5, 2500}, {0, 1}, {-3, 1}, {0.0019, 1}, {1e12, 0xFFFFFFFF},
        {std::numeric_limits<double>::quiet_NaN(), 1},
    };
    for (auto [seconds, ms] : cases) EXPECT_EQ(os_sleep_milliseconds(seconds), ms) << seconds;
}

TEST(Os, NormalizeAngle) {
    struct angle_case {
        double degrees;
        int32_t mode;
        double expected_degrees;
    };
    const angle_case cases[] = {
        {450, 0, 90}, {135, 0, -45}, {135, 2, 45}, {-270, 1, 90}, {-135, 2, -45}, {200, 1, -160}, {-100, 0, 80},
    };
    for (const angle_case& c : cases)
        EXPECT_DOUBLE_EQ(normalize_angle(c.degrees, c.mode), c.expected_degrees * M_PI / 180)
            << c.degrees << " mode " << c.mode;
}

TEST(Os, Environment) {
    ASSERT_TRUE(os_set_env("KEL_OS_TEST", "h\xC3\xA9llo"));
    char small[3] = "xy";
    EXPECT_EQ(os_get_env("KEL_OS_TEST", small, sizeof small), 7u);
    EXPECT_STREQ(small, "xy");
    char room[16];
    EXPECT_EQ(os_get_env("KEL_OS_TEST", room, sizeof room), 7u);
    EXPECT_STREQ(room, "h\xC3\xA9llo");
    EXPECT_TRUE(os_set_env("KEL_OS_TEST", nullptr));
    EXPECT_EQ(os_get_env("KEL_OS_TEST", room, sizeof room), 0u);
    EXPECT_FALSE(os_set_env("KEL=BAD", "x"));
}

TEST(Os, CurrentDirectory) {
    size_t length = 0;
    char* start = os_get_current_dir(&length);
    ASSERT_NE(start, nullptr);
    EXPECT_EQ(length, std::strlen(start));

    char dir_template[] = "/tmp/kel-os-\xC3\xA9-XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    ASSERT_TRUE(platform::set_current_dir(dir_template));
    char* now = os_get_current_dir(&length);
    EXPECT_STREQ(now, dir_template);
    EXPECT_FALSE(platform::set_current_dir("/nonexistent/kel"));

    EXPECT_TRUE(platform::set_current_dir(start));
    rmdir(dir_template);
    heap_free(now);
    heap_free(start);
}

TEST(Os, CommandLineIsRebuiltFromArguments) {
    struct line_case {
        std::vector<const char*> args;
        const char* line;
    };
    const line_case cases[] = {
        {{"kel"}, "kel"},
        {{"/opt/my kel/kel", "a", "b c"}, "\"/opt/my kel/kel\" a \"b c\""},
        {{"kel", "tab\there"}, "kel \"tab\there\""},
        {{"kel", ""}, "kel \"\""},
        {{"kel", "say \"hi\""}, "kel \"say \\\"hi\\\"\""},
        {{"kel", "dir\\ x\\"}, "kel \"dir\\ x\\\\\""},
        {{"kel", "a\\\"b"}, "kel \"a\\\\\\\"b\""},
        {{"kel", "back\\slash"}, "kel back\\slash"},
        {{"kel", "h\xC3\xA9"}, "kel h\xC3\xA9"},
    };
    for (const line_case& c : cases)
        EXPECT_EQ(join_command_line(static_cast<int>(c.args.size()), c.args.data()), c.line);
}

TEST(Os, ArgumentRecord) {
    const char* argv[] = {"kel", "--catch", "\xE2\x82\xAC script.kel"};
    const arg_record& record = parse_command_line(3, argv);
    ASSERT_EQ(record.count, 3);
    EXPECT_STREQ(record.args[1], "--catch");
    EXPECT_STREQ(record.args[2], "\xE2\x82\xAC script.kel");
    EXPECT_EQ(record.args[3], nullptr);
    EXPECT_STREQ(record.raw, "kel --catch \"\xE2\x82\xAC script.kel\"");
    EXPECT_EQ(&command_line_args(), &record);
}
