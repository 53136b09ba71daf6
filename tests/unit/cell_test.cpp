#include <gtest/gtest.h>

#include "runtime/cell.h"

using namespace kel;

TEST(Cell, TypeSettingKeepsFlags) {
    cell c{TYPE_INTEGER | CELL_NEW_LINE, 1, 2, 3};
    set_type(&c, TYPE_FLOAT);
    EXPECT_EQ(TYPE_OF(&c), TYPE_FLOAT);
    EXPECT_EQ(c.header & CELL_NEW_LINE, CELL_NEW_LINE);
    EXPECT_EQ(clear_header_flag(c.header), static_cast<uint32_t>(TYPE_FLOAT));
}

TEST(Cell, DoubleLivesInW2W3) {
    cell c{TYPE_FLOAT, 7, 0, 0};
    set_cell_float(&c, -2.5);
    EXPECT_EQ(cell_float(&c), -2.5);
    EXPECT_EQ(c.w1, 7u);
}

TEST(Cell, TypesetBits) {
    cell ts{TYPE_TYPESET, 0, 0, 0};
    typeset_add(&ts, TYPE_INTEGER);
    typeset_add(&ts, TYPE_EVENT);
    EXPECT_TRUE(typeset_has(&ts, TYPE_INTEGER));
    EXPECT_TRUE(typeset_has(&ts, TYPE_EVENT));
    EXPECT_FALSE(typeset_has(&ts, TYPE_FLOAT));
    // integer! is byte 1, bit 0x80 >> 3.
    EXPECT_EQ(reinterpret_cast<uint8_t*>(&ts.w1)[1], 0x10);
}

#include "datatypes/error.h"
#include "runtime/exits.h"

TEST(Cell, NumberToIntTruncatesAndChecksTheRange) {
    struct { double d; int32_t want; bool raises; } cases[] = {
        {2.9, 2, false}, {-2.9, -2, false}, {2147483647.0, 2147483647, false},
        {-2147483648.0, INT32_MIN, false}, {2147483648.0, 0, true}, {-2147483649.0, 0, true},
        {__builtin_nan(""), 0, true},
    };
    for (auto c : cases) {
        cell f{TYPE_FLOAT, 0, 0, 0};
        set_cell_float(&f, c.d);
        if (!c.raises) {
            EXPECT_EQ(number_to_int(&f), c.want) << c.d;
            continue;
        }
        EXPECT_THROW(number_to_int(&f), kel_exit) << c.d;
        EXPECT_EQ(last_raised_error().code, 341u);
        pending_code = 0;
    }
    cell i{TYPE_INTEGER, 0, static_cast<uint32_t>(-7), 0};
    EXPECT_EQ(number_to_int(&i), -7);
}
