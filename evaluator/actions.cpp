#include "evaluator/actions.h"

#include "boot/error_catalog.h"

namespace kel {

action_code action_entries[ACTIONS_COUNT];
native_code native_entries[NATIVES_COUNT];
uint32_t native_fill_index = 1;

void fill_action_table(uint32_t count, const action_code* list) {
    for (uint32_t i = 0; i < count && i < ACTIONS_COUNT; i++) action_entries[i] = list[i];
}

void fill_native_table(uint32_t count, const native_code* list) {
    for (uint32_t i = 0; i < count && native_fill_index <= NATIVES_COUNT; i++)
        native_entries[native_fill_index++ - 1] = list[i];
}

void raise_expect_arg(uint32_t type) {
    // The caller's word (arg1) and its first parameter's word (arg3) join once call
    // frames and words exist.
    cell datatype{TYPE_DATATYPE, type, 0, 0};
    fire(script_error::expect_arg, nullptr, &datatype);
}

namespace {

template <class T>
int32_t order(T a, T b) {
    return (a > b) - (a < b);
}

}  // namespace

int32_t compare_dispatch(cell* value1, cell* value2, int32_t op) {
    uint32_t type = TYPE_OF(value1);
    compare_fn fn = get_action_ptr_by_type<ACT_COMPARE>(type);
    // Values of one type that compare by payload; another type goes to the entry.
    if (TYPE_OF(value2) == type) {
        switch (type) {
            case TYPE_OP: {
                // An op's w1 is an entry index or a context node, by the type it wraps.
                uint32_t wrapped1 = (value1->header >> 16) & 0xFF, wrapped2 = (value2->header >> 16) & 0xFF;
                if (wrapped1 != wrapped2) return order(wrapped1, wrapped2);
                return order(value1->w1, value2->w1);
            }
            case TYPE_LOGIC:
            case TYPE_NATIVE:
            case TYPE_ACTION:
                return order(value1->w1, value2->w1);
            case TYPE_FUNCTION:
            case TYPE_ROUTINE:
                return order(value1->w3, value2->w3);
            default:
                break;
        }
    }
    return fn(value1, value2, op);
}

namespace actions {

bool compare(cell* value1, cell* value2, int32_t op) {
    int32_t result = get_action_ptr_by_type<ACT_COMPARE>(TYPE_OF(value1))(value1, value2, op);
    if (result == INCOMPARABLE && op >= COMP_LESSER && op <= COMP_CASE_SORT)
        fire(script_error::invalid_compare, value1, value2);
    switch (op) {
        case COMP_NOT_EQUAL:
            return result != 0;
        case COMP_LESSER:
        case COMP_SORT:
        case COMP_CASE_SORT:
            return result < 0;
        case COMP_LESSER_EQUAL:
            return result < 1;
        case COMP_GREATER:
            return result >= 1;
        case COMP_GREATER_EQUAL:
            return result >= 0;
        default:
            return result == 0;
    }
}

}  // namespace actions
}  // namespace kel
