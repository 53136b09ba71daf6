#include "runtime/cycles.h"

#include "runtime/collector.h"
#include "runtime/error_catalog.h"

namespace kel {

namespace {
node_id stack[CYCLES_CAPACITY];
size_t top = 0;
}  // namespace

void cycles_init() { top = 0; }

void cycles_push(node_id node) {
    stack[top++] = node;
    if (top == CYCLES_CAPACITY) {
        top = 0;
        fire(internal_error::too_deep);
    }
}

void cycles_pop() {
    if (top > 0) top--;
}

void cycles_pop_n(size_t n) { top = n > top ? 0 : top - n; }

void cycles_reset() { top = 0; }

bool cycles_find_q(node_id node) {
    for (size_t i = 0; i < top; i++)
        if (stack[i] == node) return true;
    return false;
}

size_t cycles_depth() { return top; }

void cycles_relocate() {
    for (size_t i = 0; i < top; i++) stack[i] = collector_forward(stack[i]);
}

node_id cycles_node_of(const cell* value) {
    uint32_t type = TYPE_OF(value);
    return type == TYPE_OBJECT || type == TYPE_ERROR || type == TYPE_PORT ? value->w1 : value->w2;
}

}  // namespace kel
