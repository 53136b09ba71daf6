#include <gtest/gtest.h>

#include <string>

#include "tests/unit/function_fixture.h"

using namespace kel;
using namespace kel::testing;

namespace {

class Functions : public FunctionTest {
protected:
    static std::string name(const cell* word) { return name_of(word->w2); }
    static cell* body_of(cell* f) { return more_at(f, MORE_BODY); }
};

TEST_F(Functions, SpecGrammar) {
    struct Case {
        const char* spec;
        script_error error;  // no_value stands for "accepted" where ok is set
        bool ok;
    };
    const Case cases[] = {
        {"[a [integer!] \"doc\"]", {}, true},
        {"[\"title\" a /ref b [string! number!] \"doc\" /local c d]", {}, true},
        {"[a return: [integer!] /local b]", {}, true},
        {"[a return: [integer!] \"doc\"]", {}, true},
        {"[[trace custom] a 'b :c /ref 'd]", {}, true},
        {"[/local]", {}, true},
        {"[a \"doc\" [integer!]]", script_error::bad_func_def, false},
        {"[return: [integer!] a]", script_error::bad_func_def, false},
        {"[a return: [integer!] return: [integer!]]", script_error::bad_func_def, false},
        {"[a return:]", script_error::bad_func_def, false},
        {"[a return: \"doc\" [integer!]]", script_error::bad_func_def, false},
        {"[a return: [integer!] /ref]", script_error::bad_func_def, false},
        {"[a /local x 'y]", script_error::bad_func_def, false},
        {"[a /local x :y]", script_error::bad_func_def, false},
        {"[a /local x /ref]", script_error::bad_func_def, false},
        {"[a /local x return: [integer!]]", script_error::bad_func_def, false},
        {"[/ref [integer!]]", script_error::bad_func_def, false},
        {"[a [integer!] [integer!]]", script_error::bad_func_def, false},
        {"[\"title\" [integer!]]", script_error::bad_func_def, false},
        {"[[trace 1] a]", script_error::bad_func_def, false},
        {"[a x: b]", script_error::bad_func_def, false},
        {"[a 1]", script_error::bad_func_def, false},
        {"[a [unknown-type!]]", script_error::no_value, false},
        {"[a [1]]", script_error::invalid_type_spec, false},
        {"[a [integer! none]]", script_error::invalid_type_spec, false},
        {"[a b A]", script_error::dup_vars, false},
        {"[a /ref 'A]", script_error::dup_vars, false},
        {"[a /a]", script_error::dup_vars, false},
        {"[a /local a]", script_error::dup_vars, false},
    };
    for (const Case& c : cases) {
        cell* spec = load(c.spec);
        uint32_t code = raised_code([&] { function::validate_spec(spec); });
        EXPECT_EQ(code, c.ok ? 0u : script_code(c.error)) << c.spec;
    }
}

TEST_F(Functions, ErrorsNameTheCulprit) {
    cell* spec = load("[a b A]");
    raised_code([&] { function::validate_spec(spec); });
    EXPECT_EQ(name(&last_raised_error().args[0]), "A");  // the second occurrence

    spec = load("[a \"doc\" [integer!]]");
    raised_code([&] { function::validate_spec(spec); });
    EXPECT_EQ(last_raised_error().args[0].w2, spec->w2);  // the whole spec

    spec = load("[a [integer! 7]]");
    raised_code([&] { function::validate_spec(spec); });
    EXPECT_EQ(last_raised_error().args[0].w2, 7u);
}

TEST_F(Functions, AttributeFlags) {
    struct Case {
        const char* spec;
        uint32_t flags;
    };
    const Case cases[] = {
        {"[a]", 0},
        {"[[] a]", 0},
        {"[[trace] a]", FUNC_TRACE},
        {"[[no-trace catch] a]", FUNC_NO_TRACE},
        {"[[no-trace trace]]", FUNC_TRACE | FUNC_NO_TRACE},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(function::validate_spec(load(c.spec)), c.flags) << c.spec;
        cell* f = func(c.spec, "[]");
        EXPECT_EQ(f->header, TYPE_FUNCTION | c.flags) << c.spec;
    }
}

TEST_F(Functions, MoldAndForm) {
    cell* f = func("[a]", "[a + 1]");
    EXPECT_EQ(molded(f), "func [a][a + 1]");
    EXPECT_EQ(formed(f), "?function?");

    cell* spec = load("[a /ref b]");
    function::push(spec, nullptr, 0, 0, 0, 0);
    EXPECT_EQ(molded(stack::top_cell()), "func [a /ref b] none");

    cell* buffer = new_buffer();
    EXPECT_EQ(mold_dispatch(f, buffer, false, false, false, nullptr, 100, 0), 100 - 15);
}

TEST_F(Functions, PushBuildsTheValue) {
    cell* spec = load("[x a b]");
    spec->w1 = 1;  // a spec not at its head is copied from there
    cell* body = load("[a + [b (a)]]");
    node_id ctx = function::push(spec, body, 0, 7, 9, FUNC_TRACE);
    cell* f = stack::top_cell();

    EXPECT_EQ(f->header, TYPE_FUNCTION | FUNC_TRACE);
    EXPECT_EQ(f->w1, ctx);
    EXPECT_NE(f->w2, spec->w2);
    cell s{TYPE_BLOCK, 0, f->w2, 0};
    EXPECT_EQ(molded(&s), "[a b]");

    const cell* c = ctx_cell(ctx);
    EXPECT_EQ(ctx_kind(c), CTX_FUNCTION);
    EXPECT_TRUE(c->header & CTX_ON_STACK);
    EXPECT_FALSE(c->header & CTX_SELF);
    EXPECT_EQ(ctx_slot_count(c), 2u);
    EXPECT_EQ(std::memcmp(series_cell(ctx, 1), f, sizeof(cell)), 0);  // the owner is the function

    cell* copy = body_of(f);
    EXPECT_NE(copy->w2, body->w2);
    EXPECT_EQ(molded(copy), "[a + [b (a)]]");
    cell* nested = series_cell(copy->w2, 2);
    EXPECT_NE(nested->w2, series_cell(body->w2, 2)->w2);  // deep
    EXPECT_EQ(series_cell(copy->w2, 0)->w1, ctx);  // bound to the function
    EXPECT_EQ(series_cell(series_cell(nested->w2, 1)->w2, 0)->w1, ctx);  // in the paren too
    EXPECT_EQ(series_cell(copy->w2, 1)->w1, global_context);  // + is not an argument

    EXPECT_EQ(TYPE_OF(more_at(f, MORE_ARGS)), TYPE_UNSET);
    EXPECT_EQ(int_of(more_at(f, MORE_CODE)), 7);
    EXPECT_EQ(TYPE_OF(more_at(f, MORE_OP)), TYPE_UNSET);
    EXPECT_EQ(int_of(more_at(f, MORE_EXTRA)), 9);
    EXPECT_EQ(series::buffer_length(&s), 2);
}

TEST_F(Functions, NamesInAnotherCaseShareASlot) {
    cell* spec = load("[a A /r R]");
    node_id ctx = function::push(spec, nullptr, 0, 0, 0, 0);
    EXPECT_EQ(ctx_slot_count(ctx_cell(ctx)), 2u);
}

TEST_F(Functions, BodyContainingItselfIsRefused) {
    cell* spec = load("[a]");
    cell* body = load("[a]");
    block::ks_append(body, body);
    EXPECT_EQ(raised_code([&] { function::push(spec, body, 0, 0, 0, 0); }), internal_code(internal_error::no_cycle));
}

TEST_F(Functions, Make) {
    cell* spec = load("[[a] [a + 1] ignored]");
    const cell* f = make(TYPE_FUNCTION, spec);
    EXPECT_EQ(molded(const_cast<cell*>(f)), "func [a][a + 1]");

    for (const char* text : {"[[a]]", "[[a] 1]", "[1 [a]]", "[]"}) {
        cell* s = load(text);
        EXPECT_EQ(raised_code([&] { make(TYPE_FUNCTION, s); }), script_code(script_error::bad_func_def)) << text;
        EXPECT_EQ(last_raised_error().args[0].w2, s->w2) << text;
    }
    cell* one = value("1");
    EXPECT_EQ(raised_code([&] { make(TYPE_FUNCTION, one); }), script_code(script_error::bad_func_def));
    cell* bad = load("[[a a] []]");
    EXPECT_EQ(raised_code([&] { make(TYPE_FUNCTION, bad); }), script_code(script_error::dup_vars));
}

TEST_F(Functions, Reflect) {
    cell* f = func("[a /r b]", "[a]");
    const cell* spec = function::reflect(f, sym("spec"));
    EXPECT_EQ(spec->w2, f->w2);
    EXPECT_EQ(spec->w1, 0u);
    const cell* body = function::reflect(f, sym("body"));
    EXPECT_EQ(body->w2, body_of(f)->w2);

    cell* words = const_cast<cell*>(function::reflect(f, sym("words")));
    EXPECT_EQ(molded(words), "[a r b]");
    for (uint32_t i = 0; i < 3; i++) {
        cell* w = series_cell(words->w2, i);
        EXPECT_EQ(TYPE_OF(w), TYPE_WORD);
        EXPECT_EQ(w->w1, f->w1);
        EXPECT_EQ(w->w3, i);
    }
    EXPECT_EQ(raised_code([&] { function::reflect(f, sym("class")); }), internal_code(internal_error::not_done));
}

TEST_F(Functions, CompareBySameValue) {
    cell* f = func("[a]", "[a]");
    cell* g = func("[a]", "[a]");
    cell* f2 = stack::push(f);
    EXPECT_TRUE(actions::compare(f, f2, COMP_EQUAL));
    EXPECT_TRUE(actions::compare(f, f2, COMP_SAME));
    EXPECT_FALSE(actions::compare(f, g, COMP_EQUAL));
    EXPECT_TRUE(actions::compare(f, g, COMP_NOT_EQUAL));
    EXPECT_EQ(compare_dispatch(f, g, COMP_EQUAL), function::compare(f, g, COMP_EQUAL));
    EXPECT_EQ(function::compare(f, value("1"), COMP_EQUAL), INCOMPARABLE);
    EXPECT_EQ(raised_code([&] { actions::compare(f, g, COMP_LESSER); }),
              script_code(script_error::invalid_compare));
}

TEST_F(Functions, CollectLocals) {
    struct Case {
        const char* spec;
        const char* body;
        const char* new_spec;
        const char* collected;
    };
    const Case cases[] = {
        {"[a]", "[x: 1 foreach [k v] data [y: 2] a: 3]", "[a /local x k v y]", "[x k v y]"},
        {"[a /local z]", "[z: 1 b: 2 (c: 3) p/q: 4]", "[a /local z b c]", "[b c]"},
        {"[a]", "[x: 1 X: 2 x: 3]", "[a /local x]", "[x]"},
        {"[a]", "[repeat i 3 [foreach j s [remove-each :k s [] remove-each [:m 'n] s []]]]",
         "[a /local i j m n]", "[i j m n]"},
        {"[a]", "[foreach w: s []]", "[a /local w]", "[w]"},
        {"[a]", "[local: 1]", "[a /local]", "[]"},
        {"[a]", "[b c [d]]", "[a]", "[]"},
        {"[a]", "[[y: 1 (z: 2)] x: 3]", "[a /local y z x]", "[y z x]"},
        {"[a /extern g /local z]", "[g: 1 z: 2 w: 3]", "[a /local z w]", "[z w]"},
        {"[a /ref b return: [integer!]]", "[ref: b: r: 1]", "[a /ref b return: [integer!] /local r]", "[r]"},
    };
    for (const Case& c : cases) {
        cell* spec = load(c.spec);
        cell* body = load(c.body);
        cell* collected = function::collect_locals(spec, body);
        EXPECT_EQ(molded(spec), c.new_spec) << c.spec << " " << c.body;
        EXPECT_EQ(molded(collected), c.collected) << c.spec << " " << c.body;
        EXPECT_EQ(function::validate_spec(spec), 0u) << c.spec << " " << c.body;
    }
}

TEST_F(Functions, CollectLocalsOddInput) {
    cell* spec = load("[a /extern b 1]");
    cell* body = load("[]");
    EXPECT_EQ(raised_code([&] { function::collect_locals(spec, body); }),
              script_code(script_error::bad_func_extern));
    EXPECT_EQ(int_of(&last_raised_error().args[0]), 1);

    // A body that holds itself is walked once.
    spec = load("[a]");
    body = load("[x: 1]");
    block::ks_append(body, body);
    function::collect_locals(spec, body);
    EXPECT_EQ(molded(spec), "[a /local x]");
}

TEST_F(Functions, CountLocals) {
    struct Case {
        const char* spec;
        uint32_t start;
        bool require;
        int32_t count;
    };
    const Case cases[] = {
        {"[a /local b c]", 0, false, 3}, {"[a /local]", 0, false, 1}, {"[a b]", 0, false, 0},
        {"[a b]", 0, true, -1},          {"[a /local b]", 2, true, -1}, {"[a /local b \"x\" c]", 1, true, 3},
    };
    for (const Case& c : cases)
        EXPECT_EQ(function::count_locals(load(c.spec)->w2, c.start, c.require), c.count) << c.spec;
}

TEST_F(Functions, PushUnusedRefinement) {
    cell* first = stack::top;
    push_unused_refinement(3);
    ASSERT_EQ(stack::top - first, 3);
    EXPECT_EQ(TYPE_OF(first), TYPE_LOGIC);
    EXPECT_EQ(logic::value(first), 0u);
    EXPECT_EQ(TYPE_OF(first + 1), TYPE_NONE);
    EXPECT_EQ(TYPE_OF(first + 2), TYPE_NONE);
}

TEST_F(Functions, ParamWordAt) {
    cell* f = func("[\"doc\" a 'b /ref c [integer!] \"doc\" :d]", "[]");
    const char* names[] = {"a", "b", "ref", "c", "d"};
    for (int32_t i = 0; i < 5; i++) EXPECT_EQ(name(function::param_word_at(f, i)), names[i]);
    EXPECT_EQ(TYPE_OF(function::param_word_at(f, 5)), TYPE_NONE);
    EXPECT_EQ(TYPE_OF(function::param_word_at(f, -1)), TYPE_NONE);
    EXPECT_EQ(TYPE_OF(function::param_word_at(load("[a]"), 0)), TYPE_NONE);
}

class Rebind : public Functions {
protected:
    // An object context with the fields n and f, f holding a function of n.
    void SetUp() override {
        Functions::SetUp();
        object_.node = _context::create(2, false, true, 0, CTX_OBJECT);
        cell* f = function_with_code();
        int32_t n = _context::add_word(object_.node, sym("n"));
        _context::values(ctx_cell(object_.node))[n] = integer_cell(5);
        slot_ = static_cast<uint32_t>(_context::add_word(object_.node, sym("f")));
        *slot() = *f;
    }
    void TearDown() override {
        object_.node = 0;
        Functions::TearDown();
    }
    // A function of a and n whose body also says self, registered with a compiled body.
    static cell* function_with_code() {
        cell* spec = load("[a]");
        cell* body = load("[n + a self [n]]");
        function::push(spec, body, 0, 42, 0, FUNC_NO_TRACE);
        return stack::top_cell();
    }
    cell* slot() { return _context::values(ctx_cell(object_.node)) + slot_; }

    root_node object_;
    uint32_t slot_ = 0;
};

TEST_F(Rebind, RebuildsAgainstTheObject) {
    cell* old = stack::push(slot());
    function::rebind_function(object_.node, slot_);
    cell* f = stack::push(slot());

    EXPECT_EQ(TYPE_OF(f), TYPE_FUNCTION);
    EXPECT_EQ(f->header, TYPE_FUNCTION | FUNC_NO_TRACE);
    EXPECT_EQ(f->w2, old->w2);  // the spec is shared
    EXPECT_NE(f->w1, old->w1);
    EXPECT_NE(f->w3, old->w3);
    EXPECT_EQ(molded(f), "func [a][n + a self [n]]");

    cell* body = body_of(f);
    EXPECT_NE(body->w2, body_of(old)->w2);
    auto word_at = [](const cell* block, uint32_t i) { return series_cell(block->w2, i); };
    EXPECT_EQ(word_at(body, 0)->w1, object_.node);  // n: the object's field
    EXPECT_EQ(word_at(body, 2)->w1, f->w1);         // a: the new locals
    EXPECT_EQ(word_at(body, 3)->w1, object_.node);  // self
    EXPECT_EQ(word_at(word_at(body, 4), 0)->w1, object_.node);
    EXPECT_EQ(word_at(body_of(old), 0)->w1, global_context);  // the old one is untouched

    // The compiled body stays with the old function: the rebuilt one is interpreted.
    EXPECT_EQ(TYPE_OF(more_at(f, MORE_CODE)), TYPE_UNSET);
    EXPECT_EQ(TYPE_OF(more_at(f, MORE_OP)), TYPE_UNSET);
    EXPECT_EQ(std::memcmp(series_cell(f->w1, 1), f, sizeof(cell)), 0);
}

TEST_F(Rebind, WithoutBodyIsRefused) {
    cell* spec = load("[a]");
    function::push(spec, nullptr, 0, 0, 0, 0);
    *slot() = *stack::top_cell();
    EXPECT_EQ(raised_code([&] { function::rebind_function(object_.node, slot_); }),
              script_code(script_error::bad_func_def));
}

TEST_F(Functions, Routine) {
    cell* spec = load("[a [integer!] b /r c return: [integer!]]");
    cell* code = load("[some code]");
    cell* r = routine::push(spec, code, 5, 11, true);
    EXPECT_EQ(TYPE_OF(r), TYPE_ROUTINE);
    EXPECT_TRUE(r->header & ROUTINE_HAS_RETURN);
    EXPECT_EQ(routine::arg_count(r), 3u);
    EXPECT_EQ(body_of(r)->w2, code->w2);
    EXPECT_EQ(int_of(more_at(r, MORE_CODE)), 5);
    EXPECT_EQ(int_of(more_at(r, MORE_EXTRA)), 11);
    EXPECT_EQ(ctx_slot_count(ctx_cell(r->w1)), 4u);
    EXPECT_EQ(molded(r), "routine [a [integer!] b /r c return: [integer!]][some code]");
    EXPECT_EQ(formed(r), "?routine?");
    EXPECT_EQ(get_action_ptr_by_type<ACT_REFLECT>(TYPE_ROUTINE)(r, sym("body"))->w2, code->w2);
    EXPECT_EQ(raised_code([&] { make(TYPE_ROUTINE, spec); }), script_code(script_error::expect_arg));

    cell* text = value("\"text\"");
    cell* s = routine::push(load("[a]"), text, 1, 0, false);
    EXPECT_FALSE(s->header & ROUTINE_HAS_RETURN);
    EXPECT_EQ(molded(s), "routine [a] \"text\"");
    cell* t = routine::push(load("[]"), nullptr, 1, 0, false);
    EXPECT_EQ(molded(t), "routine [] none");
    EXPECT_FALSE(actions::compare(r, s, COMP_EQUAL));
    EXPECT_TRUE(actions::compare(r, r, COMP_EQUAL));
}

TEST_F(Functions, SurvivesCollection) {
    cell* f = func("[a /local b]", "[b: a + [1 (2)]]");
    collector_collect();
    EXPECT_EQ(molded(f), "func [a /local b][b: a + [1 (2)]]");
    EXPECT_EQ(ctx_slot_count(ctx_cell(f->w1)), 3u);
    EXPECT_EQ(series_cell(body_of(f)->w2, 0)->w1, f->w1);
    EXPECT_EQ(std::memcmp(series_cell(f->w1, 1), f, sizeof(cell)), 0);
}

}  // namespace
