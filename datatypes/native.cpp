#include "datatypes/native.h"

#include "datatypes/context.h"
#include "datatypes/dispatch.h"
#include "datatypes/function.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/collector.h"
#include "runtime/error_catalog.h"
#include "runtime/stack.h"

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

namespace {

// The index names a filled entry: one past the filled natives, or the empty action slot,
// would call nothing.
bool entry_filled_q(uint32_t type, int32_t index) {
    if (index < 1) return false;
    if (type == TYPE_NATIVE)
        return static_cast<uint32_t>(index) <= NATIVE_INDEX_LIMIT && static_cast<uint32_t>(index) < native_fill_index;
    return static_cast<uint32_t>(index) <= ACTIONS_COUNT && action_entries[index - 1];
}

const cell* make_entry_value(cell* spec, uint32_t type) {
    cell datatype{TYPE_DATATYPE, type, 0, 0};
    if (TYPE_OF(spec) != TYPE_BLOCK) fire(script_error::bad_make_arg, &datatype, spec);
    series_buffer* b = node_buffer(series_node(spec));
    cell* parts = b->cells();
    // The spec block's node goes into the value: anything else there would be marked as one.
    if (b->cells_tail() - parts != 2 || TYPE_OF(parts) != TYPE_BLOCK || TYPE_OF(parts + 1) != TYPE_INTEGER ||
        !entry_filled_q(type, int_of(parts + 1)))
        fire(script_error::bad_make_arg, &datatype, spec);
    uint32_t index = parts[1].w2;
    root_node ctx(_context::make_from_spec(spec, true, false, CTX_FUNCTION));
    node_id more = alloc_cells(NATIVE_MORE_SIZE);
    series_buffer* mb = node_buffer(more);
    mb->cells()[0] = *ctx_cell(ctx.node);
    mb->cells()[1] = none_value;
    mb->tail = reinterpret_cast<uint8_t*>(mb->cells() + NATIVE_MORE_SIZE);
    cell value{type, index, series_cell(series_node(spec), 0)->w2, more};
    return stack::push(&value);
}

int32_t mold_spec(const cell* value, cell* buffer, bool all, bool flat, cell* arg, int32_t part, int32_t indent) {
    cell spec{TYPE_BLOCK, 0, value->w2, 0};
    cell* s = stack::push(&spec);
    part = mold_dispatch(s, buffer, false, all, flat, arg, part, indent);
    stack::pop(1);
    return part;
}

int32_t mold_made(const char* prefix, cell* value, cell* buffer, bool all, bool flat, cell* arg, int32_t part,
                  int32_t indent) {
    part = string::form_text(buffer, prefix, part);
    part = mold_spec(value, buffer, all, flat, arg, part, indent);
    return string::form_text(buffer, "]", part);
}

// Same entry (or, for ops, same wrapped value): 0. No order.
int32_t compare_entries(cell* value1, cell* value2, int32_t op) {
    if (TYPE_OF(value2) != TYPE_OF(value1)) return INCOMPARABLE;
    if (op >= COMP_LESSER && op <= COMP_GREATER_EQUAL) return INCOMPARABLE;
    uint32_t wrapped1 = op_wrapped_type(value1), wrapped2 = op_wrapped_type(value2);
    if (wrapped1 != wrapped2) return compare_sign(int64_t{wrapped1} - wrapped2);
    return compare_sign(int64_t{value1->w1} - value2->w1);
}

// Two arguments, the first a plain word; the arguments end at return:, /local or /extern.
bool op_spec_q(const cell* value) {
    const uint32_t local = symbol::resolve(runtime_refinements[REF_LOCAL].w2);
    const uint32_t extern_ = symbol::resolve(runtime_refinements[REF_EXTERN].w2);
    series_buffer* b = node_buffer(value->w2);
    int32_t count = 0;
    bool plain = false;
    for (cell* v = b->cells(); v < b->cells_tail(); v++) {
        uint32_t t = TYPE_OF(v);
        if (t == TYPE_WORD) {
            count++;
            plain = true;
        } else if (t == TYPE_LIT_WORD || t == TYPE_GET_WORD) {
            if (!plain) return false;
            count++;
        } else if (t == TYPE_SET_WORD && symbol::resolve(v->w2) == sym(SYM_RETURN)) {
            break;
        } else if (t == TYPE_REFINEMENT) {
            uint32_t name = symbol::resolve(v->w2);
            if (name != local && name != extern_) return false;
            break;
        }
    }
    return count == 2;
}

}  // namespace

namespace native_datatype {

void init() {
    register_datatype(TYPE_NATIVE, 0, "native!", {
        entry<ACT_MAKE>(make), 0, entry<ACT_REFLECT>(reflect), 0, entry<ACT_FORM>(form),
        entry<ACT_MOLD>(mold), 0, 0, entry<ACT_COMPARE>(compare), 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0,
    });
}

const cell* make(cell*, cell* spec, uint32_t type) { return make_entry_value(spec, type); }

const cell* reflect(cell* value, uint32_t field_symbol) {
    uint32_t field = symbol::resolve(field_symbol);
    if (field == sym(SYM_SPEC)) {
        cell spec{TYPE_BLOCK, 0, value->w2, 0};
        return stack::push(&spec);
    }
    if (field != sym(SYM_BODY)) fire(internal_error::not_done);
    uint32_t wrapped = op_wrapped_type(value);
    if (TYPE_OF(value) == TYPE_OP && (wrapped == TYPE_FUNCTION || wrapped == TYPE_ROUTINE))
        return stack::push(more_at(value, MORE_BODY));
    cell index = integer_value(static_cast<int32_t>(value->w1));
    return stack::push(&index);
}

int32_t form(cell*, cell* buffer, cell*, int32_t part) { return string::form_text(buffer, "?native?", part); }

int32_t mold(cell* value, cell* buffer, bool, bool all, bool flat, cell* arg, int32_t part, int32_t indent) {
    return mold_made("make native! [", value, buffer, all, flat, arg, part, indent);
}

int32_t compare(cell* value1, cell* value2, int32_t op) { return compare_entries(value1, value2, op); }

}  // namespace native_datatype

namespace action_datatype {

void init() {
    register_datatype(TYPE_ACTION, TYPE_NATIVE, "action!", {
        entry<ACT_MAKE>(make), 0, INHERIT, 0, entry<ACT_FORM>(form),
        entry<ACT_MOLD>(mold), 0, 0, INHERIT, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0,
    });
}

const cell* make(cell*, cell* spec, uint32_t type) { return make_entry_value(spec, type); }

int32_t form(cell*, cell* buffer, cell*, int32_t part) { return string::form_text(buffer, "?action?", part); }

int32_t mold(cell* value, cell* buffer, bool, bool all, bool flat, cell* arg, int32_t part, int32_t indent) {
    return mold_made("make action! [", value, buffer, all, flat, arg, part, indent);
}

}  // namespace action_datatype

namespace op {

void init() {
    register_datatype(TYPE_OP, TYPE_NATIVE, "op!", {
        entry<ACT_MAKE>(make), 0, INHERIT, 0, entry<ACT_FORM>(form),
        entry<ACT_MOLD>(mold), 0, 0, INHERIT, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0,
    });
}

const cell* make(cell*, cell* spec, uint32_t) {
    uint32_t t = TYPE_OF(spec);
    if (t != TYPE_NATIVE && t != TYPE_ACTION && t != TYPE_FUNCTION && t != TYPE_ROUTINE) raise_invalid_type(t);
    if (!op_spec_q(spec)) fire(script_error::bad_op_spec);
    if (t == TYPE_FUNCTION || t == TYPE_ROUTINE) *more_at(spec, MORE_OP) = *spec;
    cell* result = stack::push(spec);
    // The wrapped value's own flags stay: a routine's argument count and interface.
    result->header = (result->header & ~(0xFFu | OP_WRAPPED_MASK | CELL_NEW_LINE)) | TYPE_OP | (t << OP_WRAPPED_SHIFT);
    return result;
}

int32_t form(cell*, cell* buffer, cell*, int32_t part) { return string::form_text(buffer, "?op?", part); }

int32_t mold(cell* value, cell* buffer, bool, bool all, bool flat, cell* arg, int32_t part, int32_t indent) {
    part = string::form_text(buffer, "make op! ", part);
    if (op_wrapped_type(value) != TYPE_FUNCTION) {
        part = string::form_text(buffer, "[", part);
        part = mold_spec(value, buffer, all, flat, arg, part, indent);
        return string::form_text(buffer, "]", part);
    }
    cell* f = stack::push(value);
    f->header = TYPE_FUNCTION;
    part = function::mold(f, buffer, false, all, flat, arg, part, indent);
    stack::pop(1);
    return part;
}

}  // namespace op
}  // namespace kel
