#include "runtime/collector.h"

namespace kel {

bool collector_enabled = false;
uint32_t collector_nodes_cycles = 0;
bool collector_active = false;
bool collector_node_evacuation = true;
collector_root collector_roots[COLLECTOR_ROOTS_MAX];
uint32_t collector_root_count = 0;

// Marking and compaction come with the tables they sweep; until then nothing is
// ever enabled, so there is nothing to collect.
void collector_collect_if_enabled() {}

}  // namespace kel
