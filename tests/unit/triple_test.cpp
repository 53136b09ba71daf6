#include <gtest/gtest.h>

#include "geometry_fixture.h"

using namespace kel;
using namespace kel::testing;

namespace {

class Triple : public GeometryTest {};

}  // namespace

TEST_F(Triple, FormsAsItsConstruction) {
    struct { cell value; const char* text; } cases[] = {
        {cell{TYPE_TRIPLE, 3, 5, 120}, "make triple! [3 5 120]"},
        {cell{TYPE_TRIPLE, 0x80000000u, 0, 7}, "make triple! [-2147483648 0 7]"},
        {cell{TYPE_TRIPLE, ~0u, ~1u, 0}, "make triple! [-1 -2 0]"},
    };
    for (auto& c : cases) {
        for (bool mold : {false, true}) {
            cell* v = stack::push(&c.value);
            cell* out = new_buffer();
            int32_t rest = mold ? mold_dispatch(v, out, false, false, false, nullptr, 100, 0)
                                : form_dispatch(v, out, nullptr, 100);
            EXPECT_EQ(text_of(out), c.text);
            EXPECT_EQ(100 - rest, int32_t(strlen(c.text)));  // every character counts
        }
    }
}

TEST_F(Triple, EveryOtherActionIsRefused) {
    EXPECT_STREQ(type_names[TYPE_TRIPLE].name, "triple!");
    for (uint32_t slot = 1; slot <= ACTIONS_COUNT; slot++) {
        if (slot != ACT_FORM && slot != ACT_MOLD) {
            EXPECT_EQ(type_action(TYPE_TRIPLE, slot), nullptr) << slot;
        }
    }
    cell t{TYPE_TRIPLE, 1, 2, 3}, one = integer_cell(1);
    uint32_t expect_arg = error_code(ERR_SCRIPT, uint32_t(script_error::expect_arg));
    EXPECT_EQ(raised_code([&] { get_action_ptr_by_type<ACT_ADD>(TYPE_TRIPLE); }), expect_arg);
    EXPECT_EQ(raised_code([&] { get_action_ptr_by_type<ACT_PICK>(TYPE_TRIPLE); }), expect_arg);
    EXPECT_EQ(raised_code([&] { make_dispatch(&t, &one, TYPE_TRIPLE); }), expect_arg);
    EXPECT_EQ(raised_code([&] { to_dispatch(&t, &one, TYPE_TRIPLE); }), expect_arg);
}
