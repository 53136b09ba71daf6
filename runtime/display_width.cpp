#include "runtime/display_width.h"

namespace kel {

int in_range_table(uint32_t cp, const uint32_t* table, uint32_t length) {
    if (cp < table[0] || cp > table[length - 1]) return 0;
    // Binary search over the ranges for the last one starting at or below cp.
    uint32_t low = 0, high = length / 2;
    while (high - low > 1) {
        uint32_t mid = (low + high) / 2;
        if (table[2 * mid] <= cp)
            low = mid;
        else
            high = mid;
    }
    return cp <= table[2 * low + 1];
}

int char_display_width(uint32_t cp) {
    if (cp == 0) return 0;
    if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) return 1;
    if (in_range_table(cp, zero_width_table, zero_width_table_length)) return 0;
    if (in_range_table(cp, wide_table, wide_table_length)) return 2;
    return 1;
}

int char_display_width_ext(uint32_t cp) {
    if (in_range_table(cp, ambiguous_table, ambiguous_table_length)) return 2;
    return char_display_width(cp);
}

}  // namespace kel
