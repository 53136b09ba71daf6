#include "datatypes/binary.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "datatypes/bitset.h"
#include "datatypes/dispatch.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "runtime/collector.h"
#include "runtime/cycles.h"
#include "runtime/error_catalog.h"
#include "runtime/ownership.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace kel::binary {

namespace {

constexpr char hex_digits[] = "0123456789ABCDEF";
constexpr char base58_alphabet[] = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";
constexpr char base64_alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Digit values of the ASCII characters in an alphabet, -1 elsewhere.
struct digit_table {
    int8_t value[128];
    explicit constexpr digit_table(const char* alphabet) : value{} {
        for (int8_t& v : value) v = -1;
        for (int8_t i = 0; alphabet[i]; i++) value[static_cast<uint8_t>(alphabet[i])] = i;
    }
};
constexpr digit_table base58_digits(base58_alphabet);
constexpr digit_table base64_digits(base64_alphabet);

inline bool block_like_q(uint32_t type) {
    return type == TYPE_BLOCK || type == TYPE_PAREN || type == TYPE_HASH;
}

// Pulls a head that lies past the tail back to it.
inline void clamp_head(cell* value) {
    size_t used = buffer_of(value)->used_bytes();
    if (value->w1 > used) value->w1 = static_cast<uint32_t>(used);
}

// A text value's UTF-8 from its head, at most `limit` bytes (negative: all).
void append_utf8(const cell* text, int64_t limit, std::vector<uint8_t>& out) {
    series_buffer* b = string::buffer_of(text);
    uint32_t unit = b->unit();
    size_t length = b->used_bytes() / unit;
    size_t head = std::min<size_t>(series_head(text), length);
    size_t size = utf8_size_of_units(b->offset + head * unit, b->offset + length * unit, unit);
    size_t start = out.size();
    out.resize(start + size);
    write_utf8(text, out.data() + start, -1, false);
    if (limit >= 0 && static_cast<size_t>(limit) < size) out.resize(start + static_cast<size_t>(limit));
}

// The bytes change writes for a value: those of insert_value, or else its formed text's.
void change_bytes(const cell* value, std::vector<uint8_t>& out) {
    uint32_t type = TYPE_OF(value);
    if (type == TYPE_CHAR || type == TYPE_INTEGER || type == TYPE_BINARY || type == TYPE_TUPLE ||
        block_like_q(type) || any_string_q(type)) {
        insert_value(value, -1, out);
        return;
    }
    cell* held = stack::push(value);
    cell* text = string::make_at(stack::push(&none_value), 16);
    form_dispatch(held, text, nullptr, 0);
    append_utf8(text, -1, out);
    stack::pop(2);
}

// Hex text of bytes; the text form's line layout is the caller's.
void append_hex(std::string& out, uint8_t byte) {
    out += hex_digits[byte >> 4];
    out += hex_digits[byte & 15];
}

// ASCII text at a string's tail.
void append_ascii(cell* text, const std::string& s) {
    series_buffer* b = string::buffer_of(text);
    if (b->unit() != 1) {
        string::concat_bytes(text, s.data(), s.size());
        return;
    }
    std::memcpy(alloc_tail_bytes(b, s.size()), s.data(), s.size());
}

// --- Base codecs -------------------------------------------------------------------------

// A text's characters from its head, read in place: valid until the next allocation.
struct char_run {
    const uint8_t* p;
    size_t count;
    uint32_t unit;
    uint32_t at(size_t i) const { return string::get_char(p + i * unit, unit); }
};

char_run run_of(const cell* text) {
    series_buffer* b = string::buffer_of(text);
    uint32_t unit = b->unit();
    size_t length = b->used_bytes() / unit;
    size_t head = std::min<size_t>(series_head(text), length);
    return {b->offset + head * unit, length - head, unit};
}

// The index of the line feed that ends a comment starting at i (or the end).
size_t comment_end(const char_run& r, size_t i) {
    while (i < r.count && r.at(i) != '\n') i++;
    return i;
}

// Characters the base-58 and base-64 decoders pass over.
inline bool gap_q(uint32_t c) {
    return c == 8 || c == 9 || c == 10 || c == 12 || c == 13 || c == 32 || c == 39;
}

bool decode_2_run(const char_run& r, std::vector<uint8_t>& out) {
    uint32_t byte = 0, bits = 0;
    for (size_t i = 0; i < r.count; i++) {
        uint32_t c = r.at(i);
        if (c == ';') {
            i = comment_end(r, i);
            continue;
        }
        if (c <= ' ') continue;
        if (c != '0' && c != '1') return false;
        byte = byte << 1 | (c - '0');
        if (++bits == 8) {
            out.push_back(static_cast<uint8_t>(byte));
            byte = bits = 0;
        }
    }
    return bits == 0;
}

bool decode_16_run(const char_run& r, std::vector<uint8_t>& out) {
    uint32_t byte = 0;
    bool half = false;
    for (size_t i = 0; i < r.count; i++) {
        uint32_t c = r.at(i) & 0x7F;
        if (c == ';') {
            i = comment_end(r, i);
            continue;
        }
        if (c <= ' ') continue;
        uint32_t d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else return false;
        byte = byte << 4 | d;
        if (half) out.push_back(static_cast<uint8_t>(byte));
        half = !half;
    }
    return true;
}

bool decode_58_run(const char_run& r, std::vector<uint8_t>& out) {
    std::vector<uint8_t> digits;
    for (size_t i = 0; i < r.count; i++) {
        uint32_t c = r.at(i);
        if (c > 127) break;
        if (c == ';') {
            i = comment_end(r, i);
            continue;
        }
        if (gap_q(c)) continue;
        int8_t d = base58_digits.value[c];
        if (d < 0) return false;
        digits.push_back(static_cast<uint8_t>(d));
    }
    size_t zeros = 0;
    while (zeros < digits.size() && digits[zeros] == 0) zeros++;
    // The number, most significant byte first, grown by multiplying in each digit.
    std::vector<uint8_t> number;
    for (size_t i = zeros; i < digits.size(); i++) {
        uint32_t carry = digits[i];
        for (size_t j = number.size(); j-- > 0;) {
            carry += number[j] * 58u;
            number[j] = static_cast<uint8_t>(carry);
            carry >>= 8;
        }
        for (; carry; carry >>= 8) number.insert(number.begin(), static_cast<uint8_t>(carry));
    }
    out.assign(zeros, 0);
    out.insert(out.end(), number.begin(), number.end());
    return true;
}

bool decode_64_run(const char_run& r, std::vector<uint8_t>& out) {
    uint32_t group = 0, k = 0;
    for (size_t i = 0; i < r.count; i++) {
        uint32_t c = r.at(i);
        // The digit table only covers ASCII: anything wider is no base-64 digit.
        if (c > 127) return false;
        if (c == ';') {
            i = comment_end(r, i);
            continue;
        }
        if (gap_q(c)) continue;
        if (c == '=') {
            if (k == 3) {
                out.push_back(static_cast<uint8_t>(group >> 10));
                out.push_back(static_cast<uint8_t>(group >> 2));
                return true;
            }
            if (k == 2) {
                out.push_back(static_cast<uint8_t>(group >> 4));
                return true;
            }
            return false;
        }
        int8_t d = base64_digits.value[c];
        if (d < 0) return false;
        group = group << 6 | static_cast<uint32_t>(d);
        if (++k == 4) {
            out.push_back(static_cast<uint8_t>(group >> 16));
            out.push_back(static_cast<uint8_t>(group >> 8));
            out.push_back(static_cast<uint8_t>(group));
            group = k = 0;
        }
    }
    return true;
}

using run_decoder = bool (*)(const char_run&, std::vector<uint8_t>&);

cell* decode_with(run_decoder decoder, const cell* text, cell* out) {
    std::vector<uint8_t> bytes;
    if (!decoder(run_of(text), bytes)) return nullptr;
    return load_in(bytes.data(), bytes.size(), out);
}

// The output size enbase reserves, in characters; too large for a series raises too-long.
uint32_t output_capacity(int32_t base, size_t n) {
    uint64_t m = n;
    uint64_t size = base == 64   ? (m / 3) * 4 + ((m % 3) * 4) / 3 + 2 * (m / 32) + 5
                    : base == 58 ? 2 * m
                    : base == 16 ? 2 * m + m / 32 + 32
                                 : 8 * m + 2 * (m / 8) + 4;
    if (size > INT32_MAX) fire(script_error::too_long);
    return static_cast<uint32_t>(size);
}

cell* text_value(const std::string& text, uint32_t capacity, cell* out) {
    string::make_at(out, std::max<uint32_t>(capacity, static_cast<uint32_t>(text.size())));
    series_buffer* b = string::buffer_of(out);
    std::memcpy(b->offset, text.data(), text.size());
    b->tail = b->offset + text.size();
    return out;
}

void bitwise(int32_t op) {
    cell* a = stack::arguments;
    cell* b = a + 1;
    if (TYPE_OF(b) != TYPE_BINARY) fire(script_error::invalid_arg, b);
    uint32_t la = ks_length_q(a), lb = ks_length_q(b);
    uint32_t shorter = std::min(la, lb), longer = std::max(la, lb);
    cell* result = make_at(stack::push(&none_value), longer);
    const uint8_t* pa = ks_head(a);
    const uint8_t* pb = ks_head(b);
    series_buffer* rb = buffer_of(result);
    uint8_t* out = rb->offset;
    for (uint32_t i = 0; i < shorter; i++) {
        out[i] = op == 0 ? pa[i] & pb[i] : op == 1 ? pa[i] | pb[i] : pa[i] ^ pb[i];
    }
    if (op == 0) std::memset(out + shorter, 0, longer - shorter);
    else std::memcpy(out + shorter, (la > lb ? pa : pb) + shorter, longer - shorter);
    rb->tail = out + longer;
    *a = *result;
    stack::pop(1);
}

}  // namespace

void init() {
    const action_entry I = INHERIT;
    register_datatype(TYPE_BINARY, TYPE_STRING, "binary!", {
        entry<ACT_MAKE>(make), I, I, entry<ACT_TO>(to), entry<ACT_FORM>(form),
        entry<ACT_MOLD>(mold), I, 0, entry<ACT_COMPARE>(compare), 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        entry<ACT_AND>(and_), entry<ACT_COMPLEMENT>(complement), entry<ACT_OR>(or_),
        entry<ACT_XOR>(xor_), entry<ACT_APPEND>(append), I, I, entry<ACT_CHANGE>(change), I, I,
        I, I, I, I, entry<ACT_INSERT>(append), I, I, I, I, I,
        0, I, I, I, I, I, I, I, I, I,
        entry<ACT_TRIM>(trim), 0, 0, 0, I, 0, 0, 0, 0, 0, 0, 0,
    });
}

// --- Byte API ----------------------------------------------------------------------------

namespace {

// Room for `used` bytes from the buffer's first used byte: twice the size when that is
// enough, else exactly the need.
series_buffer* reserve(cell* value, size_t used) {
    series_buffer* b = buffer_of(value);
    size_t start = static_cast<size_t>(b->offset - b->data());
    if (start + used <= b->size) return b;
    if (used > INT32_MAX) fire(internal_error::no_memory);
    size_t doubled = 2 * size_t{b->size};
    return expand_series(b, doubled >= used ? doubled : used);
}

}  // namespace

size_t splice(cell* series, size_t at, size_t removed, const std::vector<uint8_t>& bytes, size_t dup) {
    size_t n = bytes.size();
    if (dup > 1 && n > INT32_MAX / dup) fire(internal_error::no_memory);
    size_t total = n * dup;
    size_t used = buffer_of(series)->used_bytes();
    size_t new_used = used - removed + total;
    if (new_used > INT32_MAX) fire(internal_error::no_memory);
    series_buffer* b = reserve(series, new_used);
    uint8_t* p = b->offset + at;
    std::memmove(p + total, p + removed, used - at - removed);
    if (n > 0) {
        std::memcpy(p, bytes.data(), n);
        fill_repeat(p, n, dup);
    }
    b->tail = b->offset + new_used;
    return total;
}

bool ks_skip(cell* value, int32_t n) {
    int64_t h = int64_t{value->w1} + n;
    int64_t used = static_cast<int64_t>(buffer_of(value)->used_bytes());
    if (h >= 0 && h <= used) value->w1 = static_cast<uint32_t>(h);
    return value->w1 >= used;
}

void ks_clear(cell* value) {
    series_buffer* b = buffer_of(value);
    if (series_head(value) < b->used_bytes()) b->tail = b->offset + series_head(value);
}

void ks_append(cell* value, const uint8_t* bytes, size_t n) {
    series_buffer* b = reserve(value, buffer_of(value)->used_bytes() + n);
    std::memcpy(b->tail, bytes, n);
    b->tail += n;
}

void ks_insert(cell* value, size_t offset, const uint8_t* bytes, size_t n) {
    series_buffer* b = buffer_of(value);
    size_t used = b->used_bytes();
    if (used + n > b->size - static_cast<size_t>(b->offset - b->data()))
        b = expand_series(b, n + 2 * size_t{b->size});
    offset = std::min(offset, used);
    std::memmove(b->offset + offset + n, b->offset + offset, used - offset);
    std::memcpy(b->offset + offset, bytes, n);
    b->tail += n;
}

void ks_overwrite(cell* value, size_t k, const uint8_t* bytes, size_t n) {
    size_t at = series_head(value) + k;
    series_buffer* b = buffer_of(value);
    size_t end = static_cast<size_t>(b->offset - b->data()) + at + n;
    if (end > b->size) b = expand_series(b, 2 * size_t{b->size} + (end - b->size));
    uint8_t* p = b->offset + at;
    if (p > b->tail) std::memset(b->tail, 0, static_cast<size_t>(p - b->tail));
    std::memcpy(p, bytes, n);
    if (p + n > b->tail) b->tail = p + n;
}

void ks_append_int(cell* value, int32_t n) {
    uint32_t u = static_cast<uint32_t>(n);
    const uint8_t bytes[4] = {static_cast<uint8_t>(u >> 24), static_cast<uint8_t>(u >> 16),
                              static_cast<uint8_t>(u >> 8), static_cast<uint8_t>(u)};
    ks_append(value, bytes, 4);
}

cell* make_at(cell* value, uint32_t capacity) {
    set_series_value(value, TYPE_BINARY, alloc_bytes(capacity), 0);
    return value;
}

cell* make_in(const cell* block, uint32_t capacity) {
    root_node node(alloc_bytes(capacity), false);
    cell* c = alloc_tail(block);
    set_series_value(c, TYPE_BINARY, node.node, 0);
    return c;
}

cell* load_in(const uint8_t* bytes, size_t n, cell* value) {
    node_id node = alloc_bytes(n);
    series_buffer* b = node_buffer(node);
    if (n > 0) std::memcpy(b->offset, bytes, n);
    b->tail = b->offset + n;
    set_series_value(value, TYPE_BINARY, node, 0);
    return value;
}

cell* load(const uint8_t* bytes, size_t n) { return load_in(bytes, n, stack::push(&none_value)); }

cell* push(const cell* value) { return stack::push(value); }

uint8_t to_byte(const cell* value) {
    uint32_t type = TYPE_OF(value);
    if (type != TYPE_INTEGER && type != TYPE_CHAR) fire(script_error::invalid_arg, value);
    return static_cast<uint8_t>(value->w2);
}

bool head_in_bitset_q(const cell* value, const cell* bitset) {
    if (ks_tail_q(value)) return false;
    uint32_t c = head_byte(value);
    return bitset::bit_q(bitset, c);
}

bool match_head_q(const cell* value, const cell* other) {
    uint32_t type = TYPE_OF(other);
    if (type == TYPE_CHAR) return !ks_tail_q(value) && head_byte(value) == other->w2;
    if (type == TYPE_BINARY) return compare_bytes(value, other, COMP_EQUAL, true) == 0;
    if (!any_string_q(type)) return false;
    std::vector<uint8_t> bytes;
    append_utf8(other, -1, bytes);
    return ks_length_q(value) >= bytes.size() &&
           std::memcmp(ks_head(value), bytes.data(), bytes.size()) == 0;
}

int32_t compare_bytes(const cell* value1, const cell* value2, int32_t op, bool match) {
    bool same = series_node(value1) == series_node(value2) && series_head(value1) == series_head(value2);
    if (op == COMP_SAME) return same ? 0 : 1;
    uint32_t l1 = ks_length_q(value1), l2 = ks_length_q(value2);
    bool equality = op == COMP_EQUAL || op == COMP_NOT_EQUAL || op == COMP_STRICT_EQUAL || op == COMP_FIND;
    uint32_t n;
    if (match) {
        if (l2 == 0) return op == COMP_EQUAL || op == COMP_STRICT_EQUAL || op == COMP_FIND ? 0 : 1;
        if (l1 < l2) return 1;
        n = l2;
    } else {
        if (same) return 0;
        if (equality && l1 != l2) return 1;
        n = std::min(l1, l2);
    }
    int r = n ? std::memcmp(ks_head(value1), ks_head(value2), n) : 0;
    if (r != 0) return r < 0 ? -1 : 1;
    return match ? 0 : compare_sign(int64_t{l1} - l2);
}

void insert_value(const cell* value, int32_t part, std::vector<uint8_t>& out) {
    uint32_t type = TYPE_OF(value);
    switch (type) {
        case TYPE_CHAR: {
            uint8_t bytes[4];
            out.insert(out.end(), bytes, bytes + utf8_encode_char(value->w2, bytes));
            return;
        }
        case TYPE_INTEGER: {
            int32_t n = int_of(value);
            if (n < -128 || n > 255) fire(script_error::invalid_arg, value);
            out.push_back(static_cast<uint8_t>(n));
            return;
        }
        case TYPE_BINARY: {
            uint32_t n = ks_length_q(value);
            if (part >= 0) n = std::min(n, static_cast<uint32_t>(part));
            const uint8_t* p = ks_head(value);
            out.insert(out.end(), p, p + n);
            return;
        }
        case TYPE_TUPLE: {
            uint32_t n = (value->header >> 19) & 15;
            if (part >= 0) n = std::min(n, static_cast<uint32_t>(part));
            const auto* p = reinterpret_cast<const uint8_t*>(&value->w1);
            out.insert(out.end(), p, p + n);
            return;
        }
        default:
            break;
    }
    if (any_string_q(type)) {
        append_utf8(value, part, out);
        return;
    }
    if (!block_like_q(type)) raise_bad_to_arg(TYPE_BINARY, value);
    // A block that holds itself would never end: the cycle stack bounds the descent.
    cycles_guard walk(series_node(value));
    series_buffer* b = node_buffer(series_node(value));
    size_t length = b->used_bytes() / sizeof(cell);
    size_t head = std::min<size_t>(series_head(value), length);
    size_t n = length - head;
    if (part >= 0) n = std::min(n, static_cast<size_t>(part));
    for (size_t i = 0; i < n; i++) insert_value(node_buffer(series_node(value))->cells() + head + i, -1, out);
}

// --- Base codecs -------------------------------------------------------------------------

// The encoders read all their input before they allocate: the bytes may lie in a series
// buffer as long as the caller allocates nothing between taking the address and the call.

cell* encode_2(const uint8_t* bytes, size_t n, cell* out) {
    uint32_t capacity = output_capacity(2, n);
    std::string text;
    text.reserve(8 * n);
    for (size_t i = 0; i < n; i++)
        for (int bit = 7; bit >= 0; bit--) text += (bytes[i] >> bit & 1) ? '1' : '0';
    return text_value(text, capacity, out);
}

cell* encode_16(const uint8_t* bytes, size_t n, cell* out) {
    uint32_t capacity = output_capacity(16, n);
    std::string text;
    text.reserve(2 * n);
    for (size_t i = 0; i < n; i++) append_hex(text, bytes[i]);
    return text_value(text, capacity, out);
}

cell* encode_58(const uint8_t* bytes, size_t n, cell* out) {
    uint32_t capacity = output_capacity(58, n);
    size_t zeros = 0;
    while (zeros < n && bytes[zeros] == 0) zeros++;
    // Repeated division of a copy of the number by 58 gives the digits, lowest first.
    std::vector<uint8_t> number(bytes + zeros, bytes + n);
    std::string digits;
    size_t start = 0;
    while (start < number.size()) {
        uint32_t rest = 0;
        for (size_t j = start; j < number.size(); j++) {
            uint32_t current = rest * 256 + number[j];
            number[j] = static_cast<uint8_t>(current / 58);
            rest = current % 58;
        }
        digits += base58_alphabet[rest];
        while (start < number.size() && number[start] == 0) start++;
    }
    std::string text(zeros, '1');
    text.append(digits.rbegin(), digits.rend());
    return text_value(text, capacity, out);
}

cell* encode_64(const uint8_t* bytes, size_t n, cell* out) {
    uint32_t capacity = output_capacity(64, n);
    std::string text;
    text.reserve((n + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        uint32_t group = uint32_t{bytes[i]} << 16 | uint32_t{bytes[i + 1]} << 8 | bytes[i + 2];
        for (int shift = 18; shift >= 0; shift -= 6) text += base64_alphabet[group >> shift & 63];
    }
    if (i < n) {
        uint32_t group = uint32_t{bytes[i]} << 16 | (i + 1 < n ? uint32_t{bytes[i + 1]} << 8 : 0);
        text += base64_alphabet[group >> 18 & 63];
        text += base64_alphabet[group >> 12 & 63];
        text += i + 1 < n ? base64_alphabet[group >> 6 & 63] : '=';
        text += '=';
    }
    return text_value(text, capacity, out);
}

cell* encode(int32_t base, const uint8_t* bytes, size_t n, cell* out) {
    switch (base) {
        case 2: return encode_2(bytes, n, out);
        case 16: return encode_16(bytes, n, out);
        case 58: return encode_58(bytes, n, out);
        case 64: return encode_64(bytes, n, out);
        default: {
            cell b = integer_value(base);
            fire(script_error::invalid_arg, &b);
        }
    }
}

cell* decode_2(const cell* text, cell* out) { return decode_with(decode_2_run, text, out); }
cell* decode_16(const cell* text, cell* out) { return decode_with(decode_16_run, text, out); }
cell* decode_58(const cell* text, cell* out) { return decode_with(decode_58_run, text, out); }
cell* decode_64(const cell* text, cell* out) { return decode_with(decode_64_run, text, out); }

cell* decode(int32_t base, const cell* text, cell* out) {
    switch (base) {
        case 2: return decode_2(text, out);
        case 16: return decode_16(text, out);
        case 58: return decode_58(text, out);
        case 64: return decode_64(text, out);
        default: {
            cell b = integer_value(base);
            fire(script_error::invalid_arg, &b);
        }
    }
}

// --- Actions -----------------------------------------------------------------------------

const cell* make(cell* proto, cell* spec, uint32_t type) {
    uint32_t st = TYPE_OF(spec);
    if (st == TYPE_MONEY) {
        cell datatype{TYPE_DATATYPE, TYPE_BINARY, 0, 0};
        fire(script_error::bad_make_arg, &datatype, spec);
    }
    if (st == TYPE_INTEGER || st == TYPE_FLOAT) return string::make(proto, spec, type);
    return to(proto, spec, type);
}

const cell* to(cell* proto, cell* spec, uint32_t) {
    std::vector<uint8_t> bytes;
    switch (TYPE_OF(spec)) {
        case TYPE_INTEGER: {
            uint32_t n = spec->w2;
            for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<uint8_t>(n >> shift));
            break;
        }
        case TYPE_FLOAT:
        case TYPE_PERCENT: {
            uint64_t bits = uint64_t{spec->w3} << 32 | spec->w2;
            for (int shift = 56; shift >= 0; shift -= 8) bytes.push_back(static_cast<uint8_t>(bits >> shift));
            break;
        }
        case TYPE_ISSUE: {
            size_t length;
            const uint8_t* name = symbol::name_bytes(spec->w2, &length);
            if (!decode_16_run(char_run{name, length, 1}, bytes)) fire(script_error::invalid_data, spec);
            break;
        }
        case TYPE_BITSET: {
            series_buffer* b = node_buffer(series_node(spec));
            bytes.assign(b->offset, b->tail);
            break;
        }
        default:
            // Every other value with a byte form converts as append adds it.
            insert_value(spec, -1, bytes);
    }
    return load_in(bytes.data(), bytes.size(), proto);
}

int32_t mold(cell* value, cell* buffer, bool only, bool, bool flat, cell* arg, int32_t part,
             int32_t indent) {
    bool limited = refinement_q(arg);
    uint32_t n = ks_length_q(value);
    bool lines = n > 30 && !flat;
    std::string text;
    auto line_break = [&](int32_t level) {
        text += '\n';
        text.append(4 * static_cast<size_t>(std::max(level, 0)), ' ');
    };
    if (!only) text += "#{";
    if (lines) line_break(indent + 1);
    const uint8_t* p = ks_head(value);
    int32_t budget = part - static_cast<int32_t>(text.size());
    for (uint32_t i = 0; i < n && !(limited && budget <= 0); i++) {
        append_hex(text, p[i]);
        budget -= 2;
        if (lines && (i + 1) % 32 == 0) line_break(indent + 1);
    }
    if (lines && n % 32 != 0) line_break(indent);
    if (!only) text += '}';
    append_ascii(buffer, text);
    return part - static_cast<int32_t>(text.size());
}

int32_t form(cell* value, cell* buffer, cell* arg, int32_t part) {
    return mold(value, buffer, false, false, false, arg, part, 0);
}

int32_t compare(cell* value1, cell* value2, int32_t op) {
    if (TYPE_OF(value2) != TYPE_BINARY) return INCOMPARABLE;
    return compare_bytes(value1, value2, op);
}

void and_() { bitwise(0); }
void or_() { bitwise(1); }
void xor_() { bitwise(2); }

const cell* complement(cell* value) {
    uint8_t* p = ks_head(value);
    for (uint8_t* end = ks_tail(value); p < end; p++) *p = static_cast<uint8_t>(~*p);
    return value;
}

const cell* append(cell* series, cell* value, int32_t part, bool, int32_t dup, bool append_q) {
    size_t copies = dup >= 2 ? static_cast<size_t>(dup) : 1;
    std::vector<uint8_t> bytes;
    insert_value(value, part, bytes);
    clamp_head(series);
    size_t used = buffer_of(series)->used_bytes();
    size_t at = append_q ? used : series_head(series);
    bool owned = ownership::check(series, owner_action::append, static_cast<int32_t>(at),
                                  static_cast<int32_t>(std::min<size_t>(bytes.size() * copies, INT32_MAX)));
    if (owned) {
        // The owner's handler may have changed either value.
        bytes.clear();
        insert_value(value, part, bytes);
        clamp_head(series);
        used = buffer_of(series)->used_bytes();
        at = append_q ? used : series_head(series);
    }
    size_t total = splice(series, at, 0, bytes, copies);
    if (owned)
        ownership::check(series, owner_action::appended, static_cast<int32_t>(at), static_cast<int32_t>(total));
    series->w1 = append_q ? 0 : static_cast<uint32_t>(std::min(at + total, buffer_of(series)->used_bytes()));
    return series;
}

const cell* change(cell* series, cell* value, int32_t part, bool, int32_t dup) {
    size_t copies = dup >= 2 ? static_cast<size_t>(dup) : 1;
    std::vector<uint8_t> bytes;
    change_bytes(value, bytes);
    clamp_head(series);
    bool owned = ownership::check(series, owner_action::change, static_cast<int32_t>(series_head(series)),
                                  static_cast<int32_t>(std::min<size_t>(bytes.size() * copies, INT32_MAX)));
    if (owned) {
        bytes.clear();
        change_bytes(value, bytes);
        clamp_head(series);
    }
    if (copies > 1 && bytes.size() > INT32_MAX / copies) fire(internal_error::no_memory);
    size_t at = series_head(series);
    size_t rest = buffer_of(series)->used_bytes() - at;
    size_t removed = std::min(part >= 0 ? static_cast<size_t>(part) : bytes.size() * copies, rest);
    size_t total = splice(series, at, removed, bytes, copies);
    if (owned)
        ownership::check(series, owner_action::changed, static_cast<int32_t>(at), static_cast<int32_t>(total));
    series->w1 = static_cast<uint32_t>(std::min(at + total, buffer_of(series)->used_bytes()));
    return series;
}

const cell* trim(cell* series, bool head, bool tail, bool auto_q, bool lines, bool all, cell* with) {
    bool with_q = refinement_q(with);
    if ((auto_q || lines) && !all && !with_q) fire(internal_error::not_done);
    std::vector<uint32_t> set{0};
    if (with_q) {
        uint32_t type = TYPE_OF(with);
        if (type == TYPE_CHAR || type == TYPE_INTEGER) {
            set = {with->w2};
        } else if (any_string_q(type) || type == TYPE_BINARY) {
            set.clear();
            uint32_t n = string::ks_length(with);
            for (uint32_t i = 0; i < n; i++) set.push_back(string::char_at(with, series_head(with) + i));
        } else {
            fire(script_error::invalid_arg, with);
        }
    }
    clamp_head(series);
    bool owned = ownership::check(series, owner_action::trim, static_cast<int32_t>(series_head(series)),
                                  static_cast<int32_t>(ks_length_q(series)));
    clamp_head(series);
    uint8_t* first = ks_head(series);
    uint8_t* last = ks_tail(series);
    uint8_t* end;
    if (all || with_q) {
        end = std::remove_if(first, last, [&](uint8_t c) {
            return std::find(set.begin(), set.end(), c) != set.end();
        });
    } else {
        bool both = !head && !tail;
        uint8_t* from = first;
        if (head || both)
            while (from < last && *from == 0) from++;
        if (tail || both)
            while (last > from && last[-1] == 0) last--;
        end = std::copy(from, last, first);
    }
    buffer_of(series)->tail = end;
    if (owned)
        ownership::check(series, owner_action::trimmed, static_cast<int32_t>(series_head(series)),
                         static_cast<int32_t>(ks_length_q(series)));
    return series;
}

}  // namespace kel::binary
