#include "runtime/cell.h"

#include "runtime/error_catalog.h"
#include "runtime/exits.h"
#include "runtime/memory.h"

namespace kel {

const cell none_value{TYPE_NONE, 0, 0, 0};
const cell unset_value{TYPE_UNSET, 0, 0, 0};

int32_t number_to_int(const cell* value) {
    if (TYPE_OF(value) != TYPE_FLOAT) return static_cast<int32_t>(value->w2);
    double d = cell_float(value);
    if (!(d >= -2147483648.0 && d <= 2147483647.0)) fire(script_error::out_of_range, value);
    return static_cast<int32_t>(d);
}

cell* alloc_tail(const cell* block) { return alloc_tail_buffer(node_buffer(series_node(block))); }

}  // namespace kel
