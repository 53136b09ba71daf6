#include "datatypes/tuple.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/time.h"
#include "datatypes/transcode.h"
#include "runtime/error_catalog.h"
#include "runtime/memory.h"
#include "runtime/random.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace kel::tuple {

namespace {

// The whole header is written: a made tuple carries no flag bits.
void store(cell* c, uint32_t count, const uint8_t* bytes) {
    count = std::max(count, MIN_COUNT);
    *c = cell{TYPE_TUPLE | count << COUNT_SHIFT, 0, 0, 0};
    std::memcpy(bytes_of(c), bytes, std::min(count, MAX_COUNT));
}

inline uint8_t clamp_byte(int64_t n) { return static_cast<uint8_t>(std::clamp<int64_t>(n, 0, 255)); }

// Positive infinity saturates high; negative infinity and NaN low.
inline uint8_t clamp_byte(double d) {
    if (!(d > 0)) return 0;
    return d >= 255 ? 255 : static_cast<uint8_t>(d);
}

int32_t byte_op(int32_t a, int32_t b, int32_t op) {
    if (op == OP_DIVIDE) return integer::do_math_op(a, b, op, nullptr);
    cell scratch{TYPE_INTEGER, 0, 0, 0};
    int32_t r = integer::do_math_op(a, b, op, &scratch);
    if (TYPE_OF(&scratch) == TYPE_FLOAT) return cell_float(&scratch) > 0 ? 255 : 0;
    return r;
}

void from_block(const cell* block, uint8_t* bytes, uint32_t& count) {
    series_buffer* b = node_buffer(series_node(block));
    size_t cells = b->used_bytes() / sizeof(cell);
    size_t head = series_head(block);
    size_t n = head < cells ? cells - head : 0;
    if (n > MAX_COUNT) raise_bad_to_arg(TYPE_TUPLE, block);
    const cell* c = b->cells() + head;
    for (size_t i = 0; i < n; i++, c++) {
        double v;
        switch (TYPE_OF(c)) {
            case TYPE_INTEGER:
            case TYPE_CHAR:
                v = integer::get(c);
                break;
            case TYPE_FLOAT:
                v = std::trunc(cell_float(c));
                break;
            default:
                raise_bad_to_arg(TYPE_TUPLE, block);
        }
        if (!(v >= 0 && v <= 255)) raise_bad_to_arg(TYPE_TUPLE, block);
        bytes[i] = static_cast<uint8_t>(v);
    }
    count = static_cast<uint32_t>(n);
}

void from_binary(const cell* binary, uint8_t* bytes, uint32_t& count) {
    series_buffer* b = node_buffer(series_node(binary));
    size_t head = series_head(binary);
    size_t n = head < b->used_bytes() ? b->used_bytes() - head : 0;
    count = static_cast<uint32_t>(std::min<size_t>(n, MAX_COUNT));
    std::memcpy(bytes, b->offset + head, count);
}

// Colour notation: #F80 doubles each digit, #FF8800 is R.G.B, #FF880040 R.G.B.A.
void from_issue(const cell* issue, uint8_t* bytes, uint32_t& count) {
    size_t length;
    const uint8_t* name = symbol::name_bytes(issue->w2, &length);
    uint8_t digits[8];
    if (length != 3 && length != 6 && length != 8) fire(script_error::invalid_data, issue);
    for (size_t i = 0; i < length; i++) {
        int8_t d = hex_digit_value(name[i]);
        if (d < 0) fire(script_error::invalid_data, issue);
        digits[i] = static_cast<uint8_t>(d);
    }
    bool doubled = length == 3;
    count = doubled ? 3 : static_cast<uint32_t>(length / 2);
    for (uint32_t i = 0; i < count; i++)
        bytes[i] = doubled ? static_cast<uint8_t>(digits[i] * 17)
                           : static_cast<uint8_t>(digits[2 * i] << 4 | digits[2 * i + 1]);
}

}  // namespace

void init() {
    register_datatype(TYPE_TUPLE, 0, "tuple!", {
        entry<ACT_MAKE>(make), entry<ACT_RANDOM>(random), 0, entry<ACT_TO>(to),
        entry<ACT_FORM>(form), entry<ACT_MOLD>(mold), entry<ACT_EVAL_PATH>(eval_path), 0,
        entry<ACT_COMPARE>(compare), 0,
        entry<ACT_ADD>(add), entry<ACT_DIVIDE>(divide), entry<ACT_MULTIPLY>(multiply), 0, 0,
        entry<ACT_REMAINDER>(remainder), 0, entry<ACT_SUBTRACT>(subtract), 0, 0,
        entry<ACT_AND>(and_), entry<ACT_COMPLEMENT>(complement), entry<ACT_OR>(or_),
        entry<ACT_XOR>(xor_), 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, entry<ACT_LENGTH_Q>(length_q), 0, 0, entry<ACT_PICK>(pick), 0,
        0, 0, entry<ACT_REVERSE>(reverse), 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0,
    });
}

cell* push(uint32_t count, uint32_t w1, uint32_t w2, uint32_t w3) {
    cell* c = stack::push_cell();
    *c = cell{TYPE_TUPLE | count << COUNT_SHIFT, w1, w2, w3};
    return c;
}

cell* push_bytes(uint32_t count, const int32_t* values) {
    uint8_t bytes[MAX_COUNT] = {};
    count = std::min(count, MAX_COUNT);
    for (uint32_t i = 0; i < count; i++) bytes[i] = static_cast<uint8_t>(values[i]);
    cell* c = stack::push_cell();
    store(c, count, bytes);
    return c;
}

bool all_zero_q(const cell* value) {
    const uint8_t* b = bytes_of(value);
    for (uint32_t i = 0, n = count_of(value); i < n; i++)
        if (b[i]) return false;
    return true;
}

void do_math(int32_t op) {
    cell* left = stack::arguments;
    cell* right = left + 1;
    if (TYPE_OF(left) != TYPE_TUPLE) {
        if (op == OP_SUBTRACT || op == OP_DIVIDE) {
            cell t = datatype_of(TYPE_OF(left));
            fire(script_error::not_related, nullptr, &t);
        }
        std::swap(*left, *right);
    }
    uint32_t count = count_of(left);
    uint8_t a[MAX_COUNT] = {}, r[MAX_COUNT];
    std::memcpy(a, bytes_of(left), count);
    switch (TYPE_OF(right)) {
        case TYPE_FLOAT:
        case TYPE_PERCENT: {
            double v = cell_float(right);
            for (uint32_t i = 0; i < count; i++)
                r[i] = clamp_byte(float_::do_math_op(a[i], v, op));
            break;
        }
        case TYPE_INTEGER: {
            int32_t v = integer::get(right);
            for (uint32_t i = 0; i < count; i++) r[i] = clamp_byte(int64_t{byte_op(a[i], v, op)});
            break;
        }
        case TYPE_TUPLE: {
            uint8_t b[MAX_COUNT] = {};
            std::memcpy(b, bytes_of(right), count_of(right));
            count = std::max(count, count_of(right));
            for (uint32_t i = 0; i < count; i++)
                r[i] = clamp_byte(int64_t{byte_op(a[i], b[i], op)});
            break;
        }
        default:
            raise_invalid_type(TYPE_OF(right));
    }
    store(left, count, r);
}

void add() { do_math(OP_ADD); }
void subtract() { do_math(OP_SUBTRACT); }
void multiply() { do_math(OP_MULTIPLY); }
void divide() { do_math(OP_DIVIDE); }
void remainder() { do_math(OP_REMAINDER); }
void or_() { do_math(OP_OR); }
void and_() { do_math(OP_AND); }
void xor_() { do_math(OP_XOR); }

const cell* make(cell* proto, cell* spec, uint32_t) { return to(proto, spec, ~0u); }

const cell* to(cell* proto, cell* spec, uint32_t) {
    uint8_t bytes[MAX_COUNT] = {};
    uint32_t count;
    switch (TYPE_OF(spec)) {
        case TYPE_TUPLE:
            return spec;
        case TYPE_BLOCK:
        case TYPE_PAREN:
        case TYPE_HASH:
            from_block(spec, bytes, count);
            break;
        case TYPE_BINARY:
            from_binary(spec, bytes, count);
            break;
        case TYPE_ISSUE:
            from_issue(spec, bytes, count);
            break;
        case TYPE_STRING:
        case TYPE_FILE:
        case TYPE_URL:
        case TYPE_TAG:
        case TYPE_EMAIL:
        case TYPE_REF:
            return load_first_value(spec, {TYPE_TUPLE}, TYPE_TUPLE);
        default:
            raise_bad_to_arg(TYPE_TUPLE, spec);
    }
    store(proto, count, bytes);
    return proto;
}

const cell* random(cell* value, bool seed, bool secure, bool) {
    if (seed) {
        random_seed(value->w1 ^ value->w2 ^ value->w3);
        return &unset_value;
    }
    uint8_t* b = bytes_of(value);
    for (uint32_t i = 0, n = count_of(value); i < n; i++)
        b[i] = static_cast<uint8_t>(random_int(secure, b[i] + 1) - 1);
    return value;
}

int32_t form(cell* value, cell* buffer, cell*, int32_t part) {
    char text[MAX_COUNT * 4];
    char* p = text;
    const uint8_t* b = bytes_of(value);
    for (uint32_t i = 0, n = count_of(value); i < n; i++) {
        if (i) *p++ = '.';
        const char* digits = form_signed(b[i]);
        size_t len = std::strlen(digits);
        std::memcpy(p, digits, len);
        p += len;
    }
    *p = '\0';
    return string::form_text(buffer, text, part);
}

int32_t mold(cell* value, cell* buffer, bool, bool, bool, cell* arg, int32_t part, int32_t) {
    return form(value, buffer, arg, part);
}

const cell* eval_path(cell* parent, cell* element, cell* value, cell*, cell* prev_value,
                      cell* prev_element, int32_t, bool, bool, bool, bool evt_q) {
    if (TYPE_OF(element) != TYPE_INTEGER) raise_invalid_type(TYPE_OF(element));
    int32_t index = integer::get(element);
    if (!value) return pick(parent, index, element);
    uint32_t type = TYPE_OF(value);
    if (type != TYPE_INTEGER && type != TYPE_NONE) raise_invalid_type(type);
    uint32_t count = count_of(parent);
    if (index < 1 || index > static_cast<int32_t>(count)) fire(script_error::out_of_range, element);
    cell* old = evt_q ? stack::push(parent) : nullptr;
    uint8_t* b = bytes_of(parent);
    if (type == TYPE_INTEGER) {
        b[index - 1] = clamp_byte(int64_t{integer::get(value)});
    } else {
        std::memset(b + index - 1, 0, MAX_COUNT - (index - 1));
        uint32_t cut = std::max(static_cast<uint32_t>(index - 1), MIN_COUNT);
        parent->header = (parent->header & ~(0xFu << COUNT_SHIFT)) | cut << COUNT_SHIFT;
    }
    if (old) notify_owner(prev_value, prev_element, old, parent);
    return value;
}

int32_t compare(cell* value1, cell* value2, int32_t) {
    if (TYPE_OF(value2) != TYPE_TUPLE) return INCOMPARABLE;
    uint8_t a[MAX_COUNT] = {}, b[MAX_COUNT] = {};
    std::memcpy(a, bytes_of(value1), count_of(value1));
    std::memcpy(b, bytes_of(value2), count_of(value2));
    for (uint32_t i = 0, n = std::max(count_of(value1), count_of(value2)); i < n; i++)
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    return 0;
}

const cell* complement(cell* value) {
    uint8_t* b = bytes_of(value);
    for (uint32_t i = 0, n = count_of(value); i < n; i++) b[i] = static_cast<uint8_t>(255 - b[i]);
    return value;
}

int32_t length_q(cell* value) { return static_cast<int32_t>(count_of(value)); }

const cell* pick(cell* value, int32_t index, cell*) {
    if (index < 1 || index > static_cast<int32_t>(count_of(value))) {
        cell n{TYPE_INTEGER, 0, static_cast<uint32_t>(index), 0};
        fire(script_error::out_of_range, &n);
    }
    return integer::push(bytes_of(value)[index - 1]);
}

const cell* reverse(cell* value, cell* part, cell* skip) {
    uint32_t range = count_of(value);
    if (refinement_q(part)) {
        if (TYPE_OF(part) != TYPE_INTEGER) fire(script_error::invalid_refine_arg, nullptr, part);
        int32_t n = integer::get(part);
        if (n < 0) fire(script_error::out_of_range, part);
        range = std::min(range, static_cast<uint32_t>(n));
    }
    uint32_t size = 1;
    if (refinement_q(skip)) {
        if (TYPE_OF(skip) != TYPE_INTEGER) fire(script_error::invalid_refine_arg, nullptr, skip);
        int32_t s = integer::get(skip);
        if (s == static_cast<int32_t>(range)) return value;
        if (s < 1) fire(script_error::out_of_range, skip);
        if (static_cast<uint32_t>(s) > range || range % static_cast<uint32_t>(s) != 0)
            fire(script_error::invalid_refine_arg, nullptr, skip);
        size = static_cast<uint32_t>(s);
    }
    uint8_t* b = bytes_of(value);
    uint8_t reversed[MAX_COUNT];
    for (uint32_t record = 0; record < range; record += size)
        std::memcpy(reversed + range - size - record, b + record, size);
    std::memcpy(b, reversed, range);
    return value;
}

}  // namespace kel::tuple
