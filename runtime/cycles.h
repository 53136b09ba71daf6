// The cycle stack: the chain of containers a recursive walk (mold, form, compare, copy,
// bind, ownership) is inside, so that a container met again is a cycle, not a descent.
#pragma once
#include <cstddef>
#include <cstdint>

#include "runtime/cell.h"

namespace kel {

constexpr size_t CYCLES_CAPACITY = 1000;

void cycles_init();
// Raises internal/too-deep, emptying the stack, when the push fills it.
void cycles_push(node_id node);
void cycles_pop();
void cycles_pop_n(size_t n);
void cycles_reset();
bool cycles_find_q(node_id node);
size_t cycles_depth();
// Rewrites the nodes on the stack through the collector's forwarding.
void cycles_relocate();
// The node a value is walked by: w1 for objects, w2 for series.
node_id cycles_node_of(const cell* value);

// Pops on scope exit, so an error raised inside a walk leaves the stack balanced.
class cycles_guard {
public:
    explicit cycles_guard(node_id node) { cycles_push(node); }
    ~cycles_guard() { cycles_pop(); }
    cycles_guard(const cycles_guard&) = delete;
    cycles_guard& operator=(const cycles_guard&) = delete;
};

}  // namespace kel
