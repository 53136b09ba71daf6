#include "runtime/array.h"

#include <cstring>

namespace kel {

node_id array_make(size_t n, uint32_t width) {
    node_id a = alloc_bytes(n * width);
    series_buffer* b = node_buffer(a);
    b->flags = (b->flags & ~SERIES_UNIT_MASK) | width;
    return a;
}

void array_set_tail(node_id a, size_t position) {
    series_buffer* b = node_buffer(a);
    b->tail = b->offset + (position - 1) * b->unit();
}

node_id array_copy(node_id a) { return copy_series_buffer(node_buffer(a)); }

void array_append_byte(node_id a, uint8_t byte) { *alloc_tail_bytes(node_buffer(a), 1) = byte; }

uint8_t array_pick_byte(node_id a, size_t position) { return node_buffer(a)->offset[position - 1]; }

void array_append_bytes(node_id a, const void* source, size_t length) {
    std::memcpy(alloc_tail_bytes(node_buffer(a), length), source, length);
}

void array_append_int(node_id a, uint32_t word) {
    std::memcpy(alloc_tail_bytes(node_buffer(a), 4), &word, 4);
}

int64_t array_find_int(node_id a, uint32_t word) {
    series_buffer* b = node_buffer(a);
    for (uint8_t* at = b->offset; at + 4 <= b->tail; at += 4) {
        uint32_t w;
        std::memcpy(&w, at, 4);
        if (w == word) return at - b->offset;
    }
    return -1;
}

uint32_t array_pick_int(node_id a, size_t position) {
    uint32_t w;
    std::memcpy(&w, node_buffer(a)->offset + (position - 1) * 4, 4);
    return w;
}

void array_set_int(node_id a, size_t position, uint32_t word) {
    std::memcpy(node_buffer(a)->offset + (position - 1) * 4, &word, 4);
}

void array_insert_int(node_id a, uint32_t word, size_t index) {
    series_buffer* b = node_buffer(a);
    if (b->data_end() - b->tail < 4) b = expand_series(b, 0);
    uint8_t* at = b->offset + index * 4;
    std::memmove(at + 4, at, static_cast<size_t>(b->tail - at));
    std::memcpy(at, &word, 4);
    b->tail += 4;
}

void array_remove_at(node_id a, size_t byte_offset, size_t byte_count) {
    series_buffer* b = node_buffer(a);
    uint8_t* at = b->offset + byte_offset;
    std::memmove(at, at + byte_count, static_cast<size_t>(b->tail - at - byte_count));
    b->tail -= byte_count;
}

void array_remove_ptr(node_id a, uint32_t word) {
    int64_t at = array_find_int(a, word);
    if (at >= 0) array_remove_at(a, static_cast<size_t>(at), 4);
}

}  // namespace kel
