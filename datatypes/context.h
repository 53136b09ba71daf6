// context!: a series of two cells behind a context node. Cell 0 is the context cell:
// kind in bits 11-12, w1 the node of its symbol-keyed table (whose block holds one key
// word per slot), w2 the node of its values block, or, with CTX_ON_STACK, the argument-
// stack slot index of the active frame's first argument (0 while no call is active).
// Cell 1 is the owner value (object, error, port or function), unset otherwise.
//
// Functions that allocate take node ids, never cell addresses of context cells. Slot
// addresses they return are good until the next allocation.
#pragma once
#include <cstdint>

#include "runtime/cell.h"
#include "runtime/collector.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"
#include "runtime/stack.h"

namespace kel {

constexpr uint32_t GLOBAL_CONTEXT_SIZE = 4000;

extern node_id global_context;

inline cell* ctx_cell(node_id ctx) { return series_cell(ctx, 0); }
inline uint32_t ctx_kind(const cell* ctx) { return (ctx->header & CTX_KIND_MASK) >> CTX_KIND_SHIFT; }
inline node_id ctx_key_words_node(const cell* ctx) {
    return static_cast<node_id>(hashtable_of(ctx->w1)->block);
}
inline series_buffer* ctx_key_words_buffer(const cell* ctx) { return node_buffer(ctx_key_words_node(ctx)); }
inline cell* ctx_key_word(const cell* ctx, uint32_t n) { return ctx_key_words_buffer(ctx)->cells() + n; }
inline uint32_t ctx_slot_count(const cell* ctx) {
    return static_cast<uint32_t>(ctx_key_words_buffer(ctx)->used_bytes() / sizeof(cell));
}

// Copies of an object share its key table until one of them gets a new word; the flag is
// on every context that may be sharing. Key words then name the context that made them:
// readers re-point what they hand out.
constexpr uint32_t CTX_SHARED_KEYS = 0x2000000;

// Field-set marks of an object: bits of the context cell's w3 for the first fields (so
// that they stay per object under a shared table), flags on the key words for the rest
// (a table with more keys is never shared).
constexpr uint32_t MARKS_IN_CELL = 32;
inline void mark_field_set(cell* ctx, uint32_t i) {
    if (i < MARKS_IN_CELL) ctx->w3 |= 1u << i;
    else ctx_key_word(ctx, i)->header |= CELL_FIELD_SET;
}
inline bool field_set_q(const cell* ctx, uint32_t i) {
    return i < MARKS_IN_CELL ? (ctx->w3 >> i) & 1 : (ctx_key_word(ctx, i)->header & CELL_FIELD_SET) != 0;
}

namespace _context {

// Called with the owner, the word, the old and the new value (all argument-stack cells)
// when a field of an object with an on-change handler is set. The object datatype
// installs it; until then assignments just store.
using on_set_hook = void (*)(cell* owner, cell* word, cell* old_value, cell* new_value);
extern on_set_hook fire_on_set;

// Registers context!.
void init();
// The global context; a collector root from then on.
void global_init();

// Slot 0 of the values, or null when the context has none (an inactive function context).
inline cell* values(const cell* ctx) {
    if (!ctx->w2) return nullptr;
    return ctx->header & CTX_ON_STACK ? stack::bottom + ctx->w2 : node_buffer(ctx->w2)->cells();
}

// The value slot of a bound word whose context has values, or null: the fast lookup, with
// no error (get_in gives the errors).
inline cell* bound_value(const cell* word) {
    node_id ctx = word->w1;
    int32_t index = static_cast<int32_t>(word->w3);
    if (!ctx || index < 0) return nullptr;
    cell* v = values(ctx_cell(ctx));
    return v ? v + index : nullptr;
}

// The slot a set stores into directly: bound, with values, and not an object's field
// (setting one flags it and may run the object's handler); else null.
inline cell* settable_value(const cell* word) {
    node_id ctx = word->w1;
    int32_t index = static_cast<int32_t>(word->w3);
    if (!ctx || index < 0) return nullptr;
    const cell* c = ctx_cell(ctx);
    if (!c->w2 || (!(c->header & CTX_ON_STACK) && ctx_kind(c) == CTX_OBJECT)) return nullptr;
    return values(c) + index;
}

node_id create(uint32_t slots, bool on_stack, bool self, node_id key_words, uint32_t kind);
// spec: a block value.
node_id make_from_spec(const cell* spec, bool on_stack, bool self, uint32_t kind);
// object: a value whose w1 is the context node; it gets the new node, with fresh values and
// the key table shared while it has at most MARKS_IN_CELL keys. Must not move (an
// argument-stack cell or a root).
node_id clone_for_object(cell* object, uint32_t kind);

// function: a value whose w1 is its locals context; it gets a new context that shares the
// key table (a function never adds words to its locals). Key words then name the first
// context: readers re-point them. Must not move.
node_id clone_sharing_keys(cell* function);

void clear_field_marks(node_id ctx);
// Key word n as a word of ctx.
cell key_word(node_id ctx, uint32_t n);

int32_t find_word(node_id ctx, uint32_t symbol, bool case_insensitive);
// -1 when added (the new slot in *index), else the slot that was there.
int32_t add_symbol(node_id ctx, uint32_t symbol, bool case_insensitive, int32_t* index);
// Adds case-insensitively; a new slot gets an unset value.
int32_t add_word(node_id ctx, uint32_t symbol);
cell* put_value(node_id ctx, uint32_t symbol, const cell* value);
// The new slot, or null when the word was there.
cell* add_with_value(node_id ctx, uint32_t symbol, const cell* value);
// Adds every set-word of the block value; true when the values grew.
bool collect_set_words(node_id ctx, const cell* block);

// A word of the global context: the key word, or for keep_spelling with a case variant
// found, a copy carrying the asked spelling.
cell add_global_word(uint32_t symbol, bool case_insensitive, bool keep_spelling);
cell global_word_for_symbol(uint32_t symbol);
// Case-insensitive; in the global context when ctx keeps its values on the stack.
cell* value_of_symbol(node_id ctx, uint32_t symbol);

int32_t bind_word(node_id ctx, cell* word);
// Binds the words of a block value, deeply; with self, the word `self` binds to the
// context itself. Allocates nothing.
cell* bind(cell* block, node_id ctx, bool self);

cell* get_in(const cell* word, node_id ctx);
inline cell* get(const cell* word) { return get_in(word, word->w1); }
// word and value must not move (stack cells or roots): binding an unbound word and the
// on-change call allocate.
cell* set_in(cell* word, const cell* value, node_id ctx, bool fire);
inline cell* set(cell* word, const cell* value) { return set_in(word, value, word->w1, true); }

}  // namespace _context
}  // namespace kel
