// The natives of words, values, output and conversions, driven by scripts.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "tests/unit/values_fixture.h"

namespace kel {
namespace {

using testing::ValuesTest;

struct script_case {
    const char* script;
    const char* expected;
};

void PrintTo(const script_case& c, std::ostream* os) { *os << c.script; }

class ValueScripts : public ValuesTest, public ::testing::WithParamInterface<script_case> {};

TEST_P(ValueScripts, Evaluate) {
    EXPECT_EQ(run(GetParam().script), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Words, ValueScripts, ::testing::Values(
    script_case{"x: 5 get 'x", "5"},
    script_case{"get 'never-set", "error script/no-value"},
    script_case{"type? get/any 'never-set", "unset!"},
    script_case{"b: [1 [2 3]] get 'b/2/1", "2"},
    script_case{"b: [1 2] get 'b/x/y", "error script/bad-path-type"},
    script_case{"o: construct [a: 1 b: \"x\"] get o", "[1 \"x\"]"},
    script_case{"set 'x 5 x", "5"},
    script_case{"set 'x get/any 'never-set", "error script/need-value"},
    script_case{"set/any 'x get/any 'never-set value? 'x", "false"},
    script_case{"set [a b c] [1 2] reduce [a b c]", "[1 2 none]"},
    script_case{"set [a b] 5 a + b", "10"},
    script_case{"set/only [a b] [1 2] b", "[1 2]"},
    script_case{"a: 1 b: 2 set/some [a b] reduce [7 none] reduce [a b]", "[7 2]"},
    script_case{"set [a 1] 2", "error script/invalid-arg"},
    script_case{"b: [1 2 3] set 'b/2 9 b", "[1 9 3]"},
    script_case{"o: construct [a: 1 b: 2] set o 7 get o", "[7 7]"},
    script_case{"value? 'never-set", "false"},
    script_case{"x: none value? 'x", "true"},
    script_case{"o: construct [x: 10] get bind 'x o", "10"},
    script_case{"o: construct [x: 10] x: 1 b: [x] c: bind/copy b o reduce [get b/1 get c/1]", "[1 10]"},
    script_case{"o: construct [x: 10] x: 1 b: [x] bind b o get b/1", "10"},
    script_case{"o: construct [a: 1] get in o 'a", "1"},
    script_case{"o: construct [a: 1] get in o /a", "1"},
    script_case{"o: construct [a: 1] in o 'missing", "none"},
    script_case{"p: construct [a: 1] get construct/with [b: 2] p", "[1 2]"}));

INSTANTIATE_TEST_SUITE_P(Values, ValueScripts, ::testing::Values(
    script_case{"not none", "true"},
    script_case{"not false", "true"},
    script_case{"not 0", "false"},
    script_case{"type? 1", "integer!"},
    script_case{"type? type?/word \"a\"", "word!"},
    script_case{"type?/word \"a\"", "string!"},
    script_case{"reduce [1 + 2 3]", "[3 3]"},
    script_case{"reduce []", "[]"},
    script_case{"reduce [1\n2]", "[1 2]"},
    script_case{"b: [9] r: reduce/into [1 + 2 3] b reduce [b r]", "[[3 3 9] [9]]"},
    script_case{"x: 5 reduce 'x", "5"},
    script_case{"type? reduce :reduce", "native!"},
    script_case{"b: [9] reduce/into 'b b", "[9]"},
    script_case{"x: 0 loop 2 [x: x + 1 reduce [1 break 2]] x", "1"},
    script_case{"compose [a (1 + 1) ([b c]) ([])]", "[a 2 b c]"},
    script_case{"compose/only [([b c])]", "[[b c]]"},
    script_case{"compose [() (get/any 'never-set) 1]", "[1]"},
    script_case{"compose/deep [[(1)]]", "[[1]]"},
    script_case{"compose [[(1)]]", "[[(1)]]"},
    script_case{"b: [0] r: compose/into [(1 + 1) x] b reduce [b r]", "[[2 x 0] [0]]"},
    script_case{"compose 1", "error script/expect-val"},
    script_case{"h: make hash! [x] compose/into [a (1 + 1)] h find h 2", "make hash! [2 x]"},
    script_case{"do [1 + 2 3]", "3"},
    script_case{"b: [1 + 2 4] reduce [do/next b 'p p]", "[3 [4]]"},
    script_case{"p: 0 reduce [do/next [] 'p p]", "[unset []]"},
    script_case{"b: [(1)] append/only b b length? compose/deep b", "2"},
    script_case{"type? stats", "integer!"},
    script_case{"length? stats/info", "5"},
    script_case{"uppercase \"abc\"", "\"ABC\""},
    script_case{"uppercase/part \"abc\" 2", "\"ABc\""},
    script_case{"s: \"ABC\" lowercase next s s", "\"Abc\""},
    script_case{"lowercase #\"A\"", "#\"a\""}));

INSTANTIATE_TEST_SUITE_P(Conversions, ValueScripts, ::testing::Values(
    script_case{"as-pair 1 2", "1x2"},
    script_case{"as-pair 1.9 -1.9", "1x-1"},
    script_case{"as-pair 1e300 1", "error script/invalid-arg"},
    script_case{"as-point2D 1 2.5", "(1, 2.5)"},
    script_case{"as-point3D 1 2 0.1", "(1, 2, 0.1)"},
    script_case{"as-money 'usd 12", "USD$12.00"},
    script_case{"as-money 'EUR 1.5", "EUR$1.50"},
    script_case{"as-money 'XYZ 1", "error script/bad-denom"},
    script_case{"m: make map! [a 1] extend m [b 2] length? m", "2"},
    script_case{"extend construct [a: 1] [b 2]", "error internal/not-done"},
    script_case{"size? %/", "none"},
    script_case{"size? %.", "none"},
    script_case{"size? %/no-such-dir/no-such-file", "none"}));

TEST_F(ValuesTest, PrintFormsAndReducesAndLeavesThePrintBufferAsItWas) {
    EXPECT_EQ(run("print [1 + 1 \"x\"]"), "unset");
    EXPECT_EQ(run("print \"abc\""), "unset");
    EXPECT_EQ(run("print 12"), "unset");
    EXPECT_EQ(run("print []"), "unset");
    EXPECT_EQ(printed, (std::vector<std::string>{"2 x\n", "abc\n", "12\n", "\n"}));
    EXPECT_EQ(block::ks_length_q(&natives::print_buffer), 0);
}

TEST_F(ValuesTest, APrintInsideAnOuterPrintSharesTheBuffer) {
    EXPECT_EQ(run("f: make function! [[] [print [\"in\" 3] 5]] print [1 f 2]"), "unset");
    EXPECT_EQ(printed, (std::vector<std::string>{"in 3\n", "1 5 2\n"}));
    EXPECT_EQ(block::ks_length_q(&natives::print_buffer), 0);
}

TEST_F(ValuesTest, AnErrorWhileReducingCutsThePrintBufferBack) {
    EXPECT_EQ(run("print [1 2 get 'never-set]"), "error script/no-value");
    EXPECT_EQ(run("x: 0 loop 2 [x: x + 1 print [1 break]] x"), "1");
    EXPECT_TRUE(printed.empty());
    EXPECT_EQ(block::ks_length_q(&natives::print_buffer), 0);
}

TEST_F(ValuesTest, PrinEndsNoLine) {
    EXPECT_EQ(run("prin \"a\""), "unset");
    EXPECT_FALSE(natives::last_lf_q);
    EXPECT_EQ(run("print \"b\""), "unset");
    EXPECT_TRUE(natives::last_lf_q);
    EXPECT_EQ(printed, (std::vector<std::string>{"a", "b\n"}));
}

TEST_F(ValuesTest, SizeOfAFileIsItsByteCount) {
    std::string path = ::testing::TempDir() + "kel-size-test.txt";
    std::ofstream(path) << "12345";
    EXPECT_EQ(run("size? %" + path), "5");
    std::remove(path.c_str());
}

TEST_F(ValuesTest, MemoryStatsListFramesAndTotals) {
    cell* info = natives::memory_stats(2);
    ASSERT_EQ(block::ks_length_q(info), 5);
    cell* nodes = block::ks_abs_at(info, 0);
    ASSERT_GT(block::ks_length_q(nodes), 0);
    cell* first = block::ks_abs_at(nodes, 0);
    int32_t free_count = int_of(block::ks_abs_at(first, 0)), used = int_of(block::ks_abs_at(first, 1));
    EXPECT_EQ(free_count + used, int_of(block::ks_abs_at(first, 2)));
    cell* bytes = natives::memory_stats(1);
    EXPECT_GE(int_of(bytes), 4 * used);
}

}  // namespace
}  // namespace kel
