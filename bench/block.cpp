// Block actions at scale: append 2M integers, sort them, find in them; deep copy of a
// large nested block; mold of a 1M-cell block. The collector is on throughout.
#include <chrono>
#include <cstdio>

#include "boot/init.h"
#include "datatypes/block.h"
#include "datatypes/string.h"
#include "evaluator/actions.h"
#include "runtime/collector.h"

using namespace kel;

namespace {

template <class F>
void timed(const char* name, F&& run) {
    auto start = std::chrono::steady_clock::now();
    run();
    std::chrono::duration<double, std::milli> ms = std::chrono::steady_clock::now() - start;
    std::printf("%-40s %10.1f ms\n", name, ms.count());
}

// A frame whose slot 0 holds the value.
cell* frame(const cell* value) {
    cell* base = stack::push(value);
    stack::arguments = base;
    return base;
}

}  // namespace

int main() {
    runtime_init();
    collector_enabled = true;

    constexpr int32_t N = 2'000'000;
    cell* numbers = block::push_only(1);
    timed("append 2M integers", [&] {
        cell* base = frame(numbers);
        cell* value = stack::push_cell();
        uint32_t x = 12345;
        for (int32_t i = 0; i < N; i++) {
            x = x * 1103515245u + 12345u;
            *value = integer_value(static_cast<int32_t>(x >> 8));
            block::insert(base, value, -1, false, 1, true);
        }
        stack::top = base + 1;
    });
    cell* sorted = stack::push(numbers);
    timed("sort 2M integers", [&] {
        block::sort(frame(sorted), false, nullptr, nullptr, nullptr, false, false, false);
    });
    timed("stable sort 2M sorted integers", [&] {
        block::sort(frame(sorted), false, nullptr, nullptr, nullptr, false, false, true);
    });
    timed("find 100 values in 2M (scan)", [&] {
        cell* base = frame(numbers);
        cell* value = stack::push_cell();
        int32_t found = 0;
        for (int32_t i = 0; i < 100; i++) {
            *value = integer_value(-i - 1);  // absent: every scan runs to the tail
            const cell* r = block::find(base, value, nullptr, false, false, false, false, nullptr,
                                        nullptr, false, false, false, false);
            found += TYPE_OF(r) != TYPE_NONE;
        }
        std::printf("  (found %d)\n", found);
    });

    // 10,000 blocks of 100 integers, each holding a nested block of 10.
    cell* nested = block::push_only(10'000);
    for (int32_t i = 0; i < 10'000; i++) {
        cell* inner = block::push_only(101);
        for (int32_t j = 0; j < 100; j++) {
            cell n = integer_value(j);
            block::ks_append(inner, &n);
        }
        cell* leaf = block::push_only(10);
        for (int32_t j = 0; j < 10; j++) {
            cell n = integer_value(j);
            block::ks_append(leaf, &n);
        }
        block::ks_append(inner, leaf);
        block::ks_append(nested, inner);
        stack::pop(2);
    }
    timed("copy/deep of 10k x 110 cells", [&] {
        cell* base = frame(nested);
        cell* result = stack::push(&unset_value);
        block::copy(base, result, nullptr, true, nullptr);
    });

    cell* million = stack::push(numbers);
    block::ks_set_tail(million, 1'000'000);
    timed("mold of a 1M-cell block", [&] {
        cell* value = frame(million);
        cell* buffer = string::make_at(stack::push_cell(), 16);
        block::mold(value, buffer, false, false, false, nullptr, INT32_MAX, 0);
        std::printf("  (%u characters)\n", string::ks_length(buffer));
    });
    return 0;
}
