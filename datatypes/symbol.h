// symbol!: every name the language knows, interned once. Symbol id n is cell n - 1 of the
// symbol-table block: w1 the canonical id for a case variant (-1 when canonical), w2 the
// node of the name as a string! (made on first use), w3 the node of its UTF-8 bytes
// followed by a NUL.
#pragma once
#include <cstddef>
#include <cstdint>

#include "runtime/cell.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"

namespace kel {

constexpr uint32_t SYMBOL_TABLE_SIZE = 4000;

// The name index over the symbol-table block (a symbol-keyed hash table).
extern node_id symbol_index;

namespace symbol {

// Registers symbol!.
void init();
// The symbol-table block and its name index; both stay collector roots.
void table_init();

// Interning: an exact hit returns its id; a hit ignoring ASCII case makes a case variant.
uint32_t make(const char* name);
uint32_t make_from_bytes(const uint8_t* bytes, size_t length);
// The text from the head of a string value, which must be rooted (it is exported).
uint32_t make_from_string(cell* value);
// The canonical spelling matching ignoring ASCII case; interned when absent.
uint32_t find_cstr(const char* name);

inline cell* record(uint32_t id) { return series_cell(symbol_table, id - 1); }
inline uint32_t resolve(uint32_t id) { return canonical_symbol(id); }
inline int32_t alias_of(uint32_t id) { return static_cast<int32_t>(record(id)->w1); }

// The record with its name string made; the address is good until the next allocation.
cell* get(uint32_t id);
void ensure_string(uint32_t id);

// The UTF-8 name and its byte length; good until the next allocation.
inline const uint8_t* name_bytes(uint32_t id, size_t* length) {
    const series_buffer* b = node_buffer(record(id)->w3);
    *length = b->used_bytes();
    return b->offset;
}
// NUL-terminated UTF-8: what the platform's C interfaces take.
inline const char* name_c_string(uint32_t id) {
    return reinterpret_cast<const char*>(node_buffer(record(id)->w3)->offset);
}

// The text comparison of two names under a compare operation code.
int32_t compare_names(uint32_t id1, uint32_t id2, int32_t op);
int32_t compare(cell* value1, cell* value2, int32_t op);

}  // namespace symbol
}  // namespace kel
