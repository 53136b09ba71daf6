#include "evaluator/values.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/file.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/locale.h"
#include "datatypes/logic.h"
#include "datatypes/map.h"
#include "datatypes/money_amount.h"
#include "datatypes/object.h"
#include "datatypes/pair.h"
#include "datatypes/point.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/interpreter.h"
#include "platform/files.h"
#include "runtime/case_folding.h"
#include "runtime/collector.h"
#include "runtime/console.h"
#include "runtime/cycles.h"
#include "runtime/error_catalog.h"
#include "runtime/heap.h"
#include "runtime/memory.h"
#include "runtime/output_hooks.h"
#include "runtime/ownership.h"
#include "runtime/stack.h"

namespace kel {
namespace natives {

cell print_buffer{TYPE_NONE, 0, 0, 0};
bool last_lf_q = false;

namespace {

constexpr int32_t PRINT_BUFFER_SIZE = 32;

inline cell* arg(int32_t i) { return stack::arguments + i; }
// The first argument of refinement k, or null when the refinement is absent.
inline cell* refinement_arg(const int32_t* refinements, uint32_t k) {
    return refinement_given(refinements, k) ? arg(refinements[k]) : nullptr;
}

inline uint32_t cells_in(const cell* block) {
    return static_cast<uint32_t>(node_buffer(series_node(block))->used_bytes() / sizeof(cell));
}

inline bool callable_q(uint32_t t) {
    return t == TYPE_NATIVE || t == TYPE_ACTION || t == TYPE_OP || t == TYPE_FUNCTION || t == TYPE_ROUTINE;
}
inline bool block_like_q(uint32_t t) {
    return t == TYPE_BLOCK || t == TYPE_PAREN || any_path_q(t) || t == TYPE_HASH || t == TYPE_MAP;
}

inline cell logic(bool truth) { return cell{TYPE_LOGIC, truth, 0, 0}; }

// A native frame around nested work that no result of its own leaves.
class named_frame {
public:
    explicit named_frame(const cell* word) : top_(stack::top) { stack::mark_native(word); }
    void end() {
        stack::unwind();
        stack::top = top_;
    }

private:
    cell* top_;
};

void mark_print_buffer() { collector_mark_values(&print_buffer, &print_buffer + 1); }

// --- Paths -------------------------------------------------------------------------------

// Walks a path value through each type's path action, calling no function met on the
// way; with to_set the value is stored at the last element. Pushes the result.
[[nodiscard]] uint32_t walk_path(cell* path, cell* to_set, bool case_q) {
    cell* result = stack::push(&none_value);
    int32_t length = block::ks_length_q(path);
    if (length <= 0) fire(script_error::empty_path);
    cell head = *block::ks_head(path);
    if (TYPE_OF(&head) != TYPE_WORD) fire(script_error::word_first, path);
    cell* current = stack::push(_context::get(&head));
    if (TYPE_OF(current) == TYPE_UNSET) fire(script_error::unset_path, path, &head);
    cell* previous = stack::push(&none_value);
    cell* element = stack::push(&none_value);
    cell* previous_element = stack::push(&none_value);
    cell* slots_top = stack::top;
    bool set = to_set != nullptr;
    for (int32_t i = 1; i < length; i++) {
        *element = *block::ks_abs_at(path, series::head_of(path) + i);
        if (TYPE_OF(element) == TYPE_GET_WORD) {
            *element = *_context::get(element);
        } else if (TYPE_OF(element) == TYPE_PAREN) {
            cell* paren = stack::push(element);
            if (uint32_t code = eval_block(paren, false)) return code;
            *element = *(stack::top - 1);
            stack::top = slots_top;
        }
        if (TYPE_OF(element) == TYPE_UNSET) fire(script_error::invalid_path, path, element);
        bool last = i == length - 1;
        action_entry entry = type_action(TYPE_OF(current), ACT_EVAL_PATH);
        if (!entry) {
            cell type{TYPE_DATATYPE, TYPE_OF(current), 0, 0};
            cell* cut = block::clone(path, true, true);
            block::ks_set_tail(cut, series::head_of(cut) + i);
            fire(script_error::bad_path_type, path, &type, cut);
        }
        bool tracked = set && last && length >= 3 &&
                       (any_block_q(TYPE_OF(previous)) || TYPE_OF(previous) == TYPE_OBJECT);
        const cell* r = reinterpret_cast<eval_path_fn>(entry)(current, element, set && last ? to_set : nullptr, path,
                                                              previous, previous_element, i, case_q, !set, last,
                                                              tracked);
        cell next = *r;
        stack::top = slots_top;
        *previous = *current;
        *previous_element = *element;
        *current = next;
    }
    *result = set ? *to_set : *current;
    stack::top = result + 1;
    return 0;
}

// --- Building blocks -----------------------------------------------------------------------

// Inserts at out's position and moves it past the value (a hash! keeps its index).
inline void put_out(cell* out, const cell* value) { block::insert_value(out, value, true, false); }

[[nodiscard]] uint32_t reduce_block(cell* input, cell* out) {
    int32_t start = std::min(series::head_of(out), series::buffer_length(out));
    int32_t count = 0;
    uint32_t pc = series_head(input);
    uint32_t end = cells_in(input);
    cell* base = stack::top;
    while (pc < std::min(end, cells_in(input))) {
        if (uint32_t code = eval_next(input, pc, end, true)) return code;
        cell* value = stack::top - 1;
        value->header &= ~CELL_NEW_LINE;
        put_out(out, value);
        count++;
        stack::top = base;
    }
    if (count) ownership::check(out, owner_action::inserted, start, count);
    return 0;
}

// The paren's value put into out by the compose rules.
[[nodiscard]] uint32_t compose_paren(cell* paren, bool only, cell* out) {
    if (block::ks_tail_q(paren)) return 0;
    if (uint32_t code = eval_block(paren, false)) return code;
    cell* value = stack::top - 1;
    if (TYPE_OF(value) == TYPE_UNSET) return 0;
    if (TYPE_OF(value) != TYPE_BLOCK || only) {
        put_out(out, value);
        return 0;
    }
    int32_t n = block::ks_length_q(value);
    for (int32_t i = 0; i < n; i++) {
        cell item = *block::ks_abs_at(value, series::head_of(value) + i);
        put_out(out, &item);
    }
    return 0;
}

}  // namespace

void print_buffer_init() {
    collector_add_mark_callback(mark_print_buffer);
    print_buffer = none_value;
    block::make_at(&print_buffer, PRINT_BUFFER_SIZE);
    last_lf_q = false;
}

uint32_t compose_block(cell* block, bool deep, bool only, cell* out) {
    cycles_guard walking(series_node(block));
    cell* base = stack::top;
    for (uint32_t i = series_head(block); i < cells_in(block); i++) {
        cell* item = stack::push(block::ks_abs_at(block, static_cast<int32_t>(i)));
        uint32_t t = TYPE_OF(item);
        if (t == TYPE_PAREN) {
            if (uint32_t code = compose_paren(item, only, out)) return code;
        } else if (t == TYPE_BLOCK && deep && !cycles_find_q(series_node(item))) {
            cell* nested = block::push_only(block::ks_length_q(item));
            if (uint32_t code = compose_block(item, true, only, nested)) return code;
            nested->w1 = 0;
            put_out(out, nested);
        } else {
            put_out(out, item);
        }
        stack::top = base;
    }
    return 0;
}

void set_block_words(cell* words, cell* value, bool any, bool only, bool some) {
    bool spread = block_like_q(TYPE_OF(value)) && !only;
    int32_t n = block::ks_length_q(words);
    for (int32_t i = 0; i < n; i++) {
        cell* word = stack::push(block::ks_abs_at(words, series::head_of(words) + i));
        uint32_t t = TYPE_OF(word);
        if (t < TYPE_WORD || t > TYPE_GET_WORD) fire(script_error::invalid_arg, word);
        cell* item = stack::push(&none_value);
        if (!spread) *item = *value;
        else if (i < block::ks_length_q(value)) *item = *block::ks_abs_at(value, series::head_of(value) + i);
        if (TYPE_OF(item) == TYPE_UNSET && !any) fire(script_error::need_value, word);
        if (!(some && TYPE_OF(item) == TYPE_NONE)) _context::set(word, item);
        stack::pop(2);
    }
}

uint32_t print_value(bool line_feed) {
    if (TYPE_OF(&print_buffer) != TYPE_BLOCK) print_buffer_init();
    cell* value = stack::arguments;
    int32_t mark = series::buffer_length(&print_buffer);
    // The buffer gets its old tail back on every way out, errors included.
    struct cut_back {
        int32_t tail;
        ~cut_back() { block::ks_set_tail(&print_buffer, tail); }
    } cut{mark};
    if (TYPE_OF(value) == TYPE_BLOCK) {
        cell* out = stack::push(&print_buffer);
        out->w1 = static_cast<uint32_t>(mark);
        if (uint32_t code = reduce_block(value, out)) return code;
        value = stack::push(&print_buffer);
        value->w1 = static_cast<uint32_t>(mark);
    }
    cell* text = value;
    if (TYPE_OF(value) != TYPE_STRING) {
        text = string::make_at(stack::push_cell(), 16);
        form_dispatch(value, text, nullptr, INT32_MAX);
    }
    const uint8_t* head = string::ks_head(text);
    series_buffer* b = string::buffer_of(text);
    write_text_out(head, static_cast<size_t>(b->tail - head), b->unit(), line_feed);
    output_hooks_run_values(text, line_feed);
    last_lf_q = line_feed;
    *stack::arguments = unset_value;
    return 0;
}

cell* memory_stats(int32_t mode) {
    auto number = [](size_t n) {
        return n > INT32_MAX ? float_::push(static_cast<double>(n)) : integer::push(static_cast<int32_t>(n));
    };
    struct line {
        size_t free, used, total;
    };
    std::vector<line> nodes, series;
    std::vector<size_t> bigs;
    for (node_frame* f = memory.first_node_frame; f; f = f->next) {
        size_t count = static_cast<size_t>(f->count), used = static_cast<size_t>(f->used);
        nodes.push_back({count - used, used, count});
    }
    for (series_frame* f = memory.first_series_frame; f; f = f->next) {
        size_t total = f->size - sizeof(series_frame), used = static_cast<size_t>(f->heap - f->data());
        series.push_back({total - used, used, total});
    }
    for (big_block* b = memory.big_blocks; b; b = b->next) bigs.push_back(b->size);
    if (mode == 1) {
        size_t bytes = 0;
        for (const line& l : nodes) bytes += 4 * l.used;
        for (const line& l : series) bytes += l.used;
        for (size_t s : bigs) bytes += s;
        return number(bytes);
    }
    cell* result = block::push_only(5);
    for (const std::vector<line>* frames : {&nodes, &series}) {
        cell* list = block::push_only(static_cast<int32_t>(frames->size()));
        for (const line& l : *frames) {
            cell* entry = block::push_only(3);
            for (size_t n : {l.free, l.used, l.total}) block::ks_append(entry, number(n));
            block::ks_append(list, entry);
            stack::top = entry;
        }
        block::ks_append(result, list);
        stack::top = list;
    }
    cell* list = block::push_only(static_cast<int32_t>(bigs.size()));
    for (size_t s : bigs) block::ks_append(list, number(s));
    block::ks_append(result, list);
    block::ks_append(result, number(memory.total));
    block::ks_append(result, number(heap_in_use()));
    stack::top = result + 1;
    return result;
}

uint32_t do_block_value(cell* block, bool expand, cell* position) {
    block::ks_head(block);
    if (expand) {
        cell* expander = stack::push(&none_value);
        *expander = word::load("expand");
        named_frame anon(&runtime_words[W_ANON]);
        cell* call = block::push_only(4);
        block::ks_append(call, expander);
        block::ks_append(call, block);
        block::ks_append(call, &none_value);
        block::ks_append(call, &false_value);
        if (uint32_t code = eval_block(call, false)) return code;
        anon.end();
    }
    if (!position) return eval_block(block, true);
    cell code = *block, word = *position;
    stack::keep();
    cell* at = stack::push(&code);
    cell* target = stack::push(&word);
    if (uint32_t c = do_next(at)) return c;
    _context::set(target, at);
    *stack::arguments = *(stack::top - 1);
    return 0;
}

// --- Entries ---------------------------------------------------------------------------

int32_t get(bool, const int32_t* refinements) {
    cell* target = arg(0);
    uint32_t t = TYPE_OF(target);
    if (any_path_q(t)) {
        if (uint32_t code = walk_path(target, nullptr, refinement_given(refinements, 1))) return code;
        *target = *(stack::top - 1);
    } else if (t == TYPE_OBJECT) {
        *target = *object::reflect(target, runtime_symbols[SYM_VALUES]);
    } else {
        const cell* value = _context::get(target);
        if (TYPE_OF(value) == TYPE_UNSET && !refinement_given(refinements, 0)) fire(script_error::no_value, target);
        *target = *value;
    }
    return 0;
}

int32_t set(bool, const int32_t* refinements) {
    cell* target = arg(0);
    cell* value = arg(1);
    bool any = refinement_given(refinements, 0), only = refinement_given(refinements, 2),
         some = refinement_given(refinements, 3);
    if (!any && TYPE_OF(value) == TYPE_UNSET) fire(script_error::need_value, target);
    uint32_t t = TYPE_OF(target);
    if (any_path_q(t)) {
        if (uint32_t code = walk_path(target, value, refinement_given(refinements, 1))) return code;
    } else if (t == TYPE_OBJECT) {
        object::set_many(target, value, any, only, some);
    } else if (t == TYPE_BLOCK) {
        named_frame anon(&runtime_words[W_ANON]);
        set_block_words(target, value, any, only, some);
        anon.end();
    } else {
        _context::set(target, value);
    }
    *stack::arguments = *value;
    return 0;
}

int32_t print(bool, const int32_t*) { return print_value(true); }
int32_t prin(bool, const int32_t*) { return print_value(false); }

int32_t not_(bool, const int32_t*) {
    *stack::arguments = logic(arg_false_q());
    return 0;
}

int32_t type_q(bool, const int32_t* refinements) {
    uint32_t t = TYPE_OF(arg(0));
    if (refinement_given(refinements, 0)) {
        const cell& known = type_names[t].word;
        *arg(0) = known.header ? known : word::load(type_names[t].name);
    } else {
        *arg(0) = cell{TYPE_DATATYPE, t, 0, 0};
    }
    return 0;
}

int32_t reduce(bool, const int32_t* refinements) {
    cell* value = arg(0);
    cell* into = refinement_arg(refinements, 0);
    uint32_t t = TYPE_OF(value);
    if (t == TYPE_BLOCK) {
        cell* out = into ? into : block::push_only(block::ks_length_q(value));
        if (uint32_t code = reduce_block(value, out)) return code;
        if (!into) out->w1 = 0;
        *stack::arguments = *out;
        return 0;
    }
    cell* result = value;
    if (!callable_q(t)) {
        cell* code = block::push_only(1);
        block::ks_append(code, value);
        uint32_t pc = 0;
        if (uint32_t c = eval_expression(code, pc, 1, true, true)) return c;
        result = stack::top - 1;
    }
    if (into) {
        int32_t at = std::min(series::head_of(into), series::buffer_length(into));
        put_out(into, result);
        ownership::check(into, owner_action::inserted, at, 1);
        result = into;
    }
    *stack::arguments = *result;
    return 0;
}

int32_t compose(bool, const int32_t* refinements) {
    cell* value = arg(0);
    if (TYPE_OF(value) != TYPE_BLOCK) {
        cell expected{TYPE_DATATYPE, TYPE_BLOCK, 0, 0}, type{TYPE_DATATYPE, TYPE_OF(value), 0, 0};
        fire(script_error::expect_val, &expected, &type);
    }
    cell* into = refinement_arg(refinements, 2);
    cell* out = into ? into : block::push_only(block::ks_length_q(value));
    if (uint32_t code = compose_block(value, refinement_given(refinements, 0), refinement_given(refinements, 1), out))
        return code;
    if (!into) out->w1 = 0;
    *stack::arguments = *out;
    return 0;
}

int32_t stats(bool, const int32_t* refinements) {
    bool show = refinement_given(refinements, 0), info = refinement_given(refinements, 1);
    cell* result = memory_stats(show || info ? 2 : 1);
    if (show) {
        cell* name = stack::push(&none_value);
        *name = word::load("show-memory-stats");
        cell* call = block::push_only(2);
        block::ks_append(call, name);
        block::ks_append(call, result);
        if (uint32_t code = eval_block(call, false)) return code;
        *stack::arguments = unset_value;
        return 0;
    }
    *stack::arguments = *result;
    return 0;
}

int32_t bind(bool, const int32_t* refinements) {
    cell* target = arg(0);
    cell* context = arg(1);
    uint32_t ct = TYPE_OF(context);
    node_id ctx = context->w1;
    if (!ctx) fire(script_error::invalid_arg, context);
    bool self = ct == TYPE_OBJECT;
    if (TYPE_OF(target) != TYPE_BLOCK) {
        _context::bind_word(ctx, target);
        return 0;
    }
    if (refinement_given(refinements, 0)) *target = *block::clone(target, true, true);
    _context::bind(target, ctx, self);
    return 0;
}

int32_t in(bool, const int32_t*) {
    cell* word = arg(1);
    if (TYPE_OF(word) == TYPE_REFINEMENT) set_type(word, TYPE_WORD);
    *arg(0) = _context::bind_word(arg(0)->w1, word) < 0 ? none_value : *word;
    return 0;
}

int32_t construct(bool, const int32_t* refinements) {
    cell* proto = refinement_given(refinements, 0) ? arg(refinements[0]) : stack::push(&none_value);
    *stack::arguments = *object::make_from_spec(proto, arg(0), refinement_given(refinements, 1));
    return 0;
}

int32_t value_q(bool, const int32_t*) {
    const cell* word = arg(0);
    bool has = false;
    node_id ctx = word->w1;
    if (ctx && static_cast<int32_t>(word->w3) >= 0) {
        const cell* values = _context::values(ctx_cell(ctx));
        has = values && TYPE_OF(values + word->w3) != TYPE_UNSET;
    } else if (ctx && word->w2 == runtime_symbols[SYM_SELF]) {
        has = true;
    }
    *stack::arguments = logic(has);
    return 0;
}

int32_t uppercase(bool, const int32_t* refinements) {
    change_case(arg(0), refinement_arg(refinements, 0), 1);
    return 0;
}

int32_t lowercase(bool, const int32_t* refinements) {
    change_case(arg(0), refinement_arg(refinements, 0), 0);
    return 0;
}

namespace {

// An integer as it is; a float truncated toward zero, which must fit 32 bits.
int32_t pair_coordinate(const cell* value) {
    if (TYPE_OF(value) == TYPE_INTEGER) return static_cast<int32_t>(value->w2);
    double d = std::trunc(float_::get(value));
    if (!(d >= INT32_MIN && d <= INT32_MAX)) fire(script_error::invalid_arg, value);
    return static_cast<int32_t>(d);
}

double point_coordinate(const cell* value) {
    return TYPE_OF(value) == TYPE_INTEGER ? static_cast<int32_t>(value->w2) : float_::get(value);
}

}  // namespace

int32_t as_pair(bool, const int32_t*) {
    int32_t x = pair_coordinate(arg(0)), y = pair_coordinate(arg(1));
    pair::make_at(arg(0), x, y);
    return 0;
}

int32_t as_point2D(bool, const int32_t*) {
    double x = point_coordinate(arg(0)), y = point_coordinate(arg(1));
    *arg(0) = cell{TYPE_POINT2D, 0, 0, 0};
    point2D::set(arg(0), x, y);
    return 0;
}

int32_t as_point3D(bool, const int32_t*) {
    double x = point_coordinate(arg(0)), y = point_coordinate(arg(1)), z = point_coordinate(arg(2));
    *arg(0) = cell{TYPE_POINT3D, 0, 0, 0};
    point3D::make_at(arg(0), x, y, z);
    return 0;
}

int32_t as_money(bool, const int32_t*) {
    cell* currency = arg(0);
    cell* amount = arg(1);
    size_t length = 0;
    const uint8_t* name = symbol::name_bytes(currency->w2, &length);
    int32_t index = locale::currency_index(reinterpret_cast<const char*>(name), length);
    if (index < 0) fire(script_error::bad_denom, currency);
    cell result;
    if (TYPE_OF(amount) == TYPE_INTEGER) integer_to_money(&result, static_cast<int32_t>(amount->w2));
    else float_to_money(&result, float_::get(amount), false);
    money_set_currency(&result, static_cast<uint32_t>(index));
    *stack::arguments = result;
    return 0;
}

int32_t extend(bool, const int32_t* refinements) {
    if (TYPE_OF(arg(0)) != TYPE_MAP) fire(internal_error::not_done);
    *stack::arguments = *map::extend(arg(0), arg(1), refinement_given(refinements, 0));
    return 0;
}

int32_t size_q(bool, const int32_t*) {
    const char* path = file::to_OS_path(arg(0));
    bool directory = file_path_is_dir(path);
    *stack::arguments = none_value;
    if (directory) return 0;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    struct stat info;
    // A directory opens for reading here; its size is no file's content.
    if (fstat(fd, &info) == 0 && !S_ISDIR(info.st_mode)) {
        size_t size = static_cast<size_t>(info.st_size);
        if (size > INT32_MAX) float_::make_at(stack::arguments, static_cast<double>(size));
        else *stack::arguments = integer_value(static_cast<int32_t>(size));
    }
    close(fd);
    return 0;
}

}  // namespace natives
}  // namespace kel
