// Output hooks: callbacks that see what print and the low-level writers output, so a
// GUI host can show it too.
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel {

// Receives each formed print/prin value (a string) and whether a line end follows.
using value_hook = void (*)(const cell* formed, bool new_line);
// Receives each piece of raw text written to standard output, as UTF-8 bytes.
using text_hook = void (*)(const char* text, int32_t length, uint32_t flag);

template <class Hook>
struct hook_array {
    Hook* entries;
    uint32_t count;
    uint32_t capacity;
};

constexpr uint32_t HOOKS_GROWTH = 5;

void output_hooks_init();
const hook_array<value_hook>& value_hooks();
const hook_array<text_hook>& text_hooks();

namespace dyn_print {
// Appends each given hook to its list; a null one is skipped.
void add(value_hook on_value, text_hook on_text);
}  // namespace dyn_print

void output_hooks_unregister(value_hook on_value, text_hook on_text);

// Removes the first entry equal to the hook; a null hook or no match changes nothing.
template <class Hook>
void output_hook_remove(Hook hook, hook_array<Hook>& hooks) {
    if (!hook) return;
    for (uint32_t i = 0; i < hooks.count; i++) {
        if (hooks.entries[i] != hook) continue;
        for (uint32_t j = i + 1; j < hooks.count; j++) hooks.entries[j - 1] = hooks.entries[j];
        hooks.count--;
        return;
    }
}

void output_hooks_run_values(const cell* formed, bool new_line);
void output_hooks_run_text(const char* text, int32_t length, uint32_t flag);

}  // namespace kel
