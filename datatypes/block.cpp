#include "datatypes/block.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "datatypes/dispatch.h"
#include "datatypes/hash.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/transcode.h"
#include "datatypes/vector.h"
#include "runtime/collector.h"
#include "runtime/cycles.h"
#include "runtime/error_catalog.h"
#include "runtime/hashtable.h"
#include "runtime/ownership.h"
#include "runtime/sort.h"

namespace kel::block {

using series::buffer_length;
using series::buffer_of;
using series::head_of;

sort_function_call call_sort_function = nullptr;

namespace {

constexpr size_t CELL = sizeof(cell);

inline int32_t length_from_head(const cell* block) { return std::max(ks_length_q(block), 0); }

// Room for added more cells at the tail, doubling what is then needed when asked.
// Returns the buffer, which may have moved.
series_buffer* ensure_room(const cell* block, int64_t added, bool doubled) {
    series_buffer* b = buffer_of(block);
    if (static_cast<int64_t>((b->data_end() - b->tail) / CELL) >= added) return b;
    int64_t need = static_cast<int64_t>(b->used_bytes() / CELL) + added;
    if (need > INT32_MAX / 2) fire(internal_error::no_memory);
    expand_series(b, static_cast<size_t>(need * (doubled ? 2 : 1)) * CELL);
    return buffer_of(block);
}

// Keeps the cycle stack as deep as it was when the walk began, on every way out.
class cycles_depth_guard {
public:
    cycles_depth_guard() : depth_(cycles_depth()) {}
    ~cycles_depth_guard() {
        if (cycles_depth() > depth_) cycles_pop_n(cycles_depth() - depth_);
    }
    cycles_depth_guard(const cycles_depth_guard&) = delete;
    cycles_depth_guard& operator=(const cycles_depth_guard&) = delete;

private:
    size_t depth_;
};

// --- Deep copy ---------------------------------------------------------------------------

enum class copy_mode { clone, clone_any, deep, types };

struct copy_rule {
    copy_mode mode;
    const cell* types;  // datatype! or typeset!, for copy_mode::types
    bool deep;          // descend into copied blocks (copy_mode::types)
};

bool type_selected(const copy_rule& rule, uint32_t type) {
    switch (rule.mode) {
        case copy_mode::clone: return type == TYPE_BLOCK;
        case copy_mode::clone_any: return any_block_q(type) && type != TYPE_HASH;
        case copy_mode::deep: return series_type_q(type) || type == TYPE_BITSET;
        case copy_mode::types:
            // bitset!, object!, error! and map! copies join with those datatypes.
            if (!series_type_q(type) && type != TYPE_BITSET) return false;
            return TYPE_OF(rule.types) == TYPE_DATATYPE ? rule.types->w1 == type
                                                         : typeset_has(rule.types, type);
    }
    return false;
}

bool descends(const copy_rule& rule, uint32_t type) {
    return any_block_q(type) && (rule.mode != copy_mode::types || rule.deep);
}

// Replaces the selected cells of the copy in top (a block cell that stays put), and of
// every block copied on the way, by copies of their own. The frames of the walk are
// copied blocks on the argument stack, each with its head at the next cell to look at;
// the cycle stack holds the sources being walked, so a block met inside itself raises
// no-cycle, and deep nesting raises too-deep, never a machine stack overflow.
// The caller has pushed the source of top on the cycle stack.
void copy_nested(const cell* top, const copy_rule& rule) {
    cell* base = stack::top;
    cell* frame = stack::push(top);
    frame->w1 = 0;
    while (stack::top > base) {
        frame = stack::top - 1;
        series_buffer* b = buffer_of(frame);
        int32_t len = static_cast<int32_t>(b->used_bytes() / CELL);
        int32_t i = head_of(frame);
        cell* cells = b->cells();
        while (i < len && !type_selected(rule, TYPE_OF(&cells[i]))) i++;
        if (i >= len) {
            // A nested hash! copy is indexed once its own cells are final.
            if (TYPE_OF(frame) == TYPE_HASH && frame > base) {
                node_id table = hashtable_make(static_cast<uint32_t>(std::max(len, 1)), series_node(frame),
                                               HASH_KIND_HASH);
                cell* parent = frame - 1;
                ks_abs_at(parent, head_of(parent) - 1)->w3 = table;
            }
            stack::pop(1);
            cycles_pop();
            continue;
        }
        frame->w1 = static_cast<uint32_t>(i + 1);
        bool down = descends(rule, TYPE_OF(&cells[i]));
        if (down && cycles_find_q(series_node(&cells[i]))) {
            cycles_reset();
            fire(internal_error::no_cycle);
        }
        cell* source = stack::push(&cells[i]);
        cell* fresh = stack::push(&none_value);
        int32_t count = std::max(series::length(source), 0);
        series::copy_range(source, fresh, head_of(source), count);
        if (!down && TYPE_OF(fresh) == TYPE_HASH) hash::index(fresh);
        *ks_abs_at(frame, i) = *fresh;
        if (down) {
            cycles_push(series_node(source));
            *source = *fresh;
            source->w1 = 0;
            stack::pop(1);
        } else {
            stack::pop(2);
        }
    }
}

// --- Search ------------------------------------------------------------------------------

enum class match_mode { single, type, typeset, sequence };

struct search {
    int32_t position = -1;  // of the match, -1 when none
    int32_t k = 1;          // cells matched
    bool sequence = false;
};

search find_position(cell* series, cell* value, cell* part, bool only, bool case_q, bool same,
                     cell* skip, bool last, bool reverse, bool match) {
    search s;
    int32_t buflen = buffer_length(series);
    int32_t h = head_of(series);
    if (buflen == 0 || (!reverse && h >= buflen)) return s;
    int32_t step = 1;
    if (refinement_q(skip)) {
        if (TYPE_OF(skip) != TYPE_INTEGER) series::refine_arg_error(skip);
        step = int_of(skip);
        if (step < 1) fire(script_error::out_of_range, skip);
    }
    int32_t last_cell = buflen - 1;
    bool has_part = refinement_q(part);
    if (has_part) {
        if (TYPE_OF(part) == TYPE_INTEGER) {
            if (int_of(part) < 1) return s;
            last_cell = static_cast<int32_t>(std::min<int64_t>(int64_t(h) + int_of(part) - 1, buflen - 1));
        } else {
            if (TYPE_OF(part) != TYPE_OF(series) || series_node(part) != series_node(series))
                series::refine_arg_error(part);
            last_cell = std::min(head_of(part), buflen - 1);
        }
    }
    uint32_t vt = TYPE_OF(value);
    match_mode mode = match_mode::single;
    const cell* pattern = value;
    if (!only && vt == TYPE_DATATYPE) {
        mode = match_mode::type;
    } else if (!only && vt == TYPE_TYPESET) {
        mode = match_mode::typeset;
    } else if (!only && any_block_q(vt) && ks_length_q(value) > 0) {
        mode = match_mode::sequence;
        s.k = ks_length_q(value);
        s.sequence = true;
        pattern = ks_abs_at(value, head_of(value));
    }
    int32_t op = same ? COMP_SAME : case_q ? COMP_STRICT_EQUAL : COMP_FIND;
    // A hash! answers single values from its table; sequences, types, objects by
    // equality and /match still scan.
    node_id table = hash::table_of(series);
    if (table && !match && mode == match_mode::single && (vt != TYPE_OBJECT || same) &&
        (!any_block_q(vt) || (same && only))) {
        bool forward = !last && !reverse;
        int32_t from = forward ? h : last ? (has_part ? last_cell : buflen - 1) : h - 1;
        if (from < 0) return s;
        // Backward scans visit the positions aligned on the step from their start.
        uint32_t start = static_cast<uint32_t>(last ? from % step : from);
        int32_t at = hashtable_find(table, value, start, last, reverse, op, static_cast<uint32_t>(step));
        if (at >= 0 && (forward ? at <= last_cell : at <= from)) s.position = at;
        return s;
    }
    int32_t k = s.k;
    bool forward = !last && !reverse;
    int32_t bound = has_part ? last_cell + 1 : buflen;
    int32_t start = forward ? h : last ? (has_part ? last_cell : buflen - k) : h - k;
    if (start < 0) return s;
    cell* cells = buffer_of(series)->cells();
    auto matches = [&](int32_t i) {
        cell* c = cells + i;
        switch (mode) {
            case match_mode::type: return TYPE_OF(c) == value->w1;
            case match_mode::typeset: return typeset_has(value, TYPE_OF(c));
            case match_mode::single: return compare_dispatch(value, c, op) == 0;
            case match_mode::sequence:
                if (i + k > bound) return false;
                for (int32_t j = 0; j < k; j++)
                    if (compare_dispatch(const_cast<cell*>(pattern + j), c + j, op) != 0) return false;
                return true;
        }
        return false;
    };
    if (forward) {
        for (int32_t i = start; i < bound; i += step) {
            if (matches(i)) return s.position = i, s;
            if (match) break;
        }
    } else {
        for (int32_t i = start; i >= 0; i -= step) {
            if (matches(i)) return s.position = i, s;
            if (match) break;
        }
    }
    return s;
}

cell found_result;  // find's answer; the dispatcher copies it before anything allocates

bool cells_equal(cell* a, cell* b, bool case_q) {
    return compare_dispatch(a, b, case_q ? COMP_STRICT_EQUAL : COMP_FIND) == 0;
}

// Whether equal values of the type always hash alike: scalars, words and text. Values of
// the other types (blocks, objects, dates ...) are compared deeply or loosely, and looked up
// by a scan.
bool hashed_key_q(const cell* value) {
    switch (TYPE_OF(value)) {
        case TYPE_INTEGER: case TYPE_CHAR: case TYPE_FLOAT: case TYPE_PERCENT: case TYPE_TIME:
        case TYPE_WORD: case TYPE_SET_WORD: case TYPE_LIT_WORD: case TYPE_GET_WORD:
        case TYPE_REFINEMENT: case TYPE_ISSUE: case TYPE_STRING: case TYPE_FILE: case TYPE_URL:
        case TYPE_TAG: case TYPE_EMAIL: case TYPE_REF: case TYPE_BINARY: case TYPE_PAIR:
        case TYPE_POINT2D: case TYPE_POINT3D: case TYPE_TUPLE: case TYPE_MONEY: case TYPE_NONE:
        case TYPE_UNSET: case TYPE_LOGIC: case TYPE_DATATYPE: case TYPE_TYPESET:
            return true;
        default:
            return false;
    }
}

// The record keys of a block from its head, indexed as they are added so that a set
// operation tests membership in constant time. Holds positions, never addresses: the
// block's buffer may move between calls. Keys of types that do not hash are kept in a
// list and scanned.
class key_index {
public:
    key_index(const cell* block, int32_t n, bool case_q) : block_(block), n_(n), case_q_(case_q) {}

    // Room for this many keys without growing.
    void reserve(int64_t keys) { grow(static_cast<uint32_t>(std::min<int64_t>(keys, INT32_MAX / 4))); }

    void add_all() {
        int32_t len = buffer_length(block_);
        reserve(std::max(0, len - head_of(block_)) / n_);
        for (int32_t i = head_of(block_); i < len; i += n_) add(i);
    }

    void add(int32_t position) {
        cell* key = ks_abs_at(block_, position);
        if (!hashed_key_q(key)) {
            scanned_.push_back(position);
            return;
        }
        if ((count_ + 1) * 4 > slots_.size() * 3) grow(count_ + 1);
        slots_[probe(key)] = position;
        count_++;
    }

    bool contains(cell* key) {
        if (!hashed_key_q(key)) {
            for (int32_t p : scanned_)
                if (cells_equal(key, ks_abs_at(block_, p), case_q_)) return true;
            return false;
        }
        return !slots_.empty() && slots_[probe(key)] >= 0;
    }

private:
    // The slot holding a key equal to this one, else the empty slot where it goes.
    size_t probe(cell* key) {
        size_t mask = slots_.size() - 1;
        size_t i = hash_value(key, case_q_) & mask;
        cell* cells = buffer_of(block_)->cells();
        // Integers and characters are equal by payload alone, under either equality.
        uint32_t t = TYPE_OF(key);
        bool payload = t == TYPE_INTEGER || t == TYPE_CHAR;
        for (size_t step = 1; slots_[i] >= 0; step++) {
            cell* other = cells + slots_[i];
            if (payload ? TYPE_OF(other) == t && other->w2 == key->w2 : cells_equal(key, other, case_q_)) return i;
            i = (i + step) & mask;
        }
        return i;
    }

    void grow(uint32_t keys) {
        size_t size = 16;
        while (size * 3 < static_cast<size_t>(keys) * 4 + 4) size *= 2;
        if (size <= slots_.size()) return;
        std::vector<int32_t> old(size, -1);
        old.swap(slots_);
        for (int32_t p : old)
            if (p >= 0) slots_[probe(ks_abs_at(block_, p))] = p;
    }

    const cell* block_;
    int32_t n_;
    bool case_q_;
    uint32_t count_ = 0;
    std::vector<int32_t> slots_;
    std::vector<int32_t> scanned_;
};

// --- Mold and form -----------------------------------------------------------------------

inline int32_t append_text(cell* buffer, const char* text, int32_t part) {
    return string::form_text(buffer, text, part);
}

int32_t append_indent(cell* buffer, int32_t level, int32_t part) {
    for (int32_t i = 0; i < level; i++) part = append_text(buffer, "    ", part);
    return part;
}

bool ends_with_break(const cell* buffer) {
    series_buffer* b = buffer_of(buffer);
    if (b->tail == b->offset) return false;
    // The last character, not the last byte: a buffer of wide characters ends in a high byte.
    uint32_t c = string::get_char(b->tail - b->unit(), b->unit());
    return c == '\t' || c == '\n' || c == '\r';
}

// --- Sort --------------------------------------------------------------------------------

int32_t sort_cells(const cell* a, const cell* b, int32_t op) {
    int32_t r = compare_dispatch(const_cast<cell*>(a), const_cast<cell*>(b), op);
    if (r == INCOMPARABLE) return static_cast<int32_t>(TYPE_OF(a)) - static_cast<int32_t>(TYPE_OF(b));
    return r;
}

int32_t sort_compare_with(const void* a, const void* b, uintptr_t function, uintptr_t flags) {
    // Calling a function needs the interpreter, which installs the call.
    if (!call_sort_function) fire(internal_error::not_done);
    auto* x = static_cast<const cell*>(a);
    auto* y = static_cast<const cell*>(b);
    cell* fn = reinterpret_cast<cell*>(function);
    const cell* r = flags & 1 ? call_sort_function(fn, x, y) : call_sort_function(fn, y, x);
    switch (TYPE_OF(r)) {
        case TYPE_LOGIC: return r->w1 == 1 ? 1 : -1;
        case TYPE_INTEGER: return compare_sign(int_of(r));
        case TYPE_FLOAT: return compare_sign(cell_float(r) > 0.0 ? 1 : cell_float(r) < 0.0 ? -1 : 0);
        case TYPE_NONE: return -1;
        default: return 1;
    }
}

}  // namespace

void init() {
    const action_entry I = INHERIT;
    register_datatype(TYPE_BLOCK, TYPE_SERIES, "block!", {
        entry<ACT_MAKE>(make), I, I, entry<ACT_TO>(to), entry<ACT_FORM>(form),
        entry<ACT_MOLD>(mold), entry<ACT_EVAL_PATH>(eval_path), 0, entry<ACT_COMPARE>(compare), 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, entry<ACT_APPEND>(insert), I, I, entry<ACT_CHANGE>(change), I,
        entry<ACT_COPY>(copy),
        entry<ACT_FIND>(find), I, I, I, entry<ACT_INSERT>(insert), I, I, I, I, I,
        entry<ACT_PUT>(put), I, I, entry<ACT_SELECT>(select), entry<ACT_SORT>(sort), I,
        entry<ACT_SWAP>(swap), I, I, entry<ACT_TAKE>(take),
        entry<ACT_TRIM>(trim), 0, 0, 0, I, 0, 0, 0, 0, 0, 0, 0,
    });
}

// --- Accessors ---------------------------------------------------------------------------

void ks_remove_last(cell* block) {
    series_buffer* b = buffer_of(block);
    if (b->tail > b->offset) b->tail -= CELL;
    int32_t len = buffer_length(block);
    if (head_of(block) > len) block->w1 = static_cast<uint32_t>(len);
}

cell* ks_append(const cell* block, const cell* value) {
    series_buffer* b = buffer_of(block);
    if (b->tail == b->data_end()) {
        root_cell keep(*value);
        b = ensure_room(block, 1, true);
        value = &keep.value;
        cell* slot = b->cells_tail();
        *slot = *value;
        b->tail += CELL;
        return slot;
    }
    cell* slot = b->cells_tail();
    *slot = *value;
    b->tail += CELL;
    return slot;
}

void ks_append_block(const cell* block, const cell* other) {
    int32_t n = length_from_head(other);
    series_buffer* b = ensure_room(block, n, true);
    std::memcpy(b->tail, ks_abs_at(other, head_of(other)), n * CELL);
    b->tail += n * CELL;
}

// --- Constructors --------------------------------------------------------------------

cell* make_at(cell* value, int32_t n) {
    node_id node = alloc_cells(static_cast<size_t>(std::max(n, 1)));
    set_series_value(value, TYPE_BLOCK, node, 0);
    return value;
}

cell* make_at_opt(cell* value, int32_t n, bool fixed) {
    size_t room = static_cast<size_t>(std::max(n, 1));
    node_id node = fixed ? alloc_fixed_series(room, CELL, 0) : alloc_unset_cells(room);
    set_series_value(value, TYPE_BLOCK, node, 0);
    return value;
}

cell* push_only(int32_t n) { return make_at(stack::push(&none_value), n); }

cell* push_value(const cell* value) { return stack::push(value); }

// --- Insertion helpers -----------------------------------------------------------------

void insert_value(cell* block, const cell* value, bool advance, bool at_start) {
    // Read before the cells move: the value may be one of them.
    cell held = *value;
    series_buffer* b = buffer_of(block);
    if (b->tail == b->data_end()) {
        // Only growing allocates: the value is a root while it does.
        root_cell keep(held);
        b = ensure_room(block, 1, true);
        held = keep.value;
    }
    int32_t at = at_start ? 0 : std::min(head_of(block), buffer_length(block));
    cell* slot = b->cells() + at;
    if (slot < b->cells_tail()) std::memmove(slot + 1, slot, static_cast<size_t>(b->cells_tail() - slot) * CELL);
    b->tail += CELL;
    *slot = held;
    hash::reindex(block, at, 0, 1);
    if (advance) block->w1 = static_cast<uint32_t>(at + 1);
}

void insert_block(cell* block, const cell* other) {
    root_cell source(*other);
    int32_t n = length_from_head(other);
    for (int32_t i = 0; i < n; i++) {
        cell item = *ks_abs_at(&source.value, head_of(&source.value) + i);
        insert_value(block, &item, true, false);
    }
}

void insert_frame_value() { insert_value(stack::arguments - 1, stack::arguments, false, false); }

namespace {
void append_indexed(const cell* block, const cell* value) {
    int32_t at = buffer_length(block);
    ks_append(block, value);
    hash::reindex(block, at, 0, 1);
}
}  // namespace

void append_frame_value() { append_indexed(stack::arguments - 1, stack::arguments); }

void append_arg() { append_indexed(stack::arguments, stack::arguments + 1); }

// --- Search ------------------------------------------------------------------------------

const cell* find_equal(cell* block, cell* value) {
    int32_t len = buffer_length(block);
    cell* cells = buffer_of(block)->cells();
    for (int32_t i = head_of(block); i < len; i++)
        if (compare_dispatch(value, cells + i, COMP_FIND) == 0)
            return i + 1 < len ? cells + i + 1 : &none_value;
    return &none_value;
}

int32_t remove_equal(cell* block, cell* value, bool from_start) {
    int32_t len = buffer_length(block);
    cell* cells = buffer_of(block)->cells();
    for (int32_t i = from_start ? 0 : head_of(block); i < len; i++) {
        if (compare_dispatch(value, cells + i, COMP_FIND) != 0) continue;
        std::memmove(cells + i, cells + i + 1, static_cast<size_t>(len - i - 1) * CELL);
        buffer_of(block)->tail -= CELL;
        hash::reindex(block, i, 1, 0);
        return i < head_of(block) ? 2 : 1;
    }
    return 0;
}

cell* clone(const cell* block, bool deep, bool any_block) {
    cell* result = stack::push(&none_value);
    series::copy_range(block, result, head_of(block), length_from_head(block));
    if (deep) {
        cycles_depth_guard depth;
        cycles_push(series_node(block));
        copy_nested(result, {any_block ? copy_mode::clone_any : copy_mode::clone, nullptr, true});
    }
    result->header = TYPE_OF(block);
    return result;
}

const cell* find(cell* series, cell* value, cell* part, bool only, bool case_q, bool same, bool,
                 cell*, cell* skip, bool last, bool reverse, bool tail, bool match) {
    search s = find_position(series, value, part, only, case_q, same, skip, last, reverse, match);
    if (s.position < 0) return &none_value;
    found_result = *series;
    int32_t at = s.position;
    if (tail) {
        int32_t step = refinement_q(skip) ? int_of(skip) : 1;
        at += s.sequence ? s.k : (last || reverse) ? 1 : step;
        at = std::min(at, buffer_length(series));
    }
    found_result.w1 = static_cast<uint32_t>(at);
    return &found_result;
}

const cell* select(cell* series, cell* value, cell* part, bool only, bool case_q, bool same, bool,
                   cell*, cell* skip, bool last, bool reverse) {
    search s = find_position(series, value, part, only, case_q, same, skip, last, reverse, false);
    if (s.position < 0) return &none_value;
    int32_t after = s.position + (s.sequence && TYPE_OF(value) != TYPE_HASH ? s.k : 1);
    return after < buffer_length(series) ? ks_abs_at(series, after) : &none_value;
}

// Records are compared by their first cell, linearly for now: the hash tables that make
// each lookup constant-time join with the hash datatype.
const cell* set_operation(cell* first, bool case_q, cell* skip, int32_t op) {
    int32_t n = series::set_record_size(skip);
    cell* second = first + 1;
    bool two = op != SET_UNIQUE;
    series::length(first);
    if (two) series::length(second);
    int64_t room = length_from_head(first) + (op == SET_UNION ? length_from_head(second) : 0);
    cell* result = push_only(static_cast<int32_t>(std::min<int64_t>(room, INT32_MAX)));
    // The result's keys as they are added; the other series' keys when first looked up.
    key_index emitted(result, n, case_q), in_first(first, n, case_q), in_second(second, n, case_q);
    emitted.reserve(room / n);
    bool first_indexed = false, second_indexed = false;
    series::set_walk(
        first, second, result, op, n,
        [&](const cell* series, cell* from, int32_t i) {
            if (series == result) return emitted.contains(ks_abs_at(from, i));
            bool& indexed = series == first ? first_indexed : second_indexed;
            key_index& index = series == first ? in_first : in_second;
            if (!indexed) index.add_all(), indexed = true;
            return index.contains(ks_abs_at(from, i));
        },
        [&](cell* from, int32_t i, int32_t count) {
            series_buffer* b = ensure_room(result, count, true);
            std::memcpy(b->tail, ks_abs_at(from, i), count * CELL);
            b->tail += count * CELL;
            emitted.add(static_cast<int32_t>((b->tail - b->offset) / CELL) - count);
        });
    first->w1 = 0;
    first->w2 = result->w2;
    first->w3 = 0;
    // The result of a hash! is a hash! with a table over the new buffer.
    if (TYPE_OF(first) == TYPE_HASH || (two && TYPE_OF(second) == TYPE_HASH)) hash::index(first);
    stack::pop(1);
    return first;
}

// --- Construction and conversion -------------------------------------------------------

const cell* make(cell*, cell* spec, uint32_t type) {
    uint32_t st = TYPE_OF(spec);
    cell* result;
    if (any_block_q(st)) {
        result = clone(spec, false, false);
    } else if (st == TYPE_INTEGER || st == TYPE_FLOAT) {
        double n = st == TYPE_INTEGER ? int_of(spec) : std::trunc(cell_float(spec));
        result = push_only(n < 1 ? 1 : n > INT32_MAX ? INT32_MAX : static_cast<int32_t>(n));
    } else {
        // object!, map! and vector! specs join with those datatypes.
        cell target = datatype_of(type);
        fire(script_error::bad_make_arg, &target, spec);
    }
    set_type(result, type);
    return result;
}

const cell* to(cell*, cell* spec, uint32_t type) {
    uint32_t st = TYPE_OF(spec);
    cell* result;
    if (any_block_q(st)) {
        result = clone(spec, false, false);
    } else if (st == TYPE_TYPESET) {
        result = push_only(8);
        for (uint32_t t = 1; t < 96; t++) {
            if (!typeset_has(spec, t)) continue;
            cell d = datatype_of(t);
            ks_append(result, &d);
        }
    } else if (st == TYPE_VECTOR) {
        result = vector::to_block(spec);
    } else if (any_string_q(st)) {
        result = stack::push_cell();
        transcode_string(result, spec, -1, false, true, true, true, nullptr);
    } else {
        result = push_only(1);
        ks_append(result, spec);
    }
    set_type(result, type);
    return result;
}

// --- Text forms --------------------------------------------------------------------------

int32_t form(cell* value, cell* buffer, cell*, int32_t part) {
    if (cycles_detect_q(value, buffer, &part, false)) return part;
    cycles_guard walk(series_node(value));
    for (int32_t i = head_of(value); i < buffer_length(value); i++) {
        if (part <= 0) break;
        if (i > head_of(value) && !ends_with_break(buffer)) part = append_text(buffer, " ", part);
        cell* item = stack::push(ks_abs_at(value, i));
        part = form_dispatch(item, buffer, nullptr, part);
        stack::pop(1);
    }
    return part;
}

int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent) {
    if (cycles_detect_q(value, buffer, &part, true)) return part;
    if (!only) part = append_text(buffer, "[", part);
    part = mold_each(value, buffer, only, all, flat, arg, part, indent);
    if (!only) part = append_text(buffer, "]", part);
    return part;
}

int32_t mold_each(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg,
                  int32_t part, int32_t indent) {
    cycles_guard walk(series_node(value));
    int32_t first = head_of(value);
    int32_t level = indent;
    bool opened = false;
    for (int32_t i = first; i < buffer_length(value); i++) {
        if (part < 1) break;
        cell* item = stack::push(ks_abs_at(value, i));
        if (!flat && (item->header & CELL_NEW_LINE)) {
            if (i == first && !only) {
                level++;
                opened = true;
            }
            if (!(i == first && only)) part = append_text(buffer, "\n", part);
            part = append_indent(buffer, level, part);
        } else if (i != first) {
            part = append_text(buffer, " ", part);
        }
        part = mold_dispatch(item, buffer, false, all, flat, arg, part, level);
        stack::pop(1);
    }
    if (opened) {
        part = append_text(buffer, "\n", part);
        part = append_indent(buffer, level - 1, part);
    }
    return part;
}

// --- Comparison ----------------------------------------------------------------------

int32_t compare(cell* value1, cell* value2, int32_t op) {
    uint32_t t1 = TYPE_OF(value1), t2 = TYPE_OF(value2);
    if (t1 != t2) {
        auto path_like = [](uint32_t t) { return t == TYPE_PATH || t == TYPE_LIT_PATH; };
        if (!((op == COMP_STRICT_MATCH || op == COMP_MATCH) && path_like(t1) && path_like(t2)))
            return INCOMPARABLE;
    }
    return compare_each(value1, value2, op);
}

int32_t compare_each(cell* value1, cell* value2, int32_t op) {
    node_id n1 = series_node(value1), n2 = series_node(value2);
    if (n1 == n2 && head_of(value1) == head_of(value2)) return 0;
    if (op == COMP_SAME) return -1;
    if (cycles_find_q(n1)) return cycles_find_q(n2) ? 0 : -1;
    int32_t len1 = length_from_head(value1), len2 = length_from_head(value2);
    if (len1 != len2) {
        switch (op) {
            case COMP_EQUAL:
            case COMP_NOT_EQUAL:
            case COMP_STRICT_EQUAL:
            case COMP_STRICT_MATCH:
            case COMP_MATCH:
            case COMP_FIND:
                return 1;
            default:
                break;
        }
    }
    // An empty block against a longer one sorts first, below; only two empty ones are equal.
    if (len1 == 0 && len2 == 0) return 0;
    cycles_guard walk1(n1);
    cycles_guard walk2(n2);
    cell* a = ks_abs_at(value1, head_of(value1));
    cell* b = ks_abs_at(value2, head_of(value2));
    auto word_type = [](uint32_t t) { return t >= TYPE_WORD && t <= TYPE_ISSUE; };
    auto number_type = [](uint32_t t) { return t == TYPE_INTEGER || t == TYPE_FLOAT || t == TYPE_PERCENT; };
    for (int32_t i = 0, n = std::min(len1, len2); i < n; i++) {
        uint32_t ta = TYPE_OF(a + i), tb = TYPE_OF(b + i);
        if (ta != tb && !(word_type(ta) && word_type(tb)) && !(number_type(ta) && number_type(tb)))
            return ta < tb ? -1 : 1;
        int32_t r = compare_dispatch(a + i, b + i, op);
        if (r != 0) return r;
    }
    return compare_sign(int64_t(len1) - len2);
}

// --- Path access ---------------------------------------------------------------------

const cell* eval_path(cell* parent, cell* element, cell* value, cell* path, cell*, cell*, int32_t,
                      bool case_q, bool, bool, bool) {
    if (TYPE_OF(element) == TYPE_INTEGER) {
        if (!value) return series::pick(parent, int_of(element), element);
        return series::poke(parent, int_of(element), value, element);
    }
    // A word element reads through select/only too: resolved-symbol lookup joins with words.
    if (!value)
        return select(parent, element, nullptr, true, case_q, false, false, nullptr, nullptr, false,
                      false);
    search s = find_position(parent, element, nullptr, false, case_q, false, nullptr, false, false,
                             false);
    if (s.position < 0) fire(script_error::bad_path_set, path, element);
    cell* at = stack::push(parent);
    at->w1 = static_cast<uint32_t>(s.position);
    cell index = integer_value(2);
    series::poke(at, 2, value, &index);
    stack::pop(1);
    return value;
}

// --- Changing actions ------------------------------------------------------------------

namespace {

// The cells a value contributes to insert and change: its own from the head, or itself.
struct contribution {
    bool spread;
    int32_t count;
};

contribution contribution_of(const cell* value, bool only) {
    if (!only && any_block_q(TYPE_OF(value))) return {true, length_from_head(value)};
    return {false, 1};
}

// Writes the contribution (part cells, or the value) at index at of block, repeated dup
// times. The block's room is already there.
void write_contribution(const cell* block, int32_t at, const cell* value, bool spread, int32_t part,
                        int32_t dup, const std::vector<cell>& held) {
    cell* dest = ks_abs_at(block, at);
    if (!spread) *dest = *value;
    else if (!held.empty()) std::memcpy(dest, held.data(), part * CELL);
    else std::memcpy(dest, ks_abs_at(value, head_of(value)), part * CELL);
    fill_repeat(reinterpret_cast<uint8_t*>(dest), part * CELL, static_cast<size_t>(dup));
}

// Cells of a value that lives in the block being changed, taken before the block moves them.
std::vector<cell> held_cells(const cell* block, const cell* value, bool spread, int32_t part) {
    std::vector<cell> held;
    if (spread && part > 0 && series_node(value) == series_node(block)) {
        cell* from = ks_abs_at(value, head_of(value));
        held.assign(from, from + part);
    }
    return held;
}

int32_t checked_total(int64_t part, int64_t dup) {
    int64_t total = part * dup;
    if (total > INT32_MAX / int64_t(CELL)) fire(internal_error::no_memory);
    return static_cast<int32_t>(total);
}

}  // namespace

const cell* insert(cell* series, cell* value, int32_t part, bool only, int32_t dup, bool append) {
    contribution c = contribution_of(value, only);
    series::length(series);
    if (c.count == 0) {
        if (append) series->w1 = 0;
        return series;
    }
    if (part < 0 || part > c.count) part = c.count;
    int32_t total = checked_total(part, dup);
    int32_t at = append ? buffer_length(series) : head_of(series);
    bool owned = ownership::check(series, append ? owner_action::append : owner_action::insert, at, total, value);
    series::length(series);
    at = append ? buffer_length(series) : head_of(series);
    if (c.spread) part = std::min(part, length_from_head(value));
    total = part * dup;
    series_buffer* b = ensure_room(series, total, dup < 5);
    std::vector<cell> held = held_cells(series, value, c.spread, part);
    cell* slot = b->cells() + at;
    std::memmove(slot + total, slot, static_cast<size_t>(b->cells_tail() - slot) * CELL);
    b->tail += static_cast<size_t>(total) * CELL;
    write_contribution(series, at, value, c.spread, part, dup, held);
    hash::reindex(series, at, 0, total);
    if (owned)
        ownership::check(series, append ? owner_action::appended : owner_action::inserted, at, total, value);
    series->w1 = append ? 0 : static_cast<uint32_t>(std::min(at + total, buffer_length(series)));
    return series;
}

const cell* change(cell* series, cell* value, int32_t part, bool only, int32_t dup) {
    series::length(series);
    contribution c = contribution_of(value, only);
    int32_t total = checked_total(c.count, dup);
    int32_t h = head_of(series);
    int32_t len = length_from_head(series);
    int32_t replaced = std::min(part >= 0 ? part : total, len);
    bool owned = ownership::check(series, owner_action::change, h, total);
    series::length(series);
    h = head_of(series);
    len = length_from_head(series);
    replaced = std::min(replaced, len);
    int32_t n = c.spread ? std::min(c.count, length_from_head(value)) : 1;
    total = n * dup;
    std::vector<cell> held = held_cells(series, value, c.spread, n);
    series_buffer* b = total > replaced ? ensure_room(series, total - replaced, false) : buffer_of(series);
    if (total != replaced) {
        cell* rest = b->cells() + h + replaced;
        std::memmove(b->cells() + h + total, rest, static_cast<size_t>(b->cells_tail() - rest) * CELL);
        b->tail += (static_cast<int64_t>(total) - replaced) * static_cast<int64_t>(CELL);
    }
    write_contribution(series, h, value, c.spread, n, dup, held);
    hash::reindex(series, h, replaced, total);
    if (owned) ownership::check(series, owner_action::changed, h, total);
    series->w1 = static_cast<uint32_t>(std::min(h + total, buffer_length(series)));
    return series;
}

const cell* put(cell* series, cell* key, cell* value, bool case_q) {
    int32_t h = head_of(series);
    bool owned = ownership::check(series, owner_action::put, h, 1);
    search s = find_position(series, key, nullptr, false, case_q, false, nullptr, false, false, false);
    if (s.position < 0) {
        int32_t at = buffer_length(series);
        ks_append(series, key);
        ks_append(series, value);
        hash::reindex(series, at, 0, 2);
    } else {
        int32_t after = s.position + s.k;
        if (after >= buffer_length(series)) {
            ks_append(series, value);
            hash::reindex(series, after, 0, 1);
        } else if (compare_dispatch(ks_abs_at(series, after), value, COMP_FIND) != 0) {
            *ks_abs_at(series, after) = *value;
            hash::reindex(series, after, 1, 1);
        }
    }
    if (owned) ownership::check(series, owner_action::put_ed, h, 1);
    return value;
}

const cell* take(cell* series, cell* part, bool deep, bool last) {
    const cell* taken = series::take(series, part, deep, last);
    if (TYPE_OF(taken) == TYPE_NONE) return taken;
    cell* result = const_cast<cell*>(taken);
    if (deep) {
        cycles_depth_guard depth;
        cycles_push(series_node(series));
        copy_nested(result, {copy_mode::deep, nullptr, true});
    }
    if (!refinement_q(part) && length_from_head(result) == 1) return ks_abs_at(result, 0);
    return result;
}

const cell* swap(cell* series1, cell* series2) {
    if (!any_block_q(TYPE_OF(series2))) fire(script_error::invalid_arg, series2);
    if (ks_tail_q(series1) || ks_tail_q(series2)) return series1;
    int32_t h1 = head_of(series1), h2 = head_of(series2);
    bool owned1 = ownership::check(series1, owner_action::swap, h1, 1);
    bool owned2 = ownership::check(series2, owner_action::swap, h2, 1);
    if (!ks_tail_q(series1) && !ks_tail_q(series2)) {
        std::swap(*ks_head(series1), *ks_head(series2));
        hash::reindex(series1, head_of(series1), 1, 1);
        hash::reindex(series2, head_of(series2), 1, 1);
    }
    if (owned1) ownership::check(series1, owner_action::swaped, h1, 1);
    if (owned2) ownership::check(series2, owner_action::swaped, h2, 1);
    return series1;
}

const cell* trim(cell* series, bool, bool, bool, bool, bool, cell*) {
    series::length(series);
    int32_t h = head_of(series);
    bool owned = ownership::check(series, owner_action::trim, h, length_from_head(series));
    series::length(series);
    cell* from = ks_abs_at(series, head_of(series));
    cell* end = ks_tail(series);
    cell* to = from;
    for (; from < end; from++)
        if (TYPE_OF(from) != TYPE_NONE) *to++ = *from;
    buffer_of(series)->tail = reinterpret_cast<uint8_t*>(to);
    if (owned) ownership::check(series, owner_action::trimmed, h, length_from_head(series));
    return series;
}

const cell* copy(cell* value, cell* result, cell* part, bool deep, cell* types) {
    series::copy(value, result, part, false, nullptr);
    bool typed = refinement_q(types);
    if (!deep && !typed) return result;
    // A hash! source gives its own copies with the hash datatype.
    cycles_depth_guard depth;
    if (deep) {
        if (cycles_find_q(series_node(value))) {
            cycles_reset();
            fire(internal_error::no_cycle);
        }
    }
    cycles_push(series_node(value));
    copy_nested(result, {typed ? copy_mode::types : copy_mode::deep, typed ? types : nullptr, deep});
    return result;
}

// --- Sort ------------------------------------------------------------------------------

int32_t sort_compare(const void* a, const void* b, uintptr_t op, uintptr_t flags) {
    auto* x = static_cast<const cell*>(a);
    auto* y = static_cast<const cell*>(b);
    if (flags & 1) std::swap(x, y);
    int32_t size = static_cast<int32_t>(flags >> 2);
    if (!(flags & 2)) return sort_cells(x + size, y + size, static_cast<int32_t>(op));
    for (int32_t i = 0; i < size; i++)
        if (int32_t r = sort_cells(x + i, y + i, static_cast<int32_t>(op))) return r;
    return 0;
}

namespace {

bool all_integers_q(const cell* c, int32_t n) {
    for (const cell* end = c + n; c < end; c++)
        if (TYPE_OF(c) != TYPE_INTEGER) return false;
    return true;
}

}  // namespace

const cell* sort(cell* series, bool case_q, cell* skip, cell* compare, cell* part, bool all,
                 bool reverse, bool stable) {
    int32_t n = series::length(series);
    if (n == 0) return series;
    int32_t start = head_of(series);
    if (refinement_q(part)) {
        int32_t c;
        if (TYPE_OF(part) == TYPE_INTEGER) c = int_of(part);
        else if (TYPE_OF(part) == TYPE_OF(series) && series_node(part) == series_node(series))
            c = head_of(part) - start;
        else series::refine_arg_error(part);
        if (c < 0) {
            if (-c > start) return series;
            start += c;
            n = -c;
        } else if (c < n) {
            n = c;
        }
    }
    int32_t size = 1;
    if (refinement_q(skip)) {
        size = TYPE_OF(skip) == TYPE_INTEGER ? int_of(skip) : 0;
        if (size < 1 || n % size || n < size) series::refine_arg_error(skip);
    } else if (all) {
        fire(script_error::bad_refines);
    }
    uintptr_t flags = (reverse ? 1 : 0) | (all ? 2 : 0) | (all ? uintptr_t(size) << 2 : 0);
    uintptr_t context = case_q ? COMP_CASE_SORT : COMP_SORT;
    sort_comparator comparator = sort_compare;
    if (refinement_q(compare)) {
        if (TYPE_OF(compare) == TYPE_FUNCTION) {
            // The function's records with /all join with the interpreter's call.
            comparator = sort_compare_with;
            context = reinterpret_cast<uintptr_t>(compare);
        } else if (TYPE_OF(compare) == TYPE_INTEGER) {
            if (!refinement_q(skip) || all) fire(script_error::bad_refines);
            int32_t offset = int_of(compare);
            if (offset < 1 || offset > size) fire(script_error::out_of_range, compare);
            flags |= uintptr_t(offset - 1) << 2;
        } else {
            series::refine_arg_error(compare);
        }
    }
    int32_t records = n / size;
    bool owned = ownership::check(series, owner_action::sort, start, n);
    if (start + n > buffer_length(series)) return series;  // the owner shortened it
    sort_elements elements = series_elements(series_node(series), static_cast<size_t>(start) * CELL, true);
    // Integers compare by value whatever the case flag: a block of them sorts by a comparison
    // the sort can inline, in the same order.
    if (comparator == sort_compare && size == 1 && all_integers_q(series_cell(series_node(series), start), n))
        sort_integer_cells(elements, records, reverse, stable);
    else if (stable) sort_stable(elements, records, size * CELL, context, flags, comparator);
    else sort_quick_entry(elements, records, size * CELL, context, flags, comparator);
    if (owned) ownership::check(series, owner_action::sorted, start, n);
    return series;
}

}  // namespace kel::block
