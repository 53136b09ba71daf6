// What the compact and the fixed KELBIN forms share: the writer's reference bookkeeping
// and symbol table, and the reader's bounded cursor, reference paths, checks and the
// builders that turn checked fields into cells the runtime could have made itself.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "runtime/cell.h"
#include "datatypes/registry.h"
#include "runtime/memory.h"

namespace kel::kelbin {

constexpr uint8_t MAGIC[6] = {'K', 'E', 'L', 'B', 'I', 'N'};
constexpr uint8_t VERSION = 2;
constexpr uint8_t FLAG_COMPACT = 1;
constexpr uint8_t FLAG_COMPRESSED = 2;
constexpr uint8_t FLAG_SYMBOLS = 4;
// Nesting deeper than mold can show is refused both ways, so neither side recurses far.
constexpr int32_t DEPTH_MAX = 400;
constexpr uint32_t PATH_MAX = 65536;

// --- Writer ------------------------------------------------------------------------------

// A value's own position as reference paths address it, and the nodes already written.
struct writer_base {
    std::vector<uint32_t> path;  // counters of the enclosing containers
    uint32_t counter = 0;
    std::unordered_map<node_id, uint32_t> seen;  // node -> offset of its path in the pool
    std::vector<uint32_t> pool;                  // count, then the indexes
    std::unordered_map<uint32_t, uint32_t> symbol_index;
    std::vector<uint32_t> symbols;
    int32_t depth = 0;

    // The stored path of a node written before, else null after registering the node at
    // the current position.
    const uint32_t* find_or_register(node_id key);
    void enter() { path.push_back(counter); counter = 0; }
    void leave() { counter = path.back(); path.pop_back(); }
    uint32_t symbol(uint32_t id);
    void deeper();
};

// A word written with its context: bound to an object or a function that owns the
// context. Every other word (global, unbound, bound to an error's or port's fields) is
// written as a global word.
bool word_has_owner_q(const cell* word);
// The type of value the writer has no record for: access/no-codec with the value.
[[noreturn]] void no_codec(const cell* value);

// --- Reader ------------------------------------------------------------------------------

// A cell addressed by node and index: stable across collections, unlike its address.
struct slot {
    node_id node;
    uint32_t index;
    cell* get() const { return series_cell(node, index); }
};

struct head_check {
    cell value;  // the series value whose head must lie within its series once complete
    const uint8_t* at;
};

struct reader_base {
    // A header or reference-path field: a varint (compact) or a word (fixed).
    uint32_t (*field)(reader_base&) = nullptr;
    const uint8_t* magic;  // offsets in errors count from here
    const uint8_t* p;
    const uint8_t* end;
    uint32_t nsym = 0;
    const uint8_t* symbol_offsets = nullptr;
    const uint8_t* names = nullptr;
    uint32_t names_size = 0;
    std::vector<uint32_t> symbol_cache;
    node_id root = 0;
    uint32_t root_base = 0;
    uint64_t owed = 0;  // records promised by open containers, each at least one byte
    int32_t depth = 0;
    std::vector<head_check> heads;
    bool boot = false;  // the boot image: define pairs allowed, native specs kept

    [[noreturn]] void invalid(const uint8_t* at) const;
    size_t left() const { return static_cast<size_t>(end - p); }
    void need(size_t n) const {
        if (n > left()) invalid(end);
    }
    uint8_t byte() {
        need(1);
        return *p++;
    }
    uint32_t u32() {
        need(4);
        uint32_t v;
        std::memcpy(&v, p, 4);
        p += 4;
        return v;
    }
    // A count of records that a container promises: its records must fit the bytes left
    // beside those already promised.
    void promise(uint64_t n, const uint8_t* at);
    // A byte count a payload is about to take.
    void take_bytes(uint64_t n, const uint8_t* at) const {
        if (n + owed > left()) invalid(at);
    }
    // Symbol i of the table, interned on first use.
    uint32_t symbol(uint32_t index, const uint8_t* at) {
        uint32_t id = index < nsym ? symbol_cache[index] : 0;
        return id ? id : intern_symbol(index, at);
    }
    uint32_t intern_symbol(uint32_t index, const uint8_t* at);
    // Appends a none cell at the block's tail (the slot a record is decoded into).
    static slot append_slot(node_id block);
    // Follows the path that starts at p; returns a copy of the target cell.
    cell resolve();
    // The symbol count, names size, offsets and names that follow the header's fields.
    void symbol_table();
    // The records area of `size` bytes from p; reference paths start at `parent`'s tail.
    void records_area(uint32_t size, node_id parent);
    void deeper(const uint8_t* at);
    void check_heads();
};

inline uint32_t cells_in(node_id node) {
    return static_cast<uint32_t>(node_buffer(node)->used_bytes() / sizeof(cell));
}

// Runs f; a Kel error it raises becomes kb-invalid-record at `at`.
void checked_call(reader_base& r, const uint8_t* at, void (*call)(void*), void* data);
template <class F>
void checked(reader_base& r, const uint8_t* at, F&& f) {
    checked_call(r, at, [](void* d) { (*static_cast<F*>(d))(); }, &f);
}

// The context a C1 target carries (an object, function, op over a function, or a bound
// word), 0 when none.
node_id context_carried(const cell* target);
// The record's value over a C1 target of a series record, or kb-invalid-record.
cell series_from_target(reader_base& r, const cell& target, uint32_t type, uint32_t head, const uint8_t* at);
// The owner of the target's context for an object! or function! C1 record.
cell owner_from_target(reader_base& r, const cell& target, uint32_t type, const uint8_t* at);

// Builders: each checks what it is given and writes the finished value into the slot.
void check_scalar(reader_base& r, const cell& value, const uint8_t* at);
void build_global_word(slot s, uint32_t type, uint32_t symbol);
void build_bound_word(reader_base& r, slot s, uint32_t type, uint32_t symbol, node_id ctx, int32_t index,
                      const uint8_t* at);
void build_text(reader_base& r, slot s, uint32_t type, uint32_t head, uint64_t count, uint32_t unit,
                const uint8_t* units, const uint8_t* at);
void build_vector(reader_base& r, slot s, uint32_t head, uint32_t kind, uint64_t count, const uint8_t* bytes,
                  const uint8_t* at);
void build_bitset(slot s, bool complemented, uint64_t n, const uint8_t* bytes);
void build_image(reader_base& r, slot s, uint32_t head, uint32_t w, uint32_t h, const uint8_t* pixels,
                 const uint8_t* at);
// An empty block of room n in the slot, whose records follow; closed once they are in.
node_id open_block(slot s, uint32_t type, uint32_t head, uint32_t n);
void close_block(reader_base& r, slot s, uint32_t type, const uint8_t* at);
// A head past its series' tail is refused.
void check_head(reader_base& r, const cell& v, const uint8_t* at);
void check_map_key(reader_base& r, slot key, const uint8_t* at);
void close_map(slot s);
// A context of the words in the slot's owner; values (object) follow as records.
node_id open_object(reader_base& r, slot s, const std::vector<uint32_t>& words, const uint8_t* at);
void close_object(reader_base& r, slot s, bool events, int32_t on_change, int32_t on_deep, const uint8_t* at);
node_id open_function(reader_base& r, slot s, const std::vector<uint32_t>& words, const uint8_t* at);
// Spec (0) or body (1) of the function in the slot: a new block of room n, or the target's.
node_id open_function_block(reader_base& r, slot s, uint32_t which, uint32_t n, const uint8_t* at);
void share_function_block(reader_base& r, slot s, uint32_t which, const cell& target, const uint8_t* at);
void close_function(reader_base& r, slot s, const uint8_t* at);
node_id open_error(reader_base& r, slot s, uint32_t code, const uint8_t* at);
void build_native(reader_base& r, slot s, uint32_t type, uint32_t index, const uint8_t* at);
void build_op(reader_base& r, slot s, const uint8_t* at);
// The error's values block; its fields arg1..stack start at this index.
uint32_t error_field_base();

// A context record's flags as the writer gives them for an owner of this kind: an object's
// values stored with a self word, a function's on the argument stack.
inline bool context_flags_fit(uint32_t want, uint32_t kind, bool on_stack, bool self, bool values) {
    return kind == want && on_stack == (kind == CTX_FUNCTION) && self == (kind == CTX_OBJECT) && !(on_stack && values);
}

// Words of the context of a value the writer handles.
void context_words(node_id ctx, std::vector<uint32_t>& symbols);

// Decodes n records into the block's tail; each takes at least R::RECORD_MIN bytes, so
// the count is paid for by the bytes left before anything is allocated for them.
template <class R>
void records_into(R& r, node_id block, uint32_t n, const uint8_t* at, bool map) {
    r.promise(uint64_t{n} * R::RECORD_MIN, at);
    for (uint32_t i = 0; i < n; i++) {
        r.owed -= R::RECORD_MIN;
        slot s = reader_base::append_slot(block);
        const uint8_t* rec = r.p;
        r.record(s);
        if (map && i % 2 == 0) check_map_key(r, s, rec);
    }
}

// An error's six fields, arg1..stack, follow its code.
template <class R>
void error_fields(R& r, slot s, uint32_t code, const uint8_t* code_at) {
    node_id fields = open_error(r, s, code, code_at);
    r.promise(6 * R::RECORD_MIN, code_at);
    for (uint32_t i = 0; i < 6; i++) {
        r.owed -= R::RECORD_MIN;
        r.record(slot{fields, error_field_base() + i});
    }
}

// A native's or action's spec block follows its table index.
template <class R>
void native_spec(R& r, slot s, uint32_t type, uint32_t index, const uint8_t* index_at) {
    if (index < 1 || (type == TYPE_ACTION && index > ACTIONS_COUNT)) r.invalid(index_at);
    r.promise(R::RECORD_MIN, index_at);
    r.owed -= R::RECORD_MIN;
    const uint8_t* spec_at = r.p;
    r.record(s);
    if (TYPE_OF(s.get()) != TYPE_BLOCK) r.invalid(spec_at);
    build_native(r, s, type, index, index_at);
}

// An op's wrapped native, action or function follows as a whole record.
template <class R>
void op_wrapped(R& r, slot s, const uint8_t* at) {
    r.promise(R::RECORD_MIN, at);
    r.owed -= R::RECORD_MIN;
    const uint8_t* wrapped_at = r.p;
    r.record(s);
    build_op(r, s, wrapped_at);
}

// An object's values, one record per word of its context.
template <class R>
void object_values(R& r, node_id values, uint32_t n, const uint8_t* at) {
    r.promise(uint64_t{n} * R::RECORD_MIN, at);
    for (uint32_t i = 0; i < n; i++) {
        r.owed -= R::RECORD_MIN;
        r.record(slot{values, i});
    }
}

}  // namespace kel::kelbin
