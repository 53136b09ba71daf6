#include "datatypes/bitset.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/logic.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/typeset.h"
#include "datatypes/word.h"
#include "runtime/collector.h"
#include "runtime/error_catalog.h"
#include "runtime/ownership.h"
#include "runtime/stack.h"

namespace kel::bitset {

namespace {

enum class op { measure, set, test, clear };
enum class mode { make, to, action };

// What a test walk answers: go on with the next bit, or stop with false / true.
enum class verdict { more, no, yes };

inline series_buffer* buffer_of(const cell* value) { return node_buffer(series_node(value)); }
inline int64_t bit_count(const series_buffer* b) { return static_cast<int64_t>(b->used_bytes()) * 8; }
inline uint8_t fill_byte(const series_buffer* b) { return complemented_q(b) ? 0xFF : 0x00; }

// Interning may allocate: callers ask before they hold unrooted copies of series cells.
uint32_t minus_symbol() {
    static uint32_t id = symbol::resolve(symbol::make("-"));
    return id;
}
uint32_t not_symbol() {
    static uint32_t id = symbol::resolve(symbol::make("not"));
    return id;
}

bool word_named_q(const cell* value, uint32_t symbol) {
    return TYPE_OF(value) == TYPE_WORD && symbol::resolve(value->w2) == symbol;
}

// Grows the array to hold bit n; new bytes read as the flag, so membership is unchanged.
series_buffer* ensure_bit(cell* bits, int64_t n) {
    series_buffer* b = buffer_of(bits);
    size_t needed = static_cast<size_t>(n >> 3) + 1;
    size_t used = b->used_bytes();
    if (needed <= used) return b;
    if (needed > static_cast<size_t>(b->data_end() - b->offset)) {
        b = expand_series(b, std::max(needed + needed / 2, size_t{16}));
    }
    std::memset(b->offset + used, fill_byte(b), needed - used);
    b->tail = b->offset + needed;
    return b;
}

// Sets or clears bits lo..hi (inclusive) of the array, which holds them.
void fill_bits(uint8_t* a, int64_t lo, int64_t hi, bool on) {
    auto put = [&](int64_t byte, uint8_t mask) { a[byte] = on ? a[byte] | mask : a[byte] & ~mask; };
    int64_t first = lo >> 3, last = hi >> 3;
    uint8_t head_mask = static_cast<uint8_t>(0xFFu >> (lo & 7));
    uint8_t tail_mask = static_cast<uint8_t>(0xFF00u >> ((hi & 7) + 1));
    if (first == last) return put(first, head_mask & tail_mask);
    put(first, head_mask);
    if (last > first + 1) std::memset(a + first + 1, on ? 0xFF : 0x00, static_cast<size_t>(last - first - 1));
    put(last, tail_mask);
}

bool all_set_q(const uint8_t* a, int64_t lo, int64_t hi) {
    for (int64_t n = lo; n <= hi; n++) {
        if ((n & 7) == 0 && n + 7 <= hi) {
            if (a[n >> 3] != 0xFF) return false;
            n += 7;
        } else if (!(a[n >> 3] & (0x80u >> (n & 7)))) {
            return false;
        }
    }
    return true;
}

// Applies one operation to every bit a spec names. The bitset cell and every value handed
// in stay put across allocation (argument-stack slots).
struct spec_walk {
    cell* bits;
    op operation;
    mode how;
    int64_t highest = -1;  // measure

    [[noreturn]] void bad_value(const cell* value) {
        if (how == mode::make) {
            cell type = datatype_of(TYPE_BITSET);
            fire(script_error::bad_make_arg, &type, value);
        }
        if (how == mode::to) raise_bad_to_arg(TYPE_BITSET, value);
        fire(script_error::invalid_arg, value);
    }

    // The bit a char!, integer! or float! names; -1 for a negative one under test.
    int64_t index_of(const cell* value) {
        int64_t n;
        if (TYPE_OF(value) == TYPE_CHAR) return value->w2;
        if (TYPE_OF(value) == TYPE_INTEGER) n = int_of(value);
        else {
            double d = std::trunc(cell_float(value));
            n = d >= 0 && d < 2147483648.0 ? static_cast<int64_t>(d) : -1;
            if (d >= 2147483648.0) fire(script_error::out_of_range, value);
        }
        if (n < 0) {
            if (operation != op::test) fire(script_error::out_of_range, value);
            return -1;
        }
        return n;
    }

    verdict range(int64_t lo, int64_t hi) {
        series_buffer* b = operation == op::measure ? nullptr : buffer_of(bits);
        switch (operation) {
            case op::measure:
                highest = std::max(highest, hi);
                return verdict::more;
            case op::test: {
                if (lo < 0) return complemented_q(b) ? verdict::yes : verdict::no;
                int64_t inner = std::min(hi, bit_count(b) - 1);
                if (lo <= inner && !all_set_q(b->offset, lo, inner)) return verdict::no;
                if (hi > inner) return complemented_q(b) ? verdict::yes : verdict::no;
                return verdict::more;
            }
            case op::set:
            case op::clear: {
                bool on = operation == op::set;
                // Past the end of the array these bits already read as wanted.
                if (complemented_q(b) == on) hi = std::min(hi, bit_count(b) - 1);
                else b = ensure_bit(bits, hi);
                if (lo <= hi) fill_bits(b->offset, lo, hi, on);
                return verdict::more;
            }
        }
        return verdict::more;
    }

    verdict one(const cell* value) {
        int64_t n = index_of(value);
        return range(n, n);
    }

    verdict text(cell* value) {
        for (uint32_t i = series_head(value); i < string::ks_buffer_length(value); i++) {
            int64_t n = string::char_at(value, i);
            if (verdict v = range(n, n); v != verdict::more) return v;
        }
        return verdict::more;
    }

    // A block's elements from its head; `value` stays put, its elements are re-read after
    // every step (a set or clear may allocate and so move any buffer).
    verdict items(cell* value) {
        uint32_t minus = minus_symbol();
        for (int32_t i = series::head_of(value); i < series::buffer_length(value); i++) {
            cell item = *block::ks_abs_at(value, i);
            uint32_t t = TYPE_OF(&item);
            if ((t == TYPE_CHAR || t == TYPE_INTEGER) && i + 1 < series::buffer_length(value) &&
                word_named_q(block::ks_abs_at(value, i + 1), minus)) {
                if (i + 2 >= series::buffer_length(value)) fire(script_error::past_end);
                cell upper = *block::ks_abs_at(value, i + 2);
                if (TYPE_OF(&upper) != t) fire(script_error::invalid_arg, &upper);
                int64_t lo = index_of(&item), hi = index_of(&upper);
                if (hi < lo) fire(script_error::past_end);
                i += 2;
                if (verdict v = range(lo, hi); v != verdict::more) return v;
                continue;
            }
            cell* held = stack::push(&item);
            verdict v = any(held);
            stack::pop(1);
            if (v != verdict::more) return v;
        }
        return verdict::more;
    }

    verdict any(cell* value) {
        uint32_t t = TYPE_OF(value);
        if (t == TYPE_CHAR || t == TYPE_INTEGER || t == TYPE_FLOAT) return one(value);
        if (t == TYPE_STRING) return text(value);
        if (t == TYPE_BLOCK) return items(value);
        if (t == TYPE_BINARY && how == mode::action) fire(internal_error::not_done);
        bad_value(value);
    }
};

// Bits of a test walk that named no non-member: all members.
bool test(cell* bits, cell* spec) {
    spec_walk walk{bits, op::test, mode::action};
    return walk.any(spec) != verdict::no;
}

void apply(cell* bits, cell* spec, op operation) {
    spec_walk walk{bits, operation, mode::action};
    walk.any(spec);
}

// The whole array and its flag; never the owner mark.
cell* copy_of(const cell* value, cell* result) {
    return series::copy_range(value, result, 0, static_cast<int32_t>(buffer_of(value)->used_bytes()));
}

// n result bytes of op over both arrays, each read past its end as its fill byte; answers
// the result's flag (op over the fills).
template <class Op>
bool combine_bytes(uint8_t* out, size_t n, const uint8_t* a, size_t la, uint8_t fa, const uint8_t* b, size_t lb,
                   uint8_t fb, Op op) {
    size_t common = std::min({la, lb, n});
    size_t i = 0;
    // Eight bytes a round: the operations are bitwise, so words combine as bytes do.
    for (; i + 8 <= common; i += 8) {
        uint64_t x, y;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        uint64_t z = op(x, y);
        std::memcpy(out + i, &z, 8);
    }
    for (; i < common; i++) out[i] = static_cast<uint8_t>(op(a[i], b[i]));
    for (i = common; i < n; i++) out[i] = static_cast<uint8_t>(op(i < la ? a[i] : fa, i < lb ? b[i] : fb));
    return static_cast<uint8_t>(op(fa, fb)) != 0;
}

void set_flag(series_buffer* b, bool complemented) {
    b->flags = complemented ? b->flags | BITSET_NOT : b->flags & ~BITSET_NOT;
}

cell* make_filled(cell* value, size_t bytes, uint8_t fill) {
    node_id node = alloc_bytes(bytes);
    series_buffer* b = node_buffer(node);
    std::memset(b->offset, fill, bytes);
    b->tail = b->offset + bytes;
    *value = cell{TYPE_BITSET, 0, node, 0};
    return value;
}

// The bitset of a make or to spec, pushed on the argument stack.
cell* make_core(cell* spec, mode how) {
    cell* result = stack::push(&none_value);
    uint32_t t = TYPE_OF(spec);
    if (t == TYPE_INTEGER || t == TYPE_FLOAT) {
        if (how == mode::to) raise_bad_to_arg(TYPE_BITSET, spec);
        double bits = t == TYPE_INTEGER ? int_of(spec) : cell_float(spec);
        if (!(bits >= 0) || bits > 2147483647.0) fire(script_error::out_of_range, spec);
        return make_filled(result, (static_cast<size_t>(bits) + 7) / 8, 0);
    }
    if (t == TYPE_BITSET) return copy_of(spec, result);
    if (t == TYPE_BINARY) {
        size_t n = binary::ks_length_q(spec);
        make_filled(result, n, 0);
        std::memcpy(buffer_of(result)->offset, binary::ks_head(spec), n);
        return result;
    }
    uint32_t not_word = not_symbol();
    cell* rest = stack::push(spec);
    bool negated = t == TYPE_BLOCK && !series::head_at_tail_q(spec) &&
                   word_named_q(block::ks_abs_at(spec, series::head_of(spec)), not_word);
    if (negated) {
        rest->w1++;
        if (!series::head_at_tail_q(rest) && TYPE_OF(block::ks_abs_at(rest, series::head_of(rest))) == TYPE_BINARY) {
            cell* bytes = stack::push(block::ks_abs_at(rest, series::head_of(rest)));
            size_t n = binary::ks_length_q(bytes);
            make_filled(result, n, 0);
            series_buffer* b = buffer_of(result);
            const uint8_t* from = binary::ks_head(bytes);
            for (size_t i = 0; i < n; i++) b->offset[i] = static_cast<uint8_t>(~from[i]);
            set_flag(b, true);
            stack::pop(2);
            return result;
        }
    }
    spec_walk measure{nullptr, op::measure, how};
    measure.any(rest);
    size_t bytes = static_cast<size_t>(std::max<int64_t>(measure.highest, 0) >> 3) + 1;
    make_filled(result, bytes, negated ? 0xFF : 0x00);
    set_flag(buffer_of(result), negated);
    spec_walk fill{result, negated ? op::clear : op::set, how};
    fill.any(rest);
    stack::pop(1);
    return result;
}

void notify(cell* series, owner_action action) {
    ownership::check(series, action, 0, static_cast<int32_t>(std::min<int64_t>(bit_count(buffer_of(series)), INT32_MAX)));
}

bool clears_q(const cell* value) {
    switch (TYPE_OF(value)) {
        case TYPE_NONE: return true;
        case TYPE_LOGIC: return !value->w1;
        case TYPE_INTEGER: return int_of(value) == 0;
        case TYPE_FLOAT: return cell_float(value) == 0.0;
        default: return false;
    }
}

void append_hex(std::string& text, uint8_t byte) {
    static const char digits[] = "0123456789ABCDEF";
    text += digits[byte >> 4];
    text += digits[byte & 15];
}

}  // namespace

void init() {
    register_datatype(TYPE_BITSET, 0, "bitset!", {
        entry<ACT_MAKE>(make), 0, entry<ACT_REFLECT>(reflect), entry<ACT_TO>(to), entry<ACT_FORM>(form),
        entry<ACT_MOLD>(mold), entry<ACT_EVAL_PATH>(eval_path), 0, entry<ACT_COMPARE>(compare), 0,
        0, 0, 0, entry<ACT_NEGATE>(complement), 0, 0, 0, 0, 0, 0,
        entry<ACT_AND>(and_), entry<ACT_COMPLEMENT>(complement), entry<ACT_OR>(or_), entry<ACT_XOR>(xor_),
        entry<ACT_APPEND>(append), 0, 0, 0, entry<ACT_CLEAR>(clear), entry<ACT_COPY>(copy),
        entry<ACT_FIND>(find), 0, 0, 0, entry<ACT_INSERT>(append), entry<ACT_LENGTH_Q>(length_q), 0, 0,
        entry<ACT_PICK>(pick), entry<ACT_POKE>(poke),
        0, entry<ACT_REMOVE>(remove), 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, entry<ACT_MODIFY>(modify), 0, 0, 0, 0, 0, 0, 0,
    });
}

cell* make_at(cell* value, uint32_t bytes) { return make_filled(value, bytes, 0); }

void do_bitwise(int32_t code) {
    cell* first = stack::arguments;
    cell* second = stack::arguments + 1;
    if (TYPE_OF(second) != TYPE_BITSET) raise_invalid_type(TYPE_OF(second));
    if (code == typeset::BITS_UNIQUE) return;
    size_t la = buffer_of(first)->used_bytes(), lb = buffer_of(second)->used_bytes();
    uint8_t fa = fill_byte(buffer_of(first)), fb = fill_byte(buffer_of(second));
    // A shorter operand's missing bytes read as its flag. and~ drops the rest when those
    // bytes are zero: it could only give zero bits, and the result's flag is then zero too.
    uint8_t shorter_fill = la < lb ? fa : fb;
    size_t n = code == typeset::BITS_AND && shorter_fill == 0 ? std::min(la, lb) : std::max(la, lb);
    // Every result byte is written below: no fill first.
    node_id node = alloc_bytes(n);
    series_buffer* r = node_buffer(node);
    r->tail = r->offset + n;
    cell result{TYPE_BITSET, 0, node, 0};
    const uint8_t* a = buffer_of(first)->offset;
    const uint8_t* b = buffer_of(second)->offset;
    bool flag;
    switch (code) {
        case typeset::BITS_OR:
        case typeset::BITS_UNION:
            flag = combine_bytes(r->offset, n, a, la, fa, b, lb, fb, [](auto x, auto y) { return x | y; });
            break;
        case typeset::BITS_AND:
        case typeset::BITS_INTERSECT:
            flag = combine_bytes(r->offset, n, a, la, fa, b, lb, fb, [](auto x, auto y) { return x & y; });
            break;
        case typeset::BITS_EXCLUDE:
            flag = combine_bytes(r->offset, n, a, la, fa, b, lb, fb,
                                 [](auto x, auto y) { return x & ~y; });
            break;
        default:  // xor, difference
            flag = combine_bytes(r->offset, n, a, la, fa, b, lb, fb, [](auto x, auto y) { return x ^ y; });
    }
    set_flag(r, flag);
    *first = result;
}

void and_() { bitset::do_bitwise(typeset::BITS_AND); }
void or_() { bitset::do_bitwise(typeset::BITS_OR); }
void xor_() { bitset::do_bitwise(typeset::BITS_XOR); }

const cell* make(cell*, cell* spec, uint32_t) { return make_core(spec, mode::make); }
const cell* to(cell*, cell* spec, uint32_t) { return make_core(spec, mode::to); }

const cell* reflect(cell* value, uint32_t field_symbol) {
    if (symbol::resolve(field_symbol) != sym(SYM_OWNED)) fire(internal_error::not_done);
    const cell* owner = ownership::find(series_node(value));
    return owner ? owner : &none_value;
}

const cell* modify(cell* target, cell* field, cell* value, bool) {
    return series::modify_owned(target, field, value, ownership::mark_owned);
}

int32_t form(cell* value, cell* buffer, cell* arg, int32_t part) {
    return mold(value, buffer, false, false, false, arg, part, 0);
}

int32_t mold(cell* value, cell* buffer, bool, bool, bool, cell* arg, int32_t part, int32_t) {
    bool limited = refinement_q(arg);
    series_buffer* b = buffer_of(value);
    bool negated = complemented_q(b);
    std::string text = negated ? "make bitset! [not " : "make bitset! ";
    int32_t budget = part - static_cast<int32_t>(text.size());
    if (!limited || budget > 0) {
        text += "#{";
        budget -= 2;
        size_t i = 0, n = b->used_bytes();
        for (; i < n && !(limited && budget <= 0); i++, budget -= 2)
            append_hex(text, negated ? static_cast<uint8_t>(~b->offset[i]) : b->offset[i]);
        if (i == n) text += negated ? "}]" : "}";
    }
    string::concat_bytes(buffer, text.data(), text.size());
    return part - static_cast<int32_t>(text.size());
}

const cell* eval_path(cell* parent, cell* element, cell* value, cell*, cell*, cell*, int32_t, bool, bool, bool,
                      bool) {
    if (TYPE_OF(element) != TYPE_CHAR && TYPE_OF(element) != TYPE_INTEGER) raise_invalid_type(TYPE_OF(element));
    if (!value) return pick(parent, 0, element);
    return poke(parent, 0, value, element);
}

int32_t compare(cell* value1, cell* value2, int32_t op) {
    if (TYPE_OF(value2) != TYPE_BITSET) return INCOMPARABLE;
    if (op == COMP_SAME) return series_node(value1) == series_node(value2) ? 0 : -1;
    series_buffer* a = buffer_of(value1);
    series_buffer* b = buffer_of(value2);
    size_t la = a->used_bytes(), lb = b->used_bytes();
    if (la != lb) return la < lb ? -1 : 1;
    if (la == 0) return 0;
    if (complemented_q(a) != complemented_q(b)) return complemented_q(a) ? 1 : -1;
    for (size_t i = la; i-- > 0;)
        if (a->offset[i] != b->offset[i]) return a->offset[i] < b->offset[i] ? -1 : 1;
    return 0;
}

const cell* complement(cell* value) {
    cell* result = copy_of(value, stack::push(&none_value));
    series_buffer* b = buffer_of(result);
    for (uint8_t* p = b->offset; p < b->tail; p++) *p = static_cast<uint8_t>(~*p);
    set_flag(b, !complemented_q(b));
    return result;
}

const cell* append(cell* series, cell* value, int32_t, bool, int32_t, bool) {
    apply(series, value, op::set);
    notify(series, owner_action::inserted);
    return series;
}

const cell* clear(cell* value) {
    notify(value, owner_action::clear);
    series_buffer* b = buffer_of(value);
    std::memset(b->offset, fill_byte(b), b->used_bytes());
    notify(value, owner_action::cleared);
    return value;
}

const cell* copy(cell* value, cell* result, cell*, bool, cell*) { return copy_of(value, result); }

const cell* find(cell* series, cell* value, cell*, bool, bool, bool, bool, cell*, cell*, bool, bool, bool, bool) {
    return test(series, value) ? &true_value : &none_value;
}

int32_t length_q(cell* value) {
    return static_cast<int32_t>(std::min<int64_t>(bit_count(buffer_of(value)), INT32_MAX));
}

const cell* pick(cell* series, int32_t, cell* index_cell) {
    return test(series, index_cell) ? &true_value : &false_value;
}

const cell* poke(cell* series, int32_t, cell* value, cell* index_cell) {
    notify(series, owner_action::poke);
    apply(series, index_cell, clears_q(value) ? op::clear : op::set);
    notify(series, owner_action::poked);
    return value;
}

const cell* remove(cell* series, cell* part, cell*) {
    if (!part) fire(script_error::missing_arg);
    apply(series, part, complemented_q(buffer_of(series)) ? op::set : op::clear);
    notify(series, owner_action::removed);
    return series;
}

}  // namespace kel::bitset
