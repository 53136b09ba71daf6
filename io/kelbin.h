// KELBIN: the runtime's own binary serialisation of values. It keeps what mold and load
// lose: bindings to object and function contexts, shared series, cycles and new-line
// markers. Two record encodings sit behind one header: the compact form (varints) and the
// fixed form (32-bit words); one reader takes both.
//
// The reader takes hostile bytes: a malformed input raises script/kb-invalid-record with
// the 1-based offset of the faulting byte (counted from the magic), never reads past the
// input, and allocates no more than the input's size pays for.
#pragma once
#include <cstddef>
#include <cstdint>

#include "runtime/cell.h"

namespace kel::kelbin {

enum class form { compact, fixed };

// The value serialised, as a new binary! pushed on the argument stack. routine!, triple!,
// handle!, port! and event! values raise access/no-codec with the value.
cell* encode(const cell* value, form how);

// Decodes every top-level record of data[0..size) and appends the values at the tail of
// the block value `parent` (a cell that stays put). Reference paths count from the first
// cell this decode appends. Values decoded before an error stay appended.
void decode(const uint8_t* data, size_t size, cell* parent);

}  // namespace kel::kelbin
