// In-place sorts of fixed-width element arrays driven by a comparator callback: a stable
// natural merge sort and an unstable quicksort.
//
// A comparator may run Kel code, which may allocate and collect. Both sorts therefore
// hold positions as element indexes, keep every element either in the array or in the
// stable sort's temporary buffer at each comparison (never only in a C++ local), and,
// for elements inside a series buffer, re-read the base address after every comparison.
#pragma once
#include <cstddef>
#include <cstdint>

#include "runtime/memory.h"

namespace kel {

// Negative when a sorts before b, 0 when equal, positive when after. The two context
// words are passed through untouched. May raise (kel_exit).
using sort_comparator = int32_t (*)(const void* a, const void* b, uintptr_t context1,
                                    uintptr_t context2);

// Where the elements are.
struct sort_elements {
    uint8_t* base;                         // element 0, as of now
    series_buffer* const* slot = nullptr;  // node-table slot of the buffer holding them,
                                           // null for memory the collector never moves
    size_t start = 0;                      // bytes from that buffer's offset to element 0
    bool cells = false;                    // value cells: the collector must see them all
};

// Elements of a series buffer from `start` bytes after its offset. The node table never
// moves, so its slot stays valid while the buffer behind it does not.
inline sort_elements series_elements(node_id node, size_t start, bool cells) {
    return {node_buffer(node)->offset + start, &node_table[node], start, cells};
}

// Equal elements keep their input order. Raises script/too-long when the temporary
// buffer ((n / 2) x w bytes) does not fit in 32 bits, internal/no-memory when the heap
// refuses it.
void sort_stable(const sort_elements& elements, size_t n, size_t w, uintptr_t context1,
                 uintptr_t context2, sort_comparator compare);
void sort_quick_entry(const sort_elements& elements, size_t n, size_t w, uintptr_t context1,
                      uintptr_t context2, sort_comparator compare);

// Cells holding integers (their value in w2), in the order the sorts above give them with a
// comparator of those values; no Kel code runs, so nothing moves meanwhile.
void sort_integer_cells(const sort_elements& elements, size_t n, bool reverse, bool stable);

inline void sort_stable(void* base, size_t n, size_t w, uintptr_t context1, uintptr_t context2,
                        sort_comparator compare) {
    sort_stable(sort_elements{static_cast<uint8_t*>(base)}, n, w, context1, context2, compare);
}
inline void sort_quick_entry(void* base, size_t n, size_t w, uintptr_t context1,
                             uintptr_t context2, sort_comparator compare) {
    sort_quick_entry(sort_elements{static_cast<uint8_t*>(base)}, n, w, context1, context2,
                     compare);
}

// The stable sort's temporary buffer, owned for the length of one sort and released on
// every way out. With cell elements, part of the array lives only here between two
// comparisons: such a buffer is zero-filled and chained on `sort_cell_buffers`, and the
// collector marks every cell of every buffer on the chain.
class sort_buffer {
public:
    sort_buffer(size_t bytes, bool cells);
    ~sort_buffer();
    sort_buffer(const sort_buffer&) = delete;
    sort_buffer& operator=(const sort_buffer&) = delete;

    uint8_t* data() const { return data_; }
    size_t bytes() const { return bytes_; }
    const sort_buffer* outer() const { return outer_; }

private:
    uint8_t* data_;
    size_t bytes_;
    bool cells_;
    sort_buffer* outer_ = nullptr;
};

// Innermost running stable sort of cells (a comparator may sort again), or null.
extern sort_buffer* sort_cell_buffers;

}  // namespace kel
