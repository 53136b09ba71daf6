// Insert and lookup of 1M integer keys and 1M string keys in a hash! index and in a map!
// table (keys at every other cell, looked up exactly and ignoring case), against
// std::unordered_map doing the same work.
//
// Lookups go in one fixed shuffled order, the same for both tables: in insertion order the
// standard map's nodes (allocated in that order) would be walked through memory sequentially,
// which measures the allocator's layout more than the table.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "datatypes/registry.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"

using namespace kel;

namespace {

constexpr uint32_t N = 1000000;

// The lookup order: a fixed permutation of 0..N-1.
std::vector<uint32_t> lookup_order() {
    std::vector<uint32_t> order(N);
    for (uint32_t i = 0; i < N; i++) order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(12345));
    return order;
}
const std::vector<uint32_t> order = lookup_order();

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

cell text_cell(const std::string& s) {
    node_id n = alloc_bytes(s.size());
    series_buffer* b = node_buffer(n);
    std::memcpy(b->offset, s.data(), s.size());
    b->tail = b->offset + s.size();
    cell c{};
    set_series_value(&c, TYPE_STRING, n, 0);
    return c;
}

struct timing {
    double insert;
    double lookup;
};

timing run_kel(const std::vector<cell>& keys, const std::vector<cell>& probes) {
    node_id block = alloc_cells(N);
    node_id table = hashtable_make(N, block, HASH_KIND_HASH);
    auto start = std::chrono::steady_clock::now();
    for (uint32_t i = 0; i < N; i++) {
        *alloc_tail_buffer(node_buffer(block)) = keys[i];
        hashtable_put(table, i);
    }
    timing t{seconds_since(start), 0};
    start = std::chrono::steady_clock::now();
    uint64_t sum = 0;
    for (uint32_t i = 0; i < N; i++) sum += static_cast<uint32_t>(hashtable_find(table, &probes[i], 0, false, false, 0));
    t.lookup = seconds_since(start);
    if (sum != uint64_t{N} * (N - 1) / 2) std::printf("  (kel lookups went wrong)\n");
    return t;
}

// A map! table made for N keys (as the standard map is reserved); op: the lookups' equality.
timing run_kel_map(const std::vector<cell>& keys, const std::vector<cell>& probes, int32_t op) {
    node_id block = alloc_cells(2 * N);
    node_id table = hashtable_make(N, block, HASH_KIND_MAP);
    const cell value{TYPE_INTEGER, 0, 0, 0};
    auto start = std::chrono::steady_clock::now();
    for (uint32_t i = 0; i < N; i++) {
        *alloc_tail_buffer(node_buffer(block)) = keys[i];
        *alloc_tail_buffer(node_buffer(block)) = value;
        int status;
        hashtable_put_value(table, 2 * i, &status, COMP_STRICT_EQUAL);
    }
    timing t{seconds_since(start), 0};
    start = std::chrono::steady_clock::now();
    uint64_t sum = 0;
    for (uint32_t i = 0; i < N; i++) sum += static_cast<uint32_t>(hashtable_find(table, &probes[i], 0, false, false, op));
    t.lookup = seconds_since(start);
    if (sum != uint64_t{N} * (N - 1)) std::printf("  (kel map lookups went wrong)\n");
    return t;
}

template <class K>
timing run_std(const std::vector<K>& keys, const std::vector<K>& probes) {
    std::unordered_map<K, uint32_t> map;
    map.reserve(N);
    auto start = std::chrono::steady_clock::now();
    for (uint32_t i = 0; i < N; i++) map.emplace(keys[i], i);
    timing t{seconds_since(start), 0};
    start = std::chrono::steady_clock::now();
    uint64_t sum = 0;
    for (uint32_t i = 0; i < N; i++) sum += map.find(probes[i])->second;
    t.lookup = seconds_since(start);
    if (sum != uint64_t{N} * (N - 1) / 2) std::printf("  (std lookups went wrong)\n");
    return t;
}

void report(const char* what, timing kel, timing std_map) {
    std::printf("%s\n", what);
    std::printf("  insert: kel %.1f ms, std %.1f ms, ratio %.2f\n", kel.insert * 1e3, std_map.insert * 1e3,
                kel.insert / std_map.insert);
    std::printf("  lookup: kel %.1f ms, std %.1f ms, ratio %.2f\n", kel.lookup * 1e3, std_map.lookup * 1e3,
                kel.lookup / std_map.lookup);
}

// The keys to look up, in the lookup order and read sequentially, as a program's own
// keys would be: each table pays for its lookups, not for fetching the next key.
template <class K>
std::vector<K> in_lookup_order(const std::vector<K>& keys) {
    std::vector<K> probes;
    for (uint32_t i = 0; i < N; i++) probes.push_back(keys[order[i]]);
    return probes;
}

}  // namespace

int main() {
    init_memory();

    std::vector<cell> int_cells;
    std::vector<int32_t> ints;
    for (uint32_t i = 0; i < N; i++) {
        auto v = static_cast<int32_t>(i * 2654435761u);
        ints.push_back(v);
        int_cells.push_back(cell{TYPE_INTEGER, 0, static_cast<uint32_t>(v), 0});
    }
    report("1M integer keys (ratio: kel / std::unordered_map)", run_kel(int_cells, in_lookup_order(int_cells)),
           run_std(ints, in_lookup_order(ints)));

    std::vector<cell> text_cells;
    std::vector<std::string> texts;
    for (uint32_t i = 0; i < N; i++) {
        texts.push_back("key-" + std::to_string(i * 2654435761u));
        text_cells.push_back(text_cell(texts.back()));
    }
    // Equal strings, not the inserted ones: a lookup compares the text.
    std::vector<cell> text_probes;
    for (uint32_t i = 0; i < N; i++) text_probes.push_back(text_cell(texts[order[i]]));
    timing std_texts = run_std(texts, in_lookup_order(texts));
    report("1M string keys (ratio: kel / std::unordered_map)", run_kel(text_cells, text_probes), std_texts);
    report("1M string keys in a map!, exact (ratio: kel / std::unordered_map)",
           run_kel_map(text_cells, text_probes, COMP_STRICT_EQUAL), std_texts);
    report("1M string keys in a map!, ignoring case (ratio: kel / std::unordered_map)",
           run_kel_map(text_cells, text_probes, COMP_EQUAL), std_texts);
    timing std_ints = run_std(ints, in_lookup_order(ints));
    report("1M integer keys in a map! (ratio: kel / std::unordered_map)",
           run_kel_map(int_cells, in_lookup_order(int_cells), COMP_EQUAL), std_ints);
    return 0;
}
