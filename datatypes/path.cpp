#include "datatypes/path.h"

#include <algorithm>
#include <cmath>

#include "datatypes/block.h"
#include "datatypes/dispatch.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "runtime/cycles.h"
#include "runtime/error_catalog.h"
#include "runtime/stack.h"

namespace kel::path {

namespace {

// Each element from the head through its type's form or mold, "/" between them.
template <class F>
int32_t join(cell* value, cell* buffer, bool mold, int32_t part, F&& element) {
    if (cycles_detect_q(value, buffer, &part, mold)) return part;
    cycles_guard walk(series_node(value));
    for (int32_t i = series::head_of(value); i < series::buffer_length(value); i++) {
        if (part <= 0) break;
        if (i > series::head_of(value)) part = string::form_text(buffer, "/", part);
        cell* item = stack::push(block::ks_abs_at(value, i));
        part = element(item, part);
        stack::pop(1);
    }
    return part;
}

}  // namespace

void init() {
    const action_entry I = INHERIT;
    // random, sort and trim are the block's only: a path is not shuffled or ordered.
    register_datatype(TYPE_PATH, TYPE_BLOCK, "path!", {
        entry<ACT_MAKE>(make), 0, I, entry<ACT_TO>(to), entry<ACT_FORM>(form),
        entry<ACT_MOLD>(mold), I, 0, I, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, I, I, I, I, I, entry<ACT_COPY>(copy),
        I, I, I, I, I, I, I, I, I, I,
        I, I, I, I, 0, I, I, I, I, I,
        0, 0, 0, 0, I, 0, 0, 0, 0, 0, 0, 0,
    });
    struct variant {
        uint32_t type;
        const char* name;
        mold_fn mold;
    };
    for (const variant& v : {variant{TYPE_LIT_PATH, "lit-path!", lit_path::mold},
                             variant{TYPE_SET_PATH, "set-path!", set_path::mold},
                             variant{TYPE_GET_PATH, "get-path!", get_path::mold}}) {
        register_datatype(v.type, TYPE_PATH, v.name, {
            I, I, I, I, I, entry<ACT_MOLD>(v.mold), I, I, I, I,
            I, I, I, I, I, I, I, I, I, I,
            I, I, I, I, I, I, I, I, I, I,
            I, I, I, I, I, I, I, I, I, I,
            I, I, I, I, I, I, I, I, I, I,
            I, I, I, I, I, I, I, I, I, I, I, I,
        });
    }
}

cell* push(const cell* block, uint32_t type) {
    cell* c = stack::push(block);
    set_type(c, type);
    return c;
}

cell* make_at(cell* value, int32_t n) {
    block::make_at(value, n);
    set_type(value, TYPE_PATH);
    return value;
}

const cell* make(cell* proto, cell* spec, uint32_t type) {
    uint32_t st = TYPE_OF(spec);
    if (st != TYPE_INTEGER && st != TYPE_FLOAT && st != TYPE_PERCENT) {
        if (any_block_q(st)) return block::to(proto, spec, type);
        cell target{TYPE_DATATYPE, type, 0, 0};
        fire(script_error::bad_make_arg, &target, spec);
    }
    double n = st == TYPE_INTEGER ? int_of(spec) : std::trunc(cell_float(spec));
    cell* result = block::push_only(n < 1 ? 1 : n > INT32_MAX ? INT32_MAX : static_cast<int32_t>(n));
    set_type(result, type);
    return result;
}

const cell* to(cell* proto, cell* spec, uint32_t type) {
    uint32_t st = TYPE_OF(spec);
    if (st == TYPE_OBJECT || st == TYPE_TYPESET || st == TYPE_MAP) {
        cell* result = block::push_only(1);
        block::ks_append(result, spec);
        set_type(result, type);
        return result;
    }
    return block::to(proto, spec, type);
}

int32_t form(cell* value, cell* buffer, cell* arg, int32_t part) {
    return join(value, buffer, false, part,
                [&](cell* item, int32_t p) { return form_dispatch(item, buffer, arg, p); });
}

int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent) {
    return join(value, buffer, true, part, [&](cell* item, int32_t p) {
        // A path segment cannot open braces: its strings keep the quotes.
        if (TYPE_OF(item) == TYPE_STRING) return string::mold_quoted(item, buffer, all, arg, p);
        return mold_dispatch(item, buffer, only, all, flat, arg, p, indent);
    });
}

const cell* copy(cell* value, cell* result, cell* part, bool deep, cell* types) {
    return block::copy(value, result, part, deep, types);
}

}  // namespace kel::path

namespace kel::lit_path {
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent) {
    part = string::form_text(buffer, "'", part);
    return path::mold(value, buffer, only, all, flat, arg, part, indent);
}
}  // namespace kel::lit_path

namespace kel::set_path {
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent) {
    part = path::mold(value, buffer, only, all, flat, arg, part, indent);
    return string::form_text(buffer, ":", part);
}
}  // namespace kel::set_path

namespace kel::get_path {
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent) {
    part = string::form_text(buffer, ":", part);
    return path::mold(value, buffer, only, all, flat, arg, part, indent);
}
}  // namespace kel::get_path
