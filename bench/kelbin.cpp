// KELBIN encode then decode of 100,000 rows of 10 values, compact then fixed form, best of
// five rounds; bench/kelbin_peer.py times pickle on the same shape (bench/run-kelbin.sh
// runs both). A row: a small and a large integer, a float, a short string, a word out of
// 1,000, a logic, none, a block of 2 integers, a small integer and a float; every 10th row
// is an earlier row again, so the writer's sharing is timed too.
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>

#include "boot/init.h"
#include "boot/script.h"
#include "boot/startup.h"
#include "datatypes/block.h"
#include "evaluator/interpreter.h"
#include "io/kelbin.h"
#include "runtime/collector.h"
#include "runtime/stack.h"

using namespace kel;

namespace {

const char rows_text[] = R"(
rows: make block! 100000
repeat i 100000 [
    append/only rows either 0 = remainder i 10 [pick rows i - 9] [
        reduce [
            remainder i 50  i * 20011  i * 0.5  append copy "s" remainder i 100
            to word! append copy "w" remainder i 1000  odd? i  none  reduce [i i + 1]  7  0.25
        ]
    ]
]
rows
)";

double best_seconds(const std::function<void()>& work) {
    double best = 1e30;
    for (int round = 0; round < 5; round++) {
        collector_collect();
        auto start = std::chrono::steady_clock::now();
        work();
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (s < best) best = s;
    }
    return best;
}

}  // namespace

int main() {
    runtime_init();
    run_stages();
    collector_enabled = true;
    cell* code = stack::push_cell();
    load_global_text(code, reinterpret_cast<const uint8_t*>(rows_text), sizeof rows_text - 1);
    if (eval_block(code, false)) return 1;
    cell* rows = stack::push(stack::top_cell());
    const struct {
        const char* name;
        kelbin::form how;
    } forms[] = {{"compact", kelbin::form::compact}, {"fixed", kelbin::form::fixed}};
    for (const auto& f : forms) {
        cell* top = stack::top;
        size_t size = 0;
        double encode = best_seconds([&] {
            stack::top = top;
            size = node_buffer(series_node(kelbin::encode(rows, f.how)))->used_bytes();
        });
        cell* encoded = stack::top_cell();
        double decode = best_seconds([&] {
            cell* parent = block::push_only(1);
            series_buffer* b = node_buffer(series_node(encoded));
            kelbin::decode(b->offset, b->used_bytes(), parent);
            stack::top = parent;
        });
        std::printf("%s-encode %8.4f s\n%s-decode %8.4f s\n", f.name, encode, f.name, decode);
        std::printf("sizes: %s %zu\n", f.name, size);
        stack::top = top;
    }
    return 0;
}
