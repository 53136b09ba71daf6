#include "runtime/cell.h"

#include "datatypes/error.h"
#include "runtime/exits.h"
#include "runtime/memory.h"

namespace kel {

const cell none_value{TYPE_NONE, 0, 0, 0};
const cell unset_value{TYPE_UNSET, 0, 0, 0};

void fire(uint32_t category, uint32_t id, const cell* arg1, const cell* arg2, const cell* arg3) {
    error_create(category, id, arg1, arg2, arg3);
    raise_exit(THROW_ERROR);
}

cell* alloc_tail(const cell* block) { return alloc_tail_buffer(node_buffer(series_node(block))); }

}  // namespace kel
