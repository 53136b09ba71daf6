#include "datatypes/function.h"

#include <algorithm>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/dispatch.h"
#include "datatypes/logic.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/collector.h"
#include "runtime/error_catalog.h"
#include "runtime/stack.h"

namespace kel {

namespace {

inline cell block_of(node_id node) { return cell{TYPE_BLOCK, 0, node, 0}; }
inline uint32_t name_of(const cell* word) { return symbol::resolve(word->w2); }
inline uint32_t local_symbol() { return symbol::resolve(runtime_refinements[REF_LOCAL].w2); }

inline bool param_type_q(uint32_t t) {
    return t == TYPE_WORD || t == TYPE_LIT_WORD || t == TYPE_GET_WORD || t == TYPE_REFINEMENT;
}

// The cells of a block value from its head (clamped to the tail).
struct cells_of {
    cell* begin;
    cell* end;
    explicit cells_of(const cell* block) {
        series_buffer* b = node_buffer(series_node(block));
        end = b->cells_tail();
        begin = std::min(b->cells() + series_head(block), end);
    }
};

void clamp_head(cell* block) {
    uint32_t length = static_cast<uint32_t>(series::buffer_length(block));
    if (block->w1 > length) block->w1 = length;
}

// Every element names a type: a datatype!, a typeset!, or a word holding one (or a word).
void check_type_block(const cell* types) {
    cells_of c(types);
    for (cell* e = c.begin; e < c.end; e++) {
        uint32_t t = TYPE_OF(e);
        if (t == TYPE_DATATYPE || t == TYPE_TYPESET) continue;
        if (t != TYPE_WORD) fire(script_error::invalid_type_spec, e);
        const cell* v = _context::get(e);
        uint32_t vt = TYPE_OF(v);
        if (vt == TYPE_UNSET) fire(script_error::no_value, e);
        if (vt != TYPE_DATATYPE && vt != TYPE_TYPESET && vt != TYPE_WORD)
            fire(script_error::invalid_type_spec, e);
    }
}

node_id push_core(const cell* spec, const cell* body, node_id ctx, int32_t compiled, int32_t extra,
                  uint32_t flags, uint32_t type, bool copy_body) {
    root_cell s(*spec);
    s.value.header = TYPE_BLOCK;
    clamp_head(&s.value);
    if (s.value.w1) {
        s.value = *block::clone(&s.value, false, false);
        stack::pop(1);
    }
    root_cell b(body && TYPE_OF(body) == TYPE_BLOCK ? *body : none_value);
    bool has_body = TYPE_OF(&b.value) == TYPE_BLOCK;
    if (has_body) clamp_head(&b.value);
    root_node more(alloc_unset_cells(FUNCTION_MORE_SIZE));
    series_buffer* mb = node_buffer(more.node);
    mb->tail = reinterpret_cast<uint8_t*>(mb->cells() + FUNCTION_MORE_SIZE);
    root_node context(ctx ? ctx : _context::make_from_spec(&s.value, true, false, CTX_FUNCTION));
    cell* f = stack::push_cell();
    *f = cell{flags | type, context.node, s.value.w2, more.node};
    *series_cell(context.node, 1) = *f;
    if (has_body) {
        cell* copy = copy_body ? block::clone(&b.value, true, true) : stack::push(&b.value);
        if (!ctx) _context::bind(copy, f->w1, false);
        *more_at(f, MORE_BODY) = *copy;
        stack::pop(1);
    } else {
        *more_at(f, MORE_BODY) = none_value;
    }
    if (compiled) *more_at(f, MORE_CODE) = integer_value(compiled);
    if (extra) *more_at(f, MORE_EXTRA) = integer_value(extra);
    return f->w1;
}

void collect_word(std::vector<uint32_t>& known, std::vector<uint32_t>& collected, const cell* word) {
    uint32_t name = name_of(word);
    if (std::find(known.begin(), known.end(), name) != known.end()) return;
    known.push_back(name);
    collected.push_back(word->w2);
}

// The set-words of the body and the words its loops declare, into blocks and parens, in
// order of appearance. Allocates nothing; a block met twice (or containing itself) is
// walked once.
void collect_body(const cell* body, std::vector<uint32_t>& known, std::vector<uint32_t>& collected) {
    const uint32_t foreach = sym(SYM_FOREACH), remove_each = sym(SYM_REMOVE_EACH), repeat = sym(SYM_REPEAT);
    std::vector<cells_of> path{cells_of(body)};
    std::vector<node_id> seen{series_node(body)};
    while (!path.empty()) {
        cells_of& block = path.back();
        if (block.begin >= block.end) {
            path.pop_back();
            continue;
        }
        cell* v = block.begin++;
        const cell* next = v + 1 < block.end ? v + 1 : nullptr;
        switch (TYPE_OF(v)) {
            case TYPE_SET_WORD:
                collect_word(known, collected, v);
                break;
            case TYPE_BLOCK:
            case TYPE_PAREN:
                if (std::find(seen.begin(), seen.end(), series_node(v)) != seen.end()) break;
                seen.push_back(series_node(v));
                path.emplace_back(v);
                break;
            case TYPE_WORD: {
                if (!next) break;
                uint32_t name = name_of(v), nt = TYPE_OF(next);
                if ((name == foreach || name == remove_each) && nt == TYPE_BLOCK) {
                    for (cells_of words(next); words.begin < words.end; words.begin++) {
                        uint32_t wt = TYPE_OF(words.begin);
                        if (wt == TYPE_WORD || wt == TYPE_GET_WORD || wt == TYPE_LIT_WORD)
                            collect_word(known, collected, words.begin);
                    }
                } else if ((name == foreach || name == remove_each || name == repeat) &&
                           (nt == TYPE_WORD || nt == TYPE_SET_WORD)) {
                    collect_word(known, collected, next);
                }
                break;
            }
            default:
                break;
        }
    }
}

constexpr uint32_t NO_SLOT = static_cast<uint32_t>(-1);
inline cell unbound(uint32_t type, uint32_t symbol) { return cell{type, 0, symbol, NO_SLOT}; }

int32_t mold_block_node(node_id node, cell* buffer, bool all, bool flat, cell* arg, int32_t part,
                        int32_t indent) {
    cell b = block_of(node);
    cell* v = stack::push(&b);
    part = mold_dispatch(v, buffer, false, all, flat, arg, part, indent);
    stack::pop(1);
    return part;
}

int32_t compare_more(cell* value1, cell* value2, int32_t op) {
    if (TYPE_OF(value2) != TYPE_OF(value1)) return INCOMPARABLE;
    if (op >= COMP_LESSER && op <= COMP_GREATER_EQUAL) return INCOMPARABLE;
    return compare_sign(int64_t{value1->w3} - value2->w3);
}

}  // namespace

namespace function {

void init() {
    register_datatype(TYPE_FUNCTION, TYPE_CONTEXT, "function!", {
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

uint32_t validate_spec(const cell* spec) {
    auto bad = [spec]() { fire(script_error::bad_func_def, spec); };
    const uint32_t return_name = sym(SYM_RETURN), local_name = local_symbol();
    const uint32_t trace = sym(SYM_TRACE), no_trace = sym(SYM_NO_TRACE);
    cells_of c(spec);
    cell* at = c.begin;
    uint32_t flags = 0;
    if (at < c.end && TYPE_OF(at) == TYPE_BLOCK) {
        cells_of attributes(at);
        for (cell* a = attributes.begin; a < attributes.end; a++) {
            if (TYPE_OF(a) != TYPE_WORD) bad();
            uint32_t name = name_of(a);
            if (name == trace) flags |= FUNC_TRACE;
            else if (name == no_trace) flags |= FUNC_NO_TRACE;
        }
        at++;
    }
    // What the previous entry was: a block is a type block only right after an argument
    // or return:, and return: needs one.
    enum class last { other, argument, type_block, refinement, return_word } prev = last::other;
    bool returned = false, local = false;
    std::vector<uint32_t> names;
    auto add_name = [&names](const cell* word) {
        uint32_t name = name_of(word);
        if (std::find(names.begin(), names.end(), name) != names.end()) fire(script_error::dup_vars, word);
        names.push_back(name);
    };
    for (; at < c.end; at++) {
        uint32_t t = TYPE_OF(at);
        if (prev == last::return_word && t != TYPE_BLOCK) bad();
        switch (t) {
            case TYPE_STRING:
                prev = last::other;
                break;
            case TYPE_WORD:
            case TYPE_LIT_WORD:
            case TYPE_GET_WORD:
                if ((returned && !local) || (local && t != TYPE_WORD)) bad();
                add_name(at);
                prev = last::argument;
                break;
            case TYPE_BLOCK:
                if (prev != last::argument && prev != last::return_word) bad();
                check_type_block(at);
                prev = last::type_block;
                break;
            case TYPE_REFINEMENT: {
                bool is_local = name_of(at) == local_name;
                if (local || (returned && !is_local)) bad();
                add_name(at);
                local = is_local;
                prev = last::refinement;
                break;
            }
            case TYPE_SET_WORD:
                if (name_of(at) != return_name || returned || local) bad();
                returned = true;
                prev = last::return_word;
                break;
            default:
                bad();
        }
    }
    if (prev == last::return_word) bad();
    return flags;
}

node_id push(const cell* spec, const cell* body, node_id ctx, int32_t compiled, int32_t extra,
             uint32_t flags) {
    return push_core(spec, body, ctx, compiled, extra, flags, TYPE_FUNCTION, true);
}

const cell* make(cell*, cell* spec, uint32_t) {
    if (TYPE_OF(spec) != TYPE_BLOCK || block::ks_length_q(spec) < 2) fire(script_error::bad_func_def, spec);
    cell* first = block::ks_head(spec);
    if (TYPE_OF(first) != TYPE_BLOCK || TYPE_OF(first + 1) != TYPE_BLOCK) fire(script_error::bad_func_def, spec);
    cell* parts = stack::push(first);
    stack::push(first + 1);
    uint32_t flags = validate_spec(parts);
    push(parts, parts + 1, 0, 0, 0, flags);
    parts[0] = *stack::top_cell();
    stack::top = parts + 1;
    return parts;
}

cell* collect_locals(cell* spec, const cell* body) {
    const uint32_t local_name = local_symbol();
    const uint32_t extern_name = symbol::resolve(runtime_refinements[REF_EXTERN].w2);
    clamp_head(spec);
    std::vector<uint32_t> known, collected;
    int32_t extern_at = -1;
    {
        series_buffer* b = node_buffer(series_node(spec));
        cell* first = b->cells();
        cells_of c(spec);
        for (cell* v = c.begin; v < c.end && extern_at < 0; v++)
            if (TYPE_OF(v) == TYPE_REFINEMENT && name_of(v) == extern_name) extern_at = static_cast<int32_t>(v - first);
        for (cell* v = c.begin; v < c.end; v++) {
            uint32_t t = TYPE_OF(v);
            if (any_word_type_q(t)) known.push_back(name_of(v));
            else if (extern_at >= 0 && t != TYPE_BLOCK && t != TYPE_STRING) fire(script_error::bad_func_extern, v);
        }
        if (extern_at >= 0) {
            // Locals declared after the extern words stay locals.
            cell* v = first + extern_at + 1;
            while (v < c.end && TYPE_OF(v) != TYPE_REFINEMENT) v++;
            if (v < c.end && name_of(v) == local_name)
                for (v++; v < c.end && TYPE_OF(v) != TYPE_REFINEMENT; v++)
                    if (TYPE_OF(v) == TYPE_WORD) collected.push_back(v->w2);
            block::ks_set_tail(spec, extern_at);
        }
    }
    if (body && TYPE_OF(body) == TYPE_BLOCK) collect_body(body, known, collected);

    cell* result = block::push_only(static_cast<int32_t>(collected.size()));
    if (collected.empty()) return result;
    bool has_local = false;
    for (cells_of c(spec); c.begin < c.end; c.begin++)
        if (TYPE_OF(c.begin) == TYPE_REFINEMENT && name_of(c.begin) == local_name) has_local = true;
    if (!has_local) {
        cell local = unbound(TYPE_REFINEMENT, runtime_refinements[REF_LOCAL].w2);
        block::ks_append(spec, &local);
    }
    for (uint32_t s : collected) {
        if (symbol::resolve(s) == local_name) continue;
        cell w = unbound(TYPE_WORD, s);
        block::ks_append(result, &w);
        block::ks_append(spec, &w);
    }
    return result;
}

int32_t count_locals(node_id spec, uint32_t start, bool require) {
    const uint32_t local_name = local_symbol();
    series_buffer* b = node_buffer(spec);
    int32_t count = 0;
    bool found = false;
    for (cell* v = b->cells() + start; v < b->cells_tail(); v++) {
        if (found) count += TYPE_OF(v) == TYPE_WORD;
        else if (TYPE_OF(v) == TYPE_REFINEMENT && name_of(v) == local_name) found = true, count = 1;
    }
    return require && !found ? -1 : count;
}

const cell* param_word_at(const cell* callee, int32_t n) {
    uint32_t t = TYPE_OF(callee);
    if (t < TYPE_NATIVE || (t > TYPE_FUNCTION && t != TYPE_ROUTINE) || n < 0) return &none_value;
    series_buffer* b = node_buffer(callee->w2);
    for (cell* v = b->cells(); v < b->cells_tail(); v++)
        if (param_type_q(TYPE_OF(v)) && n-- == 0) return v;
    return &none_value;
}

// The spec block is shared by the copies of a method, so is its compiled form: until one
// of them compiles it, they share a box the first call fills.
cell shared_compiled_spec(const cell* function) {
    if (TYPE_OF(more_at(function, MORE_ARGS)) == TYPE_UNSET) {
        node_id box = alloc_unset_cells(1);
        node_buffer(box)->tail = reinterpret_cast<uint8_t*>(node_buffer(box)->cells() + 1);
        *more_at(function, MORE_ARGS) = cell{TYPE_PAREN, 0, box, 0};
    }
    return *more_at(function, MORE_ARGS);
}

void rebind_function(node_id ctx, uint32_t index) {
    cell* saved_top = stack::top;
    root_node object(ctx);
    cell* f = stack::push(_context::values(ctx_cell(ctx)) + index);
    if (TYPE_OF(more_at(f, MORE_BODY)) != TYPE_BLOCK) fire(script_error::bad_func_def, f);
    cell* body = block::clone(stack::push(more_at(f, MORE_BODY)), true, true);
    _context::bind(body, object.node, true);
    cell* locals = stack::push(f);
    // Without arguments or locals no word can tell the copies' contexts apart: they share one.
    if (ctx_slot_count(ctx_cell(locals->w1)) > 0) {
        _context::clone_sharing_keys(locals);
        _context::bind(body, locals->w1, false);
    }
    cell spec = block_of(f->w2);
    // The compiled body, if any, belonged to the old context: the rebuilt one runs
    // interpreted, and runs in whatever object calls it.
    push_core(&spec, body, locals->w1, 0, 0, f->header & (FUNC_TRACE | FUNC_NO_TRACE), TYPE_FUNCTION, false);
    *more_at(stack::top_cell(), MORE_ARGS) = shared_compiled_spec(f);
    _context::values(ctx_cell(object.node))[index] = *stack::top_cell();
    stack::top = saved_top;
}

const cell* reflect(cell* value, uint32_t field_symbol) {
    uint32_t field = symbol::resolve(field_symbol);
    if (field == sym(SYM_SPEC)) {
        cell spec = block_of(value->w2);
        return stack::push(&spec);
    }
    if (field == sym(SYM_BODY)) return stack::push(more_at(value, MORE_BODY));
    if (field != sym(SYM_WORDS)) fire(internal_error::not_done);
    node_id ctx = value->w1;
    cell keys = block_of(ctx_key_words_node(ctx_cell(ctx)));
    cell* result = block::clone(stack::push(&keys), false, false);
    *(result - 1) = *result;
    stack::pop(1);
    result--;
    series_buffer* b = node_buffer(series_node(result));
    uint32_t i = 0;
    for (cell* w = b->cells(); w < b->cells_tail(); w++, i++) *w = cell{TYPE_WORD, value->w1, w->w2, i};
    return result;
}

int32_t form(cell*, cell* buffer, cell*, int32_t part) { return string::form_text(buffer, "?function?", part); }

int32_t mold(cell* value, cell* buffer, bool, bool all, bool flat, cell* arg, int32_t part, int32_t indent) {
    part = string::form_text(buffer, "func ", part);
    part = mold_block_node(value->w2, buffer, all, flat, arg, part, indent);
    cell* body = stack::push(more_at(value, MORE_BODY));
    if (TYPE_OF(body) == TYPE_BLOCK) part = mold_dispatch(body, buffer, false, all, flat, arg, part, indent);
    else part = string::form_text(buffer, " none", part);
    stack::pop(1);
    return part;
}

int32_t compare(cell* value1, cell* value2, int32_t op) { return compare_more(value1, value2, op); }

}  // namespace function

void push_unused_refinement(int32_t count) {
    logic::push(0);
    for (int32_t i = 1; i < count; i++) stack::push(&none_value);
}

namespace routine {

void init() {
    register_datatype(TYPE_ROUTINE, TYPE_FUNCTION, "routine!", {
        0, 0, INHERIT, 0, entry<ACT_FORM>(form), entry<ACT_MOLD>(mold), 0, 0,
        entry<ACT_COMPARE>(compare), 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0,
    });
}

cell* push(const cell* spec, const cell* body, int32_t entry, int32_t extra, bool has_return) {
    root_cell kept(body ? *body : none_value);
    push_core(spec, nullptr, 0, 0, 0, has_return ? ROUTINE_HAS_RETURN : 0, TYPE_ROUTINE, false);
    cell* r = stack::top_cell();
    *more_at(r, MORE_BODY) = kept.value;
    *more_at(r, MORE_CODE) = integer_value(entry);
    *more_at(r, MORE_EXTRA) = integer_value(extra);
    return count_args(r);
}

cell* count_args(cell* value) {
    series_buffer* b = node_buffer(value->w2);
    uint32_t count = 0;
    for (cell* v = b->cells(); v < b->cells_tail(); v++) count += TYPE_OF(v) == TYPE_WORD;
    value->header = (value->header & ~ROUTINE_ARGS_MASK) | ((count << ROUTINE_ARGS_SHIFT) & ROUTINE_ARGS_MASK);
    return value;
}

int32_t form(cell*, cell* buffer, cell*, int32_t part) { return string::form_text(buffer, "?routine?", part); }

int32_t mold(cell* value, cell* buffer, bool, bool all, bool flat, cell* arg, int32_t part, int32_t indent) {
    part = string::form_text(buffer, "routine ", part);
    part = mold_block_node(value->w2, buffer, all, flat, arg, part, indent);
    cell* body = stack::push(more_at(value, MORE_BODY));
    if (TYPE_OF(body) != TYPE_BLOCK) part = string::form_text(buffer, " ", part);
    part = mold_dispatch(body, buffer, false, all, flat, arg, part, indent);
    stack::pop(1);
    return part;
}

int32_t compare(cell* value1, cell* value2, int32_t op) { return compare_more(value1, value2, op); }

}  // namespace routine
}  // namespace kel
