#include <gtest/gtest.h>

#include "runtime/display_width.h"

using namespace kel;

namespace {

TEST(DisplayWidth, GeneratedTablesFollowUnicode14) {
    // One width class per code point: zero-width marks leave the wide and ambiguous tables.
    EXPECT_EQ(zero_width_table_length, 2 * 338u);
    EXPECT_EQ(wide_table_length, 2 * 122u);
    EXPECT_EQ(ambiguous_table_length, 2 * 176u);
    EXPECT_EQ(zero_width_table[0], 0x0300u);
    EXPECT_EQ(zero_width_table[zero_width_table_length - 1], 0xE01EFu);
    EXPECT_EQ(wide_table[0], 0x1100u);
    EXPECT_EQ(wide_table[wide_table_length - 1], 0x3FFFDu);
    EXPECT_EQ(ambiguous_table[0], 0x00A1u);
    EXPECT_EQ(ambiguous_table[ambiguous_table_length - 1], 0x10FFFDu);
}

TEST(DisplayWidth, Widths) {
    struct {
        uint32_t cp;
        int width;
        int ext;
    } cases[] = {
        {0x0000, 0, 0},   {0x0009, 1, 1},   {'a', 1, 1},      {0x007F, 1, 1},
        {0x0301, 0, 0},   // ambiguous but zero-width in both
        {0x1160, 0, 0},   {0x11FF, 0, 0},   {0xD7FF, 0, 0},   {0x0605, 0, 0},
        {0x1171E, 0, 0},  {0xE01EF, 0, 0},
        {0x200B, 1, 1},   {0x200D, 1, 1},   {0x00AD, 1, 2},   {0xFEFF, 1, 1},
        {0x115F, 2, 2},   {0x4E00, 2, 2},   {0xFF21, 2, 2},   {0x1F600, 2, 2},
        {0x302A, 0, 0},   // wide and combining: combining wins
        {0x3134B, 2, 2},  // unassigned in plane 3
        {0x1FAF7, 1, 1},  // assigned after 14.0
        {0x00B1, 1, 2},   {0xE000, 1, 2},   {0x10FFFD, 1, 2}, {0x10FFFF, 1, 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(char_display_width(c.cp), c.width) << std::hex << c.cp;
        EXPECT_EQ(char_display_width_ext(c.cp), c.ext) << std::hex << c.cp;
    }
}

TEST(DisplayWidth, RangeTableBounds) {
    const uint32_t table[] = {10, 12, 20, 20, 30, 40};
    struct {
        uint32_t cp;
        int in;
    } cases[] = {{9, 0}, {10, 1}, {12, 1}, {13, 0}, {20, 1}, {21, 0}, {30, 1}, {40, 1}, {41, 0}};
    for (const auto& c : cases) EXPECT_EQ(in_range_table(c.cp, table, 6), c.in) << c.cp;
}

}  // namespace
