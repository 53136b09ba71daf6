#include "runtime/case_folding.h"

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

}  // namespace kel
