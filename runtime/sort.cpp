#include "runtime/sort.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "runtime/cell.h"
#include "runtime/error_catalog.h"

namespace kel {

sort_buffer* sort_cell_buffers = nullptr;

sort_buffer::sort_buffer(size_t bytes, bool cells) : bytes_(bytes), cells_(cells) {
    // Owned by this frame alone, so the plain C heap: every way out releases it.
    data_ = static_cast<uint8_t*>(std::malloc(bytes ? bytes : 1));
    if (!data_) fire(internal_error::no_memory);
    if (cells_) {
        // Unused cells must read as empty to the collector.
        std::memset(data_, 0, bytes);
        outer_ = sort_cell_buffers;
        sort_cell_buffers = this;
    }
}

sort_buffer::~sort_buffer() {
    if (cells_) sort_cell_buffers = outer_;
    std::free(data_);
}

namespace {

// Runs shorter than this are extended by insertion before they are merged.
constexpr size_t MIN_RUN = 24;

// True when a comparator result keeps a pair in the order of `dir` (the sign a pair in
// that order compares with).
inline bool in_order(int32_t c, int dir) { return c == 0 || (c < 0) == (dir < 0); }

// A comparator called through its pointer: it may run Kel code, which may collect.
struct called_comparator {
    static constexpr bool may_collect = true;
    uintptr_t c1, c2;
    sort_comparator cmp;
    int32_t operator()(const uint8_t* a, const uint8_t* b) const { return cmp(a, b, c1, c2); }
};

// Integer cells compared inline, ascending or descending.
struct integer_cells_comparator {
    static constexpr bool may_collect = false;
    bool reverse;
    int32_t operator()(const uint8_t* a, const uint8_t* b) const {
        int32_t x = static_cast<int32_t>(reinterpret_cast<const cell*>(a)->w2);
        int32_t y = static_cast<int32_t>(reinterpret_cast<const cell*>(b)->w2);
        if (reverse) std::swap(x, y);
        return (x > y) - (x < y);
    }
};

// W is the element width when known at compile time, 0 when only at run time.
template <size_t W, class Compare = called_comparator>
class sorter {
public:
    sorter(const sort_elements& e, size_t w, Compare cmp)
        : base_(e.base), slot_(e.slot), start_(e.start), w_(w), cmp_(cmp) {}

    void sort_stable(size_t n, bool cells);
    void sort_quick_entry(size_t n);

private:
    uint8_t* base_;
    series_buffer* const* slot_;
    size_t start_;
    size_t w_;
    Compare cmp_;

    size_t width() const {
        if constexpr (W != 0) return W;
        else return w_;
    }
    uint8_t* at(size_t i) const { return base_ + i * width(); }

    // The comparator may have let the collector move the buffer under the array: the
    // base and the given positions in the array follow it.
    template <class... P>
    void rebase(P&... positions) {
        if (!slot_) return;
        uint8_t* now = (*slot_)->offset + start_;
        uintptr_t delta = reinterpret_cast<uintptr_t>(now) - reinterpret_cast<uintptr_t>(base_);
        ((positions = reinterpret_cast<uint8_t*>(reinterpret_cast<uintptr_t>(positions) + delta)),
         ...);
        base_ = now;
    }
    template <class... P>
    int32_t compare_at(const uint8_t* a, const uint8_t* b, P&... positions) {
        int32_t r = cmp_(a, b);
        if constexpr (Compare::may_collect) rebase(positions...);
        return r;
    }
    int32_t compare(size_t i, size_t j) { return compare_at(at(i), at(j)); }

    void copy(uint8_t* to, const uint8_t* from, size_t count) const {
        std::memcpy(to, from, count * width());
    }
    void swap(size_t i, size_t j) { swap_bytes(at(i), at(j)); }
    void swap_bytes(uint8_t* a, uint8_t* b) const;
    void swap_ranges(size_t a, size_t b, size_t count) {
        for (size_t k = 0; k < count; k++) swap(a + k, b + k);
    }
    void reverse(size_t lo, size_t hi) {
        while (hi - lo > 1) swap(lo++, --hi);
    }
    void rotate(size_t first, size_t middle, size_t last);
    void block_to_front(size_t first, size_t middle, size_t last);
    void block_to_end(size_t first, size_t middle, size_t last);
    void insertion_sort(size_t lo, size_t from, size_t hi);

    size_t sort_find_run(size_t start, size_t end);
    size_t next_run(size_t start, size_t n);
    void merge_buffered(size_t lo, size_t mid, size_t hi, uint8_t* buffer);

    size_t grow_prefix(size_t p, size_t n, int dir);
    void order3(size_t a, size_t b, size_t c);
    void sort_quick(size_t lo, ptrdiff_t sample, size_t n);
};

template <size_t W, class Compare>
inline void sorter<W, Compare>::swap_bytes(uint8_t* a, uint8_t* b) const {
    if constexpr (W != 0) {
        uint8_t t[W];
        std::memcpy(t, a, W);
        std::memcpy(a, b, W);
        std::memcpy(b, t, W);
    } else if (w_ % 4 == 0) {
        for (size_t k = 0; k < w_; k += 4) {
            uint32_t x, y;
            std::memcpy(&x, a + k, 4);
            std::memcpy(&y, b + k, 4);
            std::memcpy(a + k, &y, 4);
            std::memcpy(b + k, &x, 4);
        }
    } else {
        for (size_t k = 0; k < w_; k++) std::swap(a[k], b[k]);
    }
}

// Brings [middle, last) before [first, middle), by swaps only.
template <size_t W, class Compare>
void sorter<W, Compare>::rotate(size_t first, size_t middle, size_t last) {
    if (first == middle || middle == last) return;
    size_t next = middle;
    while (first != next) {
        swap(first++, next++);
        if (next == last) next = middle;
        else if (first == middle) middle = next;
    }
}

// Moves [middle, last) to the front of [first, last) in order; the rest may be shuffled.
template <size_t W, class Compare>
void sorter<W, Compare>::block_to_front(size_t first, size_t middle, size_t last) {
    if (middle - first >= last - middle) swap_ranges(first, middle, last - middle);
    else rotate(first, middle, last);
}

// Moves [first, middle) to the end of [first, last) in order; the rest may be shuffled.
template <size_t W, class Compare>
void sorter<W, Compare>::block_to_end(size_t first, size_t middle, size_t last) {
    size_t k = middle - first;
    if (last - middle >= k) swap_ranges(first, last - k, k);
    else rotate(first, middle, last);
}

// Sorts [lo, hi) whose part [lo, from) is in order, by neighbour swaps.
template <size_t W, class Compare>
void sorter<W, Compare>::insertion_sort(size_t lo, size_t from, size_t hi) {
    size_t w = width();
    for (size_t i = std::max(from, lo + 1); i < hi; i++) {
        uint8_t* first = at(lo);
        for (uint8_t* p = at(i); p > first && compare_at(p - w, p, p, first) > 0; p -= w)
            swap_bytes(p - w, p);
    }
}

// ---- Stable natural merge sort ------------------------------------------------------

// A descending run is strictly descending, so reversing it keeps equal elements in order.
template <size_t W, class Compare>
size_t sorter<W, Compare>::sort_find_run(size_t start, size_t end) {
    if (end - start < 2) return end;
    size_t e = start + 2;
    if (compare(start, start + 1) > 0) {
        while (e < end && compare(e - 1, e) > 0) e++;
        reverse(start, e);
    } else {
        while (e < end && compare(e - 1, e) <= 0) e++;
    }
    return e;
}

template <size_t W, class Compare>
size_t sorter<W, Compare>::next_run(size_t start, size_t n) {
    size_t e = sort_find_run(start, n);
    size_t want = std::min(start + MIN_RUN, n);
    if (e < want) {
        insertion_sort(start, e, want);
        e = want;
    }
    return e;
}

// Merges the adjacent runs [lo, mid) and [mid, hi) through the shorter one's copy. When
// the comparator raises, the elements still in the buffer go back into the gap, so the
// array stays a permutation of its input.
template <size_t W, class Compare>
void sorter<W, Compare>::merge_buffered(size_t lo, size_t mid, size_t hi, uint8_t* buffer) {
    size_t left = mid - lo, right = hi - mid;
    size_t w = width();
    if (left <= right) {
        copy(buffer, at(lo), left);
        const uint8_t *b = buffer, *b_end = buffer + left * w;
        uint8_t *r = at(mid), *r_end = at(hi), *out = at(lo);
        try {
            while (b < b_end && r < r_end) {
                if (compare_at(b, r, r, r_end, out) > 0) {
                    copy(out, r, 1);
                    r += w;
                } else {
                    copy(out, b, 1);
                    b += w;
                }
                out += w;
            }
        } catch (...) {
            rebase(out);
            copy(out, b, (b_end - b) / w);
            throw;
        }
        copy(out, b, (b_end - b) / w);
    } else {
        copy(buffer, at(mid), right);
        const uint8_t* b = buffer + right * w;  // after the last one left in the buffer
        uint8_t *l = at(mid), *l_start = at(lo), *out = at(hi);
        try {
            while (l > l_start && b > buffer) {
                out -= w;
                if (compare_at(l - w, b - w, l, l_start, out) > 0) {
                    l -= w;
                    copy(out, l, 1);
                } else {
                    b -= w;
                    copy(out, b, 1);
                }
            }
        } catch (...) {
            rebase(l);
            copy(l, buffer, (b - buffer) / w);
            throw;
        }
        copy(l, buffer, (b - buffer) / w);
    }
}

// Powersort node power of the boundary between [s1, e1) and [e1, e2): the depth at which
// the two runs' midpoints part in the binary subdivision of [0, n).
inline uint32_t node_power(size_t s1, size_t e1, size_t e2, size_t n) {
    uint64_t a = s1 + e1, b = e1 + e2;
    uint32_t power = 1;
    for (;;) {
        if (a >= n) {
            a -= n;
            b -= n;
        } else if (b >= n) {
            return power;
        }
        a <<= 1;
        b <<= 1;
        power++;
    }
}

template <size_t W, class Compare>
void sorter<W, Compare>::sort_stable(size_t n, bool cells) {
    if (n < 2) return;
    size_t bytes;
    if (__builtin_mul_overflow(n / 2, width(), &bytes) || bytes > UINT32_MAX)
        fire(script_error::too_long);
    sort_buffer buffer(bytes, cells);

    // Powers on the stack rise strictly and never exceed floor(log2 n) + 1.
    struct run {
        size_t start;
        uint32_t power;
    } stack[65];
    int top = 0;
    size_t s1 = 0, e1 = next_run(0, n);
    while (e1 < n) {
        size_t e2 = next_run(e1, n);
        uint32_t power = node_power(s1, e1, e2, n);
        while (top > 0 && stack[top - 1].power >= power) {
            merge_buffered(stack[top - 1].start, s1, e1, buffer.data());
            s1 = stack[--top].start;
        }
        stack[top++] = {s1, power};
        s1 = e1;
        e1 = e2;
    }
    while (top > 0) {
        merge_buffered(stack[top - 1].start, s1, n, buffer.data());
        s1 = stack[--top].start;
    }
}

// ---- Quicksort ----------------------------------------------------------------------

// Grows the ordered prefix [0, p) of a largely ordered array by stretches in its order
// found past its end; returns the new end.
template <size_t W, class Compare>
size_t sorter<W, Compare>::grow_prefix(size_t p, size_t n, int dir) {
    size_t probe = p + 10;
    while (probe < n) {
        size_t e = probe + 1;
        while (e < n && in_order(compare(e - 1, e), dir)) e++;
        size_t s = probe;
        while (s > p && in_order(compare(s - 1, s), dir)) s--;
        if (e - s < 4) {
            probe = e;
            continue;
        }
        // Trim the stretch's head until it follows the prefix's last element.
        size_t limit = std::max<size_t>(1, std::min((e - s) / 2, p / 4));
        size_t k = 0;
        while (k < limit && !in_order(compare(p - 1, s + k), dir)) k++;
        if (k == limit) {
            probe = e;
            continue;
        }
        rotate(p, s + k, e);
        p += e - (s + k);
        // What lay between failed to follow a smaller prefix end, and fails again: going on
        // after the stretch keeps the scan linear.
        probe = std::max(p + 10, e);
    }
    return p;
}

template <size_t W, class Compare>
void sorter<W, Compare>::sort_quick_entry(size_t n) {
    if (n < 2) return;
    size_t first = 1;  // second element of the first unequal pair
    int32_t c = 0;
    while (first < n && (c = compare(first - 1, first)) == 0) first++;
    if (first == n) return;
    int dir = c < 0 ? -1 : 1;
    size_t p = first + 1;
    while (p < n && in_order(compare(p - 1, p), dir)) p++;

    if (p < n) {
        int64_t count = 0;  // ascending pairs minus descending ones
        for (size_t i = p; i + 1 < n; i += 97) {
            c = compare(i, i + 1);
            count += c < 0 ? 1 : c > 0 ? -1 : 0;
        }
        if (static_cast<uint64_t>(count < 0 ? -count : count) > n / 512) {
            int count_dir = count > 0 ? -1 : 1;
            if (count_dir != dir) {
                dir = count_dir;
                p = first;
            }
            p = grow_prefix(p, n, dir);
        }
    }
    if (dir > 0) reverse(0, p);
    if (p < n) sort_quick(0, static_cast<ptrdiff_t>(p), n);
}

template <size_t W, class Compare>
void sorter<W, Compare>::order3(size_t a, size_t b, size_t c) {
    if (compare(a, b) > 0) swap(a, b);
    if (compare(b, c) > 0) {
        swap(b, c);
        if (compare(a, b) > 0) swap(a, b);
    }
}

// Sorts [lo, lo + n) holding a sorted sample of |sample| elements at its front (> 0) or
// at its end (< 0); the sample gives the pivots and its halves go down with the parts.
template <size_t W, class Compare>
void sorter<W, Compare>::sort_quick(size_t lo, ptrdiff_t sample, size_t n) {
    while (n > 7) {
        size_t s = static_cast<size_t>(sample < 0 ? -sample : sample);
        if (sample > 0 && s >= n) return;
        size_t m, mid, upper;  // stretch length, pivot index, upper sample at its end
        if (s > 2) {
            if (sample < 0) block_to_front(lo, lo + n - s, lo + n);
            if (s > n / 256) {
                m = n;
            } else {
                m = 16 * s - 1;
                size_t step = n / m;
                for (size_t k = s; k < m; k++) swap(lo + k, lo + k * step);
            }
            mid = s / 2;
            upper = s - mid - 1;
            block_to_end(lo + mid + 1, lo + s, lo + m);
        } else {
            m = n <= 511 ? n : 63;
            order3(lo, lo + m / 2, lo + m - 1);
            swap(lo + 1, lo + m / 2);
            mid = 1;
            upper = 1;
        }

        // Three-way partition: [a, eq) equal to the pivot, [eq, i) smaller, [j, b) larger.
        size_t pivot = lo + mid;
        size_t a = pivot + 1, b = lo + m - upper;
        size_t eq = a, i = a, j = b;
        for (;;) {
            while (i < j) {
                int32_t c = compare(i, pivot);
                if (c > 0) break;
                if (c == 0) {
                    if (eq != i) swap(eq, i);
                    eq++;
                }
                i++;
            }
            int32_t c = 1;
            while (i < j && (c = compare(j - 1, pivot)) > 0) j--;
            if (i >= j) break;
            swap(i, --j);
            if (c == 0) {
                if (eq != i) swap(eq, i);
                eq++;
            }
            i++;
        }
        size_t equal = eq - pivot, smaller = i - eq;
        swap_ranges(pivot, i - std::min(equal, smaller), std::min(equal, smaller));
        size_t left_end = pivot + smaller;

        if (lo + m - i > upper) sort_quick(i, -static_cast<ptrdiff_t>(upper), lo + m - i);
        if (m == n) {
            n = left_end - lo;
            sample = static_cast<ptrdiff_t>(mid);
        } else {
            sort_quick(lo, static_cast<ptrdiff_t>(mid), left_end - lo);
            sample = static_cast<ptrdiff_t>(m);
        }
    }
    insertion_sort(lo, lo, lo + n);
}

template <class F>
void with_width(size_t w, F&& f) {
    switch (w) {
        case 1: f(std::integral_constant<size_t, 1>{}); break;
        case 2: f(std::integral_constant<size_t, 2>{}); break;
        case 4: f(std::integral_constant<size_t, 4>{}); break;
        case 8: f(std::integral_constant<size_t, 8>{}); break;
        case 16: f(std::integral_constant<size_t, 16>{}); break;
        default: f(std::integral_constant<size_t, 0>{}); break;
    }
}

}  // namespace

void sort_stable(const sort_elements& elements, size_t n, size_t w, uintptr_t context1,
                 uintptr_t context2, sort_comparator compare) {
    called_comparator c{context1, context2, compare};
    with_width(w, [&](auto width) {
        sorter<decltype(width)::value>(elements, w, c).sort_stable(n, elements.cells);
    });
}

void sort_quick_entry(const sort_elements& elements, size_t n, size_t w, uintptr_t context1,
                      uintptr_t context2, sort_comparator compare) {
    called_comparator c{context1, context2, compare};
    with_width(w, [&](auto width) { sorter<decltype(width)::value>(elements, w, c).sort_quick_entry(n); });
}

void sort_integer_cells(const sort_elements& elements, size_t n, bool reverse, bool stable) {
    sorter<sizeof(cell), integer_cells_comparator> s(elements, sizeof(cell), {reverse});
    if (stable) s.sort_stable(n, elements.cells);
    else s.sort_quick_entry(n);
}

}  // namespace kel
