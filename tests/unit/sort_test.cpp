#include "runtime/sort.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "datatypes/error.h"
#include "runtime/exits.h"

#if defined(__SANITIZE_ADDRESS__)
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

using namespace kel;

namespace {

using sort_fn = void (*)(void*, size_t, size_t, uintptr_t, uintptr_t, sort_comparator);
struct named_sort {
    const char* name;
    sort_fn run;
    bool stable;
};
const named_sort sorts[] = {
    {"stable", static_cast<sort_fn>(sort_stable), true},
    {"quick", static_cast<sort_fn>(sort_quick_entry), false},
};

struct record {
    int32_t key;
    int32_t id;  // input position
};

// Orders by key; context 1, when set, counts the calls.
int32_t by_key(const void* a, const void* b, uintptr_t calls, uintptr_t) {
    if (calls) ++*reinterpret_cast<size_t*>(calls);
    int32_t x, y;
    std::memcpy(&x, a, 4);
    std::memcpy(&y, b, 4);
    return (x > y) - (x < y);
}

std::vector<record> shaped(const std::string& shape, size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<record> v(n);
    for (size_t i = 0; i < n; i++) {
        int32_t k = static_cast<int32_t>(i);
        int32_t m = static_cast<int32_t>(n);
        if (shape == "random") k = static_cast<int32_t>(rng() % (n + 1));
        else if (shape == "few keys") k = static_cast<int32_t>(rng() % 5);
        else if (shape == "descending") k = m - k;
        else if (shape == "descending with ties") k = (m - k) / 3;
        else if (shape == "sawtooth") k = k % 37;
        else if (shape == "organ pipe") k = std::min(k, m - k);
        else if (shape == "all equal") k = 7;
        else if (shape == "nearly descending") k = m - k;
        v[i] = {k, static_cast<int32_t>(i)};
    }
    if (shape.starts_with("nearly") && n > 1)
        for (size_t i = 0; i < n / 100 + 1; i++) std::swap(v[rng() % n].key, v[rng() % n].key);
    if (shape == "descending, first pair rising" && n > 1) {
        for (size_t i = 0; i < n; i++) v[i].key = static_cast<int32_t>(n - i);
        std::swap(v[0].key, v[1].key);
    }
    return v;
}

bool same_elements(std::vector<record> a, std::vector<record> b) {
    auto by_id = [](const record& x, const record& y) { return x.id < y.id; };
    std::sort(a.begin(), a.end(), by_id);
    std::sort(b.begin(), b.end(), by_id);
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const record& x, const record& y) {
        return x.key == y.key && x.id == y.id;
    });
}

size_t allocated_bytes() {
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

}  // namespace

TEST(Sort, ShapesAndSizes) {
    const char* shapes[] = {"random", "few keys", "ascending", "descending",
                            "descending with ties", "sawtooth", "organ pipe", "all equal",
                            "nearly ascending", "nearly descending",
                            "descending, first pair rising"};
    const size_t sizes[] = {2, 3, 7, 8, 23, 24, 25, 100, 511, 512, 1000, 20000, 100000};
    for (const named_sort& sort : sorts)
        for (const char* shape : shapes)
            for (size_t n : sizes) {
                SCOPED_TRACE(std::string(sort.name) + " " + shape + " n=" + std::to_string(n));
                std::vector<record> input = shaped(shape, n, static_cast<unsigned>(n));
                std::vector<record> expected = input;
                std::stable_sort(expected.begin(), expected.end(),
                                 [](const record& a, const record& b) { return a.key < b.key; });
                std::vector<record> v = input;
                sort.run(v.data(), n, sizeof(record), 0, 0, by_key);
                if (sort.stable) {
                    ASSERT_TRUE(same_elements(v, expected));
                    for (size_t i = 0; i < n; i++) ASSERT_EQ(v[i].id, expected[i].id) << i;
                } else {
                    for (size_t i = 0; i < n; i++) ASSERT_EQ(v[i].key, expected[i].key) << i;
                    ASSERT_TRUE(same_elements(v, input));
                }
            }
}

TEST(Sort, NothingToSortCallsNoComparator) {
    for (const named_sort& sort : sorts)
        for (size_t n : {0, 1}) {
            record r[1] = {{5, 0}};
            size_t calls = 0;
            sort.run(r, n, sizeof(record), reinterpret_cast<uintptr_t>(&calls), 0, by_key);
            EXPECT_EQ(calls, 0u) << sort.name << " n=" << n;
            EXPECT_EQ(r[0].key, 5);
        }
}

TEST(Sort, OrderedInputIsOnePassForTheStableSort) {
    for (const char* shape : {"ascending", "descending"}) {
        std::vector<record> v = shaped(shape, 1000, 1);
        size_t calls = 0;
        sort_stable(v.data(), v.size(), sizeof(record), reinterpret_cast<uintptr_t>(&calls), 0,
                    by_key);
        EXPECT_EQ(calls, v.size() - 1) << shape;
        EXPECT_TRUE(std::is_sorted(v.begin(), v.end(),
                                   [](const record& a, const record& b) { return a.key < b.key; }));
    }
}

TEST(Sort, HundredEqualElementsStayInPlace) {
    for (const named_sort& sort : sorts) {
        std::vector<record> v = shaped("all equal", 100, 0);
        sort.run(v.data(), v.size(), sizeof(record), 0, 0, by_key);
        for (int32_t i = 0; i < 100; i++) ASSERT_EQ(v[i].id, i) << sort.name;
    }
}

namespace {
int32_t by_first_byte(const void* a, const void* b, uintptr_t, uintptr_t) {
    return *static_cast<const uint8_t*>(a) - *static_cast<const uint8_t*>(b);
}
}  // namespace

// Odd widths take the byte-by-byte swap, multiples of 4 the word swap.
TEST(Sort, AnyElementWidth) {
    const size_t n = 1000;
    for (const named_sort& sort : sorts)
        for (size_t w : {1, 2, 3, 4, 8, 12, 16, 48}) {
            SCOPED_TRACE(std::string(sort.name) + " w=" + std::to_string(w));
            std::mt19937 rng(static_cast<unsigned>(w));
            std::vector<std::string> elements(n);
            for (size_t i = 0; i < n; i++) {
                elements[i].resize(w);
                elements[i][0] = static_cast<char>(rng() % 50);
                for (size_t k = 1; k < w; k++) elements[i][k] = static_cast<char>(i >> (8 * (k % 4)));
            }
            std::string flat;
            for (const std::string& e : elements) flat += e;
            sort.run(flat.data(), n, w, 0, 0, by_first_byte);

            std::vector<std::string> expected = elements;
            auto first = [](const std::string& a, const std::string& b) {
                return static_cast<uint8_t>(a[0]) < static_cast<uint8_t>(b[0]);
            };
            std::stable_sort(expected.begin(), expected.end(), first);
            std::vector<std::string> got(n);
            for (size_t i = 0; i < n; i++) got[i] = flat.substr(i * w, w);
            if (!sort.stable) {
                ASSERT_TRUE(std::is_sorted(got.begin(), got.end(), first));
                std::sort(got.begin(), got.end());
                std::sort(expected.begin(), expected.end());
            }
            ASSERT_EQ(got, expected);
        }
}

namespace {
struct throw_after {
    size_t calls;
    size_t limit;
};
int32_t by_key_then_throw(const void* a, const void* b, uintptr_t context1, uintptr_t) {
    auto* t = reinterpret_cast<throw_after*>(context1);
    if (t->calls++ == t->limit) raise_exit(THROW_ERROR);
    return by_key(a, b, 0, 0);
}
}  // namespace

TEST(Sort, ThrowingComparatorLeavesAPermutationAndNoBuffer) {
    std::vector<record> warm = shaped("random", 100, 3);
    sort_stable(warm.data(), warm.size(), sizeof(record), 0, 0, by_key);
    // The unwinder caches what it learns of each function on its first throw.
    for (const named_sort& sort : sorts) {
        throw_after t{0, 0};
        (void)catch_exit(LEVEL_ALL, [&] {
            sort.run(warm.data(), warm.size(), sizeof(record), reinterpret_cast<uintptr_t>(&t), 0, by_key_then_throw);
        });
    }
    for (const named_sort& sort : sorts)
        for (size_t limit : {0, 500, 10000, 40000}) {
            SCOPED_TRACE(std::string(sort.name) + " limit=" + std::to_string(limit));
            std::vector<record> input = shaped("random", 5000, 4);
            std::vector<record> v = input;
            throw_after t{0, limit};
            size_t before = allocated_bytes();
            uint32_t code = catch_exit(LEVEL_ALL, [&] {
                sort.run(v.data(), v.size(), sizeof(record), reinterpret_cast<uintptr_t>(&t), 0,
                         by_key_then_throw);
            });
            EXPECT_EQ(allocated_bytes(), before);
            EXPECT_EQ(code, THROW_ERROR);
            EXPECT_TRUE(same_elements(v, input));
            EXPECT_EQ(sort_cell_buffers, nullptr);
        }
}

TEST(Sort, BufferBeyondThirtyTwoBitsIsTooLong) {
    record r[2] = {};
    size_t calls = 0;
    uint32_t code = catch_exit(LEVEL_ALL, [&] {
        sort_stable(r, size_t{1} << 30, 16, reinterpret_cast<uintptr_t>(&calls), 0, by_key);
    });
    EXPECT_EQ(code, THROW_ERROR);
    EXPECT_EQ(last_raised_error().code, 359u);  // script/too-long
    EXPECT_EQ(calls, 0u);
}

namespace {
// What a collector would see at a comparison: the array and the chained buffers.
struct cell_view {
    const cell* array;
    size_t n;
    size_t comparisons;
};

int32_t by_cell_key_checking_view(const void* a, const void* b, uintptr_t context1, uintptr_t) {
    auto* view = reinterpret_cast<cell_view*>(context1);
    view->comparisons++;
    std::vector<int> seen(view->n);
    for (size_t i = 0; i < view->n; i++) seen[view->array[i].w2]++;
    for (const sort_buffer* b = sort_cell_buffers; b; b = b->outer()) {
        const cell* cells = reinterpret_cast<const cell*>(b->data());
        for (size_t i = 0; i < b->bytes() / sizeof(cell); i++) {
            if (cells[i].header == 0) continue;
            EXPECT_LT(cells[i].w2, view->n);
            if (cells[i].w2 < view->n) seen[cells[i].w2]++;
        }
    }
    for (size_t id = 0; id < view->n; id++)
        if (!seen[id]) ADD_FAILURE() << "element " << id << " out of the collector's sight";
    int32_t x = static_cast<const cell*>(a)->w1, y = static_cast<const cell*>(b)->w1;
    return (x > y) - (x < y);
}
}  // namespace

// Between any two comparisons every cell is in the array or in a chained buffer.
TEST(Sort, CellsStayVisibleToTheCollector) {
    for (const named_sort& sort : sorts) {
        const size_t n = 300;
        std::mt19937 rng(9);
        std::vector<cell> v(n);
        for (uint32_t i = 0; i < n; i++) v[i] = {TYPE_INTEGER, static_cast<uint32_t>(rng() % 40), i, 0};
        cell_view view{v.data(), n, 0};
        sort_elements elements{reinterpret_cast<uint8_t*>(v.data()), nullptr, 0, true};
        if (sort.stable)
            sort_stable(elements, n, sizeof(cell), reinterpret_cast<uintptr_t>(&view), 0,
                        by_cell_key_checking_view);
        else
            sort_quick_entry(elements, n, sizeof(cell), reinterpret_cast<uintptr_t>(&view), 0,
                             by_cell_key_checking_view);
        EXPECT_GT(view.comparisons, n) << sort.name;
        EXPECT_TRUE(std::is_sorted(v.begin(), v.end(),
                                   [](const cell& a, const cell& b) { return a.w1 < b.w1; }));
        EXPECT_EQ(sort_cell_buffers, nullptr);
    }
}

namespace {
// A series buffer that every comparison moves, the old copy poisoned and freed.
struct moving_series {
    series_buffer* slot;
    size_t bytes;

    explicit moving_series(const std::vector<uint8_t>& data) : bytes(data.size()) {
        slot = static_cast<series_buffer*>(std::malloc(sizeof(series_buffer) + bytes));
        *slot = {0, 0, static_cast<uint32_t>(bytes), 0, nullptr, nullptr};
        std::memcpy(slot->data(), data.data(), bytes);
        slot->offset = slot->data();
        slot->tail = slot->data() + bytes;
    }
    ~moving_series() { std::free(slot); }
    void move() {
        auto* moved = static_cast<series_buffer*>(std::malloc(sizeof(series_buffer) + bytes));
        std::memcpy(moved, slot, sizeof(series_buffer) + bytes);
        moved->offset = moved->data();
        moved->tail = moved->data() + bytes;
        std::memset(slot, 0xAA, sizeof(series_buffer) + bytes);
        std::free(slot);
        slot = moved;
    }
};

struct moving_then_throw {
    moving_series* series;
    size_t calls;
    size_t limit;  // the call that raises instead of moving
};

int32_t by_key_moving(const void* a, const void* b, uintptr_t context1, uintptr_t) {
    auto* m = reinterpret_cast<moving_then_throw*>(context1);
    int32_t r = by_key(a, b, 0, 0);
    m->series->move();
    if (m->calls++ == m->limit) raise_exit(THROW_ERROR);
    return r;
}
}  // namespace

// A collection during the comparison that then raises (three quarters through, in the
// merges) must leave a permutation too.
TEST(Sort, SeriesBufferMovedByTheComparator) {
    const size_t n = 1000, start = 2 * sizeof(record);  // two records before the sorted ones
    for (const named_sort& sort : sorts) {
        size_t full_calls = 0;
        for (bool raise : {false, true}) {
            SCOPED_TRACE(std::string(sort.name) + (raise ? " raising" : ""));
            std::vector<record> input = shaped("random", n, 5);
            std::vector<uint8_t> data(start + n * sizeof(record), 0);
            std::memcpy(data.data() + start, input.data(), n * sizeof(record));
            moving_series series(data);
            moving_then_throw m{&series, 0, raise ? full_calls * 3 / 4 : SIZE_MAX};
            sort_elements elements{series.slot->offset + start, &series.slot, start, false};
            auto context = reinterpret_cast<uintptr_t>(&m);
            uint32_t code = catch_exit(LEVEL_ALL, [&] {
                if (sort.stable)
                    sort_stable(elements, n, sizeof(record), context, 0, by_key_moving);
                else
                    sort_quick_entry(elements, n, sizeof(record), context, 0, by_key_moving);
            });
            full_calls = m.calls;
            EXPECT_EQ(code, raise ? THROW_ERROR : 0u);
            std::vector<record> v(n);
            std::memcpy(v.data(), series.slot->offset + start, n * sizeof(record));
            if (!raise) {
                EXPECT_TRUE(std::is_sorted(v.begin(), v.end(), [](const record& a, const record& b) {
                    return a.key < b.key;
                }));
            }
            EXPECT_TRUE(same_elements(v, input));
        }
    }
}

namespace {
int32_t by_integer(const void* a, const void* b, uintptr_t reverse, uintptr_t) {
    int32_t x = static_cast<int32_t>(static_cast<const cell*>(a)->w2);
    int32_t y = static_cast<int32_t>(static_cast<const cell*>(b)->w2);
    if (reverse) std::swap(x, y);
    return (x > y) - (x < y);
}
}  // namespace

// The inlined integer comparison leaves equal values (told apart here by w3) exactly where
// the comparator-driven sorts leave them.
TEST(Sort, IntegerCellsInTheOrderOfTheCalledComparator) {
    std::mt19937 rng(7);
    for (bool stable : {false, true})
        for (bool reverse : {false, true})
            for (size_t n : {2, 30, 1000, 50000})
                for (uint32_t range : {3u, 1000000u}) {
                    SCOPED_TRACE(std::to_string(stable) + std::to_string(reverse) + " n=" + std::to_string(n));
                    std::vector<cell> input(n);
                    for (uint32_t i = 0; i < n; i++)
                        input[i] = {TYPE_INTEGER, 0, static_cast<uint32_t>(rng() % range - range / 2), i};
                    std::vector<cell> called = input, inlined = input;
                    if (stable) sort_stable(called.data(), n, sizeof(cell), reverse, 0, by_integer);
                    else sort_quick_entry(called.data(), n, sizeof(cell), reverse, 0, by_integer);
                    sort_integer_cells(sort_elements{reinterpret_cast<uint8_t*>(inlined.data())}, n, reverse, stable);
                    for (size_t i = 0; i < n; i++) ASSERT_EQ(inlined[i].w3, called[i].w3) << i;
                }
}
