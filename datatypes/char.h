// char!: one Unicode code point (w2), with integer-like arithmetic kept inside 0..0x10FFFF.
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel::char_ {

constexpr uint32_t CHAR_MAX_CODE = 0x10FFFF;

void init();

cell* push(uint32_t cp);
// A new char! at a block's tail.
cell* make_in(const cell* block, uint32_t cp);

// make and to are one operation.
const cell* make(cell* proto, cell* spec, uint32_t type);
int32_t form(cell* value, cell* buffer, cell* arg, int32_t part);
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent);
int32_t compare(cell* value1, cell* value2, int32_t op);

// Slot 0 op slot 1 into slot 0 with the integer operation codes; a result outside the
// code point range raises math overflow.
cell* do_math(int32_t op);
void add();
void subtract();
void multiply();
void divide();
void remainder();
void and_();
void or_();
void xor_();

}  // namespace kel::char_
