#include "datatypes/paren.h"

#include "datatypes/block.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "runtime/cycles.h"
#include "runtime/stack.h"

namespace kel::paren {

void init() {
    const action_entry I = INHERIT;
    register_datatype(TYPE_PAREN, TYPE_BLOCK, "paren!", {
        I, I, I, I, I, entry<ACT_MOLD>(mold), I, I, I, I,
        I, I, I, I, I, I, I, I, I, I,
        I, I, I, I, I, I, I, I, I, I,
        I, I, I, I, I, I, I, I, I, I,
        I, I, I, I, I, I, I, I, I, I,
        I, I, I, I, I, I, I, I, I, I, I, I,
    });
}

cell* push(const cell* block) {
    cell* c = stack::push(block);
    set_type(c, TYPE_PAREN);
    return c;
}

int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent) {
    // A paren inside itself shows the cycle text rather than walking until too deep.
    if (cycles_detect_q(value, buffer, &part, true)) return part;
    if (!only) part = string::form_text(buffer, "(", part);
    part = block::mold_each(value, buffer, only, all, flat, arg, part, indent);
    if (!only) part = string::form_text(buffer, ")", part);
    return part;
}

}  // namespace kel::paren
