#include "evaluator/stack.h"

#include "boot/error_catalog.h"
#include "runtime/memory.h"

namespace kel {

node_id argument_stack = 0;

namespace stack {

cell* bottom = nullptr;
cell* end = nullptr;
cell* top = nullptr;
cell* arguments = nullptr;

void init() {
    argument_stack = alloc_fixed_series(ARGUMENT_STACK_SIZE, sizeof(cell), 0);
    bottom = node_buffer(argument_stack)->cells();
    end = bottom + ARGUMENT_STACK_SIZE;
    top = bottom;
    arguments = bottom;
}

void overflow() {
    // Leave room for the error's own work. The cycle stack of mold and compare is
    // emptied here as well once it exists.
    top = top - 5 > bottom ? top - 5 : bottom;
    fire(internal_error::stack_overflow);
}

}  // namespace stack
}  // namespace kel
