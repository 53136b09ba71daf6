// Element-wise vector maths: `v * 3 + w` on two vectors of 10M 32-bit integers, evaluated
// by the interpreter, beside the same work as a plain C++ loop into a fresh array.
//   bench_vector [elements] [repeats]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "boot/init.h"
#include "boot/startup.h"
#include "datatypes/context.h"
#include "datatypes/error.h"
#include "datatypes/transcode.h"
#include "datatypes/vector.h"
#include "datatypes/word.h"
#include "evaluator/interpreter.h"
#include "runtime/error_catalog.h"
#include "runtime/exits.h"
#include "runtime/stack.h"

using namespace kel;

namespace {

using clock_type = std::chrono::steady_clock;

double ms_since(clock_type::time_point start) {
    return std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
}

// A global vector holding n elements made by f(i).
template <class F>
void set_vector(const char* name, int32_t n, F f) {
    cell* v = vector::make_at(stack::push_cell(), TYPE_INTEGER, 4, n);
    series_buffer* b = node_buffer(series_node(v));
    for (int32_t i = 0; i < n; i++) {
        int32_t x = f(i);
        std::memcpy(b->offset + 4 * size_t(i), &x, 4);
    }
    b->tail = b->offset + 4 * size_t(n);
    cell* w = stack::push(&none_value);
    *w = word::load(name);
    _context::set(w, v);
    stack::pop(2);
}

// Runs the text once per repeat, fresh vectors each time; the best time.
double best_kel(const char* text, int32_t n, int repeats, int64_t& check) {
    double best = 1e300;
    for (int r = 0; r < repeats; r++) {
        set_vector("v", n, [](int32_t i) { return i; });
        set_vector("w", n, [](int32_t i) { return i & 1023; });
        cell* saved = stack::top;
        cell* block = stack::push_cell();
        load_text(block, reinterpret_cast<const uint8_t*>(text), std::strlen(text));
        _context::bind(block, global_context, false);
        auto start = clock_type::now();
        exit_on_code(eval_block(block, false));
        best = std::min(best, ms_since(start));
        cell* result = stack::top - 1;
        series_buffer* b = node_buffer(series_node(result));
        check = 0;
        for (const uint8_t* p = b->offset; p < b->tail; p += 4) {
            int32_t x;
            std::memcpy(&x, p, 4);
            check += x;
        }
        stack::top = saved;
    }
    return best;
}

double best_loop(int32_t n, int repeats, int64_t& check) {
    std::vector<int32_t> v(n), w(n);
    double best = 1e300;
    for (int r = 0; r < repeats; r++) {
        for (int32_t i = 0; i < n; i++) v[i] = i, w[i] = i & 1023;
        auto start = clock_type::now();
        std::unique_ptr<int32_t[]> out(new int32_t[n]);
        for (int32_t i = 0; i < n; i++)
            out[i] = static_cast<int32_t>(static_cast<uint32_t>(v[i]) * 3u + static_cast<uint32_t>(w[i]));
        best = std::min(best, ms_since(start));
        check = 0;
        for (int32_t i = 0; i < n; i++) check += out[i];
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    int32_t n = argc > 1 ? std::atoi(argv[1]) : 10000000;
    int repeats = argc > 2 ? std::atoi(argv[2]) : 5;
    int status = 0;
    run_on_interpreter_thread([&] {
        try {
            runtime_init();
            run_stages();
            int64_t kel_check = 0, loop_check = 0;
            double kel_ms = best_kel("v * 3 + w", n, repeats, kel_check);
            double loop_ms = best_loop(n, repeats, loop_check);
            std::printf("v * 3 + w on %d int32: kel %.2f ms, C++ loop %.2f ms, ratio %.2f%s\n", n, kel_ms,
                        loop_ms, kel_ms / loop_ms, kel_check == loop_check ? "" : " (results differ)");
        } catch (const kel_exit&) {
            uint32_t code = last_raised_error().code;
            std::printf("error %s/%s\n", error_category_word(code / 100), error_id_word(code / 100, code % 100));
            status = 1;
        }
    });
    return status;
}
