// Text comparison, search and sort: the string! compare, find, select and sort actions,
// the comparison core behind them (also used by parse matching), and the unit
// comparators of the sorts.
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel {

// Sort comparators over elements of one unit. case_flag 0 folds case. flags: bit 0
// reverses every result; bit 1 compares a whole record, whose length in units is in the
// bits from 2 up; without bit 1 those bits give the offset of the one unit compared.
int32_t sort_compare_bytes(const void* a, const void* b, uintptr_t case_flag, uintptr_t flags);
int32_t sort_compare_ucs2(const void* a, const void* b, uintptr_t case_flag, uintptr_t flags);
int32_t sort_compare_ucs4(const void* a, const void* b, uintptr_t case_flag, uintptr_t flags);
// Float vector elements: an unordered pair (a NaN) compares as equal.
int32_t sort_compare_float32(const void* a, const void* b, uintptr_t case_flag, uintptr_t flags);
int32_t sort_compare_float64(const void* a, const void* b, uintptr_t case_flag, uintptr_t flags);

namespace string {

// Two text values from their heads: -1, 0 or 1 for the operation code. Case is folded
// except for strict-equal and the case-sensitive orders. In match mode only the second
// value's length counts: the first matches when it starts with the second.
int32_t compare_text(const cell* value1, const cell* value2, int32_t op, bool match = false);

// One match at the series head, as parse tries text input against a rule value.
bool match_value(const cell* series, const cell* value, int32_t op);

int32_t compare(cell* value1, cell* value2, int32_t op);
const cell* find(cell* series, cell* value, cell* part, bool only, bool case_q, bool same,
                 bool any, cell* with, cell* skip, bool last, bool reverse, bool tail, bool match);
const cell* select(cell* series, cell* value, cell* part, bool only, bool case_q, bool same,
                   bool any, cell* with, cell* skip, bool last, bool reverse);
const cell* sort(cell* series, bool case_q, cell* skip, cell* compare, cell* part, bool all,
                 bool reverse, bool stable);

// unique, union, intersect, exclude or difference (series::set_op) of the first text and
// the frame's second argument, records of the /skip size keyed by their first character
// (folded unless case_q). The result, a new string! at its head, replaces the first.
const cell* set_operation(cell* first, bool case_q, cell* skip, int32_t op);

}  // namespace string
}  // namespace kel
