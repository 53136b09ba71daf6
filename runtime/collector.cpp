#include "runtime/collector.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "runtime/cycles.h"
#include "runtime/exits.h"
#include "runtime/handle_table.h"
#include "runtime/hashtable.h"
#include "runtime/heap.h"
#include "runtime/memory.h"
#include "runtime/ownership.h"
#include "runtime/sort.h"
#include "runtime/stack.h"

namespace kel {

bool collector_enabled = false;
root_node* root_node_list = nullptr;
bool collector_stress = true;
uint32_t series_cycles = 0;
uint32_t nodes_cycles = 0;
bool node_evacuation = true;

namespace {

std::atomic<bool> active{false};

constexpr size_t MARK_CALLBACKS = 100;
mark_callback mark_callbacks[MARK_CALLBACKS];
size_t mark_callback_count = 0;

cell_marker markers[256];

root_cell* root_cells = nullptr;
interior_pointer* interior_pointers = nullptr;

// Nodes whose cells wait to be marked: an explicit stack, so deep nesting cannot
// overflow the machine stack.
std::vector<node_id> mark_stack;
// Marked buffers that live outside the frames; their marks are cleared at the end.
std::vector<series_buffer*> marked_outside;

// Evacuation: for each evacuated node frame, the new id of each of its nodes.
constexpr uint32_t HISTORY_WINDOW_MASK = 0x3F;  // stable over six collections
constexpr int32_t EVACUATE_BELOW = 5000;
bool forwarding = false;
struct forward_map {
    node_frame* frame;
    node_id* to;
};
std::vector<forward_map> forward_maps;

// Interior pointers sorted by address during compaction.
struct interior_record {
    uint8_t* address;
    interior_pointer* guard;
};
std::vector<interior_record> interior_table;

collector_stats stats;

constexpr size_t COLLECT_BUDGET_MIN = 4 * SERIES_FRAME_MAX;
size_t collect_budget = COLLECT_BUDGET_MIN;

template <class T>
void link_guard(T*& head, T* guard) {
    guard->prev = nullptr;
    guard->next = head;
    if (head) head->prev = guard;
    head = guard;
}

template <class T>
void unlink_guard(T*& head, T* guard) {
    if (guard->prev) guard->prev->next = guard->next;
    else head = guard->next;
    if (guard->next) guard->next->prev = guard->prev;
}

inline size_t buffer_span(const series_buffer* b) { return SERIES_HEADER_SIZE + b->size + SERIES_SPARE_SIZE; }

void drain_mark_stack() {
    while (!mark_stack.empty()) {
        node_id node = mark_stack.back();
        mark_stack.pop_back();
        series_buffer* b = node_buffer(node);
        if (b->unit() == sizeof(cell)) collector_mark_values(b->cells(), b->cells_tail());
    }
}

// --- Node evacuation ---------------------------------------------------------------

void plan_evacuation() {
    node_frame* first_free = memory.first_node_frame;
    while (first_free && !first_free->free) first_free = first_free->next;
    if (!first_free) return;
    memory.current_node_frame = first_free;
    int64_t free_count = 0;
    for (node_frame* f = memory.first_node_frame; f; f = f->next)
        if (f->free && !f->evacuated) free_count += f->count - f->used;
    for (node_frame* f = memory.last_node_frame; f; f = f->prev) {
        if ((f->history & HISTORY_WINDOW_MASK) != HISTORY_WINDOW_MASK || f->used >= EVACUATE_BELOW ||
            free_count <= NODE_FRAME_COUNT || f == memory.current_node_frame || f->evacuated)
            continue;
        free_count -= NODE_FRAME_COUNT;
        f->evacuated = 1;
        auto* to = static_cast<node_id*>(heap_alloc_zeroed(sizeof(node_id) * f->count));
        for (int32_t i = 0; i < f->count; i++) {
            node_id old = f->base + i;
            series_buffer* b = node_table[old];
            if (!b || node_is_free_slot(b)) continue;
            node_id fresh = alloc_node();  // never from an evacuated frame
            node_table[fresh] = b;
            if (b->node == old) b->node = fresh;
            node_table[old] = nullptr;
            f->used--;
            to[i] = fresh;
        }
        forward_maps.push_back({f, to});
        stats.evacuated_frames++;
    }
    if (!forward_maps.empty()) {
        forwarding = true;
        nodes_cycles++;
    }
}

void end_evacuation() {
    for (auto& m : forward_maps) heap_free(m.to);
    forward_maps.clear();
    forwarding = false;
}

// --- Compaction --------------------------------------------------------------------

void collect_interior_pointers() {
    interior_table.clear();
    for (interior_pointer* g = interior_pointers; g; g = g->next) interior_table.push_back({*g->slot, g});
    std::sort(interior_table.begin(), interior_table.end(),
              [](const interior_record& a, const interior_record& b) { return a.address < b.address; });
}

void repoint_interior_pointers(uint8_t* src, size_t span, ptrdiff_t delta) {
    auto lo = std::lower_bound(interior_table.begin(), interior_table.end(), src,
                               [](const interior_record& r, uint8_t* a) { return r.address < a; });
    for (auto it = lo; it != interior_table.end() && it->address < src + span; ++it) *it->guard->slot -= delta;
}

// Most buffers moved are a few dozen bytes: a library call costs more than the copy.
// Buffers only ever move down, at least 16 bytes, so a forward copy in 16-byte steps
// reads each step before any write reaches it.
constexpr size_t INLINE_MOVE_MAX = 256;
void move_down(uint8_t* dest, const uint8_t* src, size_t span) {
    if (span > INLINE_MOVE_MAX) {
        std::memmove(dest, src, span);
        return;
    }
    for (size_t i = 0; i < span; i += 16) {
        uint8_t step[16];
        std::memcpy(step, src + i, 16);
        std::memcpy(dest + i, step, 16);
    }
}

// Moves one live buffer to dest and repoints its node and every guarded interior pointer.
void move_buffer(series_buffer* b, uint8_t* dest) {
    uint8_t* src = reinterpret_cast<uint8_t*>(b);
    size_t span = buffer_span(b);
    ptrdiff_t delta = src - dest;
    if (!interior_table.empty()) repoint_interior_pointers(src, span, delta);
    move_down(dest, src, span);
    auto* moved = reinterpret_cast<series_buffer*>(dest);
    moved->offset -= delta;
    moved->tail -= delta;
    node_table[moved->node] = moved;
}

void release_dead(series_buffer* b) {
    if ((b->flags & SERIES_USED) && b->node) release_node(b->node);
    stats.freed_buffers++;
    stats.freed_bytes += buffer_span(b);
}

// Counted with header and spare as the allocator counts them: a small buffer's data is
// a fraction of what it takes, and the budget would collect long before twice the live size.
void count_live(series_buffer* b) {
    stats.live_buffers++;
    stats.live_bytes += buffer_span(b);
}

// Slides live buffers into the room left at the end of the previous frame (if any) while
// that room is worth filling, else down inside their own frame.
void compact_frame(series_frame* frame, series_frame* prev) {
    // A kept empty frame is left to the allocator: sliding into it would move the whole
    // live set at every collection.
    size_t room = prev && prev->heap != prev->data() ? static_cast<size_t>(prev->end - prev->heap) : 0;
    bool usable = room > FRAME_REUSE_ROOM;
    uint8_t* gap = nullptr;
    for (uint8_t* p = frame->data(); p < frame->heap;) {
        auto* b = reinterpret_cast<series_buffer*>(p);
        size_t span = buffer_span(b);
        if (!(b->flags & SERIES_MARK)) {
            release_dead(b);
            if (!gap) gap = p;
        } else {
            b->flags &= ~SERIES_MARK;
            count_live(b);
            if (usable && span <= room) {
                move_buffer(b, prev->heap);
                prev->heap += span;
                room -= span;
                usable = room > FRAME_REUSE_ROOM;
                if (!gap) gap = p;
            } else if (gap) {
                move_buffer(b, gap);
                gap += span;
            } else {
                usable = false;
            }
        }
        p += span;
    }
    if (gap) frame->heap = gap;
}

// Moving a live buffer costs more than leaving a dead one where it is: a frame is compacted
// once an eighth of it is dead (less would hold more memory for the program's peak), and
// swept in place below that.
constexpr size_t COMPACT_DEAD_SHARE = 8;

bool worth_compacting(series_frame* frame) {
    size_t enough = static_cast<size_t>(frame->heap - frame->data()) / COMPACT_DEAD_SHARE;
    size_t dead = 0;
    for (uint8_t* p = frame->data(); p < frame->heap;) {
        auto* b = reinterpret_cast<series_buffer*>(p);
        size_t span = buffer_span(b);
        if (!(b->flags & SERIES_MARK) && (dead += span) >= enough) return true;
        p += span;
    }
    return false;
}

// Live buffers stay put. A dead one becomes a hole, with no node and not in use, counted
// again at each collection until the frame is worth compacting; a dead tail is free room.
void sweep_frame(series_frame* frame) {
    uint8_t* live_end = frame->data();
    for (uint8_t* p = frame->data(); p < frame->heap;) {
        auto* b = reinterpret_cast<series_buffer*>(p);
        size_t span = buffer_span(b);
        if (b->flags & SERIES_MARK) {
            b->flags &= ~SERIES_MARK;
            count_live(b);
            live_end = p + span;
        } else {
            release_dead(b);
            b->flags &= ~SERIES_USED;
            b->node = 0;
        }
        p += span;
    }
    frame->heap = live_end;
}

// Emptied frames are kept up to twice what the program allocates between collections (big
// buffers leave part of each frame unused): handing them back and faulting fresh pages in
// costs more than the work done in them.
void compact_series_frames() {
    collect_interior_pointers();
    size_t kept = 0;
    for (series_frame* frame = memory.first_series_frame; frame;) {
        series_frame* next = frame->next;
        if (worth_compacting(frame)) compact_frame(frame, frame->prev);
        else sweep_frame(frame);
        if (frame->heap == frame->data() && frame != memory.last_series_frame) {
            if (kept + frame->size <= 2 * collect_budget) kept += frame->size;
            else free_series_frame(frame);
        }
        frame = next;
    }
    interior_table.clear();
}

// Spares left unused since the last collection go back; dead big buffers become spares
// up to the budget, the room the program fills between two collections.
void sweep_big_blocks_pass() {
    release_spare_big_blocks();
    for (big_block* block = memory.big_blocks; block;) {
        big_block* next = block->next;
        series_buffer* b = block->buffer();
        if (b->flags & SERIES_MARK) {
            b->flags &= ~SERIES_MARK;
            count_live(b);
            if (b->unit() != sizeof(cell)) stats.unscanned_bytes += buffer_span(b);
        } else {
            release_dead(b);
            retire_big_block(b, collect_budget);
        }
        block = next;
    }
}

// --- Roots -------------------------------------------------------------------------

void mark_roots() {
    if (argument_stack) {
        collector_mark_node(&argument_stack);
        collector_mark_values(stack::bottom, stack::top);
    }
    for (root_cell* r = root_cells; r; r = r->next) collector_mark_values(&r->value, &r->value + 1);
    for (root_node* r = root_node_list; r; r = r->next) {
        if (!r->node) continue;
        if (r->has_cells) collector_mark_series_values(&r->node);
        else collector_mark_node(&r->node);
    }
    if (externals_node()) collector_mark_series_values(&externals_node());
    // Cells a running sort holds only in its temporary buffer.
    for (const sort_buffer* b = sort_cell_buffers; b; b = b->outer())
        collector_mark_values(reinterpret_cast<cell*>(b->data()), reinterpret_cast<cell*>(b->data() + b->bytes()));
    drain_mark_stack();
    for (size_t i = 0; i < mark_callback_count; i++) {
        if (mark_callbacks[i]) mark_callbacks[i]();
        drain_mark_stack();
    }
    // Ownership entries do not keep their series alive: swept once the rest is marked.
    if (ownership_table) {
        hashtable_mark(&ownership_table);
        hashtable_sweep(&ownership_table);
        drain_mark_stack();
    }
}

[[gnu::noinline]] void note_marked_outside(series_buffer* b) { marked_outside.push_back(b); }

// Inlined into every marker: most references reach a buffer marked already, and a call
// per reference would cost more than the test.
[[gnu::always_inline]] inline bool mark_buffer(node_id* ref) {
    node_id node = *ref;
    if (!node) return false;
    if (forwarding) *ref = node = collector_forward(node);
    series_buffer* b = node_buffer(node);
    if (!b || node_is_free_slot(b) || (b->flags & SERIES_MARK)) return false;
    b->flags |= SERIES_MARK;
    if (b->flags & SERIES_FIXED) note_marked_outside(b);
    return true;
}

// Out of line, as the vector's growth would make every marker save registers it seldom needs.
[[gnu::noinline]] void push_for_cells(node_id node) { mark_stack.push_back(node); }

[[gnu::always_inline]] inline void mark_cells(node_id* ref) {
    if (mark_buffer(ref)) push_for_cells(*ref);
}

void mark_word(cell* value) {
    if (value->w1) mark_cells(&value->w1);
}
void mark_block_cell(cell* value) {
    if (value->w2) mark_cells(&value->w2);
}
void mark_string_cell(cell* value) {
    if (value->w2) mark_buffer(&value->w2);
    if (value->w3) mark_buffer(&value->w3);
}
void mark_symbol_cell(cell* value) {
    if (value->w3) mark_buffer(&value->w3);
    if (value->w2) mark_buffer(&value->w2);
}
void mark_bytes_cell(cell* value) {
    if (value->w2) mark_buffer(&value->w2);
}
void mark_object_cell(cell* value) {
    if (value->w1) mark_cells(&value->w1);
    // The events record's pair cells hold the handlers' spec nodes in w3: kept current
    // so that a replaced handler is still told apart after nodes move.
    if (value->w3 && mark_buffer(&value->w3)) {
        series_buffer* events = node_buffer(value->w3);
        for (cell* c = events->cells(); c < events->cells_tail(); c++)
            if (c->w3) mark_buffer(&c->w3);
    }
}
void mark_context_cell(cell* value) {
    if (value->w1) hashtable_mark(&value->w1);
    if (value->w2 && !(value->header & CTX_ON_STACK)) mark_cells(&value->w2);
}
void mark_map_cell(cell* value) {
    if (value->w2) mark_cells(&value->w2);
    if (value->w3) hashtable_mark(&value->w3);
}
void mark_function_cell(cell* value) {
    if (value->w1) mark_cells(&value->w1);
    if (value->w2) mark_cells(&value->w2);
    if (value->w3) mark_cells(&value->w3);
}
void mark_native_cell(cell* value) {
    if (value->w2) mark_cells(&value->w2);
    if (value->w3) mark_cells(&value->w3);
    uint32_t wrapped = (value->header >> 16) & 0xFF;
    if (TYPE_OF(value) == TYPE_OP && (wrapped == TYPE_FUNCTION || wrapped == TYPE_ROUTINE) && value->w1)
        mark_cells(&value->w1);
}
void mark_handle_cell(cell* value) {
    if (static_cast<int32_t>(value->w3) >= 0) handle_mark(static_cast<int32_t>(value->w3), 0);
}
void mark_event_cell(cell* value) {
    if ((value->w3 & 0x10000) && value->w2) mark_cells(&value->w2);
}

struct default_markers {
    default_markers() {
        for (uint32_t t = TYPE_WORD; t <= TYPE_REFINEMENT; t++) markers[t] = mark_word;
        for (uint32_t t : {TYPE_BLOCK, TYPE_PAREN, TYPE_PATH, TYPE_LIT_PATH, TYPE_SET_PATH, TYPE_GET_PATH})
            markers[t] = mark_block_cell;
        markers[TYPE_SYMBOL] = mark_symbol_cell;
        for (uint32_t t : {TYPE_STRING, TYPE_FILE, TYPE_URL, TYPE_TAG, TYPE_EMAIL, TYPE_REF})
            markers[t] = mark_string_cell;
        for (uint32_t t : {TYPE_BITSET, TYPE_VECTOR, TYPE_BINARY}) markers[t] = mark_bytes_cell;
        for (uint32_t t : {TYPE_OBJECT, TYPE_ERROR, TYPE_PORT}) markers[t] = mark_object_cell;
        markers[TYPE_CONTEXT] = mark_context_cell;
        markers[TYPE_HASH] = mark_map_cell;
        markers[TYPE_MAP] = mark_map_cell;
        markers[TYPE_FUNCTION] = mark_function_cell;
        markers[TYPE_ROUTINE] = mark_function_cell;
        for (uint32_t t : {TYPE_NATIVE, TYPE_ACTION, TYPE_OP}) markers[t] = mark_native_cell;
        markers[TYPE_HANDLE] = mark_handle_cell;
        markers[TYPE_EVENT] = mark_event_cell;
    }
};
default_markers install_default_markers;

}  // namespace

// --- Marking -----------------------------------------------------------------------

// Kept out of line: the markers inline their reference test, and forwarding is rare.
[[gnu::noinline]] node_id collector_forward(node_id node) {
    if (!forwarding || !node) return node;
    node_frame* frame = find_node_frame(node);
    if (!frame || !frame->evacuated) return node;
    for (auto& m : forward_maps)
        if (m.frame == frame) {
            node_id to = m.to[node - frame->base];
            return to ? to : node;
        }
    return node;
}

bool collector_mark_node(node_id* ref) { return mark_buffer(ref); }

void collector_mark_series_values(node_id* ref) { mark_cells(ref); }

void collector_mark_block(cell* block) { mark_block_cell(block); }

void collector_mark_context(node_id* ref) {
    // The context series is its context cell and its owner value: marking its cells
    // reaches the key-word table, the values and the owner.
    collector_mark_series_values(ref);
}

void collector_mark_values(cell* start, cell* end) {
    for (cell* c = start; c < end; c++) {
        cell_marker m = markers[TYPE_OF(c)];
        if (m) m(c);
    }
}

void collector_register_marker(uint32_t type, cell_marker marker) { markers[type] = marker; }

// --- The collection ----------------------------------------------------------------

// Memory starts afresh: a budget sized for an earlier run's live set would keep its frames.
void collector_init_stats() {
    series_cycles = 0;
    nodes_cycles = 0;
    collect_budget = COLLECT_BUDGET_MIN;
}

void collector_add_live_bytes(size_t bytes) { stats.live_bytes += bytes; }

bool collector_active_q() { return active.load(std::memory_order_seq_cst); }

void collector_add_mark_callback(mark_callback callback) {
    for (size_t i = 0; i < mark_callback_count; i++)
        if (mark_callbacks[i] == callback) return;
    KEL_ASSERT(mark_callback_count < MARK_CALLBACKS);
    mark_callbacks[mark_callback_count++] = callback;
}

void collector_remove_mark_callback(mark_callback callback) {
    for (size_t i = 0; i < mark_callback_count; i++)
        if (mark_callbacks[i] == callback) {
            mark_callbacks[i] = nullptr;
            return;
        }
}

void collector_collect() {
    if (collector_active_q()) return;
    active.store(true, std::memory_order_seq_cst);
    stats = {};
    if (node_evacuation) plan_evacuation();
    mark_roots();
    if (forwarding) cycles_relocate();
    handle_sweep();
    compact_series_frames();
    sweep_big_blocks_pass();
    trim_node_frames();
    end_evacuation();
    for (series_buffer* b : marked_outside) b->flags &= ~SERIES_MARK;
    marked_outside.clear();
    series_cycles++;
    memory.allocated = 0;
    // Twice the live size: a growing live set is then marked and moved about half as often.
    // Big texts and binaries cost the marking nothing: counted, they would let the small
    // buffers spread over fresh pages, which cost far more to fault in than to collect.
    collect_budget = std::max(COLLECT_BUDGET_MIN, 2 * (stats.live_bytes - stats.unscanned_bytes));
    active.store(false, std::memory_order_seq_cst);
}

void collector_collect_if_enabled() {
    if (collector_enabled) collector_collect();
}

void collector_collect_if_due() {
    if (collector_enabled && memory.allocated >= collect_budget) collector_collect();
}

const collector_stats& collector_last_stats() { return stats; }

// --- Guards ------------------------------------------------------------------------

root_cell::root_cell(const cell& v) : value(v) { link_guard(root_cells, this); }
root_cell::~root_cell() { unlink_guard(root_cells, this); }


interior_pointer::interior_pointer(uint8_t** s) : slot(s) { link_guard(interior_pointers, this); }
interior_pointer::~interior_pointer() { unlink_guard(interior_pointers, this); }

}  // namespace kel
