// The runtime's tracked process heap: collector tables, scratch buffers, hook arrays and
// fixed series live here and are released together when the process ends.
#pragma once
#include <cstddef>

namespace kel {

// A failure is fatal: runtime error 94.
void* heap_alloc(size_t bytes);
void* heap_alloc_zeroed(size_t bytes);
void heap_free(void* block);
void heap_release_all();
// Bytes of the blocks still held, each counted with a 16-byte header.
size_t heap_in_use();

}  // namespace kel
