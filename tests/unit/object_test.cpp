#include "tests/unit/objects_fixture.h"

namespace kel::testing {
namespace {

using Objects = ObjectsTest;

TEST_F(Objects, MakeCollectsBindsAndEvaluatesItsSpec) {
    cell* o = make_object({set_word("a"), integer_value(1), set_word("b"), set_word("c"), *str("x")});
    EXPECT_EQ(object::field_count(o), 3u);
    EXPECT_EQ(int_of(field(o, "a")), 1);
    EXPECT_EQ(molded(field(o, "c")), "\"x\"");
    // The spec's evaluation marks fields as set; make leaves no mark behind.
    for (uint32_t i = 0; i < 3; i++) EXPECT_FALSE(field_set_q(object::context_of(o), i));
    // The context's owner cell is the object itself.
    EXPECT_EQ(series_cell(o->w1, 1)->w1, o->w1);
}

TEST_F(Objects, ClassIdsFollowTheFieldsAPrototypeGets) {
    cell* proto = make_object({set_word("a"), integer_value(1)});
    cell* same = make_object({set_word("a"), integer_value(2)}, proto);
    cell* grown = make_object({set_word("b"), integer_value(3)}, proto);
    cell* fresh = make_object({set_word("a"), integer_value(1)});
    EXPECT_EQ(same->w2, proto->w2);
    EXPECT_NE(grown->w2, proto->w2);
    EXPECT_NE(fresh->w2, proto->w2);
    EXPECT_NE(fresh->w2, grown->w2);
    EXPECT_EQ(int_of(field(grown, "a")), 1);
}

TEST_F(Objects, APrototypesBlockIsCopiedAndRebound) {
    cell* inner = push_block({global_word("a")});
    cell* proto = make_object({set_word("a"), integer_value(1), set_word("code"), *inner});
    *field(proto, "code") = *inner;
    _context::bind(field(proto, "code"), proto->w1, true);
    cell* child = make_object({set_word("a"), integer_value(2)}, proto);
    cell* code = field(child, "code");
    EXPECT_NE(series_node(code), series_node(field(proto, "code")));
    EXPECT_EQ(block::ks_head(code)->w1, child->w1);
    EXPECT_EQ(block::ks_head(field(proto, "code"))->w1, proto->w1);
}

TEST_F(Objects, MakeRefusesASpecThatIsNeitherBlockNorObject) {
    cell* proto = datatype::push(TYPE_OBJECT);
    cell* spec = integer(1);
    EXPECT_EQ(raised_code([&] { object::make(proto, spec, TYPE_OBJECT); }),
              error_code(ERR_SYNTAX, uint32_t(syntax_error::malconstruct)));
}

TEST_F(Objects, MakeFromSpecReadsLiteralWordsUnlessOnly) {
    cell* spec = push_block({set_word("a"), global_word("yes"), set_word("b"), global_word("none"), set_word("c")});
    cell* none = stack::push(&none_value);
    cell* o = object::make_from_spec(none, spec, false);
    EXPECT_EQ(molded(field(o, "a")), "true");
    EXPECT_EQ(TYPE_OF(field(o, "b")), uint32_t(TYPE_NONE));
    EXPECT_EQ(TYPE_OF(field(o, "c")), uint32_t(TYPE_NONE));
    cell* only = object::make_from_spec(none, spec, true);
    EXPECT_EQ(TYPE_OF(field(only, "a")), uint32_t(TYPE_WORD));
}

TEST_F(Objects, MoldAndFormLayout) {
    cell* inner = make_object({set_word("x"), integer_value(1)});
    cell* o = make_object({set_word("a"), integer_value(1), set_word("w"), integer_value(0), set_word("s"), *str("t"),
                           set_word("in"), integer_value(0)});
    *field(o, "w") = global_word("b");
    *field(o, "in") = *inner;
    struct row {
        bool only, flat;
        const char* text;
    } rows[] = {
        {false, false,
         "make object! [\n    a: 1\n    w: 'b\n    s: \"t\"\n    in: make object! [\n        x: 1\n    ]\n]"},
        {false, true, "make object! [a: 1 w: 'b s: \"t\" in: make object! [x: 1]]"},
        {true, false, "a: 1\nw: 'b\ns: \"t\"\nin: make object! [\n        x: 1\n    ]"},
    };
    for (const row& r : rows) {
        cell* buffer = new_buffer();
        object::mold(o, buffer, r.only, false, r.flat, nullptr, 1000, 0);
        EXPECT_EQ(text_of(buffer), r.text) << r.only << r.flat;
    }
    cell* buffer = new_buffer();
    object::form(inner, buffer, nullptr, 1000);
    EXPECT_EQ(text_of(buffer), "x: 1");
}

TEST_F(Objects, AnObjectInsideItselfMoldsAsACycle) {
    cell* o = make_object({set_word("me"), integer_value(0)});
    *field(o, "me") = *o;
    EXPECT_EQ(molded(o), "make object! [\n    me: make object! [...]\n]");
}

TEST_F(Objects, HandlersAreHiddenUnlessAll) {
    cell* o = make_object({set_word("a"), integer_value(1), set_word("on-change*"), *function_value({"word", "old", "new"})});
    cell* buffer = new_buffer();
    object::mold(o, buffer, true, false, true, nullptr, 1000, 0);
    EXPECT_EQ(text_of(buffer), "a: 1");
}

TEST_F(Objects, Compare) {
    cell* a = make_object({set_word("x"), integer_value(1), set_word("y"), *str("s")});
    cell* b = make_object({set_word("x"), integer_value(1), set_word("y"), *str("S")});
    cell* c = make_object({set_word("x"), integer_value(2), set_word("y"), *str("s")});
    cell* d = make_object({set_word("x"), integer_value(1), set_word("y"), *str("s"), set_word("z"), integer_value(0)});
    cell* e = stack::push(&none_value);
    *e = cell{TYPE_ERROR, b->w1, 1, 0};
    struct row {
        cell *left, *right;
        int32_t op, expected;
    } rows[] = {
        {a, b, COMP_EQUAL, 0},   {a, b, COMP_STRICT_EQUAL, 1}, {a, c, COMP_LESSER, -1}, {c, a, COMP_LESSER, 1},
        {a, d, COMP_EQUAL, -1},  {d, a, COMP_EQUAL, 1},        {a, a, COMP_SAME, 0},    {a, b, COMP_SAME, -1},
        {a, e, COMP_EQUAL, INCOMPARABLE},
    };
    for (const row& r : rows) EXPECT_EQ(object::compare(r.left, r.right, r.op), r.expected) << r.op;
    EXPECT_EQ(error::compare(e, a, COMP_EQUAL), INCOMPARABLE);
}

TEST_F(Objects, PathAccessAndItsErrors) {
    cell* o = make_object({set_word("a"), integer_value(1)});
    cell* a = stack::push(&none_value);
    *a = global_word("A");
    EXPECT_EQ(int_of(object::eval_path(o, a, nullptr, a, nullptr, nullptr, 0, false, false, false, false)), 1);
    cell* two = integer(2);
    object::eval_path(o, a, two, a, nullptr, nullptr, 0, false, false, false, false);
    EXPECT_EQ(int_of(field(o, "a")), 2);
    cell* missing = stack::push(&none_value);
    *missing = global_word("zz");
    struct row {
        cell* element;
        bool get_q, tail_q;
        uint32_t code;
    } rows[] = {
        {two, false, false, WordsTest::script_code(script_error::invalid_path)},
        {missing, false, false, WordsTest::script_code(script_error::unset_path)},
        {missing, false, true, WordsTest::script_code(script_error::invalid_path)},
        {missing, true, true, 0},
    };
    for (const row& r : rows)
        EXPECT_EQ(raised_code([&] { object::eval_path(o, r.element, nullptr, o, nullptr, nullptr, 0, false, r.get_q, r.tail_q, false); }),
                  r.code);
}

TEST_F(Objects, SettingThroughAPathCallsOnChange) {
    cell* handler = function_value({"word", "old", "new", "/local", "x"});
    cell* o = make_object({set_word("a"), integer_value(1), set_word("on-change*"), *handler});
    cell* a = stack::push(&none_value);
    *a = global_word("a");
    cell* two = integer(2);
    object::eval_path(o, a, two, a, nullptr, nullptr, 0, false, false, false, false);
    ASSERT_EQ(events.size(), 1u);
    const handler_event& e = events[0];
    EXPECT_EQ(e.name, "on-change*");
    ASSERT_EQ(e.args.size(), 5u);  // word old new, then false and one none for /local x
    EXPECT_EQ(e.args[0].w1, o->w1);
    EXPECT_EQ(int_of(&e.args[1]), 1);
    EXPECT_EQ(int_of(&e.args[2]), 2);
    EXPECT_EQ(TYPE_OF(&e.args[3]), uint32_t(TYPE_LOGIC));
    EXPECT_EQ(TYPE_OF(&e.args[4]), uint32_t(TYPE_NONE));

    // A replaced handler with another /local list is counted again.
    *field(o, "on-change*") = *function_value({"word", "old", "new"});
    cell* three = integer(3);
    object::eval_path(o, a, three, a, nullptr, nullptr, 0, false, false, false, false);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].args.size(), 3u);
}

TEST_F(Objects, EventsNeedFunctionHandlers) {
    EXPECT_EQ(raised_code([&] { make_object({set_word("on-change*"), integer_value(0)}); }),
              script_code(script_error::bad_field_set));
    cell* p = make_object({set_word("a"), integer_value(1)});
    EXPECT_FALSE(p->w3);
}

TEST_F(Objects, DeepChangeOfAnOwnedSeriesCallsTheOwner) {
    cell* list_value = push_block({integer_value(1)});
    cell* handler = function_value({"owner", "word", "target", "action", "new", "index", "part"});
    cell* o = make_object({set_word("list"), *list_value, set_word("on-deep-change*"), *handler});
    EXPECT_TRUE(object::has_deep_handler_q(o));
    cell* list = stack::push(field(o, "list"));
    EXPECT_TRUE(ownership::check(list, owner_action::append, 1, 1));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].name, "on-deep-change*");
    ASSERT_EQ(events[0].args.size(), 7u);
    EXPECT_EQ(events[0].args[0].w1, o->w1);
    EXPECT_EQ(name_of(events[0].args[1].w2), "list");
    EXPECT_EQ(name_of(events[0].args[3].w2), "append");
    EXPECT_EQ(int_of(&events[0].args[5]), 1);
}

TEST_F(Objects, SetManyFromBlocksAndObjects) {
    struct row {
        std::vector<cell> source;
        bool some;
        const char* expected;
    } rows[] = {
        {{integer_value(7)}, false, "a: 7 b: none c: none"},
        {{integer_value(7), none_value, integer_value(9)}, true, "a: 7 b: 2 c: 9"},
    };
    for (const row& r : rows) {
        cell* o = make_object({set_word("a"), integer_value(1), set_word("b"), integer_value(2), set_word("c"), integer_value(3)});
        cell* source = push_block({});
        for (const cell& c : r.source) block::ks_append(source, &c);
        object::set_many(o, source, false, false, r.some);
        cell* buffer = new_buffer();
        object::mold(o, buffer, true, false, true, nullptr, 1000, 0);
        EXPECT_EQ(text_of(buffer), r.expected);
    }
    cell* o = make_object({set_word("a"), integer_value(1), set_word("b"), integer_value(2)});
    cell* from = make_object({set_word("B"), integer_value(5), set_word("x"), integer_value(6)});
    object::set_many(o, from, false, false, false);
    EXPECT_EQ(int_of(field(o, "a")), 1);
    EXPECT_EQ(int_of(field(o, "b")), 5);
    cell* unset = push_block({unset_value});
    EXPECT_EQ(raised_code([&] { object::set_many(o, unset, false, false, false); }), script_code(script_error::need_value));
    object::set_many(o, unset, true, false, false);
    EXPECT_EQ(TYPE_OF(field(o, "a")), uint32_t(TYPE_UNSET));
}

TEST_F(Objects, SelectPutModifyAndTheirErrors) {
    cell* o = make_object({set_word("a"), integer_value(1)});
    cell* a = stack::push(&none_value);
    *a = global_word("a");
    cell* missing = stack::push(&none_value);
    *missing = global_word("nope");
    cell* one = integer(1);
    EXPECT_EQ(int_of(object::select(o, a, nullptr, false, false, false, false, nullptr, nullptr, false, false)), 1);
    EXPECT_EQ(TYPE_OF(object::select(o, missing, nullptr, false, false, false, false, nullptr, nullptr, false, false)),
              uint32_t(TYPE_NONE));
    EXPECT_EQ(raised_code([&] { object::select(o, one, nullptr, false, false, false, false, nullptr, nullptr, false, false); }),
              script_code(script_error::invalid_type));
    EXPECT_EQ(raised_code([&] { object::put(o, one, one, false); }), script_code(script_error::invalid_key_type));
    cell* nine = integer(9);
    object::put(o, a, nine, false);
    EXPECT_EQ(int_of(field(o, "a")), 9);

    cell* changed = stack::push(&none_value);
    *changed = global_word("changed");
    EXPECT_EQ(molded(const_cast<cell*>(object::reflect(o, changed->w2))), "[a]");
    EXPECT_EQ(raised_code([&] { object::modify(o, changed, one, false); }), script_code(script_error::invalid_arg));
    object::modify(o, changed, stack::push(&none_value), false);
    EXPECT_EQ(molded(const_cast<cell*>(object::reflect(o, changed->w2))), "[]");
}

TEST_F(Objects, Reflect) {
    cell* o = make_object({set_word("a"), integer_value(1), set_word("w"), integer_value(0)});
    *field(o, "w") = global_word("b");
    struct row {
        const char* field;
        const char* text;
    } rows[] = {
        {"words", "[a w]"},
        {"values", "[1 b]"},
        {"body", "[\n    a: 1\n    w: 'b\n]"},
        {"events?", "false"},
        {"owner", "false"},
    };
    for (const row& r : rows) EXPECT_EQ(molded(const_cast<cell*>(object::reflect(o, sym(r.field)))), r.text) << r.field;
    EXPECT_EQ(int_of(object::reflect(o, sym("class"))), static_cast<int32_t>(o->w2));
    cell* words = const_cast<cell*>(object::reflect(o, sym("words")));
    EXPECT_EQ(block::ks_head(words)->w1, o->w1);
    EXPECT_EQ(raised_code([&] { object::reflect(o, sym("spec")); }),
              error_code(ERR_INTERNAL, uint32_t(internal_error::not_done)));
}

TEST_F(Objects, CopyIsDeepOnlyWhenAsked) {
    cell* o = make_object({set_word("s"), *str("x")});
    cell* shallow = stack::push(&none_value);
    object::copy(o, shallow, nullptr, false, nullptr);
    cell* deep = stack::push(&none_value);
    object::copy(o, deep, nullptr, true, nullptr);
    EXPECT_NE(shallow->w1, o->w1);
    EXPECT_EQ(shallow->w2, o->w2);
    EXPECT_EQ(series_node(field(shallow, "s")), series_node(field(o, "s")));
    EXPECT_NE(series_node(field(deep, "s")), series_node(field(o, "s")));
    EXPECT_EQ(molded(field(deep, "s")), "\"x\"");
    stack::arguments = stack::push(&none_value);
    cell* part = integer(1);
    EXPECT_EQ(raised_code([&] { object::copy(o, shallow, part, false, nullptr); }),
              script_code(script_error::invalid_refine_arg));
    stack::arguments = stack::bottom;
}

}  // namespace
}  // namespace kel::testing
