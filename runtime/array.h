// Typed arrays: a series buffer used as a growable array of bytes or 32-bit words,
// known by its node so it survives the buffer's moves.
#pragma once
#include <cstddef>
#include <cstdint>

#include "runtime/memory.h"

namespace kel {

// Positions for pick, set and set-tail count from 1; finds answer byte offsets.
node_id array_make(size_t n, uint32_t width);
inline size_t array_length(node_id a) {
    series_buffer* b = node_buffer(a);
    return b->used_bytes() / b->unit();
}
inline void array_clear(node_id a) { node_buffer(a)->tail = node_buffer(a)->offset; }
void array_set_tail(node_id a, size_t position);
node_id array_copy(node_id a);
inline uint8_t* array_head(node_id a) { return node_buffer(a)->offset; }

void array_append_byte(node_id a, uint8_t byte);
uint8_t array_pick_byte(node_id a, size_t position);
void array_append_bytes(node_id a, const void* source, size_t length);

void array_append_int(node_id a, uint32_t word);
int64_t array_find_int(node_id a, uint32_t word);
uint32_t array_pick_int(node_id a, size_t position);
inline uint32_t array_get_int(node_id a, size_t position) { return array_pick_int(a, position); }
void array_set_int(node_id a, size_t position, uint32_t word);
void array_insert_int(node_id a, uint32_t word, size_t index);
void array_remove_at(node_id a, size_t byte_offset, size_t byte_count);

// Words that stand for objects (handle or node ids: cells and arrays hold no addresses).
inline void array_append_ptr(node_id a, uint32_t word) { array_append_int(a, word); }
inline int64_t array_find_ptr(node_id a, uint32_t word) { return array_find_int(a, word); }
void array_remove_ptr(node_id a, uint32_t word);

}  // namespace kel
