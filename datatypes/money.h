// money! values: exact decimal amounts with an optional currency, written $12.50 or
// USD$1'234.56. The amount routines are in datatypes/money_amount.h.
#pragma once
#include <cstdint>

#include "datatypes/money_amount.h"
#include "runtime/cell.h"

namespace kel::money {

void init();

// Slot 0 op slot 1 (a math_op of integer.h), the result in slot 0; at least one operand
// is money!, the other an integer!, float!, percent! or money!. Money divided by money
// gives a float!.
void do_math(int32_t op);

const cell* to(cell* proto, cell* spec, uint32_t type);
// to, and also a currency word (a zero amount in it) and a [currency amount fraction] block.
const cell* make(cell* proto, cell* spec, uint32_t type);
const cell* random(cell* value, bool seed, bool secure, bool only);
int32_t form(cell* value, cell* buffer, cell* arg, int32_t part);
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent);
int32_t compare(cell* value1, cell* value2, int32_t op);
void absolute();
void add();
void divide();
void multiply();
const cell* negate(cell* value);
void remainder();
// code (1) is the currency word or none, amount (2) the value without its currency; a set
// is refused.
const cell* eval_path(cell* parent, cell* element, cell* value, cell* path, cell* prev_value,
                      cell* prev_element, int32_t index, bool case_q, bool get_q, bool tail_q,
                      bool evt_q);
const cell* pick(cell* value, int32_t index, cell* index_cell);
// The value rounded in place to a whole multiple of the scale (1 when not given).
const cell* round(cell* value, cell* scale, bool even, bool down, bool half_down, bool floor,
                  bool ceiling, bool half_ceiling);
void subtract();
bool even_q(cell* value);
bool odd_q(cell* value);

}  // namespace kel::money
