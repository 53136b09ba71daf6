// Hostile bytes through the KELBIN reader, either form, compressed or not: every input
// decodes or raises kb-invalid-record, invalid-data or no-codec. What decodes molds the
// same before and after a collection, and re-encodes in both forms to bytes that decode
// to the same molded text. Run with -rss_limit_mb, so that an allocation the input does
// not pay for shows.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "boot/init.h"
#include "boot/script.h"
#include "boot/startup.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/error.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "evaluator/interpreter.h"
#include "io/kelbin.h"
#include "runtime/collector.h"
#include "runtime/error_catalog.h"
#include "runtime/exits.h"
#include "runtime/stack.h"
#include "tests/fuzz/fuzz_runtime.h"

using namespace kel;

namespace {

constexpr uint32_t KB_INVALID = error_code(ERR_SCRIPT, static_cast<uint32_t>(script_error::kb_invalid_record));
constexpr uint32_t INVALID_DATA = error_code(ERR_SCRIPT, static_cast<uint32_t>(script_error::invalid_data));
constexpr uint32_t NO_CODEC = error_code(ERR_ACCESS, static_cast<uint32_t>(access_error::no_codec));
constexpr uint32_t TOO_DEEP = error_code(ERR_INTERNAL, static_cast<uint32_t>(internal_error::too_deep));

// The code of the error `f` raises, 0 when it raises none.
template <class F>
uint32_t raised(F&& f) {
    cell* top = stack::top;
    try {
        f();
    } catch (const kel_exit& e) {
        if (e.code != THROW_ERROR) std::abort();
        pending_code = 0;
        stack::top = top;
        return last_raised_error().code;
    }
    return 0;
}

// mold/all of the value, or empty when molding raises (a limit, not a fault).
std::u32string mold_all(const cell* v) {
    cell* top = stack::top;
    cell* w = stack::push(&none_value);
    *w = word::load("kb-subject");
    _context::set(w, v);
    static const char code_text[] = "mold/all :kb-subject";
    std::u32string out;
    if (eval_kel_text(std::string_view(code_text, sizeof code_text - 1)) == 0) {
        cell* s = stack::top_cell();
        series_buffer* b = node_buffer(series_node(s));
        for (uint32_t i = series_head(s); i < b->used_bytes() / b->unit(); i++)
            out += static_cast<char32_t>(string::get_char(b->offset + i * b->unit(), b->unit()));
    }
    stack::top = top;
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = [] {
        runtime_init();
        run_stages();
        collector_enabled = true;
        return true;
    }();
    (void)ready;
    // An exact-size copy, so that a read past the end is caught.
    std::vector<uint8_t> in(data, data + size);
    cell* top = stack::top;
    cell* parent = block::push_only(4);
    uint32_t code = raised([&] { kelbin::decode(in.data(), in.size(), parent); });
    if (code) {
        if (code != KB_INVALID && code != INVALID_DATA && code != NO_CODEC) std::abort();
        stack::top = top;
        return 0;
    }
    std::u32string want = mold_all(parent);
    collector_collect();
    if (mold_all(parent) != want) std::abort();
    for (kelbin::form how : {kelbin::form::compact, kelbin::form::fixed}) {
        cell* mark = stack::top;
        cell* encoded = nullptr;
        code = raised([&] { encoded = kelbin::encode(parent, how); });
        if (code == TOO_DEEP) continue;
        if (code) std::abort();
        series_buffer* b = node_buffer(series_node(encoded));
        std::vector<uint8_t> again(b->offset, b->tail);
        cell* back = block::push_only(1);
        if (raised([&] { kelbin::decode(again.data(), again.size(), back); })) std::abort();
        *back = *block::ks_head(back);
        if (!want.empty() && mold_all(back) != want) std::abort();
        stack::top = mark;
    }
    stack::top = top;
    return 0;
}
