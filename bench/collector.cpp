// Full collections of a heap with 1M live cells in nested blocks, plus as much garbage.
#include <chrono>
#include <cstdio>

#include "runtime/collector.h"
#include "runtime/memory.h"

using namespace kel;

int main() {
    init_memory();
    constexpr uint32_t blocks = 10000, cells_per_block = 100;
    root_node outer(alloc_cells(blocks));
    for (uint32_t i = 0; i < blocks; i++) {
        node_id inner = alloc_cells(cells_per_block);
        for (uint32_t j = 0; j < cells_per_block; j++) *alloc_tail_buffer(node_buffer(inner)) = cell{TYPE_INTEGER, 0, j, 0};
        alloc_cells(cells_per_block);  // garbage between the live blocks
        *alloc_tail_buffer(node_buffer(outer.node)) = cell{TYPE_BLOCK, 0, inner, 0};
    }
    auto start = std::chrono::steady_clock::now();
    collector_collect();  // the first collection compacts away the garbage
    double first = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    constexpr int runs = 10;
    start = std::chrono::steady_clock::now();
    for (int i = 0; i < runs; i++) collector_collect();
    double steady = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / runs;
    double live_mb = collector_last_stats().live_bytes / 1e6;
    std::printf("collector: %.1f MB live in %zu buffers\n", live_mb, collector_last_stats().live_buffers);
    std::printf("  first collection (half garbage): %.2f ms\n", first * 1e3);
    std::printf("  steady collection: %.2f ms, %.2f ms per live MB\n", steady * 1e3, steady * 1e3 / live_mb);
}
