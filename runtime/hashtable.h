// Hash tables: one open-addressing design for hash! and map! values, symbol-keyed
// indexes (the symbol table, context key words), node-keyed tables and the ownership
// table; plus the small int table of the collector's node forwarding.
//
// Buckets are a power of two, probing is triangular and a table is kept at most 77%
// occupied. A bucket holds no key: it holds the entry's position in the table's block and
// the key is read from there. Each bucket also has a control byte: empty, deleted, or in
// use with seven bits of the key's hash, so that most mismatches skip reading the key.
//
// Collector rule: every function here may allocate unless it says otherwise, so callers
// keep node ids and positions across calls, never cell addresses.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "runtime/cell.h"
#include "runtime/memory.h"

namespace kel {

enum hashtable_kind : int32_t {
    HASH_KIND_HASH = 0,       // hash!: index over every cell of a block, duplicates chained
    HASH_KIND_MAP = 1,        // map!: key/value pairs, one entry per key
    HASH_KIND_SYMBOL = 2,     // symbol records (the symbol table) or context key words
    HASH_KIND_NODE = 3,       // keys are nodes, each with a fixed number of value cells
    HASH_KIND_OWNERSHIP = 4,  // node-keyed, entries dropped when key or owner dies
};

// The record: 44 bytes in a byte series, reached through its node. Node fields hold
// node ids.
struct hashtable_record {
    int32_t size;        // live entries
    int32_t indexes;     // kind 0: node of int32 bucket per block position (-1 none);
                         // kind 1: node of a map_slot per bucket;
                         // kinds 3, 4: bytes per entry, (value cells + 1) * 16
    int32_t duplicates;  // kind 0: node of the list of chain nodes (int32 each); kind 1: 1
                         // once it indexed two keys equal only ignoring case, else 0
    int32_t flags;       // node of the control bytes, one per bucket
    int32_t keys;        // node of int32 per bucket: the entry's cell position in the block
    int32_t block;       // node of the block holding the keys
    int32_t occupied;    // buckets not empty (live plus deleted)
    int32_t buckets;     // a power of two
    int32_t upper_bound; // trunc(buckets * 0.77)
    int32_t kind;
    int32_t stamp;       // 0, or nodes_cycles + 1 when the index was built
};
static_assert(sizeof(hashtable_record) == 44);

// What a map! bucket keeps of its key beside the position: its full hash and, for a text,
// the node of its characters, so that the node table is read while the key cell is, not
// after it. The node is only a hint, checked against the key cell and put right when stale.
struct map_slot {
    uint32_t hash;
    node_id text;
};
static_assert(sizeof(map_slot) == 8);

// Control bytes: below 0x80 a bucket in use, holding its key's tag.
constexpr uint8_t BUCKET_EMPTY = 0x80;
constexpr uint8_t BUCKET_DELETED = 0xFE;
// The hash's top bits: its low bits pick the bucket.
inline uint8_t bucket_tag(uint32_t hash) { return static_cast<uint8_t>(hash >> 25); }
inline bool bucket_used(uint8_t control) { return control < 0x80; }

// hashtable_put_value and hashtable_load_block statuses.
constexpr int HASH_INSERTED = 0;
constexpr int HASH_EXISTED = 1;  // map!: the key is there; the caller replaces the value
constexpr int HASH_FULL = 2;     // hash!: nothing inserted; rebuild with hashtable_resize

// Above this many values hashtable_refresh gives up (returns 1) and changes nothing.
constexpr uint32_t HASH_REFRESH_LIMIT = 30000;

inline hashtable_record* hashtable_of(node_id table) {
    return reinterpret_cast<hashtable_record*>(node_buffer(table)->offset);
}

// ---- Hashing ------------------------------------------------------------------------

// Fixed once when the runtime starts; hashes never leave the process.
extern uint32_t hash_seed;
void hash_set_seed(uint32_t seed);

inline uint32_t hash_rotl(uint32_t x, int r) { return (x << r) | (x >> (32 - r)); }

inline uint32_t hash_fmix(uint32_t h) {
    h ^= h >> 16;
    h *= 0x85EBCA6B;
    h ^= h >> 13;
    h *= 0xC2B2AE35;
    h ^= h >> 16;
    return h;
}

inline uint32_t hash_mix_block(uint32_t h, uint32_t k) {
    k *= 0xCC9E2D51;
    k = hash_rotl(k, 15);
    k *= 0x1B873593;
    h ^= k;
    h = hash_rotl(h, 13);
    return h * 5 + 0xE6546B64;
}

// MurmurHash3 x86 32-bit.
inline uint32_t murmur3_32(const void* key, size_t len, uint32_t seed) {
    const uint8_t* data = static_cast<const uint8_t*>(key);
    uint32_t h = seed;
    size_t blocks = len / 4;
    for (size_t i = 0; i < blocks; i++) {
        uint32_t k;
        std::memcpy(&k, data + i * 4, 4);
        h = hash_mix_block(h, k);
    }
    const uint8_t* tail = data + blocks * 4;
    uint32_t k = 0;
    switch (len & 3) {
    case 3: k ^= static_cast<uint32_t>(tail[2]) << 16; [[fallthrough]];
    case 2: k ^= static_cast<uint32_t>(tail[1]) << 8; [[fallthrough]];
    case 1:
        k ^= tail[0];
        k *= 0xCC9E2D51;
        k = hash_rotl(k, 15);
        k *= 0x1B873593;
        h ^= k;
    }
    h ^= static_cast<uint32_t>(len);
    return hash_fmix(h);
}

// The finaliser alone: no seed, no block mixing.
inline uint32_t hash_int(uint32_t n) { return hash_fmix(n); }

// Characters of a string value from head to tail, eight a round when each fits a byte,
// upper-cased (as case-insensitive comparison does) unless case-sensitive.
uint32_t hash_string(const cell* value, bool case_sensitive);
// The bytes with ASCII letters lowered: the symbol table's name hash.
uint32_t hash_binary(const uint8_t* bytes, size_t length);
// Equal values (by the equality of `=`) hash alike: -0.0 hashes as 0.0 and every NaN
// alike. Lookups stay exact: no tolerance is applied, so two floats that `=` calls equal
// only within its tolerance need not find each other. Never allocates.
uint32_t hash_value(const cell* value, bool case_sensitive);
bool identity_hashed_type_q(const cell* value);

// Smallest power of two >= n.
inline uint32_t round_pow2(uint32_t n) {
    n--;
    n |= n >> 1;
    n |= n >> 2;
    n |= n >> 4;
    n |= n >> 8;
    n |= n >> 16;
    return n + 1;
}

// Copies a name into a reusable process-heap buffer with ASCII A-Z lowered.
const uint8_t* scratch_buffer(const uint8_t* bytes, size_t length);
// Equal bytes, case-sensitively or ignoring ASCII case.
bool compare_bytes(const uint8_t* a, const uint8_t* b, size_t length, bool case_sensitive);

// ---- The one table --------------------------------------------------------------------

using map_key_check = void (*)(node_id block, uint32_t position);

// size entries (at least 4); block: the node of the block to index (kinds 0-2) or 0 for a
// new one of size cells; value_cells: cells per key of kinds 3 and 4. A given block is
// loaded at once: hash! every cell, map! its key/value pairs (as hashtable_load_block,
// check_key being the map! key check), kind 2 its symbol records or key words.
node_id hashtable_make(uint32_t size, node_id block, int32_t kind, uint32_t value_cells = 0,
                       map_key_check check_key = nullptr);

// A key's hash that a lookup computed, handed to the insertion that follows its miss: with
// it the insertion takes the key to be absent.
struct hashtable_hint {
    uint32_t hash = 0;
    bool known = false;
};

// Indexes the cell at `position` of the table's block. op is the equality that decides
// whether the key is already there (map! callers pass the operation they looked up with).
// Returns the position of the existing entry for HASH_EXISTED, else `position`.
int32_t hashtable_put_value(node_id table, uint32_t position, int* status, int32_t op = 0,
                            const hashtable_hint* hint = nullptr);
// put_value; a full hash! is rebuilt (which indexes the whole block, this cell included).
void hashtable_put(node_id table, uint32_t position);

struct hashtable_cursor {
    int32_t bucket = -1;  // -1 to start
    int32_t first = 0;
    int32_t step = 0;
    int32_t chain = 0;    // next chain index within the current bucket
};
// The next position whose cell equals the key (same type, equality), -1 when none is left.
// Repeated calls with the same cursor enumerate every equal entry.
int32_t hashtable_get_map(node_id table, const cell* key, hashtable_cursor* cursor);

// Position of an entry equal to the key under op (0 equal, 2 strict, 9 same, 12 find), or
// -1. Candidates from `start` on, aligned on `skip` from it; last: the greatest such
// position; reverse: the greatest position at or before `start`.
int32_t hashtable_find_any(node_id table, const cell* key, uint32_t start, bool last, bool reverse,
                           int32_t op, uint32_t skip = 1);

// hashtable_find_any, with the hot case probed inline: an integer! or char! key looked up
// in a hash! or map! from its first position. Such keys equal by payload under every
// equality above, so one entry at most matches; a chain (duplicates) or a stamped index
// goes the long way. Never allocates.
inline int32_t hashtable_find(node_id table, const cell* key, uint32_t start, bool last, bool reverse,
                              int32_t op, uint32_t skip = 1) {
    uint32_t type = TYPE_OF(key);
    const hashtable_record* r = hashtable_of(table);
    bool plain = start == 0 && !last && !reverse && skip == 1 && r->kind <= HASH_KIND_MAP && r->stamp == 0;
    bool payload = (type == TYPE_INTEGER || type == TYPE_CHAR) &&
                   (op == 0 || op == 2 || op == 9 || op == 12);
    if (!plain || !payload) return hashtable_find_any(table, key, start, last, reverse, op, skip);
    const uint8_t* controls = node_buffer(static_cast<node_id>(r->flags))->offset;
    const int32_t* keys = reinterpret_cast<const int32_t*>(node_buffer(static_cast<node_id>(r->keys))->offset);
    const cell* cells = node_buffer(static_cast<node_id>(r->block))->cells();
    uint32_t mask = static_cast<uint32_t>(r->buckets) - 1;
    uint32_t hash = hash_int(key->w2);
    uint8_t tag = bucket_tag(hash);
    uint32_t first = hash & mask;
    uint32_t i = first;
    for (uint32_t step = 1;; step++) {
        uint8_t control = controls[i];
        if (control == BUCKET_EMPTY) return -1;
        if (control == tag) {
            int32_t at = keys[i];
            if (at < 0) return hashtable_find_any(table, key, start, last, reverse, op, skip);
            const cell* c = cells + at;
            if (TYPE_OF(c) == type && c->w2 == key->w2) return at;
        }
        i = (i + step) & mask;
        if (i == first) return -1;
    }
}

// A plain lookup of a text key (string!, file!, url!, tag!, email!, ref!) in a map!'s table,
// folded or exact; on a miss the hint gets the key's hash (any equal text hashes alike: the
// stored copy of the key too). A map!'s table has no stamp: no key of it hashes by identity.
int32_t hashtable_find_text(node_id table, const cell* key, bool exact, hashtable_hint* hint);

inline bool text_key_type_q(uint32_t type) {
    return type == TYPE_STRING || type == TYPE_FILE || type == TYPE_URL || type == TYPE_TAG ||
           type == TYPE_EMAIL || type == TYPE_REF;
}

// A map! lookup from the first position under op; a text key that misses fills the hint.
inline int32_t hashtable_find_key(node_id table, const cell* key, int32_t op, hashtable_hint* hint) {
    hint->known = false;
    // Equal (0), strict (2) or find (12); same (9) compares identities.
    if (text_key_type_q(TYPE_OF(key)) && (op == 0 || op == 2 || op == 12))
        return hashtable_find_text(table, key, op == 2, hint);
    return hashtable_find(table, key, 0, false, false, op);
}

// Removes the entry at a block position (a map! key's position); a chain of equal values
// just loses the position.
void hashtable_delete(node_id table, uint32_t position);

// hash! upkeep, called AFTER the block was edited. Positions are those before the edit.
//
// !!! hashtable_refresh answers 1 when asked for more than HASH_REFRESH_LIMIT values and
// !!! then changes NOTHING: the index is stale. EVERY caller that gets 1 MUST rebuild the
// !!! table (hashtable_resize) before using it again.
//
// `count` values from `start` moved by `delta` places (positive after an insertion of delta
// values before them, negative after a removal of -delta values just before `start`).
// With shift: a removal first drops the removed values from the index, and the per-position
// index is moved by delta places (an insertion leaves -1 in the gap for the caller to put).
[[nodiscard]] int hashtable_refresh(node_id table, int32_t delta, uint32_t start, uint32_t count,
                                    bool shift);
// n values removed at `position`; rebuilds by itself when the refresh gives up.
void hashtable_remove_range(node_id table, uint32_t position, uint32_t n);
// n values moved from `from` to `to` (the new position of the first) inside the block.
void hashtable_move(node_id table, uint32_t from, uint32_t n, uint32_t to);

// A copy of the table (every array copied) for `block`, the copy of the table's block.
node_id hashtable_copy(node_id table, node_id block);
// A copy of a symbol-keyed index over `block` (a cloned context's key words).
node_id hashtable_copy_index(node_id table, node_id block);
// Size 0, every bucket empty; node-keyed tables also drop their entries.
void hashtable_clear(node_id table);
// Rebuilds: hash! from its whole block, map! and kind 2 by rehashing into `buckets`,
// node-keyed tables by re-keying into `buckets`. Node evacuation is off meanwhile.
void hashtable_resize(node_id table, uint32_t buckets);
void hashtable_rehash(node_id table, uint32_t buckets);
// Loads the block from `start`: step 1 every cell, step 2 key/value pairs (map!). A pair
// whose key is already there (strictly) gives its value to it and is removed from the
// block; a new key is indexed and then handed to check_key (the map! key check).
// Returns HASH_FULL when a hash! filled up (the caller resizes), else HASH_INSERTED.
int hashtable_load_block(node_id table, uint32_t start, uint32_t step,
                         map_key_check check_key = nullptr);

// ---- Node-keyed tables (kinds 3 and 4) ------------------------------------------------
// An entry is a key cell (header 2, the key node in w1; zeroed when deleted) followed by
// the value cells. Every access first checks the stamp: after a collection renumbered
// nodes the index is rebuilt once.

// The entry's first value cell (new entries: unset cells). The address is good until the
// next allocation.
cell* hashtable_put_key(node_id table, node_id key);
cell* hashtable_get_key(node_id table, node_id key);
void hashtable_delete_key(node_id table, node_id key);
void hashtable_check_stamp(node_id table);
void hashtable_rebuild_index(node_id table);

// ---- Symbol-keyed tables --------------------------------------------------------------

// The node of the symbol-table block (symbol records, id n at cell n - 1); set at start-up.
extern node_id symbol_table;
// The canonical id of a symbol id (its alias when it is a case variant).
inline uint32_t canonical_symbol(uint32_t id) {
    int32_t alias = static_cast<int32_t>(series_cell(symbol_table, id - 1)->w1);
    return alias > 0 ? static_cast<uint32_t>(alias) : id;
}

// The symbol id of a UTF-8 name, interning it when absent. A name differing from a known
// one only in ASCII case gets a new id whose alias is the canonical one; insensitive_only
// answers the canonical symbol instead and makes no variant.
uint32_t symbol_table_find(node_id table, const uint8_t* name, size_t length,
                           bool insensitive_only);

// Appends a copy of the key word to the context's key-word block (its w3 set to the new
// slot) and indexes it by canonical symbol; returns the slot.
uint32_t context_table_put(node_id table, cell word);
// Slot of the symbol in a context's index, exactly or by canonical id; -1 when absent.
int32_t context_table_find(node_id table, uint32_t symbol, bool case_insensitive);

// ---- Collector passes ------------------------------------------------------------------

// Marks the table behind *table and what it holds, rewriting every node field that was
// relocated. The ownership table is weak: its entries are left to hashtable_sweep.
void hashtable_mark(node_id* table);
// After marking (ownership table): drops entries whose key node, or whose owner's context,
// was not marked, then marks what the survivors hold.
void hashtable_sweep(node_id* table);

// ---- Int table (process heap; the collector's node forwarding) -----------------------

struct inttable_pair {
    int32_t key;
    int32_t value;
};
struct inttable {
    int32_t size;
    uint32_t* flags;
    inttable_pair* pairs;
    int32_t occupied;
    int32_t buckets;
    int32_t upper_bound;
};

inttable* inttable_make(uint32_t buckets);
void inttable_put(inttable* t, int32_t key, int32_t value);
// Address of the key's value, or null.
int32_t* inttable_get(inttable* t, int32_t key);
// The key's bucket, or -1.
int32_t inttable_find(const inttable* t, int32_t key);
void inttable_resize(inttable* t, uint32_t buckets);
void inttable_free(inttable* t);

}  // namespace kel
