#include "runtime/heap.h"

#include <malloc.h>

#include <cstdlib>
#include <unordered_set>

#include "runtime/exits.h"

namespace kel {

namespace {
// Blocks still held; a pointer-keyed set, since blocks are few and long-lived.
std::unordered_set<void*>& tracked() {
    static auto* blocks = new std::unordered_set<void*>;
    return *blocks;
}
}  // namespace

void* heap_alloc(size_t bytes) {
    void* block = std::malloc(bytes ? bytes : 1);
    if (!block) runtime_error_exit(RUNTIME_OUT_OF_MEMORY, 0);
    tracked().insert(block);
    return block;
}

void* heap_alloc_zeroed(size_t bytes) {
    void* block = std::calloc(1, bytes ? bytes : 1);
    if (!block) runtime_error_exit(RUNTIME_OUT_OF_MEMORY, 0);
    tracked().insert(block);
    return block;
}

void heap_free(void* block) {
    if (!block) return;
    tracked().erase(block);
    std::free(block);
}

size_t heap_in_use() {
    size_t total = 0;
    for (void* block : tracked()) total += malloc_usable_size(block) + 16;
    return total;
}

void heap_release_all() {
    for (void* block : tracked()) std::free(block);
    tracked().clear();
}

}  // namespace kel
