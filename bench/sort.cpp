// The sorts against the standard library's, on one million integers and one million
// strings, each side calling the same comparator through a pointer.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/sort.h"

using namespace kel;

namespace {

int32_t compare_ints(const void* a, const void* b, uintptr_t, uintptr_t) {
    int32_t x, y;
    std::memcpy(&x, a, sizeof x);
    std::memcpy(&y, b, sizeof y);
    return (x > y) - (x < y);
}

int32_t compare_strings(const void* a, const void* b, uintptr_t, uintptr_t) {
    std::string_view x, y;
    std::memcpy(&x, a, sizeof x);
    std::memcpy(&y, b, sizeof y);
    int c = x.compare(y);
    return (c > 0) - (c < 0);
}

// Read at run time, so neither side can inline the comparator.
sort_comparator volatile int_comparator = compare_ints;
sort_comparator volatile string_comparator = compare_strings;

template <class F>
double best_ms(F&& run) {
    double best = 1e300;
    for (int round = 0; round < 5; round++) {
        auto t0 = std::chrono::steady_clock::now();
        run();
        auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    return best;
}

template <class T>
void compare_with_std(const char* what, const std::vector<T>& input, sort_comparator cmp) {
    auto less = [cmp](const T& a, const T& b) { return cmp(&a, &b, 0, 0) < 0; };
    std::vector<T> v;
    double stable = best_ms([&] {
        v = input;
        sort_stable(v.data(), v.size(), sizeof(T), 0, 0, cmp);
    });
    if (!std::is_sorted(v.begin(), v.end(), less)) std::printf("%s: stable sort failed\n", what);
    double std_stable = best_ms([&] {
        v = input;
        std::stable_sort(v.begin(), v.end(), less);
    });
    double quick = best_ms([&] {
        v = input;
        sort_quick_entry(v.data(), v.size(), sizeof(T), 0, 0, cmp);
    });
    if (!std::is_sorted(v.begin(), v.end(), less)) std::printf("%s: quicksort failed\n", what);
    double std_sort = best_ms([&] {
        v = input;
        std::sort(v.begin(), v.end(), less);
    });
    std::printf("%-22s sort-stable %8.1f ms  std::stable_sort %8.1f ms  ratio %.2f\n", what,
                stable, std_stable, stable / std_stable);
    std::printf("%-22s sort-quick  %8.1f ms  std::sort        %8.1f ms  ratio %.2f\n", what,
                quick, std_sort, quick / std_sort);
}

}  // namespace

int main() {
    const size_t n = 1000000;
    std::mt19937 rng(42);

    std::vector<int32_t> ints(n);
    for (int32_t& x : ints) x = static_cast<int32_t>(rng());
    compare_with_std("1M integers", ints, int_comparator);

    std::string pool;
    std::vector<size_t> lengths(n);
    for (size_t& len : lengths) {
        len = 4 + rng() % 21;
        for (size_t k = 0; k < len; k++) pool += static_cast<char>('a' + rng() % 26);
    }
    std::vector<std::string_view> strings(n);
    for (size_t i = 0, at = 0; i < n; at += lengths[i++]) strings[i] = {pool.data() + at, lengths[i]};
    compare_with_std("1M strings", strings, string_comparator);

    std::vector<int32_t> nearly(ints);
    std::sort(nearly.begin(), nearly.end());
    for (size_t i = 0; i < n / 100; i++) std::swap(nearly[rng() % n], nearly[rng() % n]);
    compare_with_std("1M nearly sorted ints", nearly, int_comparator);
    return 0;
}
