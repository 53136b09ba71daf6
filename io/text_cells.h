// Text read from a string! into a plain buffer, and string! values made from code points:
// the native codec loops work on these so that a collection never moves what they read.
#pragma once
#include <cstdint>
#include <vector>

#include "datatypes/string.h"
#include "runtime/cell.h"

namespace kel::text_cells {

// The characters of a text value from its head, one code point each.
inline std::vector<uint32_t> code_points(const cell* text) {
    series_buffer* b = string::buffer_of(text);
    uint32_t unit = b->unit(), n = string::ks_length(text);
    const uint8_t* p = b->offset + size_t{series_head(text)} * unit;
    std::vector<uint32_t> out(n);
    for (uint32_t i = 0; i < n; i++) out[i] = string::get_char(p + size_t{i} * unit, unit);
    return out;
}

// A new string! in `out` (a cell that stays put) holding the code points, in the
// narrowest unit they fit.
inline cell* make_string(cell* out, const uint32_t* cps, size_t n) {
    uint32_t widest = 0;
    for (size_t i = 0; i < n; i++) widest |= cps[i];
    uint32_t unit = widest <= 0xFF ? 1 : widest <= 0xFFFF ? 2 : 4;
    string::make_at_unit(out, static_cast<uint32_t>(n), unit);
    series_buffer* b = string::buffer_of(out);
    uint8_t* p = b->offset;
    if (unit == 1) {
        for (size_t i = 0; i < n; i++) p[i] = static_cast<uint8_t>(cps[i]);
    } else {
        for (size_t i = 0; i < n; i++) string::put_char(p + i * unit, unit, cps[i]);
    }
    b->tail = p + n * unit;
    return out;
}

}  // namespace kel::text_cells
