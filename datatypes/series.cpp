#include "datatypes/series.h"

#include "runtime/hashtable.h"
#include "runtime/random.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/dispatch.h"
#include "datatypes/hash.h"
#include "datatypes/logic.h"
#include "datatypes/pair.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/vector.h"
#include "datatypes/word.h"
#include "runtime/collector.h"
#include "runtime/error_catalog.h"
#include "runtime/ownership.h"

namespace kel::series {

// The refinement's word joins arg1 once words exist.
void refine_arg_error(const cell* value) { fire(script_error::invalid_refine_arg, nullptr, value); }

namespace {

inline uint8_t* element_at(const cell* value, int64_t index) {
    series_buffer* b = buffer_of(value);
    return b->offset + index * b->unit();
}

inline void set_tail(const cell* value, int64_t index) {
    series_buffer* b = buffer_of(value);
    b->tail = b->offset + index * b->unit();
}

// Drops count elements at index, moving the rest down.
void cut(const cell* value, int32_t index, int32_t count) {
    series_buffer* b = buffer_of(value);
    uint32_t unit = b->unit();
    uint8_t* at = b->offset + static_cast<size_t>(index) * unit;
    uint8_t* rest = at + static_cast<size_t>(count) * unit;
    if (rest >= b->tail) {
        b->tail = at;
        return;
    }
    std::memmove(at, rest, static_cast<size_t>(b->tail - rest));
    b->tail -= static_cast<size_t>(count) * unit;
}

cell scratch;  // non-block elements turned into values; the dispatcher copies it at once

const cell* element_value(const cell* value, int32_t index) {
    uint32_t type = TYPE_OF(value);
    if (any_block_q(type)) return reinterpret_cast<cell*>(element_at(value, index));
    if (type == TYPE_VECTOR) return vector::get_value(value, index);
    if (type == TYPE_IMAGE) fire(internal_error::not_done);
    series_buffer* b = buffer_of(value);
    const uint8_t* at = element_at(value, index);
    uint32_t n = b->unit() == 1 ? *at : b->unit() == 2 ? *reinterpret_cast<const uint16_t*>(at)
                                                        : *reinterpret_cast<const uint32_t*>(at);
    scratch = cell{type == TYPE_BINARY ? uint32_t(TYPE_INTEGER) : uint32_t(TYPE_CHAR), 0, n, 0};
    return &scratch;
}

}  // namespace

void init() {
    register_datatype(TYPE_SERIES, 0, "series!", {
        0, entry<ACT_RANDOM>(random), 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, entry<ACT_AT>(at), entry<ACT_BACK>(back), 0, entry<ACT_CLEAR>(clear),
        entry<ACT_COPY>(copy),
        0, entry<ACT_HEAD>(head), entry<ACT_HEAD_Q>(head_q), entry<ACT_INDEX_Q>(index_q), 0,
        entry<ACT_LENGTH_Q>(length_q), entry<ACT_MOVE>(move), entry<ACT_NEXT>(next),
        entry<ACT_PICK>(pick), entry<ACT_POKE>(poke),
        0, entry<ACT_REMOVE>(remove), entry<ACT_REVERSE>(reverse), 0, 0, entry<ACT_SKIP>(skip), 0,
        entry<ACT_TAIL>(tail), entry<ACT_TAIL_Q>(tail_q), entry<ACT_TAKE>(take),
        0, 0, 0, 0, entry<ACT_MODIFY>(modify), 0, 0, 0, 0, 0, 0, 0,
    });
}

bool advance(cell* value, int32_t n) {
    int64_t h = int64_t(head_of(value)) + n;
    int32_t len = buffer_length(value);
    if (h <= len) value->w1 = static_cast<uint32_t>(h);
    return head_of(value) >= len;
}

int32_t length(cell* value, bool from_start) {
    int32_t len = buffer_length(value);
    if (from_start) return len;
    int32_t h = std::max(head_of(value), 0);
    if (h > len) {
        value->w1 = static_cast<uint32_t>(len);
        return 0;
    }
    return len - h;
}

int32_t offset_arg(bool at) {
    cell* value = stack::arguments;
    cell* arg = value + 1;
    if (TYPE_OF(arg) != TYPE_INTEGER) fire(script_error::invalid_arg, arg);
    int64_t n = int_of(arg);
    int64_t h = head_of(value);
    h += at && n >= 1 ? n - 1 : n;
    return static_cast<int32_t>(std::clamp<int64_t>(h, 0, buffer_length(value)));
}

int32_t part_count(const cell* value, const cell* part) {
    if (TYPE_OF(part) == TYPE_INTEGER) return int_of(part);
    if (TYPE_OF(part) != TYPE_OF(value) || series_node(part) != series_node(value))
        refine_arg_error(part);
    return head_of(part) - head_of(value);
}

// --- Navigation ------------------------------------------------------------------------

void at() { stack::arguments->w1 = static_cast<uint32_t>(offset_arg(true)); }
void skip() { stack::arguments->w1 = static_cast<uint32_t>(offset_arg(false)); }
void head() { stack::arguments->w1 = 0; }
void tail() { stack::arguments->w1 = static_cast<uint32_t>(buffer_length(stack::arguments)); }

void back() {
    cell* value = stack::arguments;
    if (head_of(value) > 0) value->w1--;
}

void next() {
    cell* value = stack::arguments;
    if (head_of(value) + 1 <= buffer_length(value)) value->w1++;
}

void head_q() { logic::box(head_of(stack::arguments) == 0); }
void tail_q() { logic::box(head_at_tail_q(stack::arguments)); }

void index_q() {
    cell n = integer_value(head_of(stack::arguments) + 1);
    stack::set_last(&n);
}

int32_t length_q(cell* value) { return length(value); }

// --- Element access --------------------------------------------------------------------

namespace {

// Position of a pick or poke index, or -1 when outside the buffer.
int64_t pick_position(const cell* value, int32_t index) {
    if (index == 0) return -1;
    int64_t p = int64_t(head_of(value)) + (index > 0 ? index - 1 : index);
    return p < 0 || p >= buffer_length(value) ? -1 : p;
}

}  // namespace

const cell* pick(cell* value, int32_t index, cell*) {
    int64_t p = pick_position(value, index);
    return p < 0 ? &none_value : element_value(value, static_cast<int32_t>(p));
}

const cell* poke(cell* value, int32_t index, cell* new_value, cell* index_cell) {
    if (pick_position(value, index) < 0) fire(script_error::out_of_range, index_cell);
    uint32_t type = TYPE_OF(value);
    bool block = any_block_q(type);
    // The code point or byte to store, checked before any owner hears of the change.
    uint32_t code = 0;
    if (type == TYPE_BINARY) {
        code = binary::to_byte(new_value);
    } else if (!block) {
        if (type == TYPE_IMAGE) fire(internal_error::not_done);
        if (type == TYPE_VECTOR) vector::check_value(value, new_value);
        else if (TYPE_OF(new_value) != TYPE_CHAR) fire(script_error::invalid_arg, new_value);
        code = new_value->w2;
    }
    int32_t at_index = static_cast<int32_t>(pick_position(value, index));
    bool owned = ownership::check(value, owner_action::poke, at_index, 1);
    // The owner may have changed the series: check the position again.
    int64_t p = pick_position(value, index);
    if (p < 0) fire(script_error::out_of_range, index_cell);
    uint8_t* at = element_at(value, p);
    if (block) {
        *reinterpret_cast<cell*>(at) = *new_value;
        hash::reindex(value, static_cast<int32_t>(p), 1, 1);
    } else if (type == TYPE_VECTOR) {
        vector::set_value(value, at, new_value);
    } else {
        string::poke_char(buffer_of(value), at, code);
    }
    if (owned) ownership::check(value, owner_action::poked, static_cast<int32_t>(p), 1);
    return new_value;
}

// --- Changing actions ------------------------------------------------------------------

const cell* clear(cell* value) {
    int32_t n = length(value);
    if (n >= 1) {
        bool owned = ownership::check(value, owner_action::clear, head_of(value), n);
        int32_t h = head_of(value);
        int32_t removed = buffer_length(value) - h;
        if (removed > 0) {
            set_tail(value, h);
            hash::reindex(value, h, removed, 0);
        }
        if (owned) ownership::check(value, owner_action::cleared, head_of(value), n);
    }
    return value;
}

const cell* remove(cell* value, cell* part, cell* key) {
    int32_t count = refinement_q(part) ? part_count(value, part) : 1;
    if (count < 1) return value;
    int32_t at = head_of(value);
    if (refinement_q(key)) {
        find_fn find = get_action_ptr_by_type<ACT_FIND>(TYPE_OF(value));
        const cell* found = find(value, key, nullptr, false, true, false, false, nullptr, nullptr,
                                 false, false, false, false);
        if (TYPE_OF(found) == TYPE_NONE) return &none_value;
        at = head_of(found);
        count = refinement_q(part) ? count + 1 : 2;
    }
    if (at >= buffer_length(value)) return value;
    bool owned = ownership::check(value, owner_action::remove, at, count);
    if (at < buffer_length(value)) {
        int32_t removed = std::min(count, buffer_length(value) - at);
        cut(value, at, removed);
        hash::reindex(value, at, removed, 0);
    }
    if (owned) ownership::check(value, owner_action::removed, at, count);
    return value;
}

const cell* reverse(cell* value, cell* part, cell* skip) {
    if (head_at_tail_q(value)) return value;
    int32_t range = length(value);
    if (refinement_q(part)) {
        int32_t n = part_count(value, part);
        if (n < 1) return value;
        range = std::min(range, n);
    }
    int32_t record = 1;
    if (refinement_q(skip)) {
        if (TYPE_OF(skip) != TYPE_INTEGER) refine_arg_error(skip);
        record = int_of(skip);
        if (record == range) return value;
        if (record < 1) fire(script_error::out_of_range, skip);
        if (record > range || range % record) refine_arg_error(skip);
    }
    int32_t h = head_of(value);
    bool owned = ownership::check(value, owner_action::reverse, h, range);
    range = std::min(range, length(value));
    size_t bytes = static_cast<size_t>(record) * buffer_of(value)->unit();
    std::vector<uint8_t> held(bytes);
    uint8_t* low = element_at(value, h);
    uint8_t* high = low + (static_cast<size_t>(range) - record) * buffer_of(value)->unit();
    for (; low < high; low += bytes, high -= bytes) {
        std::memcpy(held.data(), low, bytes);
        std::memcpy(low, high, bytes);
        std::memcpy(high, held.data(), bytes);
    }
    hash::reindex(value, h, range, range);
    if (owned) ownership::check(value, owner_action::reversed, h, range);
    return value;
}

// Short runs go in whole 16-byte pieces, with no call: the piece past the end stays inside
// both buffers, as a data area is a multiple of 16 bytes and a spare 16 bytes follow it.
namespace {
void copy_units(uint8_t* to, const uint8_t* from, size_t bytes) {
    constexpr size_t piece = 16;
    if (bytes > 4 * piece) {
        std::memcpy(to, from, bytes);
        return;
    }
    for (size_t i = 0; i < bytes; i += piece) std::memcpy(to + i, from + i, piece);
}

// copy_range's copy into a buffer made for it.
[[gnu::always_inline]] inline cell* copy_into(node_id node, const cell* value, cell* result, int32_t start,
                                              int32_t count) {
    uint32_t unit = buffer_of(value)->unit();
    series_buffer* from = buffer_of(value);
    series_buffer* to = node_buffer(node);
    to->flags |= from->flags & ~(SERIES_OWNED | SERIES_BIG | SERIES_FIXED | SERIES_HEAD_MIDDLE |
                                 SERIES_USED | SERIES_NEW | SERIES_MARK);
    copy_units(to->offset, from->offset + static_cast<size_t>(start) * unit, static_cast<size_t>(count) * unit);
    to->tail = to->offset + static_cast<size_t>(count) * unit;
    uint32_t header = value->header;
    uint32_t w3 = TYPE_OF(value) == TYPE_VECTOR ? value->w3 : 0;
    *result = cell{header, 0, node, w3};
    return result;
}

[[gnu::noinline]] cell* copy_range_anywhere(const cell* value, cell* result, int32_t start, int32_t count) {
    node_id node = alloc_series_anywhere(std::max(count, 1), buffer_of(value)->unit(), 0);
    return copy_into(node, value, result, start, count);
}

}  // namespace

// Room for one element at least: a buffer of no bytes could never grow. A buffer that fits the
// current frame is made inline and the rest in a call of its own, so that the common way saves
// no registers for the allocator's.
cell* copy_range(const cell* value, cell* result, int32_t start, int32_t count) {
    node_id node = alloc_series_quick(std::max(count, 1), buffer_of(value)->unit(), 0);
    if (!node) return copy_range_anywhere(value, result, start, count);
    return copy_into(node, value, result, start, count);
}

int32_t set_record_size(const cell* skip) {
    if (!refinement_q(skip)) return 1;
    int32_t n = TYPE_OF(skip) == TYPE_INTEGER ? int_of(skip) : 0;
    if (n < 1) refine_arg_error(skip);
    return n;
}

const cell* copy(cell* value, cell* result, cell* part, bool, cell*) {
    int64_t start = head_of(value);
    int64_t count = std::max(length(value), 0);
    if (refinement_q(part)) {
        if (TYPE_OF(part) == TYPE_PAIR) {
            int32_t x = pair::x_of(part), y = pair::y_of(part);
            start = std::max<int64_t>(start + (x < 0 ? x : x - 1), 0);
            count = y < x ? 0 : int64_t(y) - x;
        } else {
            count = part_count(value, part);
        }
        if (count < 0) {
            count = -count;
            if (count > start) count = start;
            start -= count;
        }
    }
    int32_t len = buffer_length(value);
    if (start > len) {
        start = len;
        count = 0;
    }
    count = std::min<int64_t>(count, len - start);
    return copy_range(value, result, static_cast<int32_t>(start), static_cast<int32_t>(count));
}

const cell* take(cell* value, cell* part, bool, bool last) {
    int32_t len = length(value);
    if (len == 0) return &none_value;
    int32_t h = head_of(value);
    int64_t c = 1;
    if (refinement_q(part)) {
        if (TYPE_OF(part) == TYPE_INTEGER) {
            c = int_of(part);
        } else {
            int32_t d = part_count(value, part);
            c = d < 0 ? 0 : last ? buffer_length(value) - head_of(part) : d;
        }
    }
    int64_t count = c >= 0 ? std::min<int64_t>(c, len) : last ? 1 : std::min<int64_t>(-c, h);
    if (count == 0) count = 1;
    bool owned = ownership::check(value, owner_action::take, h, static_cast<int32_t>(c));
    // Where the taken elements are, or -1 when nothing is taken.
    int64_t from = -1;
    len = length(value);
    h = head_of(value);
    if (c < 1) {
        if (!last && count <= h) from = h - count;
    } else {
        count = std::min<int64_t>(count, len);
        from = last ? buffer_length(value) - count : h;
    }
    if (from < 0) count = 0;
    cell* result = stack::push(&none_value);
    copy_range(value, result, static_cast<int32_t>(std::max<int64_t>(from, 0)),
               static_cast<int32_t>(count));
    result->header &= ~CELL_NEW_LINE;
    if (count > 0) {
        cut(value, static_cast<int32_t>(from), static_cast<int32_t>(count));
        hash::reindex(value, static_cast<int32_t>(from), static_cast<int32_t>(count), 0);
    }
    if (TYPE_OF(result) == TYPE_HASH) hash::index(result);
    if (c < 1 && count > 0) value->w1 = static_cast<uint32_t>(h - count);
    if (owned)
        ownership::check(value, owner_action::taken, static_cast<int32_t>(std::max<int64_t>(from, 0)),
                         static_cast<int32_t>(count));
    return result;
}

const cell* random(cell* value, bool seed, bool secure, bool only) {
    if (seed) {
        series_buffer* b = buffer_of(value);
        uint8_t* from = b->offset + static_cast<size_t>(head_of(value)) * b->unit();
        size_t bytes = from < b->tail ? static_cast<size_t>(b->tail - from) : 0;
        random_seed(murmur3_32(from, bytes, hash_seed));
        return &unset_value;
    }
    auto draw = [secure](int32_t c) { return random_int(secure, c); };
    if (only) {
        int32_t len = length(value);
        if (len < 1) return &none_value;
        return element_value(value, head_of(value) + draw(len) - 1);
    }
    int32_t h = head_of(value);
    int32_t len = length(value);
    bool owned = ownership::check(value, owner_action::random, h, len);
    len = length(value);
    uint32_t unit = buffer_of(value)->unit();
    uint8_t held[16];
    for (int32_t i = h; len > 1; i++, len--) {
        int32_t j = i + draw(len) - 1;
        if (j == i) continue;
        uint8_t* a = element_at(value, i);
        uint8_t* b = element_at(value, j);
        std::memcpy(held, a, unit);
        std::memcpy(a, b, unit);
        std::memcpy(b, held, unit);
    }
    if (owned) ownership::check(value, owner_action::randomized, h, length(value));
    return value;
}

const cell* modify_owned(cell* target, cell* field, cell* value,
                         void (*mark)(const cell*, const cell*, const cell*)) {
    if (symbol::resolve(field->w2) != sym(SYM_OWNED)) fire(script_error::invalid_arg, field);
    if (TYPE_OF(value) == TYPE_NONE) {
        ownership::unbind(target);
        return value;
    }
    if (TYPE_OF(value) != TYPE_BLOCK || block::ks_length_q(value) < 2 || TYPE_OF(block::ks_head(value)) != TYPE_OBJECT)
        fire(script_error::invalid_arg, value);
    root_cell owner(*block::ks_head(value)), word(block::ks_head(value)[1]);
    mark(target, &owner.value, &word.value);
    return value;
}

// Reactive objects take and release the series they hold through the word owned.
const cell* modify(cell* target, cell* field, cell* value, bool) {
    return modify_owned(target, field, value, ownership::mark_owner);
}

const cell* move(cell* origin, cell* target, cell* part) {
    uint32_t to_type = TYPE_OF(target);
    if (!series_type_q(to_type)) {
        cell datatype{TYPE_DATATYPE, to_type, 0, 0};
        fire(script_error::expect_arg, nullptr, &datatype);
    }
    if (head_at_tail_q(origin)) return target;
    int32_t count = 1;
    if (refinement_q(part)) {
        if (TYPE_OF(part) != TYPE_INTEGER) refine_arg_error(part);
        count = int_of(part);
        if (count < 1) return target;
    }
    count = std::min(count, length(origin));
    uint32_t from_type = TYPE_OF(origin);
    if (series_node(origin) != series_node(target)) {
        bool widths = buffer_of(origin)->unit() != buffer_of(target)->unit();
        bool texts = any_string_q(from_type) && any_string_q(to_type);
        if (any_block_q(from_type) != any_block_q(to_type) || (widths && !texts)) {
            cell a{TYPE_DATATYPE, from_type, 0, 0}, b{TYPE_DATATYPE, to_type, 0, 0};
            fire(script_error::move_bad, &a, &b);
        }
        int32_t h = head_of(origin);
        bool owned = ownership::check(origin, owner_action::move, h, count);
        count = std::min(count, length(origin));
        length(target);
        if (texts && buffer_of(origin)->unit() != buffer_of(target)->unit()) {
            string::move_chars(origin, target, static_cast<size_t>(count));
            if (owned) ownership::check(target, owner_action::moved, head_of(target), count);
            return target;
        }
        uint32_t unit = buffer_of(origin)->unit();
        size_t bytes = static_cast<size_t>(count) * unit;
        series_buffer* tb = buffer_of(target);
        if (tb->tail + bytes > tb->data_end()) {
            size_t need = tb->used_bytes() + bytes;
            expand_series(tb, 2 * (need + static_cast<size_t>(tb->offset - tb->data())));
            tb = buffer_of(target);
        }
        uint8_t* at = tb->offset + static_cast<size_t>(head_of(target)) * unit;
        std::memmove(at + bytes, at, static_cast<size_t>(tb->tail - at));
        tb->tail += bytes;
        std::memcpy(at, element_at(origin, head_of(origin)), bytes);
        cut(origin, head_of(origin), count);
        hash::reindex(origin, head_of(origin), count, 0);
        hash::reindex(target, head_of(target), 0, count);
        if (owned) ownership::check(target, owner_action::moved, head_of(target), count);
        return target;
    }
    int32_t s = head_of(origin);
    int32_t len = buffer_length(origin);
    int32_t t = std::min(head_of(target), len);
    if (t == s) return target;
    bool to_tail = t == len;
    if (t > s && !to_tail && len - t < count) return target;
    bool owned = ownership::check(origin, owner_action::move, s, count);
    len = buffer_length(origin);
    count = std::min(count, len - s);
    // Where the moved elements start once in place.
    int32_t dest = to_tail ? len - count : std::min(t, len - count);
    uint32_t unit = buffer_of(origin)->unit();
    std::vector<uint8_t> held(static_cast<size_t>(count) * unit);
    std::memcpy(held.data(), element_at(origin, s), held.size());
    if (dest > s)
        std::memmove(element_at(origin, s), element_at(origin, s + count),
                     static_cast<size_t>(dest - s) * unit);
    else
        std::memmove(element_at(origin, dest + count), element_at(origin, dest),
                     static_cast<size_t>(s - dest) * unit);
    std::memcpy(element_at(origin, dest), held.data(), held.size());
    int32_t low = std::min(s, dest), span = std::max(s, dest) + count - low;
    hash::reindex(origin, low, span, span);
    if (owned) ownership::check(target, owner_action::moved, dest, count);
    return target;
}

}  // namespace kel::series
