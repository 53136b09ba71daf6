// Memory manager: nodes, series frames, series buffers and big blocks.
//
// Values never hold a buffer address: they hold a node id, and the node table maps
// the id to the buffer's current address, so the collector can move buffers freely.
#pragma once
#include <cstddef>
#include <cstdint>

#include "runtime/cell.h"

namespace kel {

// Buffer flags; the unit (bytes per element) sits in bits 0-4.
constexpr uint32_t SERIES_UNIT_MASK = 0x1F;
constexpr uint32_t SERIES_USED = 0x80000000;
constexpr uint32_t SERIES_NEW = 0x20000000;
constexpr uint32_t SERIES_HEAD_MIDDLE = 0x10000000;
constexpr uint32_t SERIES_MARK = 0x08000000;
constexpr uint32_t SERIES_BIG = 0x01000000;
constexpr uint32_t SERIES_FIXED = 0x00100000;
constexpr uint32_t BITSET_NOT = 0x00080000;
constexpr uint32_t SERIES_OWNED = 0x00020000;

struct series_buffer {
    uint32_t flags;
    node_id node;      // back-pointer; 0 on a buffer left behind by an expansion
    uint32_t size;     // bytes in the data area, a multiple of 16
    uint32_t reserved;
    uint8_t* offset;   // first used unit
    uint8_t* tail;     // just after the last used unit

    uint8_t* data() { return reinterpret_cast<uint8_t*>(this + 1); }
    uint8_t* data_end() { return data() + size; }
    uint32_t unit() const { return flags & SERIES_UNIT_MASK; }
    cell* cells() { return reinterpret_cast<cell*>(offset); }
    cell* cells_tail() { return reinterpret_cast<cell*>(tail); }
    size_t used_bytes() const { return static_cast<size_t>(tail - offset); }
};

// 64-bit headers are larger than 20 bytes; the spare room after the data keeps
// every buffer 16-byte aligned.
constexpr size_t SERIES_HEADER_SIZE = sizeof(series_buffer);
constexpr size_t SERIES_SPARE_SIZE = 16;
constexpr size_t SERIES_OVERHEAD = SERIES_HEADER_SIZE + SERIES_SPARE_SIZE;
static_assert(SERIES_HEADER_SIZE == 32);

// Largest data area a buffer may have: its size field is a signed 32-bit count.
constexpr size_t SERIES_MAX_DATA = 0x7FFFFFF0;

constexpr size_t PAGE_SIZE = 4096;
constexpr size_t SERIES_FRAME_INITIAL = 1u << 20;
constexpr size_t SERIES_FRAME_MAX = 2u << 20;
// A buffer whose total size reaches the frame maximum gets a big block of its own.
constexpr size_t BIG_BLOCK_THRESHOLD = SERIES_FRAME_MAX;
// A nearly full frame (less room than this) is not reused after a collection.
constexpr size_t FRAME_REUSE_ROOM = 52428;
constexpr uint32_t NODE_FRAME_COUNT = 10000;
// Largest number of nodes the node table can ever hold (reserved, committed lazily).
constexpr uint32_t NODE_TABLE_CAPACITY = 1u << 27;

struct node_frame {
    node_frame* next;
    node_frame* prev;
    int32_t count;
    node_id free;       // first free node; 0 ends the chain
    int32_t used;
    int32_t stamp;
    int32_t last_used;
    uint32_t history;   // one bit per collection, newest in bit 0: 1 when used did not change
    int32_t evacuated;
    node_id base;       // id of the frame's first node
};

struct alignas(16) series_frame {
    series_frame* next;
    series_frame* prev;
    size_t size;        // bytes of the frame, header included
    uint8_t* heap;      // first free byte
    uint8_t* end;       // first byte after the frame
    uint8_t* data() { return reinterpret_cast<uint8_t*>(this + 1); }
};

struct alignas(16) big_block {
    big_block* next;
    size_t reserved;
    size_t size;        // bytes of the buffer, header included
    series_buffer* buffer() { return reinterpret_cast<series_buffer*>(this + 1); }
};

struct memory_state {
    size_t total;  // bytes taken from the OS
    node_frame* first_node_frame;
    node_frame* last_node_frame;
    node_frame* current_node_frame;
    series_frame* first_series_frame;
    series_frame* current_series_frame;
    series_frame* last_series_frame;
    size_t next_frame_size;
    size_t initial_frame_size;
    size_t max_frame_size;
    big_block* big_blocks;
    big_block* spare_big_blocks;  // freed, pages still committed, for the next big buffers
    size_t spare_big_bytes;
    size_t allocated;  // bytes cut or taken since the last collection
};
extern memory_state memory;

// The node table: node id -> buffer address. Free nodes hold (next free id << 1) | 1.
extern series_buffer** node_table;

inline series_buffer* node_buffer(node_id n) { return node_table[n]; }
inline bool node_is_free_slot(const series_buffer* slot) {
    return (reinterpret_cast<uintptr_t>(slot) & 1) != 0;
}

void init_memory();
// populate: commit every page now.
void* os_alloc_pages(size_t size, bool populate = false);
void os_free_pages(void* address, size_t size);
void* os_alloc_frame_memory(size_t size, bool populate = false);
void os_free_frame_memory(void* block);

node_frame* alloc_node_frame(uint32_t n);
node_id alloc_node();
void free_node(node_frame* frame, node_id node);
// Frees a dead buffer's node; one of an evacuated frame was given a fresh id already and
// goes with its frame.
void release_node(node_id node);
void free_node_frame(node_frame* frame);
node_frame* find_node_frame(node_id node);
void trim_node_frames();

series_frame* alloc_series_frame();
void free_series_frame(series_frame* frame);
series_frame* find_series_frame(size_t bytes);

inline node_id free_link_next(series_buffer* slot) {
    return static_cast<node_id>(reinterpret_cast<uintptr_t>(slot) >> 1);
}

inline void init_buffer_header(series_buffer* buffer, size_t size, uint32_t unit, int64_t offset,
                               uint32_t extra_flags) {
    buffer->size = static_cast<uint32_t>(size);
    buffer->node = 0;
    buffer->reserved = 0;
    buffer->flags = unit | SERIES_USED | SERIES_NEW | extra_flags;
    size_t start = 0;
    if (offset == -1) {
        start = size / 2;
        buffer->flags |= SERIES_HEAD_MIDDLE;
    } else {
        start = static_cast<size_t>(offset);
    }
    buffer->offset = buffer->data() + start;
    buffer->tail = buffer->offset;
}

// offset: bytes from the data start, or -1 to start in the middle of the data area.
series_buffer* alloc_series_buffer(size_t count, uint32_t unit, int64_t offset);
// alloc_series by the full path: a new frame, a collection or a big block as need be.
node_id alloc_series_anywhere(size_t count, uint32_t unit, int64_t offset);

// Fewer elements than this take the quick path of alloc_series: their bytes cannot overflow.
constexpr size_t QUICK_SERIES_COUNT = size_t{1} << 24;

// Most buffers are small and fit the current frame, with a free node at hand: one is cut
// there inline, else this answers 0 and the caller takes the full path, as every buffer of a
// stress build does.
#ifdef KEL_GC_STRESS
inline node_id alloc_series_quick(size_t, uint32_t, int64_t) { return 0; }
#else
inline node_id alloc_series_quick(size_t count, uint32_t unit, int64_t offset) {
    node_frame* nodes = memory.current_node_frame;
    series_frame* frame = memory.current_series_frame;
    if (count < QUICK_SERIES_COUNT && nodes && nodes->free && !nodes->evacuated && frame) {
        size_t size = (count * unit + 15) & ~size_t{15};
        size_t total = size + SERIES_OVERHEAD;
        if (total < BIG_BLOCK_THRESHOLD && frame->heap + total < frame->end) {
            memory.allocated += total;
            auto* buffer = reinterpret_cast<series_buffer*>(frame->heap);
            frame->heap += total;
            init_buffer_header(buffer, size, unit, offset, 0);
            node_id node = nodes->free;
            nodes->free = free_link_next(node_table[node]);
            nodes->used++;
            node_table[node] = buffer;
            buffer->node = node;
            return node;
        }
    }
    return 0;
}
#endif

inline node_id alloc_series(size_t count, uint32_t unit, int64_t offset) {
    node_id node = alloc_series_quick(count, unit, offset);
    return node ? node : alloc_series_anywhere(count, unit, offset);
}
node_id alloc_fixed_series(size_t count, uint32_t unit, int64_t offset);
node_id alloc_cells(size_t n);
node_id alloc_unset_cells(size_t n);
node_id alloc_bytes(size_t n);
node_id alloc_units(size_t count, uint32_t unit);
node_id alloc_bytes_filled(size_t n, uint8_t byte);
void series_set_flags(node_id node, uint32_t bits);

// new_size in bytes, 0 to double. Both return the buffer now behind the node.
series_buffer* expand_series_buffer(series_buffer* buffer, size_t new_size);
series_buffer* expand_series(series_buffer* buffer, size_t new_size);
series_buffer* expand_series_filled(series_buffer* buffer, size_t new_size, uint8_t byte);
node_id copy_series_buffer(series_buffer* buffer);
node_id copy_series_part(node_id node, size_t start, size_t count);

series_buffer* alloc_big_block(size_t bytes);
void free_big_block(series_buffer* buffer);
// Frees a dead big buffer, or keeps its pages as a spare while the spares stay within room.
void retire_big_block(series_buffer* buffer, size_t room);
void release_spare_big_blocks();
void sweep_big_blocks();
void free_all_node_frames();

// Appending at a buffer's tail (may move the buffer: callers re-read it through the node).
cell* alloc_tail_buffer(series_buffer* buffer);
uint8_t* alloc_tail_bytes(series_buffer* buffer, size_t n);

// Element i of a series value: offset + (head + i) * unit.
inline cell* series_cell(node_id node, uint32_t index) {
    return node_buffer(node)->cells() + index;
}

// Fills n * count bytes by repeating the first n; returns the address past them.
uint8_t* fill_repeat(uint8_t* buffer, size_t n, size_t count);

}  // namespace kel
