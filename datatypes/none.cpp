#include "datatypes/none.h"

#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "runtime/stack.h"

namespace kel::none {

void init() {
    register_datatype(TYPE_NONE, 0, "none!", {
        entry<ACT_MAKE>(make), 0, 0, entry<ACT_TO>(make), entry<ACT_FORM>(form),
        entry<ACT_MOLD>(mold), 0, 0, entry<ACT_COMPARE>(compare), 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, entry<ACT_CLEAR>(clear), 0,
        entry<ACT_FIND>(find), 0, 0, 0, 0, entry<ACT_LENGTH_Q>(length_q), 0, 0, 0, 0,
        0, entry<ACT_REMOVE>(remove), 0, entry<ACT_SELECT>(select), 0, 0, 0, 0, 0,
        entry<ACT_TAKE>(take),
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    });
}

cell* set_result() { return copy_cell(&none_value, stack::arguments); }

cell* alloc_tail(const cell* block) { return copy_cell(&none_value, kel::alloc_tail(block)); }

cell* push() { return stack::push(&none_value); }

const cell* make(cell*, cell*, uint32_t) { return &none_value; }

int32_t form(cell*, cell* buffer, cell*, int32_t part) {
    return string::form_text(buffer, "none", part);
}

int32_t mold(cell*, cell* buffer, bool, bool all, bool, cell*, int32_t part, int32_t) {
    return string::form_text(buffer, all ? "#(none)" : "none", part);
}

const cell* clear(cell*) { return &none_value; }

const cell* find(cell*, cell*, cell*, bool, bool, bool, bool, cell*, cell*, bool, bool, bool,
                 bool) {
    return &none_value;
}

const cell* remove(cell*, cell*, cell*) { return &none_value; }

const cell* select(cell*, cell*, cell*, bool, bool, bool, bool, cell*, cell*, bool, bool) {
    return &none_value;
}

const cell* take(cell*, cell*, bool, bool) { return &none_value; }

int32_t length_q(cell*) { return -1; }

}  // namespace kel::none
