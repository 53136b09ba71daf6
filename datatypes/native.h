// native!, action! and op!.
//
// native! and action!: w1 the index (from 1) of the code in the natives or actions entry
// table, w2 the node of the spec block, w3 the node of a NATIVE_MORE_SIZE-cell more block:
// cell 0 the context cell of an arguments context, cell 1 the interpreter's compiled
// argument spec (none until built).
//
// op!: the three payload words of the wrapped native, action, function or routine, and
// its header flags, with type op! and the wrapped type in bits 16-23.
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel {

constexpr uint32_t NATIVE_MORE_SIZE = 2;
constexpr uint32_t NATIVE_INDEX_LIMIT = 120;
constexpr uint32_t OP_WRAPPED_SHIFT = 16;
constexpr uint32_t OP_WRAPPED_MASK = 0xFFu << OP_WRAPPED_SHIFT;

inline uint32_t op_wrapped_type(const cell* op) { return (op->header & OP_WRAPPED_MASK) >> OP_WRAPPED_SHIFT; }

namespace native_datatype {

void init();
// spec: a block of the spec block and the entry index. script/bad-make-arg when it is not,
// or when the index is out of range or names an empty entry.
const cell* make(cell* proto, cell* spec, uint32_t type);
const cell* reflect(cell* value, uint32_t field_symbol);
int32_t form(cell* value, cell* buffer, cell* arg, int32_t part);
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent);
int32_t compare(cell* value1, cell* value2, int32_t op);

}  // namespace native_datatype

namespace action_datatype {

void init();
const cell* make(cell* proto, cell* spec, uint32_t type);
int32_t form(cell* value, cell* buffer, cell* arg, int32_t part);
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent);

}  // namespace action_datatype

namespace op {

void init();
// spec: a native, action, function or routine of two arguments, the first a plain word.
const cell* make(cell* proto, cell* spec, uint32_t type);
int32_t form(cell* value, cell* buffer, cell* arg, int32_t part);
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent);

}  // namespace op
}  // namespace kel
