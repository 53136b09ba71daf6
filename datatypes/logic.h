// logic!: w1 is 1 for true and 0 for false; only exactly 1 tests true.
// Also the truth tests every conditional uses.
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel {

// Shared results; never written.
extern const cell true_value;
extern const cell false_value;

// False for none! and for a logic! other than true; true for every other value. With
// check_unset, an unset! raises script no-value naming the word.
bool value_true_q(const cell* value, bool check_unset, const cell* word);
// The test on the stack's top cell (slot 0 when the frame is empty).
bool top_true_q();
bool top_false_q();
// The test on slot 0; an unset! there raises script no-return.
bool result_true_q();
// Slot 0 is none! or not true.
bool arg_false_q();

namespace logic {

void init();

inline uint32_t value(const cell* c) { return c->w1; }

cell* box(uint32_t value);
cell* alloc_tail(const cell* block, uint32_t value);
cell* push(uint32_t value);

const cell* make(cell* proto, cell* spec, uint32_t type);
const cell* to(cell* proto, cell* spec, uint32_t type);
const cell* random(cell* value, bool seed, bool secure, bool only);
int32_t form(cell* value, cell* buffer, cell* arg, int32_t part);
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent);
int32_t compare(cell* value1, cell* value2, int32_t op);
const cell* complement(cell* value);
// Frame actions: slot 0 op= slot 1, the result in slot 0.
void and_();
void or_();
void xor_();

}  // namespace logic
}  // namespace kel
