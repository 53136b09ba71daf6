#include "runtime/collector.h"

namespace kel {

bool collector_enabled = false;

// Marking and compaction come with the tables they sweep; until then nothing is
// ever enabled, so there is nothing to collect.
void collector_collect_if_enabled() {}

}  // namespace kel
