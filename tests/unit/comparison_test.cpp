// The comparison natives and the identity test.
#include <gtest/gtest.h>

#include "tests/unit/values_fixture.h"

namespace kel {
namespace {

using testing::ValuesTest;

struct script_case {
    const char* script;
    const char* expected;
};

void PrintTo(const script_case& c, std::ostream* os) { *os << c.script; }

class CompareScripts : public ValuesTest, public ::testing::WithParamInterface<script_case> {};

TEST_P(CompareScripts, Evaluate) {
    EXPECT_EQ(run(GetParam().script), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Comparisons, CompareScripts, ::testing::Values(
    script_case{"equal? 1 1", "true"},
    script_case{"equal? 1 \"1\"", "false"},
    script_case{"not-equal? 1 \"1\"", "true"},
    script_case{"lesser? 1 \"1\"", "error script/invalid-compare"},
    script_case{"1 < \"a\"", "error script/invalid-compare"},
    script_case{"1 = \"a\"", "false"},
    script_case{"strict-equal? \"a\" \"A\"", "false"},
    script_case{"equal? \"a\" \"A\"", "true"},
    script_case{"lesser? 1 2", "true"},
    script_case{"greater? 1 2", "false"},
    script_case{"lesser-or-equal? 2 2", "true"},
    script_case{"greater-or-equal? 1 2", "false"},
    script_case{"greater? \"b\" \"a\"", "true"},
    script_case{"equal? [1 2] [1 2]", "true"}));

INSTANTIATE_TEST_SUITE_P(Identity, CompareScripts, ::testing::Values(
    script_case{"same? [1] [1]", "false"},
    script_case{"b: [1] same? b b", "true"},
    script_case{"b: [1] same? next b b", "false"},
    script_case{"same? 1 1", "true"},
    script_case{"same? none none", "true"},
    script_case{"same? 1 1.0", "false"},
    script_case{"same? 0.0 -0.0", "false"},
    script_case{"same? 1.5 1.5", "true"},
    script_case{"same? \"a\" \"a\"", "false"},
    script_case{"same? 'a 'a", "true"},
    script_case{"same? 'a 'b", "false"},
    script_case{"same? as-pair 1 2 as-pair 1 2", "true"},
    script_case{"same? 1.2.3 1.2.3", "true"},
    script_case{"same? 1.2.3 1.2.3.0", "false"},
    script_case{"same? $1 $1.00", "true"},
    script_case{"same? $1 USD$1", "false"},
    script_case{"same? :same? :same?", "true"},
    script_case{"same? :same? :equal?", "false"}));

}  // namespace
}  // namespace kel
