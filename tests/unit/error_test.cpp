#include "tests/unit/objects_fixture.h"

namespace kel::testing {
namespace {

class Errors : public ObjectsTest {
protected:
    static cell* make_error(cell* spec) {
        cell* proto = datatype::push(TYPE_ERROR);
        return const_cast<cell*>(error::make(proto, spec, TYPE_ERROR));
    }
    static std::string report(cell* e) {
        cell* buffer = new_buffer();
        error::form(e, buffer, nullptr, 10000);
        return text_of(buffer);
    }
    static std::string word_name(const cell* e, error::field f) { return name_of(error::get_field(e, f)->w2); }
};

TEST_F(Errors, MakeFromACode) {
    struct row {
        int32_t code;
        const char* type;
        const char* id;
    } rows[] = {{302, "script", "not-defined"}, {0, "throw", "break"}, {800, "user", "message"}, {913, "internal", "deprecated"}};
    for (const row& r : rows) {
        cell* e = make_error(integer(r.code));
        EXPECT_EQ(TYPE_OF(e), uint32_t(TYPE_ERROR));
        EXPECT_EQ(e->w2, error::ERROR_CLASS);
        EXPECT_EQ(code_of(e), uint32_t(r.code));
        EXPECT_EQ(word_name(e, error::FIELD_TYPE), r.type);
        EXPECT_EQ(word_name(e, error::FIELD_ID), r.id);
    }
}

TEST_F(Errors, MakeRefusesBadSpecs) {
    cell type_word = global_word("type"), id_word = global_word("id");
    struct row {
        std::vector<cell> spec;  // a block, or one value
        bool block;
        uint32_t code;
        const cell* arg1;
    } rows[] = {
        {{integer_value(399)}, false, script_code(script_error::out_of_range), nullptr},
        {{integer_value(-1)}, false, script_code(script_error::out_of_range), nullptr},
        {{integer_value(600)}, false, script_code(script_error::out_of_range), nullptr},
        {{true_value}, false, script_code(script_error::bad_make_arg), nullptr},
        {{global_word("script")}, true, script_code(script_error::invalid_spec_field), &id_word},
        {{global_word("script"), global_word("nope")}, true, script_code(script_error::invalid_spec_field), &id_word},
        {{global_word("script"), global_word("code")}, true, script_code(script_error::invalid_spec_field), &id_word},
        {{global_word("nope"), global_word("x")}, true, script_code(script_error::invalid_spec_field), &type_word},
        {{global_word("script"), integer_value(5)}, true, script_code(script_error::invalid_arg), nullptr},
        {{integer_value(1)}, true, error_code(ERR_INTERNAL, uint32_t(internal_error::invalid_error)), nullptr},
        {{}, true, error_code(ERR_INTERNAL, uint32_t(internal_error::invalid_error)), nullptr},
    };
    for (const row& r : rows) {
        cell* spec = r.block ? push_block({}) : stack::push(&r.spec[0]);
        if (r.block)
            for (const cell& c : r.spec) block::ks_append(spec, &c);
        EXPECT_EQ(raised_code([&] { make_error(spec); }), r.code);
        if (r.arg1) {
            EXPECT_EQ(last_raised_error().args[0].w2, r.arg1->w2);
        }
    }
}

TEST_F(Errors, MakeFromABlockOrAString) {
    cell* e = make_error(push_block({global_word("math"), global_word("zero-divide")}));
    EXPECT_EQ(code_of(e), 400u);
    cell* set = make_error(push_block({set_word("type"), global_word("access"), set_word("id"), global_word("no-create")}));
    EXPECT_EQ(code_of(set), 511u);
    cell* user = make_error(str("boom"));
    EXPECT_EQ(code_of(user), 800u);
    EXPECT_EQ(report(user).substr(0, 21), "*** User Error: boom\n");
}

TEST_F(Errors, FireRaisesAnErrorValue) {
    cell arg = integer_value(7);
    EXPECT_EQ(raised_code([&] { fire(script_error::invalid_arg, &arg); }), script_code(script_error::invalid_arg));
    ASSERT_EQ(TYPE_OF(&last_error), uint32_t(TYPE_ERROR));
    EXPECT_EQ(int_of(error::get_field(&last_error, error::FIELD_ARG1)), 7);
    EXPECT_EQ(TYPE_OF(error::get_field(&last_error, error::FIELD_ARG2)), uint32_t(TYPE_NONE));
    EXPECT_EQ(int_of(&last_raised_error().args[0]), 7);
    EXPECT_EQ(word_name(&last_error, error::FIELD_ID), "invalid-arg");
}

TEST_F(Errors, Report) {
    cell foo = global_word("foo");
    const std::string long_text = "a long text that goes well beyond the eighty characters that an argument may take in a report";
    cell text = *str(long_text.c_str());
    // Arguments are cut to 80 characters: molded for most categories, formed for syntax errors.
    const std::string molded_arg = "{" + long_text.substr(0, 79), formed_arg = long_text.substr(0, 80);
    struct row {
        uint32_t category, id;
        std::vector<cell> args;
        std::string first_line;
    } rows[] = {
        {ERR_SCRIPT, uint32_t(script_error::not_defined), {foo}, "*** Script Error: foo word is not bound to a context"},
        {ERR_SCRIPT, uint32_t(script_error::not_same_type), {}, "*** Script Error: values must be of the same type"},
        {ERR_SCRIPT, uint32_t(script_error::invalid_arg), {text}, "*** Script Error: invalid argument: " + molded_arg},
        {ERR_SYNTAX, uint32_t(syntax_error::malconstruct), {text, foo},
         "*** Syntax Error: " + formed_arg + " invalid construction spec at foo"},
    };
    for (const row& r : rows) {
        const cell* a[3] = {nullptr, nullptr, nullptr};
        for (size_t i = 0; i < r.args.size(); i++) a[i] = &r.args[i];
        cell* e = error::create(r.category, r.id, a[0], a[1], a[2]);
        EXPECT_EQ(report(e), r.first_line + "\n*** Where: ???\n*** Near : none");
    }
}

TEST_F(Errors, ReportFieldsAndFallbacks) {
    cell* e = error::create(ERR_MATH, uint32_t(math_error::zero_divide), nullptr, nullptr, nullptr);
    cell where = global_word("divide");
    error::set_where(e, &where);
    cell other = global_word("other");
    error::set_where(e, &other);  // the first function named wins
    *error::get_field(e, error::FIELD_NEAR) = *push_block({global_word("x"), global_word("y")});
    *error::get_field(e, error::FIELD_STACK) = *push_block({global_word("f")});
    EXPECT_EQ(report(e), "*** Math Error: attempt to divide by zero\n*** Where: divide\n*** Near : x y\n*** Stack: f");
    // No trace is written while stack-trace is 0.
    *catalog::stack_trace() = integer_value(0);
    EXPECT_EQ(report(e), "*** Math Error: attempt to divide by zero\n*** Where: divide\n*** Near : x y");

    // A type that is no category reads as internal/invalid-error with that word.
    *error::get_field(e, error::FIELD_TYPE) = global_word("bogus");
    EXPECT_EQ(report(e).substr(0, report(e).find('\n')), "*** Internal Error: invalid error object field value: bogus");
}

TEST_F(Errors, MoldAndCompare) {
    cell* e = make_error(integer(302));
    cell* buffer = new_buffer();
    error::mold(e, buffer, false, false, true, nullptr, 1000, 0);
    EXPECT_EQ(text_of(buffer),
              "make error! [code: 302 type: 'script id: 'not-defined arg1: none arg2: none arg3: none near: none "
              "where: none stack: none files: none]");
    cell* same = make_error(integer(302));
    cell* other = make_error(integer(303));
    cell* object = make_object({set_word("a"), integer_value(1)});
    EXPECT_EQ(error::compare(e, same, COMP_EQUAL), 0);
    EXPECT_NE(error::compare(e, other, COMP_EQUAL), 0);
    EXPECT_EQ(error::compare(e, object, COMP_EQUAL), INCOMPARABLE);
}

TEST_F(Errors, CaptureStackKeepsTheSourceFiles) {
    cell* e = make_error(integer(302));
    *error::get_field(e, error::FIELD_STACK) = integer_value(3);
    block::ks_append(catalog::source_files(), str("a.kel"));
    error::capture_stack(e);
    EXPECT_EQ(molded(error::get_field(e, error::FIELD_STACK)), "[]");
    EXPECT_EQ(molded(error::get_field(e, error::FIELD_FILES)), "[\"a.kel\"]");
    EXPECT_NE(series_node(error::get_field(e, error::FIELD_FILES)), series_node(catalog::source_files()));
}

TEST_F(Errors, TheCatalogueIsBuiltFromItsTable) {
    cell* errors = stack::push(&none_value);
    *errors = cell{TYPE_OBJECT, catalog::errors(), 0, 0};
    EXPECT_EQ(object::field_count(errors), error_category_count());
    cell* script = stack::push(object::get_values(errors) + ERR_SCRIPT);
    EXPECT_EQ(int_of(object::get_values(script)), 300);
    EXPECT_EQ(molded(object::get_values(script) + 1), "\"Script Error\"");
    EXPECT_EQ(molded(field(script, "expect-arg")), "[:arg1 \"does not allow\" :arg2 \"for its\" :arg3 \"argument\"]");
    cell* user = stack::push(object::get_values(errors) + ERR_USER);
    EXPECT_EQ(molded(field(user, "message")), "arg1");
}

}  // namespace
}  // namespace kel::testing
