// The runtime a fuzz target runs in: initialised on the first input, collector on.
#pragma once
#include "runtime/collector.h"
#include "runtime/init.h"

namespace kel {

inline void fuzz_runtime_ready() {
    static const bool ready = [] {
        runtime_init();
        collector_enabled = true;
        return true;
    }();
    (void)ready;
}

}  // namespace kel
