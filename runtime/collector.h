// Garbage collector: the allocator's entry points into it.
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel {

// Off until start-up enables it; while off, a full frame always leads to a new frame.
extern bool collector_enabled;

void collector_collect_if_enabled();

// Collections that evacuated node frames (renumbering nodes); node-keyed hash tables
// compare it with their stamp.
extern uint32_t collector_nodes_cycles;
// True while a collection runs.
extern bool collector_active;
// Off while a hash table is rebuilt: nodes being re-keyed must not be renumbered.
extern bool collector_node_evacuation;

// Fresh nodes that C++ keeps only in locals across an allocation. The collector marks
// every rooted node (with its cells when it holds cells; a hash table record with
// hashtable_mark) and rewrites the local when it relocates the node.
struct collector_root {
    node_id* node;
    bool hashtable;
};
constexpr uint32_t COLLECTOR_ROOTS_MAX = 256;
extern collector_root collector_roots[COLLECTOR_ROOTS_MAX];
extern uint32_t collector_root_count;

struct root_guard {
    explicit root_guard(node_id& node, bool hashtable = false) {
        collector_roots[collector_root_count++] = {&node, hashtable};
    }
    ~root_guard() { collector_root_count--; }
    root_guard(const root_guard&) = delete;
    root_guard& operator=(const root_guard&) = delete;
};

}  // namespace kel
