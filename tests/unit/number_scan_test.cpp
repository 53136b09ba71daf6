#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "datatypes/number_scan.h"
#include "runtime/float_text.h"

using namespace kel;

namespace {

const uint8_t* bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }
uint32_t size(const std::string& s) { return static_cast<uint32_t>(s.size()); }

// The text in units of 2 or 4 bytes, little-endian.
std::vector<uint8_t> widened(const std::u32string& text, uint32_t unit) {
    std::vector<uint8_t> out(text.size() * unit);
    for (size_t i = 0; i < text.size(); i++) std::memcpy(&out[i * unit], &text[i], unit);
    return out;
}

}  // namespace

TEST(NumberScan, Integers) {
    struct { const char* text; int32_t value; int32_t error; } cases[] = {
        {"1'000'000", 1000000, 0},
        {"+7", 7, 0},
        {"'1'", 1, 0},
        {"2147483647", INT32_MAX, 0},
        {"-2147483648", INT32_MIN, 0},
        {"-2'147'483'648", INT32_MIN, 0},
        {"-2147483648'", INT32_MIN, 0},
        {"2147483648", 0, SCAN_OVERFLOW},
        {"-2147483649", 0, SCAN_OVERFLOW},
        {"-21474836480", 0, SCAN_OVERFLOW},  // more digits after the minimum
        {"-2147483648a", INT32_MIN, SCAN_INVALID},
        {"-2147483648 ", INT32_MIN, SCAN_INVALID},
        {"12a", 12, SCAN_INVALID},
        {"1+2", 1, SCAN_INVALID},
        {"", 0, SCAN_INVALID},
        {"-", 0, SCAN_INVALID},
        {"''", 0, SCAN_INVALID},
    };
    for (auto& c : cases) {
        int32_t error = 99;
        std::string text = c.text;
        int32_t value = scan_integer(bytes(text), size(text), 1, error);
        EXPECT_EQ(error, c.error) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
    }
}

TEST(NumberScan, WideUnits) {
    for (uint32_t unit : {2u, 4u}) {
        int32_t error = 99;
        auto text = widened(U"-1'234", unit);
        EXPECT_EQ(scan_integer(text.data(), 6, unit, error), -1234);
        EXPECT_EQ(error, 0);
        text = widened(U"2,5e1", unit);
        EXPECT_EQ(scan_float(text.data(), 5, unit, error), 25.0);
        EXPECT_EQ(error, 0);
        // A character outside ASCII is not a digit, whatever its low byte.
        text = widened(U"1\u0131", unit);
        scan_integer(text.data(), 2, unit, error);
        EXPECT_EQ(error, SCAN_INVALID);
        scan_float(text.data(), 2, unit, error);
        EXPECT_EQ(error, SCAN_INVALID);
    }
}

TEST(NumberScan, Floats) {
    struct { const char* text; double value; } good[] = {
        {"1,5", 1.5}, {"1'234.5", 1234.5}, {"1.5e3", 1500.0}, {"-2.5E-2", -0.025},
        {"+.5", 0.5}, {"1.", 1.0}, {"12", 12.0}, {"1e+2", 100.0}, {"1.5'5", 1.55},
    };
    for (auto& c : good) {
        int32_t error = 99;
        std::string text = c.text;
        EXPECT_EQ(scan_float(bytes(text), size(text), 1, error), c.value) << c.text;
        EXPECT_EQ(error, 0) << c.text;
    }
    const char* bad[] = {"", "1.5e", "1''0", "abc", "1e+", "1.e5", "--1", "+-1", "1 ", "1.5.5"};
    for (const char* text : bad) {
        int32_t error = 0;
        std::string s = text;
        EXPECT_TRUE(std::isnan(scan_float(bytes(s), size(s), 1, error))) << text;
        EXPECT_EQ(error, SCAN_INVALID) << text;
    }
}

TEST(NumberScan, FloatTextLengths) {
    // Around the old fixed buffer (31 characters) and at the longest text accepted.
    for (size_t length : {30, 31, 32, 33, 311, 312}) {
        std::string text = "0." + std::string(length - 3, '0') + "5";
        int32_t error = 99;
        double value = scan_float(bytes(text), size(text), 1, error);
        EXPECT_EQ(error, 0) << length;
        std::ptrdiff_t unread;
        EXPECT_EQ(value, parse_float_text(text.data(), text.data() + length, 0, unread)) << length;
    }
    std::string too_long = std::string(FLOAT_TEXT_MAX + 1, '1');
    int32_t error = 0;
    scan_float(bytes(too_long), size(too_long), 1, error);
    EXPECT_EQ(error, SCAN_INVALID);
}

TEST(NumberScan, FloatSyntax) {
    struct { const char* text; bool ok; } cases[] = {
        {"1", true}, {"+-1", true}, {"1'0", true}, {"1'", true}, {"1''0", false},
        {"1.5e-3", true}, {"1e", false}, {"e1", false}, {"1.e5", false}, {".5e2", true},
        {"1.5'5", true}, {"1.5e3'", false}, {"1x", false}, {"", false},
    };
    for (auto& c : cases)
        EXPECT_EQ(float_syntax_q(c.text, c.text + std::strlen(c.text)), c.ok) << c.text;
    std::string long_text(FLOAT_TEXT_MAX + 1, '1');
    EXPECT_FALSE(float_syntax_q(long_text.data(), long_text.data() + long_text.size()));
}

TEST(NumberScan, Tuples) {
    struct { const char* text; uint32_t count; std::vector<uint8_t> bytes; } good[] = {
        {"1.2.3", 3, {1, 2, 3}},
        {"255.0.0.128", 4, {255, 0, 0, 128}},
        {"1.2", 3, {1, 2, 0}},  // padded to three
        {"1.2.3.4.5.6.7.8.9.10.11.12", 12, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
    };
    for (auto& c : good) {
        cell t{};
        int32_t error = 99;
        std::string text = c.text;
        scan_tuple(bytes(text), size(text), 1, error, &t);
        ASSERT_EQ(error, 0) << c.text;
        EXPECT_EQ(TYPE_OF(&t), uint32_t(TYPE_TUPLE));
        EXPECT_EQ(t.header >> 19 & 0xF, c.count) << c.text;
        EXPECT_EQ(std::memcmp(&t.w1, c.bytes.data(), c.bytes.size()), 0) << c.text;
    }
    const char* bad[] = {"1.2.256", "1.2.3.4.5.6.7.8.9.10.11.12.13", "1.2.99999999999", "1.a.3"};
    for (const char* text : bad) {
        cell t{TYPE_NONE, 0, 0, 0};
        int32_t error = 0;
        std::string s = text;
        scan_tuple(bytes(s), size(s), 1, error, &t);
        EXPECT_EQ(error, SCAN_INVALID) << text;
        EXPECT_EQ(TYPE_OF(&t), uint32_t(TYPE_NONE)) << text;
    }
}
