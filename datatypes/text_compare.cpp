#include "datatypes/text_compare.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "datatypes/bitset.h"
#include "datatypes/dispatch.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "runtime/case_folding.h"
#include "runtime/error_catalog.h"
#include "runtime/ownership.h"
#include "runtime/sort.h"
#include "runtime/stack.h"

namespace kel {

namespace {

inline bool case_sensitive_op(int32_t op) {
    return op == COMP_STRICT_EQUAL || op == COMP_CASE_SORT || op == COMP_STRICT_MATCH;
}
inline bool equality_op(int32_t op) {
    return op <= COMP_STRICT_EQUAL || op == COMP_STRICT_MATCH || op == COMP_MATCH || op == COMP_FIND;
}

inline uint32_t fold_ascii(uint32_t c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }

template <class T, bool Ascii>
int32_t compare_units(const void* a, const void* b, uintptr_t case_flag, uintptr_t flags) {
    size_t n = 1, at = flags >> 2;
    if (flags & 2) {
        n = flags >> 2;
        at = 0;
    }
    const uint8_t* pa = static_cast<const uint8_t*>(a) + at * sizeof(T);
    const uint8_t* pb = static_cast<const uint8_t*>(b) + at * sizeof(T);
    for (size_t i = 0; i < n; i++) {
        T x, y;
        std::memcpy(&x, pa + i * sizeof(T), sizeof(T));
        std::memcpy(&y, pb + i * sizeof(T), sizeof(T));
        uint32_t cx = x, cy = y;
        if (!case_flag) {
            cx = Ascii ? fold_ascii(cx) : to_upper_char(cx);
            cy = Ascii ? fold_ascii(cy) : to_upper_char(cy);
        }
        if (cx != cy) {
            int32_t d = static_cast<int32_t>(cx) - static_cast<int32_t>(cy);
            return flags & 1 ? -d : d;
        }
    }
    return 0;
}

template <class T>
int32_t compare_floats(const void* a, const void* b, uintptr_t, uintptr_t flags) {
    size_t n = 1, at = flags >> 2;
    if (flags & 2) {
        n = flags >> 2;
        at = 0;
    }
    for (size_t i = at; i < at + n; i++) {
        T x, y;
        std::memcpy(&x, static_cast<const uint8_t*>(a) + i * sizeof(T), sizeof(T));
        std::memcpy(&y, static_cast<const uint8_t*>(b) + i * sizeof(T), sizeof(T));
        int32_t d = (x > y) - (x < y);
        if (d) return flags & 1 ? -d : d;
    }
    return 0;
}

}  // namespace

int32_t sort_compare_bytes(const void* a, const void* b, uintptr_t c, uintptr_t f) {
    return compare_units<uint8_t, true>(a, b, c, f);
}
int32_t sort_compare_ucs2(const void* a, const void* b, uintptr_t c, uintptr_t f) {
    return compare_units<uint16_t, false>(a, b, c, f);
}
int32_t sort_compare_ucs4(const void* a, const void* b, uintptr_t c, uintptr_t f) {
    return compare_units<uint32_t, false>(a, b, c, f);
}
int32_t sort_compare_float32(const void* a, const void* b, uintptr_t c, uintptr_t f) {
    return compare_floats<float>(a, b, c, f);
}
int32_t sort_compare_float64(const void* a, const void* b, uintptr_t c, uintptr_t f) {
    return compare_floats<double>(a, b, c, f);
}

namespace string {

int32_t compare_text(const cell* value1, const cell* value2, int32_t op, bool match) {
    bool same = series_node(value1) == series_node(value2) && series_head(value1) == series_head(value2);
    if (op == COMP_SAME) return same ? 0 : -1;
    if (same && equality_op(op) && !match) return 0;
    uint32_t l1 = ks_length(value1), l2 = ks_length(value2);
    uint32_t n = l2;
    if (match) {
        if (l2 == 0) return op == COMP_FIND ? 1 : 0;
        if (l1 < l2) return 1;
    } else if (l1 != l2) {
        if (equality_op(op) || l2 == 0) return 1;
        n = std::min(l1, l2);
    }
    series_buffer* b1 = buffer_of(value1);
    series_buffer* b2 = buffer_of(value2);
    uint32_t u1 = b1->unit(), u2 = b2->unit();
    const uint8_t* p1 = b1->offset + size_t{series_head(value1)} * u1;
    const uint8_t* p2 = b2->offset + size_t{series_head(value2)} * u2;
    bool fold = !case_sensitive_op(op);
    // One-byte texts, the common case: equal bytes are equal either way, and unfolded bytes
    // order as their characters.
    if (u1 == 1 && u2 == 1) {
        int r = std::memcmp(p1, p2, n);
        if (r == 0) n = 0;
        else if (!fold) return r > 0 ? 1 : -1;
    }
    for (uint32_t i = 0; i < n; i++) {
        uint32_t c1 = get_char(p1 + size_t{i} * u1, u1), c2 = get_char(p2 + size_t{i} * u2, u2);
        if (c1 == c2) continue;
        if (fold) {
            c1 = to_upper_char(c1);
            c2 = to_upper_char(c2);
            if (c1 == c2) continue;
        }
        return c1 > c2 ? 1 : -1;
    }
    if (match) return 0;
    return (l1 > l2) - (l1 < l2);
}

bool match_value(const cell* series, const cell* value, int32_t op) {
    uint32_t type = TYPE_OF(value);
    if (type == TYPE_CHAR) {
        if (ks_tail_q(series)) return false;
        uint32_t c = char_at(series, series_head(series));
        return op == COMP_STRICT_EQUAL ? c == value->w2 : to_upper_char(c) == to_upper_char(value->w2);
    }
    if (type == TYPE_TAG) {
        if (!tag_delimited_q(series, value)) return false;
        cell inside = *series;
        inside.w1++;
        return compare_text(&inside, value, op, true) == 0;
    }
    if (any_string_q(type)) return compare_text(series, value, op, true) == 0;
    return false;
}

int32_t compare(cell* value1, cell* value2, int32_t op) {
    uint32_t t2 = TYPE_OF(value2);
    if (t2 != TYPE_OF(value1) && !(any_string_q(t2) && (op == COMP_EQUAL || op == COMP_NOT_EQUAL)))
        return INCOMPARABLE;
    return compare_text(value1, value2, op);
}

namespace {

cell found;  // find and select results; the dispatcher copies it at once

// What a search looks for: a run of code points (folded unless case-sensitive), or the
// members of a bitset.
struct pattern {
    std::vector<uint32_t> chars;
    const cell* bitset = nullptr;
    bool fold = false;
    bool whole_key = false;  // select steps past the whole key, not one character
    uint32_t length() const { return bitset ? 1 : static_cast<uint32_t>(chars.size()); }
};

void add_chars(pattern& p, const cell* text) {
    uint32_t n = ks_length(text);
    for (uint32_t i = 0; i < n; i++) {
        uint32_t c = char_at(text, series_head(text) + i);
        p.chars.push_back(p.fold ? to_upper_char(c) : c);
    }
}

pattern pattern_of(const cell* series, cell* value, bool case_q) {
    pattern p;
    uint32_t st = TYPE_OF(series), vt = TYPE_OF(value);
    p.fold = any_string_q(st) && !case_q;
    if (vt == TYPE_CHAR) {
        p.chars.push_back(p.fold ? to_upper_char(value->w2) : value->w2);
    } else if (vt == TYPE_BITSET) {
        p.bitset = value;
    } else if (any_string_q(vt)) {
        add_chars(p, value);
        p.whole_key = true;
    } else if (vt == TYPE_BINARY) {
        if (st != TYPE_BINARY) fire(script_error::invalid_arg, value);
        add_chars(p, value);
        p.whole_key = true;
    } else if (vt == TYPE_INTEGER && st == TYPE_BINARY) {
        p.chars.push_back(value->w2);
    } else {
        cell* text = string::make_at(stack::push_cell(), 16);
        form_dispatch(value, text, nullptr, 0);
        add_chars(p, text);
        stack::pop(1);
    }
    return p;
}

bool bit_q(const cell* bitset, uint32_t c) {
    return bitset::bit_q(bitset, c);
}

// The pattern at position p (character index from the offset).
bool matches_at(const series_buffer* b, uint32_t unit, int64_t p, const pattern& pat) {
    const uint8_t* at = b->offset + static_cast<size_t>(p) * unit;
    if (pat.bitset) {
        uint32_t c = get_char(at, unit);
        return bit_q(pat.bitset, c) || (c != to_upper_char(c) && bit_q(pat.bitset, to_upper_char(c))) ||
               bit_q(pat.bitset, case_fold_char(c, 0));
    }
    for (size_t i = 0; i < pat.chars.size(); i++) {
        uint32_t c = get_char(at + i * unit, unit);
        if (c != pat.chars[i] && (!pat.fold || to_upper_char(c) != pat.chars[i])) return false;
    }
    return true;
}

// Forward search over one-byte units, the common case: the C library's scan for an exact
// pattern, a table per byte for a folded one. -1 when there is no match.
int64_t find_in_bytes(const series_buffer* b, int64_t from, int64_t end, const pattern& pat) {
    const uint8_t* base = b->offset;
    size_t m = pat.chars.size();
    if (!pat.fold) {
        std::string needle;
        for (uint32_t c : pat.chars) {
            if (c > 0xFF) return -1;
            needle.push_back(static_cast<char>(c));
        }
        const void* hit = memmem(base + from, static_cast<size_t>(end - from), needle.data(), m);
        return hit ? static_cast<const uint8_t*>(hit) - base : -1;
    }
    static const auto upper = [] {
        std::array<uint32_t, 256> table{};
        for (uint32_t c = 0; c < 256; c++) table[c] = to_upper_char(c);
        return table;
    }();
    auto same = [&](uint8_t c, uint32_t want) { return c == want || upper[c] == want; };
    for (int64_t p = from; p + static_cast<int64_t>(m) <= end; p++) {
        if (!same(base[p], pat.chars[0])) continue;
        size_t i = 1;
        while (i < m && same(base[p + i], pat.chars[i])) i++;
        if (i == m) return p;
    }
    return -1;
}

struct search {
    int64_t position = -1;  // character index from the offset of the match start
    uint32_t length = 0;
    bool whole_key = false;
};

search find_position(cell* series, cell* value, cell* part, bool case_q, bool same, bool any,
                     cell* with, cell* skip, bool last, bool reverse, bool match) {
    search s;
    int64_t len = series::buffer_length(series);
    int64_t h = series_head(series);
    if (len == 0 || (!reverse && h >= len)) return s;
    if (any || refinement_q(with)) fire(internal_error::not_done);
    int64_t step = 1;
    if (refinement_q(skip)) {
        if (TYPE_OF(skip) != TYPE_INTEGER) fire(script_error::invalid_refine_arg, nullptr, skip);
        step = int_of(skip);
        if (step < 1) fire(script_error::out_of_range, skip);
    }
    if (reverse && match) return s;
    h = std::min(h, len);
    int64_t low = reverse ? 0 : h, end = reverse ? h : len;
    if (refinement_q(part)) {
        int64_t count = series::part_count(series, part);
        if (reverse && count < 0) count = -count;
        if (count < 1) return s;
        if (reverse) low = std::max<int64_t>(h - count, 0);
        else end = std::min(h + count, len);
    }
    pattern pat = pattern_of(series, value, case_q || same);
    int64_t m = pat.length();
    if (m == 0 || end - low < m) return s;
    // No allocation from here: the buffer stays put.
    series_buffer* b = buffer_of(series);
    uint32_t unit = b->unit();
    if (!reverse && !last && unit == 1 && step == 1 && !match && !pat.bitset) {
        s.position = find_in_bytes(b, h, end, pat);
    } else if (!reverse && !last) {
        for (int64_t p = h; p + m <= end; p += step) {
            if (matches_at(b, unit, p, pat)) {
                s.position = p;
                break;
            }
            if (match) break;
        }
    } else {
        // Backward: a match ends at the position.
        for (int64_t p = end - 1; p - m + 1 >= low; p -= step) {
            if (matches_at(b, unit, p - m + 1, pat)) {
                s.position = p - m + 1;
                break;
            }
            if (match) break;
        }
    }
    s.length = static_cast<uint32_t>(m);
    s.whole_key = pat.whole_key;
    return s;
}

}  // namespace

const cell* find(cell* series, cell* value, cell* part, bool, bool case_q, bool same, bool any,
                 cell* with, cell* skip, bool last, bool reverse, bool tail, bool match) {
    search s = find_position(series, value, part, case_q, same, any, with, skip, last, reverse, match);
    if (s.position < 0) return &none_value;
    found = *series;
    found.w1 = static_cast<uint32_t>(s.position + (tail ? s.length : 0));
    return &found;
}

const cell* select(cell* series, cell* value, cell* part, bool, bool case_q, bool same, bool any,
                   cell* with, cell* skip, bool last, bool reverse) {
    search s = find_position(series, value, part, case_q, same, any, with, skip, last, reverse, false);
    if (s.position < 0) return &none_value;
    int64_t after = s.position + (s.whole_key ? s.length : 1);
    if (after >= series::buffer_length(series)) return &none_value;
    uint32_t c = char_at(series, static_cast<uint32_t>(after));
    found = cell{TYPE_OF(series) == TYPE_BINARY ? uint32_t{TYPE_INTEGER} : uint32_t{TYPE_CHAR}, 0, c, 0};
    return &found;
}

const cell* sort(cell* series, bool case_q, cell* skip, cell* compare, cell* part, bool all,
                 bool reverse, bool stable) {
    int64_t h = series_head(series);
    int64_t count = series::length(series);
    h = series_head(series);
    if (refinement_q(part)) {
        count = series::part_count(series, part);
        if (count < 0) {
            int64_t start = std::max<int64_t>(h + count, 0);
            count = h - start;
            h = start;
            series->w1 = static_cast<uint32_t>(h);
        }
        count = std::min<int64_t>(count, series::buffer_length(series) - h);
    }
    int64_t size = 1;
    bool skip_q = refinement_q(skip);
    if (skip_q) {
        if (TYPE_OF(skip) != TYPE_INTEGER) fire(script_error::invalid_refine_arg, nullptr, skip);
        size = int_of(skip);
        if (size < 1 || count % size != 0 || count < size)
            fire(script_error::invalid_refine_arg, nullptr, skip);
    }
    if (all && !skip_q) fire(script_error::bad_refines);
    uintptr_t flags = reverse ? 1 : 0;
    if (refinement_q(compare)) {
        // A function! comparator runs Kel code: it joins with the interpreter.
        if (TYPE_OF(compare) != TYPE_INTEGER) fire(internal_error::not_done);
        if (!skip_q || all) fire(script_error::bad_refines);
        int64_t offset = int_of(compare);
        if (offset < 1 || offset > size) fire(script_error::out_of_range, compare);
        flags |= static_cast<uintptr_t>(offset - 1) << 2;
    } else if (all) {
        flags |= 2 | static_cast<uintptr_t>(size) << 2;
    }
    if (count < 2 * size) return series;
    bool owned = ownership::check(series, owner_action::sort, static_cast<int32_t>(h), static_cast<int32_t>(count));
    count = std::min<int64_t>(count, series::buffer_length(series) - h);
    uint32_t unit = buffer_of(series)->unit();
    // Bytes have no case: a binary sorts by byte value.
    if (TYPE_OF(series) == TYPE_BINARY) case_q = true;
    sort_comparator cmp = unit == 1 ? sort_compare_bytes : unit == 2 ? sort_compare_ucs2 : sort_compare_ucs4;
    if (unit != 1 && unit != 2 && unit != 4) bad_unit();
    sort_elements elements = series_elements(series_node(series), static_cast<size_t>(h) * unit, false);
    size_t records = static_cast<size_t>(count / size);
    size_t width = static_cast<size_t>(size) * unit;
    // Equal records must keep their order whenever that was asked for, case or not.
    if (stable) sort_stable(elements, records, width, case_q, flags, cmp);
    else sort_quick_entry(elements, records, width, case_q, flags, cmp);
    if (owned) ownership::check(series, owner_action::sorted, static_cast<int32_t>(h), static_cast<int32_t>(count));
    return series;
}

const cell* set_operation(cell* first, bool case_q, cell* skip, int32_t op) {
    int32_t n = series::set_record_size(skip);
    cell* second = first + 1;
    ks_head(first);
    if (op != series::SET_UNIQUE) ks_head(second);
    size_t room = ks_length(first) + (op == series::SET_UNION ? ks_length(second) : 0);
    room = std::min<size_t>(room, INT32_MAX);
    // Starts as none: the collector may look at it while its buffer is allocated.
    cell* result = make_at(stack::push(&none_value), static_cast<uint32_t>(room));
    auto key_in = [n, case_q](const cell* text, const cell* from, int32_t i) {
        return has_char_q(text, char_at(from, static_cast<uint32_t>(i)), n, case_q);
    };
    auto add = [result](const cell* from, int32_t i, int32_t count) {
        cell record = *from;
        record.w1 = static_cast<uint32_t>(i);
        concatenate(result, &record, count, 0, true, CONCAT_APPEND);
    };
    series::set_walk(first, second, result, op, n, key_in, add);
    *first = *result;
    stack::pop(1);
    return first;
}

}  // namespace string
}  // namespace kel
