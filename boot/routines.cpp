#include "boot/routines.h"

#include <unistd.h>

#include <cstdio>
#include <string_view>
#include <vector>

#include "boot/routine_names.h"
#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/file.h"
#include "datatypes/float.h"
#include "datatypes/frames.h"
#include "datatypes/function.h"
#include "datatypes/image.h"
#include "datatypes/logic.h"
#include "datatypes/object.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/symbol.h"
#include "datatypes/tuple.h"
#include "datatypes/word.h"
#include "evaluator/interpreter.h"
#include "evaluator/math.h"
#include "evaluator/trace.h"
#include "evaluator/values.h"
#include "io/clipboard.h"
#include "io/csv.h"
#include "io/json.h"
#include "io/kelbin.h"
#include "io/os_info.h"
#include "io/simple_io.h"
#include "runtime/collector.h"
#include "runtime/error_catalog.h"
#include "runtime/exits.h"
#include "runtime/heap.h"
#include "runtime/os.h"
#include "runtime/stack.h"

namespace kel::routines {

namespace {

cell* arg(uint32_t n) { return stack::arguments + n; }
void result(const cell& value) { *stack::arguments = value; }
cell logic_value(bool b) { return cell{TYPE_LOGIC, b ? 1u : 0u, 0, 0}; }

// script/expect-arg: the routine, the offending value's type, the argument's name.
[[noreturn]] void expect_arg(const char* routine, const cell* value, const char* argument) {
    cell name = word::load(routine);
    cell type = datatype_of(TYPE_OF(value));
    cell arg_name = word::load(argument);
    fire(script_error::expect_arg, &name, &type, &arg_name);
}

void quit_return() {
    // Nothing else flushes on this way out.
    std::fflush(nullptr);
    int status = int_of(arg(0));
    heap_release_all();
    _exit(status);
}

void set_quiet() {
    uint32_t t = TYPE_OF(arg(0));
    if (t < TYPE_WORD || t > TYPE_GET_WORD) expect_arg("set-quiet", arg(0), "word");
    _context::set_in(arg(0), arg(1), arg(0)->w1, false);
    result(*arg(1));
}

void set_slot_quiet() {
    uint32_t t = TYPE_OF(arg(0));
    if (t != TYPE_BLOCK && t != TYPE_PAREN && !(t >= TYPE_PATH && t <= TYPE_GET_PATH))
        expect_arg("set-slot-quiet", arg(0), "series");
    if (!series::head_at_tail_q(arg(0)))
        series::buffer_of(arg(0))->cells()[series::head_of(arg(0))] = *arg(1);
    result(*arg(1));
}

void shift(bool left, bool logical) {
    result(integer_value(natives::shift_star(int_of(arg(0)), int_of(arg(1)), left, logical)));
}
void shift_right() { shift(false, false); }
void shift_left() { shift(true, false); }
void shift_logical() { shift(false, true); }

void last_lf_q() { result(logic_value(natives::last_lf_q)); }

void get_current_dir() { result(*file::get_current_dir()); }

void set_current_dir() {
    if (!platform::set_current_dir(file::to_OS_path(arg(0)))) fire(access_error::cannot_open, arg(0));
}

void create_dir() {
    if (!simple_io::make_dir(arg(0))) fire(access_error::no_create, arg(0));
}

void exists_q() { result(logic_value(simple_io::file_exists_q(arg(0)))); }

void os_info() { result(*get_OS_info()); }

// The first negative component, in argument order, is the error's argument.
void check_components(uint32_t count) {
    for (uint32_t i = 0; i < count; i++)
        if (int_of(arg(i)) < 0) fire(script_error::invalid_arg, arg(i));
}

void as_color() {
    check_components(3);
    uint32_t r = static_cast<uint32_t>(int_of(arg(0))) % 256, g = static_cast<uint32_t>(int_of(arg(1))) % 256,
             b = static_cast<uint32_t>(int_of(arg(2))) % 256;
    result(*tuple::push(3, r | g << 8 | b << 16, 0, 0));
}

// Components are not reduced: one above 255 spills into the next byte.
void as_ipv4() {
    check_components(4);
    auto c = [](uint32_t i) { return static_cast<uint32_t>(int_of(arg(i))); };
    result(*tuple::push(4, c(3) << 24 | c(2) << 16 | c(1) << 8 | c(0), 0, 0));
}

void as_rgba() { as_ipv4(); }

// A sequence that crosses the end position counts once; nothing past it is read.
void count_chars() {
    series_buffer* b = series::buffer_of(arg(0));
    const uint8_t* p = b->offset + series::head_of(arg(0));
    const uint8_t* end = b->offset + series::head_of(arg(1));
    if (end > b->tail) end = b->tail;
    int32_t count = 0;
    for (; p < end; count++) {
        uint8_t lead = *p;
        p += lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    }
    result(integer_value(count));
}

int32_t stack_size() { return static_cast<int32_t>(stack::top - stack::bottom); }

void stack_size_q() { result(integer_value(stack_size())); }

void pick_stack() {
    int32_t n = stack_size(), idx = int_of(arg(0));
    result(idx > 0 && idx < n ? stack::bottom[idx - 1] : none_value);
}

// The frame of the code that called the routine.
void frame_index_q() { result(integer_value(static_cast<int32_t>(stack::index_of(stack::current_frame()->base)))); }

void collect_calls() {
    stack::collect_calls(arg(0));
    result(*arg(0));
}

void tracing_q() { result(logic_value(tracing)); }

void read_clipboard() { result(*clipboard::read()); }

void write_clipboard() { result(logic_value(clipboard::write(arg(0)))); }

void write_stdout() { simple_io::write_stdout(arg(0)); }

void make_system_words() {
    cell* words = object::push_ctx(global_context, -1);
    object::refresh_owner(words);
    result(*words);
}

void GC_active_q() { result(logic_value(collector_enabled)); }
void GC_series_cycles() { result(integer_value(static_cast<int32_t>(series_cycles))); }
void GC_nodes_cycles() { result(integer_value(static_cast<int32_t>(nodes_cycles))); }

// Called as the on-change* handler of system/options/float: word old new.
void float_on_change() {
    uint32_t field = symbol::resolve(arg(0)->w2);
    bool on = value_true_q(arg(2), false, nullptr);
    if (field == symbol::resolve(symbol::make("pretty?"))) float_::pretty_print_q = on;
    else if (field == symbol::resolve(symbol::make("full?"))) float_::full_support_q = on;
}

// The destination is the argument's own slot, so the caller's value is never overwritten.
void image_encode() { result(*image::encode(arg(0), arg(1), int_of(arg(2)))); }

// The file loader takes only files: any other value fails as a missing file would.
void image_decode() {
    uint32_t t = TYPE_OF(arg(0));
    if (t != TYPE_BINARY && t != TYPE_FILE) fire(access_error::cannot_open, arg(0));
    result(*image::decode(arg(0)));
}

void kelbin_encode_star() {
    bool compact = value_true_q(arg(1), false, nullptr);
    result(*kelbin::encode(arg(0), compact ? kelbin::form::compact : kelbin::form::fixed));
}

void kelbin_decode() {
    // Decoding allocates and may move the binary's buffer: it reads a copy.
    std::vector<uint8_t> bytes(binary::ks_head(arg(0)), binary::ks_tail(arg(0)));
    cell* values = block::push_only(4);
    kelbin::decode(bytes.data(), bytes.size(), values);
    result(*values);
}

void json_decode() {
    cell* value = stack::push_cell();
    bool done = json::decode(arg(0), value);
    if (done) block::ks_append(arg(1), value);
    result(logic_value(done));
}

void json_encode() {
    cell* text = stack::push_cell();
    bool ascii = TYPE_OF(arg(2)) == TYPE_LOGIC && arg(2)->w1;
    result(json::encode(arg(0), arg(1), ascii, text) ? *text : none_value);
}

void csv_read() {
    cell* rows = stack::push_cell();
    bool header = TYPE_OF(arg(3)) == TYPE_LOGIC && arg(3)->w1;
    csv::options options{arg(1)->w2, arg(2)->w2, header, arg(4)->w1 != 0, arg(5)->w1 != 0};
    result(csv::read(arg(0), options, rows) ? *rows : none_value);
}

struct entry {
    std::string_view name;
    routine_code code;
};

constexpr entry entries[] = {
    {"quit-return", quit_return},
    {"set-quiet", set_quiet},
    {"set-slot-quiet", set_slot_quiet},
    {"shift-right", shift_right},
    {"shift-left", shift_left},
    {"shift-logical", shift_logical},
    {"last-lf?", last_lf_q},
    {"get-current-dir", get_current_dir},
    {"set-current-dir", set_current_dir},
    {"create-dir", create_dir},
    {"exists?", exists_q},
    {"os-info", os_info},
    {"as-color", as_color},
    {"as-ipv4", as_ipv4},
    {"as-rgba", as_rgba},
    {"count-chars", count_chars},
    {"stack-size?", stack_size_q},
    {"pick-stack", pick_stack},
    {"frame-index?", frame_index_q},
    {"collect-calls", collect_calls},
    {"tracing?", tracing_q},
    {"read-clipboard", read_clipboard},
    {"write-clipboard", write_clipboard},
    {"write-stdout", write_stdout},
    {"make-system-words", make_system_words},
    {"GC-active?", GC_active_q},
    {"GC-series-cycles", GC_series_cycles},
    {"GC-nodes-cycles", GC_nodes_cycles},
    {"float-on-change*", float_on_change},
    {"image-encode", image_encode},
    {"image-decode", image_decode},
    {"kelbin-encode*", kelbin_encode_star},
    {"kelbin-decode", kelbin_decode},
    {"json-decode", json_decode},
    {"json-encode", json_encode},
    {"csv-read", csv_read},
};

constexpr int32_t entry_index(std::string_view name) {
    for (size_t i = 0; i < std::size(entries); i++)
        if (entries[i].name == name) return static_cast<int32_t>(i);
    return -1;
}

constexpr bool names_match_entries() {
    if (std::size(entries) != std::size(routine_names)) return false;
    for (std::string_view name : routine_names)
        if (entry_index(name) < 0) return false;
    return true;
}
static_assert(names_match_entries(), "every routine of the routines stage needs one C++ entry, and the reverse");

routine_code entry_codes[std::size(entries)];

// The datatype that `return: [type]` names in the spec, -1 without one.
int32_t return_type(const cell* spec) {
    uint32_t return_symbol = symbol::resolve(symbol::make("return"));
    series_buffer* b = series::buffer_of(spec);
    for (cell* c = b->cells(); c + 1 < b->cells_tail(); c++) {
        if (TYPE_OF(c) != TYPE_SET_WORD || symbol::resolve(c->w2) != return_symbol) continue;
        if (TYPE_OF(c + 1) != TYPE_BLOCK || series::buffer_length(c + 1) != 1) return -1;
        const cell* type = _context::get(series::buffer_of(c + 1)->cells());
        return TYPE_OF(type) == TYPE_DATATYPE ? static_cast<int32_t>(type->w1) : -1;
    }
    return -1;
}

bool has_return(const cell* spec) {
    uint32_t return_symbol = symbol::resolve(symbol::make("return"));
    series_buffer* b = series::buffer_of(spec);
    for (cell* c = b->cells(); c < b->cells_tail(); c++)
        if (TYPE_OF(c) == TYPE_SET_WORD && symbol::resolve(c->w2) == return_symbol) return true;
    return false;
}

}  // namespace

void define(cell* stage, node_id handover) {
    for (size_t i = 0; i < std::size(entries); i++) entry_codes[i] = entries[i].code;
    routine_entries = entry_codes;
    routine_entry_count = static_cast<uint32_t>(std::size(entries));

    int32_t length = series::buffer_length(stage);
    for (int32_t i = series::head_of(stage); i < length; i += 3) {
        cell* saved = stack::top;
        cell* name = stack::push(block::ks_abs_at(stage, i));
        cell* spec = stack::push(block::ks_abs_at(stage, i + 1));
        cell* body = stack::push(block::ks_abs_at(stage, i + 2));
        KEL_ASSERT(i + 2 < length && TYPE_OF(spec) == TYPE_BLOCK && TYPE_OF(body) == TYPE_BLOCK);
        const char* text = symbol::name_c_string(name->w2);
        int32_t index = entry_index(text);
        KEL_ASSERT(index >= 0);
        cell* made = routine::push(spec, body, index, return_type(spec), has_return(spec));
        if (TYPE_OF(name) == TYPE_SET_WORD) _context::set(name, made);
        else _context::put_value(handover, name->w2, made);
        stack::top = saved;
    }
}

}  // namespace kel::routines
