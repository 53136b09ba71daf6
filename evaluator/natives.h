// The natives table: one entry per native function, by native index (from 1).
//
// Native entry convention. The arguments are in the current frame in spec order, slot 0
// at stack::arguments; the entry leaves its result in slot 0 and returns 0 or an exit
// code (see evaluator/interpreter.h). check is set when the caller has not checked the
// argument types (the interpreter always has). refinements holds one value per refinement
// of the spec, in spec order: -1 when absent, else the frame index of the refinement's
// first argument (stack::arguments + refinements[k]); for a refinement without arguments
// any value other than -1.
#pragma once
#include <cstdint>

namespace kel {

using native_code = int32_t (*)(bool check, const int32_t* refinements);

constexpr uint32_t NATIVES_COUNT = 107;

extern native_code native_entries[NATIVES_COUNT];  // index n at n - 1; empty until written
extern uint32_t native_fill_index;                 // where the next native goes, from 1

// Appends count entries at the fill index.
void fill_native_table(uint32_t count, const native_code* list);
// Puts one entry in place: natives of the layers above the evaluator install themselves.
inline void set_native(uint32_t index, native_code code) { native_entries[index - 1] = code; }
// Fills the whole table in native index order, once at start-up.
void register_natives();

// The refinement k of a native's spec was given.
inline bool refinement_given(const int32_t* refinements, uint32_t k) { return refinements[k] != -1; }

}  // namespace kel
