#include "datatypes/char.h"

#include "datatypes/integer.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/vector.h"
#include "runtime/error_catalog.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace kel::char_ {

namespace {

uint32_t checked_code(const cell* spec, int64_t n) {
    if (n < 0 || n > CHAR_MAX_CODE) fire(script_error::out_of_range, spec);
    return static_cast<uint32_t>(n);
}

// The first UTF-8 character at the binary's head; a malformed one is the invalid marker.
uint32_t first_utf8_char(const cell* binary) {
    series_buffer* b = node_buffer(series_node(binary));
    size_t n = b->used_bytes() > series_head(binary) ? b->used_bytes() - series_head(binary) : 0;
    if (n == 0) raise_bad_to_arg(TYPE_CHAR, binary);
    size_t len = 0;
    int32_t cp = utf8_check_char(b->offset + series_head(binary), n, len);
    return cp < 0 ? 0xFFFE : static_cast<uint32_t>(cp);
}

}  // namespace

void init() {
    const action_entry I = INHERIT;
    register_datatype(TYPE_CHAR, TYPE_INTEGER, "char!", {
        entry<ACT_MAKE>(make), I, 0, entry<ACT_TO>(make), entry<ACT_FORM>(form),
        entry<ACT_MOLD>(mold), 0, 0, entry<ACT_COMPARE>(compare), I,
        entry<ACT_ADD>(add), entry<ACT_DIVIDE>(divide), entry<ACT_MULTIPLY>(multiply), 0, 0,
        entry<ACT_REMAINDER>(remainder), 0, entry<ACT_SUBTRACT>(subtract), I, I,
        entry<ACT_AND>(and_), 0, entry<ACT_OR>(or_), entry<ACT_XOR>(xor_), 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0,
    });
}

cell* push(uint32_t cp) {
    cell* c = stack::push_cell();
    *c = cell{TYPE_CHAR, 0, cp, 0};
    return c;
}

cell* make_in(const cell* block, uint32_t cp) {
    cell* c = alloc_tail(block);
    *c = cell{TYPE_CHAR, 0, cp, 0};
    return c;
}

const cell* make(cell* proto, cell* spec, uint32_t) {
    uint32_t cp;
    switch (TYPE_OF(spec)) {
        case TYPE_CHAR:
        case TYPE_INTEGER:
            cp = checked_code(spec, static_cast<int32_t>(spec->w2));
            break;
        case TYPE_FLOAT:
        case TYPE_PERCENT: {
            double d = cell_float(spec);
            if (!(d > -1.0 && d < CHAR_MAX_CODE + 1.0)) fire(script_error::out_of_range, spec);
            cp = static_cast<uint32_t>(d);
            break;
        }
        case TYPE_BINARY:
            cp = first_utf8_char(spec);
            break;
        default:
            if (!any_string_q(TYPE_OF(spec))) raise_bad_to_arg(TYPE_CHAR, spec);
            if (string::ks_tail_q(spec)) raise_bad_to_arg(TYPE_CHAR, spec);
            cp = string::char_at(spec, series_head(spec));
    }
    *proto = cell{TYPE_CHAR, 0, cp, 0};
    return proto;
}

int32_t form(cell* value, cell* buffer, cell*, int32_t part) {
    string::append_char(string::buffer_of(buffer), value->w2);
    return part - 1;
}

int32_t mold(cell* value, cell* buffer, bool, bool all, bool, cell*, int32_t part, int32_t) {
    series_buffer* b = string::append_char(string::buffer_of(buffer), '#');
    b = string::append_char(b, '"');
    b = string::mold_char(b, value->w2, all, false);
    string::append_char(b, '"');
    return part - 4;
}

int32_t compare(cell* value1, cell* value2, int32_t op) {
    uint32_t t2 = TYPE_OF(value2);
    if ((op == COMP_STRICT_EQUAL || op == COMP_FIND) && t2 != TYPE_CHAR) return 1;
    if (t2 != TYPE_CHAR && t2 != TYPE_INTEGER) return INCOMPARABLE;
    return compare_sign(int64_t{value1->w2} - static_cast<int32_t>(value2->w2));
}

cell* do_math(int32_t op) {
    cell* left = stack::arguments;
    cell* right = left + 1;
    int32_t operand;
    switch (TYPE_OF(right)) {
        case TYPE_CHAR:
        case TYPE_INTEGER:
            operand = static_cast<int32_t>(right->w2);
            break;
        case TYPE_FLOAT:
            if (integer::float_out_of_range_q(right)) fire(math_error::overflow);
            operand = static_cast<int32_t>(cell_float(right));
            break;
        case TYPE_VECTOR:
            vector::do_math_scalar_first(op);
            return left;
        default: {
            cell datatype{TYPE_DATATYPE, TYPE_OF(right), 0, 0};
            fire(script_error::invalid_type, &datatype);
        }
    }
    cell result{TYPE_INTEGER, 0, 0, 0};
    integer::do_math_op(static_cast<int32_t>(left->w2), operand, op, &result);
    // An operation whose result is not an integer (overflow, inexact division) becomes a float.
    int32_t r = static_cast<int32_t>(result.w2);
    if (TYPE_OF(&result) != TYPE_INTEGER || r < 0 || r > static_cast<int32_t>(CHAR_MAX_CODE))
        fire(math_error::overflow);
    *left = cell{TYPE_CHAR, 0, static_cast<uint32_t>(r), 0};
    return left;
}

void add() { do_math(OP_ADD); }
void subtract() { do_math(OP_SUBTRACT); }
void multiply() { do_math(OP_MULTIPLY); }
void divide() { do_math(OP_DIVIDE); }
void remainder() { do_math(OP_REMAINDER); }
void and_() { do_math(OP_AND); }
void or_() { do_math(OP_OR); }
void xor_() { do_math(OP_XOR); }

}  // namespace kel::char_
