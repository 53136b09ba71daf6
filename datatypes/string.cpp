// Character buffers: reading, writing with widening, concatenation, loading.
#include "datatypes/string.h"

#include <algorithm>
#include <vector>

#include "datatypes/bitset.h"
#include "datatypes/dispatch.h"
#include "datatypes/number_scan.h"
#include "datatypes/series.h"
#include "datatypes/text_compare.h"
#include "runtime/case_folding.h"
#include "runtime/cycles.h"
#include "runtime/error_catalog.h"
#include "runtime/ownership.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace kel {

namespace {

constexpr char hex_digits[] = "0123456789ABCDEF";

// Room for `bytes` from the buffer's offset; grows to twice the need so that repeated
// appends stay amortised linear.
series_buffer* ensure_room(series_buffer* b, size_t bytes) {
    size_t start = static_cast<size_t>(b->offset - b->data());
    if (start + bytes > b->size) b = expand_series(b, 2 * (start + bytes));
    return b;
}

// The widest code point each unit holds, and the one an append keeps in a unit-1 buffer.
inline uint32_t unit_limit(uint32_t unit) { return unit == 1 ? 0xFF : unit == 2 ? 0xFFFF : 0x10FFFF; }
inline uint32_t unit_for(uint32_t cp) { return cp <= 0xFF ? 1 : cp <= 0xFFFF ? 2 : 4; }

// The buffer wide enough for cp under the writers' thresholds.
inline series_buffer* fit(series_buffer* b, uint32_t cp, uint32_t limit) {
    if (cp <= limit) return b;
    return string::widen_to(b, cp <= 0xFFFF ? 2 : 4);
}

}  // namespace

const char* byte_to_hex(uint8_t byte) {
    static char text[3];
    text[0] = hex_digits[byte >> 4];
    text[1] = hex_digits[byte & 15];
    text[2] = 0;
    return text;
}

const char* int_to_hex(int32_t value, bool trim) {
    static char text[9];
    uint32_t v = static_cast<uint32_t>(value);
    for (int i = 7; i >= 0; i--, v >>= 4) text[i] = hex_digits[v & 15];
    text[8] = 0;
    if (!trim) return text;
    const char* p = text;
    while (*p == '0') p++;
    return *p ? p : "00";
}

void series_set_part_end(series_buffer* buffer, size_t n) {
    size_t bytes = n * buffer->unit();
    if (static_cast<size_t>(buffer->offset - buffer->data()) + bytes <= buffer->size &&
        buffer->offset + bytes < buffer->tail)
        buffer->tail = buffer->offset + bytes;
}

void swap_memory_blocks(uint8_t* start, size_t a, size_t b) {
    if (a == 0 || b == 0) return;
    // The shorter range waits in scratch memory while the longer one slides over.
    if (b <= a) {
        std::vector<uint8_t> scratch(start + a, start + a + b);
        std::memmove(start + b, start, a);
        std::memcpy(start, scratch.data(), b);
    } else {
        std::vector<uint8_t> scratch(start, start + a);
        std::memmove(start, start + a, b);
        std::memcpy(start + b, scratch.data(), a);
    }
}

bool char_in_bitset_q(const cell* value, const cell* bitset) {
    uint32_t c = string::char_at(value, series_head(value));
    return bitset::bit_q(bitset, c);
}

cell* load_string(const uint8_t* bytes, size_t length, cell* out, int32_t encoding) {
    if (encoding != 0 && encoding != -1) {
        cell code{TYPE_INTEGER, 0, static_cast<uint32_t>(encoding), 0};
        fire(access_error::no_codec, &code);
    }
    if (!out) out = stack::push_cell();
    node_id node = encoding == 0
                       ? load_utf8_new(byte_source::memory(bytes), length)
                       : load_utf16le(byte_source::memory(bytes), length / 2, nullptr, true);
    set_series_value(out, TYPE_STRING, node, 0);
    return out;
}

cell* load_string_push(const uint8_t* bytes, size_t length, int32_t encoding) {
    return load_string(bytes, length, nullptr, encoding);
}

cell* load_string_tail(const uint8_t* bytes, size_t length, const cell* block, int32_t encoding) {
    // Loaded on the stack first: the block's tail cell may move while the text loads.
    load_string(bytes, length, nullptr, encoding);
    cell* c = alloc_tail(block);
    *c = *stack::top_cell();
    stack::pop(1);
    return c;
}

namespace string {

void bad_unit() { runtime_error_exit(RUNTIME_ASSERTION, reinterpret_cast<uintptr_t>(__builtin_return_address(0))); }

uint8_t* ks_head(cell* value) {
    series_buffer* b = buffer_of(value);
    uint32_t n = static_cast<uint32_t>(b->used_bytes() / b->unit());
    if (value->w1 > n) value->w1 = n;
    return b->offset + size_t{value->w1} * b->unit();
}

bool advance(cell* value, int32_t n) {
    int64_t h = int64_t{value->w1} + n;
    int64_t len = ks_buffer_length(value);
    if (h >= 0 && h <= len) value->w1 = static_cast<uint32_t>(h);
    return value->w1 >= len;
}

cell* ks_reset(cell* value) {
    series_buffer* b = buffer_of(value);
    b->flags = (b->flags & ~SERIES_UNIT_MASK) | 1;
    b->tail = b->offset;
    value->w1 = 0;
    return value;
}

int32_t find_char(const cell* value, uint32_t cp) {
    series_buffer* b = buffer_of(value);
    uint32_t unit = b->unit();
    uint32_t len = ks_length(value);
    const uint8_t* p = b->offset + size_t{series_head(value)} * unit;
    for (uint32_t i = 0; i < len; i++)
        if (get_char(p + size_t{i} * unit, unit) == cp) return static_cast<int32_t>(i);
    return -1;
}

bool has_char_q(const cell* value, uint32_t cp, int32_t step, bool case_sensitive) {
    series_buffer* b = buffer_of(value);
    uint32_t unit = b->unit();
    uint32_t len = ks_length(value);
    if (step < 1) step = 1;
    if (!case_sensitive) cp = to_upper_char(cp);
    const uint8_t* p = b->offset + size_t{series_head(value)} * unit;
    for (uint32_t i = 0; i < len; i += static_cast<uint32_t>(step)) {
        uint32_t c = get_char(p + size_t{i} * unit, unit);
        if ((case_sensitive ? c : to_upper_char(c)) == cp) return true;
    }
    return false;
}

bool starts_with_cstr_q(const cell* value, const char* text) {
    size_t n = std::strlen(text);
    if (ks_length(value) < n) return false;
    uint32_t h = series_head(value);
    for (size_t i = 0; i < n; i++)
        if (char_at(value, h + static_cast<uint32_t>(i)) != static_cast<uint8_t>(text[i])) return false;
    return true;
}

bool tag_delimited_q(const cell* value, const cell* tag) {
    uint32_t n = ks_length(tag);
    if (ks_length(value) < n + 2) return false;
    uint32_t h = series_head(value);
    return char_at(value, h) == '<' && char_at(value, h + n + 1) == '>';
}

cell* make_at(cell* value, uint32_t capacity) { return make_at_unit(value, capacity ? capacity : 1, 1); }

cell* make_at_unit(cell* value, uint32_t capacity, uint32_t unit) {
    node_id node = alloc_units(capacity, unit);
    set_series_value(value, TYPE_STRING, node, 0);
    return value;
}

cell* push(const cell* value) { return stack::push(value); }

series_buffer* widen_to(series_buffer* buffer, uint32_t unit) {
    uint32_t from = buffer->unit();
    if (from >= unit) return buffer;
    if (from == 1) return unit == 2 ? widen_1_to_2(buffer) : widen_1_to_4(buffer);
    if (from == 2) return widen_2_to_4(buffer);
    bad_unit();
}

series_buffer* append_char(series_buffer* buffer, uint32_t cp) {
    uint32_t unit = buffer->unit();
    buffer = fit(buffer, cp, unit == 1 ? 0x7F : unit_limit(unit));
    unit = buffer->unit();
    node_id node = buffer->node;
    put_char(alloc_tail_bytes(buffer, unit), unit, cp);
    return node_buffer(node);
}

series_buffer* insert_char(series_buffer* buffer, size_t index, uint32_t cp) {
    buffer = fit(buffer, cp, unit_limit(buffer->unit()));
    uint32_t unit = buffer->unit();
    buffer = ensure_room(buffer, buffer->used_bytes() + unit);
    uint8_t* at = buffer->offset + index * unit;
    std::memmove(at + unit, at, static_cast<size_t>(buffer->tail - at));
    put_char(at, unit, cp);
    buffer->tail += unit;
    return buffer;
}

series_buffer* overwrite_char(series_buffer* buffer, size_t index, uint32_t cp) {
    buffer = fit(buffer, cp, unit_limit(buffer->unit()));
    uint32_t unit = buffer->unit();
    buffer = ensure_room(buffer, (index + 1) * unit);
    uint8_t* at = buffer->offset + index * unit;
    put_char(at, unit, cp);
    if (at >= buffer->tail) buffer->tail = at + unit;
    return buffer;
}

series_buffer* poke_char(series_buffer* buffer, uint8_t* address, uint32_t cp) {
    size_t index = static_cast<size_t>(address - buffer->offset) / buffer->unit();
    buffer = fit(buffer, cp, unit_limit(buffer->unit()));
    put_char(buffer->offset + index * buffer->unit(), buffer->unit(), cp);
    return buffer;
}

void remove_chars(cell* value, size_t index, size_t n) {
    series_buffer* b = buffer_of(value);
    uint32_t unit = b->unit();
    uint8_t* at = b->offset + index * unit;
    if (at >= b->tail) return;
    size_t bytes = std::min(n * unit, static_cast<size_t>(b->tail - at));
    std::memmove(at, at + bytes, static_cast<size_t>(b->tail - at) - bytes);
    b->tail -= bytes;
}

void move_chars(cell* source, cell* target, size_t n) {
    // As inserting the characters one by one would, but widening and making room once.
    uint32_t from = series_head(source);
    auto moved = [&](size_t i) { return char_at(source, from + static_cast<uint32_t>(i)); };
    ks_head(target);
    uint32_t widest = 0;
    for (size_t i = 0; i < n; i++) widest = std::max(widest, moved(i));
    series_buffer* tb = fit(buffer_of(target), widest, unit_limit(buffer_of(target)->unit()));
    uint32_t unit = tb->unit();
    tb = ensure_room(tb, tb->used_bytes() + n * unit);
    uint8_t* at = tb->offset + size_t{series_head(target)} * unit;
    std::memmove(at + n * unit, at, static_cast<size_t>(tb->tail - at));
    tb->tail += n * unit;
    for (size_t i = 0; i < n; i++) put_char(at + i * unit, unit, moved(i));
    remove_chars(source, from, n);
}

namespace {

// The whole of a text as wide as the target, at its tail: one copy. False when widths differ.
inline bool append_same_width(cell* target, const cell* source) {
    series_buffer* tb = buffer_of(target);
    uint32_t unit = tb->unit();
    if (buffer_of(source)->unit() != unit) return false;
    size_t bytes = size_t{ks_length(source)} * unit;
    tb = ensure_room(tb, tb->used_bytes() + bytes);
    // Read after the room is made: the source may be the target's own buffer.
    std::memcpy(tb->tail, buffer_of(source)->offset + size_t{series_head(source)} * unit, bytes);
    tb->tail += bytes;
    return true;
}

}  // namespace

void concatenate(cell* target, cell* source, int32_t limit, int32_t position, bool keep_source,
                 int mode) {
    if (mode == CONCAT_APPEND && limit < 0 && append_same_width(target, source)) return;
    series_buffer* tb = buffer_of(target);
    if (tb->unit() < buffer_of(source)->unit()) tb = widen_to(tb, buffer_of(source)->unit());
    if (!keep_source && buffer_of(source)->unit() < tb->unit()) widen_to(buffer_of(source), tb->unit());
    size_t count = ks_length(source);
    if (limit >= 0 && static_cast<size_t>(limit) < count) count = static_cast<size_t>(limit);
    if (count == 0) return;

    uint32_t tu = buffer_of(target)->unit();
    tb = ensure_room(buffer_of(target), buffer_of(target)->used_bytes() + count * tu);
    series_buffer* sb = buffer_of(source);
    uint32_t su = sb->unit();
    const uint8_t* from = sb->offset + size_t{series_head(source)} * su;
    size_t old_used = tb->used_bytes();
    size_t pos = mode == CONCAT_APPEND ? old_used / tu
                                       : std::min<size_t>(size_t{series_head(target)} + position,
                                                          old_used / tu);
    uint8_t* at = tb->offset + pos * tu;
    // An insert into the buffer it copies from would shift the source under the copy.
    std::vector<uint8_t> held;
    if (mode == CONCAT_INSERT && sb == tb) {
        held.assign(from, from + count * su);
        from = held.data();
    }
    if (mode == CONCAT_INSERT) std::memmove(at + count * tu, at, old_used - pos * tu);
    if (su == tu) {
        std::memmove(at, from, count * tu);
    } else {
        for (size_t i = 0; i < count; i++) put_char(at + i * tu, tu, get_char(from + i * su, su));
    }
    uint8_t* end = at + count * tu;
    if (mode == CONCAT_INSERT)
        tb->tail = tb->offset + old_used + count * tu;
    else
        tb->tail = std::max(end, tb->offset + old_used);
}

void concat_bytes(cell* value, const char* bytes, size_t n) {
    series_buffer* b = buffer_of(value);
    if (b->unit() == 1) {
        // ASCII into a one-byte buffer needs no widening: one copy.
        size_t ascii = 0;
        while (ascii < n && static_cast<uint8_t>(bytes[ascii]) < 0x80) ascii++;
        if (ascii == n) {
            if (n) std::memcpy(alloc_tail_bytes(b, n), bytes, n);
            return;
        }
    }
    for (size_t i = 0; i < n; i++) b = append_char(b, static_cast<uint8_t>(bytes[i]));
}

void concat_cstr(cell* value, const char* text) { concat_bytes(value, text, std::strlen(text)); }

std::string ascii_bytes(const cell* value) {
    series_buffer* b = buffer_of(value);
    uint32_t unit = b->unit();
    const uint8_t* chars = b->offset + size_t{series_head(value)} * unit;
    std::string bytes(ks_length(value), '\0');
    for (size_t i = 0; i < bytes.size(); i++) {
        uint32_t cp = 0;
        std::memcpy(&cp, chars + i * unit, unit);
        bytes[i] = cp < 0x80 ? static_cast<char>(cp) : '\0';
    }
    return bytes;
}

int32_t form_text(cell* value, const char* text, int32_t part) {
    size_t n = std::strlen(text);
    concat_bytes(value, text, n);
    return part - static_cast<int32_t>(n);
}

bool to_float(const uint8_t* address, uint32_t length, uint32_t unit, double& out) {
    int32_t error = 0;
    out = scan_float(address, length, unit, error);
    return error == 0;
}

}  // namespace string
}  // namespace kel

// --- The string! datatype ----------------------------------------------------------------

namespace kel::string {

namespace {

constexpr char control_escapes[] = "@ABCDEFGH-/KLMNOPQRSTUVWXYZ[\\]^_";

series_buffer* append_ascii(series_buffer* b, const char* text) {
    while (*text) b = append_char(b, static_cast<uint8_t>(*text++));
    return b;
}

// The string's length from its head, with a head past the tail pulled back to it.
uint32_t clamped_length(cell* value) {
    ks_head(value);
    return ks_length(value);
}

// Cuts the tail back to `chars` characters from the offset when it lies beyond.
void cut_to(cell* value, size_t chars) { series_set_part_end(buffer_of(value), chars); }

// Forms a copy of the value (which may live in a buffer that moves) at the buffer's tail.
void form_copy(const cell* value, cell* buffer) {
    cell* held = stack::push(value);
    form_dispatch(held, buffer, nullptr, 0);
    stack::pop(1);
}

// The decimal text of n (at most 11 characters) written back from `end`, two digits a
// step; answers its length.
size_t decimal_digits(int32_t n, char* end) {
    static constexpr char pairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    char* p = end;
    uint32_t m = n < 0 ? 0u - static_cast<uint32_t>(n) : static_cast<uint32_t>(n);
    while (m >= 100) {
        uint32_t r = m % 100;
        m /= 100;
        p -= 2;
        std::memcpy(p, pairs + r * 2, 2);
    }
    if (m >= 10) {
        p -= 2;
        std::memcpy(p, pairs + m * 2, 2);
    } else {
        *--p = static_cast<char>('0' + m);
    }
    if (n < 0) *--p = '-';
    return static_cast<size_t>(end - p);
}

// Adds the value's characters at the series' tail, as append, insert and change add them,
// and answers how many were added.
size_t add_at_tail(cell* series, cell* value, int32_t part, bool only) {
    size_t before = ks_buffer_length(series);
    uint32_t type = TYPE_OF(value);
    if (type == TYPE_CHAR) {
        if (part != 0) append_char(buffer_of(series), value->w2);
    } else if (type == TYPE_INTEGER) {
        // integer! forms without allocating: no need to hold the value across the call.
        char text[12];
        size_t n = decimal_digits(int_of(value), text + sizeof text);
        concat_bytes(series, text + sizeof text - n, n);
        if (only && part >= 0) cut_to(series, before + static_cast<size_t>(part));
    } else if (type == TYPE_TAG) {
        append_char(buffer_of(series), '<');
        concatenate(series, value, -1, 0, true, CONCAT_APPEND);
        append_char(buffer_of(series), '>');
        if (part >= 0) cut_to(series, before + static_cast<size_t>(part));
    } else if (any_string_q(type)) {
        concatenate(series, value, part, 0, true, CONCAT_APPEND);
    } else if (type == TYPE_BLOCK || type == TYPE_PAREN || type == TYPE_HASH) {
        uint32_t n = static_cast<uint32_t>(series::length(value));
        if (!only && part >= 0) n = std::min(n, static_cast<uint32_t>(part));
        for (uint32_t i = 0; i < n; i++) {
            // Re-read each time: forming may move the block's buffer.
            cell item = buffer_of(value)->cells()[series_head(value) + i];
            // A string forms as its characters: they go in with no form dispatch.
            if (TYPE_OF(&item) == TYPE_STRING)
                concatenate(series, &item, -1, 0, true, CONCAT_APPEND);
            else
                form_copy(&item, series);
        }
        if (only && part >= 0) cut_to(series, before + static_cast<size_t>(part));
    } else {
        form_copy(value, series);
        if (only && part >= 0) cut_to(series, before + static_cast<size_t>(part));
    }
    return ks_buffer_length(series) - before;
}

// An integer appended to a one-byte text that no one owns: its digits go straight to the tail.
bool append_digits_q(cell* series, const cell* value) {
    series_buffer* b = buffer_of(series);
    if (b->unit() != 1 || (b->flags & SERIES_OWNED)) return false;
    // Given room, twelve bytes go in one fixed move: the digits, then bytes past the tail
    // that no one reads.
    char text[24];
    size_t n = decimal_digits(int_of(value), text + 12);
    if (b->data_end() - b->tail >= 12) {
        std::memcpy(b->tail, text + 12 - n, 12);
        b->tail += n;
    } else {
        std::memcpy(alloc_tail_bytes(b, n), text + 12 - n, n);
    }
    return true;
}

// Repeats the count characters before the tail until they stand dup times.
void repeat_tail(cell* series, size_t count, int32_t dup) {
    if (dup < 2 || count == 0) return;
    series_buffer* b = buffer_of(series);
    uint32_t unit = b->unit();
    size_t extra = count * static_cast<size_t>(dup - 1) * unit;
    if (extra / static_cast<size_t>(dup - 1) / unit != count || extra > INT32_MAX)
        fire(internal_error::no_memory);
    b = ensure_room(b, b->used_bytes() + extra);
    fill_repeat(b->tail - count * unit, count * unit, static_cast<size_t>(dup));
    b->tail += extra;
}

// The characters a change replaces by default, or an append announces: 0 when unknown.
int32_t announced_count(const cell* value) {
    uint32_t type = TYPE_OF(value);
    if (type == TYPE_CHAR) return 1;
    if (type == TYPE_TAG) return static_cast<int32_t>(ks_length(value)) + 2;
    if (any_string_q(type)) return static_cast<int32_t>(ks_length(value));
    return 0;
}

bool whitespace_q(uint32_t c) {
    if (c >= 1 && c <= 32) return true;
    switch (c) {
        case 0x85: case 0xA0: case 0x1680: case 0x180E: case 0x2028: case 0x2029: case 0x202F:
        case 0x205F: case 0x3000:
            return true;
        default:
            return c >= 0x2000 && c <= 0x200A;
    }
}

bool blank_q(uint32_t c) { return c == ' ' || c == '\t' || (c > 32 && whitespace_q(c)); }

// The characters from the head as code points, and writing them back in place.
std::vector<uint32_t> read_chars(cell* value) {
    uint32_t n = clamped_length(value);
    std::vector<uint32_t> chars(n);
    series_buffer* b = buffer_of(value);
    uint32_t unit = b->unit();
    const uint8_t* p = b->offset + size_t{series_head(value)} * unit;
    for (uint32_t i = 0; i < n; i++) chars[i] = get_char(p + size_t{i} * unit, unit);
    return chars;
}

// Trimming only removes, so the characters always fit the buffer they came from.
void write_chars(cell* value, const std::vector<uint32_t>& chars) {
    series_buffer* b = buffer_of(value);
    uint32_t unit = b->unit();
    uint8_t* p = b->offset + size_t{series_head(value)} * unit;
    for (size_t i = 0; i < chars.size(); i++) put_char(p + i * unit, unit, chars[i]);
    b->tail = p + chars.size() * unit;
}

std::vector<uint32_t> trim_set(const cell* with) {
    if (!with) return {'\t', '\n', '\r', ' '};
    uint32_t type = TYPE_OF(with);
    if (type == TYPE_CHAR || type == TYPE_INTEGER) return {with->w2};
    if (!any_string_q(type) && type != TYPE_BINARY) fire(script_error::invalid_arg, with);
    std::vector<uint32_t> set;
    uint32_t n = ks_length(with);
    for (uint32_t i = 0; i < n; i++) set.push_back(char_at(with, series_head(with) + i));
    return set;
}

void trim_lines(std::vector<uint32_t>& chars) {
    size_t out = 0;
    bool pending = false;
    for (uint32_t c : chars) {
        if (whitespace_q(c)) {
            pending = out > 0;
            continue;
        }
        if (pending) chars[out++] = ' ';
        pending = false;
        chars[out++] = c;
    }
    chars.resize(out);
}

void trim_ends(std::vector<uint32_t>& chars, bool head, bool tail) {
    size_t first = 0, last = chars.size();
    if (head)
        while (first < last && whitespace_q(chars[first])) first++;
    if (tail)
        while (last > first && whitespace_q(chars[last - 1])) last--;
    chars.erase(chars.begin() + static_cast<ptrdiff_t>(last), chars.end());
    chars.erase(chars.begin(), chars.begin() + static_cast<ptrdiff_t>(first));
}

// Plain trim: both ends, then the blanks around every line feed inside.
void trim_plain(std::vector<uint32_t>& chars) {
    size_t last = chars.size();
    bool line_end = false;
    while (last > 0 && whitespace_q(chars[last - 1])) line_end |= chars[--last] == '\n';
    chars.resize(last);
    trim_ends(chars, true, false);
    size_t out = 0;
    for (size_t i = 0; i < chars.size(); i++) {
        uint32_t c = chars[i];
        if (c == '\n') {
            while (out > 0 && blank_q(chars[out - 1])) out--;
            chars[out++] = c;
            while (i + 1 < chars.size() && blank_q(chars[i + 1])) i++;
            continue;
        }
        chars[out++] = c;
    }
    chars.resize(out);
    if (line_end) chars.push_back('\n');
}

}  // namespace

series_buffer* mold_char(series_buffer* b, uint32_t cp, bool all, bool in_braces) {
    if (cp == 0x1E || (cp >= 0x80 && cp <= 0x9F) || (cp > 0x7F && all)) {
        b = append_ascii(b, "^(");
        b = append_ascii(b, int_to_hex(static_cast<int32_t>(cp), true));
        return append_char(b, ')');
    }
    if (cp < 0x20) {
        b = append_char(b, '^');
        return append_char(b, static_cast<uint8_t>(control_escapes[cp]));
    }
    if ((cp == '"' && !in_braces) || cp == '^') b = append_char(b, '^');
    if (cp == 0x7F) return append_ascii(b, "^~");
    return append_char(b, cp);
}

void init() {
    const action_entry I = INHERIT;
    register_datatype(TYPE_STRING, TYPE_SERIES, "string!", {
        entry<ACT_MAKE>(make), I, I, entry<ACT_TO>(to), entry<ACT_FORM>(form),
        entry<ACT_MOLD>(mold), entry<ACT_EVAL_PATH>(eval_path), 0, entry<ACT_COMPARE>(compare), 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, entry<ACT_APPEND>(insert), I, I, entry<ACT_CHANGE>(change), I, I,
        entry<ACT_FIND>(find), I, I, I, entry<ACT_INSERT>(insert), I, I, I, I, I,
        0, I, I, entry<ACT_SELECT>(select), entry<ACT_SORT>(sort), I, entry<ACT_SWAP>(swap), I, I,
        entry<ACT_TAKE>(take),
        entry<ACT_TRIM>(trim), 0, 0, 0, I, 0, 0, 0, 0, 0, 0, 0,
    });
}

const cell* make(cell* proto, cell* spec, uint32_t type) {
    uint32_t st = TYPE_OF(spec);
    if (st != TYPE_INTEGER && st != TYPE_FLOAT) return to(proto, spec, type);
    int64_t size = st == TYPE_INTEGER ? static_cast<int32_t>(spec->w2)
                                      : static_cast<int64_t>(cell_float(spec));
    if (size < 0 || size > INT32_MAX || (st == TYPE_FLOAT && cell_float(spec) != cell_float(spec)))
        fire(script_error::out_of_range, spec);
    make_at(proto, static_cast<uint32_t>(size));
    set_type(proto, type);
    return proto;
}

const cell* to(cell* proto, cell* spec, uint32_t type) {
    uint32_t st = TYPE_OF(spec);
    if (st == TYPE_NONE) raise_bad_to_arg(TYPE_STRING, spec);
    if (any_string_q(st)) {
        series::copy_range(spec, proto, static_cast<int32_t>(series_head(spec)),
                           static_cast<int32_t>(clamped_length(spec)));
    } else if (st == TYPE_BINARY) {
        uint32_t h = std::min(series_head(spec), ks_buffer_length(spec));
        node_id node = load_utf8_new(byte_source::series(series_node(spec), h), ks_buffer_length(spec) - h);
        set_series_value(proto, TYPE_STRING, node, 0);
    } else {
        make_at(proto, 16);
        if (st == TYPE_BLOCK || st == TYPE_PAREN || st == TYPE_HASH)
            add_at_tail(proto, spec, -1, false);
        else if (st == TYPE_REFINEMENT && type != TYPE_STRING)
            mold_dispatch(spec, proto, false, false, false, nullptr, 0, 0);
        else
            form_dispatch(spec, proto, nullptr, 0);
    }
    proto->header = type;
    proto->w3 = 0;
    return proto;
}

int32_t form(cell* value, cell* buffer, cell* arg, int32_t part) {
    int32_t limit = refinement_q(arg) ? std::max(part, 0) : -1;
    uint32_t n = clamped_length(value);
    if (limit >= 0) n = std::min(n, static_cast<uint32_t>(limit));
    concatenate(buffer, value, limit, 0, true, CONCAT_APPEND);
    return part - static_cast<int32_t>(n);
}

namespace {

int32_t mold_text(cell* value, cell* buffer, bool all, cell* arg, int32_t part, bool braces_allowed) {
    uint32_t len = clamped_length(value);
    uint32_t end = refinement_q(arg) ? std::min(len, static_cast<uint32_t>(std::max(part, 0))) : len;
    uint32_t h = series_head(value);
    uint32_t quotes = 0, lines = 0, depth = 0, opened = 0;
    for (uint32_t i = 0; i < end; i++) {
        uint32_t c = char_at(value, h + i);
        quotes += c == '"';
        lines += c == '\n';
        // The brace that last opened from depth 0 is the first one left unmatched.
        if (c == '{' && depth++ == 0) opened = i;
        if (c == '}' && depth > 0) depth--;
    }
    bool braces = braces_allowed && (lines >= 3 || quotes > 0 || len >= 50);
    uint32_t unbalanced = braces && depth > 0 ? opened : end;
    series_buffer* out = append_char(buffer_of(buffer), braces ? '{' : '"');
    depth = 0;
    for (uint32_t i = 0; i < end; i++) {
        uint32_t c = char_at(value, h + i);
        if (braces && c == '{') {
            if (i < unbalanced) {
                depth++;
                out = append_char(out, c);
            } else {
                out = append_ascii(out, "^{");
            }
        } else if (braces && c == '}') {
            if (depth == 0) {
                out = append_ascii(out, "^}");
            } else {
                depth--;
                out = append_char(out, c);
            }
        } else {
            out = mold_char(out, c, all, braces);
        }
    }
    append_char(out, braces ? '}' : '"');
    return part - static_cast<int32_t>(end) - 2;
}

}  // namespace

int32_t mold(cell* value, cell* buffer, bool, bool all, bool, cell* arg, int32_t part, int32_t) {
    return mold_text(value, buffer, all, arg, part, true);
}

int32_t mold_quoted(cell* value, cell* buffer, bool all, cell* arg, int32_t part) {
    return mold_text(value, buffer, all, arg, part, false);
}

const cell* eval_path(cell* parent, cell* element, cell* value, cell* path, cell*, cell*, int32_t,
                      bool case_q, bool, bool, bool) {
    if (TYPE_OF(element) == TYPE_INTEGER) {
        if (!value) return series::pick(parent, int_of(element), element);
        return series::poke(parent, int_of(element), value, element);
    }
    if (TYPE_OF(element) == TYPE_WORD) fire(script_error::invalid_path, path, element);
    if (!value)
        return select(parent, element, nullptr, false, case_q, false, false, nullptr, nullptr,
                      false, false);
    const cell* found = find(parent, element, nullptr, false, case_q, false, false, nullptr, nullptr,
                             false, false, false, false);
    if (TYPE_OF(found) == TYPE_NONE) fire(script_error::bad_path_set, path, element);
    cell* at = stack::push(found);
    cell index = integer_value(2);
    series::poke(at, 2, value, &index);
    stack::pop(1);
    return value;
}

namespace {

// Out of line, so that the quick append below pays for none of its frame.
[[gnu::noinline]] const cell* insert_any(cell* series, cell* value, int32_t part, bool only, int32_t dup,
                                         bool at_tail) {
    uint32_t h = series_head(series);
    uint32_t before = ks_buffer_length(series);
    bool appending = at_tail;
    at_tail = at_tail || h >= before;
    bool owned = ownership::check(series, at_tail ? owner_action::append : owner_action::insert,
                                  static_cast<int32_t>(at_tail ? before : h), announced_count(value));
    before = ks_buffer_length(series);
    h = std::min(series_head(series), before);
    size_t added = add_at_tail(series, value, part, only);
    repeat_tail(series, added, dup);
    size_t total = added * static_cast<size_t>(std::max(dup, 1));
    series_buffer* b = buffer_of(series);
    if (!at_tail && total > 0) {
        uint32_t unit = b->unit();
        swap_memory_blocks(b->offset + size_t{h} * unit, size_t{before - h} * unit, total * unit);
    }
    uint32_t at = at_tail ? before : h;
    if (owned)
        ownership::check(series, at_tail ? owner_action::appended : owner_action::inserted,
                         static_cast<int32_t>(at), static_cast<int32_t>(total));
    // append answers the head, insert at the tail the tail, insert elsewhere just past the text.
    uint32_t now = ks_buffer_length(series);
    series->w1 = appending ? 0 : at_tail ? now : static_cast<uint32_t>(std::min<size_t>(h + total, now));
    return series;
}

}  // namespace

const cell* insert(cell* series, cell* value, int32_t part, bool only, int32_t dup, bool at_tail) {
    if (at_tail && part < 0 && dup == 1 && TYPE_OF(value) == TYPE_INTEGER && append_digits_q(series, value)) {
        series->w1 = 0;
        return series;
    }
    return insert_any(series, value, part, only, dup, at_tail);
}

const cell* change(cell* series, cell* value, int32_t part, bool only, int32_t dup) {
    uint32_t len = clamped_length(series);
    if (len == 0) {
        insert(series, value, -1, only, dup, false);
        series->w1 = ks_buffer_length(series);
        return series;
    }
    bool owned = ownership::check(series, owner_action::change, static_cast<int32_t>(series_head(series)),
                                  announced_count(value));
    len = clamped_length(series);
    uint32_t h = series_head(series);
    uint32_t before = ks_buffer_length(series);
    size_t added = add_at_tail(series, value, -1, only);
    repeat_tail(series, added, dup);
    size_t total = added * static_cast<size_t>(std::max(dup, 1));
    size_t replaced = std::min<size_t>(part >= 0 ? static_cast<size_t>(part) : total, len);
    series_buffer* b = buffer_of(series);
    uint32_t unit = b->unit();
    swap_memory_blocks(b->offset + (h + replaced) * unit, (before - h - replaced) * unit, total * unit);
    remove_chars(series, h, replaced);
    if (owned) ownership::check(series, owner_action::changed, static_cast<int32_t>(h), static_cast<int32_t>(total));
    series->w1 = static_cast<uint32_t>(std::min<size_t>(h + total, ks_buffer_length(series)));
    return series;
}

const cell* swap(cell* series, cell* other) {
    uint32_t ot = TYPE_OF(other);
    if (!any_string_q(ot) && ot != TYPE_BINARY) fire(script_error::invalid_arg, other);
    if (ks_tail_q(series) || ks_tail_q(other)) return series;
    uint32_t a = char_at(series, series_head(series));
    uint32_t b = char_at(other, series_head(other));
    // A binary holds bytes only and never widens: a wider character cannot go there.
    if (ot == TYPE_BINARY && a > 0xFF) fire(script_error::invalid_arg, series);
    if (TYPE_OF(series) == TYPE_BINARY && b > 0xFF) fire(script_error::invalid_arg, other);
    bool owned1 = ownership::check(series, owner_action::swap, static_cast<int32_t>(series_head(series)), 1);
    bool owned2 = ownership::check(other, owner_action::swap, static_cast<int32_t>(series_head(other)), 1);
    if (ks_tail_q(series) || ks_tail_q(other)) return series;
    overwrite_char(buffer_of(series), series_head(series), b);
    overwrite_char(buffer_of(other), series_head(other), a);
    if (owned1) ownership::check(series, owner_action::swaped, static_cast<int32_t>(series_head(series)), 1);
    if (owned2) ownership::check(other, owner_action::swaped, static_cast<int32_t>(series_head(other)), 1);
    return series;
}

const cell* take(cell* series, cell* part, bool deep, bool last) {
    const cell* taken = series::take(series, part, deep, last);
    if (refinement_q(part) || TYPE_OF(taken) == TYPE_NONE) return taken;
    cell* result = const_cast<cell*>(taken);
    uint32_t type = TYPE_OF(series) == TYPE_BINARY ? uint32_t{TYPE_INTEGER} : uint32_t{TYPE_CHAR};
    *result = cell{type, 0, char_at(result, 0), 0};
    return result;
}

const cell* trim(cell* series, bool head, bool tail, bool auto_q, bool lines, bool all, cell* with) {
    if (auto_q) fire(internal_error::not_done);
    bool with_q = refinement_q(with);
    std::vector<uint32_t> set;
    if (all || with_q) set = trim_set(with_q ? with : nullptr);
    bool owned = ownership::check(series, owner_action::trim, static_cast<int32_t>(series_head(series)),
                                  static_cast<int32_t>(clamped_length(series)));
    std::vector<uint32_t> chars = read_chars(series);
    if (all || with_q) {
        std::erase_if(chars, [&](uint32_t c) { return std::find(set.begin(), set.end(), c) != set.end(); });
    } else if (lines) {
        trim_lines(chars);
    } else if (head || tail) {
        trim_ends(chars, head, tail);
    } else {
        trim_plain(chars);
    }
    write_chars(series, chars);
    if (owned)
        ownership::check(series, owner_action::trimmed, static_cast<int32_t>(series_head(series)),
                         static_cast<int32_t>(chars.size()));
    return series;
}

}  // namespace kel::string

namespace kel {

bool cycles_detect_q(const cell* value, cell* buffer, int32_t* part, bool mold) {
    if (!cycles_find_q(cycles_node_of(value))) return false;
    const char* text = "...";
    if (mold) {
        switch (TYPE_OF(value)) {
            case TYPE_BLOCK:
            case TYPE_HASH: text = "[...]"; break;
            case TYPE_PAREN: text = "(...)"; break;
            case TYPE_MAP: text = "#[...]"; break;
            case TYPE_OBJECT: text = "make object! [...]"; break;
            default: break;
        }
    }
    *part = string::form_text(buffer, text, *part);
    return true;
}

}  // namespace kel
