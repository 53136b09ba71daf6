#include <gtest/gtest.h>

#include "runtime/case_folding.h"

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

}  // namespace
