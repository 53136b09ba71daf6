#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/unit/function_fixture.h"

using namespace kel;
using namespace kel::testing;

namespace {

int32_t some_native(bool, const int32_t*) { return 0; }
int32_t some_action(const int32_t*) { return 0; }

class Natives : public FunctionTest {
protected:
    // The entry tables as start-up leaves them: every native, every action but slot 8.
    void SetUp() override {
        FunctionTest::SetUp();
        std::vector<native_code> natives(NATIVES_COUNT, some_native);
        fill_native_table(NATIVES_COUNT, natives.data());
        std::vector<action_code> actions(ACTIONS_COUNT, some_action);
        actions[7] = nullptr;
        fill_action_table(ACTIONS_COUNT, actions.data());
    }

    static cell* made(uint32_t type, const std::string& spec) {
        cell* s = load(spec);
        *s = *make(type, s);
        stack::top = s + 1;
        return s;
    }
    static cell* op_of(cell* value) {
        const cell* o = make(TYPE_OP, value);
        return stack::push(o);
    }
};

TEST_F(Natives, MakeRefersToTheEntryByIndex) {
    cell* n = made(TYPE_NATIVE, "[[value [integer!] /only] 107]");
    EXPECT_EQ(n->header, TYPE_NATIVE);
    EXPECT_EQ(n->w1, 107u);
    cell spec{TYPE_BLOCK, 0, n->w2, 0};
    EXPECT_EQ(molded(&spec), "[value [integer!] /only]");
    cell more{TYPE_BLOCK, 0, n->w3, 0};
    ASSERT_EQ(series::buffer_length(&more), 2);
    EXPECT_EQ(TYPE_OF(series_cell(n->w3, 0)), TYPE_CONTEXT);
    EXPECT_EQ(ctx_kind(series_cell(n->w3, 0)), CTX_FUNCTION);
    EXPECT_EQ(TYPE_OF(series_cell(n->w3, 1)), TYPE_NONE);

    cell* a = made(TYPE_ACTION, "[[series value] 25]");
    EXPECT_EQ(a->header, TYPE_ACTION);
    EXPECT_EQ(a->w1, 25u);
}

TEST_F(Natives, MakeRefusesWhatCallsNothing) {
    struct Case {
        uint32_t type;
        const char* spec;
    };
    const Case cases[] = {
        {TYPE_NATIVE, "[[a] 0]"},   {TYPE_NATIVE, "[[a] 108]"},  // past the filled table
        {TYPE_NATIVE, "[[a] 121]"}, {TYPE_NATIVE, "[[a] -1]"},   {TYPE_ACTION, "[[a] 8]"},  // the empty slot
        {TYPE_ACTION, "[[a] 63]"},  {TYPE_NATIVE, "[[a]]"},      {TYPE_NATIVE, "[[a] 1 2]"},
        {TYPE_NATIVE, "[[a] b]"},   {TYPE_NATIVE, "[a 1]"},      {TYPE_ACTION, "[1 1]"},
        {TYPE_NATIVE, "7"},
    };
    for (const Case& c : cases) {
        cell* spec = c.spec[0] == '[' ? load(c.spec) : value(c.spec);
        EXPECT_EQ(raised_code([&] { make(c.type, spec); }), script_code(script_error::bad_make_arg)) << c.spec;
        EXPECT_EQ(last_raised_error().args[0].w1, c.type);
        EXPECT_EQ(std::memcmp(&last_raised_error().args[1], spec, sizeof(cell)), 0) << c.spec;
    }
}

TEST_F(Natives, MakeNeedsAFilledTable) {
    std::memset(native_entries, 0, sizeof native_entries);
    native_fill_index = 1;
    native_code three[] = {some_native, some_native, some_native};
    fill_native_table(3, three);
    EXPECT_EQ(made(TYPE_NATIVE, "[[a] 3]")->w1, 3u);
    cell* spec = load("[[a] 4]");
    EXPECT_EQ(raised_code([&] { make(TYPE_NATIVE, spec); }), script_code(script_error::bad_make_arg));
    fill_native_table(1, three);
    EXPECT_EQ(made(TYPE_NATIVE, "[[a] 4]")->w1, 4u);
}

TEST_F(Natives, FormMoldReflect) {
    cell* n = made(TYPE_NATIVE, "[[a \"doc\" b] 12]");
    cell* a = made(TYPE_ACTION, "[[value] 5]");
    EXPECT_EQ(formed(n), "?native?");
    EXPECT_EQ(molded(n), "make native! [[a \"doc\" b]]");
    EXPECT_EQ(formed(a), "?action?");
    EXPECT_EQ(molded(a), "make action! [[value]]");
    cell* buffer = new_buffer();
    EXPECT_EQ(mold_dispatch(a, buffer, false, false, false, nullptr, 50, 0), 50 - 22);

    for (cell* v : {n, a}) {
        auto reflect = get_action_ptr_by_type<ACT_REFLECT>(TYPE_OF(v));
        const cell* spec = reflect(v, sym("spec"));
        EXPECT_EQ(TYPE_OF(spec), TYPE_BLOCK);
        EXPECT_EQ(spec->w2, v->w2);
        const cell* body = reflect(v, sym("body"));
        EXPECT_EQ(TYPE_OF(body), TYPE_INTEGER);
        EXPECT_EQ(static_cast<uint32_t>(int_of(body)), v->w1);
        EXPECT_EQ(raised_code([&] { reflect(v, sym("words")); }), internal_code(internal_error::not_done));
    }
}

TEST_F(Natives, CompareByEntry) {
    cell* n1 = made(TYPE_NATIVE, "[[a] 3]");
    cell* n2 = made(TYPE_NATIVE, "[[b c] 3]");
    cell* n3 = made(TYPE_NATIVE, "[[a] 4]");
    cell* a3 = made(TYPE_ACTION, "[[a] 3]");
    EXPECT_TRUE(actions::compare(n1, n2, COMP_EQUAL));
    EXPECT_TRUE(actions::compare(n1, n2, COMP_SAME));
    EXPECT_FALSE(actions::compare(n1, n3, COMP_EQUAL));
    EXPECT_FALSE(actions::compare(n1, a3, COMP_EQUAL));
    EXPECT_EQ(native_datatype::compare(n1, a3, COMP_EQUAL), INCOMPARABLE);
    EXPECT_EQ(raised_code([&] { actions::compare(n1, n3, COMP_LESSER); }),
              script_code(script_error::invalid_compare));
    EXPECT_EQ(compare_dispatch(n1, n2, COMP_EQUAL), 0);
}

TEST_F(Natives, OpSpecs) {
    struct Case {
        const char* spec;
        bool ok;
    };
    const Case cases[] = {
        {"[a b /local c]", true},  {"[a 'b]", true},   {"[a :b]", true},
        {"[\"doc\" a [integer!] \"x\" b]", true},      {"[a b return: [integer!]]", true},
        {"[a b /extern c]", true}, {"[a b c]", false}, {"[a]", false},
        {"['a b]", false},         {"[:a b]", false},  {"[a b /only]", false},
        {"[a /only b]", false},
    };
    for (const Case& c : cases) {
        cell* f = func(c.spec, "[]");
        uint32_t code = raised_code([&] { make(TYPE_OP, f); });
        EXPECT_EQ(code, c.ok ? 0u : script_code(script_error::bad_op_spec)) << c.spec;
        cell* n = made(TYPE_NATIVE, std::string("[") + c.spec + " 1]");
        EXPECT_EQ(raised_code([&] { make(TYPE_OP, n); }), code) << c.spec;
    }
    cell* i = value("5");
    EXPECT_EQ(raised_code([&] { make(TYPE_OP, i); }), script_code(script_error::invalid_type));
    EXPECT_EQ(last_raised_error().args[0].w1, static_cast<uint32_t>(TYPE_INTEGER));
}

TEST_F(Natives, OpOfAFunction) {
    cell* f = func("[[trace] a b]", "[a + b]");
    cell* o = op_of(f);
    EXPECT_EQ(TYPE_OF(o), TYPE_OP);
    EXPECT_EQ(op_wrapped_type(o), static_cast<uint32_t>(TYPE_FUNCTION));
    EXPECT_TRUE(o->header & FUNC_TRACE);
    EXPECT_EQ(o->w1, f->w1);
    EXPECT_EQ(o->w2, f->w2);
    EXPECT_EQ(o->w3, f->w3);
    EXPECT_EQ(std::memcmp(more_at(f, MORE_OP), f, sizeof(cell)), 0);
    EXPECT_EQ(formed(o), "?op?");
    EXPECT_EQ(molded(o), "make op! func [[trace] a b][a + b]");
    const cell* body = get_action_ptr_by_type<ACT_REFLECT>(TYPE_OP)(o, sym("body"));
    EXPECT_EQ(body->w2, more_at(f, MORE_BODY)->w2);

    // Only the op holds the function now: its context, spec and body stay alive.
    *f = none_value;
    collector_collect();
    EXPECT_EQ(molded(o), "make op! func [[trace] a b][a + b]");
    EXPECT_EQ(TYPE_OF(ctx_cell(o->w1)), TYPE_CONTEXT);
    EXPECT_EQ(ctx_slot_count(ctx_cell(o->w1)), 2u);
}

TEST_F(Natives, OpOfANativeOrRoutine) {
    cell* n = made(TYPE_NATIVE, "[[a b] 3]");
    cell* o = op_of(n);
    EXPECT_EQ(o->header, TYPE_OP | (TYPE_NATIVE << 16));
    EXPECT_EQ(molded(o), "make op! [[a b]]");
    EXPECT_EQ(int_of(get_action_ptr_by_type<ACT_REFLECT>(TYPE_OP)(o, sym("body"))), 3);

    cell* r = routine::push(load("[a [integer!] b [integer!]]"), nullptr, 9, 0, true);
    cell* ro = op_of(r);
    EXPECT_EQ(op_wrapped_type(ro), static_cast<uint32_t>(TYPE_ROUTINE));
    EXPECT_EQ(routine::arg_count(ro), 2u);  // the routine's own flags stay
    EXPECT_TRUE(ro->header & ROUTINE_HAS_RETURN);
    EXPECT_EQ(std::memcmp(more_at(r, MORE_OP), r, sizeof(cell)), 0);
}

TEST_F(Natives, OpsCompareByWhatTheyWrap) {
    cell* n = op_of(made(TYPE_NATIVE, "[[a b] 3]"));
    cell* n2 = op_of(made(TYPE_NATIVE, "[[x y] 3]"));
    cell* a = op_of(made(TYPE_ACTION, "[[a b] 3]"));
    EXPECT_TRUE(actions::compare(n, n2, COMP_EQUAL));
    EXPECT_FALSE(actions::compare(n, a, COMP_EQUAL));  // same index, another table
    EXPECT_NE(compare_dispatch(n, a, COMP_EQUAL), 0);
}

}  // namespace
