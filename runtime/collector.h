// Garbage collector: stop-the-world mark and compact.
//
// C++ frames cannot be rewritten, so code that holds a value, a node or a raw buffer
// address across anything that may allocate registers it with one of the guards below.
#pragma once
#include <cstddef>
#include <cstdint>

#include "runtime/cell.h"

namespace kel {

// Off until start-up enables it; while off, a full frame always leads to a new frame.
extern bool collector_enabled;
// The stress build collects at every allocation while this is set. Start-up is the same for
// every program, so it runs unstressed unless KEL_STRESS_START_UP is in the environment.
extern bool collector_stress;
extern uint32_t series_cycles;
// Collections that evacuated node frames: node-keyed tables compare it with their stamp.
extern uint32_t nodes_cycles;
// Cleared while a hash table is rebuilt, so the nodes being re-keyed keep their ids.
extern bool node_evacuation;

// Switches node evacuation off while node ids are held in locals across allocations
// (and while a table re-keys nodes); restored on every path, errors included.
struct evacuation_off {
    bool saved = node_evacuation;
    evacuation_off() { node_evacuation = false; }
    ~evacuation_off() { node_evacuation = saved; }
    evacuation_off(const evacuation_off&) = delete;
    evacuation_off& operator=(const evacuation_off&) = delete;
};

void collector_init_stats();
void collector_collect();
void collector_collect_if_enabled();
// From the allocator: collects when enabled and enough was allocated since the last
// collection (as much as was live then, at least a few frames' worth), so that a large
// live heap is not marked again for every frame filled.
void collector_collect_if_due();
bool collector_active_q();

// Memory outside the collected heap that a marked value keeps alive (an image's pixels):
// counted in the live size that sets the next collection's budget.
void collector_add_live_bytes(size_t bytes);

using mark_callback = void (*)();
// A callback already listed is not added again: start-up may run more than once.
void collector_add_mark_callback(mark_callback callback);
void collector_remove_mark_callback(mark_callback callback);

// Marking, for the per-type markers and the tables that hold nodes. Each takes the
// address of the reference so that a node moved by evacuation is rewritten in place.
bool collector_mark_node(node_id* ref);
void collector_mark_series_values(node_id* ref);
void collector_mark_block(cell* block);
void collector_mark_context(node_id* ref);
void collector_mark_values(cell* start, cell* end);
// The node a reference holds after this collection's evacuation (itself when not moved).
node_id collector_forward(node_id node);

// How a type's payload is marked; each datatype with references registers its own.
using cell_marker = void (*)(cell* value);
void collector_register_marker(uint32_t type, cell_marker marker);

// Keeps a value alive; the guard's cell is updated when its nodes move.
class root_cell {
public:
    explicit root_cell(const cell& value = cell{TYPE_NONE, 0, 0, 0});
    ~root_cell();
    root_cell(const root_cell&) = delete;
    root_cell& operator=(const root_cell&) = delete;
    cell value;
    root_cell* prev;
    root_cell* next;
};

class root_node;
extern root_node* root_node_list;

// Keeps a node (and, with cells, its contents) alive; the id is rewritten when it moves.
// Inline: series code takes one around nearly every allocation.
class root_node {
public:
    explicit root_node(node_id n = 0, bool cells = true)
        : node(n), has_cells(cells), prev(nullptr), next(root_node_list) {
        if (next) next->prev = this;
        // GCC sees a local's address stored in a global; the destructor takes it out again.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdangling-pointer"
#endif
        root_node_list = this;
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
    }
    ~root_node() {
        if (prev) prev->next = next;
        else root_node_list = next;
        if (next) next->prev = prev;
    }
    root_node(const root_node&) = delete;
    root_node& operator=(const root_node&) = delete;
    node_id node;
    bool has_cells;
    root_node* prev;
    root_node* next;
};

// A raw address inside a series buffer, adjusted when compaction moves that buffer.
// The buffer itself must be kept alive by other means.
class interior_pointer {
public:
    explicit interior_pointer(uint8_t** slot);
    ~interior_pointer();
    interior_pointer(const interior_pointer&) = delete;
    interior_pointer& operator=(const interior_pointer&) = delete;
    uint8_t** slot;
    interior_pointer* prev;
    interior_pointer* next;
};

struct collector_stats {
    size_t live_buffers;
    size_t live_bytes;
    size_t unscanned_bytes;  // of live_bytes: big buffers of other units than cells
    size_t freed_buffers;
    size_t freed_bytes;
    size_t evacuated_frames;
};
const collector_stats& collector_last_stats();

}  // namespace kel
