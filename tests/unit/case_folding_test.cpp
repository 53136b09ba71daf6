#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "runtime/case_folding.h"
#include "runtime/error_catalog.h"
#include "runtime_fixture.h"

using namespace kel;

namespace {

class CaseFolding : public ::testing::Test {
protected:
    static void SetUpTestSuite() { case_folding_init(); }
};

TEST_F(CaseFolding, GeneratedTablesHaveTheUnicode11Pairs) {
    EXPECT_EQ(case_upper_pairs_count, 1250u);
    EXPECT_EQ(case_lower_pairs_count, 1158u);
    EXPECT_EQ(case_upper_astral_pairs_count, 225u);
    EXPECT_EQ(case_lower_astral_pairs_count, 225u);
    EXPECT_EQ(case_upper_pairs[0].from, 0x61u);
    EXPECT_EQ(case_upper_pairs[case_upper_pairs_count - 1].from, 0xFF5Au);
    EXPECT_EQ(case_lower_pairs[0].from, 0x41u);
    EXPECT_EQ(case_lower_pairs[case_lower_pairs_count - 1].from, 0xFF3Au);
}

TEST_F(CaseFolding, MapsCodePoints) {
    struct {
        uint32_t cp;
        int upper;
        uint32_t expected;
    } cases[] = {
        {'a', 1, 'A'},          {'Z', 0, 'z'},          {'1', 1, '1'},
        {0x00DF, 1, 'S'},       // several code points: the first one
        {0x0149, 1, 0x02BC},    {0x1F80, 1, 0x1F08},    {0x00FF, 1, 0x0178},
        {0x0130, 0, 'i'},       {0x03A3, 0, 0x03C3},    {0x10428, 1, 0x10400},
        {0x10400, 0, 0x10428},  {0x1E900, 0, 0x1E922},  {0x1E921, 0, 0x1E943},
        // Above the last mapped value of the upper-casing list, still upper-cased.
        {0x1E922, 1, 0x1E900},  {0x1E943, 1, 0x1E921},
        {0x1E944, 1, 0x1E944},  {0x1F600, 0, 0x1F600}, {0x103FF, 0, 0x103FF},
        {0xA7C0, 0, 0xA7C0},    // added after 11.0
        {0x10FFFF, 1, 0x10FFFF},
    };
    for (const auto& c : cases)
        EXPECT_EQ(case_fold_char(c.cp, c.upper), c.expected) << std::hex << c.cp << " " << c.upper;
}

TEST_F(CaseFolding, SwapsCase) {
    EXPECT_EQ(swap_case_char('a'), 'A');
    EXPECT_EQ(swap_case_char('A'), 'a');
    EXPECT_EQ(swap_case_char('1'), '1');
    EXPECT_EQ(swap_case_char(0x10400), 0x10428u);
    EXPECT_EQ(to_upper_char(0x00E9), 0x00C9u);
}

using chars = std::vector<uint32_t>;

class ChangeCase : public kel::testing::RuntimeTest {
protected:
    static void SetUpTestSuite() { case_folding_init(); }

    // A string value on the stack over a new buffer of the given unit.
    static cell* text(const chars& cps, uint32_t unit, uint32_t head = 0) {
        node_id node = alloc_series(cps.size() + 1, unit, 0);
        series_buffer* b = node_buffer(node);
        for (uint32_t cp : cps) {
            std::memcpy(b->tail, &cp, unit);  // little-endian: the low bytes
            b->tail += unit;
        }
        cell* value = stack::push_cell();
        set_series_value(value, TYPE_STRING, node, head);
        return value;
    }

    static chars read(const cell* value) {
        series_buffer* b = node_buffer(series_node(value));
        chars out;
        for (uint8_t* p = b->offset; p < b->tail; p += b->unit()) {
            uint32_t cp = 0;
            std::memcpy(&cp, p, b->unit());
            out.push_back(cp);
        }
        return out;
    }

    static uint32_t unit_of(const cell* value) { return node_buffer(series_node(value))->unit(); }
};

chars ascii(const char* s) { return chars(s, s + std::strlen(s)); }

TEST_F(ChangeCase, SharpSUpperCasesToOneS) {
    cell* s = text({'s', 't', 'r', 'a', 0xDF, 'e'}, 1);
    change_case(s, nullptr, 1);
    EXPECT_EQ(read(s), ascii("STRASE"));
}

TEST_F(ChangeCase, WidensWhenTheMappedCharacterNeedsIt) {
    // The y with diaeresis upper-cases beyond Latin-1; the characters after it still change.
    cell* s = text({'a', 0xFF, 'b', 0xFF}, 1);
    change_case(s, nullptr, 1);
    EXPECT_EQ(unit_of(s), 2u);
    EXPECT_EQ(read(s), (chars{'A', 0x178, 'B', 0x178}));

    cell* part = text({'a', 'a', 0xFF, 0xFF}, 1);
    cell count{TYPE_INTEGER, 0, 3, 0};
    change_case(part, &count, 1);
    EXPECT_EQ(read(part), (chars{'A', 'A', 0x178, 0xFF}));

    cell* deseret = text({'x', 0x10400}, 4);
    change_case(deseret, nullptr, 0);
    EXPECT_EQ(read(deseret), (chars{'x', 0x10428}));
}

TEST_F(ChangeCase, PartLimits) {
    struct {
        int32_t count;
        const char* expected;
    } cases[] = {{3, "ABCdef"}, {0, "abcdef"}, {-2, "abcdef"}, {100, "ABCDEF"}};
    for (const auto& c : cases) {
        cell* s = text(ascii("abcdef"), 1);
        cell count{TYPE_INTEGER, 0, static_cast<uint32_t>(c.count), 0};
        change_case(s, &count, 1);
        EXPECT_EQ(read(s), ascii(c.expected)) << c.count;
    }

    cell* s = text(ascii("abcdef"), 1, 1);
    cell end = *s;
    end.w1 = 4;
    change_case(s, &end, 1);
    EXPECT_EQ(read(s), ascii("aBCDef"));

    // Ending before the head: nothing changes.
    end.w1 = 0;
    change_case(s, &end, 1);
    EXPECT_EQ(read(s), ascii("aBCDef"));
}

TEST_F(ChangeCase, PartOfAnotherBufferOrTypeIsRefused) {
    cell* s = text(ascii("abc"), 1);
    cell* other = text(ascii("abc"), 1);
    cell file = *s;
    set_type(&file, TYPE_FILE);
    const uint32_t invalid_refine_arg =
        error_code(ERR_SCRIPT, static_cast<uint32_t>(script_error::invalid_refine_arg));
    EXPECT_EQ(kel::testing::raised_code([&] { change_case(s, other, 1); }), invalid_refine_arg);
    EXPECT_EQ(kel::testing::raised_code([&] { change_case(s, &file, 1); }), invalid_refine_arg);
    EXPECT_EQ(read(s), ascii("abc"));
}

TEST_F(ChangeCase, HeadPastTheTailMovesToTheTail) {
    cell* s = text(ascii("ab"), 1, 5);
    change_case(s, nullptr, 1);
    EXPECT_EQ(series_head(s), 2u);
    EXPECT_EQ(read(s), ascii("ab"));
}

TEST_F(ChangeCase, CharValues) {
    cell c{TYPE_CHAR, 0, 0x1E900, 0};
    change_case(&c, nullptr, 0);
    EXPECT_EQ(c.w2, 0x1E922u);
    change_case(&c, nullptr, 1);
    EXPECT_EQ(c.w2, 0x1E900u);
}

}  // namespace
