// The runtime a fuzz target runs in: initialised on the first input, collector on.
#pragma once
#include <string_view>

#include "boot/init.h"
#include "boot/script.h"
#include "evaluator/interpreter.h"
#include "runtime/collector.h"
#include "runtime/exits.h"
#include "runtime/stack.h"

namespace kel {

inline void fuzz_runtime_ready() {
    static const bool ready = [] {
        runtime_init();
        collector_enabled = true;
        return true;
    }();
    (void)ready;
}

// Pushes the text as a global block and evaluates it, its value pushed after the block.
// Gives the exit code; a raised error's pending exit is dropped.
inline uint32_t eval_kel_text(std::string_view text) {
    cell* code = stack::push_cell();
    load_global_text(code, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    uint32_t rc = 0;
    try {
        rc = eval_block(code, false);
    } catch (const kel_exit& e) {
        rc = e.code;
    }
    pending_code = 0;
    return rc;
}

}  // namespace kel
