// KELBIN fixed form: every field a 32-bit little-endian word, so a record is read without
// varint decoding. Same values, sharing and reference paths as the compact form.
#include <cstring>

#include "datatypes/binary.h"
#include "datatypes/bitset.h"
#include "datatypes/context.h"
#include "datatypes/date.h"
#include "datatypes/error.h"
#include "datatypes/function.h"
#include "datatypes/image.h"
#include "datatypes/money_amount.h"
#include "datatypes/native.h"
#include "datatypes/object.h"
#include "datatypes/series.h"
#include "datatypes/symbol.h"
#include "datatypes/tuple.h"
#include "datatypes/vector.h"
#include "datatypes/word.h"
#include "io/kelbin.h"
#include "io/kelbin_records.h"
#include "runtime/error_catalog.h"
#include "runtime/exits.h"

namespace kel::kelbin::fixed {

namespace {

constexpr uint32_t NEW_LINE_BIT = 1u << 31;
constexpr uint32_t REFERENCE_BIT = 1u << 19;
constexpr uint32_t GLOBAL_BIT = 1u << 25;
constexpr uint32_t HANDLERS_BIT = 1u << 24;
constexpr uint32_t COMPLEMENT_BIT = 1u << 23;
constexpr uint32_t SIGN_BIT = 1u << 22;
constexpr uint32_t BYTE1_BITS = 0xFF00;  // tuple count; unit size of strings, binaries, vectors
constexpr uint32_t WRAPPED_SHIFT = 16;
constexpr uint32_t CONTEXT_BITS = 0x7C000000;
constexpr uint32_t REFERENCE_TYPE = 255;
constexpr uint32_t HEADER_SIZE = 16;

bool word_family_q(uint32_t type) { return type >= TYPE_WORD && type <= TYPE_REFINEMENT; }

uint32_t unit_log(uint32_t unit) { return unit == 8 ? 3 : unit == 4 ? 2 : unit - 1; }

// --- Writer ------------------------------------------------------------------------------

struct fixed_writer : writer_base {
    std::vector<uint32_t> out;

    void put(uint32_t w) { out.push_back(w); }
    // Bytes, then zeros up to the next word.
    void put_bytes(const uint8_t* bytes, size_t n) {
        size_t at = out.size();
        out.resize(at + (n + 3) / 4, 0);
        if (n) std::memcpy(out.data() + at, bytes, n);
    }
    void reference(const uint32_t* stored) {
        put(REFERENCE_TYPE);
        for (uint32_t i = 0; i <= stored[0]; i++) put(stored[i]);
    }

    void value(const cell* v);
    void series(const cell* v, uint32_t type, uint32_t new_line);
    void series_content(const cell* v, uint32_t type);
    void word(const cell* v, uint32_t type, uint32_t new_line);
    void object_body(const cell* v, uint32_t new_line);
    void function_body(const cell* v, uint32_t new_line);
    void context_record(node_id ctx, bool values);
};

void fixed_writer::context_record(node_id ctx, bool values) {
    const cell* c = ctx_cell(ctx);
    uint32_t n = ctx_slot_count(c);
    const cell* vals = values ? _context::values(c) : nullptr;
    bool any = false;
    for (uint32_t i = 0; vals && i < n && !any; i++) any = TYPE_OF(&vals[i]) != TYPE_UNSET;
    put(TYPE_CONTEXT | ctx_kind(c) << 26 | (c->header & CTX_SELF ? 1u << 28 : 0) |
        (c->header & CTX_ON_STACK ? 1u << 29 : 0) | (any ? 1u << 30 : 0));
    put(n);
    for (uint32_t i = 0; i < n; i++) put(symbol(ctx_key_word(c, i)->w2));
    if (!any) return;
    for (uint32_t i = 0; i < n; i++) value(&_context::values(ctx_cell(ctx))[i]);
}

void fixed_writer::object_body(const cell* v, uint32_t new_line) {
    bool events = v->w3 != 0;
    put(TYPE_OBJECT | new_line | (events ? HANDLERS_BIT : 0));
    put(v->w2);
    if (events) {
        for (uint32_t which = 0; which < 2; which++) {
            uint32_t index = series_cell(v->w3, which)->w2 >> 16;
            put(index == object::NO_HANDLER ? static_cast<uint32_t>(-1) : index);
        }
    }
    context_record(v->w1, true);
}

void fixed_writer::function_body(const cell* v, uint32_t new_line) {
    put(TYPE_FUNCTION | new_line);
    cell spec{TYPE_BLOCK, 0, v->w2, 0};
    cell body = *more_at(v, MORE_BODY);
    if (TYPE_OF(&body) != TYPE_BLOCK) body = cell{TYPE_BLOCK, 0, 0, 0};
    put(cells_in(spec.w2));
    put(body.w2 ? cells_in(body.w2) : 0);
    context_record(v->w1, false);
    body.header = TYPE_BLOCK;
    value(&spec);
    if (body.w2) {
        value(&body);
    } else {
        put(TYPE_BLOCK);
        put(0);
        put(0);
        counter++;
    }
}

void fixed_writer::word(const cell* v, uint32_t type, uint32_t new_line) {
    if (!word_has_owner_q(v)) {
        put(type | new_line | GLOBAL_BIT);
        put(symbol(v->w2));
        put(0);
        return;
    }
    node_id ctx = v->w1;
    if (const uint32_t* stored = find_or_register(ctx)) {
        put(type | new_line | REFERENCE_BIT);
        put(symbol(v->w2));
        put(v->w3);
        reference(stored);
        return;
    }
    put(type | new_line);
    put(symbol(v->w2));
    put(v->w3);
    enter();
    cell owner = *series_cell(ctx, 1);
    if (TYPE_OF(&owner) == TYPE_OBJECT) object_body(&owner, 0);
    else function_body(&owner, 0);
    leave();
}

void fixed_writer::series_content(const cell* v, uint32_t type) {
    series_buffer* b = type == TYPE_IMAGE ? nullptr : node_buffer(series_node(v));
    switch (type) {
        case TYPE_MAP: {
            uint32_t live = 0;
            for (cell* c = b->cells(); c + 1 < b->cells_tail(); c += 2) live += c[1].header != 0;
            put(live * 2);
            for (uint32_t i = 0; 2 * i + 1 < cells_in(series_node(v)); i++) {
                cell* pair = node_buffer(series_node(v))->cells() + 2 * i;
                if (pair[1].header == 0) continue;
                value(pair);
                value(pair + 1);
            }
            break;
        }
        case TYPE_VECTOR:
            put(static_cast<uint32_t>(b->used_bytes() / b->unit()));
            put(vector::element_type(v));
            put_bytes(b->offset, b->used_bytes());
            break;
        case TYPE_BINARY: case TYPE_BITSET:
            put(static_cast<uint32_t>(b->used_bytes()));
            put_bytes(b->offset, b->used_bytes());
            break;
        case TYPE_IMAGE: {
            put(image::width_of(v) | image::height_of(v) << 16);
            if (image::pixel_count(v)) {
                image::pixel_lock lock(v, false);
                out.insert(out.end(), lock.pixels, lock.pixels + image::pixel_count(v));
            }
            break;
        }
        default:
            if (any_string_q(type)) {
                put(static_cast<uint32_t>(b->used_bytes() / b->unit()));
                put_bytes(b->offset, b->used_bytes());
            } else {
                uint32_t n = cells_in(series_node(v));
                put(n);
                for (uint32_t i = 0; i < n; i++) value(series_cell(series_node(v), i));
            }
    }
}

void fixed_writer::series(const cell* v, uint32_t type, uint32_t new_line) {
    bool has_head = type != TYPE_MAP && type != TYPE_BITSET;
    node_id key = series_node(v);
    const uint32_t* stored = key ? find_or_register(key) : nullptr;
    uint32_t header = type | new_line;
    if (stored) header |= REFERENCE_BIT;
    else if (any_string_q(type) || type == TYPE_BINARY || type == TYPE_VECTOR) header |= node_buffer(key)->unit() << 8;
    if (type == TYPE_BITSET && bitset::complemented_q(node_buffer(key))) header |= COMPLEMENT_BIT;
    put(header);
    if (has_head) put(series_head(v));
    if (stored) {
        reference(stored);
        return;
    }
    enter();
    series_content(v, type);
    leave();
}

void fixed_writer::value(const cell* v) {
    deeper();
    uint32_t new_line = v->header & CELL_NEW_LINE ? NEW_LINE_BIT : 0;
    uint32_t type = TYPE_OF(v);
    switch (type) {
        case TYPE_DATATYPE: case TYPE_LOGIC:
            put(type | new_line);
            put(v->w1);
            break;
        case TYPE_UNSET: case TYPE_NONE:
            put(type | new_line);
            break;
        case TYPE_CHAR: case TYPE_INTEGER:
            put(type | new_line);
            put(v->w2);
            break;
        case TYPE_FLOAT: case TYPE_PERCENT: case TYPE_TIME:
            if (out.size() % 2) put(0);  // doubles start on 8 bytes within the records area
            put(type | new_line);
            put(v->w3);
            put(v->w2);
            break;
        case TYPE_PAIR:
            put(type | new_line);
            put(v->w2);
            put(v->w3);
            break;
        case TYPE_POINT2D:
            put(type | new_line);
            put(v->w1);
            put(v->w2);
            break;
        case TYPE_POINT3D: case TYPE_TYPESET: case TYPE_TUPLE: case TYPE_MONEY: {
            uint32_t header = type | new_line;
            if (type == TYPE_TUPLE) header |= tuple::count_of(v) << 8;
            if (type == TYPE_MONEY && money_get_sign(v)) header |= SIGN_BIT;
            put(header);
            put(v->w1);
            put(v->w2);
            put(v->w3);
            break;
        }
        case TYPE_DATE:
            put(type | new_line);
            put(v->w1);
            put(v->w3);
            put(v->w2);
            break;
        case TYPE_ISSUE:
            put(type | new_line);
            put(symbol(v->w2));
            break;
        case TYPE_WORD: case TYPE_SET_WORD: case TYPE_LIT_WORD: case TYPE_GET_WORD: case TYPE_REFINEMENT:
            word(v, type, new_line);
            break;
        case TYPE_OBJECT:
            if (const uint32_t* stored = find_or_register(v->w1)) {
                put(type | new_line | REFERENCE_BIT | (v->w3 ? HANDLERS_BIT : 0));
                reference(stored);
            } else {
                enter();
                object_body(v, new_line);
                leave();
            }
            break;
        case TYPE_FUNCTION:
            if (const uint32_t* stored = find_or_register(v->w1)) {
                put(type | new_line | REFERENCE_BIT);
                reference(stored);
            } else {
                enter();
                function_body(v, new_line);
                leave();
            }
            break;
        case TYPE_ERROR: {
            find_or_register(v->w1);
            put(type | new_line);
            put(_context::values(ctx_cell(v->w1))[error::FIELD_CODE].w2);
            enter();
            for (uint32_t i = 0; i < 6; i++) value(&_context::values(ctx_cell(v->w1))[error::FIELD_ARG1 + i]);
            leave();
            break;
        }
        case TYPE_NATIVE: case TYPE_ACTION: {
            put(type | new_line);
            put(v->w1);
            cell spec{TYPE_BLOCK, 0, v->w2, 0};
            value(&spec);
            counter--;
            break;
        }
        case TYPE_OP: {
            uint32_t wrapped = op_wrapped_type(v);
            if (wrapped == TYPE_ROUTINE) no_codec(v);
            put(type | new_line | wrapped << WRAPPED_SHIFT);
            cell inner = *v;
            inner.header = wrapped | (v->header & (FUNC_TRACE | FUNC_NO_TRACE));
            value(&inner);
            counter--;
            break;
        }
        default:
            if (series_type_q(type) || type == TYPE_MAP || type == TYPE_BITSET) {
                series(v, type, new_line);
                break;
            }
            no_codec(v);
    }
    counter++;
    depth--;
}

void put_u32(std::vector<uint8_t>& out, uint32_t v) {
    uint8_t b[4];
    std::memcpy(b, &v, 4);
    out.insert(out.end(), b, b + 4);
}

// --- Reader ------------------------------------------------------------------------------

// The header bits a record of this type may carry.
uint32_t allowed_bits(uint32_t type) {
    uint32_t bits = 0xFF | NEW_LINE_BIT;
    if (series_type_q(type) || type == TYPE_MAP || type == TYPE_BITSET || word_family_q(type) ||
        type == TYPE_OBJECT || type == TYPE_FUNCTION)
        bits |= REFERENCE_BIT;
    if (type == TYPE_TUPLE || any_string_q(type) || type == TYPE_BINARY || type == TYPE_VECTOR) bits |= BYTE1_BITS;
    if (type == TYPE_MONEY) bits |= SIGN_BIT;
    if (type == TYPE_BITSET) bits |= COMPLEMENT_BIT;
    if (word_family_q(type)) bits |= GLOBAL_BIT;
    if (type == TYPE_OBJECT) bits |= HANDLERS_BIT;
    if (type == TYPE_OP) bits |= 0xFFu << WRAPPED_SHIFT;
    return bits;
}

uint32_t read_word(reader_base& r) { return r.u32(); }

struct fixed_reader : reader_base {
    static constexpr uint32_t RECORD_MIN = 4;

    // A count of what follows, each taking at least `unit` bytes.
    uint32_t count(uint64_t unit) {
        const uint8_t* at = p;
        uint32_t n = u32();
        if (n > INT32_MAX || uint64_t{n} * unit + owed > left()) invalid(at);
        return n;
    }
    // n data bytes and their padding to a word.
    const uint8_t* padded(uint64_t n, const uint8_t* at) {
        uint64_t size = (n + 3) & ~uint64_t{3};
        take_bytes(size, at);
        const uint8_t* bytes = p;
        p += size;
        return bytes;
    }
    // The reference record that follows a record with the reference bit.
    cell reference() {
        const uint8_t* at = p;
        if (u32() != REFERENCE_TYPE) invalid(at);
        return resolve();
    }
    void record(slot s);
    void scalar(slot s, uint32_t type, uint32_t header, const uint8_t* at);
    void series_record(slot s, uint32_t type, uint32_t header, const uint8_t* at);
    void word_record(slot s, uint32_t type, uint32_t header, const uint8_t* at);
    void object_record(slot s, uint32_t header, const uint8_t* at);
    void function_record(slot s, uint32_t header, const uint8_t* at);
    void body_block(slot f, uint32_t which);
    std::vector<uint32_t> context_record(uint32_t kind, bool& values);
};

std::vector<uint32_t> fixed_reader::context_record(uint32_t kind, bool& values) {
    const uint8_t* at = p;
    uint32_t header = u32();
    bool self = header & 1u << 28, on_stack = header & 1u << 29;
    values = header & 1u << 30;
    if ((header & ~CONTEXT_BITS) != TYPE_CONTEXT ||
        !context_flags_fit(kind, header >> 26 & 3, on_stack, self, values))
        invalid(at);
    uint32_t n = count(4);
    std::vector<uint32_t> words;
    words.reserve(n);
    for (uint32_t i = 0; i < n; i++) {
        const uint8_t* sym_at = p;
        words.push_back(symbol(u32(), sym_at));
    }
    return words;
}

void fixed_reader::object_record(slot s, uint32_t header, const uint8_t* at) {
    if (header & REFERENCE_BIT) {
        *s.get() = owner_from_target(*this, reference(), TYPE_OBJECT, at);
        return;
    }
    u32();  // the class id: a fresh class in codec mode
    bool events = header & HANDLERS_BIT;
    int32_t on_change = -1, on_deep = -1;
    if (events) {
        on_change = static_cast<int32_t>(u32());
        on_deep = static_cast<int32_t>(u32());
    }
    const uint8_t* ctx_at = p;
    bool values;
    std::vector<uint32_t> words = context_record(CTX_OBJECT, values);
    node_id vals = open_object(*this, s, words, ctx_at);
    if (values) object_values(*this, vals, static_cast<uint32_t>(words.size()), ctx_at);
    close_object(*this, s, events, on_change, on_deep, at);
}

void fixed_reader::body_block(slot f, uint32_t which) {
    const uint8_t* at = p;
    uint32_t header = u32();
    if ((header & ~(NEW_LINE_BIT | REFERENCE_BIT)) != TYPE_BLOCK) invalid(at);
    u32();  // a head: the function takes the whole block
    if (header & REFERENCE_BIT) {
        const uint8_t* path_at = p;
        share_function_block(*this, f, which, reference(), path_at);
        return;
    }
    const uint8_t* count_at = p;
    uint32_t n = count(RECORD_MIN);
    node_id block = open_function_block(*this, f, which, n, at);
    records_into(*this, block, n, count_at, false);
}

void fixed_reader::function_record(slot s, uint32_t header, const uint8_t* at) {
    if (header & REFERENCE_BIT) {
        *s.get() = owner_from_target(*this, reference(), TYPE_FUNCTION, at);
        return;
    }
    u32();  // spec and body lengths: the blocks' own counts decide
    u32();
    const uint8_t* ctx_at = p;
    bool values;
    std::vector<uint32_t> words = context_record(CTX_FUNCTION, values);
    open_function(*this, s, words, ctx_at);
    body_block(s, 0);
    body_block(s, 1);
    close_function(*this, s, at);
}

void fixed_reader::word_record(slot s, uint32_t type, uint32_t header, const uint8_t* at) {
    const uint8_t* sym_at = p;
    uint32_t symbol_id = symbol(u32(), sym_at);
    if (type == TYPE_ISSUE) {
        build_global_word(s, type, symbol_id);
        return;
    }
    const uint8_t* slot_at = p;
    int32_t index = static_cast<int32_t>(u32());
    if (header & GLOBAL_BIT) {
        if (header & REFERENCE_BIT) invalid(at);
        build_global_word(s, type, symbol_id);
        return;
    }
    node_id ctx;
    if (header & REFERENCE_BIT) {
        const uint8_t* path_at = p;
        cell target = reference();
        ctx = context_carried(&target);
        if (!ctx) invalid(path_at);
    } else {
        const uint8_t* owner_at = p;
        uint32_t owner = u32();
        if ((owner & ~HANDLERS_BIT) == TYPE_OBJECT) object_record(s, owner, owner_at);
        else if (owner == TYPE_FUNCTION) function_record(s, owner, owner_at);
        else invalid(owner_at);
        ctx = s.get()->w1;
    }
    build_bound_word(*this, s, type, symbol_id, ctx, index, slot_at);
}

void fixed_reader::scalar(slot s, uint32_t type, uint32_t header, const uint8_t* at) {
    cell v{type, 0, 0, 0};
    switch (type) {
        case TYPE_DATATYPE:
            v.w1 = u32();
            break;
        case TYPE_LOGIC:
            v.w1 = u32();
            if (v.w1 > 1) invalid(p - 4);
            break;
        case TYPE_UNSET: case TYPE_NONE:
            break;
        case TYPE_CHAR: case TYPE_INTEGER:
            v.w2 = u32();
            break;
        case TYPE_FLOAT: case TYPE_PERCENT: case TYPE_TIME:
            v.w3 = u32();
            v.w2 = u32();
            break;
        case TYPE_PAIR:
            v.w2 = u32();
            v.w3 = u32();
            break;
        case TYPE_POINT2D:
            v.w1 = u32();
            v.w2 = u32();
            break;
        case TYPE_POINT3D: case TYPE_TYPESET: case TYPE_MONEY:
            v.w1 = u32();
            v.w2 = u32();
            v.w3 = u32();
            if (type == TYPE_MONEY && (header & SIGN_BIT)) v.header |= MONEY_SIGN;
            break;
        case TYPE_TUPLE: {
            uint32_t n = header >> 8 & 0xFF;
            if (n < tuple::MIN_COUNT || n > tuple::MAX_COUNT) invalid(at);
            need(12);
            std::memcpy(&v.w1, p, n);  // bytes past the count stay zero, as the runtime keeps them
            p += 12;
            v.header |= n << tuple::COUNT_SHIFT;
            break;
        }
        case TYPE_DATE:
            v.w1 = u32();
            v.w3 = u32();
            v.w2 = u32();
            break;
        default:
            invalid(at);
    }
    check_scalar(*this, v, at);
    *s.get() = v;
}

void fixed_reader::series_record(slot s, uint32_t type, uint32_t header, const uint8_t* at) {
    bool has_head = type != TYPE_MAP && type != TYPE_BITSET;
    uint32_t head = has_head ? u32() : 0;
    if (header & REFERENCE_BIT) {
        *s.get() = series_from_target(*this, reference(), type, head, at);
        return;
    }
    const uint8_t* count_at = p;
    if (any_block_q(type) || type == TYPE_MAP) {
        uint32_t n = count(RECORD_MIN);
        if (type == TYPE_MAP && n % 2) invalid(count_at);
        node_id block = open_block(s, type, head, n);
        records_into(*this, block, n, count_at, type == TYPE_MAP);
        if (type == TYPE_MAP) close_map(s);
        else close_block(*this, s, type, at);
        return;
    }
    uint32_t unit = header >> 8 & 0xFF;
    switch (type) {
        case TYPE_BITSET: {
            uint32_t n = u32();
            build_bitset(s, header & COMPLEMENT_BIT, n, padded(n, count_at));
            return;
        }
        case TYPE_VECTOR: {
            if (unit != 1 && unit != 2 && unit != 4 && unit != 8) invalid(at);
            uint32_t n = u32();
            const uint8_t* kind_at = p;
            uint32_t element = u32();
            if (element > 63) invalid(kind_at);
            const uint8_t* bytes = padded(uint64_t{n} * unit, count_at);
            build_vector(*this, s, head, element << 2 | unit_log(unit), n, bytes, kind_at);
            return;
        }
        case TYPE_IMAGE: {
            uint32_t size = u32();
            uint32_t w = size & 0xFFFF, h = size >> 16;
            build_image(*this, s, head, w, h, padded(uint64_t{w} * h * 4, count_at), at);
            return;
        }
        default: {
            if (type == TYPE_BINARY ? unit != 1 : unit != 1 && unit != 2 && unit != 4) invalid(at);
            uint32_t n = u32();
            build_text(*this, s, type, head, n, unit, padded(uint64_t{n} * unit, count_at), at);
        }
    }
}

void fixed_reader::record(slot s) {
    const uint8_t* at = p;
    deeper(at);
    uint32_t header;
    do {  // zero words are fillers
        at = p;
        header = u32();
    } while (header == 0);
    uint32_t type = header & 0xFF;
    if (type == REFERENCE_TYPE) {
        if (header & ~(0xFF | NEW_LINE_BIT)) invalid(at);
        *s.get() = resolve();
    } else {
        if (type > highest_type || !type_names[type].name || (header & ~allowed_bits(type))) invalid(at);
        switch (type) {
            case TYPE_ROUTINE: case TYPE_TRIPLE: case TYPE_HANDLE: case TYPE_PORT: case TYPE_EVENT: {
                cell t = datatype_of(type);
                fire(access_error::no_codec, &t);
            }
            case TYPE_SYMBOL: case TYPE_CONTEXT: case TYPE_SERIES:
                invalid(at);
            case TYPE_WORD: case TYPE_SET_WORD: case TYPE_LIT_WORD: case TYPE_GET_WORD: case TYPE_REFINEMENT:
            case TYPE_ISSUE:
                word_record(s, type, header, at);
                break;
            case TYPE_OBJECT:
                object_record(s, header, at);
                break;
            case TYPE_FUNCTION:
                function_record(s, header, at);
                break;
            case TYPE_ERROR: {
                const uint8_t* code_at = p;
                error_fields(*this, s, u32(), code_at);
                break;
            }
            case TYPE_NATIVE: case TYPE_ACTION: {
                const uint8_t* index_at = p;
                native_spec(*this, s, type, u32(), index_at);
                break;
            }
            case TYPE_OP:
                op_wrapped(*this, s, at);
                if (op_wrapped_type(s.get()) != (header >> WRAPPED_SHIFT & 0xFF)) invalid(at);
                break;
            default:
                if (series_type_q(type) || type == TYPE_MAP || type == TYPE_BITSET) series_record(s, type, header, at);
                else scalar(s, type, header, at);
        }
    }
    if (header & NEW_LINE_BIT) s.get()->header |= CELL_NEW_LINE;
    depth--;
}

}  // namespace

cell* encode(const cell* value) {
    fixed_writer w;
    w.value(value);
    std::vector<uint8_t> names;
    std::vector<uint32_t> offsets;
    for (uint32_t id : w.symbols) {
        size_t n;
        const uint8_t* name = symbol::name_bytes(id, &n);
        offsets.push_back(static_cast<uint32_t>(names.size()));
        names.insert(names.end(), name, name + n);
        names.resize((names.size() + 8) & ~size_t{7}, 0);  // its NUL, then zeros to 8 bytes
    }
    std::vector<uint8_t> out(MAGIC, MAGIC + 6);
    size_t records = w.out.size() * 4;
    out.reserve(HEADER_SIZE + 8 + offsets.size() * 4 + names.size() + records);
    out.push_back(VERSION);
    out.push_back(w.symbols.empty() ? 0 : FLAG_SYMBOLS);
    put_u32(out, 1);
    put_u32(out, static_cast<uint32_t>(records));
    if (!w.symbols.empty()) {
        put_u32(out, static_cast<uint32_t>(offsets.size()));
        put_u32(out, static_cast<uint32_t>(names.size()));
        for (uint32_t o : offsets) put_u32(out, o);
        out.insert(out.end(), names.begin(), names.end());
    }
    const uint8_t* words = reinterpret_cast<const uint8_t*>(w.out.data());
    out.insert(out.end(), words, words + records);
    return binary::load(out.data(), out.size());
}

void decode(const reader_base& header, node_id root, bool symbols, const uint8_t* data, size_t size) {
    fixed_reader r;
    static_cast<reader_base&>(r) = header;
    r.field = read_word;
    if (r.left() < 8) {
        cell* input = binary::load(data, size);
        fire(script_error::invalid_data, input);
    }
    r.u32();  // count: the records area says how many there are
    uint32_t records_size = r.u32();
    if (symbols) r.symbol_table();
    r.records_area(records_size, root);
    while (r.p < r.end) r.record(reader_base::append_slot(root));
    r.check_heads();
}

}  // namespace kel::kelbin::fixed
