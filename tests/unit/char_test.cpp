#include "tests/unit/text_fixture.h"

namespace kel::testing {
namespace {

using CharTest = TextTest;

TEST_F(CharTest, Mold) {
    struct row {
        uint32_t cp;
        bool all;
        const char* mold;
    } rows[] = {
        {'a', false, "#\"a\""},         {'^', false, "#\"^^\""},
        {'"', false, "#\"^\"\""},       {0, false, "#\"^@\""},
        {'\t', false, "#\"^-\""},       {'\n', false, "#\"^/\""},
        {0x1E, false, "#\"^(1E)\""},    {0x7F, false, "#\"^~\""},
        {0x9F, false, "#\"^(9F)\""},    {0xC2, false, "#\"Â\""},
        {0xC2, true, "#\"^(C2)\""},     {0x1F600, true, "#\"^(1F600)\""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.mold);
        EXPECT_EQ(molded(chr(r.cp), r.all), r.mold);
    }
    EXPECT_EQ(formed(chr(0x20AC)), "€");
}

TEST_F(CharTest, Arithmetic) {
    struct row {
        uint32_t left;
        void (*op)();
        cell right;
        int32_t result;  // -1: math overflow
    } rows[] = {
        {'a', char_::add, integer_cell(1), 'b'},
        {'a', char_::subtract, integer_cell(98), -1},
        {'a', char_::multiply, integer_cell(2), 0xC2},
        {'a', char_::add, cell{TYPE_CHAR, 0, 1, 0}, 'b'},
        {'a', char_::add, float_cell(TYPE_FLOAT, 1.9), 'b'},
        {'d', char_::divide, integer_cell(2), '2'},
        {'e', char_::divide, integer_cell(2), -1},
        {'e', char_::remainder, integer_cell(2), 1},
        {'a', char_::or_, integer_cell(0x20), 'a'},
        {'a', char_::and_, integer_cell(0x5F), 'A'},
        {'a', char_::xor_, integer_cell(0x20), 'A'},
        {0x10FFFF, char_::add, integer_cell(1), -1},
        {'a', char_::multiply, integer_cell(0x7FFFFFFF), -1},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.result);
        cell* frame = chr(r.left);
        stack::push(&r.right);
        cell* saved = stack::arguments;
        stack::arguments = frame;
        if (r.result < 0) {
            EXPECT_EQ(raised_code(r.op), code_of(math_error::overflow));
        } else {
            r.op();
            EXPECT_EQ(TYPE_OF(frame), TYPE_CHAR);
            EXPECT_EQ(frame->w2, static_cast<uint32_t>(r.result));
        }
        stack::arguments = saved;
    }
    cell* frame = chr('a');
    str("x");
    cell* saved = stack::arguments;
    stack::arguments = frame;
    EXPECT_EQ(raised_code(char_::add), code_of(script_error::invalid_type));
    EXPECT_EQ(raised_code([] { char_::divide(); }), code_of(script_error::invalid_type));
    stack::arguments = saved;
}

TEST_F(CharTest, CompareWithIntegers) {
    cell a{TYPE_CHAR, 0, 'a', 0};
    cell n97 = integer_cell(97);
    cell b{TYPE_CHAR, 0, 'b', 0};
    EXPECT_TRUE(actions::compare(&a, &n97, COMP_EQUAL));
    EXPECT_FALSE(actions::compare(&a, &n97, COMP_STRICT_EQUAL));
    EXPECT_TRUE(actions::compare(&a, &b, COMP_LESSER));
    EXPECT_EQ(char_::compare(&a, &n97, COMP_FIND), 1);
    EXPECT_EQ(char_::compare(&a, str("a"), COMP_EQUAL), INCOMPARABLE);
}

TEST_F(CharTest, MakeAndTo) {
    cell* proto = stack::push_cell();
    struct row {
        cell* spec;
        uint32_t cp;
    } rows[] = {
        {str("€x"), 0x20AC},
        {num(65), 'A'},
        {stack::push(&static_cast<const cell&>(float_cell(TYPE_FLOAT, 66.7))), 'B'},
    };
    for (const row& r : rows) {
        char_::make(proto, r.spec, TYPE_CHAR);
        EXPECT_EQ(TYPE_OF(proto), TYPE_CHAR);
        EXPECT_EQ(proto->w2, r.cp);
    }
    EXPECT_EQ(raised_code([&] { char_::make(proto, str(""), TYPE_CHAR); }), code_of(script_error::bad_to_arg));
    EXPECT_EQ(raised_code([&] { char_::make(proto, num(0x110000), TYPE_CHAR); }),
              code_of(script_error::out_of_range));
    EXPECT_EQ(raised_code([&] { char_::make(proto, num(-1), TYPE_CHAR); }), code_of(script_error::out_of_range));
    EXPECT_EQ(raised_code([&] { char_::make(proto, none(), TYPE_CHAR); }), code_of(script_error::bad_to_arg));

    cell* binary = stack::push_cell();
    set_series_value(binary, TYPE_BINARY, alloc_bytes(4), 0);
    std::memcpy(alloc_tail_bytes(string::buffer_of(binary), 2), "\xC3\xA9", 2);
    char_::make(proto, binary, TYPE_CHAR);
    EXPECT_EQ(proto->w2, 0xE9u);
    string::buffer_of(binary)->offset[1] = 'x';
    char_::make(proto, binary, TYPE_CHAR);
    EXPECT_EQ(proto->w2, 0xFFFEu);
}

}  // namespace
}  // namespace kel::testing
