// Terminal column widths of code points.
#pragma once
#include <cstdint>

namespace kel {

// Generated tables of inclusive ranges [first, last], sorted and disjoint, each code point in
// at most one of them; lengths in 32-bit words (runtime/display_width_tables.cpp).
extern const uint32_t zero_width_table[];
extern const uint32_t zero_width_table_length;
extern const uint32_t wide_table[];
extern const uint32_t wide_table_length;
extern const uint32_t ambiguous_table[];
extern const uint32_t ambiguous_table_length;

// 1 when cp lies in one of the ranges, else 0.
int in_range_table(uint32_t cp, const uint32_t* table, uint32_t length);

// 0, 1 or 2 columns.
int char_display_width(uint32_t cp);

// As char_display_width, with East Asian ambiguous characters wide.
int char_display_width_ext(uint32_t cp);

}  // namespace kel
