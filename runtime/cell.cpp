#include "runtime/cell.h"

#include "datatypes/error.h"
#include "evaluator/throw.h"
#include "evaluator/trace.h"
#include "runtime/error_catalog.h"
#include "runtime/exits.h"
#include "runtime/memory.h"

namespace kel {

const cell none_value{TYPE_NONE, 0, 0, 0};
const cell unset_value{TYPE_UNSET, 0, 0, 0};

void fire(uint32_t category, uint32_t id, const cell* arg1, const cell* arg2, const cell* arg3) {
    error_create(category, id, arg1, arg2, arg3);
    if (trace_on()) [[unlikely]] fire_interp_event(TRACE_ERROR, nullptr, -1, nullptr, &last_error);
    stack::throw_error();
}

int32_t number_to_int(const cell* value) {
    if (TYPE_OF(value) != TYPE_FLOAT) return static_cast<int32_t>(value->w2);
    double d = cell_float(value);
    if (!(d >= -2147483648.0 && d <= 2147483647.0)) fire(script_error::out_of_range, value);
    return static_cast<int32_t>(d);
}

cell* alloc_tail(const cell* block) { return alloc_tail_buffer(node_buffer(series_node(block))); }

}  // namespace kel
