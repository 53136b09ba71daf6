#include "runtime/memory.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>

#include "runtime/collector.h"
#include "runtime/error_catalog.h"
#include "runtime/exits.h"
#include "runtime/heap.h"

namespace kel {

memory_state memory;
series_buffer** node_table = nullptr;

namespace {

constexpr size_t round_up(size_t n, size_t to) { return (n + to - 1) / to * to; }
constexpr size_t HUGE_PAGE_SIZE = size_t{2} << 20;

// Each node frame owns a page-rounded stretch of the node table; id 0 is never handed out.
constexpr size_t NODE_FRAME_BYTES = round_up(NODE_FRAME_COUNT * sizeof(series_buffer*), PAGE_SIZE);
constexpr uint32_t NODE_FRAME_STRIDE = NODE_FRAME_BYTES / sizeof(series_buffer*);
constexpr uint32_t NODE_FRAME_SLOTS = NODE_TABLE_CAPACITY / NODE_FRAME_STRIDE;
node_frame* node_frame_directory[NODE_FRAME_SLOTS];

inline series_buffer* free_link(node_id next) {
    return reinterpret_cast<series_buffer*>((static_cast<uintptr_t>(next) << 1) | 1);
}


void link_node_frame(node_frame* frame) {
    frame->prev = memory.last_node_frame;
    frame->next = nullptr;
    if (memory.last_node_frame)
        memory.last_node_frame->next = frame;
    else
        memory.first_node_frame = frame;
    memory.last_node_frame = frame;
}

void unlink_node_frame(node_frame* frame) {
    if (frame->prev) frame->prev->next = frame->next;
    else memory.first_node_frame = frame->next;
    if (frame->next) frame->next->prev = frame->prev;
    else memory.last_node_frame = frame->prev;
}

series_buffer* cut_from_frame(series_frame* frame, size_t total) {
    auto* buffer = reinterpret_cast<series_buffer*>(frame->heap);
    frame->heap += total;
    return buffer;
}

void insert_series_frame(series_frame* frame) {
    if (!memory.first_series_frame) {
        memory.first_series_frame = memory.last_series_frame = memory.current_series_frame = frame;
        return;
    }
    series_frame* at = memory.first_series_frame;
    while (at && at < frame) at = at->next;
    if (!at) {  // highest address: append
        frame->prev = memory.last_series_frame;
        memory.last_series_frame->next = frame;
        memory.last_series_frame = frame;
        return;
    }
    frame->next = at;
    frame->prev = at->prev;
    if (at->prev) at->prev->next = frame;
    else memory.first_series_frame = frame;
    at->prev = frame;
}

size_t checked_data_size(size_t count, uint32_t unit) {
    size_t bytes;
    if (__builtin_mul_overflow(count, static_cast<size_t>(unit), &bytes) || bytes > SERIES_MAX_DATA)
        fire(internal_error::no_memory);
    return round_up(bytes, 16);
}

}  // namespace

void init_memory() {
    std::memset(&memory, 0, sizeof memory);
    memory.next_frame_size = SERIES_FRAME_INITIAL;
    memory.initial_frame_size = SERIES_FRAME_INITIAL;
    memory.max_frame_size = SERIES_FRAME_MAX;
    // Static storage starts zeroed: clearing the directory on the first start would only
    // touch its pages.
    if (node_table) std::memset(node_frame_directory, 0, sizeof node_frame_directory);
    if (!node_table) {
        // Reserved once; pages are committed as node frames touch them.
        void* table = mmap(nullptr, NODE_TABLE_CAPACITY * sizeof(series_buffer*), PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (table == MAP_FAILED) runtime_error_exit(RUNTIME_OUT_OF_MEMORY, 0);
        madvise(table, NODE_TABLE_CAPACITY * sizeof(series_buffer*), MADV_HUGEPAGE);
        node_table = static_cast<series_buffer**>(table);
    }
}

// Two megabytes or more start on a large-page boundary and ask for large pages: each fresh
// page costs a fault (far more under a hypervisor), so one per two megabytes, not per page.
void* os_alloc_pages(size_t size, bool populate) {
    if (size < HUGE_PAGE_SIZE) {
        int flags = MAP_PRIVATE | MAP_ANONYMOUS | (populate ? MAP_POPULATE : 0);
        void* pages = mmap(nullptr, size, PROT_READ | PROT_WRITE, flags, -1, 0);
        if (pages == MAP_FAILED) raise_exit(THROW_ALLOC_FAILED);
        return pages;
    }
    void* mapped = mmap(nullptr, size + HUGE_PAGE_SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) raise_exit(THROW_ALLOC_FAILED);
    auto* raw = static_cast<uint8_t*>(mapped);
    auto* pages = reinterpret_cast<uint8_t*>(round_up(reinterpret_cast<uintptr_t>(raw), HUGE_PAGE_SIZE));
    if (pages > raw) munmap(raw, static_cast<size_t>(pages - raw));
    munmap(pages + size, HUGE_PAGE_SIZE - static_cast<size_t>(pages - raw));
    madvise(pages, size, MADV_HUGEPAGE);
    if (populate) madvise(pages, size, MADV_POPULATE_WRITE);
    return pages;
}

void os_free_pages(void* address, size_t size) {
    if (munmap(address, size) != 0) raise_exit(THROW_FREE_FAILED);
}

// The block's first 16 bytes hold its page-rounded size; the address after them is returned.
void* os_alloc_frame_memory(size_t size, bool populate) {
    size_t rounded = round_up(size + 16, PAGE_SIZE);
    void* pages = nullptr;
    if (catch_exit(LEVEL_MEMORY, [&] { pages = os_alloc_pages(rounded, populate); }) != 0)
        fire(internal_error::no_memory);
    *static_cast<size_t*>(pages) = rounded;
    memory.total += rounded;
    return static_cast<uint8_t*>(pages) + 16;
}

void os_free_frame_memory(void* block) {
    uint8_t* pages = static_cast<uint8_t*>(block) - 16;
    size_t rounded = *reinterpret_cast<size_t*>(pages);
    memory.total -= rounded;
    if (catch_exit(LEVEL_MEMORY, [&] { os_free_pages(pages, rounded); }) != 0)
        fire(internal_error::wrong_mem);
}

node_frame* alloc_node_frame(uint32_t n) {
    KEL_ASSERT(n <= NODE_FRAME_COUNT);
    uint32_t slot = 0;
    while (slot < NODE_FRAME_SLOTS && node_frame_directory[slot]) slot++;
    if (slot == NODE_FRAME_SLOTS) fire(internal_error::no_memory);
    auto* frame = static_cast<node_frame*>(heap_alloc_zeroed(sizeof(node_frame)));
    frame->count = static_cast<int32_t>(n);
    frame->base = 1 + slot * NODE_FRAME_STRIDE;
    // Chain every node free, lowest id first.
    for (uint32_t i = 0; i < n; i++)
        node_table[frame->base + i] = free_link(i + 1 < n ? frame->base + i + 1 : 0);
    frame->free = frame->base;
    node_frame_directory[slot] = frame;
    memory.total += NODE_FRAME_BYTES;
    link_node_frame(frame);
    if (!memory.current_node_frame) memory.current_node_frame = frame;
    return frame;
}

node_id alloc_node() {
    node_frame* frame = memory.current_node_frame;
    if (!frame || !frame->free || frame->evacuated) {
        frame = memory.first_node_frame;
        while (frame && (!frame->free || frame->evacuated)) frame = frame->next;
        if (!frame) frame = alloc_node_frame(NODE_FRAME_COUNT);
        memory.current_node_frame = frame;
    }
    node_id node = frame->free;
    frame->free = free_link_next(node_table[node]);
    node_table[node] = nullptr;
    frame->used++;
    return node;
}

void free_node(node_frame* frame, node_id node) {
    node_table[node] = free_link(frame->free);
    frame->free = node;
    frame->used--;
}

void release_node(node_id node) {
    node_frame* frame = node_frame_directory[(node - 1) / NODE_FRAME_STRIDE];
    if (frame && !frame->evacuated) free_node(frame, node);
}

node_frame* find_node_frame(node_id node) {
    if (node == 0) return nullptr;
    return node_frame_directory[(node - 1) / NODE_FRAME_STRIDE];
}

void free_node_frame(node_frame* frame) {
    unlink_node_frame(frame);
    if (memory.current_node_frame == frame) memory.current_node_frame = memory.last_node_frame;
    node_frame_directory[(frame->base - 1) / NODE_FRAME_STRIDE] = nullptr;
    // Give the stretch's whole pages back; the range stays reserved for a later frame.
    auto first = round_up(reinterpret_cast<uintptr_t>(node_table + frame->base), PAGE_SIZE);
    auto last = reinterpret_cast<uintptr_t>(node_table + frame->base + frame->count) / PAGE_SIZE * PAGE_SIZE;
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
    memory.total -= NODE_FRAME_BYTES;
    heap_free(frame);
}

void trim_node_frames() {
    bool current_chosen = false;
    for (node_frame* frame = memory.first_node_frame; frame;) {
        node_frame* next = frame->next;
        if (frame->used == 0 || frame->evacuated) {
            free_node_frame(frame);
        } else {
            if (!current_chosen && frame->used < frame->count) {
                memory.current_node_frame = frame;
                current_chosen = true;
            }
            frame->history = (frame->history << 1) | (frame->used == frame->last_used ? 1 : 0);
            frame->last_used = frame->used;
        }
        frame = next;
    }
}

series_frame* alloc_series_frame() {
    size_t size = memory.next_frame_size;
    if (size < memory.max_frame_size) memory.next_frame_size = size * 2;
    // A frame is soon cut up and written whole: its pages come in one call, not one fault each.
    auto* frame = static_cast<series_frame*>(os_alloc_frame_memory(size + sizeof(series_frame), true));
    frame->next = frame->prev = nullptr;
    frame->size = size + sizeof(series_frame);
    frame->heap = frame->data();
    frame->end = frame->data() + size;
    insert_series_frame(frame);
    return frame;
}

void free_series_frame(series_frame* frame) {
    if (frame->prev) frame->prev->next = frame->next;
    else memory.first_series_frame = frame->next;
    if (frame->next) frame->next->prev = frame->prev;
    else memory.last_series_frame = frame->prev;
    if (memory.current_series_frame == frame) memory.current_series_frame = memory.last_series_frame;
    os_free_frame_memory(frame);
}

// A frame with only a sliver left is passed over: taking it would send the next allocations
// back over every frame for room, once per buffer while many small ones are made.
series_frame* find_series_frame(size_t bytes) {
    size_t room = std::max(bytes + 1, FRAME_REUSE_ROOM);
    for (series_frame* frame = memory.first_series_frame; frame; frame = frame->next)
        if (static_cast<size_t>(frame->end - frame->heap) >= room) return frame;
    return nullptr;
}

series_buffer* alloc_series_buffer(size_t count, uint32_t unit, int64_t offset) {
    size_t size = checked_data_size(count, unit);
    size_t total = size + SERIES_OVERHEAD;
#ifdef KEL_GC_STRESS
    if (collector_stress) collector_collect_if_enabled();
#endif
    memory.allocated += total;
    if (total >= BIG_BLOCK_THRESHOLD) {
        collector_collect_if_due();
        series_buffer* buffer = alloc_big_block(total);
        init_buffer_header(buffer, size, unit, offset, SERIES_BIG);
        return buffer;
    }
    series_frame* frame = memory.current_series_frame;
    if (!frame || frame->heap + total >= frame->end) {
        frame = find_series_frame(total);
        if (!frame) {
            collector_collect_if_due();
            frame = find_series_frame(total);
            if (!frame) {
                if (total >= memory.next_frame_size) memory.next_frame_size = memory.max_frame_size;
                frame = alloc_series_frame();
            }
        }
        memory.current_series_frame = frame;
    }
    series_buffer* buffer = cut_from_frame(frame, total);
    init_buffer_header(buffer, size, unit, offset, 0);
    return buffer;
}

node_id alloc_series_anywhere(size_t count, uint32_t unit, int64_t offset) {
    series_buffer* buffer = alloc_series_buffer(count, unit, offset);
    node_id node = alloc_node();
    node_table[node] = buffer;
    buffer->node = node;
    return node;
}

node_id alloc_fixed_series(size_t count, uint32_t unit, int64_t offset) {
    size_t size = checked_data_size(count, unit);
    auto* buffer = static_cast<series_buffer*>(heap_alloc(size + SERIES_OVERHEAD));
    init_buffer_header(buffer, size, unit, offset, SERIES_FIXED);
    node_id node = alloc_node();
    node_table[node] = buffer;
    buffer->node = node;
    return node;
}

node_id alloc_cells(size_t n) { return alloc_series(n, sizeof(cell), 0); }

node_id alloc_unset_cells(size_t n) {
    node_id node = alloc_cells(n);
    series_buffer* buffer = node_buffer(node);
    cell* cells = reinterpret_cast<cell*>(buffer->data());
    for (size_t i = 0; i < buffer->size / sizeof(cell); i++) cells[i] = cell{TYPE_UNSET, 0, 0, 0};
    return node;
}

node_id alloc_bytes(size_t n) { return alloc_series(n ? n : 16, 1, 0); }

node_id alloc_units(size_t count, uint32_t unit) {
    if (count == 0) count = 16u >> (unit >> 1);
    return alloc_series(count, unit, 0);
}

node_id alloc_bytes_filled(size_t n, uint8_t byte) {
    node_id node = alloc_bytes(n);
    series_buffer* buffer = node_buffer(node);
    std::memset(buffer->data(), byte, buffer->size);
    return node;
}

void series_set_flags(node_id node, uint32_t bits) { node_buffer(node)->flags |= bits; }

// Moves the node to a new buffer and retires the old one; returns both, since the
// allocation may have run a collection that moved the old buffer.
static series_buffer* expand_buffer(series_buffer* buffer, size_t new_size, series_buffer** retired) {
    KEL_ASSERT(!(buffer->flags & SERIES_FIXED));
    uint32_t unit = buffer->unit();
    node_id node = buffer->node;
    if (new_size == 0) new_size = static_cast<size_t>(buffer->size) * 2;
    if (new_size > SERIES_MAX_DATA) fire(internal_error::no_memory);
    // The allocation may collect: the node may move to another id, its buffer elsewhere.
    root_node keep(node);
    series_buffer* fresh = alloc_series_buffer(new_size / unit, unit, 0);
    node = keep.node;
    series_buffer* old = node_buffer(node);
    fresh->flags = (old->flags & ~(SERIES_BIG | SERIES_FIXED)) | (fresh->flags & SERIES_BIG);
    fresh->node = node;
    fresh->offset = fresh->data();
    fresh->tail = fresh->offset + old->used_bytes();
    node_table[node] = fresh;
    old->node = 0;
    old->flags &= ~SERIES_USED;
    *retired = old;
    return fresh;
}

series_buffer* expand_series_buffer(series_buffer* buffer, size_t new_size) {
    series_buffer* retired;
    return expand_buffer(buffer, new_size, &retired);
}

series_buffer* expand_series(series_buffer* buffer, size_t new_size) {
    series_buffer* retired;
    series_buffer* fresh = expand_buffer(buffer, new_size, &retired);
    // The retired buffer keeps its bytes until the next compaction.
    std::memcpy(fresh->offset, retired->offset, fresh->used_bytes());
    return fresh;
}

series_buffer* expand_series_filled(series_buffer* buffer, size_t new_size, uint8_t byte) {
    size_t old_size = buffer->size;
    series_buffer* fresh = expand_series(buffer, new_size);
    if (fresh->size > old_size) std::memset(fresh->data() + old_size, byte, fresh->size - old_size);
    return fresh;
}

node_id copy_series_buffer(series_buffer* buffer) {
    root_node source(buffer->node);
    node_id node = alloc_series(buffer->size, 1, 0);
    series_buffer* from = node_buffer(source.node);
    series_buffer* to = node_buffer(node);
    size_t start = static_cast<size_t>(from->offset - from->data());
    to->flags = (from->flags & ~(SERIES_BIG | SERIES_FIXED)) | (to->flags & SERIES_BIG);
    std::memcpy(to->data() + start, from->offset, from->used_bytes());
    to->offset = to->data() + start;
    to->tail = to->offset + from->used_bytes();
    return node;
}

node_id copy_series_part(node_id source_node, size_t start, size_t count) {
    root_node source(source_node);
    uint32_t unit = node_buffer(source.node)->unit();
    node_id node = alloc_series(count, unit, 0);
    series_buffer* from = node_buffer(source.node);
    series_buffer* to = node_buffer(node);
    to->flags = (from->flags & ~(SERIES_OWNED | SERIES_BIG | SERIES_FIXED | SERIES_HEAD_MIDDLE)) |
                (to->flags & SERIES_BIG);
    std::memcpy(to->offset, from->offset + start * unit, count * unit);
    to->tail = to->offset + count * unit;
    return node;
}

namespace {

// Bytes a big block's pages hold for its buffer.
size_t big_block_capacity(big_block* block) {
    size_t mapped = *reinterpret_cast<size_t*>(reinterpret_cast<uint8_t*>(block) - 16);
    return mapped - 16 - sizeof(big_block);
}

void unlink_big_block(big_block** list, big_block* block) {
    while (*list && *list != block) list = &(*list)->next;
    if (*list) *list = block->next;
}

// The smallest spare that holds bytes without wasting more than as much again: its pages are
// committed, so a large buffer made again and again (a copy per loop) faults nothing in.
big_block* take_spare_big_block(size_t bytes) {
    big_block* best = nullptr;
    for (big_block* b = memory.spare_big_blocks; b; b = b->next) {
        size_t capacity = big_block_capacity(b);
        if (capacity >= bytes && capacity / 2 <= bytes &&
            (!best || capacity < big_block_capacity(best)))
            best = b;
    }
    if (best) {
        unlink_big_block(&memory.spare_big_blocks, best);
        memory.spare_big_bytes -= big_block_capacity(best);
    }
    return best;
}

}  // namespace

series_buffer* alloc_big_block(size_t bytes) {
    big_block* block = take_spare_big_block(bytes);
    if (!block) block = static_cast<big_block*>(os_alloc_frame_memory(bytes + sizeof(big_block)));
    block->next = nullptr;
    block->reserved = 0;
    block->size = bytes;
    big_block** link = &memory.big_blocks;
    while (*link) link = &(*link)->next;
    *link = block;
    return block->buffer();
}

void free_big_block(series_buffer* buffer) {
    big_block* block = reinterpret_cast<big_block*>(buffer) - 1;
    unlink_big_block(&memory.big_blocks, block);
    os_free_frame_memory(block);
}

void retire_big_block(series_buffer* buffer, size_t room) {
    big_block* block = reinterpret_cast<big_block*>(buffer) - 1;
    size_t capacity = big_block_capacity(block);
    if (memory.spare_big_bytes + capacity > room) {
        free_big_block(buffer);
        return;
    }
    unlink_big_block(&memory.big_blocks, block);
    block->next = memory.spare_big_blocks;
    memory.spare_big_blocks = block;
    memory.spare_big_bytes += capacity;
}

void release_spare_big_blocks() {
    while (big_block* block = memory.spare_big_blocks) {
        memory.spare_big_blocks = block->next;
        os_free_frame_memory(block);
    }
    memory.spare_big_bytes = 0;
}

void free_all_node_frames() {
    while (memory.first_node_frame) free_node_frame(memory.first_node_frame);
    while (memory.first_series_frame) free_series_frame(memory.first_series_frame);
    while (memory.big_blocks) free_big_block(memory.big_blocks->buffer());
    release_spare_big_blocks();
    memory.current_node_frame = nullptr;
    memory.next_frame_size = memory.initial_frame_size;
}

cell* alloc_tail_buffer(series_buffer* buffer) {
    if (buffer->tail == buffer->data_end()) buffer = expand_series(buffer, 0);
    cell* slot = buffer->cells_tail();
    slot->header = TYPE_UNSET;
    buffer->tail += sizeof(cell);
    return slot;
}

uint8_t* alloc_tail_bytes(series_buffer* buffer, size_t n) {
    if (buffer->tail + n > buffer->data_end())
        buffer = expand_series(buffer, n > buffer->size ? 2 * n : 0);
    uint8_t* at = buffer->tail;
    buffer->tail += n;
    return at;
}

uint8_t* fill_repeat(uint8_t* buffer, size_t n, size_t count) {
    size_t total = n * count;
    if (count <= 1) return buffer + total;
    size_t done = n;
    while (total - done >= done) {
        std::memcpy(buffer + done, buffer, done);
        done *= 2;
    }
    if (total > done) std::memcpy(buffer + done, buffer, total - done);
    return buffer + total;
}

}  // namespace kel
