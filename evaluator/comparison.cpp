#include "evaluator/comparison.h"

#include <cstring>

#include "datatypes/money.h"
#include "datatypes/registry.h"
#include "datatypes/tuple.h"
#include "evaluator/actions.h"
#include "runtime/stack.h"

namespace kel {

bool same_value_q(cell* value1, cell* value2) {
    uint32_t type = TYPE_OF(value1);
    if (type != TYPE_OF(value2)) return false;
    switch (type) {
        case TYPE_UNSET:
        case TYPE_NONE:
            return true;
        case TYPE_DATATYPE:
        case TYPE_LOGIC:
        case TYPE_OBJECT:
            return value1->w1 == value2->w1;
        case TYPE_CHAR:
        case TYPE_INTEGER:
        case TYPE_BITSET:
            return value1->w2 == value2->w2;
        case TYPE_PATH:
        case TYPE_LIT_PATH:
        case TYPE_SET_PATH:
        case TYPE_GET_PATH:
        case TYPE_BLOCK:
        case TYPE_PAREN:
        case TYPE_HASH:
        case TYPE_STRING:
        case TYPE_FILE:
        case TYPE_URL:
        case TYPE_TAG:
        case TYPE_EMAIL:
        case TYPE_REF:
        case TYPE_BINARY:
        case TYPE_VECTOR:
        case TYPE_IMAGE:
            return series_head(value1) == series_head(value2) && series_node(value1) == series_node(value2);
        case TYPE_FLOAT:
        case TYPE_PERCENT:
        case TYPE_PAIR:
        case TYPE_TIME:
        case TYPE_OP:
            return value1->w2 == value2->w2 && value1->w3 == value2->w3;
        case TYPE_TUPLE: {
            uint32_t n = tuple::count_of(value1);
            return n == tuple::count_of(value2) && std::memcmp(tuple::bytes_of(value1), tuple::bytes_of(value2), n) == 0;
        }
        case TYPE_MONEY:
            return money::compare(value1, value2, COMP_SAME) == 0;
        case TYPE_NATIVE:
        case TYPE_ACTION:
        case TYPE_POINT2D:
            return value1->w1 == value2->w1 && value1->w2 == value2->w2;
        default:
            return value1->w1 == value2->w1 && value1->w2 == value2->w2 && value1->w3 == value2->w3;
    }
}

namespace natives {

int32_t equal_q(bool, const int32_t*) {
    compare_to_logic(COMP_EQUAL);
    return 0;
}
int32_t not_equal_q(bool, const int32_t*) {
    compare_to_logic(COMP_NOT_EQUAL);
    return 0;
}
int32_t strict_equal_q(bool, const int32_t*) {
    compare_to_logic(COMP_STRICT_EQUAL);
    return 0;
}
int32_t lesser_q(bool, const int32_t*) {
    compare_to_logic(COMP_LESSER);
    return 0;
}
int32_t greater_q(bool, const int32_t*) {
    compare_to_logic(COMP_GREATER);
    return 0;
}
int32_t lesser_or_equal_q(bool, const int32_t*) {
    compare_to_logic(COMP_LESSER_EQUAL);
    return 0;
}
int32_t greater_or_equal_q(bool, const int32_t*) {
    compare_to_logic(COMP_GREATER_EQUAL);
    return 0;
}

int32_t same_q(bool, const int32_t*) {
    bool same = same_value_q(stack::arguments, stack::arguments + 1);
    *stack::arguments = cell{TYPE_LOGIC, same, 0, 0};
    return 0;
}

}  // namespace natives
}  // namespace kel
