#include "datatypes/handle.h"

#include "evaluator/actions.h"
#include "runtime_fixture.h"

using namespace kel;
using namespace kel::testing;

namespace {

class HandleType : public RuntimeTest {
protected:
    void SetUp() override {
        RuntimeTest::SetUp();
        handle::init();
    }
    std::string formed(cell* v) {
        cell* out = new_buffer();
        form_dispatch(v, out, nullptr, 1000);
        return text_of(out);
    }
    std::string molded(cell* v, bool all) {
        cell* out = new_buffer();
        mold_dispatch(v, out, false, all, false, nullptr, 1000, 0);
        return text_of(out);
    }
};

}  // namespace

TEST_F(HandleType, FormAndMold) {
    struct { uint32_t value, klass; const char* form; const char* mold_all; } cases[] = {
        {0, handle::CLASS_NULL, "00000000h", "#[handle! 00000000h]"},
        {0x12FA40, handle::CLASS_FD, "0012FA40h", "#[handle! 0012FA40h fd]"},
        {0xA0B2C, handle::CLASS_WINDOW, "000A0B2Ch", "#[handle! 000A0B2Ch window]"},
        {0xFFFFFFFE, handle::CLASS_RICH_TEXT, "FFFFFFFEh", "#[handle! FFFFFFFEh rich-text]"},
    };
    for (auto& c : cases) {
        cell* h = handle::push(c.value, c.klass);
        EXPECT_EQ(formed(h), c.form);
        EXPECT_EQ(molded(h, false), "handle!");
        EXPECT_EQ(molded(h, true), c.mold_all);
        EXPECT_EQ(h->w3, static_cast<uint32_t>(-1));
    }
}

TEST_F(HandleType, MoldAllChargesThePartBudget) {
    cell* h = handle::push(1, handle::CLASS_FONT);
    cell* out = new_buffer();
    EXPECT_EQ(mold_dispatch(h, out, false, true, false, nullptr, 100, 0), 100 - 9 - 11 - 5);
}

TEST_F(HandleType, CompareBySignedValueOnly) {
    cell* a = handle::push(5, handle::CLASS_FD);
    cell* b = handle::push(5, handle::CLASS_WINDOW);
    cell* neg = handle::push(0xFFFFFFFF, handle::CLASS_FD);
    cell five{TYPE_INTEGER, 0, 5, 0};
    EXPECT_TRUE(actions::compare(a, b, COMP_EQUAL));
    EXPECT_TRUE(actions::compare(neg, a, COMP_LESSER));
    EXPECT_FALSE(actions::compare(a, &five, COMP_EQUAL));
    EXPECT_EQ(compare_dispatch(a, &five, COMP_LESSER), 1);
}
