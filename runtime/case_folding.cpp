#include "runtime/case_folding.h"

#include <algorithm>
#include <cstring>

#include "runtime/error_catalog.h"
#include "runtime/exits.h"
#include "runtime/memory.h"
#include "runtime/unicode.h"

namespace kel {

uint32_t to_upper_table[0x10000];
uint32_t to_lower_table[0x10000];

void case_folding_init() {
    for (uint32_t i = 0; i < case_upper_pairs_count; i++)
        to_upper_table[case_upper_pairs[i].from] = case_upper_pairs[i].to;
    for (uint32_t i = 0; i < case_lower_pairs_count; i++)
        to_lower_table[case_lower_pairs[i].from] = case_lower_pairs[i].to;
}

uint32_t case_fold_astral(uint32_t cp, int upper) {
    const case_pair* pairs = upper ? case_upper_astral_pairs : case_lower_astral_pairs;
    uint32_t count = upper ? case_upper_astral_pairs_count : case_lower_astral_pairs_count;
    // Bounded by the keys: the mapped values of the upper-casing list lie below its keys.
    if (cp < pairs[0].from || cp > pairs[count - 1].from) return cp;
    for (const case_pair* p = pairs; p->from <= cp; p++)
        if (p->from == cp) return p->to;
    return cp;
}

namespace {

constexpr int RUNTIME_BAD_UNIT = 101;

// Maps units [i, end) in place; stops at the first one whose mapping needs a wider unit
// and returns its index.
template <class T>
uint32_t fold_units(uint8_t* units, uint32_t i, uint32_t end, int upper) {
    for (; i < end; i++) {
        T unit;
        std::memcpy(&unit, units + i * sizeof(T), sizeof unit);
        uint32_t mapped = case_fold_char(unit, upper);
        if (mapped > static_cast<T>(~T{0})) break;
        unit = static_cast<T>(mapped);
        std::memcpy(units + i * sizeof(T), &unit, sizeof unit);
    }
    return i;
}

uint32_t fold_units(series_buffer* buffer, uint32_t i, uint32_t end, int upper) {
    switch (buffer->unit()) {
        case 1: return fold_units<uint8_t>(buffer->offset, i, end, upper);
        case 2: return fold_units<uint16_t>(buffer->offset, i, end, upper);
        default: return fold_units<uint32_t>(buffer->offset, i, end, upper);
    }
}

uint32_t unit_at(series_buffer* buffer, uint32_t i) {
    switch (buffer->unit()) {
        case 1: return buffer->offset[i];
        case 2: {
            uint16_t u;
            std::memcpy(&u, buffer->offset + 2 * i, 2);
            return u;
        }
        default: {
            uint32_t u;
            std::memcpy(&u, buffer->offset + 4 * i, 4);
            return u;
        }
    }
}

series_buffer* widen_for(series_buffer* buffer, uint32_t cp) {
    if (cp > 0xFFFF) return buffer->unit() == 1 ? widen_1_to_4(buffer) : widen_2_to_4(buffer);
    return widen_1_to_2(buffer);
}

// Characters from the head that change-case touches.
uint32_t case_count(const cell* value, const cell* part, uint32_t tail) {
    int64_t left = tail - series_head(value);
    if (!part) return static_cast<uint32_t>(left);
    int64_t n;
    if (TYPE_OF(part) == TYPE_INTEGER) {
        n = static_cast<int32_t>(part->w2);
    } else {
        if (TYPE_OF(part) != TYPE_OF(value) || series_node(part) != series_node(value))
            // arg1, the word part, waits for word values.
            fire(script_error::invalid_refine_arg, nullptr, part);
        n = static_cast<int64_t>(series_head(part)) - series_head(value);
    }
    return static_cast<uint32_t>(std::clamp<int64_t>(n, 0, left));
}

}  // namespace

void change_case(cell* value, const cell* part, int upper) {
    if (TYPE_OF(value) == TYPE_CHAR) {
        value->w2 = case_fold_char(value->w2, upper);
        return;
    }
    node_id node = series_node(value);
    series_buffer* buffer = node_buffer(node);
    uint32_t unit = buffer->unit();
    if (unit != 1 && unit != 2 && unit != 4) runtime_error_exit(RUNTIME_BAD_UNIT, 0);
    uint32_t tail = static_cast<uint32_t>(buffer->used_bytes() / unit);
    if (series_head(value) > tail) value->w1 = tail;
    uint32_t end = series_head(value) + case_count(value, part, tail);
    uint32_t i = series_head(value);
    while ((i = fold_units(buffer, i, end, upper)) < end) {
        widen_for(buffer, case_fold_char(unit_at(buffer, i), upper));
        buffer = node_buffer(node);
    }
}

}  // namespace kel
