// The control-flow natives, driven by scripts.
#include <gtest/gtest.h>

#include "datatypes/map.h"
#include "evaluator/control.h"
#include "tests/unit/interp_fixture.h"

namespace kel {
namespace {

class ControlTest : public testing::InterpTest {
protected:
    void SetUp() override {
        InterpTest::SetUp();
        try {
            install();
        } catch (const kel_exit&) {
            FAIL() << "setup: " << error_name() << " " << error_text();
        }
    }

    static void install() {
        map::init();
        cell map_type{TYPE_DATATYPE, TYPE_MAP, 0, 0};
        set_global("map!", &map_type);
        // The typesets the specs name, as the start-up defines them.
        cell any_type{TYPE_TYPESET, 0, 0, 0}, series_types{TYPE_TYPESET, 0, 0, 0};
        for (uint32_t t = 1; t < 96; t++) {
            typeset_add(&any_type, t);
            if (series_type_q(t)) typeset_add(&series_types, t);
        }
        set_global("any-type!", &any_type);
        set_global("series!", &series_types);
        struct {
            const char* name;
            const char* spec;
            int32_t index;
            native_code entry;
        } natives[] = {
            {"if", "[cond [any-type!] then-blk [block!]]", 1, natives::if_},
            {"unless", "[cond [any-type!] then-blk [block!]]", 2, natives::unless},
            {"either", "[cond [any-type!] true-blk [block!] false-blk [block!]]", 3, natives::either},
            {"any", "[conds [block!]]", 4, natives::any},
            {"all", "[conds [block!]]", 5, natives::all},
            {"while", "[cond [block!] body [block!]]", 6, natives::while_},
            {"until", "[body [block!]]", 7, natives::until},
            {"loop", "[count [integer! float!] body [block!]]", 8, natives::loop},
            {"repeat", "['word [word!] value [integer! float!] body [block!]]", 9, natives::repeat},
            {"forever", "[body [block!]]", 10, natives::forever},
            {"foreach", "['word [word! block!] series [series! map!] body [block!]]", 11, natives::foreach},
            {"forall", "['word [word!] body [block!]]", 12, natives::forall},
            {"remove-each", "['word [word! block!] data [series!] body [block!]]", 13, natives::remove_each},
            {"func", "[spec [block!] body [block!]]", 14, natives::func},
            {"function", "[spec [block!] body [block!] /extern]", 15, natives::function_},
            {"does", "[body [block!]]", 16, natives::does},
            {"has", "[vars [block!] body [block!]]", 17, natives::has},
            {"switch", "[value [any-type!] cases [block!] /default case [block!]]", 18, natives::switch_},
            {"case", "[cases [block!] /all]", 19, natives::case_},
            {"do", "[value [any-type!] /expand /args arg /next position [word!] /trace callback [function!]]", 20,
             natives::do_},
            {"equal?", "[value1 [any-type!] value2 [any-type!]]", 25, equal},
            {"lesser?", "[value1 [any-type!] value2 [any-type!]]", 28, lesser},
        };
        for (const auto& n : natives) {
            define_native(n.name, n.spec, n.index);
            native_entries[n.index - 1] = n.entry;
        }
        define_op("=", "equal?");
        define_op("<", "lesser?");
        define_action("index?", "[series]", ACT_INDEX_Q);
        define_action("clear", "[series]", ACT_CLEAR);
        define_action("pick", "[series index]", ACT_PICK);
    }

    static int32_t equal(bool, const int32_t*) {
        compare_to_logic(COMP_EQUAL);
        return 0;
    }
    static int32_t lesser(bool, const int32_t*) {
        compare_to_logic(COMP_LESSER);
        return 0;
    }
};

struct script_case {
    const char* script;
    const char* expected;
};

void PrintTo(const script_case& c, std::ostream* os) { *os << c.script; }

class ControlScripts : public ControlTest, public ::testing::WithParamInterface<script_case> {};

TEST_P(ControlScripts, Evaluate) {
    call_frame* ctop = stack::ctop;
    EXPECT_EQ(run(GetParam().script), GetParam().expected);
    EXPECT_EQ(stack::ctop, ctop);
}

INSTANTIATE_TEST_SUITE_P(Conditionals, ControlScripts, ::testing::Values(
    script_case{"if none [1]", "none"},
    script_case{"if false [1]", "none"},
    script_case{"if () [1]", "1"},
    script_case{"if 0 [1]", "1"},
    script_case{"unless false [1]", "1"},
    script_case{"unless 0 [1]", "none"},
    script_case{"either 1 < 2 ['a] ['b]", "a"},
    script_case{"either none [1] [2]", "2"},
    script_case{"either () [1] [2]", "error script/no-return"},
    script_case{"any []", "none"},
    script_case{"any [none false]", "none"},
    script_case{"any [none false 3]", "3"},
    script_case{"x: 0 any [x: 1 x: 2] x", "1"},
    script_case{"all []", "none"},
    script_case{"all [1 2]", "2"},
    script_case{"x: 0 all [x: 1 false x: 2] x", "1"},
    script_case{"all [1 none 2]", "none"}));

INSTANTIATE_TEST_SUITE_P(Loops, ControlScripts, ::testing::Values(
    script_case{"x: 0 loop 0 [x: 1] x", "0"},
    script_case{"loop -1 [1]", "none"},
    script_case{"x: 0 loop 2.9 [x: x + 1] x", "2"},
    script_case{"loop 3 [break/return 5]", "5"},
    script_case{"loop 2 [continue]", "unset"},
    script_case{"loop 1.0e20 [1]", "error script/out-of-range"},
    script_case{"x: 0 while [x < 3] [x: x + 1] x", "3"},
    script_case{"x: 0 while [x < 3] [x: x + 1]", "unset"},
    script_case{"while [true] [break/return 5]", "unset"},
    script_case{"x: 0 while [x < 3] [x: x + 1 continue x: 10] x", "3"},
    script_case{"while [break] [1]", "error throw/while-cond"},
    script_case{"while [continue] [1]", "error throw/while-cond"},
    script_case{"while [()] [1]", "error script/no-return"},
    script_case{"x: 0 while [x < 3] [x: x + 1 try [break]] x", "1"},
    script_case{"x: 0 while [x < 3] [x: x + 1 try/all [break]] x", "3"},
    script_case{"x: 0 until [x: x + 1 x = 3]", "true"},
    script_case{"x: 0 until [x: x + 1 if x < 3 [continue] x]", "3"},
    script_case{"until [break]", "unset"},
    script_case{"until [break/return 4]", "4"},
    script_case{"until [()]", "error script/no-return"},
    script_case{"x: 0 repeat i 4 [x: x + i] x", "10"},
    script_case{"repeat i 0 [1]", "none"},
    script_case{"repeat i 2.5 [i]", "2"},
    script_case{"n: 0 repeat i 3 [n: n + 1 i: 10] n", "3"},
    script_case{"x: 0 forever [x: x + 1 if x = 5 [break/return x]]", "5"},
    script_case{"forever [break]", "unset"}));

INSTANTIATE_TEST_SUITE_P(Iteration, ControlScripts, ::testing::Values(
    script_case{"b: [] foreach x [1 2 3] [append b x * 2] b", "[2 4 6]"},
    script_case{"foreach x [] [1]", "unset"},
    script_case{"foreach x [1 2 3] [x]", "3"},
    script_case{"b: [] foreach [k v] [a 1 b 2 c] [append b v] b", "[1 2 none]"},
    script_case{"foreach x [1 2 3 4] [if x = 3 [break/return x * 10]]", "30"},
    script_case{"b: [] foreach x [1 2 3] [if x = 2 [continue] append b x] b", "[1 3]"},
    script_case{"s: copy \"\" foreach c \"abc\" [append s c append s c] s", "\"aabbcc\""},
    script_case{"b: [] foreach [x y] \"abc\" [append b y] b", "[#\"b\" none]"},
    script_case{"m: make map! [a 1 b 2] b: [] foreach [k v] m [append b k append b v] b", "[a 1 b 2]"},
    script_case{"foreach [] [1 2] [1]", "error script/invalid-arg"},
    script_case{"foreach [a 1] [1 2] [1]", "error script/invalid-arg"},
    script_case{"m: make map! [a 1] foreach [a b c] m [1]", "error script/invalid-arg"},
    script_case{"m: make map! [a 1] foreach x m [1]", "error script/invalid-arg"},
    script_case{"b: [1 2 3] r: [] forall b [append r b/1] r", "[1 2 3]"},
    script_case{"b: [1 2 3] forall b [b/1]", "3"},
    script_case{"b: [1 2 3] forall b [b/1] index? b", "1"},
    script_case{"b: [1 2 3] forall b [if b/1 = 2 [break]] index? b", "2"},
    script_case{"x: 5 forall x [1]", "error script/expect-arg"},
    script_case{"b: [1 2 3] forall b [b: 7]", "error script/bad-loop-series"},
    script_case{"b: [1 2 3 4 5] remove-each x b [2 < x] b", "[1 2]"},
    script_case{"b: [1 2 3 4] remove-each [x y] b [x = 3] b", "[1 2]"},
    script_case{"b: [1 2 3] remove-each [x y] b [x = 3] b", "[1 2]"},
    script_case{"b: [1 2 3 4] remove-each x b [if x = 2 [continue] true] b", "[2]"},
    script_case{"b: [1 2 3 4] remove-each x b [if x = 3 [break] true] b", "[3 4]"},
    script_case{"b: [1 2 3] remove-each x next b [true]", "[]"},
    script_case{"b: [1 2 3] remove-each x next b [true] b", "[1]"},
    script_case{"s: copy \"abca\" remove-each c s [c = #\"a\"] s", "\"bc\""}));

INSTANTIATE_TEST_SUITE_P(FunctionMakers, ControlScripts, ::testing::Values(
    script_case{"f: func [a b] [a + b] f 1 2", "3"},
    script_case{"f: func [a /twice] [if twice [a: a * 2] a] f/twice 4", "8"},
    script_case{"x: 1 f: func [] [x: 5] f x", "5"},
    script_case{"x: 1 f: function [] [x: 5] f x", "1"},
    script_case{"x: 1 f: function [/extern x] [x: 5] f x", "5"},
    script_case{"k: 0 f: function [] [foreach [k v] [1 2] [k + v]] f", "3"},
    script_case{"k: 0 f: function [] [foreach [k v] [1 2] [k + v]] f k", "0"},
    script_case{"f: does [1 + 1] f", "2"},
    script_case{"x: 1 f: has [x] [x: 5] f x", "1"},
    script_case{"f: has [x] [x: 5 x] f", "5"},
    script_case{"s: [a b] t: next next s clear s f: func t [1] f", "1"},
    script_case{"func [a a] []", "error script/dup-vars"},
    script_case{"func [x:] []", "error script/bad-func-def"}));

INSTANTIATE_TEST_SUITE_P(SwitchAndCase, ControlScripts, ::testing::Values(
    script_case{"switch 3 [1 [a] 2 [b]]", "none"},
    script_case{"switch/default 3 [1 ['a] 2 ['b]] ['c]", "c"},
    script_case{"switch 2 [1 ['a] 2 ['b]]", "b"},
    script_case{"switch 1 [1 2 ['x] 3 ['y]]", "x"},
    script_case{"switch/default [1] [[1] ['a]] ['d]", "d"},
    script_case{"switch 'b [a ['x] b ['y]]", "y"},
    script_case{"switch \"B\" [\"b\" [1]]", "1"},
    script_case{"switch/default 3 [1 [a] 3] [9]", "9"},
    script_case{"case [true]", "error script/need-value"},
    script_case{"case/all [true [1] true [2]]", "2"},
    script_case{"case/all [true [1] false [2]]", "none"},
    script_case{"x: 0 case/all [true [x: 1] false [2]] x", "1"},
    script_case{"case [false [1] 1 < 2 [2] true [3]]", "2"},
    script_case{"case [none [1]]", "none"},
    script_case{"case [true 5]", "5"},
    script_case{"x: 0 case [false [x: 1] true [x]]", "0"},
    script_case{"case [() [1]]", "error script/no-return"}));

INSTANTIATE_TEST_SUITE_P(Do, ControlScripts, ::testing::Values(
    script_case{"do [1 + 2]", "3"},
    script_case{"do \"1 + 2\"", "3"},
    script_case{"do 5", "5"},
    script_case{"x: 5 do 'x", "5"},
    script_case{"f: func [] [7] g: do :f g", "7"},
    script_case{"b: [1 + 2 3 * 4] do/next b 'p", "3"},
    script_case{"b: [1 + 2 3 * 4] do/next b 'p p", "[3 * 4]"},
    script_case{"do/next [] 'p", "unset"},
    script_case{"do/next \"1 + 2 3\" 'p p", "[3]"},
    script_case{"do make error! \"boom\"", "error user/message"},
    // Files go to the library's do-file, the arguments unevaluated.
    script_case{"do-file: func [f c a] [a] do/args %x.kel 'w", "w"},
    script_case{"do-file: func [f c a] [a] do %x.kel", "none"},
    script_case{"loop 3 [do [break/return 4]]", "4"}));

INSTANTIATE_TEST_SUITE_P(ExitsThroughFunctions, ControlScripts, ::testing::Values(
    script_case{"f: func [] [foreach x [1 2 3] [if x = 2 [return x]] 0] f", "2"},
    script_case{"f: func [] [while [true] [return 1]] f", "1"},
    script_case{"f: func [] [while [return 2] [1]] f", "2"},
    script_case{"f: func [] [repeat i 5 [if i = 3 [return i]]] f", "3"},
    script_case{"f: func [] [forever [exit]] f", "unset"},
    script_case{"f: func [b] [forall b [if b/1 = 2 [return index? b]]] f [1 2 3]", "2"},
    script_case{"f: func [] [remove-each x [1 2] [return x]] f", "1"},
    script_case{"f: func [] [until [return 3]] f", "3"},
    script_case{"f: func [] [case [true [return 4]] 0] f", "4"},
    script_case{"f: func [] [switch 1 [1 [return 5]] 0] f", "5"},
    script_case{"f: func [] [any [return 6] 0] f", "6"},
    script_case{"f: func [] [do [return 9] 1] f", "9"},
    script_case{"catch [loop 3 [throw 8]]", "8"},
    script_case{"x: 0 loop 3 [x: x + 1 loop 2 [break]] x", "3"},
    script_case{"e: try [loop 3 [1 / 0]] e/id", "zero-divide"},
    script_case{"x: 0 loop 3 [x: x + 1 try [foreach y [1] [1 / 0]]] x", "3"}));

TEST_F(ControlTest, ErrorMessages) {
    struct {
        const char* script;
        const char* message;
    } cases[] = {
        {"while [break] [1]", "BREAK/CONTINUE cannot be used in WHILE condition block"},
        {"either () [1] [2]", "block did not return a value"},
        {"case [true]", "case needs a value"},
        {"x: 5 forall x [1]", "forall does not allow integer! for its word argument"},
        {"foreach [] [1 2] [1]", "invalid argument: []"},
        {"b: [1 2 3] forall b [b: 7]", "Loop series changed to invalid value: 7"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(run(c.script).substr(0, 6), "error ") << c.script;
        EXPECT_NE(error_text().find(c.message), std::string::npos) << c.script << "\n" << error_text();
    }
}

TEST_F(ControlTest, ErrorsInConditionsAreNearTheirExpression) {
    for (const char* script : {"all [1 2 / 0]", "any [none 2 / 0]", "case [false [1] 2 / 0 [2]]"}) {
        EXPECT_EQ(run(script), "error math/zero-divide") << script;
        cell* e = stack::push(&last_error);
        cell* near = stack::push(error::get_field(e, error::FIELD_NEAR));
        EXPECT_EQ(molded(near).substr(0, 6), "[2 / 0") << script;
        stack::pop(2);
    }
}

TEST_F(ControlTest, ReturnsThroughLoopsLeaveTheStacksBalanced) {
    call_frame* ctop = stack::ctop;
    cell* top = stack::top;
    EXPECT_EQ(run("f: func [] [foreach x [1 2] [while [true] [return x]]] n: 0 loop 20000 [n: n + f] n"),
              "20000");
    EXPECT_EQ(stack::ctop, ctop);
    EXPECT_EQ(stack::top, top);
}

TEST_F(ControlTest, BodiesThatAllocateKeepTheirLoopState) {
    // The stress build collects at every allocation, moving the series under the loops.
    EXPECT_EQ(run("b: [] foreach x [1 2 3] [append b copy [a b]] length? b"), "6");
    EXPECT_EQ(run("b: copy [] repeat i 40 [append b i] remove-each x b [append copy [1] x 20 < x] length? b"),
              "20");
    EXPECT_EQ(run("b: [1 2 3] r: copy [] forall b [append r copy b] r"), "[1 2 3 2 3 3]");
}

}  // namespace
}  // namespace kel
