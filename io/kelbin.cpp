// KELBIN: the header, what both forms share, and the compact form (byte-oriented, varints).
#include "io/kelbin.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include <unistd.h>

#include "datatypes/binary.h"
#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/date.h"
#include "datatypes/error.h"
#include "datatypes/function.h"
#include "datatypes/hash.h"
#include "datatypes/image.h"
#include "datatypes/locale.h"
#include "datatypes/map.h"
#include "datatypes/money_amount.h"
#include "datatypes/native.h"
#include "datatypes/object.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/tuple.h"
#include "datatypes/vector.h"
#include "datatypes/word.h"
#include "io/kelbin_records.h"
#include "platform/terminal.h"
#include "runtime/collector.h"
#include "runtime/error_catalog.h"
#include "runtime/exits.h"
#include "runtime/lz.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace kel::kelbin {

// --- Shared: writer ----------------------------------------------------------------------

const uint32_t* writer_base::find_or_register(node_id key) {
    auto [it, added] = seen.try_emplace(key, static_cast<uint32_t>(pool.size()));
    if (!added) return pool.data() + it->second;
    pool.push_back(static_cast<uint32_t>(path.size() + 1));
    pool.insert(pool.end(), path.begin(), path.end());
    pool.push_back(counter);
    return nullptr;
}

uint32_t writer_base::symbol(uint32_t id) {
    auto [it, added] = symbol_index.try_emplace(id, static_cast<uint32_t>(symbols.size()));
    if (added) symbols.push_back(id);
    return it->second;
}

void writer_base::deeper() {
    if (++depth > DEPTH_MAX) fire(internal_error::too_deep);
}

bool word_has_owner_q(const cell* word) {
    node_id ctx = word->w1;
    if (!ctx || ctx == global_context || static_cast<int32_t>(word->w3) < 0) return false;
    uint32_t owner = TYPE_OF(series_cell(ctx, 1));
    return owner == TYPE_OBJECT || owner == TYPE_FUNCTION;
}

void no_codec(const cell* value) { fire(access_error::no_codec, value); }

void context_words(node_id ctx, std::vector<uint32_t>& symbols) {
    series_buffer* keys = ctx_key_words_buffer(ctx_cell(ctx));
    for (cell* k = keys->cells(); k < keys->cells_tail(); k++) symbols.push_back(k->w2);
}

// --- Shared: reader ----------------------------------------------------------------------

void reader_base::invalid(const uint8_t* at) const {
    cell offset = integer_value(static_cast<int32_t>(at - magic + 1));
    fire(script_error::kb_invalid_record, &offset);
}

void reader_base::promise(uint64_t n, const uint8_t* at) {
    if (n + owed > left()) invalid(at);
    owed += n;
}

void reader_base::symbol_table() {
    const uint8_t* n_at = p;
    uint32_t n = field(*this);
    if (n > left() / 4) invalid(n_at);
    const uint8_t* size_at = p;
    uint32_t size = field(*this);
    // The size field itself took bytes since the count was checked.
    if (4 * size_t{n} > left() || size > left() - 4 * size_t{n}) invalid(size_at);
    nsym = n;
    names_size = size;
    symbol_offsets = p;
    names = p + 4 * size_t{n};
    if (size && names[size - 1] != 0) invalid(names + size - 1);
    p = names + size;
}

void reader_base::records_area(uint32_t size, node_id parent) {
    if (size > left()) invalid(p);
    end = p + size;
    symbol_cache.assign(nsym, 0);
    root = parent;
    root_base = cells_in(parent);
}

void reader_base::deeper(const uint8_t* at) {
    if (++depth > DEPTH_MAX) invalid(at);
}

uint32_t reader_base::intern_symbol(uint32_t index, const uint8_t* at) {
    if (index >= nsym) invalid(at);
    uint32_t offset;
    std::memcpy(&offset, symbol_offsets + 4 * size_t{index}, 4);
    if (offset >= names_size) invalid(at);
    const uint8_t* name = names + offset;
    size_t n = strnlen(reinterpret_cast<const char*>(name), names_size - offset);
    if (n == 0 || offset + n >= names_size) invalid(at);
    for (size_t i = 0, len = 0; i < n; i += len) {
        if (utf8_check_char(name + i, n - i, len) < 0) invalid(at);
    }
    return symbol_cache[index] = symbol::make_from_bytes(name, n);
}

slot reader_base::append_slot(node_id block) {
    series_buffer* b = node_buffer(block);
    cell* c;
    // Blocks are made at their decoded size: the tail is nearly always free.
    if (b->tail < b->data_end()) {
        c = b->cells_tail();
        b->tail += sizeof(cell);
    } else {
        c = alloc_tail_buffer(b);
        b = node_buffer(block);
    }
    *c = none_value;
    return slot{block, static_cast<uint32_t>(c - b->cells())};
}

void checked_call(reader_base& r, const uint8_t* at, void (*call)(void*), void* data) {
    cell* top = stack::top;
    try {
        call(data);
    } catch (const kel_exit& e) {
        if (e.code != THROW_ERROR) throw;
        pending_code = 0;
        stack::top = top;
        r.invalid(at);
    }
}

namespace {

// One step of a reference path from `current`; false when the index leads nowhere.
bool path_step(cell& current, uint32_t index, uint32_t base, bool last) {
    uint32_t type = TYPE_OF(&current);
    if (type == TYPE_OP) {
        type = op_wrapped_type(&current);
        if (type != TYPE_NATIVE && type != TYPE_ACTION && type != TYPE_FUNCTION) return false;
        if (type != TYPE_FUNCTION) type = TYPE_NATIVE;
    }
    if (any_word_type_q(type) && type != TYPE_ISSUE) {
        node_id ctx = current.w1;
        if (!ctx) return false;
        const cell* c = ctx_cell(ctx);
        if (c->header & CTX_ON_STACK) {
            current = *series_cell(ctx, 1);
            if (TYPE_OF(&current) != TYPE_FUNCTION) return false;
            type = TYPE_FUNCTION;
        } else {
            cell* values = _context::values(c);
            if (!values || index >= ctx_slot_count(c)) return false;
            current = values[index];
            return true;
        }
    }
    switch (type) {
        case TYPE_BLOCK: case TYPE_PAREN: case TYPE_PATH: case TYPE_LIT_PATH: case TYPE_SET_PATH:
        case TYPE_GET_PATH: case TYPE_HASH: case TYPE_MAP:
            if (uint64_t{index} + base >= cells_in(current.w2)) return false;
            current = *series_cell(current.w2, index + base);
            return true;
        case TYPE_OBJECT: {
            const cell* c = ctx_cell(current.w1);
            if (index >= ctx_slot_count(c)) return false;
            current = _context::values(c)[index];
            return true;
        }
        case TYPE_ERROR:
            if (index >= 6) return false;
            current = _context::values(ctx_cell(current.w1))[error_field_base() + index];
            return true;
        case TYPE_NATIVE: case TYPE_ACTION:
            if (index >= cells_in(current.w2)) return false;
            current = *series_cell(current.w2, index);
            return true;
        case TYPE_FUNCTION:
            if (index == 0) {
                current = cell{TYPE_BLOCK, 0, current.w2, 0};
                return true;
            }
            if (index == 1 && TYPE_OF(&current) == TYPE_FUNCTION) {
                current = *more_at(&current, MORE_BODY);
                return TYPE_OF(&current) == TYPE_BLOCK;
            }
            return false;
        default:
            (void)last;
            return false;
    }
}

}  // namespace

cell reader_base::resolve() {
    const uint8_t* count_at = p;
    uint32_t k = field(*this);
    if (k == 0 || k > PATH_MAX || k > left()) invalid(count_at);
    cell current{TYPE_BLOCK, 0, root, 0};
    for (uint32_t i = 0; i < k; i++) {
        const uint8_t* index_at = p;
        uint32_t index = field(*this);
        if (!path_step(current, index, i == 0 ? root_base : 0, i + 1 == k)) invalid(index_at);
    }
    current.header &= ~CELL_NEW_LINE;
    return current;
}

void check_head(reader_base& r, const cell& v, const uint8_t* at) {
    uint64_t length;
    if (TYPE_OF(&v) == TYPE_IMAGE) {
        length = image::pixel_count(&v);
    } else {
        series_buffer* b = node_buffer(series_node(&v));
        length = b->used_bytes() / b->unit();
    }
    if (series_head(&v) > length) r.invalid(at);
}

void reader_base::check_heads() {
    for (const head_check& h : heads) check_head(*this, h.value, h.at);
}

uint32_t error_field_base() { return error::FIELD_ARG1; }

node_id context_carried(const cell* target) {
    uint32_t type = TYPE_OF(target);
    if (type == TYPE_OP && op_wrapped_type(target) == TYPE_FUNCTION) type = TYPE_FUNCTION;
    if (type == TYPE_OBJECT || type == TYPE_FUNCTION) return target->w1;
    if (any_word_type_q(type) && type != TYPE_ISSUE && target->w1 && target->w1 != global_context &&
        word_has_owner_q(target))
        return target->w1;
    return 0;
}

cell owner_from_target(reader_base& r, const cell& target, uint32_t type, const uint8_t* at) {
    if (type == TYPE_FUNCTION && TYPE_OF(&target) == TYPE_OP) {
        if (op_wrapped_type(&target) != TYPE_FUNCTION) r.invalid(at);
        cell f = target;
        f.header = TYPE_FUNCTION | (target.header & (FUNC_TRACE | FUNC_NO_TRACE));
        return f;
    }
    node_id ctx = context_carried(&target);
    if (!ctx) r.invalid(at);
    cell owner = *series_cell(ctx, 1);
    if (TYPE_OF(&owner) != type) r.invalid(at);
    owner.header &= ~CELL_NEW_LINE;
    return owner;
}

cell series_from_target(reader_base& r, const cell& target, uint32_t type, uint32_t head, const uint8_t* at) {
    uint32_t t = TYPE_OF(&target);
    bool fits;
    if (any_block_q(type) && type != TYPE_HASH) {
        fits = any_block_q(t) || t == TYPE_NATIVE || t == TYPE_ACTION || t == TYPE_FUNCTION ||
               (t == TYPE_OP && op_wrapped_type(&target) != TYPE_ROUTINE);
    } else if (any_string_q(type)) {
        fits = any_string_q(t);
    } else {
        fits = t == type;
    }
    if (!fits || (type == TYPE_IMAGE && !target.w2)) r.invalid(at);
    cell v = target;
    if (any_block_q(type) && type != TYPE_HASH) v = cell{type, head, target.w2, 0};
    else if (any_string_q(type)) v = cell{type, head, target.w2, 0};
    else if (type != TYPE_MAP && type != TYPE_BITSET) v.w1 = head;
    v.header = (v.header & ~0xFFu & ~CELL_NEW_LINE) | type;
    if (any_block_q(type) && type != TYPE_HASH) r.heads.push_back(head_check{v, at});
    else if (type != TYPE_MAP && type != TYPE_BITSET) check_head(r, v, at);
    return v;
}

void check_scalar(reader_base& r, const cell& v, const uint8_t* at) {
    switch (TYPE_OF(&v)) {
        case TYPE_DATATYPE:
            if (v.w1 == 0 || v.w1 > highest_type || !type_names[v.w1].name) r.invalid(at);
            break;
        case TYPE_CHAR:
            if (v.w2 > 0x10FFFF) r.invalid(at);
            break;
        case TYPE_TYPESET:
            for (uint32_t t = 0; t < 96; t++)
                if (typeset_has(&v, t) && (t == 0 || t > highest_type || !type_names[t].name)) r.invalid(at);
            break;
        case TYPE_DATE: {
            uint32_t d = v.w1;
            int32_t month = date::month_of(d), day = date::day_of(d);
            static const int32_t days[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
            if (month < 1 || month > 12 || day < 1 || day > days[month - 1] ||
                (month == 2 && day == 29 && !date::leap_year_q(date::year_of(d))))
                r.invalid(at);
            if (date::has_time_q(d)) {
                double t = cell_float(&v);
                if (!std::isfinite(t) || t <= -date::SECONDS_PER_DAY || t >= 2 * date::SECONDS_PER_DAY) r.invalid(at);
            } else if (v.w2 || v.w3) {
                r.invalid(at);
            }
            break;
        }
        case TYPE_MONEY: {
            if (money_currency(&v) > locale::currency_count()) r.invalid(at);
            const uint8_t* digits = money_payload(&v) + 1;
            for (int i = 0; i < 11; i++)
                if ((digits[i] >> 4) > 9 || (digits[i] & 15) > 9) r.invalid(at);
            break;
        }
        case TYPE_TUPLE:
            if (tuple::count_of(&v) < tuple::MIN_COUNT || tuple::count_of(&v) > tuple::MAX_COUNT) r.invalid(at);
            break;
        default:
            break;
    }
}

void build_global_word(slot s, uint32_t type, uint32_t symbol) {
    cell w;
    word::make_at(symbol, &w);
    if (type == TYPE_ISSUE) w.w3 = static_cast<uint32_t>(-1);
    set_type(&w, type);
    *s.get() = w;
}

void build_bound_word(reader_base& r, slot s, uint32_t type, uint32_t symbol, node_id ctx, int32_t index,
                      const uint8_t* at) {
    const cell* c = ctx_cell(ctx);
    if (index < 0 || static_cast<uint32_t>(index) >= ctx_slot_count(c) ||
        symbol::resolve(ctx_key_word(c, static_cast<uint32_t>(index))->w2) != symbol::resolve(symbol))
        r.invalid(at);
    *s.get() = cell{type, ctx, symbol, static_cast<uint32_t>(index)};
}

void build_text(reader_base& r, slot s, uint32_t type, uint32_t head, uint64_t count, uint32_t unit,
                const uint8_t* units, const uint8_t* at) {
    if (unit == 4) {
        for (uint64_t i = 0; i < count; i++) {
            uint32_t u;
            std::memcpy(&u, units + 4 * i, 4);
            if (u > 0x10FFFF) r.invalid(units + 4 * i);
        }
    }
    root_cell v;
    if (type == TYPE_BINARY) binary::make_at(&v.value, static_cast<uint32_t>(count));
    else string::make_at_unit(&v.value, static_cast<uint32_t>(std::max<uint64_t>(count, 1)), unit);
    series_buffer* b = node_buffer(series_node(&v.value));
    if (count) std::memcpy(b->offset, units, count * unit);
    b->tail = b->offset + count * unit;
    v.value.header = type;
    v.value.w1 = head;
    check_head(r, v.value, at);
    *s.get() = v.value;
}

void build_vector(reader_base& r, slot s, uint32_t head, uint32_t kind, uint64_t count, const uint8_t* bytes,
                  const uint8_t* at) {
    uint32_t type = kind >> 2, unit = 1u << (kind & 3);
    bool real = ((type == TYPE_CHAR || type == TYPE_INTEGER) && unit <= 4) ||
                (type == TYPE_FLOAT && unit >= 4) || (type == TYPE_PERCENT && unit == 8);
    if (!real) r.invalid(at);
    if (type == TYPE_CHAR && unit == 4) {
        for (uint64_t i = 0; i < count; i++) {
            uint32_t u;
            std::memcpy(&u, bytes + 4 * i, 4);
            if (u > 0x10FFFF) r.invalid(bytes + 4 * i);
        }
    }
    root_cell v;
    vector::make_at(&v.value, type, unit, static_cast<int64_t>(count));
    series_buffer* b = node_buffer(series_node(&v.value));
    if (count) std::memcpy(b->offset, bytes, count * unit);
    b->tail = b->offset + count * unit;
    v.value.w1 = head;
    check_head(r, v.value, at);
    *s.get() = v.value;
}

void build_bitset(slot s, bool complemented, uint64_t n, const uint8_t* bytes) {
    root_cell v;
    bitset::make_at(&v.value, static_cast<uint32_t>(n));
    series_buffer* b = node_buffer(series_node(&v.value));
    if (n) std::memcpy(b->offset, bytes, n);
    if (complemented) b->flags |= BITSET_NOT;
    *s.get() = v.value;
}

void build_image(reader_base& r, slot s, uint32_t head, uint32_t w, uint32_t h, const uint8_t* pixels,
                 const uint8_t* at) {
    root_cell v;
    if (uint64_t{w} * h == 0) {
        image::make_record(&v.value, nullptr, w, h);
    } else {
        uint32_t* px = image::alloc_pixels(w, h, false);
        std::memcpy(px, pixels, uint64_t{w} * h * 4);
        image::make_record(&v.value, px, w, h);
    }
    v.value.w1 = head;
    check_head(r, v.value, at);
    *s.get() = v.value;
}

node_id open_block(slot s, uint32_t type, uint32_t head, uint32_t n) {
    node_id node = alloc_cells(std::max<uint32_t>(n, 1));
    *s.get() = cell{type == TYPE_MAP || type == TYPE_HASH ? uint32_t{TYPE_BLOCK} : type, head, node, 0};
    return node;
}

void close_block(reader_base& r, slot s, uint32_t type, const uint8_t* at) {
    check_head(r, *s.get(), at);
    if (type != TYPE_HASH) return;
    root_cell v(*s.get());
    hash::index(&v.value);
    *s.get() = v.value;
}

void check_map_key(reader_base& r, slot key, const uint8_t* at) {
    if (!map::valid_key_type_q(TYPE_OF(key.get()))) r.invalid(at);
}

void close_map(slot s) {
    root_cell v(*s.get());
    uint32_t n = cells_in(v.value.w2);
    map::make_at(&v.value, &v.value, static_cast<int32_t>(n / 2));
    *s.get() = v.value;
}

namespace {

node_id open_context(reader_base& r, const std::vector<uint32_t>& words, bool on_stack, uint32_t kind,
                     const uint8_t* at) {
    root_node ctx(_context::create(static_cast<uint32_t>(words.size()), on_stack, kind == CTX_OBJECT, 0, kind));
    for (uint32_t symbol : words) {
        int32_t index;
        if (_context::add_symbol(ctx.node, symbol, true, &index) >= 0) r.invalid(at);
        if (!on_stack) *alloc_tail_buffer(node_buffer(ctx_cell(ctx.node)->w2)) = unset_value;
    }
    return ctx.node;
}

}  // namespace

node_id open_object(reader_base& r, slot s, const std::vector<uint32_t>& words, const uint8_t* at) {
    node_id ctx = open_context(r, words, false, CTX_OBJECT, at);
    cell* o = s.get();
    *o = cell{TYPE_OBJECT, ctx, static_cast<uint32_t>(object::next_class_id()), 0};
    object::refresh_owner(o);
    return ctx_cell(ctx)->w2;
}

void close_object(reader_base& r, slot s, bool events, int32_t on_change, int32_t on_deep, const uint8_t* at) {
    if (!events) return;
    root_cell o(*s.get());
    checked(r, at, [&] { object::update_events(&o.value); });
    node_id ctx = o.value.w1;
    int32_t change = _context::find_word(ctx, runtime_words[W_ON_CHANGE].w2, true);
    int32_t deep = _context::find_word(ctx, runtime_words[W_ON_DEEP_CHANGE].w2, true);
    if (change != on_change || deep != on_deep) r.invalid(at);
    *s.get() = o.value;
}

node_id open_function(reader_base& r, slot s, const std::vector<uint32_t>& words, const uint8_t* at) {
    root_node ctx(open_context(r, words, true, CTX_FUNCTION, at));
    root_node spec(alloc_cells(1));
    node_id more = alloc_unset_cells(FUNCTION_MORE_SIZE);
    series_buffer* mb = node_buffer(more);
    mb->tail = reinterpret_cast<uint8_t*>(mb->cells() + FUNCTION_MORE_SIZE);
    mb->cells()[MORE_BODY] = none_value;
    cell* f = s.get();
    *f = cell{TYPE_FUNCTION, ctx.node, spec.node, more};
    *series_cell(ctx.node, 1) = *f;
    return ctx.node;
}

node_id open_function_block(reader_base&, slot s, uint32_t which, uint32_t n, const uint8_t*) {
    node_id node = alloc_cells(std::max<uint32_t>(n, 1));
    cell* f = s.get();
    if (which == 0) f->w2 = node;
    else *more_at(f, MORE_BODY) = cell{TYPE_BLOCK, 0, node, 0};
    *series_cell(f->w1, 1) = *f;
    return node;
}

void share_function_block(reader_base& r, slot s, uint32_t which, const cell& target, const uint8_t* at) {
    if (TYPE_OF(&target) != TYPE_BLOCK) r.invalid(at);
    cell* f = s.get();
    if (which == 0) f->w2 = target.w2;
    else *more_at(f, MORE_BODY) = cell{TYPE_BLOCK, 0, target.w2, 0};
    *series_cell(f->w1, 1) = *f;
}

void close_function(reader_base& r, slot s, const uint8_t* at) {
    root_cell f(*s.get());
    cell spec_value{TYPE_BLOCK, 0, f.value.w2, 0};
    cell* spec = stack::push(&spec_value);
    uint32_t flags = 0;
    checked(r, at, [&] { flags = function::validate_spec(spec); });
    // The context must be the one the spec makes, or a call would read outside its frame.
    std::vector<uint32_t> have, want;
    context_words(f.value.w1, have);
    checked(r, at, [&] { context_words(_context::make_from_spec(spec, true, false, CTX_FUNCTION), want); });
    stack::pop(1);
    if (have.size() != want.size()) r.invalid(at);
    for (size_t i = 0; i < have.size(); i++)
        if (symbol::resolve(have[i]) != symbol::resolve(want[i])) r.invalid(at);
    f.value.header = TYPE_FUNCTION | flags;
    *series_cell(f.value.w1, 1) = f.value;
    *s.get() = f.value;
}

node_id open_error(reader_base& r, slot s, uint32_t code, const uint8_t* at) {
    uint32_t category = code / 100, id = code % 100;
    if (category >= error_category_count() || id >= error_id_count(category)) r.invalid(at);
    cell* top = stack::top;
    checked(r, at, [&] {
        cell e = *error::create(category, id, nullptr, nullptr, nullptr);
        *s.get() = e;
    });
    stack::top = top;
    return ctx_cell(s.get()->w1)->w2;
}

void build_native(reader_base& r, slot s, uint32_t type, uint32_t index, const uint8_t* at) {
    if (TYPE_OF(s.get()) != TYPE_BLOCK || series_head(s.get()) != 0) r.invalid(at);
    cell* top = stack::top;
    cell* parts = block::push_only(2);
    block::ks_append(parts, s.get());
    cell n = integer_value(static_cast<int32_t>(index));
    block::ks_append(parts, &n);
    checked(r, at, [&] {
        cell made = *(type == TYPE_NATIVE ? native_datatype::make(nullptr, parts, type)
                                          : action_datatype::make(nullptr, parts, type));
        *s.get() = made;
    });
    stack::top = top;
}

void build_op(reader_base& r, slot s, const uint8_t* at) {
    uint32_t t = TYPE_OF(s.get());
    if (t != TYPE_NATIVE && t != TYPE_ACTION && t != TYPE_FUNCTION) r.invalid(at);
    cell* top = stack::top;
    cell* wrapped = stack::push(s.get());
    checked(r, at, [&] {
        cell made = *op::make(nullptr, wrapped, TYPE_OP);
        *s.get() = made;
    });
    stack::top = top;
}

// --- Compact form ------------------------------------------------------------------------

namespace {

constexpr uint8_t NEW_LINE = 0xC0;
constexpr uint8_t REFERENCE = 0xC1;
constexpr uint8_t TRUE_BYTE = 0xC2;
constexpr uint8_t FALSE_BYTE = 0xC3;
constexpr uint8_t DEFINE = 0xC4;
constexpr uint8_t PATH_BYTE = 0xFF;
constexpr uint8_t F_BIT = 0x40;

uint32_t zigzag(int32_t v) { return (static_cast<uint32_t>(v) << 1) ^ static_cast<uint32_t>(v >> 31); }
int32_t unzigzag(uint32_t u) { return static_cast<int32_t>((u >> 1) ^ (0u - (u & 1))); }

void put_varint(std::vector<uint8_t>& out, uint32_t v) {
    while (v >= 0x80) {
        out.push_back(static_cast<uint8_t>(v | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<uint8_t>(v));
}

void put_u32(std::vector<uint8_t>& out, uint32_t v) {
    uint8_t b[4];
    std::memcpy(b, &v, 4);
    out.insert(out.end(), b, b + 4);
}

uint32_t read_varint_at(reader_base& r) {
    const uint8_t* start = r.p;
    uint32_t v = 0;
    for (int i = 0; i < 5; i++) {
        if (r.p >= r.end) r.invalid(r.end);
        uint8_t b = *r.p++;
        if (i == 4) {
            if (b > 0x0F) r.invalid(r.p - 1);
            return v | (uint32_t{b} << 28);
        }
        v |= uint32_t{b & 0x7Fu} << (7 * i);
        if (!(b & 0x80)) return v;
    }
    r.invalid(start);
}

struct compact_writer : writer_base {
    std::vector<uint8_t> out;

    void varint(uint32_t v) { put_varint(out, v); }
    void type_byte(uint32_t type, bool f) {
        uint8_t flag = f ? F_BIT : 0;
        if (type > 62) {
            out.push_back(static_cast<uint8_t>(63 | flag));
            varint(type);
        } else {
            out.push_back(static_cast<uint8_t>(type | flag));
        }
    }
    void write_path(const uint32_t* stored) {
        varint(stored[0]);
        for (uint32_t i = 1; i <= stored[0]; i++) varint(stored[i]);
    }
    void double_(const cell* v) {
        put_u32(out, v->w2);
        put_u32(out, v->w3);
    }

    void value(const cell* v);
    void float_like(const cell* v, uint32_t type);
    void series(const cell* v, uint32_t type);
    void series_content(const cell* v, uint32_t type);
    void word(const cell* v, uint32_t type);
    void object_body(const cell* v, bool inline_owner);
    void function_body(const cell* v);
    void context_record(node_id ctx, bool values);
};

void compact_writer::float_like(const cell* v, uint32_t type) {
    double d = cell_float(v);
    bool negative_zero = d == 0 && std::signbit(d);
    if (type == TYPE_PERCENT) {
        if (d >= -21474836.0 && d <= 21474836.0 && !negative_zero) {
            double scaled = d * 100;
            int32_t n = static_cast<int32_t>(d >= 0 ? scaled + 0.5 : scaled - 0.5);
            if (n / 100.0 == d) {
                type_byte(type, true);
                varint(zigzag(n));
                return;
            }
        }
    } else if (d >= -2147483000.0 && d <= 2147483000.0 && d == std::trunc(d) && !negative_zero) {
        type_byte(type, true);
        varint(zigzag(static_cast<int32_t>(d)));
        return;
    }
    type_byte(type, false);
    double_(v);
}

void compact_writer::context_record(node_id ctx, bool values) {
    const cell* c = ctx_cell(ctx);
    uint32_t n = ctx_slot_count(c);
    const cell* vals = values ? _context::values(c) : nullptr;
    bool any = false;
    for (uint32_t i = 0; vals && i < n && !any; i++) any = TYPE_OF(&vals[i]) != TYPE_UNSET;
    uint8_t flags = static_cast<uint8_t>(ctx_kind(c) | (c->header & CTX_ON_STACK ? 4 : 0) |
                                         (c->header & CTX_SELF ? 8 : 0) | (any ? 16 : 0));
    out.push_back(flags);
    varint(n);
    for (uint32_t i = 0; i < n; i++) varint(symbol(ctx_key_word(c, i)->w2));
    if (!any) return;
    for (uint32_t i = 0; i < n; i++) value(&_context::values(ctx_cell(ctx))[i]);
}

// The object's record after its type byte's reference check; the caller entered it.
void compact_writer::object_body(const cell* v, bool) {
    bool events = v->w3 != 0;
    type_byte(TYPE_OBJECT, events);
    varint(zigzag(static_cast<int32_t>(v->w2)));
    if (events) {
        for (uint32_t which = 0; which < 2; which++) {
            uint32_t index = series_cell(v->w3, which)->w2 >> 16;
            varint(zigzag(index == object::NO_HANDLER ? -1 : static_cast<int32_t>(index)));
        }
    }
    context_record(v->w1, true);
}

void compact_writer::function_body(const cell* v) {
    type_byte(TYPE_FUNCTION, false);
    cell spec{TYPE_BLOCK, 0, v->w2, 0};
    cell body = *more_at(v, MORE_BODY);
    if (TYPE_OF(&body) != TYPE_BLOCK) body = cell{TYPE_BLOCK, 0, 0, 0};
    varint(cells_in(spec.w2));
    varint(body.w2 ? cells_in(body.w2) : 0);
    context_record(v->w1, false);
    body.header = TYPE_BLOCK;
    value(&spec);
    if (body.w2) {
        value(&body);
    } else {
        type_byte(TYPE_BLOCK, false);
        varint(0);
        counter++;
    }
}

void compact_writer::word(const cell* v, uint32_t type) {
    if (!word_has_owner_q(v)) {
        type_byte(type, false);
        varint(symbol(v->w2));
        return;
    }
    node_id ctx = v->w1;
    if (const uint32_t* stored = find_or_register(ctx)) {
        out.push_back(REFERENCE);
        type_byte(type, true);
        varint(symbol(v->w2));
        varint(zigzag(static_cast<int32_t>(v->w3)));
        write_path(stored);
        return;
    }
    type_byte(type, true);
    varint(symbol(v->w2));
    varint(zigzag(static_cast<int32_t>(v->w3)));
    enter();
    cell owner = *series_cell(ctx, 1);
    if (TYPE_OF(&owner) == TYPE_OBJECT) object_body(&owner, true);
    else function_body(&owner);
    leave();
}

void compact_writer::series_content(const cell* v, uint32_t type) {
    series_buffer* b = type == TYPE_IMAGE ? nullptr : node_buffer(series_node(v));
    switch (type) {
        case TYPE_MAP: {
            uint32_t live = 0;
            for (cell* c = b->cells(); c + 1 < b->cells_tail(); c += 2) live += c[1].header != 0;
            varint(live * 2);
            for (uint32_t i = 0; 2 * i + 1 < cells_in(series_node(v)); i++) {
                series_buffer* bb = node_buffer(series_node(v));
                cell* pair = bb->cells() + 2 * i;
                if (pair[1].header == 0) continue;
                value(pair);
                value(pair + 1);
            }
            break;
        }
        case TYPE_BINARY:
            varint(static_cast<uint32_t>(b->used_bytes()));
            out.insert(out.end(), b->offset, b->tail);
            break;
        case TYPE_VECTOR: {
            uint32_t unit = b->unit();
            out.push_back(static_cast<uint8_t>(vector::element_type(v) << 2 | (unit == 8 ? 3 : unit == 4 ? 2 : unit - 1)));
            varint(static_cast<uint32_t>(b->used_bytes() / unit));
            out.insert(out.end(), b->offset, b->tail);
            break;
        }
        case TYPE_BITSET:
            varint(static_cast<uint32_t>(b->used_bytes()));
            out.insert(out.end(), b->offset, b->tail);
            break;
        case TYPE_IMAGE: {
            uint32_t w = image::width_of(v), h = image::height_of(v);
            varint(w);
            varint(h);
            if (image::pixel_count(v)) {
                image::pixel_lock lock(v, false);
                const uint8_t* px = reinterpret_cast<const uint8_t*>(lock.pixels);
                out.insert(out.end(), px, px + image::pixel_count(v) * 4);
            }
            break;
        }
        default:
            if (any_string_q(type)) {
                uint32_t unit = b->unit();
                uint32_t count = static_cast<uint32_t>(b->used_bytes() / unit);
                varint(count << 2 | (unit == 4 ? 2 : unit - 1));
                out.insert(out.end(), b->offset, b->tail);
            } else {
                uint32_t n = cells_in(series_node(v));
                varint(n);
                for (uint32_t i = 0; i < n; i++) value(series_cell(series_node(v), i));
            }
    }
}

void compact_writer::series(const cell* v, uint32_t type) {
    bool has_head = type != TYPE_MAP && type != TYPE_BITSET;
    uint32_t head = has_head ? series_head(v) : 0;
    bool f = type == TYPE_BITSET ? bitset::complemented_q(node_buffer(series_node(v))) : head != 0;
    node_id key = series_node(v);
    const uint32_t* stored = key ? find_or_register(key) : nullptr;
    if (stored) out.push_back(REFERENCE);
    type_byte(type, f);
    if (has_head && head) varint(head);
    if (stored) {
        write_path(stored);
        return;
    }
    enter();
    series_content(v, type);
    leave();
}

void compact_writer::value(const cell* v) {
    deeper();
    if (v->header & CELL_NEW_LINE) out.push_back(NEW_LINE);
    uint32_t type = TYPE_OF(v);
    switch (type) {
        case TYPE_INTEGER: {
            int32_t n = static_cast<int32_t>(v->w2);
            if (n >= 0 && n <= 63) {
                out.push_back(static_cast<uint8_t>(0x80 + n));
            } else {
                type_byte(type, false);
                varint(zigzag(n));
            }
            break;
        }
        case TYPE_LOGIC:
            out.push_back(v->w1 ? TRUE_BYTE : FALSE_BYTE);
            break;
        case TYPE_DATATYPE:
            type_byte(type, false);
            varint(v->w1);
            break;
        case TYPE_UNSET: case TYPE_NONE:
            type_byte(type, false);
            break;
        case TYPE_CHAR:
            type_byte(type, false);
            varint(v->w2);
            break;
        case TYPE_FLOAT: case TYPE_TIME: case TYPE_PERCENT:
            float_like(v, type);
            break;
        case TYPE_PAIR:
            type_byte(type, false);
            varint(zigzag(static_cast<int32_t>(v->w2)));
            varint(zigzag(static_cast<int32_t>(v->w3)));
            break;
        case TYPE_POINT2D: case TYPE_POINT3D:
            type_byte(type, false);
            put_u32(out, v->w1);
            put_u32(out, v->w2);
            if (type == TYPE_POINT3D) put_u32(out, v->w3);
            break;
        case TYPE_DATE: {
            bool has_time = date::has_time_q(v->w1);
            type_byte(type, has_time);
            put_u32(out, v->w1);
            if (has_time) double_(v);
            break;
        }
        case TYPE_TYPESET: {
            const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&v->w1);
            uint8_t n = 12;
            while (n && !bytes[n - 1]) n--;
            type_byte(type, false);
            out.push_back(n);
            out.insert(out.end(), bytes, bytes + n);
            break;
        }
        case TYPE_TUPLE: {
            uint32_t n = tuple::count_of(v);
            type_byte(type, n != 3);
            if (n != 3) out.push_back(static_cast<uint8_t>(n));
            out.insert(out.end(), tuple::bytes_of(v), tuple::bytes_of(v) + n);
            break;
        }
        case TYPE_MONEY: {
            type_byte(type, money_get_sign(v));
            const uint8_t* payload = money_payload(v);
            out.insert(out.end(), payload, payload + 12);
            break;
        }
        case TYPE_ISSUE:
            type_byte(type, false);
            varint(symbol(v->w2));
            break;
        case TYPE_WORD: case TYPE_SET_WORD: case TYPE_LIT_WORD: case TYPE_GET_WORD: case TYPE_REFINEMENT:
            word(v, type);
            break;
        case TYPE_OBJECT:
            if (const uint32_t* stored = find_or_register(v->w1)) {
                out.push_back(REFERENCE);
                type_byte(type, v->w3 != 0);
                write_path(stored);
            } else {
                enter();
                object_body(v, false);
                leave();
            }
            break;
        case TYPE_FUNCTION:
            if (const uint32_t* stored = find_or_register(v->w1)) {
                out.push_back(REFERENCE);
                type_byte(type, false);
                write_path(stored);
            } else {
                enter();
                function_body(v);
                leave();
            }
            break;
        case TYPE_ERROR: {
            find_or_register(v->w1);
            type_byte(type, false);
            const cell* fields = _context::values(ctx_cell(v->w1));
            varint(fields[error::FIELD_CODE].w2);
            enter();
            for (uint32_t i = 0; i < 6; i++) value(&_context::values(ctx_cell(v->w1))[error::FIELD_ARG1 + i]);
            leave();
            break;
        }
        case TYPE_NATIVE: case TYPE_ACTION: {
            type_byte(type, false);
            varint(v->w1);
            cell spec{TYPE_BLOCK, 0, v->w2, 0};
            value(&spec);
            counter--;
            break;
        }
        case TYPE_OP: {
            uint32_t wrapped = op_wrapped_type(v);
            if (wrapped == TYPE_ROUTINE) no_codec(v);
            type_byte(type, false);
            cell inner = *v;
            inner.header = wrapped | (v->header & (FUNC_TRACE | FUNC_NO_TRACE));
            value(&inner);
            counter--;
            break;
        }
        default:
            if (series_type_q(type) || type == TYPE_MAP || type == TYPE_BITSET) {
                series(v, type);
                break;
            }
            no_codec(v);
    }
    counter++;
    depth--;
}

struct compact_reader : reader_base {
    static constexpr uint32_t RECORD_MIN = 1;
    // Most fields fit one byte: that case stays inline.
    uint32_t varint() { return p < end && *p < 0x80 ? *p++ : read_varint_at(*this); }
    int32_t zigzag_() { return unzigzag(varint()); }
    uint32_t count(uint64_t unit_min = 1) {
        const uint8_t* at = p;
        uint32_t n = varint();
        if (n > INT32_MAX || uint64_t{n} * unit_min + owed > left()) invalid(at);
        return n;
    }
    void record(slot s);
    void body_block(slot f, uint32_t which);
    void word_record(slot s, uint32_t type, bool f, bool ref, const uint8_t* at);
    std::vector<int32_t> global_slots;  // per symbol index, -1 until looked up
    void boot_global_word(slot s, uint32_t type, uint32_t index, uint32_t symbol_id);
    void object_record(slot s, bool f, bool ref, const uint8_t* at);
    void function_record(slot s, bool ref, const uint8_t* at);
    std::vector<uint32_t> context_words_record(uint32_t kind, bool& values, const uint8_t* at);
    void scalar(slot s, uint32_t type, bool f, const uint8_t* at);
    void series_record(slot s, uint32_t type, bool f, bool ref, const uint8_t* at);
};

std::vector<uint32_t> compact_reader::context_words_record(uint32_t kind, bool& values, const uint8_t* at) {
    const uint8_t* flags_at = p;
    uint8_t flags = byte();
    bool on_stack = flags & 4;
    values = flags & 16;
    bool self = flags & 8;
    if ((flags & ~31u) || !context_flags_fit(kind, flags & 3, on_stack, self, values)) invalid(flags_at);
    uint32_t n = count();
    std::vector<uint32_t> words;
    words.reserve(n);
    for (uint32_t i = 0; i < n; i++) {
        const uint8_t* sym_at = p;
        words.push_back(symbol(varint(), sym_at));
    }
    (void)at;
    return words;
}

void compact_reader::object_record(slot s, bool f, bool ref, const uint8_t* at) {
    if (ref) {
        cell target = resolve();
        *s.get() = owner_from_target(*this, target, TYPE_OBJECT, at);
        return;
    }
    zigzag_();  // a fresh class in codec mode
    int32_t on_change = -1, on_deep = -1;
    if (f) {
        on_change = zigzag_();
        on_deep = zigzag_();
    }
    const uint8_t* ctx_at = p;
    bool values;
    std::vector<uint32_t> words = context_words_record(CTX_OBJECT, values, ctx_at);
    node_id vals = open_object(*this, s, words, ctx_at);
    if (values) object_values(*this, vals, static_cast<uint32_t>(words.size()), ctx_at);
    close_object(*this, s, f, on_change, on_deep, at);
}

void compact_reader::body_block(slot f, uint32_t which) {
    const uint8_t* at = p;
    bool ref = false;
    uint8_t b;
    while ((b = byte()) == NEW_LINE || b == REFERENCE) ref |= b == REFERENCE;
    if ((b & 63) != TYPE_BLOCK) invalid(p - 1);
    if (b & F_BIT) varint();
    if (ref) {
        const uint8_t* path_at = p;
        share_function_block(*this, f, which, resolve(), path_at);
        return;
    }
    const uint8_t* count_at = p;
    uint32_t n = count();
    node_id block = open_function_block(*this, f, which, n, at);
    records_into(*this, block, n, count_at, false);
}

void compact_reader::function_record(slot s, bool ref, const uint8_t* at) {
    if (ref) {
        cell target = resolve();
        *s.get() = owner_from_target(*this, target, TYPE_FUNCTION, at);
        return;
    }
    varint();  // spec and body lengths: the blocks' own counts decide
    varint();
    const uint8_t* ctx_at = p;
    bool values;
    std::vector<uint32_t> words = context_words_record(CTX_FUNCTION, values, ctx_at);
    open_function(*this, s, words, ctx_at);
    body_block(s, 0);
    body_block(s, 1);
    close_function(*this, s, at);
}

// The image repeats a few thousand names over and over: each one's global slot is looked
// up once.
void compact_reader::boot_global_word(slot s, uint32_t type, uint32_t index, uint32_t symbol_id) {
    if (global_slots.empty()) global_slots.assign(nsym, -1);
    int32_t& g = global_slots[index];
    if (g < 0) g = _context::add_word(global_context, symbol_id);
    uint32_t slot_index = type == TYPE_ISSUE ? static_cast<uint32_t>(-1) : static_cast<uint32_t>(g);
    *s.get() = cell{type, global_context, symbol_id, slot_index};
}

void compact_reader::word_record(slot s, uint32_t type, bool f, bool ref, const uint8_t* at) {
    const uint8_t* sym_at = p;
    uint32_t symbol_index = varint();
    uint32_t symbol_id = symbol(symbol_index, sym_at);
    if (!f) {
        if (ref) invalid(at);
        if (boot) boot_global_word(s, type, symbol_index, symbol_id);
        else build_global_word(s, type, symbol_id);
        return;
    }
    if (type == TYPE_ISSUE) invalid(at);
    const uint8_t* slot_at = p;
    int32_t index = zigzag_();
    node_id ctx;
    if (ref) {
        const uint8_t* path_at = p;
        cell target = resolve();
        ctx = context_carried(&target);
        if (!ctx) invalid(path_at);
    } else {
        const uint8_t* owner_at = p;
        uint8_t b = byte();
        bool owner_f = b & F_BIT;
        if ((b & 63) == TYPE_OBJECT) object_record(s, owner_f, false, owner_at);
        else if ((b & 63) == TYPE_FUNCTION && !owner_f) function_record(s, false, owner_at);
        else invalid(owner_at);
        ctx = s.get()->w1;
    }
    build_bound_word(*this, s, type, symbol_id, ctx, index, slot_at);
}

void compact_reader::scalar(slot s, uint32_t type, bool f, const uint8_t* at) {
    cell v{type, 0, 0, 0};
    switch (type) {
        case TYPE_DATATYPE:
            v.w1 = varint();
            break;
        case TYPE_UNSET: case TYPE_NONE:
            break;
        case TYPE_CHAR:
            v.w2 = varint();
            break;
        case TYPE_INTEGER:
            v.w2 = static_cast<uint32_t>(zigzag_());
            break;
        case TYPE_FLOAT: case TYPE_TIME: case TYPE_PERCENT:
            if (f) {
                int32_t n = zigzag_();
                set_cell_float(&v, type == TYPE_PERCENT ? n / 100.0 : n);
            } else {
                v.w2 = u32();
                v.w3 = u32();
            }
            break;
        case TYPE_PAIR:
            v.w2 = static_cast<uint32_t>(zigzag_());
            v.w3 = static_cast<uint32_t>(zigzag_());
            break;
        case TYPE_POINT2D: case TYPE_POINT3D:
            v.w1 = u32();
            v.w2 = u32();
            if (type == TYPE_POINT3D) v.w3 = u32();
            break;
        case TYPE_DATE:
            v.w1 = u32();
            if (date::has_time_q(v.w1) != f) invalid(at);
            if (f) {
                v.w2 = u32();
                v.w3 = u32();
            }
            break;
        case TYPE_TYPESET: {
            const uint8_t* n_at = p;
            uint8_t n = byte();
            if (n > 12) invalid(n_at);
            need(n);
            std::memcpy(&v.w1, p, n);
            p += n;
            break;
        }
        case TYPE_TUPLE: {
            const uint8_t* n_at = p;
            uint8_t n = f ? byte() : 3;
            if (n < tuple::MIN_COUNT || n > tuple::MAX_COUNT) invalid(n_at);
            need(n);
            v.header |= uint32_t{n} << tuple::COUNT_SHIFT;
            std::memcpy(&v.w1, p, n);
            p += n;
            break;
        }
        case TYPE_MONEY:
            need(12);
            std::memcpy(&v.w1, p, 12);
            p += 12;
            if (f) v.header |= MONEY_SIGN;
            break;
        default:
            invalid(at);
    }
    // The image names event! before the boot tail registers it.
    if (!boot) check_scalar(*this, v, at);
    *s.get() = v;
}

void compact_reader::series_record(slot s, uint32_t type, bool f, bool ref, const uint8_t* at) {
    bool has_head = type != TYPE_MAP && type != TYPE_BITSET;
    uint32_t head = has_head && f ? varint() : 0;
    if (ref) {
        cell target = resolve();
        *s.get() = series_from_target(*this, target, type, head, at);
        return;
    }
    const uint8_t* count_at = p;
    if (any_block_q(type) || type == TYPE_MAP) {
        uint32_t n = count();
        if (type == TYPE_MAP && n % 2) invalid(count_at);
        node_id block = open_block(s, type, head, n);
        records_into(*this, block, n, count_at, type == TYPE_MAP);
        if (type == TYPE_MAP) close_map(s);
        else close_block(*this, s, type, at);
        return;
    }
    if (any_string_q(type)) {
        uint32_t l = varint();
        uint32_t unit_log = l & 3;
        if (unit_log == 3) invalid(count_at);
        uint64_t count = l >> 2;
        take_bytes(count << unit_log, count_at);
        const uint8_t* units = p;
        p += count << unit_log;
        build_text(*this, s, type, head, count, 1u << unit_log, units, at);
        return;
    }
    switch (type) {
        case TYPE_BINARY: case TYPE_BITSET: {
            uint64_t n = varint();
            take_bytes(n, count_at);
            const uint8_t* bytes = p;
            p += n;
            if (type == TYPE_BINARY) build_text(*this, s, type, head, n, 1, bytes, at);
            else build_bitset(s, f, n, bytes);
            return;
        }
        case TYPE_VECTOR: {
            uint32_t kind = byte();
            const uint8_t* n_at = p;
            uint64_t n = varint();
            take_bytes(n << (kind & 3), n_at);
            const uint8_t* bytes = p;
            p += n << (kind & 3);
            build_vector(*this, s, head, kind, n, bytes, count_at);
            return;
        }
        case TYPE_IMAGE: {
            uint32_t w = varint();
            if (w > image::SIDE_MAX) invalid(count_at);
            const uint8_t* h_at = p;
            uint32_t h = varint();
            if (h > image::SIDE_MAX) invalid(h_at);
            take_bytes(uint64_t{w} * h * 4, h_at);
            const uint8_t* pixels = p;
            p += uint64_t{w} * h * 4;
            build_image(*this, s, head, w, h, pixels, at);
            return;
        }
        default:
            invalid(at);
    }
}

void compact_reader::record(slot s) {
    const uint8_t* at = p;
    deeper(at);
    bool new_line = false, ref = false;
    uint8_t b;
    for (;;) {
        at = p;
        b = byte();
        if (b == NEW_LINE) new_line = true;
        else if (b == REFERENCE) ref = true;
        else if (b == DEFINE) invalid(at);
        else break;
    }
    if (b >= 0x80) {
        if (ref) invalid(at);
        if (b <= 0xBF) *s.get() = integer_value(b - 0x80);
        else if (b == TRUE_BYTE || b == FALSE_BYTE) *s.get() = cell{TYPE_LOGIC, b == TRUE_BYTE, 0, 0};
        else if (b == PATH_BYTE) *s.get() = resolve();
        else invalid(at);
    } else {
        bool f = b & F_BIT;
        uint32_t type = b & 63;
        if (type == 63) type = varint();
        if (type == 0 || type > highest_type || !type_names[type].name) invalid(at);
        switch (type) {
            case TYPE_ROUTINE: case TYPE_TRIPLE: case TYPE_HANDLE: case TYPE_PORT: case TYPE_EVENT: {
                cell t = datatype_of(type);
                fire(access_error::no_codec, &t);
            }
            case TYPE_LOGIC: case TYPE_SYMBOL: case TYPE_CONTEXT:
                invalid(at);
            case TYPE_WORD: case TYPE_SET_WORD: case TYPE_LIT_WORD: case TYPE_GET_WORD: case TYPE_REFINEMENT:
            case TYPE_ISSUE:
                word_record(s, type, f, ref, at);
                break;
            case TYPE_OBJECT:
                object_record(s, f, ref, at);
                break;
            case TYPE_FUNCTION:
                if (f) invalid(at);
                function_record(s, ref, at);
                break;
            case TYPE_ERROR: {
                if (ref || f) invalid(at);
                const uint8_t* code_at = p;
                error_fields(*this, s, varint(), code_at);
                break;
            }
            case TYPE_NATIVE: case TYPE_ACTION: {
                if (ref || f) invalid(at);
                const uint8_t* index_at = p;
                native_spec(*this, s, type, varint(), index_at);
                break;
            }
            case TYPE_OP: {
                if (ref || f) invalid(at);
                op_wrapped(*this, s, at);
                break;
            }
            default:
                if (series_type_q(type) || type == TYPE_MAP || type == TYPE_BITSET) {
                    series_record(s, type, f, ref, at);
                } else {
                    if (ref) invalid(at);
                    scalar(s, type, f, at);
                }
        }
    }
    if (new_line) s.get()->header |= CELL_NEW_LINE;
    depth--;
}

// One top-level record; in boot mode a native or action leaves its spec block after it.
void top_record(compact_reader& r, node_id root) {
    slot s = reader_base::append_slot(root);
    r.record(s);
    uint32_t type = TYPE_OF(s.get());
    if (r.boot && (type == TYPE_NATIVE || type == TYPE_ACTION)) {
        cell spec{TYPE_BLOCK, 0, s.get()->w2, 0};
        *reader_base::append_slot(root).get() = spec;
    }
}

// A define pair: the word is set to the first cell of the record after it; the cells of
// both leave the parent.
void define(compact_reader& r, node_id root) {
    uint32_t first = cells_in(root);
    const uint8_t* at = r.p;
    slot word = reader_base::append_slot(root);
    r.record(word);
    uint32_t type = TYPE_OF(word.get());
    if (type < TYPE_WORD || type > TYPE_ISSUE || r.p >= r.end) r.invalid(at);
    top_record(r, root);
    if (type != TYPE_ISSUE) {
        cell* top = stack::top;
        cell* w = stack::push(word.get());
        cell* v = stack::push(series_cell(root, first + 1));
        _context::set(w, v);
        stack::top = top;
    }
    series_buffer* b = node_buffer(root);
    b->tail = reinterpret_cast<uint8_t*>(b->cells() + first);
}

void decode_compact(compact_reader& r, node_id root, bool symbols) {
    r.field = read_varint_at;
    r.varint();  // count: the records area says how many there are
    uint32_t records_size = r.varint();
    if (symbols) r.symbol_table();
    r.records_area(records_size, root);
    while (r.p < r.end) {
        if (r.boot && *r.p == DEFINE) {
            r.p++;
            define(r, root);
        } else {
            top_record(r, root);
        }
    }
    r.check_heads();
}

}  // namespace

// --- Entry points ------------------------------------------------------------------------

namespace fixed {
cell* encode(const cell* value);
void decode(const reader_base& header, node_id root, bool symbols, const uint8_t* data, size_t size);
}  // namespace fixed

namespace {

constexpr uint8_t BOOT_VERSION = 1;

cell* finish_compact(compact_writer& w, uint8_t version, uint32_t count) {
    std::vector<uint8_t> out(MAGIC, MAGIC + 6);
    out.push_back(version);
    out.push_back(w.symbols.empty() ? FLAG_COMPACT : FLAG_COMPACT | FLAG_SYMBOLS);
    put_varint(out, count);
    put_varint(out, static_cast<uint32_t>(w.out.size()));
    if (!w.symbols.empty()) {
        std::vector<uint8_t> names;
        std::vector<uint32_t> offsets;
        for (uint32_t id : w.symbols) {
            size_t n;
            const uint8_t* name = symbol::name_bytes(id, &n);
            offsets.push_back(static_cast<uint32_t>(names.size()));
            names.insert(names.end(), name, name + n);
            names.push_back(0);
        }
        put_varint(out, static_cast<uint32_t>(offsets.size()));
        put_varint(out, static_cast<uint32_t>(names.size()));
        for (uint32_t o : offsets) put_u32(out, o);
        out.insert(out.end(), names.begin(), names.end());
    }
    out.insert(out.end(), w.out.begin(), w.out.end());
    return binary::load(out.data(), out.size());
}

}  // namespace

cell* encode_boot(const cell* defines, const cell* literals) {
    compact_writer w;
    uint32_t count = 0;
    series_buffer* d = series::buffer_of(defines);
    for (cell* c = d->cells() + series_head(defines); c + 1 < d->cells_tail(); c += 2) {
        w.out.push_back(DEFINE);
        w.value(c);
        w.value(c + 1);
    }
    series_buffer* l = series::buffer_of(literals);
    for (cell* c = l->cells() + series_head(literals); c < l->cells_tail(); c++) {
        w.value(c);
        count += TYPE_OF(c) == TYPE_NATIVE || TYPE_OF(c) == TYPE_ACTION ? 2 : 1;
    }
    return finish_compact(w, BOOT_VERSION, count ? count - 1 : 0);
}

cell* encode(const cell* value, form how) {
    if (how == form::fixed) return fixed::encode(value);
    compact_writer w;
    w.value(value);
    return finish_compact(w, VERSION, 1);
}

namespace {

// Nothing can start without the image: the status of an uncaught error.
[[noreturn]] void bad_image(const char* message) {
    standard_error_write(message, std::strlen(message));
    std::fflush(nullptr);
    _exit(254);
}

void decode_in(const uint8_t* data, size_t size, cell* parent, bool boot) {
    evacuation_off pinned;
    root_cell keep(*parent);
    compact_reader r;
    r.boot = boot;
    r.magic = data;
    r.p = data;
    r.end = data + size;
    for (int i = 0; i < 6; i++)
        if (r.byte() != MAGIC[i]) r.invalid(data + i);
    r.byte();  // the version: readers never check it
    const uint8_t* flags_at = r.p;
    uint8_t flags = r.byte();
    if (flags & ~7u) r.invalid(flags_at);
    lz_buffer expanded;
    if (flags & FLAG_COMPRESSED) {
        size_t n = 0;
        expanded = lz_decompress(r.p, r.left(), n);
        if (!expanded) {
            if (boot) bad_image("Error: Kelbin compressed data corrupted!\n");
            r.invalid(r.p);
        }
        // Offsets count as if the expanded bytes stood in place of the record.
        r.magic = expanded.get() - 8;
        r.p = expanded.get();
        r.end = expanded.get() + n;
    }
    if (!(flags & FLAG_COMPACT)) {
        fixed::decode(r, series_node(parent), flags & FLAG_SYMBOLS, data, size);
        return;
    }
    decode_compact(r, series_node(parent), flags & FLAG_SYMBOLS);
}

// The block of literals, made by the first boot load; the collector keeps it.
root_cell& literals() {
    static root_cell block;
    return block;
}
uint32_t literal_base = 0;

}  // namespace

void decode(const uint8_t* data, size_t size, cell* parent) { decode_in(data, size, parent, false); }

void load_boot(const uint8_t* image, size_t size, bool keep_base) {
    if (size < 9 || std::memcmp(image, MAGIC, 6) != 0) bad_image("Error: Not a Kelbin file!\n");
    bool was_on = collector_enabled;
    collector_enabled = false;
    cell* top = stack::top;
    // The count field (top-level cells less one) sizes the block, when it is one plain byte.
    int32_t room = !(image[7] & FLAG_COMPRESSED) && image[8] < 0x80 ? image[8] + 1 : 1;
    if (TYPE_OF(&literals().value) != TYPE_BLOCK) block::make_at(&literals().value, room);
    uint32_t base = cells_in(series_node(&literals().value));
    cell* parent = stack::push(&literals().value);
    decode_in(image, size, parent, true);
    stack::top = top;
    collector_enabled = was_on;
    if (!keep_base) literal_base = base;
}

cell* literal_cell(uint32_t n) {
    if (TYPE_OF(&literals().value) != TYPE_BLOCK) return nullptr;
    node_id block = series_node(&literals().value);
    if (literal_base + n >= cells_in(block)) return nullptr;
    return series_cell(block, literal_base + n);
}

}  // namespace kel::kelbin
