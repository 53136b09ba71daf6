#include "datatypes/typeset.h"

#include "datatypes/context.h"
#include "datatypes/logic.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "runtime/error_catalog.h"
#include "runtime/stack.h"

namespace kel::typeset {

namespace {

constexpr int32_t PREFIX_LENGTH = 15;  // "make typeset! ["

inline cell empty() { return cell{TYPE_TYPESET, 0, 0, 0}; }

inline void add_type_or_set(cell* value, const cell* element, const cell* culprit) {
    if (TYPE_OF(element) == TYPE_DATATYPE) {
        typeset_add(value, element->w1);
    } else if (TYPE_OF(element) == TYPE_TYPESET) {
        value->w1 |= element->w1;
        value->w2 |= element->w2;
        value->w3 |= element->w3;
    } else {
        fire(script_error::invalid_arg, culprit);
    }
}

template <class F>
void for_each_element(const cell* block, F&& f) {
    series_buffer* b = node_buffer(series_node(block));
    for (cell* c = b->cells() + series_head(block); c < b->cells_tail(); c++) f(c);
}

}  // namespace

void init() {
    register_datatype(TYPE_TYPESET, 0, "typeset!", {
        entry<ACT_MAKE>(make), 0, 0, entry<ACT_TO>(make), entry<ACT_FORM>(form), entry<ACT_MOLD>(mold), 0, 0,
        entry<ACT_COMPARE>(compare), 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        entry<ACT_AND>(and_), entry<ACT_COMPLEMENT>(complement), entry<ACT_OR>(or_), entry<ACT_XOR>(xor_),
        0, 0, 0, 0, 0, 0,
        entry<ACT_FIND>(find), 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0,
    });
}

cell* clear(cell* value) {
    *value = empty();
    return value;
}

uint32_t count(const cell* value) {
    uint32_t n = 0;
    for (uint32_t t = 1; t <= highest_type; t++) n += typeset_has(value, t);
    return n;
}

void add(cell* value, const cell* element) {
    const cell* resolved = TYPE_OF(element) == TYPE_WORD ? _context::get(element) : element;
    add_type_or_set(value, resolved, element);
}

cell* make_in(const cell* block, uint32_t w1, uint32_t w2, uint32_t w3) {
    cell* c = alloc_tail(block);
    *c = cell{TYPE_TYPESET, w1, w2, w3};
    return c;
}

cell* make_in_default(const cell* block) {
    cell all{TYPE_TYPESET, ~0u, ~0u, ~0u};
    reinterpret_cast<uint8_t*>(&all.w1)[TYPE_UNSET >> 3] &= static_cast<uint8_t>(~(0x80u >> (TYPE_UNSET & 7)));
    return make_in(block, all.w1, all.w2, all.w3);
}

cell* make_in_from_spec(const cell* block, const cell* spec) {
    cell result = empty();
    for_each_element(spec, [&](const cell* c) {
        switch (TYPE_OF(c)) {
            case TYPE_BLOCK:
                return;
            case TYPE_WORD: {
                const cell* value = _context::get(c);
                if (TYPE_OF(value) == TYPE_WORD) typeset_add(&result, TYPE_OBJECT);
                else if (TYPE_OF(value) == TYPE_DATATYPE || TYPE_OF(value) == TYPE_TYPESET)
                    add_type_or_set(&result, value, c);
                else fire(script_error::invalid_type_spec, c);
                return;
            }
            default:
                fire(script_error::invalid_type_spec, c);
        }
    });
    return make_in(block, result.w1, result.w2, result.w3);
}

cell* to_block(const cell* value, cell* result) {
    cell members = *value;  // the value may live in a buffer the allocation moves
    node_id node = alloc_cells(count(&members));
    series_buffer* b = node_buffer(node);
    cell* c = b->cells();
    for (uint32_t t = 1; t <= highest_type; t++)
        if (typeset_has(&members, t)) *c++ = cell{TYPE_DATATYPE, t, 0, 0};
    b->tail = reinterpret_cast<uint8_t*>(c);
    set_series_value(result, TYPE_BLOCK, node, 0);
    return result;
}

int32_t mold_core(cell* value, cell* buffer, bool only, int32_t part) {
    cell members = *value;
    if (!only) {
        string::concat_cstr(buffer, "make typeset! [");
        part -= PREFIX_LENGTH;
    }
    bool any = false;
    for (uint32_t t = 1; t <= highest_type; t++) {
        if (!typeset_has(&members, t) || !type_names[t].name) continue;
        if (part < 0) break;
        const type_name_record& record = type_names[t];
        string::concat_bytes(buffer, record.name, record.length + 1);
        string::concat_cstr(buffer, " ");
        part -= static_cast<int32_t>(record.length) + 2;
        any = true;
    }
    if (any) {
        series_buffer* b = node_buffer(series_node(buffer));
        b->tail -= b->unit();
        part++;
    }
    if (!only) {
        string::concat_cstr(buffer, "]");
        part--;
    }
    return part;
}

const cell* make(cell*, cell* spec, uint32_t type) {
    if (TYPE_OF(spec) == TYPE_TYPESET) return spec;
    if (TYPE_OF(spec) != TYPE_BLOCK) raise_bad_to_arg(type, spec);
    cell result = empty();
    for_each_element(spec, [&](const cell* c) { add(&result, c); });
    *spec = result;
    return spec;
}

int32_t form(cell* value, cell* buffer, cell*, int32_t part) { return mold_core(value, buffer, false, part); }

int32_t mold(cell* value, cell* buffer, bool only, bool, bool, cell*, int32_t part, int32_t) {
    return mold_core(value, buffer, only, part);
}

int32_t compare(cell* value1, cell* value2, int32_t op) {
    if (TYPE_OF(value2) != TYPE_TYPESET) return INCOMPARABLE;
    switch (op) {
        case COMP_SORT:
        case COMP_CASE_SORT:
            return compare_sign(int64_t{count(value1)} - count(value2));
        case COMP_LESSER:
        case COMP_LESSER_EQUAL:
        case COMP_GREATER:
        case COMP_GREATER_EQUAL:
            return INCOMPARABLE;
        default:
            return value1->w1 == value2->w1 && value1->w2 == value2->w2 && value1->w3 == value2->w3 ? 0 : 1;
    }
}

void do_bitwise(int32_t code) {
    cell* a = stack::arguments;
    cell* arg = stack::arguments + 1;
    cell b = empty();
    if (TYPE_OF(arg) == TYPE_DATATYPE) typeset_add(&b, arg->w1);
    else if (TYPE_OF(arg) == TYPE_TYPESET) b = *arg;
    else fire(script_error::invalid_arg, arg);
    switch (code) {
        case BITS_OR:
        case BITS_UNION:
            a->w1 |= b.w1, a->w2 |= b.w2, a->w3 |= b.w3;
            break;
        case BITS_AND:
        case BITS_INTERSECT:
            a->w1 &= b.w1, a->w2 &= b.w2, a->w3 &= b.w3;
            break;
        case BITS_XOR:
        case BITS_DIFFERENCE:
            a->w1 ^= b.w1, a->w2 ^= b.w2, a->w3 ^= b.w3;
            break;
        case BITS_EXCLUDE:
            a->w1 &= ~b.w1, a->w2 &= ~b.w2, a->w3 &= ~b.w3;
            break;
        default:  // unique: the first argument as it is
            break;
    }
    a->header = TYPE_TYPESET;
}

void and_() { do_bitwise(BITS_AND); }
void or_() { do_bitwise(BITS_OR); }
void xor_() { do_bitwise(BITS_XOR); }

const cell* complement(cell* value) {
    value->w1 = ~value->w1;
    value->w2 = ~value->w2;
    value->w3 = ~value->w3;
    return value;
}

const cell* find(cell* series, cell* value, cell*, bool, bool, bool, bool, cell*, cell*, bool, bool, bool, bool) {
    if (TYPE_OF(value) != TYPE_DATATYPE) fire(script_error::invalid_arg, value);
    return typeset_has(series, value->w1) ? &true_value : &false_value;
}

}  // namespace kel::typeset
