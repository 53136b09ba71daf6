#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "runtime/float_text.h"

using namespace kel;

namespace {

const double INF = std::numeric_limits<double>::infinity();
const double NaN = std::numeric_limits<double>::quiet_NaN();

std::string form(double value, int n, bool keep_zero) {
    float_text out;
    int length = form_float(value, n, keep_zero, out);
    EXPECT_EQ(length, static_cast<int>(std::strlen(out)));
    return {out, static_cast<size_t>(length)};
}

double parse(const std::string& text, int shift = 0, std::ptrdiff_t* unread = nullptr) {
    std::ptrdiff_t left = -1;
    double value = parse_float_text(text.data(), text.data() + text.size(), shift, left);
    if (unread) *unread = left;
    return value;
}

uint64_t bits(double d) { return std::bit_cast<uint64_t>(d); }

// 1 + 2^-53, exactly half-way between 1.0 and the next double.
const std::string HALF_WAY_ABOVE_ONE = "1.00000000000000011102230246251565404236316680908203125";

}  // namespace

TEST(FloatText, FormLayout) {
    struct Case {
        double value;
        int n;
        bool keep_zero;
        const char* text;
    } cases[] = {
        {0.1 + 0.2, 0, true, "0.30000000000000004"},
        {0.1, 0, true, "0.1"},
        {3.0, 0, true, "3.0"},
        {100.0, 0, true, "100.0"},
        {100.0, 0, false, "100"},
        {-2.5, 0, true, "-2.5"},
        {123.456, 0, true, "123.456"},
        {1e16, 0, true, "10000000000000000.0"},
        {12345678901234568.0, 0, true, "12345678901234568.0"},
        {1e17, 0, true, "1.0e17"},
        {1e17, 0, false, "1e17"},
        {1.2345678901234568e17, 0, true, "1.2345678901234568e17"},
        {1e20, 0, true, "1.0e20"},
        {1e-6, 0, true, "0.000001"},
        {1e-7, 0, true, "0.0000001"},
        {-1.5e-8, 0, true, "-1.5e-8"},
        {5e-324, 0, true, "5.0e-324"},
        {5e-324, 0, false, "5e-324"},
        {1.7976931348623157e308, 0, true, "1.7976931348623157e308"},
        // Fixed digit counts: correctly rounded, ties to even, trailing zeros dropped.
        {3.14159265, 6, false, "3.14159"},
        {2.5, 1, false, "2"},
        {3.5, 1, false, "4"},
        {9.9999999, 3, false, "10"},
        {9.9999999, 3, true, "10.0"},
        {123456789.0, 6, false, "123457000"},
        {0.1, 20, true, "0.10000000000000000555"},
        // Counts above 30 are cut to 30; the longest text there is still fits.
        {0.1, 50, true, "0.100000000000000005551115123126"},
        {-9.87654321e-7, 30, true, "-0.000000987654321000000089987970811056"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(form(c.value, c.n, c.keep_zero), c.text) << c.text;
}

TEST(FloatText, SpecialValues) {
    struct Case {
        double value;
        bool keep_zero;
        const char* text;
        int point;
        bool negative;
    } cases[] = {
        {INF, true, "1.#INF", POINT_INF_NAN, false},     {INF, false, "1.#INF", POINT_INF_NAN, false},
        {-INF, true, "-1.#INF", POINT_INF_NAN, true},    {-INF, false, "-1.#INF", POINT_INF_NAN, true},
        {NaN, true, "1.#NaN", POINT_INF_NAN, false},     {-NaN, false, "1.#NaN", POINT_INF_NAN, false},
        {0.0, true, "0.0", POINT_ZERO, false},           {0.0, false, "0", POINT_ZERO, false},
        {-0.0, true, "-0.0", POINT_ZERO, true},          {-0.0, false, "-0", POINT_ZERO, true},
    };
    for (const Case& c : cases) {
        float_text buffer;
        float_digits d = float_to_digits(c.value, 0, c.keep_zero, buffer);
        EXPECT_STREQ(d.text, c.text);
        EXPECT_EQ(d.count, static_cast<int>(std::strlen(c.text)));
        EXPECT_EQ(d.point, c.point) << c.text;
        EXPECT_EQ(d.negative, c.negative) << c.text;
        EXPECT_EQ(form(c.value, 0, c.keep_zero), c.text);
        EXPECT_EQ(form(c.value, 6, c.keep_zero), c.text);
    }
}

TEST(FloatText, DigitsLeaveRoomForTheSign) {
    float_text buffer;
    float_digits d = float_to_digits(-123.45, 0, true, buffer);
    EXPECT_STREQ(d.text, "12345");
    EXPECT_EQ(d.text, buffer + 1);
    EXPECT_EQ(d.point, 3);
    EXPECT_EQ(d.count, 5);
    EXPECT_TRUE(d.negative);

    d = float_to_digits(1e-7, 0, true, buffer);
    EXPECT_STREQ(d.text, "1");
    EXPECT_EQ(d.point, -6);
}

TEST(FloatText, Parse) {
    struct Case {
        const char* text;
        int shift;
        double value;
        std::ptrdiff_t unread;
    } cases[] = {
        {"0.30000000000000004", 0, 0.1 + 0.2, 0},
        {"+000123.4500e+2", 0, 12345.0, 0},
        {"-.5", 0, -0.5, 0},
        {"7.", 0, 7.0, 0},
        {"0.5e", 0, 0.5, 1},
        {"1e-", 0, 1.0, 0},
        {"1.5x", 0, 1.5, 1},
        {"1e16", 0, 1e16, 0},
        {"1.5e-8", 0, 1.5e-8, 0},
        {"5e-324", 0, 5e-324, 0},
        {"2.4703282292062328e-324", 0, 5e-324, 0},
        {"1.7976931348623158e308", 0, 1.7976931348623157e308, 0},
        {"1e309", 0, INF, 0},
        {"1.7976931348623159e308", 0, INF, 0},
        {"-1e309", 0, -INF, 0},
        {"1e99999999999999999999", 0, INF, 0},
        {"1.#INF", 0, INF, 2},
        {"-1.#inf", 0, -INF, 2},
        // 40 significant digits: just above the tie between 2^53 and 2^53 + 2.
        {"9007199254740993.000000000000000000000001", 0, 9007199254740994.0, 0},
        {"9007199254740993", 0, 9007199254740992.0, 0},
        // The shift moves the decimal exponent before rounding: not the same as dividing by 100.
        {"50", -2, 0.5, 0},
        {"12.5", -2, 0.125, 0},
        {"0.07", -2, 0.0007, 0},
        {"1e310", -2, 1e308, 0},
    };
    for (const Case& c : cases) {
        std::ptrdiff_t unread;
        double value = parse(c.text, c.shift, &unread);
        EXPECT_EQ(bits(value), bits(c.value)) << c.text << " gave " << value;
        EXPECT_EQ(unread, c.unread) << c.text;
    }
    EXPECT_NE(bits(parse("0.07", -2)), bits(0.07 / 100));
}

TEST(FloatText, ParseZerosAndUnderflowKeepTheSign) {
    for (const char* text : {"0", "0.0", "0e999", "1e-400", "2.4703282292062327e-324", ""})
        EXPECT_EQ(bits(parse(text)), bits(0.0)) << text;
    for (const char* text : {"-0", "-0.0", "-1e-400", "-"})
        EXPECT_EQ(bits(parse(text)), bits(-0.0)) << text;
}

TEST(FloatText, ParseNaN) {
    for (const char* text : {"1.#NaN", "1.#nan", "-1.#NaN"}) {
        std::ptrdiff_t unread;
        EXPECT_TRUE(std::isnan(parse(text, 0, &unread))) << text;
        EXPECT_EQ(unread, 2);
    }
}

TEST(FloatText, LongTextsRoundCorrectly) {
    // The exact tie goes to even (1.0); any non-zero digit after it, however far, rounds up.
    double above = std::nextafter(1.0, 2.0);
    EXPECT_EQ(parse(HALF_WAY_ABOVE_ONE), 1.0);

    std::string longest = HALF_WAY_ABOVE_ONE;
    longest.resize(FLOAT_TEXT_MAX - 1, '0');
    EXPECT_EQ(parse(longest + "0"), 1.0);
    EXPECT_EQ(parse(longest + "1"), above);

    std::string far = HALF_WAY_ABOVE_ONE + std::string(5000, '0');
    EXPECT_EQ(parse(far), 1.0);
    EXPECT_EQ(parse(far + "1"), above);
    EXPECT_EQ(parse("0.001" + far.substr(2) + "1e3"), above);
}

TEST(FloatText, ShortestDigitsReadBack) {
    std::mt19937_64 random(20261210);
    for (int i = 0; i < 200000; ++i) {
        double value = std::bit_cast<double>(random());
        if (!std::isfinite(value)) continue;
        float_text text;
        int length = form_float(value, 0, true, text);
        std::ptrdiff_t unread;
        EXPECT_EQ(bits(parse_float_text(text, text + length, 0, unread)), bits(value)) << text;
        ASSERT_EQ(unread, 0) << text;
    }
}
