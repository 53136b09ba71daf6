// The actions table, its entries, and the interpreter's fast paths for arithmetic,
// comparison and block queries.
#pragma once
#include <cstdint>

#include "datatypes/dispatch.h"
#include "evaluator/natives.h"

namespace kel {

// The seven comparison natives: slots 0 and 1 compared with op, a logic! into slot 0.
void compare_to_logic(int32_t op);

// Fills the table with the generic entries, once at start-up.
void register_actions();

// --- Fast paths -------------------------------------------------------------------------
// Integer arithmetic and comparisons and block queries without a call frame; every other
// type takes the full action call, in a native frame named by word.
// Math ops: 0 add, 1 subtract, 2 multiply, 5 or~, 6 and~, 7 xor~. Comparison ops 0 to 6.

// Pushes left op right; 32-bit overflow of add, subtract and multiply gives the exact
// float!.
cell* fast_math_values(const cell* left, const cell* right, int32_t op, const cell* word);
cell* fast_math_value_int(const cell* left, int32_t right, int32_t op, const cell* word);
// The top cell is the left operand and becomes the result.
cell* fast_math_top(const cell* right, int32_t op, const cell* word);
cell* fast_math_top_int(int32_t right, int32_t op, const cell* word);

// The truth value alone (inverted with invert), nothing left on the stack.
bool fast_compare_values_cond(const cell* left, const cell* right, int32_t op, const cell* word, bool invert);
bool fast_compare_value_int_cond(const cell* left, int32_t right, int32_t op, const cell* word, bool invert);
// A logic! pushed.
cell* fast_compare_values(const cell* left, const cell* right, int32_t op, const cell* word);
cell* fast_compare_value_int(const cell* left, int32_t right, int32_t op, const cell* word);
// A logic! written into slot 0; its truth returned.
bool fast_compare_to_slot(const cell* left, const cell* right, int32_t op, const cell* word);
// The top cell is the left operand and becomes the logic!.
cell* fast_compare_top(const cell* right, int32_t op, const cell* word);
cell* fast_compare_top_int(int32_t right, int32_t op, const cell* word);

// Pushes the block's element at index (1-based), none out of range; other types pick.
cell* fast_pick_block(const cell* value, int32_t index, const cell* word);
// Block queries by code: 1 length?, 2 index?, 3 head?, 4 tail?, 5 next, 6 back, 7 head,
// 8 tail; the result pushed.
cell* fast_series_op(const cell* value, int32_t op, const cell* word);

}  // namespace kel
