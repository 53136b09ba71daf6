#include "runtime/output_hooks.h"

#include <cstring>

#include "runtime/heap.h"

namespace kel {

namespace {

hook_array<value_hook> value_list{};
hook_array<text_hook> text_list{};

template <class Hook>
void reset(hook_array<Hook>& hooks) {
    heap_free(hooks.entries);
    hooks.entries = static_cast<Hook*>(heap_alloc(HOOKS_GROWTH * sizeof(Hook)));
    hooks.count = 0;
    hooks.capacity = HOOKS_GROWTH;
}

template <class Hook>
void append(Hook hook, hook_array<Hook>& hooks) {
    if (!hook) return;
    if (hooks.count == hooks.capacity) {
        uint32_t capacity = hooks.capacity + HOOKS_GROWTH;
        auto* grown = static_cast<Hook*>(heap_alloc(capacity * sizeof(Hook)));
        if (hooks.count) std::memcpy(grown, hooks.entries, hooks.count * sizeof(Hook));
        heap_free(hooks.entries);
        hooks.entries = grown;
        hooks.capacity = capacity;
    }
    hooks.entries[hooks.count++] = hook;
}

}  // namespace

void output_hooks_init() {
    reset(value_list);
    reset(text_list);
}

const hook_array<value_hook>& value_hooks() { return value_list; }
const hook_array<text_hook>& text_hooks() { return text_list; }

void dyn_print::add(value_hook on_value, text_hook on_text) {
    append(on_value, value_list);
    append(on_text, text_list);
}

void output_hooks_unregister(value_hook on_value, text_hook on_text) {
    output_hook_remove(on_value, value_list);
    output_hook_remove(on_text, text_list);
}

// A hook may add or remove hooks while they run: the entries are re-read at each step.
void output_hooks_run_values(const cell* formed, bool new_line) {
    for (uint32_t i = 0; i < value_list.count; i++) value_list.entries[i](formed, new_line);
}

void output_hooks_run_text(const char* text, int32_t length, uint32_t flag) {
    for (uint32_t i = 0; i < text_list.count; i++) text_list.entries[i](text, length, flag);
}

}  // namespace kel
