// Function and native call costs in the interpreter: fib 27 through a func, and a
// 5M-iteration loop summing integers. Run under callgrind for instruction counts.
//   bench_interp [fib|loop|both] [loop count]
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "boot/init.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/error.h"
#include "datatypes/integer.h"
#include "datatypes/native.h"
#include "datatypes/none.h"
#include "datatypes/registry.h"
#include "datatypes/transcode.h"
#include "datatypes/typeset.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/comparison.h"
#include "evaluator/control.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "runtime/collector.h"
#include "runtime/error_catalog.h"
#include "runtime/exits.h"
#include "runtime/stack.h"

using namespace kel;

namespace {

void collect_symbols(const cell* block, std::vector<uint32_t>& symbols) {
    series_buffer* b = node_buffer(series_node(block));
    for (cell* c = b->cells() + series_head(block); c < b->cells_tail(); c++) {
        if (TYPE_OF(c) >= TYPE_WORD && TYPE_OF(c) <= TYPE_GET_WORD) symbols.push_back(c->w2);
        else if (any_block_q(TYPE_OF(c))) collect_symbols(c, symbols);
    }
}

cell* load(const std::string& text) {
    cell* out = stack::push_cell();
    load_text(out, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    std::vector<uint32_t> symbols;
    collect_symbols(out, symbols);
    for (uint32_t s : symbols) _context::add_word(global_context, s);
    _context::bind(out, global_context, false);
    return out;
}

void set_global(const char* name, const cell* value) {
    cell* w = stack::push(&none_value);
    *w = word::load(name);
    _context::set(w, value);
    stack::pop(1);
}

void define(const char* name, const char* spec, int32_t index, uint32_t type) {
    cell* saved = stack::top;
    cell* parts = load(spec);
    *parts = *block::ks_head(parts);
    cell n = integer_value(index);
    cell* made = block::push_only(2);
    block::ks_append(made, parts);
    block::ks_append(made, &n);
    set_global(name, type == TYPE_NATIVE ? native_datatype::make(nullptr, made, type)
                                         : action_datatype::make(nullptr, made, type));
    stack::top = saved;
}

void define_op(const char* name, const char* of) {
    cell* saved = stack::top;
    cell w = word::load(of);
    cell* f = stack::push(_context::get(&w));
    set_global(name, op::make(nullptr, f, TYPE_OP));
    stack::top = saved;
}

int32_t lesser(bool, const int32_t*) {
    compare_to_logic(COMP_LESSER);
    return 0;
}

void install() {
    for (uint32_t t = 1; t <= highest_type; t++) {
        if (!type_names[t].name) continue;
        cell type{TYPE_DATATYPE, t, 0, 0};
        set_global(type_names[t].name, &type);
    }
    cell any_type{TYPE_TYPESET, 0, 0, 0};
    for (uint32_t t = 1; t < 96; t++) typeset_add(&any_type, t);
    set_global("any-type!", &any_type);
    set_global("none", &none_value);
    define("either", "[cond [any-type!] true-blk [block!] false-blk [block!]]", 3, TYPE_NATIVE);
    define("while", "[cond [block!] body [block!]]", 6, TYPE_NATIVE);
    define("loop", "[count [integer! float!] body [block!]]", 8, TYPE_NATIVE);
    define("func", "[spec [block!] body [block!]]", 14, TYPE_NATIVE);
    define("lesser?", "[value1 [any-type!] value2 [any-type!]]", 28, TYPE_NATIVE);
    native_entries[27] = lesser;
    define("add", "[value1 [integer! float!] value2 [integer! float!]]", ACT_ADD, TYPE_ACTION);
    define("subtract", "[value1 value2]", ACT_SUBTRACT, TYPE_ACTION);
    define_op("+", "add");
    define_op("-", "subtract");
    define_op("<", "lesser?");
}

double run(const char* text) {
    cell* saved = stack::top;
    auto start = std::chrono::steady_clock::now();
    cell* block = load(text);
    uint32_t code = eval_block(block, false);
    auto stop = std::chrono::steady_clock::now();
    if (code) std::printf("exit %u\n", code);
    else if (TYPE_OF(stack::top - 1) == TYPE_INTEGER) std::printf("  result %d\n", int_of(stack::top - 1));
    stack::top = saved;
    return std::chrono::duration<double, std::milli>(stop - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    const char* which = argc > 1 ? argv[1] : "both";
    int status = 0;
    run_on_interpreter_thread([&] {
        try {
            runtime_init();
            install();
            collector_enabled = true;
            if (!std::strcmp(which, "fib") || !std::strcmp(which, "both")) {
                double ms = run(
                    "fib: func [n] [either n < 2 [n] [(fib n - 1) + (fib n - 2)]] fib 27");
                std::printf("fib 27 (635621 calls): %.1f ms\n", ms);
            }
            if (!std::strcmp(which, "loop") || !std::strcmp(which, "both")) {
                std::string n = argc > 2 ? argv[2] : "5000000";
                double ms = run(("sum: 0 i: 0 loop " + n + " [i: i + 1 sum: sum + i] sum").c_str());
                std::printf("loop %s: %.1f ms\n", n.c_str(), ms);
            }
        } catch (const kel_exit&) {
            uint32_t code = last_raised_error().code;
            std::printf("error %s/%s\n", error_category_word(code / 100), error_id_word(code / 100, code % 100));
            status = 1;
        }
    });
    return status;
}
