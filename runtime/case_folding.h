// Case mapping of code points and the in-place case change of text values.
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel {

struct case_pair {
    uint32_t from;
    uint32_t to;
};

// Generated pair lists, sorted by their first code point (runtime/case_folding_tables.cpp).
extern const case_pair case_upper_pairs[];
extern const uint32_t case_upper_pairs_count;
extern const case_pair case_lower_pairs[];
extern const uint32_t case_lower_pairs_count;
extern const case_pair case_upper_astral_pairs[];
extern const uint32_t case_upper_astral_pairs_count;
extern const case_pair case_lower_astral_pairs[];
extern const uint32_t case_lower_astral_pairs_count;

// BMP lookup tables filled by case_folding_init; 0 means the code point maps to itself.
extern uint32_t to_upper_table[0x10000];
extern uint32_t to_lower_table[0x10000];

void case_folding_init();
uint32_t case_fold_astral(uint32_t cp, int upper);

// upper: 1 to upper-case, 0 to lower-case.
inline uint32_t case_fold_char(uint32_t cp, int upper) {
    if (cp > 0xFFFF) return case_fold_astral(cp, upper);
    uint32_t mapped = (upper ? to_upper_table : to_lower_table)[cp];
    return mapped ? mapped : cp;
}

inline uint32_t to_upper_char(uint32_t cp) { return case_fold_char(cp, 1); }

// The upper-case form, or the lower-case form of a code point that upper-casing leaves alone.
inline uint32_t swap_case_char(uint32_t cp) {
    uint32_t upper = to_upper_char(cp);
    return upper != cp ? upper : case_fold_char(cp, 0);
}

// Changes a char! value, or the characters of a text value from its head, in place.
// part: null when absent, else an integer! count or a series of the same type and buffer
// marking the end. A wider mapped character widens the buffer.
void change_case(cell* value, const cell* part, int upper);

}  // namespace kel
