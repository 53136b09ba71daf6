#include "runtime/hashtable.h"

#include "runtime/case_folding.h"

#include <algorithm>
#include <string>
#include <vector>

#include "runtime/collector.h"
#include "runtime/heap.h"

namespace kel {

uint32_t hash_seed = 0x5BD1E995;
node_id symbol_table = 0;

void hash_set_seed(uint32_t seed) { hash_seed = seed; }

namespace {

// ---- Raw access -------------------------------------------------------------------------

inline uint8_t* controls_of(int32_t flags) { return node_buffer(static_cast<node_id>(flags))->offset; }
inline int32_t* int_array(int32_t node) {
    return reinterpret_cast<int32_t*>(node_buffer(static_cast<node_id>(node))->offset);
}
inline map_slot* slots_of(const hashtable_record* r) {
    return reinterpret_cast<map_slot*>(node_buffer(static_cast<node_id>(r->indexes))->offset);
}
inline uint32_t int_array_length(int32_t node) {
    return static_cast<uint32_t>(node_buffer(static_cast<node_id>(node))->used_bytes() / 4);
}
inline cell* block_at(int32_t block, uint32_t position) {
    return node_buffer(static_cast<node_id>(block))->cells() + position;
}
inline uint32_t block_length(int32_t block) {
    return static_cast<uint32_t>(node_buffer(static_cast<node_id>(block))->used_bytes() / sizeof(cell));
}

// The int table's bucket states, 2 bits each: 00 in use, 01 deleted, 10 empty.
constexpr uint32_t INT_USED = 0, INT_DELETED = 1, INT_EMPTY = 2;
inline uint32_t state_at(const uint32_t* flags, uint32_t i) {
    return (flags[i >> 4] >> ((i & 15) << 1)) & 3;
}
inline void set_state(uint32_t* flags, uint32_t i, uint32_t state) {
    uint32_t shift = (i & 15) << 1;
    flags[i >> 4] = (flags[i >> 4] & ~(3u << shift)) | (state << shift);
}

inline int32_t bound_of(uint32_t buckets) { return static_cast<int32_t>(buckets * 0.77); }

// Control bytes, all empty.
node_id make_flags(uint32_t buckets) {
    node_id flags = alloc_bytes_filled(buckets, BUCKET_EMPTY);
    series_buffer* b = node_buffer(flags);
    b->tail = b->offset + buckets;
    return flags;
}

// n int32 words, left as they come: a bucket's word is read only once its control byte
// says it is in use, so the bucket arrays are never filled.
node_id make_int_array(uint32_t n) {
    node_id a = alloc_bytes(static_cast<size_t>(n) * 4);
    series_buffer* b = node_buffer(a);
    b->flags = (b->flags & ~SERIES_UNIT_MASK) | 4;
    b->tail = b->offset + static_cast<size_t>(n) * 4;
    return a;
}

// A map!'s slots, left as they come like the keys.
node_id make_slots(uint32_t buckets) { return make_int_array(buckets * (sizeof(map_slot) / 4)); }

// n int32 words, every byte `fill`.
node_id make_int_array(uint32_t n, uint8_t fill) {
    node_id a = make_int_array(n);
    std::memset(node_buffer(a)->offset, fill, static_cast<size_t>(n) * 4);
    return a;
}

// Grows an int array to n words, the new ones filled with `fill`.
void int_array_extend(int32_t array, uint32_t n, uint8_t fill) {
    node_id a = static_cast<node_id>(array);
    series_buffer* b = node_buffer(a);
    size_t need = static_cast<size_t>(n) * 4;
    if (b->used_bytes() >= need) return;
    size_t room = static_cast<size_t>(b->data_end() - b->offset);
    if (room < need) b = expand_series(b, std::max(need, static_cast<size_t>(b->size) * 2));
    std::memset(b->tail, fill, need - b->used_bytes());
    b->tail = b->offset + need;
}

void int_array_append(int32_t array, int32_t word) {
    std::memcpy(alloc_tail_bytes(node_buffer(static_cast<node_id>(array)), 4), &word, 4);
}

// Rebuilds an index that node moves made stale; the test is inline, the rebuild is not.
inline void check_stamp(node_id table) {
    int32_t stamp = hashtable_of(table)->stamp;
    if (stamp != 0 && stamp != static_cast<int32_t>(nodes_cycles + 1)) hashtable_check_stamp(table);
}

// ---- Key equality -------------------------------------------------------------------------

inline uint32_t fold_char(uint32_t cp) { return case_fold_char(cp, 1); }

// Character i of a text buffer of 1-, 2- or 4-byte units.
inline uint32_t unit_at(const uint8_t* at, size_t i, uint32_t unit) {
    if (unit == 1) return at[i];
    if (unit == 2) {
        uint16_t u;
        std::memcpy(&u, at + i * 2, 2);
        return u;
    }
    uint32_t u;
    std::memcpy(&u, at + i * 4, 4);
    return u;
}

// Candidates already have the key's type. For the equalities the tables use (equal,
// strict-equal, same, find) the common key types are decided from the cells as their
// compare entries decide them, without a call and without allocating; everything else
// goes through the compare action, which may allocate (`allocates`).

// integer!, char!; the word types strictly: the payload.
struct payload_equal {
    static constexpr bool allocates = false;
    uint32_t w2;
    bool operator()(const cell* c) const { return c->w2 == w2; }
};
// Words and texts under same?: one symbol and binding, one series at one head.
struct identity_equal {
    static constexpr bool allocates = false;
    uint32_t w1, w2;
    bool operator()(const cell* c) const { return c->w2 == w2 && c->w1 == w1; }
};
// Words: case variants are equal.
struct symbol_equal {
    static constexpr bool allocates = false;
    uint32_t canonical;
    bool operator()(const cell* c) const { return canonical_symbol(c->w2) == canonical; }
};

// A text's characters from its head.
struct text_span {
    const uint8_t* at;
    size_t n;
    uint32_t unit;
};
inline text_span span_in(const series_buffer* b, uint32_t head) {
    uint32_t unit = b->unit();
    size_t n = b->used_bytes() >> (unit >> 1);  // units of 1, 2 or 4 bytes
    size_t from = head < n ? head : n;
    return {b->offset + from * unit, n - from, unit};
}
inline text_span span_of(const cell* text) { return span_in(node_buffer(text->w2), text->w1); }

inline uint64_t load64(const uint8_t* at) {
    uint64_t v;
    std::memcpy(&v, at, 8);
    return v;
}
inline uint32_t load32(const uint8_t* at) {
    uint32_t v;
    std::memcpy(&v, at, 4);
    return v;
}

// Equal runs of n bytes; up to 16 in two overlapping loads each, as most keys are short.
inline bool same_bytes(const uint8_t* x, const uint8_t* y, size_t n) {
    if (n >= 8 && n <= 16) return load64(x) == load64(y) && load64(x + n - 8) == load64(y + n - 8);
    if (n >= 4 && n < 8) return load32(x) == load32(y) && load32(x + n - 4) == load32(y + n - 4);
    if (n < 4) {
        for (size_t i = 0; i < n; i++)
            if (x[i] != y[i]) return false;
        return true;
    }
    return std::memcmp(x, y, n) == 0;
}

// Characters compared one by one, case-folded unless `exact`: texts of other widths, or
// whose bytes differ. Kept out of line, so that the callers' spans stay in registers.
[[gnu::noinline]] bool chars_equal(const uint8_t* x, uint32_t x_unit, const uint8_t* y, uint32_t y_unit, size_t n,
                                   bool exact) {
    for (size_t i = 0; i < n; i++) {
        uint32_t cx = unit_at(x, i, x_unit), cy = unit_at(y, i, y_unit);
        if (cx != cy && (exact || fold_char(cx) != fold_char(cy))) return false;
    }
    return true;
}

// Same length and characters, case-folded unless `exact`; the common answers inline: other
// lengths, or the same bytes.
inline bool spans_equal(const text_span& x, const text_span& y, bool exact) {
    if (x.n != y.n) return false;
    if (x.unit == y.unit) {
        if (same_bytes(x.at, y.at, x.n * x.unit)) return true;
        if (exact) return false;
    }
    return chars_equal(x.at, x.unit, y.at, y.unit, x.n, exact);
}

// Texts from their heads.
bool text_equal(const cell* a, const cell* b, bool exact) {
    if (a->w2 == b->w2 && a->w1 == b->w1) return true;
    return spans_equal(span_of(a), span_of(b), exact);
}
struct text_equal_to {
    static constexpr bool allocates = false;
    const cell* key;
    bool exact;
    bool operator()(const cell* c) const { return text_equal(key, c, exact); }
};

struct action_equal {
    static constexpr bool allocates = true;
    cell* key;
    int32_t op;
    bool operator()(cell* c) const { return actions::compare(key, c, op); }
};

enum class equality { payload, identity, symbol, text, exact_text, action };

inline equality equality_for(uint32_t type, int32_t op) {
    if (op != COMP_EQUAL && op != COMP_STRICT_EQUAL && op != COMP_SAME && op != COMP_FIND) return equality::action;
    switch (type) {
    case TYPE_INTEGER: case TYPE_CHAR:
        return equality::payload;
    case TYPE_WORD: case TYPE_SET_WORD: case TYPE_LIT_WORD: case TYPE_GET_WORD:
    case TYPE_REFINEMENT: case TYPE_ISSUE:
        return op == COMP_STRICT_EQUAL ? equality::payload : op == COMP_SAME ? equality::identity : equality::symbol;
    case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_TAG: case TYPE_EMAIL: case TYPE_REF:
        return op == COMP_STRICT_EQUAL ? equality::exact_text : op == COMP_SAME ? equality::identity : equality::text;
    default:
        return equality::action;
    }
}

// Texts or words equal only ignoring case.
inline bool case_variant_q(cell* key, cell* candidate) {
    equality e = equality_for(TYPE_OF(key), COMP_EQUAL);
    if (e == equality::symbol) return key->w2 != candidate->w2 && symbol_equal{canonical_symbol(key->w2)}(candidate);
    return e == equality::text && !text_equal(key, candidate, true) && text_equal(key, candidate, false);
}

inline bool keys_equal(cell* key, cell* candidate, int32_t op) {
    switch (equality_for(TYPE_OF(key), op)) {
    case equality::payload: return payload_equal{key->w2}(candidate);
    case equality::identity: return identity_equal{key->w1, key->w2}(candidate);
    case equality::symbol: return symbol_equal{canonical_symbol(key->w2)}(candidate);
    case equality::text: return text_equal(key, candidate, false);
    case equality::exact_text: return text_equal(key, candidate, true);
    default: return actions::compare(key, candidate, op);
    }
}

// ---- Hashing pieces ------------------------------------------------------------------------

// One round of the text hash: a 64 x 64 -> 128-bit product folded to 64 bits.
inline uint64_t hash_mum(uint64_t a, uint64_t b) {
    unsigned __int128 p = static_cast<unsigned __int128>(a) * b;
    return static_cast<uint64_t>(p) ^ static_cast<uint64_t>(p >> 64);
}
constexpr uint64_t TEXT_K0 = 0xA0761D6478BD642Full;
constexpr uint64_t TEXT_K1 = 0xE7037ED1A0B428DBull;

// Upper-cases eight ASCII bytes at once (lanes above 0x7F give garbage: callers check).
inline uint64_t upper_ascii8(uint64_t bytes) {
    constexpr uint64_t ones = 0x0101010101010101ull;
    uint64_t from_a = bytes + 0x1F * ones;  // high bit: the byte is 'a' or above
    uint64_t past_z = bytes + 0x05 * ones;  // high bit: the byte is above 'z'
    return bytes - (((from_a & ~past_z) & 0x80 * ones) >> 2);
}

inline uint32_t hash_final(uint64_t h, size_t n) {
    uint64_t f = hash_mum(h ^ TEXT_K1, static_cast<uint64_t>(n) ^ TEXT_K0);
    return static_cast<uint32_t>(f ^ (f >> 32));
}

// The bytes of a one-byte text, read in place.
struct byte_loads {
    const uint8_t* at;
    uint64_t u8(size_t i) const { return at[i]; }
    uint64_t u32(size_t i) const {
        uint32_t v;
        std::memcpy(&v, at + i, 4);
        return v;
    }
    uint64_t u64(size_t i) const {
        uint64_t v;
        std::memcpy(&v, at + i, 8);
        return v;
    }
};

// The characters of a wider text, each known to fit a byte once folded (when `fold`),
// packed as byte_loads would read them.
template <class T>
struct char_loads {
    const uint8_t* at;
    bool fold;
    uint64_t u8(size_t i) const {
        T u;
        std::memcpy(&u, at + i * sizeof(T), sizeof(T));
        return fold ? fold_char(u) : u;
    }
    uint64_t u32(size_t i) const { return u8(i) | u8(i + 1) << 8 | u8(i + 2) << 16 | u8(i + 3) << 24; }
    uint64_t u64(size_t i) const { return u32(i) | u32(i + 4) << 32; }
};

// The hash of a text whose characters each fit a byte: eight a round, the last round
// reading the last eight (overlapping), short texts in one round. Fold upper-cases ASCII
// letters and gathers every byte read into *high, so that the caller can tell whether any
// was not ASCII.
template <bool Fold, class Loads>
inline uint32_t hash_bytes(const Loads& bytes, size_t n, uint64_t* high) {
    auto take = [high](uint64_t v) {
        if constexpr (Fold) {
            *high |= v;
            return upper_ascii8(v);
        } else {
            return v;
        }
    };
    uint64_t h = hash_seed ^ TEXT_K0, a = 0;
    if (n > 8) {
        for (size_t i = 0; i + 8 < n; i += 8) h = hash_mum(take(bytes.u64(i)) ^ TEXT_K1, h ^ TEXT_K0);
        a = take(bytes.u64(n - 8));
    } else if (n >= 4) {
        a = take(bytes.u32(0) | bytes.u32(n - 4) << 32);
    } else if (n > 0) {
        a = take(bytes.u8(0) << 16 | bytes.u8(n >> 1) << 8 | bytes.u8(n - 1));
    }
    return hash_final(hash_mum(a ^ TEXT_K1, h), n);
}

// Any unit width: the characters (upper-cased when folding) hash as the bytes of a one-byte
// text when each fits a byte, so equal texts of any widths hash alike; else one round each.
template <class T>
[[gnu::noinline]] uint32_t hash_chars(const uint8_t* at, size_t n, bool fold) {
    char_loads<T> chars{at, fold};
    size_t i = 0;
    while (i < n && chars.u8(i) < 0x100) i++;
    if (i == n) return hash_bytes<false>(chars, n, nullptr);
    uint64_t h = hash_seed ^ TEXT_K1;
    for (i = 0; i < n; i++) h = hash_mum(chars.u8(i) ^ TEXT_K1, h ^ TEXT_K0);
    return hash_final(h, n);
}

inline uint32_t hash_span(const text_span& text, bool case_sensitive) {
    if (text.unit == 1) {
        if (case_sensitive) return hash_bytes<false>(byte_loads{text.at}, text.n, nullptr);
        uint64_t high = 0;
        uint32_t h = hash_bytes<true>(byte_loads{text.at}, text.n, &high);
        if ((high & 0x8080808080808080ull) == 0) return h;
        return hash_chars<uint8_t>(text.at, text.n, true);
    }
    if (text.unit == 2) return hash_chars<uint16_t>(text.at, text.n, !case_sensitive);
    return hash_chars<uint32_t>(text.at, text.n, !case_sensitive);
}

// Equal doubles hash alike: -0.0 as 0.0, every NaN as one pattern.
inline uint64_t canonical_double(uint32_t lo, uint32_t hi) {
    uint64_t bits = (static_cast<uint64_t>(hi) << 32) | lo;
    if ((bits << 1) == 0) return 0;
    if ((bits & 0x7FF0000000000000ull) == 0x7FF0000000000000ull && (bits & 0xFFFFFFFFFFFFFull))
        return 0x7FF8000000000000ull;
    return bits;
}
inline uint32_t canonical_single(uint32_t bits) {
    if ((bits << 1) == 0) return 0;
    if ((bits & 0x7F800000) == 0x7F800000 && (bits & 0x7FFFFF)) return 0x7FC00000;
    return bits;
}

uint32_t symbol_name_hash(const cell* record) {
    const series_buffer* b = node_buffer(record->w3);
    return hash_binary(b->offset, b->used_bytes());
}

// The hash of the key an entry refers to (a bucket's int32).
uint32_t entry_hash(const hashtable_record* r, int32_t key) {
    switch (r->kind) {
    case HASH_KIND_HASH:
    case HASH_KIND_MAP: {
        uint32_t position = key >= 0 ? static_cast<uint32_t>(key)
                                     : static_cast<uint32_t>(int_array(int_array(r->duplicates)[~key])[0]);
        return hash_value(block_at(r->block, position), false);
    }
    case HASH_KIND_SYMBOL: {
        const cell* c = block_at(r->block, static_cast<uint32_t>(key));
        return TYPE_OF(c) == TYPE_SYMBOL ? symbol_name_hash(c) : hash_int(canonical_symbol(c->w2));
    }
    default:
        return hash_int(block_at(r->block, static_cast<uint32_t>(key))->w1);
    }
}

// First empty bucket on the probe sequence (rebuilds: keys are known distinct).
inline uint32_t free_bucket(const uint8_t* controls, uint32_t mask, uint32_t hash) {
    uint32_t i = hash & mask;
    for (uint32_t step = 1; controls[i] != BUCKET_EMPTY; step++) i = (i + step) & mask;
    return i;
}

// Positions of a value-keyed bucket's entry: one, or a chain's.
struct entry_positions {
    const int32_t* at;
    uint32_t count;
    int32_t single;
};
inline entry_positions positions_of(const hashtable_record* r, int32_t key) {
    if (key >= 0) return {nullptr, 1, key};
    int32_t chain = int_array(r->duplicates)[~key];
    return {int_array(chain), int_array_length(chain), 0};
}
inline int32_t position_at(const entry_positions& p, uint32_t i) { return p.at ? p.at[i] : p.single; }

// Drops `position` from the bucket of a kind-0 table; the bucket is deleted when empty.
void unindex_position(node_id table, uint32_t bucket, int32_t position) {
    hashtable_record* r = hashtable_of(table);
    int32_t* keys = int_array(r->keys);
    int32_t key = keys[bucket];
    if (key < 0) {
        int32_t chain = int_array(r->duplicates)[~key];
        series_buffer* b = node_buffer(static_cast<node_id>(chain));
        int32_t* at = reinterpret_cast<int32_t*>(b->offset);
        uint32_t n = int_array_length(chain);
        uint32_t i = 0;
        while (i < n && at[i] != position) i++;
        if (i == n) return;
        std::memmove(at + i, at + i + 1, (n - i - 1) * 4);
        b->tail -= 4;
        r->size--;
        if (n - 1 == 1) {  // back to a plain bucket
            keys[bucket] = at[0];
            int_array(r->duplicates)[~key] = 0;
        }
        return;
    }
    if (key != position) return;
    controls_of(r->flags)[bucket] = BUCKET_DELETED;
    r->size--;
}

// Bucket of a kind-1 entry at `position`, or -1.
int32_t bucket_of_position(node_id table, uint32_t position) {
    hashtable_record* r = hashtable_of(table);
    uint32_t mask = static_cast<uint32_t>(r->buckets) - 1;
    uint32_t hash = hash_value(block_at(r->block, position), false);
    uint32_t first = hash & mask;
    uint8_t tag = bucket_tag(hash);
    const uint8_t* controls = controls_of(r->flags);
    const int32_t* keys = int_array(r->keys);
    uint32_t i = first;
    for (uint32_t step = 1;; step++) {
        uint8_t control = controls[i];
        if (control == BUCKET_EMPTY) return -1;
        if (control == tag && keys[i] == static_cast<int32_t>(position)) return static_cast<int32_t>(i);
        i = (i + step) & mask;
        if (i == first) return -1;
    }
}

// Sets the per-position index of a kind-0 table, growing it with -1 as needed.
void record_index(node_id table, uint32_t position, uint32_t bucket) {
    int32_t indexes = hashtable_of(table)->indexes;
    if (int_array_length(indexes) <= position) int_array_extend(indexes, position + 1, 0xFF);
    int_array(indexes)[position] = static_cast<int32_t>(bucket);
}

// Turns a kind-0 bucket into a chain holding its position and `position`, sorted.
void chain_add(node_id table, uint32_t bucket, int32_t position) {
    hashtable_record* r = hashtable_of(table);
    int32_t key = int_array(r->keys)[bucket];
    if (key >= 0) {
        node_id chain = make_int_array(0);
        root_node keep(chain, false);
        int_array_append(static_cast<int32_t>(chain), key);
        r = hashtable_of(table);
        int32_t slot = static_cast<int32_t>(int_array_length(r->duplicates));
        int_array_append(r->duplicates, static_cast<int32_t>(chain));
        r = hashtable_of(table);
        int_array(r->keys)[bucket] = ~slot;
        key = ~slot;
    }
    int32_t chain = int_array(r->duplicates)[~key];
    int_array_append(chain, position);
    int32_t* at = int_array(chain);
    uint32_t n = int_array_length(chain);
    for (uint32_t i = n - 1; i > 0 && at[i - 1] > position; i--) std::swap(at[i], at[i - 1]);
    hashtable_of(table)->size++;
}

// Loads a whole kind-2 block of symbol records or key words into an empty index.
void load_symbols(node_id table) {
    hashtable_record* r = hashtable_of(table);
    uint32_t n = block_length(r->block);
    uint32_t mask = static_cast<uint32_t>(r->buckets) - 1;
    for (uint32_t p = 0; p < n; p++) {
        uint32_t hash = entry_hash(r, static_cast<int32_t>(p));
        uint32_t i = free_bucket(controls_of(r->flags), mask, hash);
        controls_of(r->flags)[i] = bucket_tag(hash);
        int_array(r->keys)[i] = static_cast<int32_t>(p);
        r->size++;
        r->occupied++;
    }
}

// Re-keys a node-keyed table into `buckets`, dropping deleted entries from its block.
void rebuild_node_keyed(node_id table, uint32_t buckets) {
    evacuation_off guard;
    node_id flags = make_flags(buckets);
    root_node keep_flags(flags, false);
    node_id keys = make_int_array(buckets);
    hashtable_record* r = hashtable_of(table);
    r->flags = static_cast<int32_t>(flags);
    r->keys = static_cast<int32_t>(keys);
    r->buckets = static_cast<int32_t>(buckets);
    r->upper_bound = bound_of(buckets);
    uint32_t per_entry = static_cast<uint32_t>(r->indexes) / sizeof(cell);
    series_buffer* b = node_buffer(static_cast<node_id>(r->block));
    cell* cells = b->cells();
    uint32_t n = static_cast<uint32_t>(b->used_bytes() / sizeof(cell));
    uint32_t kept = 0;
    uint8_t* f = controls_of(r->flags);
    int32_t* k = int_array(r->keys);
    for (uint32_t p = 0; p + per_entry <= n; p += per_entry) {
        if (cells[p].header == 0) continue;
        if (p != kept) std::memmove(cells + kept, cells + p, per_entry * sizeof(cell));
        uint32_t hash = hash_int(cells[kept].w1);
        uint32_t i = free_bucket(f, buckets - 1, hash);
        f[i] = bucket_tag(hash);
        k[i] = static_cast<int32_t>(kept);
        kept += per_entry;
    }
    b->tail = b->offset + kept * sizeof(cell);
    r->size = r->occupied = static_cast<int32_t>(kept / per_entry);
    r->stamp = static_cast<int32_t>(nodes_cycles + 1);
}

// Rebuild of a hash! from its whole block.
void resize_values(node_id table) {
    evacuation_off guard;
    hashtable_record* r = hashtable_of(table);
    uint32_t n = block_length(r->block);
    uint32_t buckets = std::max(round_pow2(static_cast<uint32_t>(n * 1.5)), 4u);
    node_id flags = make_flags(buckets);
    root_node keep_flags(flags, false);
    node_id keys = make_int_array(buckets);
    root_node keep_keys(keys, false);
    node_id indexes = make_int_array(n, 0xFF);
    root_node keep_indexes(indexes, false);
    node_id duplicates = make_int_array(0);
    r = hashtable_of(table);
    r->flags = static_cast<int32_t>(flags);
    r->keys = static_cast<int32_t>(keys);
    r->indexes = static_cast<int32_t>(indexes);
    r->duplicates = static_cast<int32_t>(duplicates);
    r->buckets = static_cast<int32_t>(buckets);
    r->upper_bound = bound_of(buckets);
    r->size = r->occupied = 0;
    if (r->stamp) r->stamp = static_cast<int32_t>(nodes_cycles + 1);
    hashtable_load_block(table, 0, 1);
}

}  // namespace

// ---- Hashing ------------------------------------------------------------------------------

uint32_t hash_string(const cell* value, bool case_sensitive) { return hash_span(span_of(value), case_sensitive); }

uint32_t hash_binary(const uint8_t* bytes, size_t length) {
    return murmur3_32(scratch_buffer(bytes, length), length, hash_seed);
}

bool identity_hashed_type_q(const cell* value) {
    switch (TYPE_OF(value)) {
    case TYPE_BLOCK: case TYPE_PAREN: case TYPE_HASH: case TYPE_PATH: case TYPE_LIT_PATH:
    case TYPE_SET_PATH: case TYPE_GET_PATH: case TYPE_MAP: case TYPE_IMAGE: case TYPE_EVENT:
    case TYPE_OBJECT: case TYPE_ERROR: case TYPE_PORT: case TYPE_NATIVE: case TYPE_ACTION:
    case TYPE_OP: case TYPE_FUNCTION:
        return true;
    default:
        return false;
    }
}

uint32_t hash_value(const cell* value, bool case_sensitive) {
    switch (TYPE_OF(value)) {
    case TYPE_INTEGER: case TYPE_CHAR:
        return hash_int(value->w2);
    case TYPE_WORD: case TYPE_SET_WORD: case TYPE_LIT_WORD: case TYPE_GET_WORD:
    case TYPE_REFINEMENT: case TYPE_ISSUE:
        return hash_int(canonical_symbol(value->w2));
    case TYPE_SYMBOL:
        return symbol_name_hash(value);
    case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_TAG: case TYPE_EMAIL: case TYPE_REF:
        return hash_string(value, case_sensitive);
    case TYPE_FLOAT: case TYPE_PERCENT: case TYPE_TIME: {
        uint64_t bits = canonical_double(value->w2, value->w3);
        return murmur3_32(&bits, 8, hash_seed);
    }
    case TYPE_PAIR:
        return murmur3_32(&value->w2, 8, hash_seed);
    case TYPE_POINT2D: {
        uint32_t xy[2] = {canonical_single(value->w1), canonical_single(value->w2)};
        return murmur3_32(xy, 8, hash_seed);
    }
    case TYPE_POINT3D: {
        uint32_t xyz[3] = {canonical_single(value->w1), canonical_single(value->w2),
                           canonical_single(value->w3)};
        return murmur3_32(xyz, 12, hash_seed);
    }
    case TYPE_OP: case TYPE_FUNCTION: case TYPE_TYPESET: case TYPE_TRIPLE: case TYPE_DATE:
        return murmur3_32(&value->w1, 12, hash_seed);
    case TYPE_TUPLE:
        return murmur3_32(&value->w1, (value->header >> 19) & 15, hash_seed);
    case TYPE_MONEY: {
        // A zero amount has no sign.
        cell c = *value;
        c.header &= 0xFF | 0x4000;
        if ((c.w1 >> 8) == 0 && c.w2 == 0 && c.w3 == 0) c.header &= 0xFF;
        return murmur3_32(&c, 16, hash_seed);
    }
    case TYPE_BINARY: {
        const series_buffer* b = node_buffer(value->w2);
        size_t n = b->used_bytes();
        size_t head = value->w1 < n ? value->w1 : n;
        return murmur3_32(b->offset + head, n - head, hash_seed);
    }
    case TYPE_NONE:
        return static_cast<uint32_t>(-1);
    case TYPE_UNSET:
        return static_cast<uint32_t>(-2);
    case TYPE_OBJECT: case TYPE_ERROR: case TYPE_PORT: case TYPE_LOGIC: case TYPE_DATATYPE:
        return hash_int(value->w1);
    case TYPE_NATIVE: case TYPE_ACTION:
        return hash_int(value->w3);
    case TYPE_EVENT: case TYPE_HANDLE: case TYPE_MAP:
        return hash_int(value->w2);
    case TYPE_BLOCK: case TYPE_PAREN: case TYPE_HASH: case TYPE_PATH: case TYPE_LIT_PATH:
    case TYPE_SET_PATH: case TYPE_GET_PATH: case TYPE_IMAGE:
        return murmur3_32(&value->w1, 8, hash_seed);
    default:
        return 0;
    }
}

const uint8_t* scratch_buffer(const uint8_t* bytes, size_t length) {
    static uint8_t* scratch = nullptr;
    static size_t capacity = 0;
    if (length > capacity) {
        heap_free(scratch);
        capacity = std::max<size_t>(256, length);
        scratch = static_cast<uint8_t*>(heap_alloc(capacity));
    }
    for (size_t i = 0; i < length; i++) {
        uint8_t c = bytes[i];
        scratch[i] = c >= 'A' && c <= 'Z' ? static_cast<uint8_t>(c + 32) : c;
    }
    return scratch;
}

bool compare_bytes(const uint8_t* a, const uint8_t* b, size_t length, bool case_sensitive) {
    if (case_sensitive) return std::memcmp(a, b, length) == 0;
    for (size_t i = 0; i < length; i++) {
        uint8_t x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x += 32;
        if (y >= 'A' && y <= 'Z') y += 32;
        if (x != y) return false;
    }
    return true;
}

// ---- Creation -------------------------------------------------------------------------------

node_id hashtable_make(uint32_t size, node_id block, int32_t kind, uint32_t value_cells,
                       map_key_check check_key) {
    evacuation_off guard;
    if (kind == HASH_KIND_SYMBOL && size >= 4000) size *= 2;
    size = std::max(size, 4u);
    uint32_t buckets = round_pow2(static_cast<uint32_t>(size / 0.77));
    node_id table = alloc_bytes_filled(sizeof(hashtable_record), 0);
    // Held as a map! value, the record is marked as a table while it is filled.
    root_cell keep_table(cell{TYPE_MAP, 0, 0, table});
    node_buffer(table)->tail = node_buffer(table)->offset + sizeof(hashtable_record);
    {
        hashtable_record* r = hashtable_of(table);
        r->buckets = static_cast<int32_t>(buckets);
        r->upper_bound = bound_of(buckets);
        r->kind = kind;
        if (kind >= HASH_KIND_NODE) {
            r->indexes = static_cast<int32_t>((value_cells + 1) * sizeof(cell));
            r->stamp = static_cast<int32_t>(nodes_cycles + 1);
        }
    }
    node_id node = make_flags(buckets);
    hashtable_of(table)->flags = static_cast<int32_t>(node);
    node = make_int_array(buckets);
    hashtable_of(table)->keys = static_cast<int32_t>(node);
    if (kind == HASH_KIND_MAP) {
        node = make_slots(buckets);
        hashtable_of(table)->indexes = static_cast<int32_t>(node);
    }
    if (kind == HASH_KIND_HASH) {
        node = make_int_array(block ? block_length(static_cast<int32_t>(block)) : 0, 0xFF);
        hashtable_of(table)->indexes = static_cast<int32_t>(node);
        node = make_int_array(0);
        hashtable_of(table)->duplicates = static_cast<int32_t>(node);
    }
    if (kind >= HASH_KIND_NODE || !block) {
        uint32_t cells = kind >= HASH_KIND_NODE ? size * (value_cells + 1) : size;
        block = alloc_cells(cells);
    }
    hashtable_of(table)->block = static_cast<int32_t>(block);
    if (kind == HASH_KIND_HASH) {
        if (hashtable_load_block(table, 0, 1) == HASH_FULL) resize_values(table);
    } else if (kind == HASH_KIND_MAP) {
        hashtable_load_block(table, 0, 2, check_key);
    }
    else if (kind == HASH_KIND_SYMBOL) load_symbols(table);
    return table;
}

// ---- Value-keyed kinds ------------------------------------------------------------------------

namespace {

// Puts the entry at `position` into a bucket that is empty or deleted.
inline void place_entry(hashtable_record* r, uint32_t bucket, uint8_t tag, uint32_t hash, uint32_t position) {
    uint8_t* controls = controls_of(r->flags);
    if (controls[bucket] == BUCKET_EMPTY) r->occupied++;
    controls[bucket] = tag;
    int_array(r->keys)[bucket] = static_cast<int32_t>(position);
    if (r->kind == HASH_KIND_MAP) {
        const cell* key = block_at(r->block, position);
        node_id text = text_key_type_q(TYPE_OF(key)) ? key->w2 : 0;
        slots_of(r)[bucket] = {hash, text};
    }
    r->size++;
}

// A map! text key's insertion after its lookup missed: no equal key is there, so the probe
// only looks for a free bucket, and after a strict lookup for a key equal ignoring case. A
// table below its bound always has an empty bucket. Never allocates.
void put_missed(hashtable_record* r, const cell* key, uint32_t position, uint32_t hash, bool strict) {
    const uint8_t* controls = controls_of(r->flags);
    const int32_t* keys = int_array(r->keys);
    const map_slot* slots = slots_of(r);
    const cell* cells = node_buffer(static_cast<node_id>(r->block))->cells();
    uint8_t tag = bucket_tag(hash);
    uint32_t mask = static_cast<uint32_t>(r->buckets) - 1;
    uint32_t i = hash & mask;
    int32_t deleted = -1;
    for (uint32_t step = 1; controls[i] != BUCKET_EMPTY; step++) {
        if (controls[i] == BUCKET_DELETED) {
            if (deleted < 0) deleted = static_cast<int32_t>(i);
        } else if (strict && controls[i] == tag && slots[i].hash == hash) {
            const cell* c = cells + keys[i];
            if (TYPE_OF(c) == TYPE_OF(key) && text_equal(key, c, false)) r->duplicates = 1;
        }
        i = (i + step) & mask;
    }
    place_entry(r, deleted >= 0 ? static_cast<uint32_t>(deleted) : i, tag, hash, position);
}

}  // namespace

int32_t hashtable_put_value(node_id table, uint32_t position, int* status, int32_t op,
                            const hashtable_hint* hint) {
    evacuation_off guard;
    check_stamp(table);
    hashtable_record* r = hashtable_of(table);
    if (r->occupied >= r->upper_bound) {
        if (r->kind == HASH_KIND_HASH) {
            *status = HASH_FULL;
            return static_cast<int32_t>(position);
        }
        hashtable_rehash(table, static_cast<uint32_t>(r->buckets) + 1);
        r = hashtable_of(table);
    }
    cell key = *block_at(r->block, position);
    if (r->kind == HASH_KIND_HASH && r->stamp == 0 && identity_hashed_type_q(&key))
        r->stamp = static_cast<int32_t>(nodes_cycles + 1);
    uint32_t hash = hint && hint->known ? hint->hash : hash_value(&key, false);
    uint8_t tag = bucket_tag(hash);
    if (hint && hint->known && r->kind == HASH_KIND_MAP) {
        put_missed(r, &key, position, hash, op == COMP_STRICT_EQUAL);
        *status = HASH_INSERTED;
        return static_cast<int32_t>(position);
    }
    uint32_t type = TYPE_OF(&key);
    uint32_t mask = static_cast<uint32_t>(r->buckets) - 1;
    // Keys equal under the cell equalities hash alike; an action's equality may not.
    bool full_hash = r->kind == HASH_KIND_MAP && equality_for(type, op) != equality::action;
    uint32_t first = hash & mask;
    uint32_t i = first;
    int32_t deleted = -1;
    for (uint32_t step = 1;; step++) {
        // The comparison may allocate: the arrays are re-read on every step.
        r = hashtable_of(table);
        uint8_t control = controls_of(r->flags)[i];
        if (control == BUCKET_EMPTY) break;
        if (bucket_used(control)) {
            if (control != tag || (full_hash && slots_of(r)[i].hash != hash)) {
                i = (i + step) & mask;
                if (i == first) break;
                continue;
            }
            int32_t k = int_array(r->keys)[i];
            int32_t at = k >= 0 ? k : int_array(int_array(r->duplicates)[~k])[0];
            cell* c = block_at(r->block, static_cast<uint32_t>(at));
            if (TYPE_OF(c) == type && static_cast<uint32_t>(at) != position && keys_equal(&key, c, op)) {
                if (r->kind != HASH_KIND_HASH) {
                    *status = HASH_EXISTED;
                    return at;
                }
                chain_add(table, i, static_cast<int32_t>(position));
                record_index(table, position, i);
                *status = HASH_INSERTED;
                return static_cast<int32_t>(position);
            }
            if (r->kind == HASH_KIND_MAP && TYPE_OF(c) == type && case_variant_q(&key, c))
                hashtable_of(table)->duplicates = 1;
        } else {
            deleted = static_cast<int32_t>(i);
        }
        i = (i + step) & mask;
        if (i == first) break;
    }
    if (deleted >= 0) i = static_cast<uint32_t>(deleted);
    r = hashtable_of(table);
    place_entry(r, i, tag, hash, position);
    if (r->kind == HASH_KIND_HASH) record_index(table, position, i);
    *status = HASH_INSERTED;
    return static_cast<int32_t>(position);
}

void hashtable_put(node_id table, uint32_t position) {
    int status;
    hashtable_put_value(table, position, &status);
    if (status == HASH_FULL) hashtable_resize(table, 0);
}

int32_t hashtable_get_map(node_id table, const cell* key_cell, hashtable_cursor* cursor) {
    check_stamp(table);
    cell key = *key_cell;
    if (cursor->bucket == -2) return -1;
    hashtable_record* r = hashtable_of(table);
    uint32_t mask = static_cast<uint32_t>(r->buckets) - 1;
    if (cursor->bucket == -1) {
        cursor->first = cursor->bucket = static_cast<int32_t>(hash_value(&key, false) & mask);
        cursor->step = 0;
        cursor->chain = 0;
    }
    for (;;) {
        r = hashtable_of(table);
        uint32_t i = static_cast<uint32_t>(cursor->bucket);
        uint8_t control = controls_of(r->flags)[i];
        if (control == BUCKET_EMPTY) break;
        if (bucket_used(control)) {
            entry_positions p = positions_of(r, int_array(r->keys)[i]);
            if (static_cast<uint32_t>(cursor->chain) < p.count) {
                int32_t at = position_at(p, static_cast<uint32_t>(cursor->chain++));
                cell* c = block_at(r->block, static_cast<uint32_t>(at));
                if (TYPE_OF(c) == TYPE_OF(&key) && keys_equal(&key, c, 0)) return at;
                continue;
            }
        }
        cursor->chain = 0;
        cursor->step++;
        uint32_t next = (i + static_cast<uint32_t>(cursor->step)) & mask;
        if (next == static_cast<uint32_t>(cursor->first)) break;
        cursor->bucket = static_cast<int32_t>(next);
    }
    cursor->bucket = -2;  // spent: later calls find nothing
    return -1;
}

namespace {

// Where hashtable_find looks: candidates from `start` on (down to it when reverse), aligned
// on `skip`; the least such position, or the greatest one. Plain: the first match from 0.
struct find_range {
    uint32_t start;
    uint32_t skip;
    bool want_greatest;
    bool reverse;
};

// The probe of hashtable_find. Without an allocating equality nothing can move the table's
// buffers, so they are read once.
template <bool Plain, class Equal>
int32_t find_entry(node_id table, uint32_t type, uint32_t hash, find_range range, Equal equal) {
    const hashtable_record* r;
    const uint8_t* controls;
    const int32_t* keys;
    cell* cells;
    auto read = [&] {
        r = hashtable_of(table);
        controls = controls_of(r->flags);
        keys = int_array(r->keys);
        cells = node_buffer(static_cast<node_id>(r->block))->cells();
    };
    read();
    bool one_bucket = r->kind == HASH_KIND_HASH;
    uint32_t mask = static_cast<uint32_t>(r->buckets) - 1;
    int32_t best = -1;
    auto consider = [&](int32_t at) {
        uint32_t pos = static_cast<uint32_t>(at);
        if constexpr (Plain) {
            if (best >= 0 && at >= best) return;
        } else {
            uint32_t start = range.start;
            if (range.reverse ? pos > start : pos < start) return;
            if (range.skip > 1 && (range.reverse ? start - pos : pos - start) % range.skip != 0) return;
            if (best >= 0 && (range.want_greatest ? at <= best : at >= best)) return;
        }
        cell* c = cells + pos;
        if (TYPE_OF(c) != type) return;
        bool equal_q = equal(c);
        if constexpr (Equal::allocates) read();
        if (equal_q) best = at;
    };
    uint8_t tag = bucket_tag(hash);
    uint32_t first = hash & mask;
    uint32_t i = first;
    for (uint32_t step = 1;; step++) {
        uint8_t control = controls[i];
        if (control == BUCKET_EMPTY) break;
        if (control == tag) {
            int32_t k = keys[i];
            if (k >= 0) {
                consider(k);
            } else {
                int32_t chain = int_array(r->duplicates)[~k];
                const int32_t* at = int_array(chain);
                uint32_t n = int_array_length(chain);
                for (uint32_t c = 0; c < n; c++) {
                    consider(at[c]);
                    if constexpr (Equal::allocates) {
                        chain = int_array(r->duplicates)[~k];
                        at = int_array(chain);
                        n = int_array_length(chain);
                    }
                }
            }
            // A hash! keeps every value equal to the key in one bucket.
            if (best >= 0 && one_bucket) break;
        }
        i = (i + step) & mask;
        if (i == first) break;
    }
    return best;
}

template <class Equal>
inline int32_t find_entry(node_id table, uint32_t type, uint32_t hash, find_range range, Equal equal) {
    if (range.start == 0 && range.skip == 1 && !range.want_greatest)
        return find_entry<true>(table, type, hash, range, equal);
    return find_entry<false>(table, type, hash, range, equal);
}

// A plain lookup of a text: the key's characters are found once and candidates compare
// with them. A hash! keeps every value equal to the key in one bucket, and a map! holds no
// two strictly equal keys, so either stops at its first match; a case-folded lookup in a
// map! that holds case variants takes the least position of them. A chained bucket goes
// the long way.
[[gnu::always_inline]] inline int32_t find_text(node_id table, const cell* key, const text_span& k, bool exact,
                                                hashtable_hint* hint = nullptr) {
    uint32_t hash = hash_span(k, false);
    if (hint) *hint = {hash, true};
    const hashtable_record* r = hashtable_of(table);
    const uint8_t* controls = controls_of(r->flags);
    const int32_t* keys = int_array(r->keys);
    map_slot* slots = r->kind == HASH_KIND_MAP ? slots_of(r) : nullptr;
    const cell* cells = node_buffer(static_cast<node_id>(r->block))->cells();
    bool first_wins = exact || r->kind == HASH_KIND_HASH || !r->duplicates;
    uint32_t type = TYPE_OF(key);
    uint32_t mask = static_cast<uint32_t>(r->buckets) - 1;
    uint8_t tag = bucket_tag(hash);
    uint32_t first = hash & mask;
    uint32_t i = first;
    int32_t best = -1;
    for (uint32_t step = 1;; step++) {
        uint8_t control = controls[i];
        if (control == BUCKET_EMPTY) break;
        if (control == tag) {
            int32_t at;
            const cell* c;
            bool equal_q;
            if (slots) {
                // The node table is read from the slot's hint while the key cell is read.
                map_slot& s = slots[i];
                if (s.hash != hash) goto next;
                at = keys[i];
                c = cells + at;
                const series_buffer* b = node_buffer(s.text);
                if (TYPE_OF(c) != type || (best >= 0 && at >= best)) goto next;
                if (c->w2 != s.text) {
                    s.text = c->w2;
                    b = node_buffer(c->w2);
                }
                equal_q = spans_equal(k, span_in(b, c->w1), exact);
            } else {
                at = keys[i];
                if (at < 0) return find_entry(table, type, hash, find_range{0, 1, false, false}, text_equal_to{key, exact});
                c = cells + at;
                equal_q = TYPE_OF(c) == type && (best < 0 || at < best) &&
                          ((c->w2 == key->w2 && c->w1 == key->w1) || spans_equal(k, span_of(c), exact));
            }
            if (equal_q) {
                if (first_wins) return at;
                best = at;
            }
        }
    next:
        i = (i + step) & mask;
        if (i == first) break;
    }
    return best;
}

// hash_value with the payload-hashed types inline.
inline uint32_t key_hash(const cell* key) {
    uint32_t type = TYPE_OF(key);
    return type == TYPE_INTEGER || type == TYPE_CHAR ? hash_int(key->w2) : hash_value(key, false);
}

}  // namespace

int32_t hashtable_find_any(node_id table, const cell* key_cell, uint32_t start, bool last, bool reverse,
                           int32_t op, uint32_t skip) {
    check_stamp(table);
    cell key = *key_cell;
    uint32_t type = TYPE_OF(&key);
    equality kind = equality_for(type, op);
    bool plain = start == 0 && skip == 1 && !last && !reverse;
    if (plain && (kind == equality::text || kind == equality::exact_text))
        return find_text(table, &key, span_of(&key), kind == equality::exact_text);
    uint32_t hash = key_hash(&key);
    find_range range{start, skip, last || reverse, reverse};
    switch (kind) {
    case equality::payload: return find_entry(table, type, hash, range, payload_equal{key.w2});
    case equality::identity: return find_entry(table, type, hash, range, identity_equal{key.w1, key.w2});
    case equality::symbol: return find_entry(table, type, hash, range, symbol_equal{canonical_symbol(key.w2)});
    case equality::text: return find_entry(table, type, hash, range, text_equal_to{&key, false});
    case equality::exact_text: return find_entry(table, type, hash, range, text_equal_to{&key, true});
    default: return find_entry(table, type, hash, range, action_equal{&key, op});
    }
}

namespace {

// The last map! text lookup that found its key, by the key's series and head, for the same
// key looked up again (a counting loop selects, then puts, each word). Its entry is checked
// against the key once more, so an edit of the text or of the map in between only makes it
// look again.
struct found_text {
    node_id table = 0;
    node_id text;
    uint32_t head;
    int32_t at;
};
found_text last_found;

// The entry found last is the answer when it still holds the key: a map! holds no two keys
// strictly equal, nor two equal ignoring case unless it holds case variants, and indexes
// every key of its block (what unindexes one forgets the entry).
inline bool found_again_q(node_id table, const cell* key, const text_span& k, bool exact) {
    const found_text& last = last_found;
    if (last.table != table || last.text != key->w2 || last.head != key->w1) return false;
    const hashtable_record* r = hashtable_of(table);
    if (!exact && r->duplicates) return false;
    series_buffer* b = node_buffer(static_cast<node_id>(r->block));
    if (static_cast<size_t>(last.at) >= b->used_bytes() / sizeof(cell)) return false;
    const cell* c = b->cells() + last.at;
    return TYPE_OF(c) == TYPE_OF(key) && spans_equal(k, span_of(c), exact);
}

}  // namespace

int32_t hashtable_find_text(node_id table, const cell* key, bool exact, hashtable_hint* hint) {
    text_span k = span_of(key);
    if (found_again_q(table, key, k, exact)) return last_found.at;
    int32_t at = find_text(table, key, k, exact, hint);
    if (at >= 0) last_found = {table, key->w2, key->w1, at};
    return at;
}

void hashtable_delete(node_id table, uint32_t position) {
    last_found.table = 0;
    hashtable_check_stamp(table);
    hashtable_record* r = hashtable_of(table);
    if (r->kind == HASH_KIND_HASH) {
        if (position >= int_array_length(r->indexes)) return;
        int32_t bucket = int_array(r->indexes)[position];
        if (bucket < 0) return;
        unindex_position(table, static_cast<uint32_t>(bucket), static_cast<int32_t>(position));
        int_array(hashtable_of(table)->indexes)[position] = -1;
        return;
    }
    int32_t bucket = bucket_of_position(table, position);
    if (bucket < 0) return;
    r = hashtable_of(table);
    controls_of(r->flags)[bucket] = BUCKET_DELETED;
    r->size--;
}

int hashtable_refresh(node_id table, int32_t delta, uint32_t start, uint32_t count, bool shift) {
    evacuation_off guard;
    if (count > HASH_REFRESH_LIMIT) return 1;
    hashtable_record* r = hashtable_of(table);
    if (shift && delta < 0) {
        for (uint32_t p = start - static_cast<uint32_t>(-delta); p < start; p++) hashtable_delete(table, p);
        r = hashtable_of(table);
    }
    uint32_t known = int_array_length(r->indexes);
    std::vector<bool> chains_done(int_array_length(r->duplicates));
    int32_t* keys = int_array(r->keys);
    for (uint32_t p = start; p < start + count && p < known; p++) {
        int32_t bucket = int_array(r->indexes)[p];
        if (bucket < 0) continue;
        int32_t k = keys[bucket];
        if (k >= 0) {
            keys[bucket] = k + delta;
            continue;
        }
        uint32_t slot = static_cast<uint32_t>(~k);
        if (chains_done[slot]) continue;
        chains_done[slot] = true;
        int32_t chain = int_array(r->duplicates)[slot];
        int32_t* at = int_array(chain);
        for (uint32_t n = 0, len = int_array_length(chain); n < len; n++)
            if (static_cast<uint32_t>(at[n]) >= start) at[n] += delta;
    }
    if (!shift) return 0;
    uint32_t end = std::min(start + count, known);
    if (end <= start) return 0;
    if (delta > 0) {
        int_array_extend(r->indexes, end + static_cast<uint32_t>(delta), 0xFF);
        int32_t* idx = int_array(hashtable_of(table)->indexes);
        std::memmove(idx + start + delta, idx + start, (end - start) * 4);
        std::fill(idx + start, idx + start + delta, -1);
    } else {
        int32_t* idx = int_array(r->indexes);
        std::memmove(idx + start + delta, idx + start, (end - start) * 4);
        series_buffer* b = node_buffer(static_cast<node_id>(r->indexes));
        if (end == known) b->tail -= static_cast<size_t>(-delta) * 4;
        else std::fill(idx + end + delta, idx + end, -1);
    }
    return 0;
}

void hashtable_remove_range(node_id table, uint32_t position, uint32_t n) {
    if (n == 0) return;
    uint32_t known = int_array_length(hashtable_of(table)->indexes);
    uint32_t behind = known > position + n ? known - position - n : 0;
    if (hashtable_refresh(table, -static_cast<int32_t>(n), position + n, behind, true) != 0)
        hashtable_resize(table, 0);
}

void hashtable_move(node_id table, uint32_t from, uint32_t n, uint32_t to) {
    if (n == 0 || from == to) return;
    // The range between holds the same positions before and after: re-index it whole.
    uint32_t low = std::min(from, to), high = std::max(from, to) + n;
    if (high - low > HASH_REFRESH_LIMIT) {
        hashtable_resize(table, 0);
        return;
    }
    for (uint32_t p = low; p < high; p++) hashtable_delete(table, p);
    for (uint32_t p = low; p < high; p++) hashtable_put(table, p);
}

// ---- Copies, clearing, rebuilding -------------------------------------------------------------

node_id hashtable_copy(node_id table, node_id block) {
    evacuation_off guard;
    node_id copy = copy_series_buffer(node_buffer(table));
    root_cell keep(cell{TYPE_MAP, 0, 0, copy});
    int32_t hashtable_record::*arrays[] = {&hashtable_record::flags, &hashtable_record::keys,
                                          &hashtable_record::indexes, &hashtable_record::duplicates};
    int32_t kind = hashtable_of(table)->kind;
    uint32_t n_arrays = kind == HASH_KIND_HASH ? 4 : kind == HASH_KIND_MAP ? 3 : 2;
    for (uint32_t a = 0; a < n_arrays; a++) {
        node_id array = copy_series_buffer(node_buffer(static_cast<node_id>(hashtable_of(table)->*arrays[a])));
        hashtable_of(copy)->*arrays[a] = static_cast<int32_t>(array);
    }
    if (hashtable_of(table)->kind == HASH_KIND_HASH) {
        uint32_t chains = int_array_length(hashtable_of(copy)->duplicates);
        for (uint32_t c = 0; c < chains; c++) {
            int32_t chain = int_array(hashtable_of(copy)->duplicates)[c];
            if (!chain) continue;
            node_id fresh = copy_series_buffer(node_buffer(static_cast<node_id>(chain)));
            int_array(hashtable_of(copy)->duplicates)[c] = static_cast<int32_t>(fresh);
        }
    }
    hashtable_of(copy)->block = static_cast<int32_t>(block);
    return copy;
}

node_id hashtable_copy_index(node_id table, node_id block) { return hashtable_copy(table, block); }

void hashtable_clear(node_id table) {
    last_found.table = 0;
    hashtable_record* r = hashtable_of(table);
    series_buffer* f = node_buffer(static_cast<node_id>(r->flags));
    std::memset(f->offset, BUCKET_EMPTY, f->used_bytes());
    r->size = r->occupied = 0;
    if (r->kind == HASH_KIND_HASH) {
        node_buffer(static_cast<node_id>(r->indexes))->tail = node_buffer(static_cast<node_id>(r->indexes))->offset;
        node_buffer(static_cast<node_id>(r->duplicates))->tail = node_buffer(static_cast<node_id>(r->duplicates))->offset;
    }
    if (r->kind == HASH_KIND_MAP) r->duplicates = 0;
    // Left in the block, dropped entries would come back at the next re-keying.
    if (r->kind >= HASH_KIND_NODE) node_buffer(static_cast<node_id>(r->block))->tail = node_buffer(static_cast<node_id>(r->block))->offset;
}

void hashtable_resize(node_id table, uint32_t buckets) {
    int32_t kind = hashtable_of(table)->kind;
    if (kind == HASH_KIND_HASH) resize_values(table);
    else if (kind >= HASH_KIND_NODE) rebuild_node_keyed(table, std::max(round_pow2(buckets), 4u));
    else {
        evacuation_off guard;
        hashtable_rehash(table, buckets);
    }
}

void hashtable_rehash(node_id table, uint32_t buckets) {
    evacuation_off guard;
    buckets = std::max(round_pow2(buckets), 4u);
    hashtable_record* r = hashtable_of(table);
    if (r->size >= static_cast<int32_t>(buckets * 0.77 + 0.5)) return;
    node_id flags = make_flags(buckets);
    root_node keep_flags(flags, false);
    node_id keys = make_int_array(buckets);
    // A map! keeps each bucket's slot: its hash moves with its key, never computed again.
    root_node keep_keys(keys, false);
    bool kept = hashtable_of(table)->kind == HASH_KIND_MAP;
    node_id slots = kept ? make_slots(buckets) : 0;
    r = hashtable_of(table);
    const uint8_t* old_controls = controls_of(r->flags);
    const int32_t* old_keys = int_array(r->keys);
    const map_slot* old_slots = kept ? slots_of(r) : nullptr;
    uint8_t* f = controls_of(static_cast<int32_t>(flags));
    int32_t* k = int_array(static_cast<int32_t>(keys));
    map_slot* s = kept ? reinterpret_cast<map_slot*>(int_array(static_cast<int32_t>(slots))) : nullptr;
    uint32_t used = 0;
    for (uint32_t b = 0; b < static_cast<uint32_t>(r->buckets); b++) {
        if (!bucket_used(old_controls[b])) continue;
        int32_t key = old_keys[b];
        uint32_t hash = kept ? old_slots[b].hash : entry_hash(r, key);
        uint32_t i = free_bucket(f, buckets - 1, hash);
        f[i] = old_controls[b];
        k[i] = key;
        if (kept) s[i] = old_slots[b];
        used++;
        if (r->kind == HASH_KIND_HASH) {
            entry_positions p = positions_of(r, key);
            int32_t* idx = int_array(r->indexes);
            for (uint32_t n = 0; n < p.count; n++) idx[position_at(p, n)] = static_cast<int32_t>(i);
        }
    }
    r->flags = static_cast<int32_t>(flags);
    r->keys = static_cast<int32_t>(keys);
    if (kept) r->indexes = static_cast<int32_t>(slots);
    r->buckets = static_cast<int32_t>(buckets);
    r->upper_bound = bound_of(buckets);
    r->occupied = static_cast<int32_t>(used);
}

int hashtable_load_block(node_id table, uint32_t start, uint32_t step, map_key_check check_key) {
    evacuation_off guard;
    uint32_t p = start;
    while (p < block_length(hashtable_of(table)->block)) {
        if (step == 1) {
            int status;
            hashtable_put_value(table, p, &status);
            if (status == HASH_FULL) return HASH_FULL;
            p++;
            continue;
        }
        if (p + 1 >= block_length(hashtable_of(table)->block)) break;
        int32_t found = hashtable_find(table, block_at(hashtable_of(table)->block, p), 0, false, false, 2);
        if (found >= 0 && static_cast<uint32_t>(found) != p) {
            // The later value wins, at the place of the first key; the later pair goes.
            series_buffer* b = node_buffer(static_cast<node_id>(hashtable_of(table)->block));
            cell* cells = b->cells();
            cells[found + 1] = cells[p + 1];
            std::memmove(cells + p, cells + p + 2, b->used_bytes() - (p + 2) * sizeof(cell));
            b->tail -= 2 * sizeof(cell);
            continue;
        }
        int status;
        hashtable_put_value(table, p, &status, 2);
        if (check_key) check_key(static_cast<node_id>(hashtable_of(table)->block), p);
        p += 2;
    }
    return HASH_INSERTED;
}

// ---- Node-keyed kinds -------------------------------------------------------------------------

namespace {

// Bucket holding the key's entry (-1 when absent); *slot gets the insertion bucket.
int32_t probe_node(const hashtable_record* r, node_id key, uint32_t* slot) {
    uint32_t mask = static_cast<uint32_t>(r->buckets) - 1;
    const uint8_t* controls = controls_of(r->flags);
    const int32_t* keys = int_array(r->keys);
    const cell* cells = node_buffer(static_cast<node_id>(r->block))->cells();
    uint32_t hash = hash_int(key);
    uint8_t tag = bucket_tag(hash);
    uint32_t first = hash & mask;
    uint32_t i = first;
    int32_t deleted = -1;
    for (uint32_t step = 1;; step++) {
        uint8_t control = controls[i];
        if (control == BUCKET_EMPTY) break;
        if (bucket_used(control)) {
            if (control == tag && cells[keys[i]].w1 == key) return static_cast<int32_t>(i);
        } else {
            deleted = static_cast<int32_t>(i);
        }
        i = (i + step) & mask;
        if (i == first) break;
    }
    *slot = deleted >= 0 ? static_cast<uint32_t>(deleted) : i;
    return -1;
}

}  // namespace

void hashtable_check_stamp(node_id table) {
    hashtable_record* r = hashtable_of(table);
    if (r->stamp == 0 || r->stamp == static_cast<int32_t>(nodes_cycles + 1) || collector_active_q()) return;
    if (r->kind >= HASH_KIND_NODE) hashtable_rebuild_index(table);
    else hashtable_resize(table, block_length(r->block));
}

void hashtable_rebuild_index(node_id table) {
    rebuild_node_keyed(table, static_cast<uint32_t>(hashtable_of(table)->buckets));
}

cell* hashtable_put_key(node_id table, node_id key) {
    evacuation_off guard;
    hashtable_check_stamp(table);
    uint32_t slot;
    hashtable_record* r = hashtable_of(table);
    int32_t found = probe_node(r, key, &slot);
    if (found >= 0) return block_at(r->block, static_cast<uint32_t>(int_array(r->keys)[found]) + 1);
    if (r->occupied >= r->upper_bound) {
        uint32_t buckets = static_cast<uint32_t>(r->buckets);
        rebuild_node_keyed(table, r->size * 2 < r->buckets ? buckets : buckets * 2);
    }
    r = hashtable_of(table);
    uint32_t entry_bytes = static_cast<uint32_t>(r->indexes);
    alloc_tail_bytes(node_buffer(static_cast<node_id>(r->block)), entry_bytes);
    hashtable_check_stamp(table);
    r = hashtable_of(table);
    series_buffer* b = node_buffer(static_cast<node_id>(r->block));
    cell* entry = reinterpret_cast<cell*>(b->tail - entry_bytes);
    entry[0] = cell{TYPE_UNSET, key, 0, 0};
    for (uint32_t c = 1; c < entry_bytes / sizeof(cell); c++) entry[c] = cell{TYPE_UNSET, 0, 0, 0};
    probe_node(r, key, &slot);
    uint8_t* controls = controls_of(r->flags);
    if (controls[slot] == BUCKET_EMPTY) r->occupied++;
    controls[slot] = bucket_tag(hash_int(key));
    int_array(r->keys)[slot] = static_cast<int32_t>(entry - b->cells());
    r->size++;
    return entry + 1;
}

cell* hashtable_get_key(node_id table, node_id key) {
    hashtable_check_stamp(table);
    uint32_t slot;
    hashtable_record* r = hashtable_of(table);
    int32_t found = probe_node(r, key, &slot);
    return found < 0 ? nullptr : block_at(r->block, static_cast<uint32_t>(int_array(r->keys)[found]) + 1);
}

void hashtable_delete_key(node_id table, node_id key) {
    hashtable_check_stamp(table);
    uint32_t slot;
    hashtable_record* r = hashtable_of(table);
    int32_t found = probe_node(r, key, &slot);
    if (found < 0) return;
    *block_at(r->block, static_cast<uint32_t>(int_array(r->keys)[found])) = cell{0, 0, 0, 0};
    controls_of(r->flags)[found] = BUCKET_DELETED;
    r->size--;
}

// ---- Symbol-keyed kind ------------------------------------------------------------------------

uint32_t symbol_table_find(node_id table, const uint8_t* name, size_t length, bool insensitive_only) {
    evacuation_off guard;
    hashtable_record* r = hashtable_of(table);
    // The name may live in a series buffer that the rehash, or the allocations below, move.
    std::string copy(reinterpret_cast<const char*>(name), length);
    name = reinterpret_cast<const uint8_t*>(copy.data());
    if (r->occupied >= r->upper_bound)
        hashtable_rehash(table, static_cast<uint32_t>(r->size * 2 < r->buckets ? r->buckets - 1 : r->buckets + 1));
    r = hashtable_of(table);
    uint32_t mask = static_cast<uint32_t>(r->buckets) - 1;
    uint32_t hash = hash_binary(name, length);
    uint8_t tag = bucket_tag(hash);
    uint32_t first = hash & mask;
    const uint8_t* controls = controls_of(r->flags);
    const int32_t* keys = int_array(r->keys);
    const cell* records = node_buffer(static_cast<node_id>(r->block))->cells();
    int32_t alias = -1;
    uint32_t slot = 0;
    for (int pass = insensitive_only ? 1 : 0; pass < 2 && alias < 0; pass++) {
        uint32_t i = first;
        int32_t deleted = -1;
        for (uint32_t step = 1;; step++) {
            uint8_t control = controls[i];
            if (control == BUCKET_EMPTY) break;
            if (bucket_used(control)) {
                if (control != tag) {
                    i = (i + step) & mask;
                    if (i == first) break;
                    continue;
                }
                const cell* record = records + keys[i];
                const series_buffer* b = node_buffer(record->w3);
                if (b->used_bytes() == length && compare_bytes(b->offset, name, length, pass == 0)) {
                    uint32_t id = static_cast<uint32_t>(keys[i]) + 1;
                    if (pass == 0 || insensitive_only) return id;
                    int32_t a = static_cast<int32_t>(record->w1);
                    alias = a > 0 ? a : static_cast<int32_t>(id);
                    break;
                }
            } else {
                deleted = static_cast<int32_t>(i);
            }
            i = (i + step) & mask;
            if (i == first) break;
        }
        if (pass == 0 || insensitive_only) slot = deleted >= 0 ? static_cast<uint32_t>(deleted) : i;
    }
    node_id bytes = alloc_bytes(length + 1);
    root_node keep(bytes, false);
    series_buffer* nb = node_buffer(bytes);
    std::memcpy(nb->offset, copy.data(), length);
    nb->offset[length] = 0;
    nb->tail = nb->offset + length;
    cell* record = alloc_tail_buffer(node_buffer(static_cast<node_id>(hashtable_of(table)->block)));
    *record = cell{TYPE_SYMBOL, static_cast<uint32_t>(alias), 0, bytes};
    r = hashtable_of(table);
    uint32_t position = block_length(r->block) - 1;
    uint8_t* f = controls_of(r->flags);
    if (f[slot] == BUCKET_EMPTY) r->occupied++;
    f[slot] = tag;
    int_array(r->keys)[slot] = static_cast<int32_t>(position);
    r->size++;
    return position + 1;
}

uint32_t context_table_put(node_id table, cell word) {
    evacuation_off guard;
    hashtable_record* r = hashtable_of(table);
    if (r->occupied >= r->upper_bound)
        hashtable_rehash(table, static_cast<uint32_t>(r->size * 2 < r->buckets ? r->buckets - 1 : r->buckets + 1));
    cell* key = alloc_tail_buffer(node_buffer(static_cast<node_id>(hashtable_of(table)->block)));
    r = hashtable_of(table);
    uint32_t position = block_length(r->block) - 1;
    word.w3 = position;
    *key = word;
    uint32_t mask = static_cast<uint32_t>(r->buckets) - 1;
    uint8_t* f = controls_of(r->flags);
    uint32_t hash = hash_int(canonical_symbol(word.w2));
    uint32_t i = hash & mask;
    int32_t deleted = -1;
    for (uint32_t step = 1; f[i] != BUCKET_EMPTY; step++) {
        if (f[i] == BUCKET_DELETED) deleted = static_cast<int32_t>(i);
        i = (i + step) & mask;
    }
    if (deleted >= 0) i = static_cast<uint32_t>(deleted);
    else r->occupied++;
    f[i] = bucket_tag(hash);
    int_array(r->keys)[i] = static_cast<int32_t>(position);
    r->size++;
    return position;
}

int32_t context_table_find(node_id table, uint32_t symbol, bool case_insensitive) {
    const hashtable_record* r = hashtable_of(table);
    uint32_t canonical = canonical_symbol(symbol);
    uint32_t mask = static_cast<uint32_t>(r->buckets) - 1;
    const uint8_t* controls = controls_of(r->flags);
    const int32_t* keys = int_array(r->keys);
    const cell* words = node_buffer(static_cast<node_id>(r->block))->cells();
    uint32_t hash = hash_int(canonical);
    uint8_t tag = bucket_tag(hash);
    uint32_t first = hash & mask;
    uint32_t i = first;
    for (uint32_t step = 1;; step++) {
        uint8_t control = controls[i];
        if (control == BUCKET_EMPTY) return -1;
        if (control == tag) {
            uint32_t sym = words[keys[i]].w2;
            if (sym == symbol || (case_insensitive && canonical_symbol(sym) == canonical)) return keys[i];
        }
        i = (i + step) & mask;
        if (i == first) return -1;
    }
}

// ---- Collector passes -------------------------------------------------------------------------

namespace {
inline bool is_marked(node_id node) { return (node_buffer(node)->flags & SERIES_MARK) != 0; }
}  // namespace

void hashtable_mark(node_id* table) {
    if (!collector_mark_node(table)) return;
    hashtable_record* r = hashtable_of(*table);
    auto mark_field = [&](int32_t& field) {
        node_id n = static_cast<node_id>(field);
        if (n) collector_mark_node(&n);
        field = static_cast<int32_t>(n);
    };
    mark_field(r->flags);
    mark_field(r->keys);
    if (r->kind == HASH_KIND_MAP) mark_field(r->indexes);
    if (r->kind == HASH_KIND_HASH) {
        mark_field(r->indexes);
        mark_field(r->duplicates);
        if (r->duplicates) {
            int32_t* chains = int_array(r->duplicates);
            for (uint32_t c = 0, n = int_array_length(r->duplicates); c < n; c++) mark_field(chains[c]);
        }
    }
    // The ownership table is weak: hashtable_sweep decides. A table being made has no block yet.
    if (r->kind == HASH_KIND_OWNERSHIP || !r->block) return;
    node_id block = static_cast<node_id>(r->block);
    collector_mark_series_values(&block);
    r->block = static_cast<int32_t>(block);
    if (r->kind != HASH_KIND_NODE) return;
    // Key cells carry their node where value marking does not look.
    series_buffer* b = node_buffer(block);
    uint32_t per_entry = static_cast<uint32_t>(r->indexes) / sizeof(cell);
    cell* cells = b->cells();
    uint32_t n = static_cast<uint32_t>(b->used_bytes() / sizeof(cell));
    for (uint32_t p = 0; p + per_entry <= n; p += per_entry) {
        if (cells[p].header == 0) continue;
        node_id key = cells[p].w1;
        if (node_buffer(key)->unit() == sizeof(cell)) collector_mark_series_values(&key);
        else collector_mark_node(&key);
        cells[p].w1 = key;
    }
}

void hashtable_sweep(node_id* table) {
    hashtable_record* r = hashtable_of(*table);
    series_buffer* b = node_buffer(static_cast<node_id>(r->block));
    uint32_t per_entry = static_cast<uint32_t>(r->indexes) / sizeof(cell);
    uint32_t n = static_cast<uint32_t>(b->used_bytes() / sizeof(cell));
    for (uint32_t p = 0; p + per_entry <= n; p += per_entry) {
        cell* entry = b->cells() + p;
        if (entry[0].header == 0) continue;
        node_id key = collector_forward(entry[0].w1);
        bool alive = is_marked(key);
        if (alive && r->kind == HASH_KIND_OWNERSHIP && per_entry > 2) {
            node_id owner = entry[2].w1;
            alive = owner == 0 || is_marked(collector_forward(owner));
        }
        if (alive) {
            entry[0].w1 = key;
            continue;
        }
        uint32_t slot;
        int32_t bucket = probe_node(r, entry[0].w1, &slot);
        if (bucket >= 0) controls_of(r->flags)[bucket] = BUCKET_DELETED;
        std::memset(static_cast<void*>(entry), 0, per_entry * sizeof(cell));
        r->size--;
    }
    // What the survivors hold is reached already; marking it relocates its nodes.
    node_id block = static_cast<node_id>(r->block);
    collector_mark_series_values(&block);
    r->block = static_cast<int32_t>(block);
}

// ---- Int table ---------------------------------------------------------------------------------

inttable* inttable_make(uint32_t buckets) {
    auto* t = static_cast<inttable*>(heap_alloc_zeroed(sizeof(inttable)));
    buckets = std::max(round_pow2(buckets), 4u);
    t->buckets = static_cast<int32_t>(buckets);
    t->upper_bound = bound_of(buckets);
    size_t flag_words = (buckets + 15) / 16;
    t->flags = static_cast<uint32_t*>(heap_alloc(flag_words * 4));
    std::memset(t->flags, 0xAA, flag_words * 4);
    t->pairs = static_cast<inttable_pair*>(heap_alloc(buckets * sizeof(inttable_pair)));
    return t;
}

int32_t inttable_find(const inttable* t, int32_t key) {
    uint32_t mask = static_cast<uint32_t>(t->buckets) - 1;
    uint32_t first = hash_int(static_cast<uint32_t>(key)) & mask;
    uint32_t i = first;
    for (uint32_t step = 1;; step++) {
        uint32_t s = state_at(t->flags, i);
        if (s == INT_EMPTY) return -1;
        if (s == INT_USED && t->pairs[i].key == key) return static_cast<int32_t>(i);
        i = (i + step) & mask;
        if (i == first) return -1;
    }
}

int32_t* inttable_get(inttable* t, int32_t key) {
    int32_t i = inttable_find(t, key);
    return i < 0 ? nullptr : &t->pairs[i].value;
}

void inttable_put(inttable* t, int32_t key, int32_t value) {
    if (int32_t* at = inttable_get(t, key)) {
        *at = value;
        return;
    }
    if (t->occupied >= t->upper_bound) inttable_resize(t, static_cast<uint32_t>(t->buckets) * 2);
    uint32_t mask = static_cast<uint32_t>(t->buckets) - 1;
    uint32_t i = hash_int(static_cast<uint32_t>(key)) & mask;
    int32_t deleted = -1;
    for (uint32_t step = 1; state_at(t->flags, i) != INT_EMPTY; step++) {
        if (state_at(t->flags, i) == INT_DELETED) deleted = static_cast<int32_t>(i);
        i = (i + step) & mask;
    }
    if (deleted >= 0) i = static_cast<uint32_t>(deleted);
    else t->occupied++;
    set_state(t->flags, i, INT_USED);
    t->pairs[i] = {key, value};
    t->size++;
}

void inttable_resize(inttable* t, uint32_t buckets) {
    inttable* fresh = inttable_make(buckets);
    for (uint32_t i = 0; i < static_cast<uint32_t>(t->buckets); i++)
        if (state_at(t->flags, i) == INT_USED) inttable_put(fresh, t->pairs[i].key, t->pairs[i].value);
    heap_free(t->flags);
    heap_free(t->pairs);
    *t = *fresh;
    heap_free(fresh);
}

void inttable_free(inttable* t) {
    if (!t) return;
    heap_free(t->flags);
    heap_free(t->pairs);
    heap_free(t);
}

}  // namespace kel
