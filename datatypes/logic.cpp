#include "datatypes/logic.h"

#include "datatypes/dispatch.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "runtime/error_catalog.h"
#include "runtime/exits.h"
#include "runtime/random.h"
#include "runtime/stack.h"

namespace kel {

const cell true_value{TYPE_LOGIC, 1, 0, 0};
const cell false_value{TYPE_LOGIC, 0, 0, 0};

bool value_true_q(const cell* value, bool check_unset, const cell* word) {
    switch (TYPE_OF(value)) {
        case TYPE_NONE:
            return false;
        case TYPE_LOGIC:
            return value->w1 == 1;
        case TYPE_UNSET:
            if (check_unset) fire(script_error::no_value, word);
            return true;
        default:
            return true;
    }
}

bool top_true_q() {
    const cell* c = stack::top == stack::arguments ? stack::arguments : stack::top_cell();
    return value_true_q(c, false, nullptr);
}

bool top_false_q() { return !top_true_q(); }

bool result_true_q() {
    if (TYPE_OF(stack::arguments) == TYPE_UNSET) fire(script_error::no_return);
    return value_true_q(stack::arguments, false, nullptr);
}

bool arg_false_q() { return !value_true_q(stack::arguments, false, nullptr); }

namespace logic {

void init() {
    register_datatype(TYPE_LOGIC, 0, "logic!", {
        entry<ACT_MAKE>(make), entry<ACT_RANDOM>(random), 0, entry<ACT_TO>(to),
        entry<ACT_FORM>(form), entry<ACT_MOLD>(mold), 0, 0, entry<ACT_COMPARE>(compare), 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        entry<ACT_AND>(and_), entry<ACT_COMPLEMENT>(complement), entry<ACT_OR>(or_),
        entry<ACT_XOR>(xor_), 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0,
    });
}

static const cell* of(bool truth) { return truth ? &true_value : &false_value; }

cell* box(uint32_t value) {
    *stack::arguments = cell{TYPE_LOGIC, value, 0, 0};
    return stack::arguments;
}

cell* alloc_tail(const cell* block, uint32_t value) {
    cell* c = kel::alloc_tail(block);
    *c = cell{TYPE_LOGIC, value, 0, 0};
    return c;
}

cell* push(uint32_t value) {
    cell* c = stack::push_cell();
    *c = cell{TYPE_LOGIC, value, 0, 0};
    return c;
}

const cell* make(cell* proto, cell* spec, uint32_t type) {
    switch (TYPE_OF(spec)) {
        case TYPE_INTEGER:
            return of(spec->w2 != 0);
        case TYPE_FLOAT:
        case TYPE_PERCENT:
            return of(cell_float(spec) != 0.0);  // a NaN is true
        default:
            return to(proto, spec, type);
    }
}

const cell* to(cell*, cell* spec, uint32_t) {
    switch (TYPE_OF(spec)) {
        case TYPE_LOGIC:
            return spec;
        case TYPE_NONE:
            return &false_value;
        default:
            return &true_value;
    }
}

const cell* random(cell* value, bool seed, bool secure, bool) {
    if (seed) {
        random_seed(value->w1);
        return &unset_value;
    }
    uint32_t draw = secure ? random_secure_int() : random_next();
    return of(draw > 0x3FFFFFFF);
}

int32_t form(cell* value, cell* buffer, cell*, int32_t part) {
    return string::form_text(buffer, value->w1 == 1 ? "true" : "false", part);
}

int32_t mold(cell* value, cell* buffer, bool, bool all, bool, cell*, int32_t part, int32_t) {
    bool truth = value->w1 == 1;
    const char* text = all ? (truth ? "#(true)" : "#(false)") : (truth ? "true" : "false");
    return string::form_text(buffer, text, part);
}

int32_t compare(cell* value1, cell* value2, int32_t op) {
    if (TYPE_OF(value2) != TYPE_LOGIC) return INCOMPARABLE;
    switch (op) {
        case COMP_EQUAL:
        case COMP_NOT_EQUAL:
        case COMP_STRICT_EQUAL:
        case COMP_SORT:
        case COMP_CASE_SORT:
        case COMP_SAME:
        case COMP_FIND:
            return compare_sign(int64_t{value1->w1} - value2->w1);  // false sorts first
        default:
            return INCOMPARABLE;
    }
}

const cell* complement(cell* value) {
    value->w1 ^= 1;
    return value;
}

enum bitwise { AND, OR, XOR };

static void bitwise_op(bitwise code) {
    cell* left = stack::arguments;
    cell* right = stack::arguments + 1;
    if (TYPE_OF(right) != TYPE_LOGIC) raise_expect_arg(TYPE_OF(right));
    switch (code) {
        case AND: left->w1 &= right->w1; break;
        case OR: left->w1 |= right->w1; break;
        case XOR: left->w1 ^= right->w1; break;
    }
}

void and_() { bitwise_op(AND); }
void or_() { bitwise_op(OR); }
void xor_() { bitwise_op(XOR); }

}  // namespace logic
}  // namespace kel
