#include "datatypes/error.h"

#include "datatypes/block.h"
#include "datatypes/catalog.h"
#include "datatypes/context.h"
#include "datatypes/dispatch.h"
#include "datatypes/frames.h"
#include "datatypes/object.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "runtime/collector.h"
#include "runtime/cycles.h"
#include "runtime/error_catalog.h"
#include "runtime/stack.h"

namespace kel {

cell last_error{TYPE_NONE, 0, 0, 0};

namespace {

raised_error record;
// Set while an error is being built: an error raised meanwhile keeps only its code.
bool building = false;

struct stack_mark {
    cell* top = stack::top;
    ~stack_mark() { stack::top = top; }
};

void mark_last_error() {
    collector_mark_values(&last_error, &last_error + 1);
    stack::mark_raised_frames();
}

}  // namespace

namespace error {

namespace {

inline cell* values(const cell* e) { return object::get_values(e); }
inline cell* category_object(uint32_t c) { return _context::values(ctx_cell(catalog::errors())) + c; }

// A copy of system/standard/error, typed error!.
void new_error(cell* result) {
    cell* proto = catalog::error_prototype();
    KEL_ASSERT(proto);
    object::copy_core(proto, result, false, nullptr, true);
    *result = cell{TYPE_ERROR, result->w1, ERROR_CLASS, 0};
    object::refresh_owner(result);
}

void set_code(cell* e, uint32_t category, uint32_t id) {
    cell* v = values(e);
    v[FIELD_CODE] = integer_value(static_cast<int32_t>(100 * category + id));
    v[FIELD_TYPE] = _context::key_word(catalog::errors(), category);
    v[FIELD_ID] = _context::key_word(category_object(category)->w1, id + 2);
}

// The category position the word names, or -1.
int32_t category_index(const cell* word) {
    if (TYPE_OF(word) != TYPE_WORD) return -1;
    return _context::find_word(catalog::errors(), word->w2, true);
}
// The id position the word names in the category, or -1.
int32_t id_index(uint32_t category, const cell* word) {
    if (TYPE_OF(word) != TYPE_WORD) return -1;
    int32_t i = _context::find_word(category_object(category)->w1, word->w2, true);
    return i >= 2 ? i - 2 : -1;
}

[[noreturn]] void invalid_spec_field(const char* name) {
    cell w = word::load(name);
    fire(script_error::invalid_spec_field, &w);
}

void make_from_block(cell* result, cell* spec) {
    if (block::ks_length_q(spec) <= 0) fire(internal_error::invalid_error);
    cell first = *block::ks_head(spec);
    int32_t category, id;
    if (TYPE_OF(&first) == TYPE_WORD) {
        category = category_index(&first);
        if (category < 0) invalid_spec_field("type");
        values(result)[FIELD_TYPE] = first;
        if (block::ks_length_q(spec) < 2) invalid_spec_field("id");
        cell second = block::ks_head(spec)[1];
        if (TYPE_OF(&second) != TYPE_WORD) fire(script_error::invalid_arg, &second);
        id = id_index(static_cast<uint32_t>(category), &second);
        if (id < 0) invalid_spec_field("id");
        values(result)[FIELD_ID] = second;
    } else if (TYPE_OF(&first) == TYPE_SET_WORD) {
        _context::bind(spec, result->w1, true);
        if (!object::evaluate) fire(internal_error::not_done);
        object::evaluate(spec);
        category = category_index(values(result) + FIELD_TYPE);
        if (category < 0) invalid_spec_field("type");
        id = id_index(static_cast<uint32_t>(category), values(result) + FIELD_ID);
        if (id < 0) invalid_spec_field("id");
    } else {
        fire(internal_error::invalid_error);
    }
    values(result)[FIELD_CODE] = integer_value(100 * category + id);
}

// A malformed error reads as internal/invalid-error with the offending field in arg1.
void turn_invalid(cell* e, field offending) {
    cell* v = values(e);
    v[FIELD_ARG1] = v[offending];
    v[FIELD_TYPE] = _context::key_word(catalog::errors(), ERR_INTERNAL);
    v[FIELD_ID] = _context::key_word(category_object(ERR_INTERNAL)->w1, static_cast<uint32_t>(internal_error::invalid_error) + 2);
}

int32_t text(cell* buffer, const char* s, int32_t part) { return string::form_text(buffer, s, part); }

// The value formed, or molded (flat, only as asked), cut to limit characters.
int32_t append_limited(const cell* value, cell* buffer, int32_t limit, bool mold, bool only, int32_t part) {
    stack_mark mark;
    cell* v = stack::push(value);
    uint32_t before = string::ks_buffer_length(buffer);
    if (mold) mold_dispatch(v, buffer, only, false, true, nullptr, limit, 0);
    else form_dispatch(v, buffer, nullptr, limit);
    uint32_t written = string::ks_buffer_length(buffer) - before;
    if (written > static_cast<uint32_t>(limit)) {
        series_set_part_end(string::buffer_of(buffer), before + static_cast<uint32_t>(limit));
        written = static_cast<uint32_t>(limit);
    }
    return part - static_cast<int32_t>(written);
}

int32_t form_value(const cell* value, cell* buffer, int32_t part) {
    stack_mark mark;
    return form_dispatch(stack::push(value), buffer, nullptr, part);
}

// The message template: strings as they are, argument words replaced by their values, one
// space between items.
int32_t expand(cell* e, cell* message, cell* buffer, int32_t part, bool syntax) {
    int32_t n = block::ks_length_q(message);
    for (int32_t i = 0; i < n; i++) {
        cell item = block::ks_head(message)[i];
        if (TYPE_OF(&item) == TYPE_STRING) {
            part = form_value(&item, buffer, part);
        } else if (TYPE_OF(&item) == TYPE_WORD || TYPE_OF(&item) == TYPE_GET_WORD) {
            int32_t f = _context::find_word(e->w1, item.w2, true);
            if (f >= 0) part = append_limited(values(e) + f, buffer, 80, !syntax, false, part);
        }
        if (i + 1 < n) part = text(buffer, " ", part);
    }
    return part;
}

}  // namespace

void init() {
    collector_add_mark_callback(mark_last_error);
    register_datatype(TYPE_ERROR, TYPE_OBJECT, "error!", {
        entry<ACT_MAKE>(make), 0, INHERIT, 0, entry<ACT_FORM>(form), entry<ACT_MOLD>(mold),
        entry<ACT_EVAL_PATH>(eval_path), 0, entry<ACT_COMPARE>(compare), 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, INHERIT,
        INHERIT, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, INHERIT, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0,
    });
}

cell* create(uint32_t category, uint32_t id, const cell* arg1, const cell* arg2, const cell* arg3) {
    root_cell a1(arg1 ? *arg1 : none_value), a2(arg2 ? *arg2 : none_value), a3(arg3 ? *arg3 : none_value);
    cell* e = stack::push(&none_value);
    new_error(e);
    set_code(e, category, id);
    if (arg1) values(e)[FIELD_ARG1] = a1.value;
    if (arg2) values(e)[FIELD_ARG2] = a2.value;
    if (arg3) values(e)[FIELD_ARG3] = a3.value;
    return e;
}

const cell* make(cell*, cell* spec, uint32_t) {
    if (TYPE_OF(spec) == TYPE_STRING) return create(ERR_USER, static_cast<uint32_t>(user_error::message), spec, nullptr, nullptr);
    cell* result = stack::push(&none_value);
    new_error(result);
    switch (TYPE_OF(spec)) {
        case TYPE_INTEGER: {
            int32_t code = int_of(spec);
            values(result)[FIELD_CODE] = *spec;
            uint32_t category = static_cast<uint32_t>(code) / 100, id = static_cast<uint32_t>(code) % 100;
            if (code < 0 || category >= ctx_slot_count(ctx_cell(catalog::errors())) ||
                id + 2 >= object::field_count(category_object(category)))
                fire(script_error::out_of_range, spec);
            set_code(result, category, id);
            break;
        }
        case TYPE_BLOCK:
            make_from_block(result, spec);
            break;
        default: {
            cell type{TYPE_DATATYPE, TYPE_ERROR, 0, 0};
            fire(script_error::bad_make_arg, &type, spec);
        }
    }
    return result;
}

int32_t form(cell* value, cell* buffer, cell*, int32_t part) {
    part = text(buffer, "*** ", part);
    int32_t category = category_index(values(value) + FIELD_TYPE);
    if (category < 0) {
        turn_invalid(value, FIELD_TYPE);
        category = ERR_INTERNAL;
    }
    int32_t id = id_index(static_cast<uint32_t>(category), values(value) + FIELD_ID);
    if (id < 0) {
        turn_invalid(value, FIELD_ID);
        category = ERR_INTERNAL;
        id = static_cast<int32_t>(internal_error::invalid_error);
    }
    stack_mark mark;
    cell* message = stack::push(object::get_values(category_object(static_cast<uint32_t>(category))) + id + 2);
    if (TYPE_OF(message) == TYPE_WORD) {
        int32_t f = _context::find_word(value->w1, message->w2, true);
        *message = f >= 0 ? values(value)[f] : none_value;
    }
    part = form_value(object::get_values(category_object(static_cast<uint32_t>(category))) + 1, buffer, part);
    part = text(buffer, ": ", part);
    if (TYPE_OF(message) == TYPE_STRING) part = form_value(message, buffer, part);
    else if (TYPE_OF(message) == TYPE_BLOCK) part = expand(value, message, buffer, part, category == ERR_SYNTAX);
    else turn_invalid(value, FIELD_TYPE);

    part = text(buffer, "\n*** Where: ", part);
    cell where = values(value)[FIELD_WHERE];
    if (TYPE_OF(&where) == TYPE_WORD || TYPE_OF(&where) == TYPE_STRING) part = form_value(&where, buffer, part);
    // A block names a directive or the like: its values as written.
    else if (TYPE_OF(&where) == TYPE_BLOCK) part = append_limited(&where, buffer, 40, true, true, part);
    else part = text(buffer, "???", part);
    part = text(buffer, "\n*** Near : ", part);
    part = append_limited(values(value) + FIELD_NEAR, buffer, 40, true, true, part);

    const cell* depth = catalog::stack_trace();
    if (TYPE_OF(depth) == TYPE_INTEGER && int_of(depth) > 0) {
        cell trace = values(value)[FIELD_STACK];
        if (TYPE_OF(&trace) == TYPE_INTEGER) {
            part = text(buffer, "\n*** Stack: ", part);
            part = stack::trace_form(int_of(depth), buffer, value, part);
        }
        if (TYPE_OF(&trace) == TYPE_BLOCK) {
            part = text(buffer, "\n*** Stack: ", part);
            part = form_value(&trace, buffer, part);
        }
    }
    if (TYPE_OF(values(value) + FIELD_FILES) == TYPE_BLOCK) {
        part = text(buffer, "\n*** Files: ", part);
        part = append_limited(values(value) + FIELD_FILES, buffer, 40, true, true, part);
    }
    return part;
}

int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part, int32_t indent) {
    return object::mold_as(value, buffer, only, all, flat, arg, part, indent, "make error! [");
}

const cell* eval_path(cell* parent, cell* element, cell* value, cell* path, cell* prev_value, cell* prev_element,
                      int32_t index, bool case_q, bool get_q, bool tail_q, bool evt_q) {
    return object::eval_path(parent, element, value, path, prev_value, prev_element, index, case_q, get_q, tail_q,
                             evt_q);
}

int32_t compare(cell* value1, cell* value2, int32_t op) {
    if (TYPE_OF(value2) != TYPE_ERROR) return INCOMPARABLE;
    return object::compare(value1, value2, op);
}

cell* get_field(const cell* e, field f) { return values(e) + f; }

void set_where(cell* e, const cell* value) {
    if (TYPE_OF(values(e) + FIELD_WHERE) == TYPE_NONE) values(e)[FIELD_WHERE] = *value;
}

uint32_t get_type(const cell* e) { return values(e)[FIELD_TYPE].w2; }
uint32_t get_id(const cell* e) { return values(e)[FIELD_ID].w2; }

void capture_stack(cell* e) {
    if (TYPE_OF(e) != TYPE_ERROR) return;
    stack_mark mark;
    if (TYPE_OF(values(e) + FIELD_STACK) == TYPE_INTEGER) {
        const cell* depth = catalog::stack_trace();
        int32_t level = TYPE_OF(depth) == TYPE_INTEGER && int_of(depth) > 0 ? int_of(depth) : 1;
        cell* trace = block::push_only(20);
        stack::trace_words(level, trace, e);
        values(e)[FIELD_STACK] = *trace;
    }
    cell* files = stack::push(catalog::source_files());
    if (TYPE_OF(files) == TYPE_BLOCK && block::ks_length_q(files) > 0)
        values(e)[FIELD_FILES] = *block::clone(files, false, false);
}

}  // namespace error

void error_create(uint32_t category, uint32_t id, const cell* arg1, const cell* arg2, const cell* arg3) {
    record.code = error_code(category, id);
    const cell* args[3] = {arg1, arg2, arg3};
    for (int i = 0; i < 3; i++) record.args[i] = args[i] ? *args[i] : none_value;
    last_error = none_value;
    if (building || !catalog::errors()) return;
    building = true;
    struct done {
        ~done() { building = false; }
    } finish;
    stack_mark mark;
    last_error = *error::create(category, id, arg1, arg2, arg3);
}

const raised_error& last_raised_error() {
    if (TYPE_OF(&last_error) == TYPE_ERROR) {
        const cell* v = object::get_values(&last_error);
        record.code = v[error::FIELD_CODE].w2;
        for (int i = 0; i < 3; i++) record.args[i] = v[error::FIELD_ARG1 + i];
    }
    return record;
}

}  // namespace kel
