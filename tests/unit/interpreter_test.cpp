// The interpreter and the non-local exits, driven by scripts.
#include <gtest/gtest.h>

#include "tests/unit/interp_fixture.h"

namespace kel {
namespace {

using testing::InterpTest;

struct script_case {
    const char* script;
    const char* expected;
};

void PrintTo(const script_case& c, std::ostream* os) { *os << c.script; }

class Scripts : public InterpTest, public ::testing::WithParamInterface<script_case> {};

TEST_P(Scripts, Evaluate) {
    EXPECT_EQ(run(GetParam().script), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Expressions, Scripts, ::testing::Values(
    script_case{"", "unset"},
    script_case{"1 2 3", "3"},
    script_case{"1 + 2 * 3", "9"},
    script_case{"2 * 3 + 1", "7"},
    script_case{"abs -2 + 1", "1"},
    script_case{"(1 + 2) * 3", "9"},
    script_case{"x: y: 4 x + y", "8"},
    script_case{"x: 5 :x", "5"},
    script_case{"'abc", "abc"},
    script_case{"'a/b", "a/b"},
    script_case{"b: [1 2 3] b/2", "2"},
    script_case{"b: [1 2 3] i: 3 b/:i", "3"},
    script_case{"b: [1 2 3] b/(1 + 1)", "2"},
    script_case{"b: [1 2 3] b/2: 9 b", "[1 9 3]"},
    script_case{"b: [[1 2] [3 4]] b/2/1", "3"},
    script_case{"append/part [] [1 2 3] 0", "[]"},
    script_case{"append/part [] next next [1 2 3] -2", "[1 2]"},
    script_case{"append/dup [] 1 3", "[1 1 1]"},
    script_case{"append/part/dup [] [1 2 3] 2 2", "[1 2 1 2]"},
    script_case{"length? [1 2]", "2"},
    script_case{"mold/part [1 2 3] -1", "\"\""},
    script_case{"form/part [1 2 3] 0", "\"\""},
    script_case{"mold/part [1 2 3] 4", "\"[1 2\""},
    script_case{"make integer! 5", "5"},
    script_case{"f: make function! [[a b] [a - b]] f 10 3", "7"},
    script_case{"f: make function! [[a /neg] [if neg [a: 0 - a] a]] f/neg 3", "-3"},
    script_case{"f: make function! [[a /neg] [if neg [a: 0 - a] a]] f 3", "3"},
    script_case{"f: make function! [[a /by n] [if by [a: a * n] a]] f/by 3 4", "12"},
    script_case{"f: make function! [['w] [w]] f foo", "foo"},
    script_case{"f: make function! [[:w] [w]] f (1 + 2)", "(1 + 2)"},
    script_case{"f: make function! [['w] [w]] f (1 + 2)", "3"},
    script_case{"o: make function! [[/local x] [x: 1 x]] o", "1"},
    script_case{"o: make object! [a: 1 + 2 b: a * 2] o/b", "6"},
    script_case{"o: make object! [a: 1] o/a: 5 o/a", "5"},
    script_case{"o: make object! [f: make function! [[x] [x + 1]]] o/f 1", "2"}));

INSTANTIATE_TEST_SUITE_P(Exits, Scripts, ::testing::Values(
    script_case{"f: make function! [[] [return 1 2]] f", "1"},
    script_case{"f: make function! [[] [loop 3 [if true [return 7]] 0]] f", "7"},
    script_case{"f: make function! [[] [exit 2]] f", "unset"},
    script_case{"loop 3 [break/return 5]", "5"},
    script_case{"x: 0 loop 5 [x: x + 1 if x > 2 [break]] x", "3"},
    script_case{"x: 0 loop 4 [x: x + 1 continue x: 100] x", "4"},
    script_case{"x: 0 loop 3 [x: x + 1 try [break]] x", "1"},
    script_case{"x: 0 loop 3 [x: x + 1 try/all [break]] x", "3"},
    script_case{"catch [throw 1 2]", "1"},
    script_case{"catch [1]", "1"},
    script_case{"catch/name [throw/name 2 'b] [a b]", "2"},
    script_case{"catch [catch/name [throw 1] 'a 5]", "1"},
    script_case{"catch [catch/name [throw/name 3 'x] 'a 5]", "3"},
    script_case{"catch/name [catch/name [throw/name 4 'b] 'a] 'b", "4"},
    script_case{"f: make function! [[] [throw 6]] catch [f]", "6"},
    script_case{"try [1 + 2]", "3"},
    script_case{"e: try [1 / 0] e/id", "zero-divide"},
    script_case{"e: try [make error! \"x\"] e/type", "user"},
    script_case{"e: try/all [break] e/id", "break"}));

INSTANTIATE_TEST_SUITE_P(Errors, Scripts, ::testing::Values(
    script_case{"x:", "error script/need-value"},
    script_case{"unset-word", "error script/no-value"},
    script_case{"+ 1", "error script/no-op-arg"},
    script_case{"1 +", "error script/no-arg"},
    script_case{"f: make function! [[a b] [a]] f 1", "error script/no-arg"},
    script_case{"add 1 \"a\"", "error script/expect-arg"},
    script_case{"append 5 1", "error script/expect-arg"},
    script_case{"f: make function! [[/x] [1]] f/x/x", "error script/dup-refine"},
    script_case{"f: make function! [[/x] [1]] f/1", "error script/bad-refine"},
    script_case{"f: make function! [[/x] [1]] f/y", "error script/no-refine"},
    script_case{"b: [1] b/zz/1", "error script/bad-path-type"},
    script_case{"q/1", "error script/unset-path"},
    script_case{"b: [1] b/:zz", "error script/invalid-path"},
    script_case{"f: make function! [[] [1]] f/1: 2", "error script/invalid-path-set"},
    script_case{":add/x", "error script/invalid-path-get"},
    script_case{"#system [1]", "error internal/kel-system"},
    script_case{"break", "error throw/break"},
    script_case{"continue", "error throw/continue"},
    script_case{"e: none loop 2 [e: try/all [continue]] e/id", "continue"},
    script_case{"return 1", "error throw/return"},
    script_case{"f: make function! [[] [try/all [return 1]]] e: f e/id", "return"},
    script_case{"throw 1", "error throw/throw"},
    script_case{"catch/name [throw 1] 'a", "error throw/throw"},
    script_case{"catch/name [throw/name 1 'b] [a 1]", "error script/invalid-refine-arg"},
    script_case{"append/part [] 5 2", "error script/invalid-part"},
    script_case{"copy/types [1] 5", "error script/expect-arg"}));

TEST_F(InterpTest, ErrorMessagesNameTheCallAndTheArgument) {
    struct {
        const char* script;
        const char* message;
    } cases[] = {
        {"x:", "x: needs a value"},
        {"zork", "zork has no value"},
        {"+ 1", "+ operator is missing an argument"},
        {"f: make function! [[a b] [a]] f 1", "f is missing its b argument"},
        {"add 1 \"a\"", "add does not allow string! for its value2 argument"},
        {"append 5 1", "append does not allow integer! for its series argument"},
        {"f: make function! [[/x] [1]] f/x/x", "duplicate refinement usage in: f/x/x"},
        {"f: make function! [[/x] [1]] f/1", "invalid refinement value: 1"},
        {"f: make function! [[/x] [1]] f/y", "f has no refinement called /y"},
        {"b: [[1]] b/1/zz/2", "b/1/zz returned a none! value, so b/1/zz/2 could not be accessed"},
        {"throw 1", "no catch for throw: 1"},
        {"break", "no loop to break"},
        {"return 1", "return or exit not in function"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(run(c.script).substr(0, 6), "error ") << c.script;
        EXPECT_NE(error_text().find(c.message), std::string::npos) << c.script << "\n" << error_text();
    }
}

TEST_F(InterpTest, ErrorsKeepWhereAndNear) {
    run("f: make function! [[a] [a + \"x\"]] f 1");
    cell* e = stack::push(&last_error);
    EXPECT_EQ(molded(error::get_field(e, error::FIELD_WHERE)), "+");
    EXPECT_EQ(molded(error::get_field(e, error::FIELD_NEAR)), "[a + \"x\"]");
}

TEST_F(InterpTest, NearIsTheOuterBlockAgainAfterAParen) {
    // The paren's block is done when + fails: near is back on the function body.
    run("f: make function! [[a] [(a) + \"x\"]] f 1");
    cell* e = stack::push(&last_error);
    EXPECT_EQ(molded(error::get_field(e, error::FIELD_WHERE)), "+");
    EXPECT_EQ(molded(error::get_field(e, error::FIELD_NEAR)), "[(a) + \"x\"]");
}

TEST_F(InterpTest, InfixOperandsAreCheckedAndSetWordsStoreInEveryContext) {
    EXPECT_EQ(run("\"a\" + 1").substr(0, 6), "error ");
    EXPECT_NE(error_text().find("+ does not allow string! for its value1 argument"), std::string::npos)
        << error_text();
    // A function's local, a global, and an object's field set from its own spec.
    EXPECT_EQ(run("g: 1 f: make function! [[/local x] [x: 2 g: x + g]] f g"), "3");
    EXPECT_EQ(run("o: make object! [a: 1 set-a: make function! [[] [a: 7]]] o/set-a o/a"), "7");
}

TEST_F(InterpTest, RecursionSeesItsOwnArgumentsAgain) {
    EXPECT_EQ(run("f: make function! [[n] [if n > 0 [f n - 1] n]] f 5"), "5");
    // An error inside the inner call leaves the outer activation's words intact.
    EXPECT_EQ(run("g: make function! [[n] [if n > 0 [try [g n - 1 1 / 0]] n]] g 3"), "3");
}

TEST_F(InterpTest, DeepRecursionIsACatchableStackOverflow) {
    std::string result, after;
    run_on_interpreter_thread([&] {
        result = run("f: make function! [[n] [f n + 1]] e: try [f 1] e/id");
        after = run("1 + 1");
    });
    EXPECT_EQ(result, "stack-overflow");
    EXPECT_EQ(after, "2");
}

TEST_F(InterpTest, LoopReturningFromAFunctionUnwindsEveryTime) {
    // Return travels as a code: the stacks are where they were after each call.
    call_frame* ctop = stack::ctop;
    EXPECT_EQ(run("f: make function! [[] [loop 10 [return 1]]] x: 0 loop 1000 [x: x + f] x"), "1000");
    EXPECT_EQ(stack::ctop, ctop);
}

TEST_F(InterpTest, CollectionsDuringEvaluationKeepEverything) {
    // Blocks made while expressions run: the stress build collects at every allocation.
    EXPECT_EQ(run("b: [] loop 50 [append b copy [1 2]] length? b"), "100");
    EXPECT_EQ(run("f: make function! [[s] [append copy s length? s]] f f f [0]"), "[0 1 2 3]");
}

}  // namespace
}  // namespace kel
