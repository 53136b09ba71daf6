#include "datatypes/context.h"

#include "datatypes/registry.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/cycles.h"
#include "runtime/error_catalog.h"
#include "runtime/exits.h"

namespace kel {

node_id global_context = 0;

namespace _context {

on_set_hook fire_on_set = nullptr;

namespace {

void mark_global_context() {
    if (global_context) collector_mark_context(&global_context);
}

inline cell* owner_of(node_id ctx) { return series_cell(ctx, 1); }

inline node_id values_node(node_id ctx) {
    const cell* c = ctx_cell(ctx);
    return c->header & CTX_ON_STACK ? 0 : c->w2;
}

// One unset value at the tail of the values block; nothing for on-stack values.
void append_value(node_id ctx, const cell& value) {
    node_id values = values_node(ctx);
    if (values) *alloc_tail_buffer(node_buffer(values)) = value;
}

void bind_cells(node_id block, uint32_t head, node_id ctx, bool self) {
    if (cycles_find_q(block)) return;
    cycles_guard guard(block);
    series_buffer* b = node_buffer(block);
    cell* end = b->cells_tail();
    for (cell* c = b->cells() + head; c < end; c++) {
        switch (TYPE_OF(c)) {
            case TYPE_BLOCK:
            case TYPE_PAREN:
            case TYPE_PATH:
            case TYPE_LIT_PATH:
            case TYPE_SET_PATH:
            case TYPE_GET_PATH:
            case TYPE_HASH:
                if (c->w2) bind_cells(c->w2, c->w1, ctx, self);
                break;
            case TYPE_WORD:
                if (self && c->w2 == runtime_symbols[SYM_SELF]) {
                    c->w1 = ctx;
                    c->w3 = static_cast<uint32_t>(-1);
                    break;
                }
                [[fallthrough]];
            case TYPE_SET_WORD:
            case TYPE_LIT_WORD:
            case TYPE_GET_WORD:
            case TYPE_REFINEMENT:
                bind_word(ctx, c);
                break;
            default:
                break;
        }
    }
}

}  // namespace

void init() {
    register_datatype(TYPE_CONTEXT, 0, "context!", {
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0,
    });
}

void global_init() {
    collector_add_mark_callback(mark_global_context);
    global_context = 0;
    global_context = create(GLOBAL_CONTEXT_SIZE, false, false, 0, CTX_GLOBAL);
}

node_id create(uint32_t slots, bool on_stack, bool self, node_id key_words, uint32_t kind) {
    root_node keep_keys(key_words);
    root_node ctx(alloc_cells(2));
    {
        series_buffer* b = node_buffer(ctx.node);
        cell* c = b->cells();
        c[0] = cell{TYPE_CONTEXT | (kind << CTX_KIND_SHIFT) | (on_stack ? CTX_ON_STACK : 0) | (self ? CTX_SELF : 0),
                    0, 0, 0};
        c[1] = cell{TYPE_UNSET, 0, 0, 0};
        b->tail = reinterpret_cast<uint8_t*>(c + 2);
    }
    if (!slots) slots = 1;
    node_id table = hashtable_make(slots, keep_keys.node, HASH_KIND_SYMBOL);
    ctx_cell(ctx.node)->w1 = table;
    if (!on_stack) {
        node_id values = alloc_cells(slots);
        ctx_cell(ctx.node)->w2 = values;
    }
    return ctx.node;
}

node_id make_from_spec(const cell* spec, bool on_stack, bool self, uint32_t kind) {
    root_node block(series_node(spec));
    uint32_t head = series_head(spec);
    series_buffer* b = node_buffer(block.node);
    uint32_t length = static_cast<uint32_t>(b->cells_tail() - b->cells());
    length = length > head ? length - head : 0;
    root_node ctx(create(length, on_stack, self, 0, kind));
    uint32_t words = 0;
    for (uint32_t i = 0; i < length; i++) {
        const cell* c = series_cell(block.node, head + i);
        uint32_t type = TYPE_OF(c);
        if (type != TYPE_WORD && type != TYPE_GET_WORD && type != TYPE_LIT_WORD && type != TYPE_REFINEMENT)
            continue;
        int32_t index;
        add_symbol(ctx.node, c->w2, true, &index);
        words++;
    }
    if (node_id values = values_node(ctx.node)) {
        series_buffer* vb = node_buffer(values);
        cell* v = vb->cells();
        for (uint32_t i = 0; i < words; i++) v[i] = cell{TYPE_UNSET, 0, 0, 0};
        vb->tail = reinterpret_cast<uint8_t*>(v + words);
    }
    return ctx.node;
}

namespace {

// Fresh unset values for a clone of the context old, or 0 for one whose values live on
// the stack.
node_id fresh_values(const cell* old, uint32_t slots) {
    if (old->header & CTX_ON_STACK) return 0;
    node_id values = alloc_cells(slots ? slots : 1);
    series_buffer* vb = node_buffer(values);
    cell* v = vb->cells();
    for (uint32_t i = 0; i < slots; i++) v[i] = cell{TYPE_UNSET, 0, 0, 0};
    vb->tail = reinterpret_cast<uint8_t*>(v + slots);
    return values;
}

// Both keep the field-set marks: a copy starts with its source's.
node_id clone_with_own_keys(const root_node& old, uint32_t kind) {
    const cell* oc = ctx_cell(old.node);
    uint32_t slots = ctx_slot_count(oc);
    bool on_stack = oc->header & CTX_ON_STACK;
    bool self = oc->header & CTX_SELF;
    root_node keys(copy_series_buffer(ctx_key_words_buffer(oc)));
    node_id ctx = create(slots, on_stack, self, keys.node, kind);
    series_buffer* kb = node_buffer(ctx_key_words_node(ctx_cell(ctx)));
    for (cell* k = kb->cells(); k < kb->cells_tail(); k++) k->w1 = ctx;
    if (node_id values = values_node(ctx)) {
        series_buffer* vb = node_buffer(values);
        cell* v = vb->cells();
        for (uint32_t i = 0; i < slots; i++) v[i] = cell{TYPE_UNSET, 0, 0, 0};
        vb->tail = reinterpret_cast<uint8_t*>(v + slots);
    }
    ctx_cell(ctx)->w3 = ctx_cell(old.node)->w3;
    return ctx;
}

node_id clone_sharing_table(const root_node& old, uint32_t kind) {
    root_node ctx(alloc_cells(2));
    node_id values = fresh_values(ctx_cell(old.node), ctx_slot_count(ctx_cell(old.node)));
    cell* oc = ctx_cell(old.node);
    oc->header |= CTX_SHARED_KEYS;
    series_buffer* b = node_buffer(ctx.node);
    cell* c = b->cells();
    uint32_t flags = oc->header & (CTX_ON_STACK | CTX_SELF | CTX_SHARED_KEYS);
    c[0] = cell{TYPE_CONTEXT | (kind << CTX_KIND_SHIFT) | flags, oc->w1, values, oc->w3};
    c[1] = cell{TYPE_UNSET, 0, 0, 0};
    b->tail = reinterpret_cast<uint8_t*>(c + 2);
    return ctx.node;
}

// Before a context that may share its key table gets a new word: a table of its own,
// rehashed from a copy of the keys. Node ids stay valid for the caller.
void own_key_table(node_id ctx) {
    evacuation_off keep_ids;
    root_node keep(ctx);
    const cell* c = ctx_cell(ctx);
    uint32_t slots = ctx_slot_count(c);
    root_node keys(copy_series_buffer(ctx_key_words_buffer(c)));
    series_buffer* kb = node_buffer(keys.node);
    for (cell* k = kb->cells(); k < kb->cells_tail(); k++) k->w1 = ctx;
    node_id table = hashtable_make(slots ? slots : 1, keys.node, HASH_KIND_SYMBOL);
    cell* owned = ctx_cell(ctx);
    owned->w1 = table;
    owned->header &= ~CTX_SHARED_KEYS;
}

// A word bound to a context with the same key table as ctx (a sibling copy of an object)
// has its slot there too, with no lookup: such tables hold no two keys differing in case
// only. -1 when the word is not such a word.
int32_t sibling_index(node_id ctx, const cell* word) {
    const cell* c = ctx_cell(ctx);
    if (!(c->header & CTX_SHARED_KEYS) || !word->w1 || static_cast<int32_t>(word->w3) < 0) return -1;
    return ctx_cell(word->w1)->w1 == c->w1 ? static_cast<int32_t>(word->w3) : -1;
}

}  // namespace

node_id clone_for_object(cell* object, uint32_t kind) {
    root_node old(object->w1);
    bool share = ctx_slot_count(ctx_cell(old.node)) <= MARKS_IN_CELL;
    node_id ctx = share ? clone_sharing_table(old, kind) : clone_with_own_keys(old, kind);
    object->w1 = ctx;
    return ctx;
}

void clear_field_marks(node_id ctx) {
    cell* c = ctx_cell(ctx);
    c->w3 = 0;
    series_buffer* keys = ctx_key_words_buffer(c);
    for (cell* k = keys->cells() + MARKS_IN_CELL; k < keys->cells_tail(); k++) k->header &= ~CELL_FIELD_SET;
}

cell key_word(node_id ctx, uint32_t n) {
    cell w = *ctx_key_word(ctx_cell(ctx), n);
    w.header = TYPE_WORD;
    w.w1 = ctx;
    return w;
}

node_id clone_sharing_keys(cell* function) {
    node_id ctx = alloc_cells(2);
    const cell* oc = ctx_cell(function->w1);
    KEL_ASSERT(oc->header & CTX_ON_STACK);
    series_buffer* b = node_buffer(ctx);
    cell* c = b->cells();
    // No active call yet, whatever the original is doing.
    c[0] = cell{oc->header, oc->w1, 0, 0};
    c[1] = cell{TYPE_UNSET, 0, 0, 0};
    b->tail = reinterpret_cast<uint8_t*>(c + 2);
    function->w1 = ctx;
    return ctx;
}

int32_t find_word(node_id ctx, uint32_t symbol, bool case_insensitive) {
    return context_table_find(ctx_cell(ctx)->w1, symbol, case_insensitive);
}

int32_t add_symbol(node_id ctx, uint32_t symbol, bool case_insensitive, int32_t* index) {
    node_id table = ctx_cell(ctx)->w1;
    int32_t found = context_table_find(table, symbol, case_insensitive);
    if (found >= 0) return found;
    if (ctx_cell(ctx)->header & CTX_SHARED_KEYS) {
        own_key_table(ctx);
        table = ctx_cell(ctx)->w1;
    }
    *index = static_cast<int32_t>(context_table_put(table, cell{TYPE_WORD, ctx, symbol, 0}));
    return -1;
}

int32_t add_word(node_id ctx, uint32_t symbol) {
    int32_t index;
    int32_t found = add_symbol(ctx, symbol, true, &index);
    if (found >= 0) return found;
    append_value(ctx, cell{TYPE_UNSET, 0, 0, 0});
    return index;
}

cell* put_value(node_id ctx, uint32_t symbol, const cell* value) {
    int32_t index;
    int32_t found = add_symbol(ctx, symbol, true, &index);
    if (found >= 0) {
        cell* slot = values(ctx_cell(ctx)) + found;
        *slot = *value;
        return slot;
    }
    root_cell keep(*value);
    root_node keep_ctx(ctx);
    append_value(ctx, keep.value);
    return values(ctx_cell(keep_ctx.node)) + index;
}

cell* add_with_value(node_id ctx, uint32_t symbol, const cell* value) {
    int32_t index;
    root_cell keep(*value);
    root_node keep_ctx(ctx);
    if (add_symbol(ctx, symbol, true, &index) >= 0) return nullptr;
    append_value(keep_ctx.node, keep.value);
    return values(ctx_cell(keep_ctx.node)) + index;
}

bool collect_set_words(node_id ctx, const cell* block) {
    root_node keep_ctx(ctx);
    root_node keep_block(series_node(block));
    series_buffer* b = node_buffer(keep_block.node);
    uint32_t length = static_cast<uint32_t>(b->cells_tail() - b->cells());
    uint32_t before = ctx_slot_count(ctx_cell(ctx));
    for (uint32_t i = series_head(block); i < length; i++) {
        const cell* c = series_cell(keep_block.node, i);
        if (TYPE_OF(c) == TYPE_SET_WORD && sibling_index(keep_ctx.node, c) < 0) add_word(keep_ctx.node, c->w2);
    }
    return ctx_slot_count(ctx_cell(keep_ctx.node)) > before;
}

cell add_global_word(uint32_t symbol, bool case_insensitive, bool keep_spelling) {
    int32_t index;
    int32_t found = add_symbol(global_context, symbol, case_insensitive, &index);
    if (found >= 0) {
        cell word = *ctx_key_word(ctx_cell(global_context), static_cast<uint32_t>(found));
        if (case_insensitive && keep_spelling) word.w2 = symbol;
        return word;
    }
    // A new spelling of a known name shares the value of the spelling added first.
    if (symbol::alias_of(symbol) > 0) {
        const cell* gc = ctx_cell(global_context);
        ctx_key_word(gc, static_cast<uint32_t>(index))->w3 =
            static_cast<uint32_t>(context_table_find(gc->w1, symbol, true));
    }
    append_value(global_context, cell{TYPE_UNSET, 0, 0, 0});
    return *ctx_key_word(ctx_cell(global_context), static_cast<uint32_t>(index));
}

cell global_word_for_symbol(uint32_t symbol) { return add_global_word(symbol, false, true); }

cell* value_of_symbol(node_id ctx, uint32_t symbol) {
    if (ctx_cell(ctx)->header & CTX_ON_STACK) ctx = global_context;
    return values(ctx_cell(ctx)) + find_word(ctx, symbol, true);
}

int32_t bind_word(node_id ctx, cell* word) {
    int32_t index = sibling_index(ctx, word);
    if (index < 0) index = find_word(ctx, word->w2, true);
    if (index >= 0) {
        word->w1 = ctx;
        word->w3 = static_cast<uint32_t>(index);
    }
    return index;
}

cell* bind(cell* block, node_id ctx, bool self) {
    // Without self, a context without words binds nothing.
    bool empty = !self && ctx && ctx_slot_count(ctx_cell(ctx)) == 0;
    if (series_node(block) && !empty) bind_cells(series_node(block), series_head(block), ctx, self);
    return block;
}

cell* get_in(const cell* word, node_id ctx) {
    int32_t index = static_cast<int32_t>(word->w3);
    if (index < 0 || !ctx) {
        if (word->w1 && word->w2 == runtime_symbols[SYM_SELF]) return owner_of(word->w1);
        fire(script_error::no_value, word);
    }
    cell* v = values(ctx_cell(ctx));
    if (!v) fire(script_error::not_in_context, word);
    return v + index;
}

cell* set_in(cell* word, const cell* value, node_id ctx, bool fire) {
    if (!ctx) kel::fire(script_error::not_in_context, word);  // an unbound word
    if (static_cast<int32_t>(word->w3) < 0) {
        int32_t index = find_word(ctx, word->w2, false);
        if (index < 0) {
            root_cell keep(*value);
            root_node keep_ctx(ctx);
            index = add_word(ctx, word->w2);
            ctx = keep_ctx.node;
            word->w3 = static_cast<uint32_t>(index);
            return set_in(word, &keep.value, ctx, fire);
        }
        word->w3 = static_cast<uint32_t>(index);
    }
    uint32_t index = word->w3;
    cell* c = ctx_cell(ctx);
    if (!c->w2) kel::fire(script_error::not_defined, word);
    cell* slot = values(c) + index;
    if (!(c->header & CTX_ON_STACK) && ctx_kind(c) == CTX_OBJECT) {
        mark_field_set(c, index);
        const cell* owner = owner_of(ctx);
        if (fire && owner->w3 && fire_on_set) {
            root_node keep_ctx(ctx);
            cell* saved_top = stack::top;
            struct restore_top {
                cell* top;
                ~restore_top() { stack::top = top; }
            } restore{saved_top};
            cell* args = stack::push(owner);
            stack::push(word);
            stack::push(slot);
            stack::push(value);
            *slot = *value;
            fire_on_set(args, args + 1, args + 2, args + 3);
            return values(ctx_cell(keep_ctx.node)) + index;
        }
    }
    *slot = *value;
    return slot;
}

}  // namespace _context
}  // namespace kel
