#include <gtest/gtest.h>

#include <vector>

#include "runtime/output_hooks.h"

using namespace kel;

namespace {

std::vector<int> calls;

template <int N>
void value_seen(const cell*, bool) { calls.push_back(N); }

template <int N>
void text_seen(const char*, int32_t, uint32_t) { calls.push_back(N); }

class OutputHooks : public testing::Test {
protected:
    void SetUp() override {
        output_hooks_init();
        calls.clear();
    }
};

}  // namespace

TEST_F(OutputHooks, SixthHookGrowsTheArrayByFive) {
    dyn_print::add(value_seen<1>, nullptr);
    dyn_print::add(value_seen<2>, nullptr);
    dyn_print::add(value_seen<3>, nullptr);
    dyn_print::add(value_seen<4>, nullptr);
    dyn_print::add(value_seen<5>, nullptr);
    EXPECT_EQ(value_hooks().capacity, 5u);
    dyn_print::add(value_seen<6>, nullptr);
    EXPECT_EQ(value_hooks().capacity, 10u);
    output_hooks_run_values(&none_value, true);
    EXPECT_EQ(calls, (std::vector<int>{1, 2, 3, 4, 5, 6}));
}

TEST_F(OutputHooks, RemovingAHookAddedTwiceRemovesItsFirstEntry) {
    dyn_print::add(nullptr, text_seen<1>);
    dyn_print::add(nullptr, text_seen<2>);
    dyn_print::add(nullptr, text_seen<1>);
    output_hooks_unregister(nullptr, text_seen<1>);
    output_hooks_run_text("x", 1, 0);
    EXPECT_EQ(calls, (std::vector<int>{2, 1}));
}

TEST_F(OutputHooks, NullHooksAreSkipped) {
    dyn_print::add(nullptr, text_seen<1>);
    dyn_print::add(value_seen<2>, nullptr);
    EXPECT_EQ(value_hooks().count, 1u);
    EXPECT_EQ(text_hooks().count, 1u);
    output_hooks_unregister(nullptr, nullptr);
    output_hooks_unregister(value_seen<9>, nullptr);
    EXPECT_EQ(value_hooks().count, 1u);
    EXPECT_EQ(text_hooks().count, 1u);
}
