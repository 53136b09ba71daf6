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

#include "datatypes/registry.h"
#include "runtime/cell.h"

namespace kel {

// The actions table. Each action! value holds the slot of its entry here. Action entry
// convention: the arguments are in the current frame in spec order, slot 0 at
// stack::arguments; the entry leaves its result in slot 0 and returns 0 or an exit code.
// refinements holds one value per refinement of the spec, in spec order: -1 when absent,
// else the frame index of its first argument (any other value for one without arguments).
// Actions take no check flag: their dispatch checks the first argument's type.
using action_code = int32_t (*)(const int32_t* refinements);

extern action_code action_entries[ACTIONS_COUNT];  // slot s at s - 1; slot 8 stays empty

// Copies count entries into the actions table, slot 1 first.
void fill_action_table(uint32_t count, const action_code* list);

// The natives table: one entry per native function, by native index (from 1). Native entry
// convention: as actions, with check set when the caller has not checked the argument
// types (the interpreter always has); for a refinement without arguments any value other
// than -1.
using native_code = int32_t (*)(bool check, const int32_t* refinements);

constexpr uint32_t NATIVES_COUNT = 107;

extern native_code native_entries[NATIVES_COUNT];  // index n at n - 1; empty until written
extern uint32_t native_fill_index;                 // where the next native goes, from 1

// Appends count entries at the fill index.
void fill_native_table(uint32_t count, const native_code* list);
// Puts one entry in place: natives of the layers above the evaluator install themselves.
inline void set_native(uint32_t index, native_code code) { native_entries[index - 1] = code; }

// The refinement k of a native's or action's spec was given.
inline bool refinement_given(const int32_t* refinements, uint32_t k) { return refinements[k] != -1; }

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
