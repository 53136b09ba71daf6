// Garbage collector: the allocator's entry points into it.
#pragma once

namespace kel {

// Off until start-up enables it; while off, a full frame always leads to a new frame.
extern bool collector_enabled;

void collector_collect_if_enabled();

}  // namespace kel
