#include "datatypes/unset.h"

#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "runtime/stack.h"

namespace kel::unset {

void init() {
    register_datatype(TYPE_UNSET, 0, "unset!", {
        entry<ACT_MAKE>(make), 0, 0, entry<ACT_TO>(make), entry<ACT_FORM>(form),
        entry<ACT_MOLD>(mold), 0, 0, entry<ACT_COMPARE>(compare), 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    });
}

cell* set_result() { return copy_cell(&unset_value, stack::arguments); }

cell* alloc_tail(const cell* block) { return copy_cell(&unset_value, kel::alloc_tail(block)); }

cell* push() { return stack::push(&unset_value); }

const cell* make(cell*, cell*, uint32_t) { return &unset_value; }

int32_t form(cell*, cell*, cell*, int32_t part) { return part; }

int32_t mold(cell*, cell* buffer, bool, bool all, bool, cell*, int32_t part, int32_t) {
    return string::form_text(buffer, all ? "#(unset)" : "unset", part);
}

int32_t compare(cell* value1, cell* value2, int32_t op) {
    if (TYPE_OF(value2) != TYPE_OF(value1)) return INCOMPARABLE;
    switch (op) {
        case COMP_EQUAL:
        case COMP_NOT_EQUAL:
        case COMP_STRICT_EQUAL:
        case COMP_SORT:
        case COMP_CASE_SORT:
        case COMP_SAME:
        case COMP_FIND:
            return 0;
        default:
            return INCOMPARABLE;
    }
}

}  // namespace kel::unset
