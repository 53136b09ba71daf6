#include "datatypes/dispatch.h"

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/frames.h"
#include "datatypes/function.h"
#include "datatypes/series.h"
#include "runtime/error_catalog.h"
#include "runtime/stack.h"

namespace kel {

void raise_expect_arg(uint32_t type) {
    cell datatype{TYPE_DATATYPE, type, 0, 0};
    cell name = stack::caller_name();
    cell param = none_value;
    const cell* callee = TYPE_OF(&name) == TYPE_WORD && static_cast<int32_t>(name.w3) >= 0 && name.w1
                             ? _context::values(ctx_cell(name.w1))
                             : nullptr;
    if (callee) param = *function::param_word_at(callee + name.w3, 0);
    fire(script_error::expect_arg, &name, &datatype, &param);
}

eval_path_fn get_action_ptr_path(cell* parent, cell* element, cell* path, int32_t position) {
    action_entry e = type_action(TYPE_OF(parent), ACT_EVAL_PATH);
    if (e) return reinterpret_cast<eval_path_fn>(e);
    cell type{TYPE_DATATYPE, TYPE_OF(parent), 0, 0};
    if (!path) fire(script_error::bad_path_type2, element, &type);
    cell* cut = block::clone(path, true, true);
    block::ks_set_tail(cut, series::head_of(cut) + position + 1);
    fire(script_error::bad_path_type, path, &type, cut);
}

int32_t get_pick_index(const cell* index) {
    switch (TYPE_OF(index)) {
        case TYPE_LOGIC:
            return index->w1 ? 1 : 2;
        case TYPE_INTEGER:
        case TYPE_CHAR:
            return static_cast<int32_t>(index->w2);
        default:
            return 0;
    }
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
