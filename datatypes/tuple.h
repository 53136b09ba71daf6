// tuple!: 3 to 12 unsigned bytes written with dots (1.2.3, 255.0.0.128): versions and,
// above all, colours. The count sits in header bits 19-22 and byte i is payload byte i
// (w1 holds bytes 0-3, first byte lowest). Arithmetic works byte by byte and saturates.
#pragma once
#include <cstddef>
#include <cstdint>

#include "runtime/cell.h"

namespace kel::tuple {

constexpr uint32_t COUNT_SHIFT = 19;
constexpr uint32_t MIN_COUNT = 3;
constexpr uint32_t MAX_COUNT = 12;

void init();

inline uint32_t count_of(const cell* c) { return (c->header >> COUNT_SHIFT) & 0xF; }
// From the cell's address, not w1's: the bytes run on through w2 and w3.
inline uint8_t* bytes_of(cell* c) { return reinterpret_cast<uint8_t*>(c) + offsetof(cell, w1); }
inline const uint8_t* bytes_of(const cell* c) { return reinterpret_cast<const uint8_t*>(c) + offsetof(cell, w1); }

cell* push(uint32_t count, uint32_t w1, uint32_t w2, uint32_t w3);
// The low byte of each of count values (at most 12 are taken), then zero bytes up to 3.
cell* push_bytes(uint32_t count, const int32_t* values);

// Every byte is 0.
bool all_zero_q(const cell* value);

// Slot 0 op slot 1 into slot 0, with the operation codes of integer.h. A number on the left
// (handed over by the integer and float arithmetic) changes places with the tuple.
void do_math(int32_t op);

const cell* make(cell* proto, cell* spec, uint32_t type);
const cell* to(cell* proto, cell* spec, uint32_t type);
const cell* random(cell* value, bool seed, bool secure, bool only);
int32_t form(cell* value, cell* buffer, cell* arg, int32_t part);
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent);
// value: the value to set (an integer!, or none! to cut the tuple there), null for a read.
const cell* eval_path(cell* parent, cell* element, cell* value, cell* path, cell* prev_value,
                      cell* prev_element, int32_t index, bool case_q, bool get_q, bool tail_q,
                      bool evt_q);
int32_t compare(cell* value1, cell* value2, int32_t op);
const cell* complement(cell* value);
int32_t length_q(cell* value);
const cell* pick(cell* value, int32_t index, cell* index_cell);
const cell* reverse(cell* value, cell* part, cell* skip);
// Frame actions: slot 0 and slot 1 of the current frame, the result in slot 0.
void add();
void subtract();
void multiply();
void divide();
void remainder();
void and_();
void or_();
void xor_();

}  // namespace kel::tuple
